// One HTTP request whose answer is stored as "WebResponse.html" in the
// program folder while it arrives, then handed over under the caller's file
// name; every failure is shown to the user, with the offer to look at the
// server's answer.
#pragma once

#include <filesystem>
#include <functional>

#include "core/platform.h"
#include "web_dump/http_client.h"

namespace kvr::web {

inline constexpr const char* kResponseFileName = "WebResponse.html";

class HttpService : public HttpClient {
public:
    // openViewer shows a file in the user's default viewer.
    HttpService(Screen& screen, Settings& settings, HttpTransport& transport, std::filesystem::path folder,
                std::function<void(const std::filesystem::path&)> openViewer);

    bool httpRequest(const std::string& method, const std::string& url,
                     const std::filesystem::path& file) override;

    std::filesystem::path responsePath() const { return folder_ / kResponseFileName; }

private:
    void failure(int number, const std::string& description);
    void offerResponse(const std::string& text);

    Screen& screen_;
    Settings& settings_;
    HttpTransport& transport_;
    std::filesystem::path folder_;
    std::function<void(const std::filesystem::path&)> openViewer_;
};

// "HttpTimeout" of "KVR"/"Startup" in seconds (default 60) as milliseconds.
std::int64_t inactivityLimitMs(Settings& settings);

}  // namespace kvr::web
