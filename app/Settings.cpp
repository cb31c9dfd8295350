#include "app/Settings.h"

#include "app/Platform.h"
#include "link/Serialport.h"

#define SI_NO_CONVERSION // values are bytes in the system's code page; nothing to convert
#include <SimpleIni.h>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <stdexcept>
#include <system_error>

namespace {

constexpr const char* SettingsSection = "Settings";
constexpr const char* UserSettingsFolderName = "firmware-loader";
constexpr const char* UserSettingsFileName = "firmware-loader.ini";
constexpr const char* PortsSection = "Ports";

constexpr const char* KeyProcessor = "Processor";
constexpr const char* KeyUser = "User";
constexpr const char* KeyInitial = "Initial";
constexpr const char* KeyComPort = "Com-Port";
constexpr const char* KeyBaudrate = "Baudrate";

// Section and key names compare without regard to case; the file's own spelling and order
// of everything survive a write.
class TIniDocument {
public:
    TIniDocument() : Ini(false, false, false) { Ini.SetSpaces(false); }

    // False when the file is missing or cannot be read.
    bool Load(const std::string& path) { return Ini.LoadFile(path.c_str()) == SI_OK; }

    std::optional<std::string> Value(const char* section, const char* key) const {
        const char* value = Ini.GetValue(section, key, nullptr);
        if (value == nullptr) {
            return std::nullopt;
        }
        return std::string(value);
    }

    void Set(const char* section, const char* key, const std::string& value) {
        Ini.SetValue(section, key, value.c_str());
    }

    CSimpleIniA& Raw() { return Ini; }

    std::string Text() const {
        std::string text;
        if (Ini.Save(text) != SI_OK) {
            throw std::runtime_error("Settings could not be formatted");
        }
        return text;
    }

private:
    CSimpleIniA Ini;
};

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    const char lower = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower >= 'a' && lower <= 'f') {
        return lower - 'a' + 10;
    }
    return -1;
}

// Leading blanks, an optional sign, then decimal digits or hexadecimal digits after "$", "x",
// "X", "0x" or "0X". Anything else, or a number outside 32 bits, is no number. A hexadecimal
// value may use all 32 bits (as "$FFFFFFFF" for -1).
std::optional<std::int32_t> ParseInteger(const std::string& text) {
    std::size_t i = 0;
    while (i < text.size() && text[i] == ' ') {
        ++i;
    }
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    int base = 10;
    if (i < text.size() && (text[i] == '$' || text[i] == 'x' || text[i] == 'X')) {
        base = 16;
        ++i;
    } else if (i + 1 < text.size() && text[i] == '0' &&
               (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i == text.size()) {
        return std::nullopt;
    }
    const std::uint64_t limit =
        base == 16 ? std::numeric_limits<std::uint32_t>::max() : std::uint64_t{1} << 31;
    std::uint64_t value = 0;
    for (; i < text.size(); ++i) {
        const int digit =
            base == 16 ? HexDigit(text[i])
                       : (std::isdigit(static_cast<unsigned char>(text[i])) ? text[i] - '0' : -1);
        if (digit < 0) {
            return std::nullopt;
        }
        value = value * base + static_cast<std::uint64_t>(digit);
        if (value > limit) {
            return std::nullopt;
        }
    }
    if (base == 10 && value == limit && !negative) {
        return std::nullopt; // 2147483648 only fits as a negative number
    }
    const auto bits = static_cast<std::uint32_t>(negative ? 0 - value : value);
    return static_cast<std::int32_t>(bits);
}

int ReadInteger(const TIniDocument& ini, const char* key, int fallback) {
    const auto text = ini.Value(SettingsSection, key);
    if (!text) {
        return fallback;
    }
    return ParseInteger(*text).value_or(fallback);
}

// Writes the whole text beside the target first, so that a failure at any point leaves the
// old file as it was.
void ReplaceFile(const std::string& path, const std::string& text) {
    const std::filesystem::path target(path);
    std::filesystem::path temporary = target;
    temporary += ".new";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out) {
            throw std::runtime_error("Cannot create file \"" + path + "\". " +
                                     std::strerror(errno));
        }
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
        out.flush();
        if (!out) {
            out.close();
            std::error_code ignored;
            std::filesystem::remove(temporary, ignored);
            throw std::runtime_error("Cannot write file \"" + path + "\". " + std::strerror(errno));
        }
    }
    std::error_code error;
    std::filesystem::rename(temporary, target, error);
    if (error) {
        std::error_code ignored;
        std::filesystem::remove(temporary, ignored);
        throw std::runtime_error("Cannot create file \"" + path + "\". " + error.message());
    }
}

