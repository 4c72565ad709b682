// Any bytes from the network: the answer reader never reads past its input,
// and where the connection splits the bytes changes nothing (body, status,
// whole or not).
#include <cstdint>
#include <cstdlib>
#include <string>

#include "web_dump/http_wire.h"

namespace {

struct Result {
    std::string body;
    bool whole;
    int status;
};

Result read(std::string_view bytes, std::size_t step) {
    Result out;
    kvr::web::ResponseReader r([&](std::string_view b) {
        out.body.append(b);
        return true;
    });
    for (std::size_t at = 0; at < bytes.size(); at += step)
        if (!r.feed(bytes.substr(at, step))) break;
    out.whole = r.closed();
    out.status = r.status();
    if (r.done() != out.whole) std::abort();
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::size_t step = 1 + data[0] % 13;
    std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
    Result whole = read(bytes, bytes.size() + 1);
    Result pieces = read(bytes, step);
    if (whole.body.size() > bytes.size()) std::abort();
    if (whole.status != pieces.status || whole.whole != pieces.whole) std::abort();
    // A failure may be noticed a few bytes later in one reading than in the
    // other; up to that point both hand over the same body.
    if (whole.whole && whole.body != pieces.body) std::abort();
    return 0;
}
