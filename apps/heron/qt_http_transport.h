// The network side of a request, on QNetworkAccessManager. Usable from any
// thread: each request gets its own manager and a local event loop on the
// calling thread, woken by the answer's data, its end, or a short tick that
// lets the caller's wait yield to its window.
#pragma once

#include <QtGlobal>

#include "web_dump/http_client.h"

namespace kvr::heron {

class QtHttpTransport : public web::HttpTransport {
public:
    web::HttpOutcome perform(const web::HttpRequestSpec& desc,
                             const std::function<bool(std::string_view)>& onData,
                             const std::function<void()>& waitPass) override;

    // How often the wait hands control to waitPass.
    static constexpr int kTickMs = 200;
    // Most answer data Qt holds before we take it: keeps memory flat
    // however large the answer is.
    static constexpr qint64 kReadBufferBytes = 1 << 20;
};

}  // namespace kvr::heron
