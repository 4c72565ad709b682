// A small in-test probe server behind the fake port: answers status, record
// and bulk-start commands from a ring of records, with scripted faults.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <vector>

#include "sim/devices/sim_device.h"

namespace kvr::test {

using Record = std::array<std::uint8_t, 32>;

inline std::uint16_t crc16(const std::uint8_t* p, std::size_t n) {
    std::uint32_t c = 0xFFFF;
    for (std::size_t i = 0; i < n; ++i) {
        c ^= p[i];
        for (int b = 0; b < 8; ++b) c = (c & 1) ? (c >> 1) ^ 0xA001 : c >> 1;
    }
    return static_cast<std::uint16_t>(c);
}

// Sets bytes 30-31 to the CRC of bytes 0..29, low byte first.
inline Record sealed(Record r) {
    const auto c = crc16(r.data(), 30);
    r[30] = c & 0xFF;
    r[31] = c >> 8;
    return r;
}

// A kind-1 reading of probe `probe`, distinct per `n`, with a valid check.
inline Record kind1(int probe, int n, int voltCode = 10) {
    Record r{};
    r[0] = static_cast<std::uint8_t>(0x10 | voltCode);
    r[1] = static_cast<std::uint8_t>(probe >> 8);
    r[2] = static_cast<std::uint8_t>(probe);
    const std::uint32_t minutes = 6402994 + static_cast<std::uint32_t>(n) * 15;
    r[3] = static_cast<std::uint8_t>(minutes >> 16);
    r[4] = static_cast<std::uint8_t>(minutes >> 8);
    r[5] = static_cast<std::uint8_t>(minutes);
    r[6] = static_cast<std::uint8_t>(n >> 8);
    r[7] = static_cast<std::uint8_t>(n);
    r[8] = 0x2B;
    for (int i = 0; i < 6; ++i) {
        r[static_cast<std::size_t>(10 + 3 * i)] = 0x4A;
        r[static_cast<std::size_t>(11 + 3 * i)] = 0x09;
        r[static_cast<std::size_t>(12 + 3 * i)] = static_cast<std::uint8_t>(0x80 + n + i);
    }
    r[28] = 0;
    r[29] = static_cast<std::uint8_t>(n);
    return sealed(r);
}

// Answer frame: 5E FF FF L 01 cmd data.. crc-lo crc-hi.
inline Bytes answerFrame(std::uint8_t cmd, const Bytes& data, std::uint8_t direction = 0x01) {
    Bytes f{0x5E, 0xFF, 0xFF, static_cast<std::uint8_t>(data.size() + 2), direction, cmd};
    f.insert(f.end(), data.begin(), data.end());
    const auto c = crc16(f.data() + 1, f.size() - 1);
    f.push_back(c & 0xFF);
    f.push_back(c >> 8);
    return f;
}

inline Bytes bulkFrame(int position, const Record& r, std::uint8_t end = 0x4F) {
    Bytes f{0x4E, static_cast<std::uint8_t>(position >> 8), static_cast<std::uint8_t>(position)};
    f.insert(f.end(), r.begin(), r.end());
    f.push_back(end);
    return f;
}

class TinyServer : public sim::SimDevice {
public:
    std::vector<Record> ring;      // RecordSlots = ring.size()
    int next = 0, end = 0, numReadings = 0;

    // Bulk stream faults, by frame position.
    std::set<int> dropFrames, badEndFrames, badCheckFrames, twiceFrames;
    int cutAfter = -1;             // stop streaming after this many frames
    bool streamInAckChunk = false; // ack and the whole stream in one chunk
    bool byteByByte = false;       // stream one byte per chunk
    std::int64_t frameGapMs = 2;
    // Requests (by command) that get no answer, counted down.
    std::map<int, int> ignore;
    bool deadAfterStream = false;
    int answerRecords = -1;        // record requests answered before going silent

    // What the program asked for.
    std::vector<int> commands;
    std::vector<int> recordRequests;  // positions asked with 0x13
    std::vector<Bytes> requests;

    void receive(ByteSpan data, sim::SimOutput& out) override {
        for (auto b : data) {
            if (buf_.empty() && b != 0x5E) continue;  // wake-up byte, noise
            buf_.push_back(b);
            if (buf_.size() >= 4 && buf_.size() == std::size_t{buf_[3]} + 6u) {
                Bytes req;
                req.swap(buf_);
                handle(req, out);
            }
        }
    }
    nlohmann::json state() const override { return {}; }

private:
    void handle(const Bytes& req, sim::SimOutput& out) {
        requests.push_back(req);
        if (crc16(req.data() + 1, req.size() - 1) != 0) return;
        const int cmd = req[5];
        commands.push_back(cmd);
        if (dead_) return;
        if (auto it = ignore.find(cmd); it != ignore.end() && it->second > 0) {
            --it->second;
            return;
        }
        const int slots = static_cast<int>(ring.size());
        if (cmd == 0x10) {
            Bytes d(16, 0);
            auto put16 = [&](std::size_t at, int v) {
                d[at] = static_cast<std::uint8_t>(v >> 8);
                d[at + 1] = static_cast<std::uint8_t>(v);
            };
            put16(8, end);
            put16(10, next);
            put16(12, slots);
            put16(14, numReadings);
            out.send(answerFrame(0x10, d));
        } else if (cmd == 0x13) {
            const int pos = req[6] * 256 + req[7];
            if (answerRecords >= 0 && static_cast<int>(recordRequests.size()) >= answerRecords) return;
            recordRequests.push_back(pos);
            Bytes d{0, 0};
            const Record r = pos < slots ? ring[static_cast<std::size_t>(pos)] : Record{};
            d.insert(d.end(), r.begin(), r.end());
            out.send(answerFrame(0x13, d));
        } else if (cmd == 0x04) {
            const int from = req[10] * 256 + req[11];
            Bytes ack = answerFrame(0x04, {});
            Bytes stream;
            int sent = 0;
            auto emit = [&](const Bytes& f) { stream.insert(stream.end(), f.begin(), f.end()); };
            for (int p = 0; p < numReadings; ++p) {
                if (cutAfter >= 0 && sent >= cutAfter) break;
                ++sent;
                if (dropFrames.count(p)) continue;
                Record r = ring[static_cast<std::size_t>((from + p) % slots)];
                if (badCheckFrames.count(p)) r[15] ^= 0x01;
                const Bytes f = bulkFrame(p, r, badEndFrames.count(p) ? 0x00 : 0x4F);
                emit(f);
                if (twiceFrames.count(p)) emit(f);
            }
            if (streamInAckChunk) {
                ack.insert(ack.end(), stream.begin(), stream.end());
                out.send(ack);
            } else {
                out.send(ack);
                if (byteByByte) {
                    for (auto b : stream) out.send({b}, 0);
                } else {
                    for (std::size_t i = 0; i < stream.size(); i += 36)
                        out.send(Bytes(stream.begin() + static_cast<long>(i),
                                       stream.begin() + static_cast<long>(std::min(stream.size(), i + 36))),
                                 frameGapMs);
                }
            }
            if (deadAfterStream) dead_ = true;
        } else {
            out.send(answerFrame(static_cast<std::uint8_t>(cmd), {}));
        }
    }
    Bytes buf_;
    bool dead_ = false;
};

}  // namespace kvr::test
