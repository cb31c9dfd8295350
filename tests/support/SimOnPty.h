#pragma once

#include "sim/Descriptor.h"
#include "sim/Device.h"
#include "sim/Flash.h"
#include "sim/Options.h"
#include "sim/PtyServer.h"

#include <array>
#include <memory>
#include <stdexcept>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

// The simulated converter on a pseudo-terminal, for tests that need a converter on a serial
// line. The constructor returns once the slave path can be opened: the simulator either runs
// in this process on a thread (the default; the device can then be inspected) or as a child
// process of converter-sim (stopped by its pid).
//
//     TSimOnPty sim({.Device = {.Version = 0x2200}});
//     port.SetPort(sim.SlavePath()) ... run the system against it ...
//     sim.Stop();
//     EXPECT_EQ(sim.Counters().Erases, 36u);
//
// Every accessor locks the device against the serving thread, so a test may also look while
// the simulator runs. A bus of several devices on the one line:
//
//     TSimOnPty sim({.Bus = {{.Address = 3}, {.Address = 7, .InLoader = true}}});
//     EXPECT_EQ(sim.Counters(1).LoaderReplies, 1u);
struct TSimOnPtyOptions {
    sim::DeviceOptions Device{};
    std::vector<sim::DeviceOptions> Bus{}; // when not empty, these devices and not Device
    sim::LineOptions Line{};
    bool ChildProcess = false; // converter-sim as a child instead of a thread
    bool Verbose = false;      // every frame in hex on stderr; also FWL_SIM_VERBOSE=1
    std::string FlashOut{};    // flash written here at Stop (".hex": Intel HEX, else binary)
    std::vector<std::string> BusFlashOut{}; // the same for each bus device, by index into Bus
    sim::ByteOrder FlashOrder = sim::ByteOrder::Image; // pairs as in the firmware's HEX
    std::string Link{}; // a symbolic link to the slave path while the simulator runs
};

class TSimOnPty {
public:
    // Throws std::runtime_error when the simulator cannot be started.
    explicit TSimOnPty(const TSimOnPtyOptions& options = {});
    ~TSimOnPty();
    TSimOnPty(const TSimOnPty&) = delete;
    TSimOnPty& operator=(const TSimOnPty&) = delete;

    const std::string& SlavePath() const { return Slave; }
    bool InProcess() const { return Server != nullptr; }

    // Ends the simulator (idempotent): joins the thread, or sends SIGTERM to the child and
    // reaps it. The flash file, if asked for, is written now.
    void Stop();
    // Child only, after Stop: the exit status, or -1 when it ended by a signal.
    int ExitStatus() const { return Status; }
    // True once the line-vanishes fault has closed the pty (in process only).
    bool LineVanished() const;

    // In process only; these throw std::logic_error for a child. The device is the first
    // unless its index on the bus is given.
    std::size_t DeviceCount();
    sim::Counters Counters(std::size_t device = 0);
    std::vector<sim::LoaderCommand> LoaderLog(std::size_t device = 0);
    std::vector<std::uint16_t> FlashWords(std::uint16_t address, std::size_t count,
                                          std::size_t device = 0);
    std::array<std::uint16_t, sim::RecordRegisters> Records(std::size_t device = 0);
    std::uint16_t RecordCount(std::size_t device = 0);
    sim::Mode Mode(std::size_t device = 0);

    template <class F>
    decltype(auto) WithDevice(std::size_t device, F&& f) {
        return InProcessServer().WithDevice(device, std::forward<F>(f));
    }
    template <class F>
    decltype(auto) WithDevice(F&& f) {
        return WithDevice(0, std::forward<F>(f));
    }

    // The converter-sim program the child mode runs: $FWL_CONVERTER_SIM, else the one built
    // beside the tests.
    static std::string ProgramPath();

private:
    void StartChild(const TSimOnPtyOptions& options);
    void StopChild();
    sim::PtyServer& InProcessServer();

    TSimOnPtyOptions Options;
    std::string Slave;
    std::unique_ptr<sim::PtyServer> Server;
    std::thread Serving;
    pid_t Child = -1;
    sim::Descriptor ChildOut; // the child's stdout, which carries the slave path
    int Status = 0;
    bool Stopped = false;
};
