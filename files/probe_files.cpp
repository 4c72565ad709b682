#include "files/probe_files.h"

#include <system_error>

#include "core/format.h"

namespace kvr {

namespace fs = std::filesystem;

// "Date" is padded to the width of the date-time values under it: 19
// characters in the running file and Marten's dump, 35 in Heron's dump.
const char* const kDataHeader =
    "Probe, Date               ,Temp1,Water%1,Temp2,Water%2,Temp3,Water%3,Temp4,Water%4,Temp5,Water%5,"
    "Temp6,Water%6,Volts";
const char* const kMartenDumpHeader =
    "Probe ,RecNo,Date               ,T1,SM1,T2,SM2,T3,SM3,T4,SM4,T5,SM5,T6,SM6,Temp,Volts,PwrFail";
const char* const kHeronDumpHeader =
    "Probe ,RecNo,Date                               ,T1,SM1,T2,SM2,T3,SM3,T4,SM4,T5,SM5,T6,SM6,Temp,Volts,"
    "PwrFail";

namespace {

constexpr const char* kLineEnd = "\r\n";

}  // namespace

std::string dumpRow(const ProbeReading& r, Program p) {
    std::string row;
    row.reserve(160);
    appendNumber(row, r.probe, "#####0");
    row += ", ";
    row += numberField(r.recNo);
    row += ',';
    row += formatDate(r.time, "yyyy/mm/dd HH:MM:SS");
    for (std::size_t i = 0; i < 6; ++i) {
        row += ',';
        appendFloat(row, r.T[i], "###0.00");
        row += ',';
        appendFloat(row, r.SM[i], "###0.00");
    }
    row += ',';
    appendFloat(row, r.Temp, "###0.00");
    row += ',';
    appendFloat(row, r.Volts, "###0.0");
    // Heron always writes the flag as a digit; the serial programs leave it
    // empty when clear.
    row += ',';
    if (p == Program::Heron)
        row += r.pwrFail ? '1' : '0';
    else
        appendNumber(row, r.pwrFail, "#");
    row += ',';
    appendNumber(row, r.counter, "#####");
    row += kLineEnd;
    return row;
}

std::string dataRow(const ProbeReading& r, Program p) {
    std::string row;
    row.reserve(140);
    appendNumber(row, r.probe, "#00000");
    row += ", ";
    row += formatDate(r.time, "yyyy/mm/dd HH:MM:SS");
    for (std::size_t i = 0; i < 6; ++i) {
        row += ", ";
        appendFloat(row, r.T[i], "00.0");
        row += ", ";
        appendFloat(row, r.SM[i], "000.00");
    }
    row += p == Program::Otter ? ", " : ",";
    appendFloat(row, r.Volts, "0.0");
    row += kLineEnd;
    return row;
}

std::string markerLine(Marker m, std::int64_t number, std::int64_t kind) {
    switch (m) {
        case Marker::CrcError: return "! " + numberField(number) + ",CRC error" + kLineEnd;
        case Marker::ProbeSettings: return "! " + numberField(number) + ",Probe settings" + kLineEnd;
        case Marker::RepeaterSettings: return "! " + numberField(number) + ",Repeater settings" + kLineEnd;
        case Marker::InvalidData:
            return "? " + numberField(number) + ",Invalid data " + numberField(kind) + kLineEnd;
    }
    return {};
}

fs::path dataFilePath(const fs::path& folder) { return folder / kDataFileName; }

fs::path dumpFolderPath(const fs::path& programFolder) { return programFolder / kDumpFolderName; }

fs::path dumpFilePath(const fs::path& programFolder, int n) {
    std::string num = std::to_string(n);
    if (num.size() < 2) num.insert(0, "0");
    return dumpFolderPath(programFolder) / ("Dump" + num + ".csv");
}

bool rotateDumps(const fs::path& programFolder) {
    bool ok = true;
    std::error_code ec;
    fs::path folder = dumpFolderPath(programFolder);
    fs::create_directories(folder, ec);
    if (ec) ok = false;

    fs::path last = dumpFilePath(programFolder, 99);
    if (fs::exists(last, ec)) {
        if (!fs::remove(last, ec) || ec) ok = false;
    }
    // Renaming from the top down moves every file up one number without
    // touching its contents, so the cost does not grow with the files' sizes.
    // A missing file leaves its gap: the number above it is emptied, exactly
    // as deleting and not copying would.
    for (int n = 98; n >= 0; --n) {
        fs::path from = dumpFilePath(programFolder, n);
        fs::path to = dumpFilePath(programFolder, n + 1);
        if (fs::exists(from, ec)) {
            fs::rename(from, to, ec);
            if (ec) ok = false;
        } else if (fs::exists(to, ec)) {
            // Only left over when moving it up failed before.
            if (!fs::remove(to, ec) || ec) ok = false;
        }
    }
    return ok;
}

bool openDataFile(DataFile& f, const fs::path& path) {
    if (!f.open(path, DataFile::Mode::Append)) return false;
    // Only a file of length 0 gets the header; any content at all (even a
    // lone blank line) means a header was written before or the user keeps
    // the file that way.
    if (f.sizeAtOpen() == 0) f.writeHeader(std::string(kDataHeader) + kLineEnd);
    return !f.failed();
}

bool RunFiles::open(const fs::path& programFolder, Program p, LocalTime now) {
    if (p != Program::Otter) {
        std::error_code ec;
        fs::create_directories(dumpFolderPath(programFolder), ec);
        // A failing rename or delete is skipped, as every step of the
        // rotation; only a Dump00.csv that cannot be written stops the run.
        rotateDumps(programFolder);
        if (dump.open(dumpFilePath(programFolder, 0), DataFile::Mode::Truncate)) {
            std::string head;
            if (p == Program::Heron) head += "Date - " + formatDate(now, "dd/mm/yyyy HH:MM") + kLineEnd;
            head += (p == Program::Heron ? kHeronDumpHeader : kMartenDumpHeader);
            head += kLineEnd;
            dump.writeHeader(head);
        }
    }
    openDataFile(data, dataFilePath(programFolder));
    bool dumpOk = p == Program::Otter || (dump.isOpen() && !dump.failed());
    return dumpOk && data.isOpen() && !data.failed();
}

bool RunFiles::close() {
    bool a = dump.close();
    bool b = data.close();
    return a && b;
}

std::string RunFiles::failureText() const {
    for (const DataFile* f : {&dump, &data})
        if (f->failed()) return f->path().string() + ": " + f->errorText();
    return {};
}

}  // namespace kvr
