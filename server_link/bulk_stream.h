// Receiver of the probe server's bulk record stream: frames of 36 bytes,
// 0x4E, a 16-bit frame position, a 32-byte record and 0x4F, back to back.
// Fed with whatever chunks the port delivers; the frames it reports do not
// depend on how the bytes were split.
#pragma once

#include <array>
#include <cstdint>
#include <functional>

#include "core/platform.h"

namespace kvr {

struct BulkFrame {
    std::int32_t position = 0;            // frame number within the transfer
    std::array<std::uint8_t, 32> record{};
    bool endByteOk = false;               // the frame ended with 0x4F
    bool checkOk = false;                 // the record's CRC folds to 0
    bool whole() const { return endByteOk && checkOk; }
};

class BulkReceiver {
public:
    static constexpr std::uint8_t kStart = 0x4E;
    static constexpr std::uint8_t kEnd = 0x4F;
    static constexpr int kFrameSize = 36;

    // Calls onFrame for every 36-byte frame that began with 0x4E, whole or
    // not. onFrame returns false to stop; feed then returns how many bytes
    // of data it used (data.size() when it did not stop).
    std::size_t feed(ByteSpan data, const std::function<bool(const BulkFrame&)>& onFrame);

    // Position within the current frame, 0 while hunting for a start byte.
    int inFrame() const { return pos_; }

private:
    int pos_ = 0;
    bool havePrev_ = false;
    std::uint8_t prev_ = 0;
    std::uint16_t crc_ = 0xFFFF;
    BulkFrame cur_;
};

}  // namespace kvr
