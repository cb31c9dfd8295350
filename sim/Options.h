#pragma once

#include <chrono>
#include <cstdint>
#include <string>

// What the simulated converter is: its generation and identification, where and how fast it
// listens, what its flash holds at the start, how long its flash takes, and the one fault it has.
namespace sim {

enum class Generation {
    Current, // identification words at 65200, records at 65300, boot loader register 65500
    Old      // 0, 0, 0 at 65200; version at 300, records at 60000, boot loader register 65000
};

enum class FaultKind {
    None,
    SilentLoader,      // the boot loader never answers
    SilentApplication, // the application that the boot loader starts never answers
    ConfirmActivation, // the application answers the activation write and stays running
    BadCrc,            // replies Nth.. carry a wrong checksum
    BadEcho,           // replies Nth.. echo a wrong address (loader) or slave/register (Modbus)
    DropBytes,         // replies Nth.. lose one byte in the middle
    NotBlank,          // the word at Address is stuck at 0x0000: its page never reads blank
    StuckWord,         // the word at Address ignores programming
    LineVanishes       // the line closes when the Nth frame for the device arrives
};

enum class Side { Any, Application, Loader };

struct Fault {
    FaultKind Kind = FaultKind::None;
    std::uint32_t Nth = 1;   // first reply (or frame) affected, counted from 1
    std::uint32_t Times = 1; // replies affected from Nth on; 0 means every one
    Side Where = Side::Any;  // whose replies are counted
    std::uint16_t Address = 0;
    bool operator==(const Fault&) const = default;
};

struct DeviceOptions {
    Generation Gen = Generation::Current;
    std::uint16_t Type = 0;
    std::uint16_t SubType = 0;
    std::uint16_t Version = 0x2105;
    std::uint8_t Address = 1; // Modbus slave address of the application
    int Baud = 19200;
    // A device fresh from production: blank flash, boot loader running; the application it
    // starts later has the factory settings, address 255 at 19200 baud.
    bool NewDevice = false;
    // A device left by a broken-off download: its boot loader waits, and the application it
    // starts later keeps the device's own address and baud rate.
    bool InLoader = false;
    bool BlankFlash = false; // otherwise main flash holds an old firmware
    // A Modbus device of another kind at the address: every request gets exception 2.
    bool Foreign = false;
    int PresetRecords = 0;                  // valid download records present at the start (0..16)
    std::chrono::microseconds EraseTime{0}; // per segment
    std::chrono::microseconds WordWriteTime{0}; // per word
    Fault Defect{};
    bool operator==(const DeviceOptions&) const = default;
};

// The settings a new device's application starts with.
inline constexpr std::uint8_t FactoryAddress = 255;
inline constexpr int FactoryBaud = 19200;

} // namespace sim
