#include "core/console_screen.h"

#include <atomic>
#include <csignal>

#include <nlohmann/json.hpp>

#include "core/format.h"
#include "core/os.h"

namespace kvr {

namespace {

volatile std::sig_atomic_t g_stop = 0;

extern "C" void onStopSignal(int) { g_stop = 1; }

// One status line per call: line breaks inside a text are written as the
// escapes \r and \n so a reader can still count one line per status text.
std::string oneLine(const std::string& text) {
    std::string s;
    s.reserve(text.size());
    for (char c : text) {
        if (c == '\r') {
            s += "\\r";
        } else if (c == '\n') {
            s += "\\n";
        } else {
            s += c;
        }
    }
    return s;
}

// The text with every run of digits replaced by one '#': lines that differ
// only in their counts have the same key.
std::string progressKey(const std::string& text) {
    std::string k;
    bool inDigits = false;
    for (char c : text) {
        const bool digit = c >= '0' && c <= '9';
        if (digit && !inDigits) k += '#';
        if (!digit) k += c;
        inDigits = digit;
    }
    return k;
}

bool isYes(const std::string& a) {
    return a.size() == 3 && (a[0] == 'Y' || a[0] == 'y') && (a[1] == 'E' || a[1] == 'e') &&
           (a[2] == 'S' || a[2] == 's');
}

}  // namespace

ConsoleScreen::ConsoleScreen(const AppOptions& options, std::ostream& out, std::ostream& err, Clock* clock)
    : clock_(clock), out_(out), err_(err) {
    for (const auto& [title, text] : options.answers) answers_[title].push_back(text);
}

ConsoleScreen::~ConsoleScreen() { flushStatus(); }

void ConsoleScreen::writeStatus(const std::string& text) {
    if (clock_) err_ << formatDate(clock_->now(), "yyyy/mm/dd HH:MM:SS") << ' ';
    err_ << oneLine(text) << '\n';
    err_.flush();
}

void ConsoleScreen::flushStatus() {
    if (!holding_) return;
    holding_ = false;
    writeStatus(heldBack_);
}

void ConsoleScreen::showEvent(const std::string& text) {
    lastEvent_ = text;
    if (!clock_) {
        writeStatus(text);
        return;
    }
    std::string key = progressKey(text);
    const std::int64_t now = clock_->monotonicMs();
    if (key == lastKey_ && now - lastWrittenMs_ < 1000) {
        heldBack_ = text;
        holding_ = true;
        return;
    }
    if (key != lastKey_) flushStatus();
    holding_ = false;
    writeStatus(text);
    lastKey_ = std::move(key);
    lastWrittenMs_ = now;
}

void ConsoleScreen::yield() {
    if (g_stop) throw ProgramEnd{};
}

static void writeBox(std::ostream& out, const char* kind, const std::string& title, const std::string& text,
                     const std::string& answer) {
    nlohmann::ordered_json j;
    j["box"] = kind;
    j["title"] = title;
    j["text"] = text;
    j["answer"] = answer;
    // Texts are passed through as they are; bytes that are not UTF-8 (a
    // device's odd character) become U+FFFD rather than ending the program.
    out << j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
    out.flush();
}

bool ConsoleScreen::messageBox(const std::string& text, const std::string& title, Icon, Buttons buttons) {
    flushStatus();
    if (buttons == Buttons::Ok) {
        // An OK box has nothing to choose; it does not use up an answer, so
        // answers meant for a same-titled question or input box stay in order.
        writeBox(out_, "message", title, text, "OK");
        return true;
    }
    bool yes = false;
    auto it = answers_.find(title);
    if (it != answers_.end() && !it->second.empty()) {
        yes = isYes(it->second.front());
        it->second.pop_front();
    }
    writeBox(out_, "question", title, text, yes ? "Yes" : "No");
    return yes;
}

std::string ConsoleScreen::inputBox(const std::string& prompt, const std::string& title,
                                    const std::string& defaultAnswer) {
    flushStatus();
    std::string answer = defaultAnswer;
    auto it = answers_.find(title);
    if (it != answers_.end() && !it->second.empty()) {
        answer = it->second.front();
        it->second.pop_front();
    }
    writeBox(out_, "input", title, prompt, answer);
    return answer;
}

void ConsoleScreen::installStopSignals() { os::onStopSignals(onStopSignal); }

bool ConsoleScreen::stopRequested() { return g_stop != 0; }

void ConsoleScreen::clearStopRequest() { g_stop = 0; }

}  // namespace kvr
