// The system calls under DataFile, one implementation per system
// (file_calls_posix.cpp, file_calls_win32.cpp). DataFile keeps the policy
// (whole rows, cut-back, ended last line, first failure told) in one place;
// only how a byte reaches the disk differs between the systems.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>

namespace kvr::os {

// Each call returns 0 on success or the system's error number (errno values
// on both systems), which std::strerror turns into the text shown.

// Opens for reading and writing, creating the file; append sends every write
// to the end, otherwise the file is emptied. Binary on every system: rows
// carry their own CR LF.
int openDataFile(const std::filesystem::path& path, bool append, int& fd, std::uintmax_t& size);
int readByteAt(int fd, std::uintmax_t at, char& byte);
// Writes some of the bytes (at least one on success) and sets written.
int writeSome(int fd, const char* data, std::size_t size, std::size_t& written);
int truncateTo(int fd, std::uintmax_t size);
// Data and size on the disk. A file that cannot be synced at all (a pipe, a
// read-only file system's special file) returns 0: nothing more can be pushed.
int syncData(int fd);
// The folder entry of a newly created file on the disk, where the system
// keeps it apart from the file.
void syncFolderOf(const std::filesystem::path& path);
int closeFile(int fd);

}  // namespace kvr::os
