#include "logger_link/logger_link.h"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "core/answer_wait.h"
#include "core/devtime.h"
#include "core/numbers.h"

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

LoggerLink::LoggerLink(Platform& platform, LinkState& state, LoggerVariant variant, LinkEvents* events)
    : p_(platform), screenEvents_(platform.screen), ev_(events ? *events : screenEvents_), s_(state), v_(variant) {}

void LoggerLink::led(int index, char colour) {
    if (colour) ev_.lamp(index, static_cast<Lamp>(colour));
}

void LoggerLink::label(const std::string& text) {
    ev_.status(text);
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

    Bytes frame;
    if (requestSent) {
        Bytes data;
        for (int i = 7; i <= std::min<int>(s_.TxLen, logger::kBufTop); ++i)
            data.push_back(static_cast<std::uint8_t>(s_.TxBuf[static_cast<std::size_t>(i)]));
        frame = logger::buildRequest(data);
        // The request stays in TxBuf, where answers are compared with it: the
        // header goes before the data, and the check, the end marker and the
        // trailing zeros are added after it as any byte is.
        for (std::size_t i = 0; i < logger::kHeaderLen; ++i) s_.TxBuf[i + 1] = frame[i];
        for (std::size_t i = frame.size() - logger::kTrailerLen; i < frame.size(); ++i) TxAdd(frame[i]);
        p_.port.clearInput();
    }

    if (p_.port.isOpen()) {
        int lastAttempt = 3;
        if (v_.cellWait) lastAttempt = static_cast<int>(std::floor(CellWait / 3.0f + 3.0f));
        // The first byte may take the first-byte wait, and the collection
        // that follows its wait is an inactivity limit of its own.
        const std::int64_t collectMs = E + timeoutMs + v_.collectMs;
        const WaitLimits limits =
            inactivityLimits(E + timeoutMs + v_.firstByteMs + collectMs, collectMs, lineTimeMs(p_.port, logger::kBufTop));

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

                s_.RxLen = 0;
                logger::Receiver rx(s_.RxBuf, s_.RxLen, AnswerLength);
                waitForAnswer(p_, limits, [&](const Bytes& chunk) {
                    if (chunk.empty()) return Reception::Stalled;
                    if (v_.ledOnChunk) {
                        led(0, 'N');
                        led(1, 'G');
                    }
                    const std::int16_t before = s_.RxLen;
                    rx.feed(chunk);
                    if (rx.complete()) return Reception::Whole;
                    return s_.RxLen > before ? Reception::Growing : Reception::Stalled;
                });
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

void LoggerLink::request(ByteSpan data, std::int16_t answerLength, bool noRetries, float timeout) {
    for (std::uint8_t b : data) TxAdd(b);
    Transmit(answerLength, noRetries, timeout);
}

// One pass of the status request; restart is set when a modem took the call
// and the logger behind it must be asked again.
bool LoggerLink::statusOnce(bool& restart) {
    restart = false;
    ServerFormat = false;
    ExtendedStatus = false;
    s_.NumReadings = 0;
    label("Conecting to logger, please wait ...");

    const bool single = v_.fullStatus && !CellConnected && singleStatusAttempt;
    request(logger::command(9), logger::kMinAnswerLen, single);
    if (s_.CommsError) {
        if (!v_.fullStatus) return false;
        bool zero = s_.RxLen == 2 && s_.RxBuf[2] == 0;
        bool echo = s_.RxLen >= 14;
        for (int i = 2; echo && i <= s_.RxLen; ++i)
            if (s_.RxBuf[static_cast<std::size_t>(i)] != s_.TxBuf[static_cast<std::size_t>(i)]) echo = false;
        if ((zero || echo) && cellRegistered && cellRegistered()) restart = true;
        return false;
    }

    if (v_.fullStatus && logger::isServerLayout(s_.RxBuf, s_.RxLen)) {
        ev_.loggerFound();
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

    if (v_.fullStatus) ev_.loggerFound();
    label("Requesting logger date, please wait ...");
    if (v_.fullStatus && s_.RxBuf[8] >= 100 && s_.RxBuf[8] != 255) ExtendedStatus = true;

    request(logger::command(11));
    if (s_.CommsError) return false;

    label("Checking for new readings, please wait ...");
    if (ExtendedStatus) {
        request(logger::command(1), 18);
        if (s_.CommsError) return false;
        s_.NextRecord = bufWord(s_.RxBuf, 8);
        s_.EndRecord = bufWord(s_.RxBuf, 10);
        s_.RecordSlots = bufWord(s_.RxBuf, 12);
        s_.NumReadings = bufWord(s_.RxBuf, 14);
    } else {
        request(logger::command(1));
        if (s_.CommsError) return false;
        s_.NumReadings = bufWord(s_.RxBuf, 8);
    }
    return true;
}

void LoggerLink::GetStatus() {
    for (int restarts = 0;; ++restarts) {
        bool restart = false;
        if (statusOnce(restart)) return;
        if (!restart || restarts >= kMaxCellRestarts) break;
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
    if (v_.fullStatus && ServerFormat) {
        std::int64_t s = toDeviceSeconds(p_.clock.now());
        std::uint32_t u = static_cast<std::uint32_t>(std::clamp<std::int64_t>(s, 0, 0xFFFFFFFFLL));
        request(logger::command(8, static_cast<std::uint8_t>(u >> 24), static_cast<std::uint8_t>(u >> 16),
                                static_cast<std::uint8_t>(u >> 8), static_cast<std::uint8_t>(u)));
        return;
    }
    CivilTime d = toCivil(p_.clock.now());
    request(logger::command(10, 255, static_cast<std::uint8_t>(d.year - 2000), static_cast<std::uint8_t>(d.month),
                            static_cast<std::uint8_t>(d.day)));
    if (s_.CommsError) return;
    CivilTime t = toCivil(p_.clock.now());
    request(logger::command(12, 254, static_cast<std::uint8_t>(t.hour), static_cast<std::uint8_t>(t.minute),
                            static_cast<std::uint8_t>(t.second)));
}

void LoggerLink::ClearReadings() {
    label("Clearing logger readings ...");
    if (ServerFormat)
        request(logger::command(27, hi(s_.EndRecord), lo(s_.EndRecord)));
    else if (ExtendedStatus)
        request(logger::command(3, hi(s_.EndRecord), lo(s_.EndRecord)));
    else
        request(logger::clearCommand());
}

bool LoggerLink::reopenPort(const char* settings) {
    p_.port.close();
    p_.port.setSettings(settings);
    std::string err;
    return p_.port.open(p_.port.portNumber(), err);
}

void LoggerLink::SetBaudrate(std::int16_t Baud) {
    // The speed switch is answered quickly or not at all.
    auto speedRequest = [&](std::uint8_t b) { request(logger::command(14, b), logger::kMinAnswerLen, false, 0.3f); };
    const std::uint8_t b = Baud == 1 ? 1 : 0;
    speedRequest(b);
    if (!s_.CommsError) {
        if (!reopenPort(Baud == 1 ? kSettingsHi : kSettingsLo)) {
            s_.CommsError = true;
        } else if (Baud == 1) {
            speedRequest(b);
        }
    }
    if (s_.CommsError) {
        bool opened = reopenPort(kSettingsLo);
        speedRequest(0);
        if (!opened) s_.CommsError = true;
    }
}

void LoggerLink::GetProbeDataBlock(std::int16_t DataBlockNumber) {
    const std::int32_t n = DataBlockNumber;
    for (int i = 0; i < 4; ++i) {
        request(logger::command(0, hi(n), lo(n)), logger::kBlockAnswerLen);
        if (s_.RxBuf[7] == s_.TxBuf[7] && s_.RxBuf[8] == s_.TxBuf[8] && s_.RxBuf[9] == s_.TxBuf[9]) return;
        if (s_.CommsError) return;
    }
    s_.CommsError = true;  // four valid answers, each for another block
}

LoggerLink::Walk LoggerLink::GetData(ReadingSink& sink) {
    label("Requesting probe readings ...");
    std::int32_t ProbeID = -1, PrevProbeID = -1, ReadingNo = 0;
    if (!sink.open()) return {false, false};

    const std::int32_t total = s_.NumReadings;
    bool kept = true;
    for (std::int32_t i = 1; i <= total && kept; ++i) {
        ev_.progress(static_cast<int>(static_cast<double>(i) / total * 100));
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
        for (int slot = 0; slot < 4 && kept; ++slot) {
            const std::uint8_t* rec = pl.data() + 32 * slot;
            if (rec[0] == 0xFF) continue;
            ++ReadingNo;
            auto r = logger::decodeLoggerRecord(rec).reading;
            r.probe = ProbeID;  // a block's records go under its first record's probe
            kept = sink.take(r);  // the rest could not be kept either
        }
    }
    ev_.progress(0);
    kept = sink.close() && kept;
    label("Data download completed.");
    return {kept, false};
}

LoggerLink::Walk LoggerLink::GetRadioData(ReadingSink& sink) {
    label("Requesting probe readings ...");
    if (!sink.open()) return {false, false};

    Walk walk;
    std::int32_t n = 0;
    std::int32_t P = s_.NextRecord;
    const std::int32_t total = s_.NumReadings;
    const std::int32_t base = ServerFormat ? 8 : 64;
    while (P != s_.EndRecord && !s_.CommsError) {
        // Device pointers are untrusted: a position outside the ring, or a
        // walk longer than the ring, means they never meet, and what was
        // read cannot be the whole of it.
        if (n >= s_.RecordSlots || P < 0 || P >= s_.RecordSlots) {
            walk.ringInconsistent = true;
            s_.CommsError = true;
            break;
        }
        if (n < total) ev_.progress(static_cast<int>(static_cast<double>(n) / total * 100));
        label("Dumping data ... " + std::to_string(n) + "/" + std::to_string(total) + ".");
        const int slot = P % 4;
        if (n == 0 || slot == 0) GetProbeDataBlock(static_cast<std::int16_t>(P / 4 + base));
        if (!s_.CommsError) {
            auto pl = logger::payload(s_.RxBuf);
            const std::uint8_t* rec = pl.data() + 32 * slot;
            if (rec[0] != 0xFF) {
                auto r = logger::decodeLoggerRecord(rec);
                if (r.reading.time < p_.clock.now() && r.probe > 0 && r.probe < 200000 && !sink.take(r.reading)) {
                    walk.kept = false;
                    break;
                }
            }
        }
        ++n;
        ++P;
        if (P == s_.RecordSlots) P = 0;
    }
    ev_.progress(0);
    walk.kept = sink.close() && walk.kept;
    label("Data download completed.");
    return walk;
}

void LoggerLink::GetData(std::int32_t RecNo, const RecordSink& sink) {
    if (RecNo + 63 < 0 || RecNo + 63 > 32767) {
        s_.CommsError = true;  // not addressable: the run cannot be complete
        return;
    }
    GetProbeDataBlock(static_cast<std::int16_t>(RecNo + 63));
    if (s_.CommsError) return;
    auto pl = logger::payload(s_.RxBuf);
    if (pl[0] == 0xFF) return;
    for (std::size_t slot = 0; slot < 4; ++slot) sink(decodeRecord(RecordBytes(pl.data() + 32 * slot, kRecordSize)));
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
    request(logger::command(2, hi(FlashBlockAddr), lo(FlashBlockAddr), static_cast<std::uint8_t>(FlashByteOffset),
                            static_cast<std::uint8_t>(ByteValue)));
}

void LoggerLink::ProbeWritePage(std::int32_t FlashBlockAddr) {
    const Bytes head = ServerFormat ? logger::command(0, hi(FlashBlockAddr), lo(FlashBlockAddr), 1)
                                    : logger::command(13, hi(FlashBlockAddr), lo(FlashBlockAddr));
    for (std::uint8_t b : head) TxAdd(b);
    // Page values go through TxAdd's own rounding and range rules.
    for (int i = 0; i < 128; ++i) TxAdd(PageBuf[static_cast<std::size_t>(i)]);
    std::int16_t len = logger::kMinAnswerLen;
    Transmit(len, false, 0);
}

}  // namespace kvr
