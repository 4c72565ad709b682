// Measures the dump rotation on a full set of large dump files, and as the
// reference, in the same run and on the same files, a rotation that copies
// each file up one number. Usage: bench_rotation [files [megabytes-each]]
// (defaults 100 and 10). Works in a temporary folder that it removes.
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include "files/probe_files.h"

namespace fs = std::filesystem;

namespace {

double nowMs() {
    using namespace std::chrono;
    return duration<double, std::milli>(steady_clock::now().time_since_epoch()).count();
}

bool makeFile(const fs::path& p, std::size_t bytes, char fill) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    std::string block(1 << 20, fill);
    for (std::size_t done = 0; done < bytes && out; done += block.size())
        out.write(block.data(), static_cast<std::streamsize>(std::min(block.size(), bytes - done)));
    return static_cast<bool>(out);
}

// The copying rotation: delete the top file, then from 98 down delete the
// file above and copy the file into its place.
void copyRotation(const fs::path& folder) {
    std::error_code ec;
    fs::remove(kvr::dumpFilePath(folder, 99), ec);
    for (int n = 98; n >= 0; --n) {
        fs::remove(kvr::dumpFilePath(folder, n + 1), ec);
        if (fs::exists(kvr::dumpFilePath(folder, n), ec))
            fs::copy_file(kvr::dumpFilePath(folder, n), kvr::dumpFilePath(folder, n + 1), ec);
    }
}

// Forces what was written to the disk so the next timing does not also pay
// for writing back the previous step's pages.
void settle() { ::sync(); }

struct Cleanup {
    fs::path dir;
    ~Cleanup() {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
};

}  // namespace

int main(int argc, char** argv) {
    int files = argc > 1 ? std::atoi(argv[1]) : 100;
    long mb = argc > 2 ? std::atol(argv[2]) : 10;
    if (files < 1 || files > 100 || mb < 0) {
        std::fprintf(stderr, "usage: %s [files 1..100] [megabytes each]\n", argv[0]);
        return 2;
    }
    std::size_t bytes = static_cast<std::size_t>(mb) << 20;

    std::string tmpl = (fs::temp_directory_path() / "kvr-bench-rotation-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) {
        std::perror("mkdtemp");
        return 1;
    }
    Cleanup cleanup{tmpl};
    fs::path folder = tmpl;
    fs::create_directories(kvr::dumpFolderPath(folder));

    std::printf("%d dump files of %ld MB in %s\n", files, mb, folder.c_str());
    for (int n = 0; n < files; ++n)
        if (!makeFile(kvr::dumpFilePath(folder, n), bytes, static_cast<char>('A' + n % 26))) {
            std::fprintf(stderr, "cannot write the dump files (disk full?)\n");
            return 1;
        }
    settle();

    double t0 = nowMs();
    bool ok = kvr::rotateDumps(folder);
    settle();  // both timings include making the result durable
    double renameMs = nowMs() - t0;

    // Bring the set back to the same shape: a new Dump00.csv of the same size.
    if (!makeFile(kvr::dumpFilePath(folder, 0), bytes, 'z')) return 1;
    settle();

    t0 = nowMs();
    copyRotation(folder);
    settle();
    double copyMs = nowMs() - t0;

    std::printf("rename rotation: %10.3f ms%s\n", renameMs, ok ? "" : " (some steps failed)");
    std::printf("copy rotation:   %10.3f ms (reference)\n", copyMs);
    std::printf("copy / rename:   %10.1f x\n", renameMs > 0 ? copyMs / renameMs : 0.0);
    return ok ? 0 : 1;
}
