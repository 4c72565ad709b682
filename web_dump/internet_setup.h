// The proxy settings and the data service's host, kept per user in
// application "KVR", section "Startup".
#pragma once

#include <string>

#include "core/platform.h"

namespace kvr::web {

inline constexpr const char* kKvrApp = "KVR";
inline constexpr const char* kStartup = "Startup";

enum class ProxyMode { System = 0, Direct = 1, Named = 2 };

// What the "Setup Internet" window edits.
struct InternetSetup {
    int mode = 0;             // position in "Default", "Direct", "Proxy"
    std::string server;       // "ProxyServer": host:port, "http=..;https=..", or a list
    std::string bypass;       // "ProxyBypass"
    std::string username;     // "ProxyUsername"
    std::string password;     // "ProxyPassword", kept as typed
    std::string dataServer;   // "DataServer", host[:port] of the data service
};

// As the window shows it: an absent mode is "Default" (0); a stored number
// outside 0..2 is shown as "Direct", since that is how requests treat it.
InternetSetup loadInternetSetup(Settings& s);
// Stores the mode in decimal and every text with its outer blanks removed.
void saveInternetSetup(Settings& s, const InternetSetup& v);

// What one request uses. Unlike the window, an absent mode means direct.
struct RequestProxy {
    ProxyMode mode = ProxyMode::Direct;
    std::string server;
    std::string bypass;
    std::string username;
    std::string password;
};
RequestProxy requestProxy(Settings& s);

// Base of the request URLs, "http://host[:port]" or "https://host[:port]":
// a host typed without a scheme means plain http. Empty when none is set.
std::string dataServer(Settings& s);

// "host:port" of the proxy server; port 80 when none is given. False when
// the text names no host or the port is not a number in 1..65535.
bool splitHostPort(const std::string& text, std::string& host, int& port);

// The proxy for a URL of `scheme` ("http" or "https") from "ProxyServer" in
// the forms the platform's proxy setting takes: one server, entries
// "scheme=server" separated by ";" (the one for this scheme, else one
// without a scheme), or a list of servers: the first usable entry counts.
// False when no entry names a usable host and port.
bool proxyFor(const std::string& serverSetting, const std::string& scheme, std::string& host, int& port);

// Whether `host` is excluded from the proxy by the bypass list: entries
// separated by ";" or blanks, "*" matches any run of characters, matching
// ignores case, "<local>" matches host names without a dot.
bool bypassesProxy(const std::string& host, const std::string& bypassList);

std::string trimBlanks(const std::string& text);

}  // namespace kvr::web
