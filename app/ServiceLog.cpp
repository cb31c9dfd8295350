#include "app/ServiceLog.h"

#include "app/Json.h"
#include "app/Platform.h"
#include "app/Settings.h"
#include "link/Serialport.h"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>

namespace {

std::optional<std::uint16_t> VersionOf(const std::string& text) {
    unsigned major = 0;
    unsigned minor = 0;
    unsigned build = 0;
    char end = 0;
    if (std::sscanf(text.c_str(), "%u.%u.%u%c", &major, &minor, &build, &end) != 3 || major > 0xF ||
        minor > 0xF || build > 0xFF) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(major << 12 | minor << 8 | build);
}

template <class T>
std::string NumberOrNull(const std::optional<T>& value) {
    return value ? std::to_string(*value) : "null";
}

// One flat JSON object: keys to their values, strings unquoted, other values as written.
class TFlatObject {
public:
    explicit TFlatObject(const std::string& text) : Text(text) {}

    bool Parse(std::map<std::string, std::string>& values) {
        SkipBlanks();
        if (!Take('{')) {
            return false;
        }
        SkipBlanks();
        if (Take('}')) {
            return AtEnd();
        }
        do {
            SkipBlanks();
            std::string key;
            std::string value;
            if (!String(key)) {
                return false;
            }
            SkipBlanks();
            if (!Take(':')) {
                return false;
            }
            SkipBlanks();
            if (Peek() == '"' ? !String(value) : !Bare(value)) {
                return false;
            }
            values[key] = value;
            SkipBlanks();
        } while (Take(','));
        return Take('}') && AtEnd();
    }

private:
    char Peek() const { return At < Text.size() ? Text[At] : '\0'; }
    bool Take(char c) {
        if (Peek() != c) {
            return false;
        }
        ++At;
        return true;
    }
    void SkipBlanks() {
        while (Peek() == ' ' || Peek() == '\t') {
            ++At;
        }
    }
    bool AtEnd() {
        SkipBlanks();
        return At == Text.size();
    }
    bool String(std::string& out) {
        if (!Take('"')) {
            return false;
        }
        while (At < Text.size() && Text[At] != '"') {
            char c = Text[At++];
            if (c == '\\') {
                if (At >= Text.size()) {
                    return false;
                }
                const char escaped = Text[At++];
                switch (escaped) {
                case 'n':
                    c = '\n';
                    break;
                case 'r':
                    c = '\r';
                    break;
                case 't':
                    c = '\t';
                    break;
                case 'u': {
                    if (At + 4 > Text.size()) {
                        return false;
                    }
                    c = static_cast<char>(std::stoi(Text.substr(At, 4), nullptr, 16));
                    At += 4;
                    break;
                }
                default:
                    c = escaped;
                }
            }
            out += c;
        }
        return Take('"');
    }
    bool Bare(std::string& out) {
        while (At < Text.size() && Text[At] != ',' && Text[At] != '}' && Text[At] != ' ') {
            out += Text[At++];
        }
        return !out.empty();
    }

