// Small devices for Otter's unit tests: a logger that answers the frames the
// scan uses, and a scripted modem whose answers a test chooses line by line.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "logger_link/logger_frame.h"
#include "sim/devices/readings.h"
#include "sim/devices/sim_device.h"

namespace kvr::otter_test {

// An ordinary logger (blocks from 64: probe header blocks, data blocks) or an
// extended one (a ring of records, 4 per block from block 64).
class TestLogger : public sim::SimDevice {
public:
    bool extended = false;
    bool silent = false;          // unplugged: swallows everything
    int silentAfterBlocks = -1;   // stops answering after this many block reads
    std::vector<std::array<std::uint8_t, 128>> blocks;  // block 64 + i
    // Extended ring.
    int nextRecord = 0, endRecord = 0, recordSlots = 0, count = 0;
    std::uint8_t year = 12, month = 3, day = 4;
    int countOverride = -1;       // ordinary: block count reported instead of blocks.size()

    // What the program did.
    int clears = 0;
    std::vector<int> clearArgs;
    std::vector<int> blockReads;
    std::vector<std::vector<int>> dateCommands;  // {10,...} and {12,...}
    std::vector<int> baudCommands;
    int statusRequests = 0;

    void receive(ByteSpan data, sim::SimOutput& out) override {
        for (std::uint8_t b : data) {
            if (in_.empty() && b != logger::kStart) continue;
            in_.push_back(b);
            if (in_.size() >= 5 && in_.size() == in_[4]) {
                handle(out);
                in_.clear();
            }
        }
    }
    nlohmann::json state() const override { return {{"clears", clears}}; }

    // Ordinary logger content: for each probe a header block, then data
    // blocks of up to four records.
    void addProbe(std::int32_t probe, const std::vector<ProbeReading>& readings) {
        std::array<std::uint8_t, 128> header;
        header.fill(0xFF);
        header[1] = static_cast<std::uint8_t>(probe >> 16);
        header[2] = static_cast<std::uint8_t>(probe >> 8);
        header[3] = static_cast<std::uint8_t>(probe);
        blocks.push_back(header);
        for (std::size_t i = 0; i < readings.size(); i += 4) {
            std::array<std::uint8_t, 128> blk;
            blk.fill(0xFF);
            for (std::size_t s = 0; s < 4 && i + s < readings.size(); ++s) {
                auto rec = sim::encodeLoggerRecord(readings[i + s]);
                std::copy(rec.begin(), rec.end(), blk.begin() + 32 * s);
            }
            blocks.push_back(blk);
        }
    }

private:
    void answer(sim::SimOutput& out, std::vector<std::uint8_t> data) {
        out.send(logger::buildAnswer(ByteSpan(data.data(), data.size())), 2);
    }
    static std::uint8_t hi(int v) { return static_cast<std::uint8_t>((v >> 8) & 0xFF); }
    static std::uint8_t lo(int v) { return static_cast<std::uint8_t>(v & 0xFF); }

    void handle(sim::SimOutput& out) {
        if (silent) return;
        std::vector<int> d(in_.begin() + 6, in_.end() - 3);
        switch (d.at(0)) {
            case 9:
                ++statusRequests;
                answer(out, {9, static_cast<std::uint8_t>(extended ? 120 : 255), year, month, day});
                break;
            case 11:
                answer(out, {11, 1, 12, 0, 0});
                break;
            case 1:
                if (extended)
                    answer(out, {1, hi(nextRecord), lo(nextRecord), hi(endRecord), lo(endRecord), hi(recordSlots),
                                 lo(recordSlots), hi(count), lo(count)});
                else
                {
                    int n = countOverride >= 0 ? countOverride : static_cast<int>(blocks.size());
                    answer(out, {1, hi(n), lo(n), 0, 0});
                }
                break;
            case 0: {
                int block = d.at(1) * 256 + d.at(2);
                if (silentAfterBlocks >= 0 && static_cast<int>(blockReads.size()) >= silentAfterBlocks) return;
                blockReads.push_back(block);
                std::vector<std::uint8_t> a{0, static_cast<std::uint8_t>(d.at(1)), static_cast<std::uint8_t>(d.at(2)), 0, 0};
                std::array<std::uint8_t, 128> pl;
                pl.fill(0xFF);
                if (block >= 64 && block - 64 < static_cast<int>(blocks.size())) pl = blocks[block - 64];
                a.insert(a.end(), pl.begin(), pl.end());
                answer(out, a);
                break;
            }
            case 3:
                ++clears;
                clearArgs = {d.at(1), d.at(2), d.at(3), d.at(4)};
                answer(out, {3, 0, 0, 0, 0});
                break;
            case 10:
            case 12:
                dateCommands.push_back(d);
                answer(out, {static_cast<std::uint8_t>(d.at(0)), 0, 0, 0, 0});
                break;
            case 14:
                baudCommands.push_back(d.at(1));
                answer(out, {14, 0, 0, 0, 0});
                break;
            default:
                break;
        }
    }

    std::vector<std::uint8_t> in_;
};

// Answers each command line (text before CR LF, or a lone "+++") with the
// text the test put in `replies` for it; unknown commands get nothing.
class ScriptedModem : public sim::SimDevice {
public:
    std::map<std::string, std::vector<std::string>> replies;  // used in order, last one repeats
    std::vector<std::string> lines;
    std::int64_t delayMs = 20;

    void receive(ByteSpan data, sim::SimOutput& out) override {
        std::string chunk(data.begin(), data.end());
        if (chunk == "+++") {
            reply("+++", out);
            return;
        }
        buf_ += chunk;
        for (auto p = buf_.find("\r\n"); p != std::string::npos; p = buf_.find("\r\n")) {
            std::string line = buf_.substr(0, p);
            buf_.erase(0, p + 2);
            reply(line, out);
        }
    }
    nlohmann::json state() const override { return {{"lines", lines}}; }

private:
    void reply(const std::string& line, sim::SimOutput& out) {
        lines.push_back(line);
        auto it = replies.find(line);
        if (it == replies.end() || it->second.empty()) return;
        std::size_t& n = used_[line];
        const std::string& text = it->second[std::min(n, it->second.size() - 1)];
        ++n;
        if (!text.empty()) out.send(Bytes(text.begin(), text.end()), delayMs);
    }
    std::string buf_;
    std::map<std::string, std::size_t> used_;
};

}  // namespace kvr::otter_test
