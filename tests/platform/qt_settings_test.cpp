// The settings store: one INI file per application under XDG_CONFIG_HOME,
// written at once, text values unchanged. (A hand-written file is read in
// the serial port test's port mapping.)
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

#include "platform/qt/qt_settings.h"
#include "pty_helpers.h"

namespace kvr::test {
using namespace kvr::qt;

TEST(QtSettings, StoreIsOneIniFilePerApplication) {
    TempConfigHome home;
    const mode_t umaskBefore = ::umask(022);  // files readable by all unless made otherwise
    ensureApp();
    QtSettings s;
    EXPECT_FALSE(s.get("NVA5", "Startup", "Port").has_value());
    s.set("NVA5", "Startup", "Port", "3");
    s.set("KVR", "Startup", "Proxy", "proxy.example:8080");
    // Where the files lie and their layout are held by the end-to-end runs,
    // which write them by hand and read what the programs stored.
    EXPECT_EQ(home.read("kvr-probe/NVA5.conf").find("Proxy"), std::string::npos) << "each application has its own file";

    // A second store object (another program) sees the values.
    QtSettings other;
    EXPECT_EQ(other.get("NVA5", "Startup", "Port"), "3");
    EXPECT_FALSE(other.get("NVA5", "Other", "Port").has_value()) << "sections are apart";

    // The file that gets a password is the owner's alone, from then on.
    namespace fs = std::filesystem;
    const auto others = fs::perms::group_all | fs::perms::others_all;
    EXPECT_NE(fs::status(home.path() / "kvr-probe/KVR.conf").permissions() & others, fs::perms::none);
    s.set("KVR", "Startup", "ProxyPassword", "secret");
    s.set("KVR", "Startup", "ProxyServer", "proxy.example:3128");
    EXPECT_EQ(fs::status(home.path() / "kvr-probe/KVR.conf").permissions() & others, fs::perms::none);
    EXPECT_EQ(other.get("KVR", "Startup", "ProxyPassword"), "secret");
    ::umask(umaskBefore);
}

TEST(QtSettings, TextValuesRoundTripUnchanged) {
    TempConfigHome home;
    ensureApp();
    QtSettings s;
    for (const std::string v : {"", " 3 ", "3abc", "a,b,c", "2026/12/06", "x=y", "semi;colon", "quote\"d", "back\\slash",
                                "C:\\KVR Dumps", "caf\xC3\xA9", "#hash"}) {
        s.set("NVA5", "Startup", "K", v);
        EXPECT_EQ(s.get("NVA5", "Startup", "K"), v);
    }
}
}  // namespace kvr::test
