// The network side of a request: HTTP/1.1 over a Qt socket, the answer read
// by our own reader so that a connection closed before the answer's declared
// end is a failure, never a short answer taken for a whole one. Usable from
// any thread: each request runs a local event loop on the calling thread,
// woken by the socket or by a short tick that lets the caller's wait yield
// to its window.
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
};

}  // namespace kvr::heron
