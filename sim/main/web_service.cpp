// kvr-sim web: a stand-in for the web data service. Answers
//   GET /site/pull.ashx?fdate=..&tdate=..&probeid=..
// with one comma-separated line per reading of that probe between the two
// dates, generated from the seed, and misbehaves on command.
#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "sim/main/commands.h"

namespace kvr::sim {
namespace {

const char* const kHelp =
    "  --port N              port on 127.0.0.1 (0, the default: any free port)\n"
    "  --seed N              seed of the generated readings (default 1)\n"
    "  --interval M          minutes between two readings of a probe (default 360)\n"
    "  --fault MODE          404 | 500 | hang | trickle | other-probe | short-lines | huge | cut\n"
    "                        | long-line (first a line of --huge-mb MB, then the readings)\n"
    "                        (cut: the connection closes halfway through the answer)\n"
    "                        with --framing also: reset (RST in the middle of a line),\n"
    "                        cut-line (clean close in the middle of a line), gzip (the body\n"
    "                        gzip-compressed whatever the request says), two-lengths\n"
    "  --framing F           chunked | length | close: answers written by hand on the\n"
    "                        socket with that framing (close: ends with the connection)\n"
    "  --redirect URL        answer every pull with 302 to URL + the request's target\n"
    "                        (\"self\": to this service itself, a loop)\n"
    "  --cert FILE --key FILE  serve https with this certificate and key (PEM)\n"
    "  --fault-probe N       apply the fault only to requests for probe N\n"
    "  --huge-mb N           size of a huge answer in megabytes (default 300)\n"
    "  --trickle-ms N        pause between the lines of a trickling answer (default 300)\n"
    "  --log FILE            one JSON line per request: method, target and proxy headers\n"
    "The service's address \"http://127.0.0.1:<port>\" is the first line of standard\n"
    "output. Dates are accepted as yyyy/mm/dd or dd/mm/yyyy. SIGTERM or SIGINT ends it.\n";

struct Options {
    int port = 0;
    std::uint64_t seed = 1;
    int intervalMinutes = 360;
    std::string fault;
    std::optional<long> faultProbe;
    long hugeMb = 300;
    int trickleMs = 300;
    std::string logFile;
    std::string framing, redirect, cert, key;
};

long number(const Args& args, std::size_t& i, const std::string& name) {
    if (i + 1 >= args.size()) throw std::invalid_argument(name + " needs a value");
    try {
        std::size_t used = 0;
        long v = std::stol(args[++i], &used);
        if (used != args[i].size()) throw std::invalid_argument("");
        return v;
    } catch (const std::exception&) {
        throw std::invalid_argument(name + " needs a number, got '" + args[i] + "'");
    }
}

Options parse(const Args& args) {
    Options o;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--port") o.port = static_cast<int>(number(args, i, a));
        else if (a == "--seed") o.seed = static_cast<std::uint64_t>(number(args, i, a));
        else if (a == "--interval") o.intervalMinutes = static_cast<int>(number(args, i, a));
        else if (a == "--fault-probe") o.faultProbe = number(args, i, a);
        else if (a == "--huge-mb") o.hugeMb = number(args, i, a);
        else if (a == "--trickle-ms") o.trickleMs = static_cast<int>(number(args, i, a));
        else if (a == "--fault" || a == "--log" || a == "--framing" || a == "--redirect" || a == "--cert" ||
                 a == "--key") {
            if (i + 1 >= args.size()) throw std::invalid_argument(a + " needs a value");
            std::string& to = a == "--fault"      ? o.fault
                              : a == "--log"      ? o.logFile
                              : a == "--framing"  ? o.framing
                              : a == "--redirect" ? o.redirect
                              : a == "--cert"     ? o.cert
                                                  : o.key;
            to = args[++i];
        } else
            throw std::invalid_argument("unknown option '" + a + "'");
    }
    static const char* const kFaults[] = {"",    "404",         "500",         "hang", "trickle",
                                          "other-probe", "short-lines", "huge", "cut",   "long-line"};
    static const char* const kRawFaults[] = {"", "reset", "cut-line", "gzip", "two-lengths"};
    bool known = false;
    if (o.framing.empty())
        for (const char* f : kFaults) known = known || o.fault == f;
    else
        for (const char* f : kRawFaults) known = known || o.fault == f;
    if (!known)
        throw std::invalid_argument("unknown fault '" + o.fault + "'" + (o.framing.empty() ? "" : " with --framing"));
    if (!o.framing.empty() && o.framing != "chunked" && o.framing != "length" && o.framing != "close")
        throw std::invalid_argument("unknown framing '" + o.framing + "'");
    if (o.cert.empty() != o.key.empty()) throw std::invalid_argument("--cert and --key go together");
    if (o.intervalMinutes < 1) throw std::invalid_argument("--interval must be at least 1");
    if (o.port < 0 || o.port > 65535) throw std::invalid_argument("--port must be 0..65535");
    return o;
}

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void civilFromDays(std::int64_t z, int& y, int& m, int& d) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = static_cast<int>(yoe + era * 400 + (m <= 2));
}

