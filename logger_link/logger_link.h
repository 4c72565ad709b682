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

#include "core/link_state.h"
#include "core/lowbatt.h"
#include "core/platform.h"
#include "files/probe_files.h"

namespace kvr {

struct LoggerVariant {
    bool marten = false;
    static LoggerVariant Otter() { return {false}; }
    static LoggerVariant Marten() { return {true}; }
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
    // when a row did not reach the disk (writeFailure says which file).
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

    // Otter: modem hand-over (Cell_Registered); true when a call is up.
    std::function<bool()> cellRegistered;
    // Marten: true while the "Lo" speed option is selected.
    std::function<bool()> speedIsLo;

private:
    Platform& p_;
    LinkState& s_;
    LoggerVariant v_;
};

}  // namespace kvr
