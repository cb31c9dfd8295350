#pragma once

#include "tests/sim/TestLine.h"
#include "tests/support/SimOnPty.h"

#include <optional>

// A simulator in this process and the test's end of its line.
class SimFixture : public ::testing::Test {
protected:
    void Start(const TSimOnPtyOptions& options = {}) {
        Sim.emplace(options);
        Line.emplace(Sim->SlavePath(), options.Device.Baud);
    }

    // The request goes unanswered: the probe sent after it gets exactly its own reply.
    void ExpectIgnored(const Bytes& request, const Bytes& probe, const Bytes& probeReply) {
        Line->Send(request);
        usleep(std::chrono::microseconds(InterFrameGap).count());
        EXPECT_EQ(Line->Exchange(probe, probeReply.size()), probeReply);
    }

    std::optional<TSimOnPty> Sim;
    std::optional<TestLine> Line;
};
