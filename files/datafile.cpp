#include "files/datafile.h"

#include <cstring>

#include "files/file_calls.h"

namespace kvr {

DataFile::~DataFile() {
    // A file left open by a path that forgot close() still gets its
    // descriptor back; its data was already handed to the system by write().
    if (fd_ >= 0) os::closeFile(fd_);
}

void DataFile::failWith(const std::string& what) {
    // The first failure is the one worth telling; later ones follow from it.
    if (!failed_) error_ = what;
    failed_ = true;
}

void DataFile::fail(int err) { failWith(std::strerror(err)); }

bool DataFile::open(const std::filesystem::path& path, Mode mode) {
    if (fd_ >= 0) close();
    failed_ = false;
    error_.clear();
    sizeAtOpen_ = size_ = wholeUpTo_ = 0;
    dirSynced_ = false;
    path_ = path;
    // Read access too: an appended file's last byte tells whether its last
    // line was ended.
    std::uintmax_t size = 0;
    if (const int err = os::openDataFile(path, mode == Mode::Append, fd_, size)) {
        fd_ = -1;
        fail(err);
        return false;
    }
    sizeAtOpen_ = size_ = wholeUpTo_ = size;
    if (mode == Mode::Append && size_ > 0) endLastLine();
    return !failed_;
}

void DataFile::endLastLine() {
    // A line left unended (by a crash, a full disk or another program)
    // would otherwise have the next row glued onto it.
    char last = '\n';
    if (const int err = os::readByteAt(fd_, size_ - 1, last)) {
        fail(err);
        return;
    }
    if (last == '\n') return;
    if (writeAll(last == '\r' ? "\n" : "\r\n")) wholeUpTo_ = size_;
}

bool DataFile::write(std::string_view text) {
    if (!writeAll(text)) return false;
    wholeUpTo_ = size_;
    return true;
}

bool DataFile::writeHeader(std::string_view text) { return writeAll(text); }

bool DataFile::writeAll(std::string_view text) {
    // Once a write failed nothing more goes in: a row missing its middle
    // would be worse than a file that plainly ends early.
    if (failed_) return false;
    if (fd_ < 0) {
        failWith("file is not open");
        return false;
    }
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        std::size_t n = 0;
        if (const int err = os::writeSome(fd_, p, left, n)) {
            fail(err);
            // Cut the piece that went in back off, so the file ends on a
            // whole row and the next run appends to a clean line.
            if (size_ > wholeUpTo_ && os::truncateTo(fd_, wholeUpTo_) == 0) size_ = wholeUpTo_;
            return false;
        }
        p += n;
        left -= n;
        size_ += n;
    }
    return true;
}

bool DataFile::sync() {
    if (fd_ < 0) {
        if (!failed_) failWith("file is not open");
        return false;
    }
    if (const int err = os::syncData(fd_)) fail(err);
    if (!dirSynced_) {
        // A newly created file is only safe once its folder entry is too.
        os::syncFolderOf(path_);
        dirSynced_ = true;
    }
    return !failed_;
}

bool DataFile::close() {
    if (fd_ < 0) return !failed_;
    sync();
    if (const int err = os::closeFile(fd_)) fail(err);
    fd_ = -1;
    return !failed_;
}

}  // namespace kvr
