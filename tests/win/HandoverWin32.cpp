// How soon does TSerialPort::Read hand over a reply on the Win32 back end? Asks the converter
// on the port for its identification many times and times each exchange from the end of the
// request's write to the reply in hand, three ways in turn:
//   spin   - the driver is asked without pause: the reply's arrival, as near as a process sees it
//   Read   - TSerialPort::Read as the system uses it
//   Sleep  - one read and a plain Sleep(10) per pass
// The hand-over time is Read's median less spin's. Prints, asserts nothing.
//   HandoverWin32 [report file]
#include "link/Modbus.h"
#include "link/SerialDevice.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>
#include <windows.h>

namespace {

using Clock = std::chrono::steady_clock;
using Ms = std::chrono::duration<double, std::milli>;

constexpr int Rounds = 100;
constexpr std::uint8_t Slave = FWL_SIM_ADDRESS;
constexpr std::int32_t ReplyLength = 11; // three identification words
constexpr std::chrono::milliseconds Limit{1000};
constexpr DWORD SleepPassMs = 10;

class TProbe : public TModbus {
public:
    std::int32_t Spin(char* buffer, std::int32_t count) {
        const auto end = Clock::now() + Limit;
        std::int32_t total = 0;
        while (total < count && Clock::now() < end) {
            total += Handle->ReadAvailable(buffer + total, count - total);
        }
        return total;
    }
    std::int32_t SleepLoop(char* buffer, std::int32_t count) {
        const auto end = Clock::now() + Limit;
        std::int32_t total = 0;
        do {
            total += Handle->ReadAvailable(buffer + total, count - total);
            ::Sleep(SleepPassMs);
        } while (total < count && Clock::now() < end);
        return total;
    }
};

struct TFigures {
    const char* Name;
    std::vector<double> Times;
    int Short = 0;

    double At(double share) {
        std::sort(Times.begin(), Times.end());
        return Times.empty() ? 0.0 : Times[static_cast<std::size_t>(share * (Times.size() - 1))];
    }
};

} // namespace

int main(int argc, char** argv) {
    TProbe port;
    port.SetPort(FWL_SIM_PORT);
    port.SetReplyTimeout(Limit);
    if (!port.Open()) {
        std::fprintf(stderr, "HandoverWin32: cannot open %s\n", FWL_SIM_PORT);
        return 1;
    }
    std::string request{static_cast<char>(Slave), 3, char(0xFE), char(0xB0), 0, 3};
    const std::uint16_t crc = TModbus::CrcModbus(request.data(), request.size());
    request += static_cast<char>(crc >> 8);
    request += static_cast<char>(crc & 0xFF);

    TFigures figures[] = {
        {"spin (arrival)", {}}, {"TSerialPort::Read", {}}, {"Sleep(10) loop", {}}};
    char reply[ReplyLength];
    for (int round = 0; round < Rounds; ++round) {
        for (int way = 0; way < 3; ++way) {
            port.PurgeInput();
            port.Write(request.data(), static_cast<std::int32_t>(request.size()));
            const auto start = Clock::now();
            const std::int32_t got = way == 0   ? port.Spin(reply, ReplyLength)
                                     : way == 1 ? port.Read(reply, ReplyLength)
                                                : port.SleepLoop(reply, ReplyLength);
            figures[way].Times.push_back(Ms(Clock::now() - start).count());
            figures[way].Short += got < ReplyLength ? 1 : 0;
        }
    }
    port.Close();

    std::string report = "Round trip of an identification request on " FWL_SIM_PORT ", " +
                         std::to_string(Rounds) + " each (ms):\n";
    char line[160];
    for (TFigures& f : figures) {
        std::snprintf(line, sizeof line, "  %-18s median %6.2f  p90 %6.2f  max %6.2f%s\n", f.Name,
                      f.At(0.5), f.At(0.9), f.At(1.0),
                      f.Short ? "  (some replies incomplete)" : "");
        report += line;
    }
    std::snprintf(line, sizeof line,
                  "Hand-over of a reply by Read: %.2f ms (median, Read - spin)\n",
                  figures[1].At(0.5) - figures[0].At(0.5));
    report += line;
    std::fputs(report.c_str(), stdout);
    if (argc > 1) {
        if (FILE* out = std::fopen(argv[1], "w")) {
            std::fputs(report.c_str(), out);
            std::fclose(out);
        }
    }
    return 0;
}
