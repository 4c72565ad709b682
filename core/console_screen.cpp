#include "core/console_screen.h"

#include <atomic>
#include <csignal>

#include <nlohmann/json.hpp>

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

bool isYes(const std::string& a) {
    return a.size() == 3 && (a[0] == 'Y' || a[0] == 'y') && (a[1] == 'E' || a[1] == 'e') &&
           (a[2] == 'S' || a[2] == 's');
}

}  // namespace

ConsoleScreen::ConsoleScreen(const AppOptions& options, std::ostream& out, std::ostream& err)
    : out_(out), err_(err) {
    for (const auto& [title, text] : options.answers) answers_[title].push_back(text);
}

void ConsoleScreen::showEvent(const std::string& text) {
    lastEvent_ = text;
    err_ << oneLine(text) << '\n';
    err_.flush();
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
    std::string answer = defaultAnswer;
    auto it = answers_.find(title);
    if (it != answers_.end() && !it->second.empty()) {
        answer = it->second.front();
        it->second.pop_front();
    }
    writeBox(out_, "input", title, prompt, answer);
    return answer;
}

void ConsoleScreen::installStopSignals() {
    struct sigaction sa {};
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART: a blocked poll returns and the caller yields
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

bool ConsoleScreen::stopRequested() { return g_stop != 0; }

void ConsoleScreen::clearStopRequest() { g_stop = 0; }

}  // namespace kvr
