#include "server_link/server_link.h"

#include <algorithm>
#include <array>
#include <vector>

#include "core/devtime.h"
#include "core/answer_wait.h"
#include "core/crc16.h"
#include "server_link/bulk_stream.h"
#include "server_link/server_frame.h"

namespace kvr {

namespace {

constexpr int kMaxPos = 1000;      // last usable buffer position
constexpr int kAttempts = 4;

void put(LinkBuffer& buf, int pos, std::uint8_t b) {
    if (pos >= 1 && pos <= kMaxPos) buf[static_cast<std::size_t>(pos)] = b;
}

}  // namespace

ServerLink::ServerLink(Platform& platform, LinkState& state, LinkEvents* events)
    : p_(platform), screenEvents_(platform.screen), ev_(events ? *events : screenEvents_), s_(state) {}

void ServerLink::v5Add(std::uint8_t xByte) {
    // Positions 1..5 are left for the header that v5Transmit writes.
    if (s_.TxLen < kMaxPos + 1) ++s_.TxLen;
    if (s_.TxLen < 6) s_.TxLen = 6;
    put(s_.TxBuf, s_.TxLen, xByte);
    ev_.lamp(0, Lamp::Green);
}

void ServerLink::request(ByteSpan command) {
    for (std::uint8_t b : command) v5Add(b);
    v5Transmit();
}

void ServerLink::showEvent(const std::string& text) {
    ev_.status(text);
    p_.screen.yield();
}

// One answer byte into the receiver. RxLen counts the start byte as
// position 1 but the start byte itself is not stored.
void ServerLink::onAnswerByte(std::uint8_t b, std::uint16_t& rxCrc, int& expectedLen) {
    if (!s_.CommsError && s_.RxLen >= expectedLen) {
        // A valid answer is complete: what follows in the same chunk is kept.
        tail_.push_back(b);
        if (s_.RxLen < kMaxPos) put(s_.RxBuf, ++s_.RxLen, b);
        return;
    }
    if (s_.RxLen == 0) {
        if (b == 0x5E) {
            s_.RxLen = 1;
            rxCrc = 0xFFFF;
        }
        return;
    }
    ++s_.RxLen;
    put(s_.RxBuf, s_.RxLen, b);
    if (s_.RxLen == 4) expectedLen = b + 6;
    rxCrc = crc16Update(rxCrc, b);
    if (s_.RxLen != expectedLen) return;

    // Frame check first; the header checks only for a frame that passed it.
    s_.CommsError = rxCrc != 0;
    if (!s_.CommsError) {
        const auto& rx = s_.RxBuf;
        const auto& tx = s_.TxBuf;
        if (!(rx[2] == tx[2] || tx[2] == 0xFF)) s_.CommsError = true;
        if (!(rx[3] == tx[3] || tx[3] == 0xFF)) s_.CommsError = true;
        if (rx[5] != 0x01) s_.CommsError = true;  // an echo of our request has 0x00
        if (rx[6] != tx[6]) s_.CommsError = true;
    }
    // A rejected frame sends the receiver back to hunting: a correct answer
    // may still follow within the same attempt.
    if (s_.CommsError) s_.RxLen = 0;
}

void ServerLink::v5Transmit() {
    const std::int64_t answerTimeoutMs = std::int64_t{ModemOnline} * 5000 + 500;
    tail_.clear();
    s_.CommsError = true;

    if (p_.port.isOpen()) {
        Bytes command;
        for (int i = 6; i <= std::min<int>(s_.TxLen, kMaxPos); ++i)
            command.push_back(static_cast<std::uint8_t>(s_.TxBuf[static_cast<std::size_t>(i)]));
        const Bytes frame = server::buildRequest(command);
        // The frame stays in TxBuf: the answer's header is checked against it.
        for (std::size_t i = 0; i < frame.size(); ++i) put(s_.TxBuf, static_cast<int>(i + 1), frame[i]);
        s_.TxLen = static_cast<std::int16_t>(std::min<std::size_t>(frame.size(), kMaxPos));

        // One write per attempt: the wake-up byte 0x00 and the frame. The
        // server sees the same bytes as if they went one by one.
        Bytes out;
        out.reserve(frame.size() + 1);
        out.push_back(0x00);
        out.insert(out.end(), frame.begin(), frame.end());
        const WaitLimits limits = inactivityLimits(answerTimeoutMs, answerTimeoutMs, lineTimeMs(p_.port, kMaxPos));

        try {
            for (int attempt = 0; attempt < kAttempts && s_.CommsError; ++attempt) {
                ev_.lamp(0, Lamp::Green);
                p_.port.clearInput();  // leftovers belong to an earlier exchange
                ev_.attempt();
                p_.port.write(out);

                s_.RxLen = 0;
                int expectedLen = 10;
                std::uint16_t rxCrc = 0xFFFF;
                tail_.clear();
                int longest = 0;  // most of a frame received so far
                waitForAnswer(p_, limits, [&](const Bytes& chunk) {
                    if (chunk.empty()) return Reception::Stalled;
                    ev_.lamp(0, Lamp::Off);
                    ev_.lamp(1, Lamp::Green);
                    int reached = 0;
                    for (std::uint8_t b : chunk) {
                        onAnswerByte(b, rxCrc, expectedLen);
                        reached = std::max<int>(reached, s_.RxLen);
                    }
                    if (s_.RxLen >= expectedLen) return Reception::Whole;
                    if (reached <= longest) return Reception::Stalled;
                    longest = reached;
                    return Reception::Growing;
                });
                if (!s_.CommsError && s_.RxLen < expectedLen) s_.CommsError = true;
            }
        } catch (...) {
            // Closing the window mid-exchange still leaves no command pending.
            s_.TxLen = 0;
            throw;
        }
    }

    s_.TxLen = 0;
    ev_.lamp(0, Lamp::Off);
    ev_.lamp(1, s_.CommsError ? Lamp::Red : Lamp::Off);
}

void ServerLink::v5GetStatus() {
    showEvent("Loading server status ...");
    request(server::statusCommand());
    if (s_.CommsError) {
        showEvent("Cannot load server status, no comms.");
        return;
    }
    s_.EndRecord = bufWord(s_.RxBuf, 15);
    s_.NextRecord = bufWord(s_.RxBuf, 17);
    s_.RecordSlots = bufWord(s_.RxBuf, 19);
    s_.NumReadings = bufWord(s_.RxBuf, 21);
    statusClockUnits = std::int64_t{bufWord(s_.RxBuf, 11)} * 65536 + bufWord(s_.RxBuf, 13);
    statusReadAt = p_.clock.now();
    showEvent("Loaded server status OK.");
}

void ServerLink::handOver(const DecodedRecord& rec) {
    if (sink) sink(rec);
}

void ServerLink::GetReading(const std::int32_t& RecNo) {
    request(server::readingCommand(RecNo));
    if (s_.CommsError) return;
    std::array<std::uint8_t, kRecordSize> rec{};
    for (std::size_t k = 0; k < kRecordSize; ++k) rec[k] = bufByte(s_.RxBuf, static_cast<int>(k) + 9);
    handOver(decodeRecord(rec));
}

void ServerLink::DumpAll() {
    StreamedRecords = 0;
    BackFilledRecords = 0;
    ev_.lamp(0, Lamp::Green);
    ev_.lamp(1, Lamp::Off);

    const std::int32_t units = toServerUnits(p_.clock.now());
    request(server::dumpCommand(units, s_.NextRecord));
    ev_.lamp(0, Lamp::Off);
    if (s_.CommsError) return;

    // Frames carry a 16-bit number, so no transfer holds more positions.
    const std::int32_t total = std::clamp<std::int32_t>(s_.NumReadings, 0, 65536);
    if (total == 0) return;  // nothing asked for: the acknowledgement is all

    // Whole records are kept per frame position while the stream runs and
    // written only once it has ended, walking the positions in ring order:
    // a hole is then fetched on its own in its place, so the files hold the
    // rows in the order a clean transfer gives, and a link lost during the
    // walk leaves exactly the rows of a clean transfer up to that point.
    std::vector<std::array<std::uint8_t, kRecordSize>> records(static_cast<std::size_t>(total));
    std::vector<bool> received(static_cast<std::size_t>(total), false);
    std::int32_t remaining = total;
    bool lastFrameSeen = false;
    BulkReceiver rx;

    auto onFrame = [&](const BulkFrame& f) {
        if (f.position >= 0 && f.position < total && f.whole() && !received[static_cast<std::size_t>(f.position)]) {
            records[static_cast<std::size_t>(f.position)] = f.record;
            received[static_cast<std::size_t>(f.position)] = true;
            --remaining;
            ++StreamedRecords;
        }
        const std::int64_t pct = std::clamp<std::int64_t>(std::int64_t{f.position} * 100 / s_.NumReadings, 0, 100);
        ev_.progress(static_cast<int>(pct));
        showEvent("Loading readings ... " + std::to_string(f.position) + "/" + std::to_string(s_.NumReadings) + ".");
        if (f.position == total - 1) lastFrameSeen = true;
        return !(lastFrameSeen || remaining == 0);
    };

    // Progress is a position not received before: frames sent again and
    // again keep the stream's overall limit running.
    auto takeChunk = [&](const Bytes& chunk) {
        if (chunk.empty()) return Reception::Stalled;
        ev_.lamp(1, Lamp::Green);
        const std::int32_t before = remaining;
        rx.feed(chunk, onFrame);
        s_.RxLen = static_cast<std::int16_t>(rx.inFrame());
        if (lastFrameSeen || remaining == 0) return Reception::Whole;
        return remaining < before ? Reception::Growing : Reception::Stalled;
    };

    // The stream may start in the chunk that acknowledged the command.
    if (takeChunk(tail_) != Reception::Whole) {
        waitForAnswer(p_, inactivityLimits(kStreamSilenceMs, kStreamSilenceMs, lineTimeMs(p_.port, BulkReceiver::kFrameSize)),
                      takeChunk);
    }
    s_.RxLen = 0;
    s_.CommsError = false;

    for (std::int32_t i = 0; i < total; ++i) {
        if (received[static_cast<std::size_t>(i)]) {
            handOver(decodeBulkRecord(records[static_cast<std::size_t>(i)]));  // the sink skips what the files take no line for
            continue;
        }
        if (s_.RecordSlots <= 0) {
            // Without the ring's size no ring position can be worked out;
            // fetching guessed positions could write someone else's records.
            s_.CommsError = true;
            return;
        }
        const std::int32_t recNo = static_cast<std::int32_t>((std::int64_t{s_.NextRecord} + i) % s_.RecordSlots);
        const std::int64_t pct = std::int64_t{i} * 100 / s_.NumReadings;
        ev_.progress(static_cast<int>(std::clamp<std::int64_t>(pct, 0, 100)));
        showEvent("Loading readings ... " + std::to_string(i) + "/" + std::to_string(s_.NumReadings) + ".");
        GetReading(recNo);
        if (s_.CommsError) return;  // the run reports the lost link
        ++BackFilledRecords;
    }
}

}  // namespace kvr
