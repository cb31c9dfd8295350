#pragma once

#include "sim/Flash.h"
#include "sim/Framing.h"
#include "sim/Options.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

// The converter as its two programs behave on the line: the application, a Modbus RTU slave
// with identification, download records and a command register, and the boot loader, which
// erases, writes and reads flash through "DL" frames. The device takes whole frames with a
// correct checksum (FrameAssembler cuts them) and answers with at most one reply each.
namespace sim {

enum class Mode { Application, Loader };

inline constexpr std::uint16_t RecordRegisters = 128;
inline constexpr std::uint16_t RecordCountRegister = 60128;
inline constexpr std::uint16_t MaxRecordCount = 16;

struct RegisterMap {
    std::uint16_t Ident = 65200;               // type, subtype, version
    std::optional<std::uint16_t> VersionAlone; // old generation: the version's own register
    std::uint16_t Loader = 65500;
    std::uint16_t Records = 65300;
    std::uint16_t Command = 6000;
};

RegisterMap MapOf(const DeviceOptions& options);

// One boot loader command as it arrived.
struct LoaderCommand {
    std::uint16_t Code = 0;
    std::uint16_t Address = 0;
    std::uint16_t Words = 0;
    bool operator==(const LoaderCommand&) const = default;
};

struct Counters {
    std::uint64_t Handled = 0;         // frames addressed to the device, either program
    std::uint64_t OtherAddress = 0;    // Modbus frames for another slave
    std::uint64_t Rejected = 0;        // bad checksum or incomplete, dropped without reply
    std::uint64_t WrongSpeedBytes = 0; // bytes sent at a line speed the device is not at
    std::uint64_t ApplicationReplies = 0;
    std::uint64_t LoaderReplies = 0;
    std::uint64_t Exceptions = 0; // Modbus exception responses among the application's replies
    std::uint64_t Activations = 0;
    std::uint64_t Erases = 0;
    std::uint64_t PagesWritten = 0; // write commands
    std::uint64_t WordsWritten = 0;
    std::uint64_t Reads = 0;
    std::uint64_t Starts = 0; // application starts by the boot loader
    std::uint64_t CommandWrites = 0;
    std::uint16_t LastCommand = 0;
    std::uint64_t RecordWrites = 0; // requests that wrote into the record area
    std::uint64_t RecordCountWrites = 0;
    std::uint64_t Collisions = 0; // replies of the device that met another device's on a bus
};

struct Reply {
    std::vector<std::uint8_t> Bytes;
    std::chrono::microseconds Work{0}; // time the device is busy before it can send
};

struct Response {
    std::optional<Reply> Answer;
    bool CloseLine = false; // the line vanishes now; the answer is lost with it
};

class Device {
public:
    explicit Device(const DeviceOptions& options);

    // A frame of the protocol that Listening() names, checksum already checked.
    Response Handle(std::span<const std::uint8_t> frame);

    Mode GetMode() const { return CurrentMode; }
    Protocol Listening() const;
    int Baud() const; // speed of the program now running

    Flash& Memory() { return Rom; }
    const Flash& Memory() const { return Rom; }
    std::array<std::uint16_t, RecordRegisters>& Records() { return RecordArea; }
    std::uint16_t RecordCount() const { return RecordCountValue; }
    Counters& Count() { return Stats; }
    const Counters& Count() const { return Stats; }
    const std::vector<LoaderCommand>& LoaderLog() const { return LoaderHistory; }

    // Receives a line for every event worth a note (program changes, exceptions, faults).
    void SetLog(std::function<void(const std::string&)> log) { Log = std::move(log); }

private:
    Response HandleModbus(std::span<const std::uint8_t> frame);
    Response HandleLoader(std::span<const std::uint8_t> frame);
    std::optional<Reply> ReadHolding(std::span<const std::uint8_t> frame);
    std::optional<Reply> WriteHolding(std::span<const std::uint8_t> frame);
    std::optional<std::uint16_t> ReadRegister(std::uint32_t reg) const;
    std::uint8_t CheckWrite(std::uint32_t start, std::span<const std::uint16_t> values) const;
    void StoreWrite(std::uint32_t start, std::span<const std::uint16_t> values);
    std::optional<Reply> Activate(std::span<const std::uint8_t> frame);
    Reply Exception(std::uint8_t function, std::uint8_t code);
    Reply ModbusReply(std::vector<std::uint8_t> body);
    Reply LoaderReply(std::uint16_t code, std::uint16_t address,
                      std::span<const std::uint16_t> words);
    void Corrupt(Side side, Reply& reply);
    bool FaultIs(FaultKind kind) const { return Settings.Defect.Kind == kind; }
    void Note(const std::string& text) const;

    DeviceOptions Settings;
    RegisterMap Registers;
    Mode CurrentMode = Mode::Application;
    std::uint8_t AppAddress;
    int AppBaud;
    int LoaderBaud;
    bool StartedByLoader = false;
    Flash Rom;
    std::array<std::uint16_t, RecordRegisters> RecordArea{};
    std::uint16_t RecordCountValue = 0;
    std::uint16_t CommandValue = 0;
    Counters Stats;
    std::vector<LoaderCommand> LoaderHistory;
    std::function<void(const std::string&)> Log;
};

// The ten bytes of the activation text "KOVA_BSL" with its zero byte and a zero pad, as five
// registers with byte 2k in the low half of register k.
std::array<std::uint16_t, 5> ActivationRegisters();

std::string Hex(std::span<const std::uint8_t> bytes);

} // namespace sim
