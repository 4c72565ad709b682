// What a link reports while it works. The links know no window: the run
// that owns a link gives it these events and decides what they show.
#pragma once

#include <string>

#include "core/platform.h"

namespace kvr {

class LinkEvents {
public:
    virtual ~LinkEvents() = default;
    // Lamp 0 follows the requests, lamp 1 the answers.
    virtual void lamp(int index, Lamp colour) = 0;
    // A step of the link's work, in the words of the status line.
    virtual void status(const std::string& text) = 0;
    virtual void progress(int percent) = 0;
    // An attempt of an exchange is about to be sent.
    virtual void attempt() = 0;
    // A logger answered its status request.
    virtual void loggerFound() {}
};

// Every event straight onto the screen, as both programs show them.
class ScreenEvents : public LinkEvents {
public:
    explicit ScreenEvents(Screen& screen) : screen_(screen) {}
    void lamp(int index, Lamp colour) override { screen_.setLamp(index, colour); }
    void status(const std::string& text) override { screen_.showEvent(text); }
    void progress(int percent) override { screen_.setProgress(percent); }
    void attempt() override { screen_.nextDumpImg(); }

private:
    Screen& screen_;
};

}  // namespace kvr
