// The receiver fed in chunks chosen by the input, then the answer checks.
// Whatever arrives: nothing is stored beyond the buffer, the expected length
// only ever comes from position 5, and a valid answer really is a frame.
#include <cstdlib>

#include "logger_link/logger_frame.h"

using namespace kvr;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    const std::int16_t expected = static_cast<std::int16_t>(data[0] % 160);
    const std::size_t chunk = data[1] % 17 + 1;
    ByteSpan in(data + 2, size - 2);

    logger::Buffer rx{};
    std::int16_t rxLen = 0, al = expected;
    logger::Receiver r(rx, rxLen, al);
    for (std::size_t i = 0; i < in.size(); i += chunk) r.feed(in.subspan(i, std::min(chunk, in.size() - i)));

    if (rxLen < 0 || rxLen > logger::kBufTop) std::abort();
    if (al != expected && (rxLen < 5 || al != rx[5] || al < logger::kMinAnswerLen)) std::abort();

    // The same bytes in one piece give the same result.
    logger::Buffer rx2{};
    std::int16_t rxLen2 = 0, al2 = expected;
    logger::Receiver(rx2, rxLen2, al2).feed(in);
    if (rxLen2 != rxLen || al2 != al || rx2 != rx) std::abort();

    if (rxLen >= al && al >= logger::kMinAnswerLen && logger::answerValid(rx, al, true)) {
        if (al > logger::kMaxAnswerLen || rx[6] != 1 || rx[static_cast<std::size_t>(al)] != logger::kEnd) std::abort();
    }
    return 0;
}
