#include "cli/Ports.h"

#include "app/Json.h"
#include "app/Settings.h"
#include "cli/Cli.h"
#include "cli/Console.h"
#include "link/Serialport.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace {

constexpr int LastComNumber = 255;
constexpr std::string_view DevPrefix = "/dev/";
constexpr const char* Unknown = "-";
constexpr const char* ColumnGap = "  ";
constexpr std::array<const char*, 8> Titles{"Device",       "COM",     "Open",   "USB",
                                            "Manufacturer", "Product", "Serial", "Stable name"};

constexpr const char* MapUsage =
    "--map takes COMn=PATH with n from 1 to 255, for example COM3=/dev/ttyUSB0";

constexpr const char* PortsFooter =
    "Each line: the device, the COM name that leads to it (--settings: its section Ports "
    "first, else COMn is /dev/ttyS<n-1>), whether you may open it, and from a USB adapter "
    "vendor:product, manufacturer, product, serial number and its name under "
    "/dev/serial/by-id.\nFWL_SYSFS_ROOT and FWL_DEV_ROOT stand in for /sys and /dev.";

// "COM1" to "COM255" in any case, written "COMn"; empty for anything else.
std::string ComName(const std::string& text) {
    if (text.size() < 4 || (text[0] != 'C' && text[0] != 'c') ||
        (text[1] != 'O' && text[1] != 'o') || (text[2] != 'M' && text[2] != 'm')) {
        return {};
    }
    int number = 0;
    const char* last = text.data() + text.size();
    const auto [end, error] = std::from_chars(text.data() + 3, last, number);
    if (error != std::errc() || end != last || number < 1 || number > LastComNumber ||
        text[3] == '0') {
        return {};
    }
    return "COM" + std::to_string(number);
}

bool SameDevice(const std::string& target, const TPortInfo& port, const TPortsOptions& options) {
    if (target.empty()) {
        return false;
    }
    if (target == port.Path || target == port.StableName) {
        return true;
    }
    return SameFile(PathOnDisk(target, options), PathOnDisk(port.Path, options));
}

// The COM names that lead to the port through the link's map, in number order.
std::vector<std::string> ComNamesOf(const TPortInfo& port, const TPortsOptions& options) {
    std::vector<std::string> names;
    for (int n = 1; n <= LastComNumber; ++n) {
        const std::string name = "COM" + std::to_string(n);
        if (SameDevice(DevicePathOf(name), port, options)) {
            names.push_back(name);
        }
    }
    return names;
}

std::string Joined(const std::vector<std::string>& names, const char* separator) {
    std::string text;
    for (const std::string& name : names) {
        text += (text.empty() ? "" : separator) + name;
    }
    return text;
}

std::string Usb(const TPortInfo& port) {
    return port.VendorId.empty() ? std::string() : port.VendorId + ":" + port.ProductId;
}

// A fact the device does not have is null.
nlohmann::ordered_json ValueOrNull(const std::string& text) {
    return text.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(text);
}

// One object per device, one device per line.
void PrintJson(const std::vector<TPortInfo>& ports, const TPortsOptions& options,
               TConsole& console) {
    std::vector<nlohmann::ordered_json> objects;
    for (const TPortInfo& port : ports) {
        objects.push_back({{"path", ValueOrNull(port.Path)},
                           {"com", ComNamesOf(port, options)},
                           {"mayOpen", port.MayOpen},
                           {"denied", ValueOrNull(port.Denied)},
                           {"byId", ValueOrNull(port.StableName)},
                           {"vendorId", ValueOrNull(port.VendorId)},
                           {"productId", ValueOrNull(port.ProductId)},
                           {"manufacturer", ValueOrNull(port.Manufacturer)},
                           {"product", ValueOrNull(port.Product)},
                           {"serial", ValueOrNull(port.Serial)}});
    }
    PrintJsonList(console, objects);
}

