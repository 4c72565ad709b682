// A small in-process probe server for the run tests: a ring of records,
// the status, record, set-date and clear commands, and a cut link on
// command. It checks every request's frame check, so a wrong byte in a
// frame shows up as a failed exchange.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "sim/devices/sim_device.h"

namespace kvr::testing {

using Record32 = std::array<std::uint8_t, 32>;

inline std::uint16_t crc16(const std::uint8_t* p, std::size_t n, std::uint16_t crc = 0xFFFF) {
    for (std::size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int k = 0; k < 8; ++k) crc = (crc & 1) ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001) : crc >> 1;
    }
    return crc;
}

// A kind-1 record (1/16 degree steps, minutes stamp) of `probe`, stored as
// record number `recNo`, with voltage code `voltCode` (7 is 3.1 V, 10 is 3.6 V).
inline Record32 kind1Record(int probe, int recNo, int voltCode = 10, int minutes = 6402994) {
    Record32 r{0x1A, 0x00, 0x7B, 0x61, 0xB3, 0xB2, 0x01, 0x59, 0x2B, 0x00, 0x4A, 0x09, 0xF6, 0x4A, 0x09, 0xF6,
               0x4A, 0x09, 0xF6, 0x4A, 0x09, 0xF6, 0x4A, 0x09, 0xF6, 0x4A, 0x09, 0xF6, 0x00, 0x11, 0x00, 0x00};
    r[0] = static_cast<std::uint8_t>(0x10 | (voltCode & 0x0F));
    r[1] = static_cast<std::uint8_t>(probe >> 8);
    r[2] = static_cast<std::uint8_t>(probe);
    r[3] = static_cast<std::uint8_t>(minutes >> 16);
    r[4] = static_cast<std::uint8_t>(minutes >> 8);
    r[5] = static_cast<std::uint8_t>(minutes);
    r[6] = static_cast<std::uint8_t>(recNo >> 8);
    r[7] = static_cast<std::uint8_t>(recNo);
    const std::uint16_t c = crc16(r.data(), 30);
    r[30] = static_cast<std::uint8_t>(c & 0xFF);
    r[31] = static_cast<std::uint8_t>(c >> 8);
    return r;
}

class MiniServer : public sim::SimDevice {
public:
    std::int32_t endRecord = 0, nextRecord = 0, recordSlots = 1000, numReadings = 0;
    int voltCode = 10;
    // Record answers given before the link goes silent; -1: never.
    int silentAfterRecords = -1;
    bool silent = false;

    std::vector<int> fetched;        // ring positions asked for, in order
    std::vector<std::uint32_t> dateSets;  // server time units received
    int clears = 0;
    int statusRequests = 0;

    void receive(ByteSpan data, sim::SimOutput& out) override {
        buf_.insert(buf_.end(), data.begin(), data.end());
        for (;;) {
            while (!buf_.empty() && buf_.front() != 0x5E) buf_.erase(buf_.begin());
            if (buf_.size() < 4) return;
            // A request is short: a length byte this big means the 0x5E was
            // not a frame start (a logger frame, noise): look further on.
            const std::size_t L = buf_[3];
            if (buf_[1] != 0xFF || buf_[2] != 0xFF || L < 2 || L > 40) {
                buf_.erase(buf_.begin());
                continue;
            }
            if (buf_.size() < L + 6) return;
            std::vector<std::uint8_t> f(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(L + 6));
            if (crc16(f.data() + 1, f.size() - 1) != 0 || f[4] != 0x00) {
                buf_.erase(buf_.begin());
                continue;
            }
            buf_.erase(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(L + 6));
            handle(f, out);
        }
    }

    nlohmann::json state() const override { return {{"clears", clears}}; }

private:
    void answer(std::uint8_t cmd, const std::vector<std::uint8_t>& data, sim::SimOutput& out) {
        std::vector<std::uint8_t> f{0x5E, 0xFF, 0xFF, static_cast<std::uint8_t>(data.size() + 2), 0x01, cmd};
        f.insert(f.end(), data.begin(), data.end());
        const std::uint16_t c = crc16(f.data() + 1, f.size() - 1);
        f.push_back(static_cast<std::uint8_t>(c & 0xFF));
        f.push_back(static_cast<std::uint8_t>(c >> 8));
        out.send(Bytes(f.begin(), f.end()), 2);
    }
    static void put16(std::vector<std::uint8_t>& d, std::int32_t v) {
        d.push_back(static_cast<std::uint8_t>(v >> 8));
        d.push_back(static_cast<std::uint8_t>(v));
    }
    void handle(const std::vector<std::uint8_t>& f, sim::SimOutput& out) {
        if (silent) return;
        const std::uint8_t cmd = f[5];
        if (cmd == 0x10) {
            ++statusRequests;
            std::vector<std::uint8_t> d(8, 0);
            put16(d, endRecord);
            put16(d, nextRecord);
            put16(d, recordSlots);
            put16(d, numReadings);
            answer(cmd, d, out);
        } else if (cmd == 0x13) {
            const int pos = f[6] * 256 + f[7];
            if (silentAfterRecords >= 0 && static_cast<int>(fetched.size()) >= silentAfterRecords) {
                silent = true;
                return;
            }
            fetched.push_back(pos);
            std::vector<std::uint8_t> d{f[6], f[7]};
            auto r = kind1Record(100 + pos % 7, pos, voltCode);
            d.insert(d.end(), r.begin(), r.end());
            answer(cmd, d, out);
        } else if (cmd == 0x0A) {
            dateSets.push_back(static_cast<std::uint32_t>(f[6]) << 24 | static_cast<std::uint32_t>(f[7]) << 16 |
                               static_cast<std::uint32_t>(f[8]) << 8 | f[9]);
            answer(cmd, {}, out);
        } else if (cmd == 0x09) {
            ++clears;
            answer(cmd, {}, out);
        }
    }
    std::vector<std::uint8_t> buf_;
};

}  // namespace kvr::testing
