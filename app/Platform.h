#pragma once

#include <ctime>
#include <string>

// The few services of the operating system that the application needs beyond the serial line
// (PlatformPosix.cpp, PlatformWin32.cpp).

// The running program's own file, as a full path.
std::string ExecutablePath();

// Where this user's programs keep their settings ($XDG_CONFIG_HOME, else ~/.config); empty
// where programs keep them beside themselves (Windows).
std::string UserConfigFolder();

// True when this program may keep its files in the folder: this user may write there, and it
// is none of the system's program folders, which belong to the package manager even where
// root could write them.
bool MayKeepFilesIn(const std::string& folder);

// Appends the text and flushes it to the disk before returning; false with the reason when
// the file cannot be written.
bool AppendDurably(const std::string& path, const std::string& text, std::string& error);

std::tm LocalTime(std::time_t when);
std::tm UniversalTime(std::time_t when);