bool FileExists(const std::string& path) {
    std::error_code error;
    return std::filesystem::exists(path, error);
}

} // namespace

std::string SettingsPath(const std::string& executablePath) {
    std::filesystem::path path(executablePath);
    path.replace_extension(".ini");
    return path.string();
}

std::string UserSettingsFile() {
    const std::string config = UserConfigFolder();
    if (config.empty()) {
        return {};
    }
    return (std::filesystem::path(config) / UserSettingsFolderName / UserSettingsFileName).string();
}

std::string DefaultSettingsFile(const std::string& executablePath) {
    const std::string beside = SettingsPath(executablePath);
    const std::string folder = std::filesystem::path(beside).parent_path().string();
    const std::string user = UserSettingsFile();
    if (user.empty() || FileExists(beside) || MayKeepFilesIn(folder.empty() ? "." : folder)) {
        return beside;
    }
    return user;
}

void MakeUserSettingsFolder(const std::string& path) {
    const std::string user = UserSettingsFile();
    if (user.empty()) {
        return;
    }
    const std::filesystem::path folder = std::filesystem::path(user).parent_path();
    if (std::filesystem::path(path).parent_path() == folder) {
        std::error_code ignored; // a failure shows when the file is written
        std::filesystem::create_directories(folder, ignored);
    }
}

bool LoadSettingsFile(const std::string& path, TSettings& settings) {
    TIniDocument ini;
    if (!FileExists(path) || !ini.Load(path)) {
        return false;
    }
    settings.Processor = ReadInteger(ini, KeyProcessor, -1);
    settings.User = ini.Value(SettingsSection, KeyUser).value_or("");
    settings.Initial = ReadInteger(ini, KeyInitial, 0) != 0;
    settings.ComPort = ReadInteger(ini, KeyComPort, -1);
    settings.Baudrate = ReadInteger(ini, KeyBaudrate, -1);
    return true;
}

void SaveSettingsFile(const std::string& path, const TSettings& settings) {
    MakeUserSettingsFolder(path);
    TIniDocument ini;
    // A file that is there but cannot be read is not replaced: its other sections would be lost.
    if (FileExists(path) && !ini.Load(path)) {
        throw std::runtime_error("Cannot read file \"" + path + "\".");
    }
    ini.Set(SettingsSection, KeyProcessor, std::to_string(settings.Processor));
    ini.Set(SettingsSection, KeyUser, settings.User);
    ini.Set(SettingsSection, KeyInitial, settings.Initial ? "1" : "0");
    ini.Set(SettingsSection, KeyComPort, std::to_string(settings.ComPort));
    ini.Set(SettingsSection, KeyBaudrate, std::to_string(settings.Baudrate));
    ReplaceFile(path, ini.Text());
}

void LoadPortMap(const std::string& path) {
    ClearPortMap();
    TIniDocument ini;
    if (!FileExists(path) || !ini.Load(path)) {
        return;
    }
    CSimpleIniA::TNamesDepend keys;
    ini.Raw().GetAllKeys(PortsSection, keys);
    for (const auto& key : keys) {
        std::string name = key.pItem;
        for (char& c : name) {
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        const char* device = ini.Raw().GetValue(PortsSection, key.pItem, "");
        if (*device != '\0') {
            MapPort(name, device);
        }
    }
}

void SavePortMapping(const std::string& path, const std::string& comName,
                     const std::string& devicePath) {
    TIniDocument ini;
    if (FileExists(path) && !ini.Load(path)) {
        throw std::runtime_error("Cannot read file \"" + path + "\".");
    }
    ini.Set(PortsSection, comName.c_str(), devicePath);
    ReplaceFile(path, ini.Text());
}
