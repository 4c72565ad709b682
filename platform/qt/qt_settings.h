// The per-user settings store on QSettings. Every application name is its own
// INI file: on Linux ${XDG_CONFIG_HOME:-$HOME/.config}/kvr-probe/<app>.conf,
// one [<section>] group per section; values are kept as text.
#pragma once

#include "core/platform.h"

namespace kvr::qt {

class QtSettings : public Settings {
public:
    using Settings::get;
    std::optional<std::string> get(const std::string& app, const std::string& section,
                                   const std::string& key) override;
    // Written through to the file at once (sync), so a program that is
    // killed later still keeps what it stored.
    void set(const std::string& app, const std::string& section, const std::string& key,
             const std::string& value) override;

    // Where the store of `app` lives (for messages and tests).
    static std::string filePath(const std::string& app);
};

}  // namespace kvr::qt
