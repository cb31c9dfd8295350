#pragma once

#include "app/Update.h"

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

// The service log: one JSON line per update attempt, success or failure, appended to a file
// that outlives the converter's own 16 records.
inline constexpr const char* ServiceLogName = "firmware-loader-log.jsonl";

struct TLogEntry {
    std::string Time;     // local, ISO 8601 with the offset: 2026-12-09T14:03:59+01:00
    std::string Frontend; // "window" or "cli"
    std::string Port;     // as the user chose it: COM3, or a device path
    std::string Device;   // the device the port led to
    std::int32_t Baud = 0;
    std::int32_t Address = 0;
    std::string Mode; // "normal", "first-time" or "resume"
    std::optional<std::uint16_t> Type;
    std::optional<std::uint16_t> SubType;
    std::optional<std::uint16_t> VersionBefore;
    std::optional<std::uint16_t> VersionAfter;
    int Result = 0;      // the command line's exit code; 0 for success
    std::string Message; // the failure text; empty on success
    std::string Detail;  // the loader's last message after a failed download
    double Seconds = 0;
    std::int64_t Bytes = 0; // firmware bytes written
    std::string User;
};

// The log's place beside a settings file.
std::string ServiceLogBeside(const std::string& settingsFile);

// Now, on the local clock, as TLogEntry::Time writes it.
std::string LocalTimeText(std::time_t when);

std::string ToJsonLine(const TLogEntry& entry); // without the line end
// Any JSON object, whatever wrote it (key order, blanks, escapes); keys it lacks, or holds as
// another kind of value, keep their defaults. False when the line is no JSON object.
bool FromJsonLine(const std::string& line, TLogEntry& entry);

// Appends the entry as one line and flushes it to the disk before returning; false with the
// reason when the file cannot be written. The log never decides an update's result.
bool AppendToServiceLog(const std::string& path, const TLogEntry& entry, std::string& error);

// The log's lines, oldest first, blank ones too (line n is element n - 1); empty when there is
// no log. Throws std::runtime_error naming the file when it is there but cannot be read.
std::vector<std::string> ReadServiceLog(const std::string& path);

// The entry for one update: what the front end asked of it and what it did.
TLogEntry LogEntryOf(const std::string& frontend, const TUpdateInputs& inputs,
                     const TUpdateOutcome& outcome);
