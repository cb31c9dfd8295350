#pragma once

#include <iosfwd>
#include <string>

// Exit codes of fwloader. A failed update ends with the value of its TUpdateResult (11 to 19
// for the failures of the sequence, in their order).
inline constexpr int ExitSuccess = 0;
inline constexpr int ExitFailure = 1;      // image: the carried firmware does not fit
inline constexpr int ExitUsage = 2;        // bad arguments, or entries the window would refuse
inline constexpr int ExitInternal = 3;     // an unexpected fault; its text is on stderr
inline constexpr int ExitNoConverter = 12; // identify, history: as the update's connect failure
inline constexpr int ExitRecords = 20;     // history: the records could not be read
inline constexpr int ExitLoaderWaits = 21; // identify: the boot loader answers, no application
inline constexpr int ExitNotEveryConverter = 22; // update --all: some converter was not updated
inline constexpr int ExitSecondLoader = 23;      // a boot loader already waits: nothing activated

// The serial link reaches ports by "COM" name. A device path given to --port is entered in
// the port map under this name, the last of the window's list, and messages name it.
inline constexpr const char* PathPortName = "COM255";

// The "COM" name to use for what --port gave: "COM1" to "COM255" (any case) as it is, anything
// else a device path, mapped to PathPortName.
std::string PortNameOf(const std::string& given);

// Parses the arguments, runs the chosen command and gives its exit code. On a terminal the
// download draws progress bars; otherwise it prints plain lines.
int RunCommandLine(int argc, const char* const* argv, std::ostream& out, std::ostream& err,
                   bool terminal = false);
