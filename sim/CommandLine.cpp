#include "sim/CommandLine.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <utility>

namespace sim {

namespace {

const std::map<std::string, FaultKind> FaultNames{
    {"none", FaultKind::None},
    {"silent-loader", FaultKind::SilentLoader},
    {"silent-app", FaultKind::SilentApplication},
    {"confirm-activation", FaultKind::ConfirmActivation},
    {"bad-crc", FaultKind::BadCrc},
    {"bad-echo", FaultKind::BadEcho},
    {"drop-byte", FaultKind::DropBytes},
    {"not-blank", FaultKind::NotBlank},
    {"stuck-word", FaultKind::StuckWord},
    {"line-vanishes", FaultKind::LineVanishes}};

const std::map<std::string, Side> SideNames{
    {"any", Side::Any}, {"app", Side::Application}, {"loader", Side::Loader}};

const std::map<std::string, FileFormat> FormatNames{{"hex", FileFormat::IntelHex},
                                                    {"bin", FileFormat::Binary}};

const std::map<std::string, ByteOrder> OrderNames{{"memory", ByteOrder::Memory},
                                                  {"image", ByteOrder::Image}};

template <class T>
std::string NameOf(const std::map<std::string, T>& names, T value) {
    for (const auto& [name, v] : names) {
        if (v == value) {
            return name;
        }
    }
    return {};
}

std::string HexWord(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", value);
    return text;
}

// A --device item with a number: its range and where it goes.
struct NumberItem {
    const char* Key;
    unsigned long long Low;
    unsigned long long High;
    void (*Set)(DeviceOptions&, unsigned long long);
};

const std::array<NumberItem, 10> NumberItems{{
    {"address", 1, 255,
     [](DeviceOptions& d, unsigned long long v) { d.Address = static_cast<std::uint8_t>(v); }},
    {"type", 0, 0xFFFF,
     [](DeviceOptions& d, unsigned long long v) { d.Type = static_cast<std::uint16_t>(v); }},
    {"subtype", 0, 0xFFFF,
     [](DeviceOptions& d, unsigned long long v) { d.SubType = static_cast<std::uint16_t>(v); }},
    {"fw-version", 0, 0xFFFF,
     [](DeviceOptions& d, unsigned long long v) { d.Version = static_cast<std::uint16_t>(v); }},
    {"records", 0, MaxRecordCount,
     [](DeviceOptions& d, unsigned long long v) { d.PresetRecords = static_cast<int>(v); }},
    {"erase-us", 0, 10000000,
     [](DeviceOptions& d, unsigned long long v) {
         d.EraseTime = std::chrono::microseconds(static_cast<long long>(v));
     }},
    {"word-write-us", 0, 1000000,
     [](DeviceOptions& d, unsigned long long v) {
         d.WordWriteTime = std::chrono::microseconds(static_cast<long long>(v));
     }},
    {"nth", 1, 1000000000,
     [](DeviceOptions& d, unsigned long long v) { d.Defect.Nth = static_cast<std::uint32_t>(v); }},
    {"times", 0, 0xFFFFFFFF,
     [](DeviceOptions& d, unsigned long long v) {
         d.Defect.Times = static_cast<std::uint32_t>(v);
     }},
    {"at", 0, 0xFFFF,
     [](DeviceOptions& d, unsigned long long v) {
         d.Defect.Address = static_cast<std::uint16_t>(v);
     }},
}};

// Decimal, or hexadecimal after 0x.
std::optional<unsigned long long> NumberOf(const std::string& text) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char* first = text.data() + (hex ? 2 : 0);
    const char* last = text.data() + text.size();
    unsigned long long value = 0;
    const auto [end, error] = std::from_chars(first, last, value, hex ? 16 : 10);
    if (first == last || error != std::errc{} || end != last) {
        return std::nullopt;
    }
    return value;
}

template <class T>
std::optional<T> NamedValue(const std::map<std::string, T>& names, std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    const auto found = names.find(text);
    return found == names.end() ? std::nullopt : std::optional<T>(found->second);
}

template <class T>
std::string NameList(const std::map<std::string, T>& names) {
    std::string list;
    for (const auto& entry : names) {
        list += (list.empty() ? "" : "|") + entry.first;
    }
    return list;
}

// One item of a --device list; the text of what is wrong with it, or nothing.
std::string ApplyItem(const std::string& key, const std::optional<std::string>& value,
                      DeviceOptions& device, std::string& flashOut) {
    bool* flag = key == "in-loader"     ? &device.InLoader
                 : key == "new-device"  ? &device.NewDevice
                 : key == "blank-flash" ? &device.BlankFlash
                 : key == "foreign"     ? &device.Foreign
                                        : nullptr;
    if (flag != nullptr || key == "old") {
        if (value) {
            return "takes no value";
        }
        if (flag != nullptr) {
            *flag = true;
        } else {
            device.Gen = Generation::Old;
        }
        return {};
    }
    const auto number = std::find_if(NumberItems.begin(), NumberItems.end(),
                                     [&](const NumberItem& item) { return key == item.Key; });
    const bool known =
        number != NumberItems.end() || key == "fault" || key == "side" || key == "flash-out";
    if (!known) {
        return "is unknown";
    }
    if (!value || value->empty()) {
        return "needs a value";
    }
    if (number != NumberItems.end()) {
        const auto n = NumberOf(*value);
        if (!n || *n < number->Low || *n > number->High) {
            return "expects a number from " + std::to_string(number->Low) + " to " +
                   std::to_string(number->High);
        }
        number->Set(device, *n);
    } else if (key == "fault") {
        const auto kind = NamedValue(FaultNames, *value);
        if (!kind) {
            return "expects one of " + NameList(FaultNames);
        }
        device.Defect.Kind = *kind;
    } else if (key == "side") {
        const auto side = NamedValue(SideNames, *value);
        if (!side) {
            return "expects one of " + NameList(SideNames);
        }
        device.Defect.Where = *side;
    } else {
        flashOut = *value;
    }
    return {};
}

// A --device list, "address=7,in-loader,fault=bad-crc,nth=2", over a device at the defaults.
std::string ReadDeviceItems(const std::string& list, DeviceOptions& device, std::string& flashOut) {
    std::set<std::string> seen;
    for (std::size_t from = 0; from <= list.size();) {
        const std::size_t comma = std::min(list.find(',', from), list.size());
        const std::string item = list.substr(from, comma - from);
        from = comma + 1;
        const std::size_t equals = item.find('=');
        const std::string key = item.substr(0, equals);
        const std::optional<std::string> value =
            equals == std::string::npos ? std::nullopt
                                        : std::optional<std::string>(item.substr(equals + 1));
        if (!seen.insert(key).second) {
            return "item '" + key + "' is given twice";
        }
        if (const std::string wrong = ApplyItem(key, value, device, flashOut); !wrong.empty()) {
            return "item '" + item + "' " + wrong;
        }
    }
    if (seen.count("address") == 0) {
        return "address=N is missing";
    }
    const bool needsAddress =
        device.Defect.Kind == FaultKind::NotBlank || device.Defect.Kind == FaultKind::StuckWord;
    if (needsAddress && seen.count("at") == 0) {
        return "the fault needs the address of its word (at=N)";
    }
    return {};
}

// A device's settings as both command lines name them (an option "--name", an item "name");
// a flag has no value.
std::vector<std::pair<std::string, std::optional<std::string>>>
DeviceFields(const DeviceOptions& d) {
    std::vector<std::pair<std::string, std::optional<std::string>>> fields{
        {"address", std::to_string(d.Address)},
        {"type", std::to_string(d.Type)},
        {"subtype", std::to_string(d.SubType)},
        {"fw-version", std::to_string(d.Version)},
        {"records", std::to_string(d.PresetRecords)},
        {"erase-us", std::to_string(d.EraseTime.count())},
        {"word-write-us", std::to_string(d.WordWriteTime.count())}};
    for (const auto& [on, name] : {std::pair{d.Gen == Generation::Old, "old"},
                                   {d.NewDevice, "new-device"},
                                   {d.InLoader, "in-loader"},
                                   {d.BlankFlash, "blank-flash"},
                                   {d.Foreign, "foreign"}}) {
        if (on) {
            fields.emplace_back(name, std::nullopt);
        }
    }
    if (d.Defect.Kind != FaultKind::None) {
        fields.insert(fields.end(), {{"fault", NameOf(FaultNames, d.Defect.Kind)},
                                     {"nth", std::to_string(d.Defect.Nth)},
                                     {"times", std::to_string(d.Defect.Times)},
                                     {"side", NameOf(SideNames, d.Defect.Where)},
                                     {"at", std::to_string(d.Defect.Address)}});
    }
    return fields;
}

// The --device list that ReadDeviceItems reads back into the same device.
std::string DeviceItems(const DeviceOptions& d, const std::string& flashOut) {
    std::string list;
    for (const auto& [name, value] : DeviceFields(d)) {
        list += (list.empty() ? "" : ",") + name + (value ? "=" + *value : "");
    }
    if (!flashOut.empty()) {
        list += ",flash-out=" + flashOut;
    }
    return list;
}

constexpr const char* Footer = R"(
The program opens a pseudo-terminal, prints "PTY <slave path>" on one line of stdout as soon as
the slave can be opened, and serves until SIGTERM or SIGINT (or until the line-vanishes fault
closes the line); then it writes the flash file if asked and exits with status 0.

The device: a Modbus RTU slave (functions 3, 6, 16) with identification at 65200..65202,
download records (128 registers), record count at 60128 and a command register; the write of
"KOVA_BSL" to its boot loader register starts the boot loader without a reply. The boot loader
speaks "DL" frames: 0 start the application, 1 erase a segment (512 bytes; 128 in the
information memory 0x1000..0x10FF), 2 write words (flash programming only clears bits),
3 read 32 words. Requests for registers it does not have get exception 02; frames with a bad
checksum or for another slave get no answer. Records and flash last for the whole run.

Faults, one at a time (--fault):
  silent-loader        the boot loader never answers
  silent-app           the application started by the boot loader never answers
  confirm-activation   the activation write is answered; the application keeps running
  bad-crc              reply number --nth (and --times replies in all) has a wrong checksum
  bad-echo             ... echoes a wrong address (loader) or slave / register (application)
  drop-byte            ... loses one byte in its middle
  not-blank            the word at --at is stuck at 0x0000, so its page never reads blank
  stuck-word           the word at --at cannot be programmed
  line-vanishes        the pty closes when the --nth frame for the device arrives
                       (the device carries it out; its reply is lost)
Replies are counted from 1 over both programs, or over one with --side.

A bus (--bus): two or more devices on one RS-485 line at the one --baud, each given by
--device with comma-separated items that mirror the options above: address=N (required),
old, type=N, subtype=N, fw-version=N, in-loader, new-device, blank-flash, foreign,
records=N, erase-us=N, word-write-us=N, fault=KIND, nth=N, times=N, side=any|app|loader,
at=N, flash-out=PATH (this device's flash on exit, no comma in PATH; format by extension or
--flash-format, order by --flash-order). Every device hears every byte. Replies that meet on
the wire (with --wire-time: that overlap in time; otherwise those to one frame) collide and
reach the master as broken bytes; two devices may share an address. For example:
  converter-sim --bus --device address=3 --device address=7,in-loader --device address=11,foreign)";

} // namespace

