// How fast a reply is handed over once its last byte is on the line, and what waiting on a
// silent line costs, both over a pseudo-terminal.

#include "link/Communication.h"
#include "link/Serialport.h"
#include "tests/support/LinkOnPty.h"
#include "tests/support/PtyPair.h"
#include "tests/support/ScriptedPeer.h"

#include <algorithm>
#include <benchmark/benchmark.h>
#include <ctime>
#include <vector>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// A boot loader's answer to a read-back (code 3 at 0xE000): 72 bytes, 32 words.
// The checksum comes from python3 binascii.crc_hqx.
std::string ReadBackReply() {
    std::string reply = Hex("44 4C 03 00 00 E0");
    for (int i = 0; i < 32; ++i) {
        const auto word = static_cast<std::uint16_t>(0xA500 + i * 0x0101);
        reply += static_cast<char>(word & 0xFF);
        reply += static_cast<char>(word >> 8);
    }
    return reply + Hex("6B 4D");
}

double Percentile(std::vector<double> samples, double share) {
    if (samples.empty()) {
        return 0;
    }
    std::sort(samples.begin(), samples.end());
    return samples[static_cast<std::size_t>(share * static_cast<double>(samples.size() - 1))];
}

// From the peer's last reply byte to ReceiveFrame returning with the checked reply.
void BM_ReplyHandOver(benchmark::State& state) {
    TPtyPair pty;
    TScriptedPeer peer(pty, [](const std::string&) -> std::size_t { return 8; });
    TCommunication link;
    if (!OpenOnPty(link, pty, 1000ms)) {
        state.SkipWithError("cannot open the pty");
        return;
    }
    const std::string reply = ReadBackReply();
    const Unsigned16Vector none;
    Unsigned16Vector words;
    std::vector<double> samples;
    std::size_t answered = 0;
    for (auto _ : state) {
        peer.Answer(reply);
        words.clear();
        link.SendFrame(3, 0xE000, none);
        const bool ok = link.ReceiveFrame(3, 0xE000, words);
        const auto returned = Clock::now();
        if (!ok || !peer.WaitForRequests(++answered, 10s)) {
            state.SkipWithError("the exchange failed");
            break;
        }
        // The peer stamps its answer after write() returns; a hand-over that beat the stamp
        // counts as immediate.
        const double seconds =
            std::max(0.0, std::chrono::duration<double>(returned - peer.LastAnswerSent()).count());
        samples.push_back(seconds * 1e6);
        state.SetIterationTime(seconds);
    }
    state.counters["median_us"] = Percentile(samples, 0.5);
    state.counters["p90_us"] = Percentile(samples, 0.9);
    state.counters["max_us"] = Percentile(samples, 1.0);
    ClearPortMap();
}
BENCHMARK(BM_ReplyHandOver)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(500);

double ProcessCpuSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// CPU time of the whole process while one Read waits out its timeout on a silent line.
void BM_SilentLineWait(benchmark::State& state) {
    const auto timeout = std::chrono::milliseconds(state.range(0));
    TPtyPair pty;
    TSerialPort port;
    if (!OpenOnPty(port, pty, timeout)) {
        state.SkipWithError("cannot open the pty");
        return;
    }
    char buffer[8];
    double cpu = 0;
    double wall = 0;
    for (auto _ : state) {
        const double cpuStart = ProcessCpuSeconds();
        const auto start = Clock::now();
        benchmark::DoNotOptimize(port.Read(buffer, sizeof buffer));
        wall += std::chrono::duration<double>(Clock::now() - start).count();
        cpu += ProcessCpuSeconds() - cpuStart;
    }
    state.counters["cpu_percent_of_a_core"] = wall > 0 ? 100.0 * cpu / wall : 0.0;
    ClearPortMap();
}
BENCHMARK(BM_SilentLineWait)
    ->Arg(2000)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

} // namespace
