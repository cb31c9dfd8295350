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

// The settings file of an installed program: firmware-loader.ini in a folder of its own under
// the user's configuration folder; empty where there is none. Its folder is made on first save.
std::string UserSettingsFile();

// Where the window keeps its settings: beside the executable when the program may keep files
// in that folder or a settings file is already there (a program run from a folder of its own, and
// every Windows build); otherwise, as for an installed program, UserSettingsFile().
std::string DefaultSettingsFile(const std::string& executablePath);

// Makes the folder of the user's settings file when path lies in it and it is missing; the
// settings file and the service log beside it both come there first.
void MakeUserSettingsFolder(const std::string& path);

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
