// The logger link: checksummed frames, status, date, clearing, baud rate,
// block and ring download, probe flash writing. Otter's version is the
// reference; Marten's differs in a few numbers and switches (LoggerVariant).
// (Shape agreed with the run sequences; the link's owner fills in the rest.)
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "core/link_events.h"
#include "core/link_state.h"
#include "core/platform.h"
#include "core/reading_sink.h"
#include "core/server_record.h"
#include "logger_link/logger_frame.h"

namespace kvr {

// The two programs' links differ only in these numbers and switches.
struct LoggerVariant {
    // Extra wait E (ms) added to both waits while CellWait > 0; CellWait also
    // lengthens the attempt loop (k = 0 .. CellWait / 3 + 3).
    bool cellWait = true;
    std::int64_t cellExtraMs = 6000;
    // First-byte wait and collect inactivity limit, added to the caller's timeout.
    std::int64_t firstByteMs = 500;
    std::int64_t collectMs = 200;
    // Pulse DTR/RTS on every attempt (else only without a cell call up).
    bool pulseAlways = false;
    // Empty the receive queue on every attempt (else only with a frame pending).
    bool clearAlways = false;
    // Lamps: 0 = leave as it is. Index 0 is the send lamp, 1 the answer lamp.
    char ledAttemptStart0 = 0;   // lamp 0 at the start of every attempt
    bool ledOnChunk = false;     // lamp 0 "N", lamp 1 "G" when answer bytes arrive
    char ledEndOk1 = 'G';        // lamp 1 after a good exchange
    // Status request: server layout, extended loggers, modem hand-over,
    // the logger-found event and the resident single-frame probe.
    bool fullStatus = true;
    bool statusLabelOnDate = true;  // "Setting logger date and time ..."

    static LoggerVariant Otter() { return {}; }
    static LoggerVariant Marten() {
        LoggerVariant v;
        v.cellWait = false;
        v.firstByteMs = 300;
        v.collectMs = 200;
        v.pulseAlways = true;
        v.clearAlways = true;
        v.ledAttemptStart0 = 'G';
        v.ledOnChunk = true;
        v.ledEndOk1 = 'N';
        v.fullStatus = false;
        v.statusLabelOnDate = false;
        return v;
    }
};

class LoggerLink {
public:
    // Without events of the run's own, every event goes to the screen.
    LoggerLink(Platform& platform, LinkState& state, LoggerVariant variant, LinkEvents* events = nullptr);

    void TxAdd(double xByte);
    void Transmit(std::int16_t& AnswerLength, bool NoRetries, float timeout);
    // TxAdd of every data byte, then Transmit expecting answerLength.
    void request(ByteSpan data, std::int16_t answerLength = logger::kMinAnswerLen, bool noRetries = false,
                 float timeout = 0);

    void GetStatus();
    void SetLoggerDate();
    void ClearReadings();
    // Switches logger and port to 56000 (Baud 1) or back to 9600 baud; the
    // caller decides whether the speed option asks for it at all.
    void SetBaudrate(std::int16_t Baud);
    void GetProbeDataBlock(std::int16_t DataBlockNumber);

    // What one of Otter's downloads left: whether every reading it
    // decoded was kept, and whether the ring's pointers never met.
    struct Walk {
        bool kept = true;
        bool ringInconsistent = false;
    };
    // Otter's downloads, each reading into the sink. GetRadioData walks at
    // most RecordSlots records: a ring whose pointers never meet ends there
    // with CommsError true (and ringInconsistent), so the caller does not
    // clear a logger it could not read completely.
    Walk GetData(ReadingSink& sink);
    Walk GetRadioData(ReadingSink& sink);
    // Marten: one block per call, each record into the sink.
    void GetData(std::int32_t RecNo, const RecordSink& sink);

    void GetProbeListRecord(std::int16_t RecordNumber, std::int32_t& ProbeID, std::int16_t& LastSampleNumber,
                            std::int16_t& Wake, float& Volts);
    void ProbeWriteByte(std::int32_t FlashBlockAddr, std::int16_t FlashByteOffset, std::int16_t ByteValue);
    void ProbeWritePage(std::int32_t FlashBlockAddr);

    // State of the logger found by GetStatus.
    bool ExtendedStatus = false;
    bool ServerFormat = false;
    float FirmwareVersion = 0;
    std::array<std::int16_t, 129> PageBuf{};
    // A cell call is up (Otter): the lines are not pulsed, and CellWait
    // seconds of modem delay lengthen the waits and the attempts.
    bool CellConnected = false;
    float CellWait = 0;
    // A resident Otter asks a logger that is not there only once per scan.
    bool singleStatusAttempt = false;
    // Restarts of GetStatus after a modem hand-over: each one re-asks the
    // logger, so a modem that keeps answering for it cannot loop for ever.
    static constexpr int kMaxCellRestarts = 3;

    // Otter: modem hand-over (Cell_Registered); true when a call is up.
    std::function<bool()> cellRegistered;

    const LoggerVariant& variant() const { return v_; }

private:
    void led(int index, char colour);
    void label(const std::string& text);
    bool statusOnce(bool& restart);
    bool reopenPort(const char* settings);

    Platform& p_;
    ScreenEvents screenEvents_;
    LinkEvents& ev_;
    LinkState& s_;
    LoggerVariant v_;
};

}  // namespace kvr