FileFormat FormatFor(const ProgramOptions& options) {
    return FormatFor(options, options.FlashOut);
}

FileFormat FormatFor(const ProgramOptions& options, const std::string& path) {
    if (options.FlashFormat) {
        return *options.FlashFormat;
    }
    const bool hex = path.size() >= 4 && (path.compare(path.size() - 4, 4, ".hex") == 0 ||
                                          path.compare(path.size() - 4, 4, ".HEX") == 0);
    return hex ? FileFormat::IntelHex : FileFormat::Binary;
}

bool SaveFlash(PtyServer& server, const ProgramOptions& options, std::string& error) {
    std::vector<std::string> paths = options.BusFlashOut;
    if (options.Bus.empty()) {
        paths = {options.FlashOut};
    }
    bool saved = true;
    for (std::size_t i = 0; i < paths.size() && i < server.DeviceCount(); ++i) {
        if (paths[i].empty()) {
            continue;
        }
        std::string failure;
        if (!server.WithDevice(i, [&](const Device& device) {
                return WriteFlashFile(device.Memory(), paths[i], FormatFor(options, paths[i]),
                                      options.FlashOrder, failure);
            })) {
            error += (error.empty() ? "" : "; ") + failure;
            saved = false;
        }
    }
    return saved;
}

std::optional<int> ParseCommandLine(int argc, const char* const* argv, ProgramOptions& options,
                                    std::string& text, bool& isError) {
    CLI::App app{"converter-sim: a simulated converter (application and boot loader) served "
                 "on a pseudo-terminal."};
    app.footer(Footer);
    app.get_formatter()->column_width(34);

    DeviceOptions& device = options.Device;
    unsigned address = device.Address;
    unsigned type = device.Type;
    unsigned subType = device.SubType;
    unsigned version = device.Version;
    bool old = false;
    bool realistic = false;
    long long eraseUs = device.EraseTime.count();
    long long wordUs = device.WordWriteTime.count();
    unsigned faultAddress = 0;
    FileFormat format = FileFormat::IntelHex;

    const auto word = CLI::Range(0U, 0xFFFFU);
    app.add_option("-a,--address", address, "Modbus slave address of the application")
        ->check(CLI::Range(1U, 255U))
        ->capture_default_str();
    app.add_option("-b,--baud", device.Baud, "line speed of the application and boot loader")
        ->check([](const std::string& value) {
            return IsSupportedBaud(std::atoi(value.c_str())) ? std::string{}
                                                             : "unsupported baud rate " + value;
        })
        ->option_text("RATE=19200 (1200 to 115200)");
    app.add_flag("--old", old,
                 "old generation: 0,0,0 at 65200, version at 300, records at 60000, boot "
                 "loader register 65000, command register 205");
    app.add_option("--type", type, "identification word 1 (type 5: command register 46000)")
        ->check(word)
        ->capture_default_str();
    app.add_option("--subtype", subType, "identification word 2")
        ->check(word)
        ->capture_default_str();
    app.add_option("--fw-version", version, "firmware version word, e.g. 0x2105")
        ->check(word)
        ->default_str(HexWord(version));
    app.add_flag("--new-device", device.NewDevice,
                 "start in the boot loader with blank flash; the application it starts "
                 "listens at address 255, 19200 baud");
    app.add_flag("--in-loader", device.InLoader,
                 "start in the boot loader, as a download broken off leaves the device; the "
                 "application it starts keeps --address and --baud");
    app.add_flag("--foreign", device.Foreign,
                 "a Modbus device of another kind: every request gets exception 2 (illegal "
                 "data address)");
    app.add_flag("--blank-flash", device.BlankFlash,
                 "start with blank flash (otherwise main flash holds an old firmware)");
    app.add_option("--records", device.PresetRecords, "valid download records at the start")
        ->check(CLI::Range(0, 16))
        ->capture_default_str();
    app.add_flag("--wire-time", options.Line.WireTime,
                 "delay each reply until request and reply would have crossed the line "
                 "(10 bit times per byte)");
    bool anySpeed = false;
    app.add_flag("--check-speed", options.Line.CheckSpeed,
                 "ignore traffic sent at another speed than the device's (the default)");
    app.add_flag("--any-speed", anySpeed,
                 "take traffic at any line speed (a pty between two programs carries none)");
    app.add_flag("--realistic", realistic, "both --wire-time and --check-speed");
    app.add_option("--erase-us", eraseUs, "time to erase one segment, microseconds")
        ->check(CLI::Range(0LL, 10000000LL))
        ->capture_default_str();
    app.add_option("--word-write-us", wordUs, "time to program one word, microseconds")
        ->check(CLI::Range(0LL, 1000000LL))
        ->capture_default_str();
    app.add_option("--fault", device.Defect.Kind, "the one fault the device has (see below)")
        ->transform(CLI::CheckedTransformer(FaultNames, CLI::ignore_case))
        ->option_text("KIND");
    app.add_option("--nth", device.Defect.Nth, "first reply affected (line-vanishes: the frame)")
        ->check(CLI::Range(1U, 1000000000U))
        ->capture_default_str();
    app.add_option("--times", device.Defect.Times, "replies affected in all, 0 for every one")
        ->capture_default_str();
    app.add_option("--side", device.Defect.Where, "whose replies count")
        ->transform(CLI::CheckedTransformer(SideNames, CLI::ignore_case))
        ->option_text("any|app|loader");
    auto* at = app.add_option("--at", faultAddress, "flash byte address of not-blank / stuck-word")
                   ->check(word);
    auto* flashFormat = app.add_option("--flash-format", format,
                                       "file format (default: by the extension, .hex is Intel HEX)")
                            ->transform(CLI::CheckedTransformer(FormatNames, CLI::ignore_case))
                            ->option_text("hex|bin");
    app.add_option("--flash-out", options.FlashOut, "write the flash to this file on exit");
    app.add_option("--flash-order", options.FlashOrder,
                   "bytes of each word: image (high byte first, as the data pairs of the "
                   "firmware's HEX text, so the file compares with it; the default) or memory "
                   "(low byte first, as the processor sees them)")
        ->transform(CLI::CheckedTransformer(OrderNames, CLI::ignore_case))
        ->option_text("image|memory");
    app.add_option("--link", options.Link, "make a symbolic link with this name to the slave");
    app.add_flag("-v,--verbose", options.Verbose, "log every frame in hex on stderr");
    bool busMode = false;
    std::vector<std::string> deviceLists;
    auto* bus = app.add_flag("--bus", busMode,
                             "several devices on the line, each given by --device (see below)");
    app.add_option("--device", deviceLists, "one device of the bus: address=N,... (see below)")
        ->allow_extra_args(false)
        ->needs(bus)
        ->option_text("ITEMS");
    // The options of the one device; on a bus they are items of each --device.
    std::vector<const CLI::Option*> ownDevice;
    for (const char* name :
         {"--address", "--old", "--type", "--subtype", "--fw-version", "--new-device",
          "--in-loader", "--foreign", "--blank-flash", "--records", "--erase-us", "--word-write-us",
          "--fault", "--nth", "--times", "--side", "--at", "--flash-out"}) {
        ownDevice.push_back(app.get_option(name));
    }

    std::ostringstream out;
    std::ostringstream err;
    try {
        app.parse(argc, argv);
        const bool needsAddress =
            device.Defect.Kind == FaultKind::NotBlank || device.Defect.Kind == FaultKind::StuckWord;
        if (needsAddress && at->count() == 0) {
            throw CLI::ValidationError("--at", "the fault needs the address of its word");
        }
        for (const CLI::Option* own : ownDevice) {
            if (busMode && own->count() != 0) {
                throw CLI::ValidationError(own->get_name(),
                                           "belongs in the items of a --device on a --bus");
            }
        }
        if (busMode && deviceLists.size() < 2) {
            throw CLI::ValidationError("--bus", "a bus needs two --device or more");
        }
        options.BusFlashOut.assign(deviceLists.size(), {});
        for (std::size_t i = 0; i < deviceLists.size(); ++i) {
            DeviceOptions& member = options.Bus.emplace_back();
            member.Baud = device.Baud;
            if (const std::string wrong =
                    ReadDeviceItems(deviceLists[i], member, options.BusFlashOut[i]);
                !wrong.empty()) {
                throw CLI::ValidationError("--device", "'" + deviceLists[i] + "': " + wrong);
            }
        }
    } catch (const CLI::ParseError& e) {
        const int status = app.exit(e, out, err);
        text = out.str() + err.str();
        isError = status != 0;
        return status;
    }
    device.Address = static_cast<std::uint8_t>(address);
    device.Type = static_cast<std::uint16_t>(type);
    device.SubType = static_cast<std::uint16_t>(subType);
    device.Version = static_cast<std::uint16_t>(version);
    device.Gen = old ? Generation::Old : Generation::Current;
    device.EraseTime = std::chrono::microseconds(eraseUs);
    device.WordWriteTime = std::chrono::microseconds(wordUs);
    device.Defect.Address = static_cast<std::uint16_t>(faultAddress);
    if (realistic) {
        options.Line.WireTime = true;
        options.Line.CheckSpeed = true;
    }
    if (anySpeed) {
        options.Line.CheckSpeed = false;
    }
    if (flashFormat->count() != 0) {
        options.FlashFormat = format;
    }
    if (busMode) {
        options.Device = {};
    }
    return std::nullopt;
}