// The titles, then one line per device, columns aligned.
void PrintLines(const std::vector<TPortInfo>& ports, const TPortsOptions& options,
                TConsole& console) {
    if (ports.empty()) {
        console.Line("No serial devices found.");
        return;
    }
    std::vector<std::array<std::string, Titles.size()>> rows;
    rows.push_back({});
    std::copy(Titles.begin(), Titles.end(), rows.back().begin());
    for (const TPortInfo& port : ports) {
        rows.push_back({port.Path, Joined(ComNamesOf(port, options), ","),
                        port.MayOpen ? "yes" : "no (" + port.Denied + ")", Usb(port),
                        port.Manufacturer, port.Product, port.Serial, port.StableName});
        for (std::string& cell : rows.back()) {
            if (cell.empty()) {
                cell = Unknown;
            }
        }
    }
    std::array<std::size_t, Titles.size()> widths{};
    for (const auto& row : rows) {
        for (std::size_t c = 0; c < row.size(); ++c) {
            widths[c] = std::max(widths[c], row[c].size());
        }
    }
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t c = 0; c < row.size(); ++c) {
            line += (c > 0 ? ColumnGap : "") + row[c] + std::string(widths[c] - row[c].size(), ' ');
        }
        line.erase(line.find_last_not_of(' ') + 1);
        console.Line(line);
    }
}

} // namespace

std::filesystem::path PathOnDisk(const std::string& path, const TPortsOptions& options) {
    if (path.starts_with(DevPrefix)) {
        return std::filesystem::path(options.DevRoot) / path.substr(DevPrefix.size());
    }
    return path;
}

bool SameFile(const std::filesystem::path& a, const std::filesystem::path& b) {
    // Not std::filesystem::equivalent: it refuses device files.
    std::error_code error;
    const std::filesystem::path first = std::filesystem::canonical(a, error);
    if (error) {
        return false;
    }
    const std::filesystem::path second = std::filesystem::canonical(b, error);
    return !error && first == second;
}

CLI::App* AddPortsCommand(CLI::App& app, TPortsOptions& options) {
    CLI::App* command = app.add_subcommand(
        "ports", "List the serial devices present; --map gives one a COM name for the window");
    command->add_flag("--json", options.Json, "one JSON object per device, for scripts");
    command
        ->add_option("--settings", options.Settings,
                     "settings file whose section Ports maps COM names to device paths")
        ->option_text("FILE");
    command
        ->add_option("--map", options.Map,
                     "enter COMn=PATH in the section Ports of the --settings file")
        ->option_text("COMn=PATH");
    command->footer(PortsFooter);
    if (const char* root = std::getenv("FWL_SYSFS_ROOT"); root != nullptr && *root != '\0') {
        options.SysfsRoot = root;
    }
    if (const char* root = std::getenv("FWL_DEV_ROOT"); root != nullptr && *root != '\0') {
        options.DevRoot = root;
    }
    return command;
}

int RunPorts(const TPortsOptions& options, TConsole& console) {
    if (!options.Map.empty()) {
        const auto equals = options.Map.find('=');
        const std::string com = ComName(options.Map.substr(0, equals));
        if (equals == std::string::npos || com.empty() || equals + 1 == options.Map.size()) {
            console.Error(MapUsage);
            return ExitUsage;
        }
        if (options.Settings.empty()) {
            console.Error("--map needs --settings FILE, the file the window reads");
            return ExitUsage;
        }
        const std::string device = options.Map.substr(equals + 1);
        SavePortMapping(options.Settings, com, device);
        if (!options.Json) {
            console.Line(com + "=" + device + " is in the section Ports of " + options.Settings);
        }
    }
    if (options.Settings.empty()) {
        ClearPortMap();
    } else {
        std::error_code error;
        if (!std::filesystem::is_regular_file(options.Settings, error)) {
            console.Error("No settings file " + options.Settings);
            return ExitUsage;
        }
        LoadPortMap(options.Settings);
    }
    const std::vector<TPortInfo> ports = ListPorts(options);
    if (options.Json) {
        PrintJson(ports, options, console);
    } else {
        PrintLines(ports, options, console);
    }
    return ExitSuccess;
}
