#pragma once

#include "sim/Flash.h"
#include "sim/Options.h"
#include "sim/PtyServer.h"

#include <optional>
#include <string>
#include <vector>

// The command line of converter-sim, both ways: parsed into options, and options turned back
// into arguments (a test that starts the program as a child describes it like an in-process
// simulator).
namespace sim {

struct ProgramOptions {
    DeviceOptions Device{};
    LineOptions Line{};
    bool Verbose = false;
    std::string FlashOut{};                  // flash written here on exit, when given
    std::optional<FileFormat> FlashFormat;   // else by extension: ".hex" Intel HEX, else binary
    ByteOrder FlashOrder = ByteOrder::Image; // comparable with the firmware's HEX text
    std::string Link{}; // a symbolic link to the slave path, made at start, removed at exit
    // --bus: these devices share the line instead of Device (which then stays at its
    // defaults), all at the line's one speed, the first one's Baud.
    std::vector<DeviceOptions> Bus{};
    std::vector<std::string> BusFlashOut{}; // by index into Bus: its flash file, empty for none
    bool operator==(const ProgramOptions&) const = default;
};

// Fills options from the arguments (argv[0] is the program). Returns the exit status when the
// program should end at once (--help, a bad argument) with the text to print in `text` and
// whether it belongs on stderr in `isError`.
std::optional<int> ParseCommandLine(int argc, const char* const* argv, ProgramOptions& options,
                                    std::string& text, bool& isError);

// Arguments (without the program name) that ParseCommandLine reads back into these options.
std::vector<std::string> ToArguments(const ProgramOptions& options);

FileFormat FormatFor(const ProgramOptions& options);
FileFormat FormatFor(const ProgramOptions& options, const std::string& path);

// Writes the device's flash (each bus device's) where and as the options ask; true when all
// that was asked is written, or nothing was asked.
bool SaveFlash(PtyServer& server, const ProgramOptions& options, std::string& error);

} // namespace sim