std::vector<std::string> ToArguments(const ProgramOptions& options) {
    std::vector<std::string> args;
    const auto flag = [&args](bool on, const char* name) {
        if (on) {
            args.emplace_back(name);
        }
    };
    bool flashOut = false;
    if (options.Bus.empty()) {
        args = {"--baud", std::to_string(options.Device.Baud)};
        for (const auto& [name, value] : DeviceFields(options.Device)) {
            args.push_back("--" + name);
            if (value) {
                args.push_back(*value);
            }
        }
        if (!options.FlashOut.empty()) {
            args.insert(args.end(), {"--flash-out", options.FlashOut});
            flashOut = true;
        }
    } else {
        args = {"--bus", "--baud", std::to_string(options.Bus.front().Baud)};
        for (std::size_t i = 0; i < options.Bus.size(); ++i) {
            const std::string path =
                i < options.BusFlashOut.size() ? options.BusFlashOut[i] : std::string{};
            args.insert(args.end(), {"--device", DeviceItems(options.Bus[i], path)});
            flashOut = flashOut || !path.empty();
        }
    }
    flag(options.Line.WireTime, "--wire-time");
    flag(!options.Line.CheckSpeed, "--any-speed");
    flag(options.Verbose, "-v");
    if (flashOut) {
        args.insert(args.end(), {"--flash-order", NameOf(OrderNames, options.FlashOrder)});
    }
    if (options.FlashFormat) {
        args.insert(args.end(), {"--flash-format", NameOf(FormatNames, *options.FlashFormat)});
    }
    if (!options.Link.empty()) {
        args.insert(args.end(), {"--link", options.Link});
    }
    return args;
}

} // namespace sim