// "yyyy/mm/dd" or "dd/mm/yyyy" (anything after the date is ignored) as days since 1970.
std::optional<std::int64_t> parseDate(const std::string& text) {
    int a = 0, b = 0, c = 0;
    if (std::sscanf(text.c_str(), "%d/%d/%d", &a, &b, &c) != 3) return std::nullopt;
    int y, m, d;
    if (a > 31) y = a, m = b, d = c;
    else d = a, m = b, y = c;
    if (m < 1 || m > 12 || d < 1 || d > 31 || y < 1900 || y > 2200) return std::nullopt;
    return daysFromCivil(y, static_cast<unsigned>(m), static_cast<unsigned>(d));
}

// A reproducible 64-bit mix of the seed, the probe and the slot.
std::uint64_t mix(std::uint64_t x) {
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

// A value lo + k/100 for k in [0, span*100], from a hash.
std::string hundredths(std::uint64_t h, int lo, int span) {
    long k = static_cast<long>(h % static_cast<std::uint64_t>(span * 100 + 1));
    long whole = lo + k / 100, frac = k % 100;
    char buf[32];
    std::snprintf(buf, sizeof buf, "%ld.%02ld", whole, frac);
    return buf;
}

// One response line for probe `probe` at minute `minute` since 1970.
std::string readingLine(std::uint64_t seed, long probe, std::int64_t minute, int intervalMinutes) {
    std::uint64_t h = mix(seed * 1000003ULL ^ mix(static_cast<std::uint64_t>(probe) * 7919ULL ^
                                                  static_cast<std::uint64_t>(minute)));
    int y, mo, d;
    civilFromDays(minute / 1440, y, mo, d);
    int hh = static_cast<int>(minute % 1440 / 60), mm = static_cast<int>(minute % 60);
    char date[40];
    // Some lines carry seconds as well: everything after the minutes is ignored.
    if (h % 5 == 0)
        std::snprintf(date, sizeof date, "%02d/%02d/%04d %02d:%02d:00", d, mo, y, hh, mm);
    else
        std::snprintf(date, sizeof date, "%02d/%02d/%04d %02d:%02d", d, mo, y, hh, mm);
    long recNo = static_cast<long>((minute / intervalMinutes) % 60000);
    std::string line = std::to_string(probe) + "," + std::to_string(recNo) + "," + date;
    for (int depth = 0; depth < 6; ++depth) {
        line += "," + hundredths(mix(h + 11u * depth + 1), 8, 22);
        line += "," + hundredths(mix(h + 11u * depth + 2), 5, 55);
    }
    line += "," + hundredths(mix(h + 101), 10, 25);   // Temp
    line += "," + hundredths(mix(h + 102), 3, 1);     // volts 3.00 .. 4.00
    static const char* const kPower[] = {"TRUE)", "FALSE)", "false)", "True)", "FALSE"};
    line += std::string(",") + kPower[mix(h + 103) % 5];
    switch (mix(h + 104) % 3) {
    case 0: break;                                     // 18 fields
    case 1: line += ",0"; break;
    default: line += "," + std::to_string(mix(h + 105) % 65536); break;
    }
    return line + "\r\n";
}

struct Service {
    Options opt;
    std::mutex mutex;
    std::condition_variable cv;
    bool stopping = false;
    std::ofstream log;

    // Sleeps up to ms; false when the service is stopping.
    bool pause(int ms) {
        std::unique_lock<std::mutex> lock(mutex);
        return !cv.wait_for(lock, std::chrono::milliseconds(ms), [&] { return stopping; });
    }

    void logRequest(const httplib::Request& req) {
        if (!log.is_open()) return;
        nlohmann::json j;
        j["method"] = req.method;
        j["target"] = req.target;
        for (const char* h : {"Via", "Proxy-Authorization", "Proxy-Connection", "X-Forwarded-For", "Content-Type"})
            if (req.has_header(h)) j[h] = req.get_header_value(h);
        std::lock_guard<std::mutex> lock(mutex);
        log << j.dump() << "\n" << std::flush;
    }

    std::string selfUrl;  // this service's own address, for --redirect self

    void pull(const httplib::Request& req, httplib::Response& res) {
        logRequest(req);
        if (!opt.redirect.empty()) {
            res.status = 302;
            res.set_header("Location", (opt.redirect == "self" ? selfUrl : opt.redirect) + req.target);
            res.set_content("moved", "text/html");
            return;
        }
        auto from = parseDate(req.get_param_value("fdate"));
        auto to = parseDate(req.get_param_value("tdate"));
        const std::string probeText = req.get_param_value("probeid");
        long probe = 0;
        try {
            probe = std::stol(probeText);
        } catch (const std::exception&) {
        }
        if (!from || !to || probe < 1) {
            res.status = 400;
            res.set_content("<html><body>Bad request: fdate, tdate and probeid are needed.</body></html>",
                            "text/html");
            return;
        }
        const std::string fault = (!opt.faultProbe || *opt.faultProbe == probe) ? opt.fault : "";
        if (fault == "404" || fault == "500") {
            res.status = fault == "404" ? 404 : 500;
            res.set_content("<html><body>" + fault + " from the stand-in service</body></html>", "text/html");
            return;
        }
        if (fault == "hang") {
            while (pause(1000)) {
            }
            res.status = 503;
            return;
        }

        // The body as lines, produced on demand so nothing large is held.
        struct Body {
            std::int64_t minute, end, cutAt;
            std::uint64_t hugeLeft = 0;
        };
        auto body = std::make_shared<Body>();
        const std::int64_t step = opt.intervalMinutes;
        body->minute = (*from * 1440 + step - 1) / step * step;
        body->end = *to * 1440;
        body->cutAt = fault == "cut" ? body->minute + (body->end - body->minute) / 2 : body->end + 1;
        if (fault == "huge" || fault == "long-line")
            body->hugeLeft = static_cast<std::uint64_t>(opt.hugeMb) * 1024 * 1024;
        const bool longLine = fault == "long-line";
        const std::uint64_t seed = opt.seed;
        const int trickleMs = opt.trickleMs;
        const bool trickle = fault == "trickle", otherProbe = fault == "other-probe",
                   shortLines = fault == "short-lines";

        // Not a text/* type: the HTTP library would gzip text on the fly,
        // which holds a streamed answer back for a long time.
        res.set_chunked_content_provider("application/octet-stream", [=, this](std::size_t, httplib::DataSink& sink) {
            if (body->hugeLeft > 0 && longLine) {
                // One line of the probe's number and digits, never ended.
                static const std::string digits(256 * 1024, '7');
                std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(digits.size(), body->hugeLeft));
                body->hugeLeft -= n;
                std::string piece = digits.substr(0, n) + (body->hugeLeft == 0 ? "\r\n" : "");
                return sink.write(piece.data(), piece.size());
            }
            if (body->hugeLeft > 0) {
                // Lines of probe 0, which a client must skip.
                static const std::string filler = [] {
                    std::string f;
                    std::string line = readingLine(7, 0, 0, 360);
                    while (f.size() < 256 * 1024) f += line;
                    return f;
                }();
                std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(filler.size(), body->hugeLeft));
                body->hugeLeft -= n;
                return sink.write(filler.data(), n);
            }
            // Ending without the last chunk makes the HTTP library drop the
            // connection mid-answer.
            if (body->minute >= body->cutAt) return false;
            if (body->minute >= body->end) {
                sink.done();
                return true;
            }
            std::string out;
            // Batches of lines, or one line per pause when trickling.
            for (int i = 0; i < (trickle ? 1 : 512) && body->minute < body->end && body->minute < body->cutAt; ++i) {
                out += readingLine(seed, probe, body->minute, static_cast<int>(step));
                if (otherProbe && i % 3 == 0)
                    out += readingLine(seed + 1, probe + 1, body->minute, static_cast<int>(step));
                if (shortLines && i % 4 == 0) out += (i % 8 == 0) ? "\r\n" : std::to_string(probe) + ",1,2,3\r\n";
                body->minute += step;
            }
            if (trickle && !pause(trickleMs)) return false;
            return sink.write(out.data(), out.size());
        });
    }
};

