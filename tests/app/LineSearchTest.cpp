// The line search against the simulated converter: the order of the baud rates, what a found
// converter says of itself, and a stop asked for midway.
#include "app/LineSearch.h"

#include "tests/support/SimOnPty.h"

#include <gtest/gtest.h>

namespace {

// The COM name the search is given, leading to the simulator.
std::string PortTo(const TSimOnPty& sim) {
    MapPort("COM20", sim.SlavePath());
    return "COM20";
}

struct TRecordingProgress : TSearchProgress {
    void SearchStep(int done, int total, std::int32_t baudrate, int address) override {
        Steps.push_back({done, total, baudrate, address});
    }
    void Found(const TFoundConverter& found) override { Converters.push_back(found); }
    bool SearchCancelled() override { return CancelAt >= 0 && int(Steps.size()) >= CancelAt; }

    struct TStep {
        int Done, Total;
        std::int32_t Baudrate;
        int Address;
    };
    std::vector<TStep> Steps;
    std::vector<TFoundConverter> Converters;
    int CancelAt = -1;
};

TEST(LineSearch, ChosenRateFirstThenTheListsOthers) {
    EXPECT_EQ(SearchOrder(38400), (std::vector<std::int32_t>{38400, 9600, 19200, 57600}));
    EXPECT_EQ(SearchOrder(9600), (std::vector<std::int32_t>{9600, 19200, 38400, 57600}));
}

TEST(LineSearch, FindsTheConverterWhereItListensAndTellsItOnce) {
    TSimOnPty sim(
        {.Device = {.Type = 5, .SubType = 2, .Version = 0x2310, .Address = 200, .Baud = 57600}});
    TRecordingProgress progress;
    const TSearchResult result = SearchLine(PortTo(sim), {19200, 57600}, &progress);

    ASSERT_FALSE(result.OpenFailed);
    ASSERT_EQ(result.Converters.size(), 1u);
    const TFoundConverter& found = result.Converters.front();
    EXPECT_EQ(found.Address, 200);
    EXPECT_EQ(found.Baudrate, 57600);
    EXPECT_EQ(found.Type, 5);
    EXPECT_EQ(found.SubType, 2);
    EXPECT_EQ(found.Version, 0x2310);
    EXPECT_FALSE(found.OldGeneration);
    EXPECT_EQ(progress.Converters.size(), 1u);
    EXPECT_TRUE(result.LoaderBaudrates.empty());
    EXPECT_FALSE(result.Cancelled || result.OpenFailed);

    // A loader read, then the 255 addresses, at each rate; the bar ends full.
    ASSERT_EQ(progress.Steps.size(), 2u * 256 + 1);
    EXPECT_EQ(progress.Steps[0].Address, 0);
    EXPECT_EQ(progress.Steps[1].Address, 1);
    EXPECT_EQ(progress.Steps[256].Baudrate, 57600);
    EXPECT_EQ(progress.Steps.back().Done, progress.Steps.back().Total);

    sim.Stop();
    const sim::Counters counters = sim.Counters();
    EXPECT_EQ(counters.ApplicationReplies, 1u);
    EXPECT_EQ(counters.OtherAddress, 254u);
    EXPECT_GT(counters.WrongSpeedBytes, 0u);
    EXPECT_EQ(counters.Activations + counters.RecordWrites + counters.CommandWrites, 0u);
}

TEST(LineSearch, StopsAtTheReadWhereItIsAskedTo) {
    TSimOnPty sim({.Device = {.Address = 100}});
    TRecordingProgress progress;
    progress.CancelAt = 10;
    const TSearchResult result = SearchLine(PortTo(sim), SearchOrder(19200), &progress);
    EXPECT_TRUE(result.Cancelled);
    EXPECT_EQ(progress.Steps.size(), 10u);
    EXPECT_TRUE(result.Converters.empty());
    sim.Stop();
    EXPECT_EQ(sim.Counters().OtherAddress, 9u); // the loader's read and addresses 1 to 9
}

} // namespace
