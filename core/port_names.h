// Serial ports as people name them. The programs number ports as Windows
// does (the stored "Port", Otter.cfg's "Coms port"); a device path given
// instead (/dev/ttyUSB0) is given a number of its own in KVR.conf [Ports], so
// the stored settings keep meaning a number and every program finds the
// device under it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>

#include "core/platform.h"

namespace kvr {

struct DeviceFolders {
    // Stable names of USB adapters: they keep naming the same adapter
    // whichever ttyUSB number it got at plug-in.
    std::filesystem::path byId = "/dev/serial/by-id";
    // Where the ports without a [Ports] entry live (port N: ttyS<N-1>).
    std::filesystem::path dev = "/dev";
};

// True when a port answer or option names a device rather than a number.
bool namesDevice(const std::string& text);

// The /dev/serial/by-id name of the device when one points at it, else
// the path as given.
std::string stableDeviceName(const std::string& device, const DeviceFolders& folders = {});

// The port number whose [Ports] entry names this device (under either of its
// names); 0 when none does.
int mappedPortNumber(Settings& settings, const std::string& device, const DeviceFolders& folders = {});

// The port number of a device: its existing entry, else the lowest number
// that has no entry and no ttyS device of its own, stored as
// COM<N>=<stable name>. 0 when no number is free.
int portForDevice(Settings& settings, const std::string& device, const DeviceFolders& folders = {});

// A port answer: a device is given its number (see above), anything else is
// read as a number (leading blanks, longest leading decimal, halves to even).
std::int32_t portFromAnswer(Settings& settings, const std::string& answer);

inline constexpr int kHighestPortNumber = 255;

// Settings in which one key lives in memory for one run: reads see the held
// value, writes change only it, the store underneath sees neither (--port).
class OneRunSetting : public Settings {
public:
    OneRunSetting(Settings& base, std::string app, std::string section, std::string key, std::string value)
        : base_(base), app_(std::move(app)), section_(std::move(section)), key_(std::move(key)),
          value_(std::move(value)) {}
    std::optional<std::string> get(const std::string& app, const std::string& section,
                                   const std::string& key) override {
        if (app == app_ && section == section_ && key == key_) return value_;
        return base_.get(app, section, key);
    }
    void set(const std::string& app, const std::string& section, const std::string& key,
             const std::string& value) override {
        if (app == app_ && section == section_ && key == key_) {
            value_ = value;
            return;
        }
        base_.set(app, section, key, value);
    }
    using Settings::get;

private:
    Settings& base_;
    std::string app_, section_, key_, value_;
};

}  // namespace kvr
