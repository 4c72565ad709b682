// The network side of a request, on libcurl's easy interface: one transfer
// on the calling thread, its waits ended by the inactivity limit or by the
// caller's wait pass (which may end the program). Our own checks sit on top
// where libcurl accepts an answer that would cost readings.
#pragma once

#include <memory>

#include "web_dump/http_client.h"

namespace kvr::heron {

class CurlTransport : public web::HttpTransport {
public:
    CurlTransport();
    ~CurlTransport() override;
    web::HttpOutcome perform(const web::HttpRequestSpec& desc,
                             const std::function<bool(std::string_view)>& onData,
                             const std::function<void()>& waitPass) override;

    // Redirects followed in a row before the request is given up.
    static constexpr int kMaxRedirects = 10;

private:
    // One handle for all requests of a run: its connections are reused, and
    // a proxy's sign-in scheme, once learnt, is answered at once next time.
    void* handle_ = nullptr;
};

}  // namespace kvr::heron
