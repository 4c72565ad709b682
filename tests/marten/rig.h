// What Marten's run tests add to the common rig: a small in-process probe
// server whose record numbers are their ring positions (so the order of the
// rows shows the order of the walk), and the stored settings.
#pragma once

#include <cstdint>
#include <memory>

#include "server_dump/marten_run.h"
#include "tests/rig.h"

namespace kvr::test {

inline std::uint16_t crc16(const std::uint8_t* p, std::size_t n) {
    std::uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int k = 0; k < 8; ++k) crc = (crc & 1) ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001) : crc >> 1;
    }
    return crc;
}

// Ring values, the record, set-date and clear commands. Every request's frame
// check is verified, so a wrong byte in a frame shows up as a failed exchange.
class MiniServer : public sim::SimDevice {
public:
    // A ring holding this many new records from position 0.
    explicit MiniServer(std::int32_t records = 0) : endRecord(records), numReadings(records) {}
    std::int32_t endRecord = 0, nextRecord = 0, recordSlots = 1000, numReadings = 0;

    std::vector<int> fetched;             // ring positions asked for, in order
    std::vector<std::uint32_t> dateSets;  // server time units received
    int clears = 0;

    void receive(ByteSpan data, sim::SimOutput& out) override {
        buf_.insert(buf_.end(), data.begin(), data.end());
        for (;;) {
            while (!buf_.empty() && buf_.front() != 0x5E) buf_.erase(buf_.begin());
            if (buf_.size() < 4) return;
            // Requests are short: a bigger length byte means the 0x5E was not a frame start.
            const std::size_t L = buf_[3];
            if (buf_[1] != 0xFF || buf_[2] != 0xFF || L < 2 || L > 40) {
                buf_.erase(buf_.begin());
                continue;
            }
            if (buf_.size() < L + 6) return;
            Bytes f(buf_.begin(), buf_.begin() + static_cast<std::ptrdiff_t>(L + 6));
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
    void answer(std::uint8_t cmd, Bytes data, sim::SimOutput& out) {
        Bytes f{0x5E, 0xFF, 0xFF, static_cast<std::uint8_t>(data.size() + 2), 0x01, cmd};
        f.insert(f.end(), data.begin(), data.end());
        const std::uint16_t c = crc16(f.data() + 1, f.size() - 1);
        f.push_back(static_cast<std::uint8_t>(c & 0xFF));
        f.push_back(static_cast<std::uint8_t>(c >> 8));
        out.send(f, 2);
    }
    static void put16(Bytes& d, std::int32_t v) {
        d.push_back(static_cast<std::uint8_t>(v >> 8));
        d.push_back(static_cast<std::uint8_t>(v));
    }
    void handle(const Bytes& f, sim::SimOutput& out) {
        const std::uint8_t cmd = f[5];
        if (cmd == 0x10) {
            Bytes d(8, 0);
            for (std::int32_t v : {endRecord, nextRecord, recordSlots, numReadings}) put16(d, v);
            answer(cmd, d, out);
        } else if (cmd == 0x13) {
            const int pos = f[6] * 256 + f[7];
            fetched.push_back(pos);
            // A kind-1 record (3.6 V, 2012-03-04 12:34) of probe 100..106, record number = position.
            Bytes r{0x1A, 0x00, 0x00, 0x61, 0xB3, 0xB2, 0x00, 0x00, 0x2B, 0x00, 0x4A, 0x09, 0xF6, 0x4A, 0x09, 0xF6,
                    0x4A, 0x09, 0xF6, 0x4A, 0x09, 0xF6, 0x4A, 0x09, 0xF6, 0x4A, 0x09, 0xF6, 0x00, 0x11};
            r[2] = static_cast<std::uint8_t>(100 + pos % 7);
            r[6] = f[6];
            r[7] = f[7];
            const std::uint16_t c = crc16(r.data(), 30);
            Bytes d{f[6], f[7]};
            d.insert(d.end(), r.begin(), r.end());
            d.push_back(static_cast<std::uint8_t>(c & 0xFF));
            d.push_back(static_cast<std::uint8_t>(c >> 8));
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
    Bytes buf_;
};

class MartenTest : public FakeRunTest {
protected:
    // The device on port 3, the stored port.
    void serve(sim::SimDevice* d) {
        port.attach(3, d);
        storePort(3);
    }
    void storePort(int n) { settings.set("NVA5", "Startup", "Port", std::to_string(n)); }
    std::string setting(const std::string& key) { return settings.get("NVA5", "Startup", key, "<absent>"); }
    fs::path dump0() const { return dir / "KVR Dumps" / "Dump00.csv"; }
    // Record numbers of the rows of Dump00.csv, in file order.
    std::vector<int> dumpRecNos() const {
        std::vector<int> out;
        auto ls = lines(dump0());
        for (std::size_t i = 1; i < ls.size(); ++i) out.push_back(std::stoi(ls[i].substr(ls[i].find(',') + 1)));
        return out;
    }

    std::unique_ptr<MartenRun> run = std::make_unique<MartenRun>(platform, dir);
};

}  // namespace kvr::test
