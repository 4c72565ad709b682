// The screen of unattended mode: status texts go to standard error, one line
// each; message and input boxes are written to standard output as one JSON
// object per line and answered from --answer options.
#pragma once

#include <deque>
#include <map>
#include <ostream>
#include <string>

#include "core/app_options.h"
#include "core/platform.h"

namespace kvr {

class ConsoleScreen : public Screen {
public:
    // With a clock (the programs), each status line starts with the local
    // time, and a line that repeats the previous one but for its numbers
    // ("Loading reading 17/65536") is written at most once a second; the
    // last of such a series is always written, so the final count shows.
    // Without one (tests of the box protocol) lines are written as they come.
    ConsoleScreen(const AppOptions& options, std::ostream& out, std::ostream& err, Clock* clock = nullptr);
    ~ConsoleScreen() override;

    void showEvent(const std::string& text) override;
    void setLed(int, char) override {}
    void setProgress(int) override {}
    // Throws ProgramEnd once SIGINT or SIGTERM arrived (see installStopSignals).
    void yield() override;
    bool messageBox(const std::string& text, const std::string& title, Icon icon, Buttons buttons) override;
    std::string inputBox(const std::string& prompt, const std::string& title,
                         const std::string& defaultAnswer) override;

    // SIGINT/SIGTERM set a flag that the next yield turns into ProgramEnd.
    static void installStopSignals();
    static bool stopRequested();
    // Forgets a stop request (tests; a program never takes one back).
    static void clearStopRequest();

    // Writes a progress line held back by the thinning.
    void flushStatus();

private:
    void writeStatus(const std::string& text);

    Clock* clock_;
    std::string lastKey_;        // the last written line with its digits blanked
    std::int64_t lastWrittenMs_ = 0;
    std::string heldBack_;
    bool holding_ = false;
    std::ostream& out_;
    std::ostream& err_;
    std::string lastEvent_;
    std::map<std::string, std::deque<std::string>> answers_;
};

}  // namespace kvr
