// Throughput of the web download's line handling: reading a large answer,
// decoding every line and writing the dump and running-file rows, against
// reading the same file once with std::getline (the least any reader pays).
// Usage: bench_heron [lines] (default 200000).
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>

#include <unistd.h>

#include "files/datafile.h"
#include "files/probe_files.h"
#include "web_dump/dump_data.h"

namespace {

double seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

int main(int argc, char** argv) {
    long lines = argc > 1 ? std::stol(argv[1]) : 200000;
    auto dir = std::filesystem::temp_directory_path() / ("bench-heron-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    auto input = dir / "WebProbeData.csv";
    {
        std::ofstream out(input, std::ios::binary);
        for (long i = 0; i < lines; ++i) {
            char buf[256];
            std::snprintf(buf, sizeof buf,
                          "12,%ld,%02ld/%02ld/2014 %02ld:%02ld,21.%02ld,30.25,20.1,31.5,19.75,32,18.5,33.33,17.25,"
                          "34,16.5,35.75,22.5,3.6%ld,%s,%ld\r\n",
                          i % 65536, i % 28 + 1, i % 12 + 1, i % 24, i % 60, i % 100, i % 10,
                          i % 7 ? "TRUE)" : "FALSE)", i % 1000);
            out << buf;
        }
    }
    auto size = std::filesystem::file_size(input);

    // Reference: one pass of std::getline over the same file.
    auto t0 = std::chrono::steady_clock::now();
    long refLines = 0;
    {
        std::ifstream in(input, std::ios::binary);
        std::string line;
        while (std::getline(in, line)) ++refLines;
    }
    double ref = seconds(t0);

    // The download's work: read, decode, write both rows.
    t0 = std::chrono::steady_clock::now();
    long rows = 0;
    {
        kvr::DataFile dump, data;
        dump.open(dir / "Dump00.csv", kvr::DataFile::Mode::Truncate);
        data.open(dir / "KVR Probe Data.csv", kvr::DataFile::Mode::Truncate);
        bool readFailed = false;
        rows = static_cast<long>(kvr::web::writeResponseRows(input, 12, dump, data, {}, readFailed));
        dump.close();
        data.close();
    }
    double work = seconds(t0);

    std::cout << "lines: " << lines << " (" << size / (1024 * 1024) << " MB), rows written: " << rows << "\n"
              << "getline only:            " << static_cast<long>(refLines / ref) << " lines/s\n"
              << "decode and write rows:   " << static_cast<long>(rows / work) << " lines/s\n"
              << "ratio (work / getline):  " << work / ref << "\n";
    std::filesystem::remove_all(dir);
    return rows == lines ? 0 : 1;
}