    const std::string& Text;
    std::size_t At = 0;
};

std::optional<long long> Integer(const std::map<std::string, std::string>& values,
                                 const char* key) {
    const auto found = values.find(key);
    if (found == values.end() || found->second == "null") {
        return std::nullopt;
    }
    try {
        return std::stoll(found->second);
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::string Text(const std::map<std::string, std::string>& values, const char* key) {
    const auto found = values.find(key);
    return found == values.end() ? std::string() : found->second;
}

std::optional<std::uint16_t> Word(const std::map<std::string, std::string>& values,
                                  const char* key) {
    const auto value = Integer(values, key);
    if (!value || *value < 0 || *value > 0xFFFF) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(*value);
}

} // namespace

std::string ServiceLogBeside(const std::string& settingsFile) {
    return (std::filesystem::path(settingsFile).parent_path() / ServiceLogName).string();
}

std::string LocalTimeText(std::time_t when) {
    const std::tm local = LocalTime(when);
    std::tm universal = UniversalTime(when);
    // The universal time read as local time is off by the offset; the summer-time flag of
    // the local reading keeps that true across a change of summer time.
    universal.tm_isdst = local.tm_isdst;
    const auto offset =
        static_cast<long>(std::lround(std::difftime(when, std::mktime(&universal))));
    const long minutes = (offset < 0 ? -offset : offset) / 60;
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d%c%02ld:%02ld",
                  local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                  local.tm_min, local.tm_sec, offset < 0 ? '-' : '+', minutes / 60, minutes % 60);
    return text;
}

std::string ToJsonLine(const TLogEntry& e) {
    const auto version = [](const std::optional<std::uint16_t>& word) {
        return word ? JsonString(FormatVersion(*word)) : std::string("null");
    };
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f", e.Seconds);
    return "{\"time\":" + JsonString(e.Time) + ",\"frontend\":" + JsonString(e.Frontend) +
           ",\"port\":" + JsonString(e.Port) + ",\"device\":" + JsonString(e.Device) +
           ",\"baud\":" + std::to_string(e.Baud) + ",\"address\":" + std::to_string(e.Address) +
           ",\"mode\":" + JsonString(e.Mode) + ",\"type\":" + NumberOrNull(e.Type) +
           ",\"subtype\":" + NumberOrNull(e.SubType) +
           ",\"version_before\":" + version(e.VersionBefore) +
           ",\"version_after\":" + version(e.VersionAfter) +
           ",\"result\":" + std::to_string(e.Result) + ",\"message\":" + JsonString(e.Message) +
           ",\"detail\":" + JsonString(e.Detail) + ",\"seconds\":" + seconds +
           ",\"bytes\":" + std::to_string(e.Bytes) + ",\"user\":" + JsonString(e.User) + "}";
}

bool FromJsonLine(const std::string& line, TLogEntry& e) {
    std::map<std::string, std::string> values;
    if (!TFlatObject(line).Parse(values)) {
        return false;
    }
    e.Time = Text(values, "time");
    e.Frontend = Text(values, "frontend");
    e.Port = Text(values, "port");
    e.Device = Text(values, "device");
    e.Baud = static_cast<std::int32_t>(Integer(values, "baud").value_or(0));
    e.Address = static_cast<std::int32_t>(Integer(values, "address").value_or(0));
    e.Mode = Text(values, "mode");
    e.Type = Word(values, "type");
    e.SubType = Word(values, "subtype");
    e.VersionBefore = VersionOf(Text(values, "version_before"));
    e.VersionAfter = VersionOf(Text(values, "version_after"));
    e.Result = static_cast<int>(Integer(values, "result").value_or(0));
    e.Message = Text(values, "message");
    e.Detail = Text(values, "detail");
    e.Seconds = std::atof(Text(values, "seconds").c_str());
    e.Bytes = Integer(values, "bytes").value_or(0);
    e.User = Text(values, "user");
    return true;
}

bool AppendToServiceLog(const std::string& path, const TLogEntry& entry, std::string& error) {
    MakeUserSettingsFolder(path);
    return AppendDurably(path, ToJsonLine(entry) + "\n", error);
}

std::vector<std::string> ReadServiceLog(const std::string& path) {
    std::error_code missing;
    if (!std::filesystem::exists(path, missing)) {
        return {};
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("Cannot read file \"" + path + "\".");
    }
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (!line.empty()) {
            lines.push_back(line);
        }
    }
    return lines;
}

TLogEntry LogEntryOf(const std::string& frontend, const TUpdateInputs& inputs,
                     const TUpdateOutcome& outcome) {
    TLogEntry entry;
    entry.Time = LocalTimeText(std::time(nullptr));
    entry.Frontend = frontend;
    entry.Port = inputs.PortLabel.empty() ? inputs.PortName : inputs.PortLabel;
    entry.Device = DevicePathOf(inputs.PortName);
    entry.Baud = TUpdate::BaudrateOf(inputs.BaudText);
    entry.Address = inputs.FirstTime ? FirstTimeAddress : inputs.ModbusAddressIndex + 1;
    entry.Mode = inputs.FirstTime ? "first-time" : inputs.Resume ? "resume" : "normal";
    entry.Type = outcome.Type;
    entry.SubType = outcome.SubType;
    entry.VersionBefore = outcome.VersionBefore;
    entry.VersionAfter = outcome.VersionAfter;
    entry.Result = static_cast<int>(outcome.Result);
    entry.Message = outcome.Message;
    entry.Detail = outcome.Detail;
    entry.Seconds = outcome.Seconds;
    entry.Bytes = outcome.Bytes;
    entry.User = inputs.User;
    return entry;
}
