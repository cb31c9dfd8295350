// The serial devices of a Linux system, as sysfs describes them.
#include "cli/Ports.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <grp.h>
#include <string_view>
#include <sys/stat.h>
#include <system_error>
#include <tuple>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// The 8250 driver makes its ttyS names whether or not a UART is behind them; those without
// have the type 0 (unknown).
constexpr std::string_view PlatformSerial = "ttyS";
constexpr const char* NoUart = "0";
constexpr const char* ByIdFolder = "serial/by-id";
constexpr std::size_t GroupBufferSize = 4096;

// The first line of a sysfs attribute, without the line end; empty when there is none.
std::string Attribute(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    line.erase(line.find_last_not_of(" \t\r\n") + 1);
    return line;
}

// ttyS2 before ttyS10: names compare by their letters, then by their number.
bool NameLess(const std::string& a, const std::string& b) {
    const auto key = [](const std::string& name) {
        const std::size_t digits = name.find_last_not_of("0123456789") + 1;
        return std::tuple(name.substr(0, digits), name.size() - digits, name.substr(digits));
    };
    return key(a) < key(b);
}

bool IsBelow(const fs::path& path, const fs::path& root) {
    const auto [end, unused] = std::mismatch(root.begin(), root.end(), path.begin(), path.end());
    return end == root.end() && path != root;
}

// The USB device is the nearest folder above the tty's device that holds the descriptors: the
// interface and the tty hang below it.
void ReadUsbDetails(const fs::path& device, const fs::path& sysfsRoot, TPortInfo& port) {
    std::error_code error;
    const fs::path root = fs::canonical(sysfsRoot, error);
    fs::path folder = error ? fs::path() : fs::canonical(device, error);
    for (; !error && IsBelow(folder, root); folder = folder.parent_path()) {
        if (fs::exists(folder / "idVendor", error)) {
            port.VendorId = Attribute(folder / "idVendor");
            port.ProductId = Attribute(folder / "idProduct");
            port.Manufacturer = Attribute(folder / "manufacturer");
            port.Product = Attribute(folder / "product");
            port.Serial = Attribute(folder / "serial");
            return;
        }
    }
}

// The group whose members may read and write the file; empty when there is none.
std::string GroupOf(const fs::path& file) {
    struct stat status {};
    constexpr mode_t GroupReadWrite = S_IRGRP | S_IWGRP;
    if (stat(file.c_str(), &status) != 0 || (status.st_mode & GroupReadWrite) != GroupReadWrite) {
        return {};
    }
    group entry{};
    group* found = nullptr;
    std::string buffer(GroupBufferSize, '\0');
    if (getgrgid_r(status.st_gid, &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr) {
        return {};
    }
    return found->gr_name;
}

void CheckAccess(const fs::path& file, TPortInfo& port) {
    if (access(file.c_str(), R_OK | W_OK) == 0) {
        port.MayOpen = true;
        return;
    }
    const int error = errno;
    if (error == ENOENT) {
        port.Denied = "no device file";
    } else if (const std::string group = GroupOf(file); error == EACCES && !group.empty()) {
        port.Denied = "group " + group;
    } else {
        port.Denied = std::strerror(error);
    }
}

} // namespace

std::vector<TPortInfo> ListPorts(const TPortsOptions& options) {
    const fs::path ttys = fs::path(options.SysfsRoot) / "class" / "tty";
    std::vector<std::string> names;
    std::error_code error;
    for (fs::directory_iterator entry(ttys, error), end; !error && entry != end;
         entry.increment(error)) {
        const std::string name = entry->path().filename().string();
        std::error_code missing;
        // Virtual consoles and the like have no device behind them.
        if (!fs::exists(entry->path() / "device", missing)) {
            continue;
        }
        if (name.starts_with(PlatformSerial) && Attribute(entry->path() / "type") == NoUart) {
            continue;
        }
        names.push_back(name);
    }
    std::sort(names.begin(), names.end(), NameLess);

    std::vector<fs::path> stableNames;
    const fs::path byId = fs::path(options.DevRoot) / ByIdFolder;
    for (fs::directory_iterator entry(byId, error), end; !error && entry != end;
         entry.increment(error)) {
        stableNames.push_back(entry->path());
    }
    std::sort(stableNames.begin(), stableNames.end());

    std::vector<TPortInfo> ports;
    for (const std::string& name : names) {
        TPortInfo port;
        port.Path = "/dev/" + name;
        const fs::path file = PathOnDisk(port.Path, options);
        for (const fs::path& stable : stableNames) {
            if (SameFile(stable, file)) {
                port.StableName =
                    "/dev/" + std::string(ByIdFolder) + "/" + stable.filename().string();
                break;
            }
        }
        ReadUsbDetails(ttys / name / "device", options.SysfsRoot, port);
        CheckAccess(file, port);
        ports.push_back(std::move(port));
    }
    return ports;
}
