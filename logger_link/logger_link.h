// The logger link: checksummed frames, status, date, clearing, baud rate,
// block and ring download, probe flash writing. Otter's version is the
// reference; Marten's differs in a few numbers and switches (LoggerVariant).
// (Shape agreed with the run sequences; the link's owner fills in the rest.)
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

#include "core/link_state.h"
#include "core/lowbatt.h"
#include "core/platform.h"
#include "files/folder_lock.h"
#include "files/probe_files.h"
#include "logger_link/logger_frame.h"

namespace kvr {

// The two programs' links differ only in these numbers and switches.
struct LoggerVariant {
    bool marten = false;
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
    // window showing and the resident single-frame probe.
    bool fullStatus = true;
    bool statusLabelOnDate = true;  // "Setting logger date and time ..."

    static LoggerVariant Otter() { return {}; }
    static LoggerVariant Marten() {
        LoggerVariant v;
        v.marten = true;
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
    LoggerLink(Platform& platform, LinkState& state, LoggerVariant variant);

    void TxAdd(double xByte);
    void Transmit(std::int16_t& AnswerLength, bool NoRetries, float timeout);

    void GetStatus();
    void SetLoggerDate();
    void ClearReadings();
    void SetBaudrate(std::int16_t Baud);
    void GetProbeDataBlock(std::int16_t DataBlockNumber);

    // Otter: downloads into DumpFolder / "KVR Probe Data.csv". Returns false
    // when a row did not reach the disk (writeFailure says which file); the
    // logger must then not be cleared. Comms failures show in CommsError.
    // GetRadioData walks at most RecordSlots records: a ring whose pointers
    // never meet ends there with CommsError true (and ringInconsistent true),
    // so the caller does not clear a logger it could not read completely.
    bool GetData();
    bool GetRadioData();
    // Marten: one block per call into the run's open files.
    void GetData(std::int32_t RecNo, RunFiles& files, LowBatteryList& low);

    void GetProbeListRecord(std::int16_t RecordNumber, std::int32_t& ProbeID, std::int16_t& LastSampleNumber,
                            std::int16_t& Wake, float& Volts);
    void ProbeWriteByte(std::int32_t FlashBlockAddr, std::int16_t FlashByteOffset, std::int16_t ByteValue);
    void ProbeWritePage(std::int32_t FlashBlockAddr);

    // State of the logger found by GetStatus.
    bool ExtendedStatus = false;
    bool ServerFormat = false;
    float FirmwareVersion = 0;
    std::int16_t ScanRate = 0;       // Otter
    std::int16_t HighSpeed = 0;      // Otter
    bool LoggerHandled = false;      // Otter
    bool CellConnected = false;      // Otter
    float CellWait = 0;              // Otter
    std::array<std::int16_t, 129> PageBuf{};
    std::filesystem::path DumpFolder;  // Otter: where the running file goes
    std::string writeFailure;          // which file failed, for the message
    bool ringInconsistent = false;     // last GetRadioData stopped at the bound
    bool folderBusy = false;           // last download found DumpFolder locked too long
    FolderLock folderLock;             // held while the running file is open
    // Where the download's rows go instead of the running file (no file, no
    // lock): lets the walk and the decoders run in memory. False: not kept.
    std::function<bool(std::string_view row)> rowSink;
    // Restarts of GetStatus after a modem hand-over: each one re-asks the
    // logger, so a modem that keeps answering for it cannot loop for ever.
    static constexpr int kMaxCellRestarts = 3;

    // Otter: modem hand-over (Cell_Registered); true when a call is up.
    std::function<bool()> cellRegistered;
    // Marten: true while the "Lo" speed option is selected.
    std::function<bool()> speedIsLo;

    const LoggerVariant& variant() const { return v_; }

private:
    void led(int index, char colour);
    void label(const std::string& text);
    void command(std::uint8_t code, std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d);
    bool statusOnce(bool& restart, bool mayRestart);
    bool openRunningFile(DataFile& f);
    bool closeRunningFile(DataFile& f);
    bool reopenPort(const char* settings);

    Platform& p_;
    LinkState& s_;
    LoggerVariant v_;
};

}  // namespace kvr
