// Waiting for a device's answer: the one loop every exchange uses. It blocks
// on the port (never spins), lets the window have a turn at least every
// slice, hands each chunk to the caller's receiver and ends when the
// receiver says the answer is whole, when the line stays silent too long,
// when the whole wait took too long or when the port went away.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "core/platform.h"

namespace kvr {

// Longest single block on the port before the window gets a turn: keeps a
// close request answered quickly during a 5.5 s modem wait.
inline constexpr std::int64_t kYieldSliceMs = 100;

struct WaitLimits {
    std::int64_t firstMs = 0;       // allowed before the first chunk
    std::int64_t inactivityMs = 0;  // allowed after each chunk
    // Allowed between two chunks that took the answer further, however
    // many chunks of noise come between: a device that never stops talking
    // costs one failed attempt, while a slow but steady answer still ends
    // well.
    std::int64_t overallMs = 0;
};

enum class WaitEnd { Whole, Silent, TooLong, PortClosed };

// What a chunk did to the answer being received.
enum class Reception {
    Whole,    // the answer is complete: the wait ends
    Growing,  // the answer came further: both limits start again
    Stalled,  // nothing usable (noise, or no bytes): only the inactivity limit starts again
};

// Called after every wake-up that found input; the chunk may be empty when
// the port's receive event already took the bytes.
using ChunkReceiver = std::function<Reception(const Bytes& chunk)>;

WaitEnd waitForAnswer(Platform& p, const WaitLimits& limits, const ChunkReceiver& onChunk);

// Limits of a wait whose deadline is fixed: chunks do not extend it (the
// receiver never reports Growing).
inline WaitLimits fixedLimit(std::int64_t ms) { return {ms, ms, ms}; }

// Limits of an inactivity wait: between two steps of progress the answer is
// allowed three times the longest silence plus its time on the line.
WaitLimits inactivityLimits(std::int64_t firstMs, std::int64_t inactivityMs, std::int64_t lineMs);

// Time that many bytes take on the port at its present speed (10 bits each
// on an 8n1 line), rounded up.
std::int64_t lineTimeMs(const SerialPort& port, std::int64_t bytes);

// Lets time pass without reading the port, yielding every slice.
void pauseMs(Platform& p, std::int64_t ms);

// --- AT-command dialogues with modems ----------------------------------------

// Sends an AT line. The escape "+++" goes alone: anything after it would
// be taken as data by the far end.
void sendAtLine(SerialPort& port, const std::string& line, const char* lineEnd);

enum class AtResult { Accepted, Refused, NoAnswer };

// Collects the modem's text into `text` until it holds any of `accept`, any
// of `refuse` (ignoring case) or limitMs passed. onChunk runs after each
// chunk (lamps). Texts with an empty accept entry are never matched.
AtResult awaitAt(Platform& p, std::string& text, std::initializer_list<std::string_view> accept,
                 std::initializer_list<std::string_view> refuse, std::int64_t limitMs,
                 const std::function<void()>& onChunk = {});

}  // namespace kvr
