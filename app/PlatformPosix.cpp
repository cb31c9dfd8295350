// Operating-system services on POSIX systems.

#include "app/Platform.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <iterator>
#include <unistd.h>

std::string ExecutablePath() {
    std::error_code error;
    return std::filesystem::read_symlink("/proc/self/exe", error).string();
}

std::string UserConfigFolder() {
    // The XDG base directory rule: a relative value is to be ignored.
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config != nullptr && config[0] == '/') {
        return config;
    }
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] == '\0') {
        return {};
    }
    return (std::filesystem::path(home) / ".config").string();
}

bool MayKeepFilesIn(const std::string& folder) {
    const std::filesystem::path path = std::filesystem::absolute(folder).lexically_normal();
    const auto top = path.begin() == path.end() ? path.end() : std::next(path.begin());
    if (top != path.end() && *top == "usr") {
        return false;
    }
    return ::access(folder.c_str(), W_OK) == 0;
}

bool AppendDurably(const std::string& path, const std::string& text, std::string& error) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    // One write of the whole line: appends of other programs cannot land inside it.
    const ssize_t written = ::write(fd, text.data(), text.size());
    const bool whole = written == static_cast<ssize_t>(text.size());
    if (!whole) {
        error = written < 0 ? std::strerror(errno) : "the disk took only part of the line";
    }
    const bool synced = ::fsync(fd) == 0;
    if (whole && !synced) {
        error = std::strerror(errno);
    }
    ::close(fd);
    return whole && synced;
}

std::tm LocalTime(std::time_t when) {
    std::tm result{};
    localtime_r(&when, &result);
    return result;
}

std::tm UniversalTime(std::time_t when) {
    std::tm result{};
    gmtime_r(&when, &result);
    return result;
}
