// Writes that do not fit the terminal's output queue at once: the port goes
// to the terminal directly, so it must wait for room itself and keep order.
#include <gtest/gtest.h>

#include <future>

#include "platform/qt/qt_serial_port.h"
#include "pty_helpers.h"
#include "testing/fakes.h"

using namespace kvr;
using namespace kvr::qt;
using namespace kvr::testplatform;

TEST(QtSerialPortQueue, AWriteLargerThanTheOutputQueueArrivesWholeInOrderWithOneSendEvent) {
    ensureApp();
    Pty pty;
    ASSERT_TRUE(pty.ok());
    kvr::testing::MemorySettings settings;
    settings.set("KVR", "Ports", "COM3", pty.slavePath);
    QtSerialPort port{settings};
    int sends = 0, errors = 0;
    port.setEventHandler([&](PortEvent e) {
        sends += e == PortEvent::Send;
        errors += e == PortEvent::Error;
    });
    std::string err;
    ASSERT_TRUE(port.open(3, err)) << err;
    ASSERT_TRUE(port.setSettings("115200,n,8,1"));

    // Far more than a pseudo-terminal queues (a few kB), every byte value.
    Bytes sent(300 * 1000);
    for (std::size_t i = 0; i < sent.size(); ++i) sent[i] = static_cast<std::uint8_t>((i * 7 + i / 256) & 0xFF);
    auto reader = std::async(std::launch::async, [&] { return pty.receive(sent.size(), 20000); });

    EXPECT_TRUE(port.write(sent));
    const Bytes got = reader.get();
    EXPECT_EQ(got.size(), sent.size());
    EXPECT_TRUE(got == sent) << "bytes lost, repeated or out of order";
    EXPECT_EQ(sends, 1);
    EXPECT_EQ(errors, 0);

    // The port is still usable, in order, for the next small write.
    ASSERT_TRUE(port.write(Bytes{0x5E, 0x00}));
    EXPECT_EQ(pty.receive(2, 2000), (Bytes{0x5E, 0x00}));
    port.close();
}
