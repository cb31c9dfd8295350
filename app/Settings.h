#pragma once

#include <string>

// The choices the window keeps from run to run, as list positions (-1: nothing selected).
struct TSettings {
    int Processor = -1;
    std::string User;
    bool Initial = false;
    int ComPort = -1;
    int Baudrate = -1;
};

// The settings file beside the executable: its path with the extension replaced by ".ini".
std::string SettingsPath(const std::string& executablePath);

// False when there is no file; the values then keep their defaults.
bool LoadSettingsFile(const std::string& path, TSettings& settings);
// Writes the keys in their order, keeping other sections and keys; throws std::runtime_error
// naming the file when it cannot be written.
void SaveSettingsFile(const std::string& path, const TSettings& settings);

// Fills the COM-name to device-path map of the serial link from the section "Ports".
void LoadPortMap(const std::string& path);

// Enters comName=devicePath in the section "Ports", keeping everything else in the file (or
// making a new one); written as SaveSettingsFile writes. Throws std::runtime_error naming the
// file when it cannot be read or written.
void SavePortMapping(const std::string& path, const std::string& comName,
                     const std::string& devicePath);
