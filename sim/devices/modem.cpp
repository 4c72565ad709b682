#include "sim/devices/modem.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>

namespace kvr::sim {

namespace {

Bytes text(const std::string& s) { return Bytes(s.begin(), s.end()); }

std::string upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

std::string trim(const std::string& s) {
    auto b = s.find_first_not_of(' ');
    if (b == std::string::npos) return "";
    auto e = s.find_last_not_of(' ');
    return s.substr(b, e - b + 1);
}

long toNumber(const std::string& opt, const std::string& v) {
    try {
        std::size_t used = 0;
        long n = std::stol(v, &used);
        if (used != v.size()) throw std::invalid_argument(v);
        return n;
    } catch (const std::exception&) {
        throw std::invalid_argument(opt + " needs a whole number, got '" + v + "'");
    }
}

}  // namespace

ModemOptions parseModemOptions(const std::vector<std::string>& args) {
    ModemOptions o;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        auto value = [&]() -> const std::string& {
            if (i + 1 >= args.size()) throw std::invalid_argument(a + " needs a value");
            return args[++i];
        };
        if (a == "--") {
            o.behindArgs.assign(args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
            break;
        } else if (a == "--pin") {
            o.pin = value();
        } else if (a == "--answer-on-try") {
            o.answerOnTry = static_cast<int>(toNumber(a, value()));
            if (o.answerOnTry < 1) throw std::invalid_argument("--answer-on-try must be 1 or more");
        } else if (a == "--dial") {
            const std::string& v = value();
            if (v == "connect") o.dial = ModemOptions::Dial::Connect;
            else if (v == "nocarrier") o.dial = ModemOptions::Dial::NoCarrier;
            else if (v == "busy") o.dial = ModemOptions::Dial::Busy;
            else if (v == "silent") o.dial = ModemOptions::Dial::Silent;
            else throw std::invalid_argument("--dial takes connect, nocarrier, busy or silent");
        } else if (a == "--behind") {
            o.behindKind = value();
        } else if (a == "--zero-on-frame") {
            o.zeroOnFrame = true;
        } else if (a == "--echo") {
            o.echo = true;
        } else if (a == "--reply-delay") {
            o.replyDelayMs = toNumber(a, value());
        } else if (a == "--connect-delay") {
            o.connectDelayMs = toNumber(a, value());
        } else {
            throw std::invalid_argument("unknown modem option " + a);
        }
    }
    return o;
}

Modem::Modem(ModemOptions options, std::unique_ptr<SimDevice> behind)
    : o_(std::move(options)), behind_(std::move(behind)), echo_(o_.echo), simLocked_(!o_.pin.empty()) {}

void Modem::reply(SimOutput& out, const std::string& t, std::int64_t delayMs) {
    out.send(text("\r\n" + t + "\r\n"), delayMs);
}

void Modem::receive(ByteSpan data, SimOutput& out) {
    // A real modem needs guard times of silence around the escape; here the
    // escape is a write that holds exactly "+++" and nothing else, which the
    // binary protocols never send on their own.
    const bool loneEscape = data.size() == 3 && data[0] == '+' && data[1] == '+' && data[2] == '+';
    if (online_) {
        if (loneEscape) {
            online_ = false;
            commands_.push_back("+++");
            line_.clear();
            reply(out, "OK", o_.replyDelayMs);
            return;
        }
        if (behind_) behind_->receive(data, out);
        return;
    }
    if (loneEscape) {
        commands_.push_back("+++");
        line_.clear();
        reply(out, "OK", o_.replyDelayMs);
        return;
    }
    commandBytes(data, out);
}

void Modem::watchLoggerFrame(std::uint8_t b, SimOutput& out) {
    // Logger request: 5E FF FF FF L 00 ... 5F (L counts start to end marker).
    if (frame_.empty() && b != 0x5E) return;
    frame_.push_back(b);
    const std::size_t n = frame_.size();
    if (n >= 2 && n <= 4 && b != 0xFF) {
        frame_.clear();
        if (b == 0x5E) frame_.push_back(b);
        return;
    }
    if (n == 5 && b < 10) {
        frame_.clear();
        return;
    }
    if (n >= 5 && n == frame_[4]) {
        if (b == 0x5F) {
            // The logger link hunts for a 0x5E start before it keeps any
            // byte, so a bare zero would never be seen: the zero follows one.
            out.send(Bytes{0x5E, 0x00}, o_.replyDelayMs);
            ++zerosSent_;
        }
        frame_.clear();
    }
}

void Modem::commandBytes(ByteSpan data, SimOutput& out) {
    if (echo_) out.send(Bytes(data.begin(), data.end()));
    for (std::uint8_t b : data) {
        if (o_.zeroOnFrame) watchLoggerFrame(b, out);
        if (b == '\r') {
            std::string l;
            l.swap(line_);
            commandLine(l, out);
        } else if (b == '\n') {
            continue;
        } else if (b < 0x20 || b > 0x7E) {
            // Binary protocol bytes sent to a modem in command mode are not
            // a command: drop what was collected so far.
            line_.clear();
        } else if (line_.size() < 256) {
            line_.push_back(static_cast<char>(b));
        }
    }
}

void Modem::commandLine(const std::string& raw, SimOutput& out) {
    std::string u = upper(raw);
    auto at = u.find("AT");
    if (at == std::string::npos) return;  // not a command: a modem stays silent
    std::string cmd = raw.substr(at);
    u = u.substr(at);
    commands_.push_back(cmd);
    const auto d = o_.replyDelayMs;

    if (u == "ATE0") {
        ++ate0Tries_;
        if (ate0Tries_ < o_.answerOnTry) return;
        echo_ = false;
        reply(out, "OK", d);
    } else if (u == "ATE1" || u == "ATE") {
        echo_ = true;
        reply(out, "OK", d);
    } else if (u == "AT+CPIN?") {
        reply(out, simLocked_ ? "+CPIN: SIM PIN" : "+CPIN: READY", d);
        reply(out, "OK", 0);
    } else if (u.rfind("AT+CPIN=", 0) == 0) {
        std::string v = cmd.substr(8);
        if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
        pinUsed_ = v;
        pinTried_ = true;
        if (simLocked_ && v != o_.pin) {
            reply(out, "ERROR", d);
        } else {
            simLocked_ = false;
            reply(out, "OK", d);
        }
    } else if (u == "AT+CREG?") {
        reply(out, "+CREG: 0,1", d);
        reply(out, "OK", 0);
    } else if (u.rfind("ATD", 0) == 0) {
        std::string number = trim(cmd.substr(3));
        if (!number.empty() && number.back() == ';') number.pop_back();
        dialled_ = number;
        if (simLocked_) {
            reply(out, "ERROR", d);
            return;
        }
        switch (o_.dial) {
            case ModemOptions::Dial::Connect:
                online_ = callUp_ = everConnected_ = true;
                hungUp_ = false;
                reply(out, "CONNECT 9600", o_.connectDelayMs);
                break;
            case ModemOptions::Dial::NoCarrier: reply(out, "NO CARRIER", o_.connectDelayMs); break;
            case ModemOptions::Dial::Busy: reply(out, "BUSY", o_.connectDelayMs); break;
            case ModemOptions::Dial::Silent: break;
        }
    } else if (u == "ATO" || u == "ATO0") {
        if (callUp_) {
            online_ = true;
            reply(out, "CONNECT 9600", d);
        } else {
            reply(out, "NO CARRIER", d);
        }
    } else if (u == "ATH" || u == "ATH0") {
        if (callUp_) hungUp_ = true;
        callUp_ = online_ = false;
        reply(out, "OK", d);
    } else {
        reply(out, "OK", d);
    }
}

void Modem::lineSettingsChanged(const std::string& settings) {
    if (behind_) behind_->lineSettingsChanged(settings);
}

nlohmann::json Modem::state() const {
    nlohmann::json j;
    j["kind"] = "modem";
    j["commands"] = commands_;
    j["ate0_tries"] = ate0Tries_;
    j["dialled"] = dialled_;
    j["pin_used"] = pinTried_ ? nlohmann::json(pinUsed_) : nlohmann::json(nullptr);
    j["sim_locked"] = simLocked_;
    j["connected"] = callUp_;
    j["ever_connected"] = everConnected_;
    j["hung_up"] = hungUp_;
    j["zeros_sent"] = zerosSent_;
    j["device"] = behind_ ? behind_->state() : nlohmann::json(nullptr);
    return j;
}

}  // namespace kvr::sim
