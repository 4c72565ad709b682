// Frames on the wire and the receiving state machine.
#include "tests/logger_link/rig.h"

namespace kvr::test {
namespace {

TEST(LoggerFrame, RequestsAreByteExact) {
    struct RequestCase {
        const char* name;
        std::vector<double> data;
        Bytes wire;
    };
    auto one = [](std::uint8_t d) {
        int s = 775 + d;
        return Bytes{0x5E, 0xFF, 0xFF, 0xFF, 0x0A, 0x00, d, static_cast<std::uint8_t>(s / 256),
                     static_cast<std::uint8_t>(s % 256), 0x5F, 0x00, 0x00, 0x00};
    };
    const std::vector<RequestCase> cases = {
        {"one byte 0", {0}, one(0)},
        {"one byte 0xFF carries into the high byte", {255}, one(255)},
        {"status request", {9, 0, 0, 0, 0},
         {0x5E, 0xFF, 0xFF, 0xFF, 0x0E, 0x00, 0x09, 0x00, 0x00, 0x00, 0x00, 0x03, 0x14, 0x5F, 0x00, 0x00, 0x00}},
        {"negative and fractional arguments", {2, -7, 1.5, 2.5, 254.6},
         logger::buildRequest(std::vector<std::uint8_t>{2, 0, 2, 2, 255})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig(std::vector<Bytes>{});
        rig.transmit(c.data, true);
        EXPECT_EQ(rig.port.written(), c.wire);
        // One byte per write, as the link promises the port.
        EXPECT_EQ(rig.port.writes.size(), c.wire.size());
        EXPECT_EQ(rig.state.TxLen, 0);
        EXPECT_TRUE(rig.state.CommsError);
    }
}

TEST(LoggerFrame, FlashWritesAreByteExact) {
    Rig rig({answer({13, 0, 0, 0, 0})});
    rig.link.ProbeWritePage(0);
    EXPECT_FALSE(rig.state.CommsError);
    auto f = rig.frames();
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(Bytes(f[0].begin(), f[0].begin() + 6), (Bytes{0x5E, 0xFF, 0xFF, 0xFF, 142, 0x00}));
    EXPECT_EQ(Bytes(f[0].end() - 4, f[0].end()), (Bytes{0x5F, 0x00, 0x00, 0x00}));
    std::vector<int> data(133, 0);
    data[0] = 13;
    EXPECT_EQ(Rig::dataOf(f[0]), data);

    // Server layout: the block command with the write flag; the page in order.
    rig.link.ServerFormat = true;
    for (int i = 0; i < 128; ++i) rig.link.PageBuf[static_cast<std::size_t>(i)] = static_cast<std::int16_t>(i * 2);
    rig.link.ProbeWritePage(0x1234);
    f = rig.frames();
    ASSERT_EQ(f.size(), 1u);
    data = {0, 0x12, 0x34, 1, 0};
    for (int i = 0; i < 128; ++i) data.push_back(i * 2);
    EXPECT_EQ(Rig::dataOf(f[0]), data);

    rig.link.ProbeWriteByte(300, 5, 255);
    f = rig.frames();
    ASSERT_EQ(f.size(), 1u);
    EXPECT_EQ(Rig::dataOf(f[0]), (std::vector<int>{2, 1, 44, 5, 255}));
}

TEST(LoggerFrame, ReceiverGivesTheSameResultWhateverTheChunks) {
    struct RxCase {
        const char* name;
        Bytes input;
        std::int16_t expect, rxLen, answerLength;  // the caller's length; positions received; the length after
        std::vector<std::pair<int, int>> at;       // position, value
    };
    Bytes good = answer({9, 255, 12, 3, 4});
    Bytes longer = answer(std::vector<std::uint8_t>(21, 0x11));  // length byte 30
    Bytes withMarker = answer({0x5E, 1, 2, 3, 4});
    Bytes shortLen = good;
    shortLen[4] = 13;
    const std::vector<RxCase> cases = {
        {"plain", good, 14, 14, 14, {{5, 14}, {6, 1}, {7, 9}, {14, 0x5F}}},
        {"garbage before the start marker", [&] { Bytes b{0x00, 0x13, 0xFF, 0x5F}; b.insert(b.end(), good.begin(), good.end()); return b; }(),
         14, 14, 14, {{2, 0xFF}, {7, 9}}},
        {"announced length overrides the expected one", longer, 14, 30, 30, {{30, 0x5F}}},
        {"a second start marker is data", withMarker, 14, 14, 14, {{7, 0x5E}, {8, 1}}},
        {"length 13 keeps the expected length", shortLen, 14, 14, 14, {{5, 13}}},
        {"bytes beyond the length are stored", [&] { Bytes b = good; b.insert(b.end(), {1, 2, 3}); return b; }(),
         14, 17, 14, {{17, 3}}},
        {"nothing but noise", {0x01, 0x02, 0x5F}, 14, 0, 14, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (std::size_t chunk : {std::size_t{1}, std::size_t{3}, c.input.size() + 1}) {
            logger::Buffer rx{};
            std::int16_t rxLen = 0, al = c.expect;
            logger::Receiver r(rx, rxLen, al);
            for (std::size_t i = 0; i < c.input.size(); i += chunk)
                r.feed(ByteSpan(c.input).subspan(i, std::min(chunk, c.input.size() - i)));
            EXPECT_EQ(rxLen, c.rxLen) << "chunk " << chunk;
            EXPECT_EQ(al, c.answerLength) << "chunk " << chunk;
            for (auto [pos, v] : c.at) EXPECT_EQ(rx[static_cast<std::size_t>(pos)], v) << "position " << pos;
        }
    }
}

// A good answer passes; each damage to it fails the check. Lengths outside
// the answer sizes never pass.
TEST(LoggerFrame, AnswerChecks) {
    auto valid = [](const std::function<void(Bytes&)>& damage) {
        Bytes a = answer({9, 255, 12, 3, 4});
        damage(a);
        logger::Buffer rx{};
        for (std::size_t i = 1; i < a.size(); ++i) rx[i + 1] = a[i];
        return logger::answerValid(rx, static_cast<int>(a.size()), true);
    };
    EXPECT_TRUE(valid([](Bytes&) {}));
    EXPECT_FALSE(valid([](Bytes& a) { a[5] = 0; })) << "direction 0";
    EXPECT_FALSE(valid([](Bytes& a) { a.back() = 0x5E; })) << "end marker";
    EXPECT_FALSE(valid([](Bytes& a) { a[a.size() - 3] ^= 1; })) << "checksum high byte";
    EXPECT_FALSE(valid([](Bytes& a) { a[a.size() - 2] ^= 0x80; })) << "checksum low byte";
    EXPECT_FALSE(valid([](Bytes& a) { a[8] ^= 4; })) << "one data byte changed";
    logger::Buffer rx{};
    EXPECT_FALSE(logger::answerValid(rx, 13, false));
    EXPECT_FALSE(logger::answerValid(rx, 143, false));
}

}  // namespace
}  // namespace kvr::test
