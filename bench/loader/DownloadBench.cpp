// Download of the carried firmware into the simulated converter with the line's wire time
// emulated, set beside the least the line and the flash can take for the same commands: every
// frame both ways at 10 bit times a byte, plus the device's erase and write times.

#include "link/Serialport.h"
#include "loader/Loader.h"
#include "sim/PtyServer.h"

#include <benchmark/benchmark.h>
#include <thread>

namespace {

using Seconds = std::chrono::duration<double>;

// MSP430F1x flash at its fastest timing generator (476 kHz): 4819 cycles to erase a segment,
// 35 cycles to program a word.
constexpr std::chrono::microseconds EraseTime{10124};
constexpr std::chrono::microseconds WordWriteTime{74};
constexpr double BitsPerByte = 10; // 8N1: start, eight data bits, stop
constexpr std::size_t ShortFrame = 8;
constexpr std::size_t ReadReply = 72;
constexpr std::uint16_t EraseCode = THexLoader::CmdErase;
constexpr std::uint16_t WriteCode = THexLoader::CmdWrite;
constexpr std::uint16_t ReadCode = THexLoader::CmdRead;
const std::string PortName = "COM9";

struct TLineCost {
    Seconds Wire{0};
    Seconds Flash{0};
    std::size_t Exchanges = 0;
};

// The least the commands from the log's entry `from` on cost at this speed.
TLineCost LeastCost(const std::vector<sim::LoaderCommand>& log, std::size_t from, int baud) {
    TLineCost cost;
    std::size_t bytes = 0;
    for (std::size_t i = from; i < log.size(); ++i) {
        const sim::LoaderCommand& command = log[i];
        bytes += ShortFrame + 2u * command.Words;
        bytes += command.Code == ReadCode ? ReadReply : ShortFrame;
        if (command.Code == EraseCode) {
            cost.Flash += EraseTime;
        } else if (command.Code == WriteCode) {
            cost.Flash += WordWriteTime * command.Words;
        }
    }
    cost.Wire = Seconds(static_cast<double>(bytes) * BitsPerByte / baud);
    cost.Exchanges = log.size() - from;
    return cost;
}

void BM_DownloadCarriedFirmware(benchmark::State& state) {
    const int baud = static_cast<int>(state.range(0));
    sim::DeviceOptions device;
    device.NewDevice = true; // boot loader listening, flash blank
    device.Baud = baud;
    device.EraseTime = EraseTime;
    device.WordWriteTime = WordWriteTime;
    sim::PtyServer server(device, {.WireTime = true, .CheckSpeed = true});
    std::thread serving([&server] { server.Run(); });

    THexLoader loader;
    loader.SelectProcessor(0);
    loader.LoadHexResource("HEX_FILE");
    MapPort(PortName, server.SlavePath());
    loader.SetPort(PortName);
    loader.SetBaudrate(baud);
    if (!loader.Open()) {
        state.SkipWithError("cannot open the simulator's line");
    }

    Seconds elapsed{0};
    TLineCost least;
    for (auto _ : state) {
        const std::size_t from =
            server.WithDevice([](sim::Device& d) { return d.LoaderLog().size(); });
        const auto start = std::chrono::steady_clock::now();
        const bool done = loader.Download();
        const Seconds spent = std::chrono::steady_clock::now() - start;
        state.SetIterationTime(spent.count());
        if (!done) {
            state.SkipWithError("download failed");
            break;
        }
        const TLineCost cost =
            server.WithDevice([&](sim::Device& d) { return LeastCost(d.LoaderLog(), from, baud); });
        elapsed += spent;
        least.Wire += cost.Wire;
        least.Flash += cost.Flash;
        least.Exchanges += cost.Exchanges;
    }
    loader.Close();
    server.Stop();
    serving.join();

    const double minimum = (least.Wire + least.Flash).count();
    state.counters["wire_s"] = least.Wire.count();
    state.counters["flash_s"] = least.Flash.count();
    state.counters["minimum_s"] = minimum;
    state.counters["elapsed_s"] = elapsed.count();
    state.counters["ratio"] = minimum > 0 ? elapsed.count() / minimum : 0;
    // What one exchange costs beyond the line and the flash, on average.
    state.counters["excess_us"] = least.Exchanges > 0 ? (elapsed.count() - minimum) * 1e6 /
                                                            static_cast<double>(least.Exchanges)
                                                      : 0;
}

BENCHMARK(BM_DownloadCarriedFirmware)
    ->ArgName("baud")
    ->Arg(19200)
    ->Arg(57600)
    ->Iterations(2)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

} // namespace
