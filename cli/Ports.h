#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace CLI {
class App;
}
class TConsole;

struct TPortsOptions {
    bool Json = false;
    std::string Settings{}; // its section Ports maps COM names first
    std::string Map{};      // "COMn=PATH", entered in the section Ports of Settings
    // Where sysfs and the device files are; tests build a fake tree (FWL_SYSFS_ROOT,
    // FWL_DEV_ROOT). Paths are shown as under /dev all the same.
    std::string SysfsRoot = "/sys";
    std::string DevRoot = "/dev";
};

// One serial device present. Fields the system does not know stay empty.
struct TPortInfo {
    std::string Path;       // what a port opens: /dev/ttyUSB0, \\.\COM3
    std::string StableName; // /dev/serial/by-id/..., the same whichever USB socket
    std::string VendorId;   // USB, four hex digits
    std::string ProductId;
    std::string Manufacturer;
    std::string Product;
    std::string Serial;
    bool MayOpen = false;
    std::string Denied; // why not: "no device file", "group dialout", "in use", ...
};

// The serial devices present, in name order: PortsPosix.cpp reads sysfs, PortsWin32.cpp the
// COM ports that the registry lists.
std::vector<TPortInfo> ListPorts(const TPortsOptions& options);

// A path under /dev as it lies under options.DevRoot; any other path as it is.
std::filesystem::path PathOnDisk(const std::string& path, const TPortsOptions& options);
// True when both lead to one file once links are followed (by-id names, links of one's own).
bool SameFile(const std::filesystem::path& a, const std::filesystem::path& b);

// The subcommand "ports" on app, its options landing in options (the roots from the
// environment).
CLI::App* AddPortsCommand(CLI::App& app, TPortsOptions& options);

// Lists the serial devices (lines or JSON), after entering --map in the settings file. Gives
// ExitSuccess, or ExitUsage with its text on the console; throws std::runtime_error when the
// settings file cannot be written.
int RunPorts(const TPortsOptions& options, TConsole& console);
