// Operating-system services on Windows.

#include "app/Platform.h"

#include <memory>
#include <windows.h>

namespace {

struct THandleCloser {
    void operator()(HANDLE handle) const { ::CloseHandle(handle); }
};

std::string SystemText(DWORD code) {
    return "system error " + std::to_string(code);
}

} // namespace

std::string ExecutablePath() {
    std::string path(MAX_PATH, '\0');
    for (;;) {
        const DWORD length =
            ::GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(2 * path.size());
    }
}

std::string UserConfigFolder() {
    return {}; // a Windows program keeps its settings file beside itself
}

bool MayKeepFilesIn(const std::string& /*folder*/) {
    return true;
}

bool AppendDurably(const std::string& path, const std::string& text, std::string& error) {
    // Append access only: every write lands at the end, whoever else appends.
    HANDLE raw = ::CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (raw == INVALID_HANDLE_VALUE) {
        error = SystemText(::GetLastError());
        return false;
    }
    const std::unique_ptr<void, THandleCloser> file(raw);
    DWORD written = 0;
    if (!::WriteFile(raw, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
        written != text.size()) {
        error = SystemText(::GetLastError());
        return false;
    }
    if (!::FlushFileBuffers(raw)) {
        error = SystemText(::GetLastError());
        return false;
    }
    return true;
}

std::tm LocalTime(std::time_t when) {
    std::tm result{};
    localtime_s(&result, &when); // the Windows C library's form, arguments swapped
    return result;
}

std::tm UniversalTime(std::time_t when) {
    std::tm result{};
    gmtime_s(&result, &when);
    return result;
}
