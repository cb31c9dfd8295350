// How well the command line's time left foretells the rest of a download: the carried firmware
// into converter-sim with the line's timing (--wire-time, a new device), the estimate taken
// once a tenth of the work is done set beside the time the rest really took.
//
//     ProgressBench --benchmark_repetitions=3

#include "cli/Console.h"
#include "tests/support/SimOnPty.h"

#include <benchmark/benchmark.h>
#include <sstream>

namespace {

using Clock = std::chrono::steady_clock;
using Seconds = TConsoleProgress::Seconds;

constexpr double Tenth = 0.1;
const std::string PortName = "COM9";

// Passes the steps on to the progress and notes its estimate when a tenth is done.
class TTenthWatch : public TDownloadSteps {
public:
    explicit TTenthWatch(TConsoleProgress& progress) : Progress(progress) {}
    void Step(TDownloadStep kind, std::int32_t address, std::int32_t words) override {
        Progress.Step(kind, address, words);
        if (!Taken && Progress.DoneShare() >= Tenth) {
            Taken = true;
            At = Clock::now();
            Estimate = Progress.TimeLeft().value_or(Seconds(0));
        }
    }

    bool Taken = false;
    Clock::time_point At{};
    Seconds Estimate{0};

private:
    TConsoleProgress& Progress;
};

void BM_TimeLeftAtATenth(benchmark::State& state) {
    const int baud = static_cast<int>(state.range(0));
    Seconds estimate{0};
    Seconds rest{0};
    for (auto _ : state) {
        TSimOnPty sim({.Device = {.Baud = baud, .NewDevice = true},
                       .Line = {.WireTime = true},
                       .ChildProcess = true});
        THexLoader loader;
        loader.SelectProcessor(0);
        loader.LoadHexResource("HEX_FILE");
        MapPort(PortName, sim.SlavePath());
        loader.SetPort(PortName);
        loader.SetBaudrate(baud);
        if (!loader.Open()) {
            state.SkipWithError("cannot open the simulator's line");
            break;
        }
        std::ostringstream out;
        TConsole console(out, out, false);
        TConsoleProgress progress(console, loader);
        TTenthWatch watch(progress);
        loader.SetDownloadSteps(&watch);
        const bool done = loader.Download();
        const Seconds real = Clock::now() - watch.At;
        if (!done || !watch.Taken) {
            state.SkipWithError("download failed");
            break;
        }
        estimate += watch.Estimate;
        rest += real;
        // The summary, the output's last line.
        std::string text = out.str();
        text.pop_back();
        state.SetLabel(text.substr(text.rfind('\n') + 1));
    }
    const auto runs = static_cast<double>(state.iterations());
    state.counters["estimate_s"] = estimate.count() / runs;
    state.counters["rest_s"] = rest.count() / runs;
    // Positive: the estimate said more time than the rest took.
    state.counters["error_pct"] = rest.count() > 0 ? 100.0 * (estimate - rest) / rest : 0;
}

BENCHMARK(BM_TimeLeftAtATenth)
    ->ArgName("baud")
    ->Arg(57600)
    ->Arg(19200)
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

} // namespace
