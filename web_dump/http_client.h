// HTTP for the web download, in two layers:
//  - HttpClient: one request whose answer body lands in a file, with the
//    user told about every failure (what the download calls once per probe);
//  - HttpTransport: the network itself, streaming the body to a sink as it
//    arrives (libcurl in the program, a fake in tests).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

#include "web_dump/internet_setup.h"

namespace kvr::web {

class HttpClient {
public:
    virtual ~HttpClient() = default;
    // "GET": fetches url and stores the body under file. "POST": sends the
    // file's contents to url. True when the server answered with status 200
    // and (for GET) the body is stored under file.
    virtual bool httpRequest(const std::string& method, const std::string& url,
                             const std::filesystem::path& file) = 0;
};

struct HttpRequestSpec {
    std::string method;  // "GET" or "POST"
    std::string url;
    std::string body;
    std::string contentType;
    RequestProxy proxy;
    // Certificates trusted for https ("CaFile" of "KVR"/"Startup"); empty:
    // the system's, or the file named by the usual CA variables.
    std::string caFile;
    // The request ends when no answer data arrived for this long.
    std::int64_t inactivityLimitMs = 60'000;
};

struct HttpOutcome {
    // The request could not be set up (the URL is not accepted, ...): the
    // request never went out.
    int setupError = 0;
    std::string setupErrorText;
    // The exchange failed (no connection, host unknown, time limit): > 0.
    int errorNumber = 0;
    std::string errorText;
    // The server's answer, when one arrived.
    bool haveStatus = false;
    int status = 0;
    std::string statusText;
};

// Error number of a request that the inactivity limit ended.
inline constexpr int kTimeoutErrorNumber = 12002;

class HttpTransport {
public:
    virtual ~HttpTransport() = default;
    // Performs the request. Answer body bytes go to onData as they arrive;
    // onData returns false to abort (the body cannot be stored). waitPass is
    // called on every pass of the wait and may throw ProgramEnd, which
    // aborts the request and propagates.
    virtual HttpOutcome perform(const HttpRequestSpec& desc,
                                const std::function<bool(std::string_view)>& onData,
                                const std::function<void()>& waitPass) = 0;
};

}  // namespace kvr::web
