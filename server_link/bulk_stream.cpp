#include "server_link/bulk_stream.h"

#include "core/crc16.h"

namespace kvr {

std::size_t BulkReceiver::feed(ByteSpan data, const std::function<bool(const BulkFrame&)>& onFrame) {
    for (std::size_t i = 0; i < data.size(); ++i) {
        const std::uint8_t c = data[i];
        // An end byte followed by a start byte is taken as a frame boundary
        // even inside a frame: after lost bytes it brings the receiver back
        // in step at the next frame, at the price of a record whose data
        // happen to hold that pair.
        if (havePrev_ && prev_ == kEnd && c == kStart) pos_ = 0;
        prev_ = c;
        havePrev_ = true;
        ++pos_;
        if (pos_ == 1) {
            if (c != kStart) {
                pos_ = 0;
                continue;
            }
            cur_ = BulkFrame{};
            crc_ = 0xFFFF;
        } else if (pos_ == 2) {
            cur_.position = std::int32_t{c} << 8;
        } else if (pos_ == 3) {
            cur_.position += c;
        } else if (pos_ < kFrameSize) {
            cur_.record[static_cast<std::size_t>(pos_ - 4)] = c;
            crc_ = crc16Update(crc_, c);
        } else {
            pos_ = 0;
            cur_.checkOk = crc_ == 0;
            cur_.endByteOk = c == kEnd;
            if (!onFrame(cur_)) return i + 1;
        }
    }
    return data.size();
}

}  // namespace kvr
