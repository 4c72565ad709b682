// Shared by the server-link tests: record and frame builders, a small
// in-test probe server behind the fake port (answers record and bulk-start
// commands from a ring, with scripted faults, or every request from a script).
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "sim/devices/readings.h"
#include "sim/devices/sim_device.h"

namespace kvr::test {

using sim::Record;

// Sets bytes 30-31 to the check of bytes 0..29 (the simulators' own CRC).
inline Record sealed(Record r) {
    sim::sealRecord(r);
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
    r[7] = static_cast<std::uint8_t>(n);
    r[8] = 0x2B;
    for (std::size_t i = 0; i < 6; ++i) {
        r[10 + 3 * i] = 0x4A;
        r[11 + 3 * i] = 0x09;
        r[12 + 3 * i] = static_cast<std::uint8_t>(0x80 + n + static_cast<int>(i));
    }
    r[29] = static_cast<std::uint8_t>(n);
    return sealed(r);
}

// Answer frame: 5E FF FF L dir cmd data.. crc-lo crc-hi.
inline Bytes answerFrame(std::uint8_t cmd, const Bytes& data, std::uint8_t direction = 0x01) {
    Bytes f{0x5E, 0xFF, 0xFF, static_cast<std::uint8_t>(data.size() + 2), direction, cmd};
    f.insert(f.end(), data.begin(), data.end());
    const auto c = sim::crc16(ByteSpan(f).subspan(1));
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
    std::vector<Record> ring;  // RecordSlots = ring.size()
    int next = 0, numReadings = 0;

    // Bulk stream faults, by frame position.
    std::set<int> dropFrames, badEndFrames, badCheckFrames, twiceFrames;
    int cutAfter = -1;              // stop streaming after this many frames
    bool streamInAckChunk = false;  // ack and the whole stream in one chunk
    bool byteByByte = false;        // stream one byte per chunk
    std::int64_t frameGapMs = 2;
    std::map<int, int> ignore;      // requests (by command) left unanswered, counted down
    bool deadAfterStream = false;
    int answerRecords = -1;         // record requests answered before going silent

    std::vector<std::vector<sim::SimChunk>> script;  // if set: the answer to each request, the last repeating
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
        const int cmd = req[5];
        if (sim::crc16(ByteSpan(req).subspan(1)) != 0 || dead_) return;
        if (!script.empty()) {
            for (const auto& c : script[std::min(requests.size(), script.size()) - 1]) out.send(c.bytes, c.delayMs);
            return;
        }
        if (auto it = ignore.find(cmd); it != ignore.end() && it->second > 0) {
            --it->second;
            return;
        }
        const int slots = static_cast<int>(ring.size());
        if (cmd == 0x13) {
            const int pos = req[6] * 256 + req[7];
            if (answerRecords >= 0 && static_cast<int>(recordRequests.size()) >= answerRecords) return;
            recordRequests.push_back(pos);
            Bytes d{0, 0};
            const Record r = pos < slots ? ring[static_cast<std::size_t>(pos)] : Record{};
            d.insert(d.end(), r.begin(), r.end());
            out.send(answerFrame(0x13, d));
        } else if (cmd == 0x04) {
            const int from = req[10] * 256 + req[11];
            Bytes ack = answerFrame(0x04, {}), stream;
            for (int p = 0; p < numReadings && (cutAfter < 0 || p < cutAfter); ++p) {
                if (dropFrames.count(p)) continue;
                Record r = ring[static_cast<std::size_t>((from + p) % slots)];
                if (badCheckFrames.count(p)) r[15] ^= 0x01;
                const Bytes f = bulkFrame(p, r, badEndFrames.count(p) ? 0x00 : 0x4F);
                for (int k = twiceFrames.count(p) ? 2 : 1; k > 0; --k) stream.insert(stream.end(), f.begin(), f.end());
            }
            if (streamInAckChunk) {
                ack.insert(ack.end(), stream.begin(), stream.end());
                out.send(ack);
            } else {
                out.send(ack);
                const std::size_t step = byteByByte ? 1 : 36;
                for (std::size_t i = 0; i < stream.size(); i += step)
                    out.send(Bytes(stream.begin() + static_cast<long>(i),
                                   stream.begin() + static_cast<long>(std::min(stream.size(), i + step))),
                             byteByByte ? 0 : frameGapMs);
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
