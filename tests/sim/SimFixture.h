#pragma once

#include "tests/sim/TestLine.h"
#include "tests/support/SimOnPty.h"

#include <chrono>
#include <cstdint>
#include <optional>

// A simulator in this process and the test's end of its line.
class SimFixture : public ::testing::Test {
protected:
    void Start(const TSimOnPtyOptions& options = {}) {
        Sim.emplace(options);
        Line.emplace(Sim->SlavePath(),
                     options.Bus.empty() ? options.Device.Baud : options.Bus.front().Baud);
    }

    // The request goes unanswered: the probe sent after it gets exactly its own reply.
    void ExpectIgnored(const Bytes& request, const Bytes& probe, const Bytes& probeReply) {
        const std::uint64_t before = FramesTaken();
        Line->Send(request);
        // The device finds frame ends by the line's silence, so the probe must not reach it in
        // one read with the request: it goes out once the device has dealt with the request
        // (a busy machine may hold the serving thread back for longer than any fixed gap),
        // after a silence that ends whatever the device still discards of it.
        ASSERT_TRUE(Eventually([&] { return FramesTaken() != before; }, FrameTakenWait))
            << "the device never took the request";
        usleep(std::chrono::microseconds(InterFrameGap).count());
        EXPECT_EQ(Line->Exchange(probe, probeReply.size()), probeReply);
    }

    // Frames the device has taken off the line, answered or not.
    std::uint64_t FramesTaken(std::size_t device = 0) {
        const sim::Counters counters = Sim->Counters(device);
        return counters.Handled + counters.Rejected + counters.OtherAddress;
    }

    static constexpr std::chrono::seconds FrameTakenWait{5};

    std::optional<TSimOnPty> Sim;
    std::optional<TestLine> Line;
};
