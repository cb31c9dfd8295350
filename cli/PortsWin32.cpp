// The COM ports of a Windows system, as the registry lists them.
#include "cli/Ports.h"

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <type_traits>
#include <windows.h>

namespace {

constexpr const char* SerialCommKey = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
// Value names are kernel device names (\Device\Serial0), their data the COM names.
constexpr DWORD NameChars = 256;
constexpr DWORD DataBytes = 256;
constexpr const char* DevicePrefix = "\\\\.\\";

struct TKeyCloser {
    void operator()(HKEY key) const { RegCloseKey(key); }
};
using TKey = std::unique_ptr<std::remove_pointer_t<HKEY>, TKeyCloser>;

struct THandleCloser {
    void operator()(HANDLE handle) const { CloseHandle(handle); }
};
using THandle = std::unique_ptr<std::remove_pointer_t<HANDLE>, THandleCloser>;

unsigned long ComNumber(const TPortInfo& port) {
    const std::string name = port.Path.substr(std::char_traits<char>::length(DevicePrefix));
    return std::strtoul(name.c_str() + std::min<std::size_t>(3, name.size()), nullptr, 10);
}

// A port that another program holds cannot be opened: tried, and closed again at once.
void CheckAccess(TPortInfo& port) {
    const HANDLE handle = CreateFileA(port.Path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        port.Denied = error == ERROR_ACCESS_DENIED ? "in use" : "error " + std::to_string(error);
        return;
    }
    const THandle opened(handle);
    port.MayOpen = true;
}

} // namespace

std::vector<TPortInfo> ListPorts(const TPortsOptions& /*options*/) {
    std::vector<TPortInfo> ports;
    HKEY opened = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, SerialCommKey, 0, KEY_READ, &opened) != ERROR_SUCCESS) {
        return ports; // no serial port at all
    }
    const TKey key(opened);
    for (DWORD index = 0;; ++index) {
        char name[NameChars];
        DWORD nameLength = NameChars;
        BYTE data[DataBytes];
        DWORD dataLength = DataBytes - 1;
        DWORD type = 0;
        const LONG result =
            RegEnumValueA(key.get(), index, name, &nameLength, nullptr, &type, data, &dataLength);
        if (result == ERROR_NO_MORE_ITEMS) {
            break;
        }
        if (result != ERROR_SUCCESS || type != REG_SZ) {
            continue;
        }
        data[dataLength] = 0;
        TPortInfo port;
        port.Path = DevicePrefix + std::string(reinterpret_cast<const char*>(data));
        CheckAccess(port);
        ports.push_back(std::move(port));
    }
    std::sort(ports.begin(), ports.end(),
              [](const TPortInfo& a, const TPortInfo& b) { return ComNumber(a) < ComNumber(b); });
    return ports;
}
