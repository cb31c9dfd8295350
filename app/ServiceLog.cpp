#include "app/ServiceLog.h"

#include "app/Json.h"
#include "app/Platform.h"
#include "app/Settings.h"
#include "link/Serialport.h"

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
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

using TJson = nlohmann::json;

// What the line holds under the key when it is of the kind asked for; otherwise nothing, so
// that an entry another writer made with a key missing or of another kind still reads.
std::string Text(const TJson& object, const char* key) {
    const auto found = object.find(key);
    return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

std::optional<long long> Integer(const TJson& object, const char* key) {
    const auto found = object.find(key);
    if (found == object.end() || !found->is_number_integer()) {
        return std::nullopt;
    }
    return found->get<long long>();
}

std::optional<std::uint16_t> Word(const TJson& object, const char* key) {
    const auto value = Integer(object, key);
    if (!value || *value < 0 || *value > 0xFFFF) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(*value);
}

template <class T>
TJson ValueOrNull(const std::optional<T>& value) {
    return value ? TJson(*value) : TJson(nullptr);
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
        return word ? TJson(FormatVersion(*word)) : TJson(nullptr);
    };
    // The keys in the order people read them; seconds to a tenth.
    const nlohmann::ordered_json line{{"time", e.Time},
                                      {"frontend", e.Frontend},
                                      {"port", e.Port},
                                      {"device", e.Device},
                                      {"baud", e.Baud},
                                      {"address", e.Address},
                                      {"mode", e.Mode},
                                      {"type", ValueOrNull(e.Type)},
                                      {"subtype", ValueOrNull(e.SubType)},
                                      {"version_before", version(e.VersionBefore)},
                                      {"version_after", version(e.VersionAfter)},
                                      {"result", e.Result},
                                      {"message", e.Message},
                                      {"detail", e.Detail},
                                      {"seconds", std::round(e.Seconds * 10) / 10},
                                      {"bytes", e.Bytes},
                                      {"user", e.User}};
    return JsonText(line);
}

bool FromJsonLine(const std::string& line, TLogEntry& e) {
    const TJson object = TJson::parse(line, nullptr, false);
    if (!object.is_object()) {
        return false;
    }
    e.Time = Text(object, "time");
    e.Frontend = Text(object, "frontend");
    e.Port = Text(object, "port");
    e.Device = Text(object, "device");
    e.Baud = static_cast<std::int32_t>(Integer(object, "baud").value_or(0));
    e.Address = static_cast<std::int32_t>(Integer(object, "address").value_or(0));
    e.Mode = Text(object, "mode");
    e.Type = Word(object, "type");
    e.SubType = Word(object, "subtype");
    e.VersionBefore = VersionOf(Text(object, "version_before"));
    e.VersionAfter = VersionOf(Text(object, "version_after"));
    e.Result = static_cast<int>(Integer(object, "result").value_or(0));
    e.Message = Text(object, "message");
    e.Detail = Text(object, "detail");
    const auto seconds = object.find("seconds");
    e.Seconds = seconds != object.end() && seconds->is_number() ? seconds->get<double>() : 0.0;
    e.Bytes = Integer(object, "bytes").value_or(0);
    e.User = Text(object, "user");
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
        lines.push_back(line);
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
