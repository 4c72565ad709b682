// The Qt serial port on a real pseudo-terminal: line
// settings, waits that use no CPU, receive events, a line that
// goes away, and writes larger than the terminal's output queue.
#include <gtest/gtest.h>

#include <future>

#include "platform/qt/line_rate.h"
#include "platform/qt/qt_serial_port.h"
#include "pty_helpers.h"
#include "testing/fakes.h"

namespace kvr::test {
using namespace kvr::qt;

namespace {

// A port opened on a fresh pseudo-terminal, mapped as COM3.
struct OpenPort {
    Pty pty;
    kvr::test::MemorySettings settings;
    QtSerialPort port{settings};
    std::vector<PortEvent> events;
    OpenPort() {
        ensureApp();
        settings.set("KVR", "Ports", "COM3", pty.slavePath);
        port.setEventHandler([this](PortEvent e) { events.push_back(e); });
    }
    bool open() {
        std::string err;
        return pty.ok() && port.open(3, err);
    }
    // Collects from the port until n bytes or the deadline.
    Bytes collect(std::size_t n, int timeoutMs) {
        Bytes got;
        const std::int64_t deadline = monoMs() + timeoutMs;
        while (got.size() < n && monoMs() < deadline) {
            if (port.waitForBytes(deadline)) {
                Bytes b = port.readAll();
                got.insert(got.end(), b.begin(), b.end());
            }
        }
        return got;
    }
    int count(PortEvent e) const { return static_cast<int>(std::count(events.begin(), events.end(), e)); }
    void hangUp() {
        ::close(pty.slave);
        pty.slave = -1;
        pty.closeMaster();
    }
};

}  // namespace

TEST(QtSerialPort, LineSettingsReachTheTerminalAndBadOnesAreRefused) {
    struct Case {
        const char* settings;
        bool beforeOpen;
        int expectBaud;
    };
    for (const auto& c : {Case{"56000,n,8,1", false, 56000},  // not in the classic speed table
                          Case{"56000,n,8,1", true, 56000},   // remembered and applied at open
                          Case{"19200,n,8,2", false, 19200}}) {  // (a pseudo-terminal refuses parity and 7 bits)
        SCOPED_TRACE(c.settings);
        OpenPort p;
        if (!c.beforeOpen) {
            ASSERT_TRUE(p.open());
        }
        EXPECT_TRUE(p.port.setSettings(c.settings));
        if (c.beforeOpen) {
            ASSERT_TRUE(p.open());
        }
        EXPECT_EQ(p.port.settings(), c.settings);
        // Read on the test's own descriptor of the terminal, not the port's.
        EXPECT_EQ(readLineRate(p.pty.slave), c.expectBaud);
        // Still raw after the change.
        p.pty.send({0x11, 0x13, 0x0D, 0x0A, 0x00, 0xFF});
        EXPECT_EQ(p.collect(6, 2000), (Bytes{0x11, 0x13, 0x0D, 0x0A, 0x00, 0xFF}));
        for (const char* bad : {"", "9600", "9600,n,8", "fast,n,8,1", "9600,x,8,1", "9600,n,9,1", "9600,n,8,3",
                                "0,n,8,1", "-9600,n,8,1", "9600,n,8,1,1"}) {
            EXPECT_FALSE(p.port.setSettings(bad)) << bad;
            EXPECT_EQ(p.port.settings(), c.settings);
            EXPECT_EQ(readLineRate(p.pty.slave), c.expectBaud);
        }
    }
    LineSettings ls;
    ASSERT_TRUE(parseLineSettings(" 56000 , N , 8 , 1.5 ", ls));
    EXPECT_EQ(std::tuple(ls.baud, ls.parity, ls.stopBits), std::tuple(56000, 'n', 3));
}

// A wait blocks on the port, in slices of at most ~100 ms so a caller yields
// to its window often, whether the line is quiet, gone or closed. A line
// that went away reports an error event and a write to it is bounded.
TEST(QtSerialPort, WaitingForSilenceUsesNoCpu) {
    struct Case {
        const char* name;
        bool open;
        bool hangUp;  // the terminal then reports hang-up at once, every time
    };
    for (const auto& c : {Case{"quiet line", true, false}, Case{"hung-up line", true, true}, Case{"closed port", false, false}}) {
        SCOPED_TRACE(c.name);
        OpenPort p;
        if (c.open) {
            ASSERT_TRUE(p.open());
        }
        if (c.hangUp) p.hangUp();
        const std::int64_t cpu0 = processCpuMs();
        const std::int64_t t0 = monoMs();
        const std::int64_t deadline = t0 + 1000;
        int calls = 0;
        bool got = false;
        while (monoMs() < deadline && calls < 10000) {
            got = p.port.waitForBytes(deadline) || got;
            ++calls;
        }
        const std::int64_t elapsed = monoMs() - t0;
        EXPECT_FALSE(got);
        EXPECT_GE(elapsed, 1000);
        EXPECT_LT(elapsed, 1400);
        EXPECT_LT(processCpuMs() - cpu0, 50) << "CPU ms over a 1 s wait";
        EXPECT_GE(calls, 10);
        EXPECT_LT(calls, 40);
        EXPECT_EQ(p.count(PortEvent::Error) > 0, c.hangUp) << "the receive lamp turns red";
        EXPECT_EQ(p.count(PortEvent::Receive), 0);
        if (c.hangUp) {
            const std::int64_t w0 = monoMs();
            p.port.write(Bytes{1, 2, 3});
            EXPECT_LT(monoMs() - w0, 3000) << "a write to a dead line is bounded";
            EXPECT_EQ(p.count(PortEvent::Send), 0) << "nothing was sent";
        }
    }
}

TEST(QtSerialPort, ReceiveEventOncePerArrivalAndHandlerMayRead) {
    // The modem dialogue collects text inside the receive event; bytes read
    // there must not be announced again or lost.
    OpenPort p;
    ASSERT_TRUE(p.open());
    std::string collected;
    int receives = 0;
    p.port.setEventHandler([&](PortEvent e) {
        if (e != PortEvent::Receive) return;
        ++receives;
        Bytes b = p.port.readAll();
        collected.append(b.begin(), b.end());
    });
    const std::string chunks[] = {"AT+CREG?\r\n", "+CREG: 0,1\r\n", std::string("OK\0\r\n", 5)};
    for (const auto& c : chunks) {
        p.pty.send(Bytes(c.begin(), c.end()));
        const std::int64_t deadline = monoMs() + 2000;
        const std::size_t want = collected.size() + c.size();
        while (collected.size() < want && monoMs() < deadline) p.port.waitForBytes(deadline);
    }
    EXPECT_EQ(collected, chunks[0] + chunks[1] + chunks[2]);
    EXPECT_GE(receives, 3);
    EXPECT_LE(receives, 3 * 3);  // chunks may split, never repeat endlessly
    // Nothing left: a further wait neither reports bytes nor fires.
    const int before = receives;
    EXPECT_FALSE(p.port.waitForBytes(monoMs() + 150));
    EXPECT_EQ(receives, before);
}

TEST(QtSerialPort, UnreadBytesAreAnnouncedOnceAndClearInputDropsThem) {
    OpenPort p;
    ASSERT_TRUE(p.open());
    p.pty.send({1, 2, 3});
    const std::int64_t deadline = monoMs() + 2000;
    while (p.port.bytesWaiting() < 3 && monoMs() < deadline) p.port.waitForBytes(deadline);
    EXPECT_EQ(p.port.bytesWaiting(), 3u);
    // Whether they came through one wait or a poll, the bytes are announced
    // exactly once while they lie unread.
    EXPECT_TRUE(p.port.waitForBytes(monoMs() + 100));
    EXPECT_TRUE(p.port.waitForBytes(monoMs() + 100));
    EXPECT_EQ(p.count(PortEvent::Receive), 1);
    // New bytes are pulled in and announced although older ones lie unread.
    p.pty.send({4});
    while (p.port.bytesWaiting() < 4 && monoMs() < deadline) p.port.waitForBytes(deadline);
    EXPECT_TRUE(p.port.waitForBytes(monoMs() + 100));
    EXPECT_EQ(p.count(PortEvent::Receive), 2);
    p.port.clearInput();
    EXPECT_EQ(p.port.bytesWaiting(), 0u);
    EXPECT_TRUE(p.port.readAll().empty());
    p.pty.send({9});
    EXPECT_EQ(p.collect(1, 2000), Bytes{9});
}

// The port goes to the terminal directly, so it must wait for room itself
// and keep order.
TEST(QtSerialPort, AWriteLargerThanTheOutputQueueArrivesWholeInOrderWithOneSendEvent) {
    OpenPort p;
    ASSERT_TRUE(p.open());
    ASSERT_TRUE(p.port.setSettings("115200,n,8,1"));
    // Far more than a pseudo-terminal queues (a few kB), every byte value.
    Bytes sent(300 * 1000);
    for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<std::uint8_t>((i * 7 + i / 256) & 0xFF);
    auto reader = std::async(std::launch::async, [&] { return p.pty.receive(sent.size(), 20000); });
    EXPECT_TRUE(p.port.write(sent));
    const Bytes got = reader.get();
    EXPECT_EQ(got.size(), sent.size());
    EXPECT_TRUE(got == sent) << "bytes lost, repeated or out of order";
    EXPECT_EQ(p.count(PortEvent::Send), 1);
    EXPECT_EQ(p.count(PortEvent::Error), 0);
    // The port is still usable, in order, for the next small write.
    ASSERT_TRUE(p.port.write(Bytes{0x5E, 0x00}));
    EXPECT_EQ(p.pty.receive(2, 2000), (Bytes{0x5E, 0x00}));
}
}  // namespace kvr::test
