#include "sim/Framing.h"

#include "tests/sim/TestLine.h"

namespace {

using sim::Clock;
using sim::FrameAssembler;
using sim::Protocol;

const Clock::time_point T0 = Clock::time_point{} + 1h;
constexpr int Baud = 19200;
// 3.5 characters at 19200 baud are 1.82 ms.
constexpr auto BeforeSilence = 1ms;
constexpr auto AfterSilence = 3ms;

// Pushes bytes (if any) and takes every frame that is complete at that moment.
std::vector<sim::Frame> Feed(FrameAssembler& framer, std::span<const std::uint8_t> bytes,
                             Clock::time_point now) {
    if (!bytes.empty()) {
        framer.Push(bytes, now);
    }
    std::vector<sim::Frame> frames;
    while (auto frame = framer.Next(now)) {
        frames.push_back(std::move(*frame));
    }
    return frames;
}

std::vector<sim::Frame> At(FrameAssembler& framer, Clock::time_point now) {
    return Feed(framer, {}, now);
}

std::span<const std::uint8_t> Part(const Bytes& bytes, std::size_t from, std::size_t to) {
    return std::span(bytes).subspan(from, to - from);
}

TEST(FramingTest, ModbusFramesByFunctionLengthInPiecesAndBackToBack) {
    FrameAssembler framer(Protocol::ModbusRtu, Baud);
    const Bytes read = ReadRequest(1, 65200, 3);
    const Bytes write = WriteManyRequest(1, 65300, {1, 2, 3});
    EXPECT_TRUE(Feed(framer, Part(read, 0, 3), T0).empty());
    Bytes rest(read.begin() + 3, read.end());
    rest.insert(rest.end(), write.begin(), write.end());
    const auto frames = Feed(framer, rest, T0 + BeforeSilence);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].Bytes, read);
    EXPECT_EQ(frames[0].Start, T0);
    EXPECT_EQ(frames[1].Bytes, write);
    EXPECT_FALSE(framer.Deadline().has_value());
}

TEST(FramingTest, BadChecksumDropsTheFrameAndWhatFollowsUntilSilence) {
    FrameAssembler framer(Protocol::ModbusRtu, Baud);
    Bytes bad = ReadRequest(1, 0, 1);
    bad[7] ^= 0x01;
    const Bytes good = ReadRequest(1, 0, 1);
    EXPECT_TRUE(Feed(framer, bad, T0).empty());
    EXPECT_TRUE(Feed(framer, good, T0 + BeforeSilence).empty()) << "no silence between them";
    EXPECT_EQ(Feed(framer, good, T0 + BeforeSilence + AfterSilence).size(), 1u);
    EXPECT_EQ(framer.RejectedFrames(), 1u);
}

TEST(FramingTest, LoaderWriteEndsAtSilenceOrAtThirtyTwoWords) {
    FrameAssembler framer(Protocol::Loader, Baud);
    const Bytes shortWrite = Dl(2, 0x4000, {0x1111, 0x2222});
    EXPECT_TRUE(Feed(framer, shortWrite, T0).empty());
    ASSERT_TRUE(framer.Deadline().has_value());
    EXPECT_TRUE(At(framer, T0 + BeforeSilence).empty());
    const auto frames = At(framer, T0 + AfterSilence);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].Bytes, shortWrite);

    const Bytes fullWrite = Dl(2, 0x4040, std::vector<std::uint16_t>(32, 0xABCD));
    ASSERT_EQ(fullWrite.size(), 72u);
    EXPECT_EQ(Feed(framer, fullWrite, T0 + 1s).size(), 1u) << "a full page needs no silence";
}

TEST(FramingTest, LoaderSkipsNoiseBeforeTheHeader) {
    FrameAssembler framer(Protocol::Loader, Baud);
    Bytes noisy{0x00, 'D', 0x13};
    const Bytes erase = Dl(1, 0x5000);
    noisy.insert(noisy.end(), erase.begin(), erase.end());
    const auto frames = Feed(framer, noisy, T0);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].Bytes, erase);
}

TEST(FramingTest, HalfAFrameIsDroppedWhenTheRestNeverComes) {
    FrameAssembler framer(Protocol::Loader, Baud);
    const Bytes read = Dl(3, 0x4000);
    EXPECT_TRUE(Feed(framer, Part(read, 0, 5), T0).empty());
    EXPECT_EQ(framer.Deadline(), T0 + FrameAssembler::StaleFrame);
    EXPECT_TRUE(At(framer, T0 + FrameAssembler::StaleFrame).empty());
    EXPECT_EQ(framer.RejectedFrames(), 1u);
    EXPECT_EQ(Feed(framer, read, T0 + 1s).size(), 1u);
}

TEST(FramingTest, UnknownModbusFunctionEndsAtSilence) {
    FrameAssembler framer(Protocol::ModbusRtu, Baud);
    const Bytes request = Rtu({1, 4, 0x00, 0x00, 0x00, 0x01});
    EXPECT_TRUE(Feed(framer, request, T0).empty());
    EXPECT_EQ(At(framer, T0 + AfterSilence).size(), 1u);
}

} // namespace

namespace {

// What follows the activation write in the same burst belongs to the boot loader.
TEST(FramingTest, SwitchReadsTheBytesHeldAsTheNewProtocol) {
    FrameAssembler framer(Protocol::ModbusRtu, Baud);
    Bytes burst = WriteManyRequest(1, 65500, Activation);
    const Bytes read = Dl(3, 0x4000);
    burst.insert(burst.end(), read.begin(), read.end());
    framer.Push(burst, T0);
    ASSERT_TRUE(framer.Next(T0).has_value());
    framer.Switch(Protocol::Loader, Baud);
    const auto frame = framer.Next(T0);
    ASSERT_TRUE(frame.has_value());
    EXPECT_EQ(frame->Bytes, read);
}

} // namespace