// Answers written by hand on a plain socket, in the framings users meet
// behind other servers and proxies, and cut the ways networks cut them: the
// HTTP library writes only well-formed answers.
class RawService {
public:
    explicit RawService(Service& s) : service_(s) {}
    ~RawService() {
        if (fd_ >= 0) ::close(fd_);
    }

    int listen(int port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        int one = 1;
        ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<std::uint16_t>(port));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd_, 16) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            return -1;
        return ntohs(a.sin_port);
    }

    // One connection at a time until stopping.
    void serve() {
        for (;;) {
            {
                std::lock_guard<std::mutex> lock(service_.mutex);
                if (service_.stopping) return;
            }
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 200) <= 0) continue;
            int c = ::accept(fd_, nullptr, nullptr);
            if (c >= 0) answer(c);
        }
    }

private:
    static std::string decoded(const std::string& v) {
        std::string out;
        for (std::size_t i = 0; i < v.size(); ++i) {
            if (v[i] == '%' && i + 2 < v.size() && std::isxdigit(static_cast<unsigned char>(v[i + 1])) &&
                std::isxdigit(static_cast<unsigned char>(v[i + 2]))) {
                out += static_cast<char>(std::stoi(v.substr(i + 1, 2), nullptr, 16));
                i += 2;
            } else {
                out += v[i];
            }
        }
        return out;
    }

    static std::string gzip(const std::string& in) {
        z_stream z{};
        deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY);
        std::string out(deflateBound(&z, static_cast<uLong>(in.size())) + 32, '\0');
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
        z.avail_in = static_cast<uInt>(in.size());
        z.next_out = reinterpret_cast<Bytef*>(out.data());
        z.avail_out = static_cast<uInt>(out.size());
        deflate(&z, Z_FINISH);
        out.resize(z.total_out);
        deflateEnd(&z);
        return out;
    }

    static void sendAll(int fd, std::string_view bytes) {
        while (!bytes.empty()) {
            ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n <= 0) return;
            bytes.remove_prefix(static_cast<std::size_t>(n));
        }
    }

    void answer(int fd) {
        std::string head;
        char buf[4096];
        while (head.find("\r\n\r\n") == std::string::npos && head.size() < 65536) {
            ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0) break;
            head.append(buf, static_cast<std::size_t>(n));
        }
        // The request line and the headers the log keeps.
        httplib::Request req;
        std::size_t eol = head.find("\r\n");
        std::string first = head.substr(0, eol);
        std::size_t sp1 = first.find(' '), sp2 = first.rfind(' ');
        if (sp1 != std::string::npos && sp2 > sp1) {
            req.method = first.substr(0, sp1);
            req.target = first.substr(sp1 + 1, sp2 - sp1 - 1);
        }
        for (std::size_t at = eol; at != std::string::npos && at + 2 < head.size();) {
            std::size_t next = head.find("\r\n", at + 2);
            std::string line = head.substr(at + 2, next == std::string::npos ? std::string::npos : next - at - 2);
            if (auto colon = line.find(':'); colon != std::string::npos)
                req.headers.emplace(line.substr(0, colon), httplib::detail::trim_copy(line.substr(colon + 1)));
            at = next;
        }
        service_.logRequest(req);
        std::map<std::string, std::string> query;
        if (auto q = req.target.find('?'); q != std::string::npos) {
            std::string rest = req.target.substr(q + 1);
            for (std::size_t i = 0; i <= rest.size();) {
                std::size_t amp = rest.find('&', i);
                if (amp == std::string::npos) amp = rest.size();
                std::string pair = rest.substr(i, amp - i);
                auto eq = pair.find('=');
                if (eq != std::string::npos) query[pair.substr(0, eq)] = decoded(pair.substr(eq + 1));
                i = amp + 1;
            }
        }
        const Options& o = service_.opt;
        auto from = parseDate(query["fdate"]), to = parseDate(query["tdate"]);
        long probe = std::atol(query["probeid"].c_str());
        std::string body;
        if (from && to && probe >= 1)
            for (std::int64_t m = (*from * 1440 + o.intervalMinutes - 1) / o.intervalMinutes * o.intervalMinutes;
                 m < *to * 1440; m += o.intervalMinutes)
                body += readingLine(o.seed, probe, m, o.intervalMinutes);
        const std::string fault = (!o.faultProbe || *o.faultProbe == probe) ? o.fault : "";
        std::string h = from && to && probe >= 1 ? "HTTP/1.1 200 OK\r\n" : "HTTP/1.1 400 Bad Request\r\n";
        h += "Content-Type: application/octet-stream\r\nConnection: close\r\n";
        if (fault == "gzip") {
            body = gzip(body);
            h += "Content-Encoding: gzip\r\n";
        }
        if (o.framing == "length") h += "Content-Length: " + std::to_string(body.size()) + "\r\n";
        if (o.framing == "length" && fault == "two-lengths")
            h += "Content-Length: " + std::to_string(body.size() + 100) + "\r\n";
        if (o.framing == "chunked") h += "Transfer-Encoding: chunked\r\n";
        sendAll(fd, h + "\r\n");
        // A cut lands a few bytes before the end of a line past the middle.
        std::size_t cut = body.size();
        if (fault == "reset" || fault == "cut-line") {
            std::size_t end = body.find("\r\n", body.size() / 2);
            cut = end == std::string::npos || end < 5 ? body.size() / 2 : end - 5;
        }
        for (std::size_t at = 0; at < cut; at += 4096) {
            std::size_t n = std::min<std::size_t>(4096, body.size() - at);
            std::string_view piece(body.data() + at, std::min(n, cut - at));
            if (o.framing == "chunked") {
                char size[16];
                std::snprintf(size, sizeof size, "%zx\r\n", n);
                sendAll(fd, size);
            }
            sendAll(fd, piece);
            if (o.framing == "chunked" && piece.size() == n) sendAll(fd, "\r\n");
        }
        if (cut == body.size() && o.framing == "chunked") sendAll(fd, "0\r\n\r\n");
        if (fault == "reset") {
            // Give the bytes time to leave, then abort: the peer gets RST.
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            linger l{1, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        } else {
            ::shutdown(fd, SHUT_WR);
            while (::recv(fd, buf, sizeof buf, 0) > 0) {
            }
        }
        ::close(fd);
    }

    Service& service_;
    int fd_ = -1;
};

