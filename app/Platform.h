#pragma once

#include <ctime>
#include <string>

// The few services of the operating system that the application needs beyond the serial line
// (PlatformPosix.cpp, PlatformWin32.cpp).

// The running program's own file, as a full path.
std::string ExecutablePath();

// Appends the text and flushes it to the disk before returning; false with the reason when
// the file cannot be written.
bool AppendDurably(const std::string& path, const std::string& text, std::string& error);

std::tm LocalTime(std::time_t when);
std::tm UniversalTime(std::time_t when);
