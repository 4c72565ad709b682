// Otter's downloads into the running file "KVR Probe Data.csv" of its dump
// folder, one row per reading.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "core/reading_sink.h"
#include "files/datafile.h"

namespace kvr {

class RunningFile : public ReadingSink {
public:
    explicit RunningFile(std::filesystem::path folder) : folder_(std::move(folder)) {}
    bool open() override;
    bool take(const ProbeReading& reading) override;
    bool close() override;

    // The file that failed with the platform's reason; empty while none did.
    const std::string& failure() const { return failure_; }
    std::int64_t rows() const { return rows_; }

private:
    void noteFailure();

    std::filesystem::path folder_;
    DataFile file_;
    std::string failure_;
    std::int64_t rows_ = 0;
};

}  // namespace kvr
