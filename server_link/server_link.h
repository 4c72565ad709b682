// The probe-server link: CRC-16 framed commands, status, single records and
// the bulk stream. The link state (buffers, CommsError, the record ring) is
// owned by the run and shared by reference with the logger link. Decoded
// records go to the run's sink; lamps, labels and progress are events.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/link_events.h"
#include "core/link_state.h"
#include "core/platform.h"
#include "core/server_record.h"

namespace kvr {

class ServerLink {
public:
    // Without events of the run's own, every event goes to the screen.
    ServerLink(Platform& platform, LinkState& state, LinkEvents* events = nullptr);

    // Appends one byte to the pending command; the first lands at position 6.
    void v5Add(std::uint8_t xByte);
    // Completes, sends and checks one exchange, up to four attempts.
    // Afterwards TxLen is 0; CommsError false means RxBuf holds the answer.
    void v5Transmit();
    // v5Add of every command byte, then v5Transmit.
    void request(ByteSpan command);
    void v5GetStatus();
    // The server's own clock from its last status answer (15-second units
    // since 2000) and the workstation's time when it came: a run reports
    // the drift before it sets the clock.
    std::optional<std::int64_t> statusClockUnits;
    LocalTime statusReadAt{};
    // Fetches ring position RecNo and hands its record to the sink.
    void GetReading(const std::int32_t& RecNo);
    // Bulk download of NumReadings records from NextRecord. Records go to
    // the sink after the stream has ended, in ring order, each position
    // once; a position whose frame did not arrive whole is fetched on its
    // own in its place. The first such fetch that fails stops the walk, so
    // the records handed over are always a prefix of a clean transfer's.
    // CommsError is false only when every position was handed over.
    void DumpAll();

    // Where decoded records go; set by the run before downloading.
    RecordSink sink;

    std::int16_t ModemOnline = 0;

    // Bytes that arrived after the valid answer in the same chunk (RxBuf
    // keeps only up to position 1000 of them). The bulk stream may begin
    // in the chunk that carries the acknowledgement of its start command.
    const Bytes& answerTail() const { return tail_; }

    // Figures of the last DumpAll, for the run's report and for tests.
    std::int32_t StreamedRecords = 0;   // positions handled from the stream
    std::int32_t BackFilledRecords = 0; // positions fetched again one by one

    // Inactivity limit of the bulk stream.
    static constexpr std::int64_t kStreamSilenceMs = 5000;

private:
    // Status text, then a chance for the window to paint it.
    void showEvent(const std::string& text);
    void onAnswerByte(std::uint8_t b, std::uint16_t& rxCrc, int& expectedLen);
    void handOver(const DecodedRecord& rec);

    Platform& p_;
    ScreenEvents screenEvents_;
    LinkEvents& ev_;
    LinkState& s_;
    Bytes tail_;
};

}  // namespace kvr
