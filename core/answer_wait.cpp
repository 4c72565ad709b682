#include "core/answer_wait.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace kvr {

WaitEnd waitForAnswer(Platform& p, const WaitLimits& limits, const ChunkReceiver& onChunk) {
    const std::int64_t start = p.clock.monotonicMs();
    std::int64_t end = start + std::max(limits.overallMs, limits.firstMs);
    std::int64_t deadline = start + limits.firstMs;
    for (;;) {
        p.screen.yield();
        if (!p.port.isOpen()) return WaitEnd::PortClosed;  // nothing can arrive any more
        const std::int64_t now = p.clock.monotonicMs();
        if (now >= deadline) return WaitEnd::Silent;
        if (now >= end) return WaitEnd::TooLong;
        // Blocking at once saves asking the port first: an answer that is
        // already there ends the block immediately.
        if (!p.port.waitForBytes(std::min({deadline, end, now + kYieldSliceMs}))) continue;
        const Bytes chunk = p.port.readAll();
        const Reception r = onChunk(chunk);
        if (r == Reception::Whole) return WaitEnd::Whole;
        const std::int64_t after = p.clock.monotonicMs();
        if (r == Reception::Growing) end = after + limits.overallMs;
        if (!chunk.empty()) deadline = std::min(after + limits.inactivityMs, end);
    }
}

WaitLimits inactivityLimits(std::int64_t firstMs, std::int64_t inactivityMs, std::int64_t lineMs) {
    return {firstMs, inactivityMs, 3 * std::max(firstMs, inactivityMs) + lineMs};
}

std::int64_t lineTimeMs(const SerialPort& port, std::int64_t bytes) {
    long baud = std::atol(port.settings().c_str());
    if (baud <= 0) baud = 9600;  // a port not yet set runs at the programs' start speed
    return (bytes * 10 * 1000 + baud - 1) / baud;
}

void pauseMs(Platform& p, std::int64_t ms) {
    const std::int64_t deadline = p.clock.monotonicMs() + ms;
    while (p.clock.monotonicMs() < deadline) {
        p.screen.yield();
        p.clock.sleepUntil(std::min(deadline, p.clock.monotonicMs() + kYieldSliceMs));
    }
}

void sendAtLine(SerialPort& port, const std::string& line, const char* lineEnd) {
    const std::string out = line == "+++" ? line : line + lineEnd;
    port.write(ByteSpan(reinterpret_cast<const std::uint8_t*>(out.data()), out.size()));
}

namespace {

bool holdsAny(const std::string& text, std::initializer_list<std::string_view> what) {
    return std::any_of(what.begin(), what.end(),
                       [&](std::string_view w) { return !w.empty() && text.find(w) != std::string::npos; });
}

std::string upper(std::string s) {
    for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return s;
}

}  // namespace

AtResult awaitAt(Platform& p, std::string& text, std::initializer_list<std::string_view> accept,
                 std::initializer_list<std::string_view> refuse, std::int64_t limitMs,
                 const std::function<void()>& onChunk) {
    AtResult result = AtResult::NoAnswer;
    auto judge = [&] {
        if (holdsAny(text, accept)) result = AtResult::Accepted;
        else if (holdsAny(upper(text), refuse)) result = AtResult::Refused;
        return result != AtResult::NoAnswer;
    };
    if (judge()) return result;
    waitForAnswer(p, fixedLimit(limitMs), [&](const Bytes& chunk) {
        text.append(chunk.begin(), chunk.end());
        if (onChunk) onChunk();
        return judge() ? Reception::Whole : Reception::Stalled;
    });
    return result;
}

}  // namespace kvr
