#include "web_dump/internet_setup.h"

#include <cctype>

#include "core/numbers.h"

namespace kvr::web {

namespace {
const char* const kModeKey = "ProxySetting";
const char* const kServerKey = "ProxyServer";
const char* const kBypassKey = "ProxyBypass";
const char* const kUserKey = "ProxyUsername";
const char* const kPasswordKey = "ProxyPassword";
const char* const kDataServerKey = "DataServer";

char lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

// "*" matches any run, everything else one character, ignoring case.
bool wildcardMatch(const std::string& pattern, const std::string& text) {
    std::size_t p = 0, t = 0, starP = std::string::npos, starT = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starT = t;
        } else if (p < pattern.size() && lower(pattern[p]) == lower(text[t])) {
            ++p;
            ++t;
        } else if (starP != std::string::npos) {
            p = starP + 1;
            t = ++starT;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}
}  // namespace

std::string trimBlanks(const std::string& text) {
    auto isBlank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    std::size_t b = 0, e = text.size();
    while (b < e && isBlank(text[b])) ++b;
    while (e > b && isBlank(text[e - 1])) --e;
    return text.substr(b, e - b);
}

InternetSetup loadInternetSetup(Settings& s) {
    InternetSetup v;
    auto mode = leadingInt(s.get(kKvrApp, kStartup, kModeKey, "0"));
    v.mode = (mode >= 0 && mode <= 2) ? mode : 1;
    v.server = s.get(kKvrApp, kStartup, kServerKey, "");
    v.bypass = s.get(kKvrApp, kStartup, kBypassKey, "");
    v.username = s.get(kKvrApp, kStartup, kUserKey, "");
    v.password = s.get(kKvrApp, kStartup, kPasswordKey, "");
    v.dataServer = s.get(kKvrApp, kStartup, kDataServerKey, "");
    return v;
}

void saveInternetSetup(Settings& s, const InternetSetup& v) {
    s.set(kKvrApp, kStartup, kModeKey, std::to_string(v.mode));
    s.set(kKvrApp, kStartup, kServerKey, trimBlanks(v.server));
    s.set(kKvrApp, kStartup, kBypassKey, trimBlanks(v.bypass));
    s.set(kKvrApp, kStartup, kUserKey, trimBlanks(v.username));
    s.set(kKvrApp, kStartup, kPasswordKey, trimBlanks(v.password));
    s.set(kKvrApp, kStartup, kDataServerKey, trimBlanks(v.dataServer));
}

RequestProxy requestProxy(Settings& s) {
    RequestProxy p;
    auto mode = leadingInt(s.get(kKvrApp, kStartup, kModeKey, "1"));
    p.mode = mode == 0 ? ProxyMode::System : mode == 2 ? ProxyMode::Named : ProxyMode::Direct;
    p.server = s.get(kKvrApp, kStartup, kServerKey, "");
    p.bypass = s.get(kKvrApp, kStartup, kBypassKey, "");
    p.username = s.get(kKvrApp, kStartup, kUserKey, "");
    p.password = s.get(kKvrApp, kStartup, kPasswordKey, "");
    return p;
}

std::string dataServer(Settings& s) {
    std::string host = trimBlanks(s.get(kKvrApp, kStartup, kDataServerKey, ""));
    while (!host.empty() && host.back() == '/') host.pop_back();
    if (host.empty()) return host;
    std::string lowered;
    for (char c : host.substr(0, 8)) lowered += lower(c);
    if (lowered.rfind("https://", 0) == 0) return "https://" + host.substr(8);
    if (lowered.rfind("http://", 0) == 0) return "http://" + host.substr(7);
    return "http://" + host;
}

bool splitHostPort(const std::string& text, std::string& host, int& port) {
    std::string t = trimBlanks(text);
    if (auto scheme = t.find("://"); scheme != std::string::npos) t = t.substr(scheme + 3);
    if (!t.empty() && t.back() == '/') t.pop_back();
    auto colon = t.rfind(':');
    host = t.substr(0, colon);
    port = 80;
    if (colon != std::string::npos) {
        std::string digits = t.substr(colon + 1);
        if (digits.empty() || digits.size() > 5) return false;
        for (char c : digits)
            if (!std::isdigit(static_cast<unsigned char>(c))) return false;
        port = std::stoi(digits);
    }
    return !host.empty() && port >= 1 && port <= 65535;
}

bool proxyFor(const std::string& serverSetting, const std::string& scheme, std::string& host, int& port) {
    // Entries for this scheme win over plain ones; within each kind the
    // first that names a usable host and port.
    for (bool wantScheme : {true, false}) {
        std::size_t i = 0;
        while (i < serverSetting.size()) {
            std::size_t end = serverSetting.find_first_of("; \t", i);
            if (end == std::string::npos) end = serverSetting.size();
            std::string entry = serverSetting.substr(i, end - i);
            i = end + 1;
            auto eq = entry.find('=');
            if (entry.empty() || (eq != std::string::npos) != wantScheme) continue;
            if (wantScheme) {
                std::string name;
                for (char c : entry.substr(0, eq)) name += lower(c);
                if (name != scheme) continue;
                entry.erase(0, eq + 1);
            }
            if (splitHostPort(entry, host, port)) return true;
        }
    }
    return false;
}

bool bypassesProxy(const std::string& host, const std::string& bypassList) {
    std::size_t i = 0;
    while (i < bypassList.size()) {
        std::size_t end = bypassList.find_first_of("; \t", i);
        if (end == std::string::npos) end = bypassList.size();
        std::string entry = bypassList.substr(i, end - i);
        i = end + 1;
        if (entry.empty()) continue;
        if (entry == "<local>") {
            if (!host.empty() && host.find('.') == std::string::npos) return true;
            continue;
        }
        if (wildcardMatch(entry, host)) return true;
    }
    return false;
}

}  // namespace kvr::web