int runWeb(const Args& args) {
    Options opt;
    try {
        opt = parse(args);
    } catch (const std::invalid_argument& e) {
        std::cerr << "kvr-sim web: " << e.what() << "\n" << kHelp;
        return 2;
    }
    // Signals are taken by the main thread alone (sigwait below).
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    Service service;
    service.opt = opt;
    if (!opt.logFile.empty()) {
        service.log.open(opt.logFile, std::ios::app);
        if (!service.log) {
            std::cerr << "kvr-sim web: cannot open log file " << opt.logFile << "\n";
            return 1;
        }
    }
    std::unique_ptr<httplib::Server> tls;
    if (!opt.cert.empty()) {
        tls = std::make_unique<httplib::SSLServer>(opt.cert.c_str(), opt.key.c_str());
        if (!tls->is_valid()) {
            std::cerr << "kvr-sim web: cannot use certificate " << opt.cert << " with key " << opt.key << "\n";
            return 1;
        }
    }
    httplib::Server plain;
    httplib::Server& server = tls ? *tls : plain;
    RawService raw(service);
    server.Get("/site/pull.ashx",
               [&](const httplib::Request& req, httplib::Response& res) { service.pull(req, res); });
    // Unknown paths are logged too; the pull's own error answers were logged already.
    server.set_error_handler([&](const httplib::Request& req, httplib::Response&) {
        if (req.path != "/site/pull.ashx") service.logRequest(req);
    });
    int port = !opt.framing.empty() ? raw.listen(opt.port)
               : opt.port == 0      ? server.bind_to_any_port("127.0.0.1")
                                    : (server.bind_to_port("127.0.0.1", opt.port) ? opt.port : -1);
    if (port <= 0) {
        std::cerr << "kvr-sim web: cannot listen on 127.0.0.1:" << opt.port << "\n";
        return 1;
    }
    service.selfUrl = std::string(tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(port);
    std::cout << service.selfUrl << std::endl;
    std::thread listener([&] {
        if (opt.framing.empty())
            server.listen_after_bind();
        else
            raw.serve();
    });

    int sig = 0;
    sigwait(&stopSignals, &sig);
    {
        std::lock_guard<std::mutex> lock(service.mutex);
        service.stopping = true;
    }
    service.cv.notify_all();
    server.stop();
    listener.join();
    return 0;
}

const RegisterCommand kRegister{{"web", kHelp, runWeb}};

}  // namespace
}  // namespace kvr::sim
