#include "logger_link/logger_link.h"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "core/devtime.h"
#include "core/numbers.h"
#include "server_link/record.h"

namespace kvr {

namespace {

constexpr const char* kSettingsHi = "56000,n,8,1";
constexpr const char* kSettingsLo = "9600,n,8,1";

std::string shortest(float v) {
    char buf[32];
    auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

std::uint8_t lo(std::int32_t v) { return static_cast<std::uint8_t>(v & 0xFF); }
std::uint8_t hi(std::int32_t v) { return static_cast<std::uint8_t>((v >> 8) & 0xFF); }

}  // namespace

LoggerLink::LoggerLink(Platform& platform, LinkState& state, LoggerVariant variant)
    : p_(platform), s_(state), v_(variant) {}

void LoggerLink::led(int index, char colour) {
    if (colour) p_.screen.setLed(index, colour);
}

void LoggerLink::label(const std::string& text) {
    p_.screen.showEvent(text);
    p_.screen.yield();
}

void LoggerLink::TxAdd(double xByte) {
    ++s_.TxLen;
    if (s_.TxLen < 7) s_.TxLen = 7;
    if (s_.TxLen > logger::kBufTop) {
        s_.TxLen = logger::kBufTop;  // no room: the byte is dropped
    } else {
        double v = std::isnan(xByte) || xByte < 0 ? 0 : xByte;
        std::int64_t n = std::min<std::int64_t>(roundHalfEven(v), 32767);
        s_.TxBuf[static_cast<std::size_t>(s_.TxLen)] = static_cast<std::int16_t>(n);
    }
    led(0, 'G');
}

void LoggerLink::Transmit(std::int16_t& AnswerLength, bool NoRetries, float timeout) {
    s_.RxLen = 0;
    s_.CommsError = true;
    const bool cell = v_.cellWait && CellWait > 0;
    const std::int64_t E = cell ? v_.cellExtraMs : 0;
    const std::int64_t timeoutMs = std::max<std::int64_t>(0, std::llround(static_cast<double>(timeout) * 1000));
    const bool requestSent = s_.TxLen > 0;

    if (requestSent) {
        const std::int16_t dataEnd = s_.TxLen;
        s_.TxBuf[1] = logger::kStart;
        s_.TxBuf[2] = s_.TxBuf[3] = s_.TxBuf[4] = 0xFF;
        s_.TxBuf[5] = static_cast<std::int16_t>(dataEnd + 3);
        s_.TxBuf[6] = 0;
        std::int32_t S = logger::sum(s_.TxBuf, 2, dataEnd);
        TxAdd(S / 256);
        TxAdd(S % 256);
        TxAdd(95);
        TxAdd(0);
        TxAdd(0);
        TxAdd(0);
        p_.port.clearInput();
    }

    if (p_.port.isOpen()) {
        int lastAttempt = 3;
        if (v_.cellWait) lastAttempt = static_cast<int>(std::floor(CellWait / 3.0f + 3.0f));
        Bytes frame;
        for (int i = 1; i <= s_.TxLen; ++i) frame.push_back(static_cast<std::uint8_t>(s_.TxBuf[static_cast<std::size_t>(i)]));

        int tries = 0;
        do {
            for (int k = 0; k <= lastAttempt; ++k) {
                p_.screen.yield();
                led(0, v_.ledAttemptStart0);
                if (v_.pulseAlways || !CellConnected) {
                    // Lines a pseudo-terminal cannot drive fail; that is harmless.
                    p_.port.setDtr(false);
                    p_.port.setRts(false);
                    p_.port.setDtr(true);
                    p_.port.setRts(true);
                }
                if (v_.clearAlways || requestSent) p_.port.clearInput();
                for (std::uint8_t b : frame) p_.port.write(ByteSpan(&b, 1));
                p_.screen.yield();

                // First byte: block on the port until something arrives.
                std::int64_t T = p_.clock.monotonicMs();
                const std::int64_t firstDeadline = T + E + timeoutMs + v_.firstByteMs;
                // A port that went away cannot block: stop waiting rather than spin.
                while (p_.port.isOpen() && p_.port.bytesWaiting() == 0 && p_.clock.monotonicMs() < firstDeadline)
                    p_.port.waitForBytes(firstDeadline);

                // Collect: the limit is one of inactivity, restarted by each chunk.
                T = p_.clock.monotonicMs();
                s_.RxLen = 0;
                const std::int64_t limit = E + timeoutMs + v_.collectMs;
                logger::Receiver rx(s_.RxBuf, s_.RxLen, AnswerLength);
                while (s_.RxLen < AnswerLength && p_.clock.monotonicMs() - T < limit) {
                    p_.screen.yield();
                    if (p_.port.bytesWaiting() > 0) {
                        Bytes chunk = p_.port.readAll();
                        if (v_.ledOnChunk) {
                            led(0, 'N');
                            led(1, 'G');
                        }
                        rx.feed(chunk);
                        T = p_.clock.monotonicMs();
                    } else if (!p_.port.isOpen()) {
                        break;
                    } else {
                        p_.port.waitForBytes(T + limit);
                    }
                }
                if (s_.RxLen >= AnswerLength) break;
                if (NoRetries) break;
                led(1, 'R');
            }
            if (s_.RxLen < AnswerLength) break;

            s_.CommsError = false;
            s_.RxLen = AnswerLength;
            if (!logger::answerValid(s_.RxBuf, s_.RxLen, requestSent)) s_.CommsError = true;
            ++tries;
        } while (tries < 3 && s_.CommsError);
    }

    s_.TxLen = 0;
    led(1, s_.CommsError ? 'R' : v_.ledEndOk1);
}

void LoggerLink::command(std::uint8_t code, std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
    TxAdd(code);
    TxAdd(a);
    TxAdd(b);
    TxAdd(c);
    TxAdd(d);
}

// One pass of the status request; restart is set when a modem took the call
// and the logger behind it must be asked again.
bool LoggerLink::statusOnce(bool& restart, bool mayRestart) {
    restart = false;
    ServerFormat = false;
    ExtendedStatus = false;
    s_.NumReadings = 0;
    label("Conecting to logger, please wait ...");

    std::int16_t len = 14;
    command(9, 0, 0, 0, 0);
    const bool single = v_.fullStatus && !CellConnected && ScanRate > 0;
    Transmit(len, single, 0);
    if (s_.CommsError) {
        if (!v_.fullStatus) return false;
        bool zero = s_.RxLen == 2 && s_.RxBuf[2] == 0;
        bool echo = s_.RxLen >= 14;
        for (int i = 2; echo && i <= s_.RxLen; ++i)
            if (s_.RxBuf[static_cast<std::size_t>(i)] != s_.TxBuf[static_cast<std::size_t>(i)]) echo = false;
        // Asking the modem dials; past the restart bound the call would go unused.
        if ((zero || echo) && mayRestart && cellRegistered && cellRegistered()) restart = true;
        return false;
    }

    if (v_.fullStatus && logger::isServerLayout(s_.RxBuf, s_.RxLen)) {
        if (!LoggerHandled) p_.screen.showWindow(true);
        ServerFormat = true;
        ExtendedStatus = true;
        auto st = logger::decodeServerStatus(s_.RxBuf);
        FirmwareVersion = st.firmware;
        s_.EndRecord = st.endRecord;
        s_.NextRecord = st.nextRecord;
        s_.RecordSlots = st.recordSlots;
        s_.NumReadings = st.count;
        label("Found NVA4-SVR(" + shortest(FirmwareVersion) + ") with " + std::to_string(s_.NumReadings) +
              " readings.");
        return true;
    }

    if (v_.fullStatus && !LoggerHandled) p_.screen.showWindow(true);
    label("Requesting logger date, please wait ...");
    if (v_.fullStatus && s_.RxBuf[8] >= 100 && s_.RxBuf[8] != 255) ExtendedStatus = true;

    len = 14;
    command(11, 0, 0, 0, 0);
    Transmit(len, false, 0);
    if (s_.CommsError) return false;

    label("Checking for new readings, please wait ...");
    command(1, 0, 0, 0, 0);
    auto word = [&](int pos) {
        return static_cast<std::int32_t>(s_.RxBuf[static_cast<std::size_t>(pos)]) * 256 +
               s_.RxBuf[static_cast<std::size_t>(pos + 1)];
    };
    if (ExtendedStatus) {
        len = 18;
        Transmit(len, false, 0);
        if (s_.CommsError) return false;
        s_.NextRecord = word(8);
        s_.EndRecord = word(10);
        s_.RecordSlots = word(12);
        s_.NumReadings = word(14);
    } else {
        len = 14;
        Transmit(len, false, 0);
        if (s_.CommsError) return false;
        s_.NumReadings = word(8);
    }
    return true;
}

void LoggerLink::GetStatus() {
    for (int restarts = 0;; ++restarts) {
        bool restart = false;
        if (statusOnce(restart, restarts < kMaxCellRestarts)) return;
        if (!restart) break;
    }
    s_.CommsError = true;
    s_.NumReadings = 0;
    label("No comms ...");
}

void LoggerLink::SetLoggerDate() {
    if (v_.statusLabelOnDate)
        label("Setting logger date and time ...");
    else
        p_.screen.yield();
    std::int16_t len = 14;
    if (v_.fullStatus && ServerFormat) {
        std::int64_t s = toDeviceSeconds(p_.clock.now());
        std::uint32_t u = static_cast<std::uint32_t>(std::clamp<std::int64_t>(s, 0, 0xFFFFFFFFLL));
        command(8, static_cast<std::uint8_t>(u >> 24), static_cast<std::uint8_t>(u >> 16),
                static_cast<std::uint8_t>(u >> 8), static_cast<std::uint8_t>(u));
        Transmit(len, false, 0);
        return;
    }
    CivilTime d = toCivil(p_.clock.now());
    command(10, 255, static_cast<std::uint8_t>(d.year - 2000), static_cast<std::uint8_t>(d.month),
            static_cast<std::uint8_t>(d.day));
    Transmit(len, false, 0);
    if (s_.CommsError) return;
    CivilTime t = toCivil(p_.clock.now());
    len = 14;
    command(12, 254, static_cast<std::uint8_t>(t.hour), static_cast<std::uint8_t>(t.minute),
            static_cast<std::uint8_t>(t.second));
    Transmit(len, false, 0);
}

void LoggerLink::ClearReadings() {
    label("Clearing logger readings ...");
    if (ServerFormat)
        command(27, hi(s_.EndRecord), lo(s_.EndRecord), 0, 0);
    else if (ExtendedStatus)
        command(3, hi(s_.EndRecord), lo(s_.EndRecord), 0, 0);
    else
        command(3, 0, 0, 0, 0);
    std::int16_t len = 14;
    Transmit(len, false, 0);
}

bool LoggerLink::reopenPort(const char* settings) {
    p_.port.close();
    p_.port.setSettings(settings);
    std::string err;
    return p_.port.open(p_.port.portNumber(), err);
}

void LoggerLink::SetBaudrate(std::int16_t Baud) {
    if (v_.marten) {
        // Without the speed option's answer, stay at the safe speed.
        if (!speedIsLo || speedIsLo()) return;
    } else if (HighSpeed == 0) {
        return;
    }
    // Switching back after a failed download must not hide that failure.
    const bool failedBefore = Baud != 1 && s_.CommsError;
    const std::uint8_t b = Baud == 1 ? 1 : 0;
    std::int16_t len = 14;
    command(14, b, 0, 0, 0);
    Transmit(len, false, 0.3f);
    if (!s_.CommsError) {
        if (!reopenPort(Baud == 1 ? kSettingsHi : kSettingsLo)) {
            s_.CommsError = true;
        } else if (Baud == 1) {
            len = 14;
            command(14, b, 0, 0, 0);
            Transmit(len, false, 0.3f);
        }
    }
    if (s_.CommsError) {
        bool opened = reopenPort(kSettingsLo);
        len = 14;
        command(14, 0, 0, 0, 0);
        Transmit(len, false, 0.3f);
        if (!opened) s_.CommsError = true;
    }
    if (failedBefore) s_.CommsError = true;
}

void LoggerLink::GetProbeDataBlock(std::int16_t DataBlockNumber) {
    const std::int32_t n = DataBlockNumber;
    for (int i = 0; i < 4; ++i) {
        command(0, hi(n), lo(n), 0, 0);
        std::int16_t len = logger::kBlockAnswerLen;
        Transmit(len, false, 0);
        if (s_.RxBuf[7] == s_.TxBuf[7] && s_.RxBuf[8] == s_.TxBuf[8] && s_.RxBuf[9] == s_.TxBuf[9]) return;
        if (s_.CommsError) return;
    }
    s_.CommsError = true;  // four valid answers, each for another block
}

bool LoggerLink::openRunningFile(DataFile& f) {
    writeFailure.clear();
    folderBusy = false;
    // Decided under the lock: whether the running file is new and gets a header.
    if (!folderLock.lock(DumpFolder, folderLockWaitMs(p_.settings), p_.clock, p_.screen)) {
        folderBusy = true;
        writeFailure = DumpFolder.string();
        return false;
    }
    if (!openDataFile(f, dataFilePath(DumpFolder))) {
        writeFailure = f.path().empty() ? dataFilePath(DumpFolder).string() : f.path().string();
        if (!f.errorText().empty()) writeFailure += ": " + f.errorText();
        f.close();
        folderLock.unlock();
        return false;
    }
    return true;
}

bool LoggerLink::closeRunningFile(DataFile& f) {
    bool ok = !f.failed();
    ok = f.close() && ok;
    folderLock.unlock();
    if (!ok && writeFailure.empty()) {
        writeFailure = f.path().string();
        if (!f.errorText().empty()) writeFailure += ": " + f.errorText();
    }
    return ok;
}

bool LoggerLink::GetData() {
    label("Requesting probe readings ...");
    std::int32_t ProbeID = -1, PrevProbeID = -1, ReadingNo = 0;
    DataFile f;
    if (!rowSink && !openRunningFile(f)) return false;
    auto put = [&](const std::string& row) { return rowSink ? rowSink(row) : f.write(row); };

    const std::int32_t total = s_.NumReadings;
    bool kept = true;
    for (std::int32_t i = 1; i <= total; ++i) {
        p_.screen.setProgress(static_cast<int>(static_cast<double>(i) / total * 100));
        p_.screen.yield();
        if (s_.CommsError) continue;
        if (i + 63 > 32767) {
            // Block numbers are 16-bit: more cannot be addressed, so the
            // download cannot be complete and the logger must not be cleared.
            s_.CommsError = true;
            continue;
        }
        GetProbeDataBlock(static_cast<std::int16_t>(i + 63));
        if (s_.CommsError) continue;
        auto pl = logger::payload(s_.RxBuf);
        if (auto header = logger::probeHeader(pl)) {
            ProbeID = *header == 0 ? PrevProbeID : *header;
            if (ProbeID != PrevProbeID) ReadingNo = 0;
            continue;
        }
        if (ProbeID <= 0) continue;  // no header seen yet
        ProbeID = pl[0] * 65536 + pl[1] * 256 + pl[2];
        label("Dumping data ... probe " + std::to_string(ProbeID) + " reading number " + std::to_string(ReadingNo) +
              ".");
        PrevProbeID = ProbeID;
        for (int slot = 0; slot < 4; ++slot) {
            const std::uint8_t* rec = pl.data() + 32 * slot;
            if (rec[0] == 0xFF) continue;
            ++ReadingNo;
            auto r = logger::decodeLoggerRecord(rec).reading;
            r.probe = ProbeID;  // a block's records go under its first record's probe
            if (!put(dataRow(r, Program::Otter))) {
                kept = false;
                break;
            }
        }
        if (!kept) break;  // the rest could not be kept either
    }
    p_.screen.setProgress(0);
    bool ok = rowSink ? kept : closeRunningFile(f);
    label("Data download completed.");
    return ok;
}

bool LoggerLink::GetRadioData() {
    label("Requesting probe readings ...");
    ringInconsistent = false;
    // Pointers outside the ring never meet: the walk would append the whole
    // ring, stale records too, on every run. Nothing is read or written.
    if (s_.RecordSlots <= 0 || s_.NextRecord < 0 || s_.NextRecord >= s_.RecordSlots || s_.EndRecord < 0 ||
        s_.EndRecord >= s_.RecordSlots) {
        ringInconsistent = true;
        s_.CommsError = true;
        return true;
    }
    DataFile f;
    if (!rowSink && !openRunningFile(f)) return false;
    auto put = [&](const std::string& row) { return rowSink ? rowSink(row) : f.write(row); };
    bool kept = true;

    std::int32_t n = 0;
    std::int32_t P = s_.NextRecord;
    const std::int32_t total = s_.NumReadings;
    const std::int32_t base = ServerFormat ? 8 : 64;
    while (P != s_.EndRecord && !s_.CommsError) {
        // Device pointers are untrusted: a position outside the ring, or a
        // walk longer than the ring, means they never meet, and what was
        // read cannot be the whole of it.
        if (n >= s_.RecordSlots || P < 0 || P >= s_.RecordSlots) {
            ringInconsistent = true;
            s_.CommsError = true;
            break;
        }
        if (n < total) p_.screen.setProgress(static_cast<int>(static_cast<double>(n) / total * 100));
        label("Dumping data ... " + std::to_string(n) + "/" + std::to_string(total) + ".");
        const int slot = P % 4;
        if (n == 0 || slot == 0) GetProbeDataBlock(static_cast<std::int16_t>(P / 4 + base));
        if (!s_.CommsError) {
            auto pl = logger::payload(s_.RxBuf);
            const std::uint8_t* rec = pl.data() + 32 * slot;
            if (rec[0] != 0xFF) {
                auto r = logger::decodeLoggerRecord(rec);
                if (r.reading.time < p_.clock.now() && r.probe > 0 && r.probe < 200000)
                    if (!(kept = put(dataRow(r.reading, Program::Otter)))) break;
            }
        }
        ++n;
        ++P;
        if (P == s_.RecordSlots) P = 0;
    }
    p_.screen.setProgress(0);
    bool ok = rowSink ? kept : closeRunningFile(f);
    label("Data download completed.");
    return ok;
}

void LoggerLink::GetData(std::int32_t RecNo, RunFiles& files, LowBatteryList& low) {
    if (RecNo + 63 < 0 || RecNo + 63 > 32767) {
        s_.CommsError = true;  // not addressable: the run cannot be complete
        return;
    }
    GetProbeDataBlock(static_cast<std::int16_t>(RecNo + 63));
    if (s_.CommsError) return;
    auto pl = logger::payload(s_.RxBuf);
    if (pl[0] == 0xFF) return;
    for (std::size_t slot = 0; slot < 4; ++slot) {
        RecordBytes rec(pl.data() + 32 * slot, kRecordSize);
        // Write failures are remembered by the files (RunFiles::ok).
        writeRecord(decodeRecord(rec), files, low);
    }
}

void LoggerLink::GetProbeListRecord(std::int16_t RecordNumber, std::int32_t& ProbeID, std::int16_t& LastSampleNumber,
                                    std::int16_t& Wake, float& Volts) {
    s_.CommsError = false;
    ProbeID = -1;
    if (RecordNumber % 8 == 0) GetProbeDataBlock(static_cast<std::int16_t>(RecordNumber / 8 + 1));
    if (s_.CommsError) return;
    auto pl = logger::payload(s_.RxBuf);
    auto e = logger::decodeProbeListEntry(pl.data() + 16 * (RecordNumber % 8));
    if (e.empty) return;
    ProbeID = e.probe;
    LastSampleNumber = e.lastSample;
    Volts = e.volts;
    Wake = 1;
}

void LoggerLink::ProbeWriteByte(std::int32_t FlashBlockAddr, std::int16_t FlashByteOffset, std::int16_t ByteValue) {
    command(2, hi(FlashBlockAddr), lo(FlashBlockAddr), static_cast<std::uint8_t>(FlashByteOffset),
            static_cast<std::uint8_t>(ByteValue));
    std::int16_t len = 14;
    Transmit(len, false, 0);
}

void LoggerLink::ProbeWritePage(std::int32_t FlashBlockAddr) {
    if (ServerFormat)
        command(0, hi(FlashBlockAddr), lo(FlashBlockAddr), 1, 0);
    else
        command(13, hi(FlashBlockAddr), lo(FlashBlockAddr), 0, 0);
    for (int i = 0; i < 128; ++i) TxAdd(PageBuf[static_cast<std::size_t>(i)]);
    std::int16_t len = 14;
    Transmit(len, false, 0);
}

}  // namespace kvr
