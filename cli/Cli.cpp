#include "cli/Cli.h"

#include "app/Json.h"
#include "app/LineSearch.h"
#include "app/LineUpdate.h"
#include "app/Platform.h"
#include "app/ServiceLog.h"
#include "app/Settings.h"
#include "app/Update.h"
#include "app/Wizard.h"
#include "cli/Console.h"
#include "cli/Ports.h"
#include "converter/Converter.h"
#include "link/Serialport.h"
#include "loader/Loader.h"
#include "loader/Resource.h"
#include "loader/Sha256.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ostream>
#include <vector>

namespace {

constexpr int LastComNumber = 255;
constexpr int DefaultBaudrate = 19200;

constexpr const char* ExitCodesText = R"(Exit codes:
  0   success
  1   image: the firmware does not fit the processor's memory
  2   bad arguments, or entries the window would refuse
  3   unexpected fault (its text is on stderr)
  11  error in the hex file
  12  no connection to the converter (port not opened, or no answer); identify, history too;
      scan: nothing answers at any address and baud rate
  13  converter version too old for an update
  14  converter type not accepted
  15  boot loader not activated
  16  port cannot be opened for the boot loader
  17  download failed
  18  the boot loader did not start the application
  19  the new application does not answer, or the download record was not written
  20  history: the records could not be read
  21  identify: no application answers, but the boot loader waits (finish with --resume)
  22  update --all: not every converter found was updated
  23  another converter's boot loader already waits on the line: nothing was activated
Every failure prints its message on stderr.)";
constexpr const char* ExitCodesPointer = "Exit codes: see fwloader --help.";

struct TLineOptions {
    std::string Port;
    int Baudrate = DefaultBaudrate;
    int Address = 0; // 0: not given
    std::string Settings;
};

struct TUpdateOptions {
    TLineOptions Line;
    int Processor = 0;
    bool FirstTime = false;
    bool Resume = false;
    std::string User = DefaultUser;
    std::string Id1;
    std::string Id2;
    bool Verbose = false;
    std::string Log; // empty: beside the settings file
    bool NoLog = false;
    bool All = false;           // every converter on the line at --baud
    std::vector<int> Addresses; // --all: only these
};

struct TScanOptions {
    std::string Port;
    std::vector<int> Baudrates; // empty: the window's list
    std::string Settings;
    bool Json = false;
};

struct TLogOptions {
    std::string Log;
    std::string Settings;
    bool Json = false;
};

std::string Upper(std::string text) {
    for (char& c : text) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return text;
}

// The ID fields take digits only, as many as the label's line has.
CLI::Validator Digits(std::size_t most) {
    return CLI::Validator(
        [most](std::string& text) -> std::string {
            const bool digits = std::all_of(text.begin(), text.end(), [](char c) {
                return std::isdigit(static_cast<unsigned char>(c)) != 0;
            });
            return digits && text.size() <= most
                       ? std::string()
                       : "up to " + std::to_string(most) + " digits expected";
        },
        "DIGITS");
}

// A rate no serial line runs at is refused before any port is opened.
CLI::Validator LineBaudrate() {
    return CLI::Validator(
        [](const std::string& text) -> std::string {
            return IsLineBaudrate(std::atoi(text.c_str()))
                       ? std::string()
                       : "no serial line runs at " + text + " baud";
        },
        "RATE");
}

void AddProcessorOption(CLI::App& command, int& processor) {
    std::string help = "processor:";
    for (std::size_t i = 0; i < ProcessorNames.size(); ++i) {
        help += (i == 0 ? " " : ", ") + std::to_string(i) + " = " + ProcessorNames[i];
    }
    command.add_option("--processor", processor, help)
        ->check(CLI::Range(0, static_cast<int>(ProcessorNames.size()) - 1))
        ->capture_default_str();
}

CLI::Option* AddLineOptions(CLI::App& command, TLineOptions& line) {
    command.add_option("--port", line.Port, "COM1 to COM255, or a device path (named COM255)")
        ->required();
    command.add_option("--baud", line.Baudrate, "baud rate")
        ->check(LineBaudrate())
        ->capture_default_str();
    command
        .add_option("--settings", line.Settings,
                    "settings file whose section Ports maps COM names to device paths, "
                    "e.g. COM3=/dev/ttyUSB0")
        ->check(CLI::ExistingFile);
    return command.add_option("--address", line.Address, "Modbus address of the converter")
        ->check(CLI::Range(1, LastComNumber));
}

// The port map from the settings file, if one was given, then the name for --port.
std::string PreparePort(const TLineOptions& line) {
    if (!line.Settings.empty()) {
        LoadPortMap(line.Settings);
    }
    return PortNameOf(line.Port);
}

// Messages name the port as the user gave it: a device path rather than the name it is
// reached under.
std::string PortLabelOf(const std::string& port, const std::string& given) {
    return port == PathPortName && Upper(given) != PathPortName ? given : port;
}

std::string ReasonOf(const TOpenError& error, std::int32_t baudrate) {
    switch (error.Kind) {
    case TOpenFailure::None:
        break;
    case TOpenFailure::NotComName:
    case TOpenFailure::NoDevice:
        return "Reason: no such device (fwloader ports lists the serial devices present).";
    case TOpenFailure::PermissionDenied:
        if (error.Detail.empty()) {
            return "Reason: permission denied.";
        }
        return "Reason: permission denied; the device belongs to the group " + error.Detail +
               ": sudo usermod -aG " + error.Detail + " $USER, then log in again.";
    case TOpenFailure::InUse:
        return "Reason: in use by another program.";
    case TOpenFailure::NotSerial:
        return "Reason: not a serial device.";
    case TOpenFailure::Baudrate:
        return "Reason: baud rate " + std::to_string(baudrate) + " not supported by the device.";
    case TOpenFailure::Other:
        return "Reason: " + error.Detail + ".";
    }
    return {};
}

// After a text that says the port could not be used: which device the name led to and, when it
// would not open, why.
void ExplainOpen(TConsole& console, const TOpenError& error, const std::string& port,
                 std::int32_t baudrate, const std::string& given) {
    if (error.Kind == TOpenFailure::None) {
        return;
    }
    if (PortLabelOf(port, given) == port) {
        console.Error("(" + port + " is " + DevicePathOf(port) + ")");
    }
    console.Error(ReasonOf(error, baudrate));
}

void ExplainOpen(TConsole& console, const TSerialPort& port, const std::string& given) {
    ExplainOpen(console, port.GetOpenError(), port.GetPort(), port.GetBaudrate(), given);
}

// A device that refused the identification with a Modbus exception: it is there, and no
// converter. True when it was one.
bool SayWhatAnswered(TConsole& console, TConverter& converter) {
    if (converter.LastException() == 0) {
        return false;
    }
    console.Error(TUpdate::NotAConverterText(converter.GetAddress(), converter.LastException()));
    return true;
}

std::string LoaderHint(int address, std::int32_t baudrate) {
    return "The converter's boot loader is waiting (no application runs). Finish the update "
           "with: fwloader update --resume --address " +
           std::to_string(address) + " --baud " + std::to_string(baudrate);
}

std::string ScanHint(const std::string& given) {
    return "fwloader scan --port " + given + " searches every address and baud rate.";
}

// When the application stays silent: whether the boot loader is what waits on the line, and
// if nothing does, where to look next.
bool HintAtWaitingLoader(TConsole& console, const std::string& port, const TLineOptions& line) {
    if (!BootLoaderWaits(port, line.Baudrate)) {
        console.Error(ScanHint(line.Port));
        return false;
    }
    console.Error(LoaderHint(line.Address, line.Baudrate));
    return true;
}

// The attempts that activate nothing tell nothing about a boot loader left waiting.
bool ActivatedNothing(int result) {
    for (const TUpdateResult quiet :
         {TUpdateResult::HexFile, TUpdateResult::Connect, TUpdateResult::VersionTooOld,
          TUpdateResult::WrongType, TUpdateResult::LoaderWaiting}) {
        if (result == static_cast<int>(quiet)) {
            return true;
        }
    }
    return false;
}

// The service log's newest attempt on the port, when it is a download or start that failed:
// that converter's boot loader is the one waiting.
std::optional<TLogEntry> BrokenOffUpdate(const std::string& log, const std::string& port) {
    std::vector<std::string> lines;
    try {
        lines = ReadServiceLog(log);
    } catch (const std::runtime_error&) {
        return std::nullopt; // the hint does without it
    }
    for (auto line = lines.rbegin(); line != lines.rend(); ++line) {
        TLogEntry entry;
        if (!FromJsonLine(*line, entry) || entry.Port != port || ActivatedNothing(entry.Result)) {
            continue;
        }
        if (entry.Result == static_cast<int>(TUpdateResult::Download) ||
            entry.Result == static_cast<int>(TUpdateResult::StartApplication)) {
            return entry;
        }
        break;
    }
    return std::nullopt;
}

std::string ResumeCommand(const std::string& given, const std::string& address,
                          std::int32_t baudrate) {
    return "fwloader update --resume --port " + given + " --address " + address + " --baud " +
           std::to_string(baudrate);
}

// After a refused activation: how to finish the converter whose boot loader waits.
void PrintSecondLoader(TConsole& console, const std::string& label, const std::string& given,
                       std::int32_t baudrate, const std::optional<TLogEntry>& broken) {
    console.Error(TUpdate::FailureText(TUpdateResult::LoaderWaiting, label));
    if (broken) {
        console.Error(
            "Finish it first: " + ResumeCommand(given, std::to_string(broken->Address), baudrate) +
            " (the service log's newest entry for " + given + ": the update of address " +
            std::to_string(broken->Address) + " failed at " + broken->Time + ").");
        return;
    }
    console.Error("Finish it first: " + ResumeCommand(given, "N", baudrate) +
                  ", N being the converter that no longer answers (fwloader scan --port " + given +
                  " lists those that do).");
}

// Lines of a text, the last one counted also without its line end.
std::size_t LineCount(std::string_view text) {
    const auto ends = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
    return ends + (!text.empty() && text.back() != '\n' ? 1 : 0);
}

// --log as given; else beside the settings file of --settings, else beside the window's.
std::string ServiceLogPath(const std::string& log, const std::string& settings) {
    if (!log.empty()) {
        return log;
    }
    return ServiceLogBeside(settings.empty() ? DefaultSettingsFile(ExecutablePath()) : settings);
}

std::string SecondsText(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", seconds);
    return text;
}

std::string FirstLine(const std::string& text) {
    return text.substr(0, text.find('\n'));
}

// One attempt a line: when, where, how it ended.
std::string LogLine(const TLogEntry& e) {
    const auto version = [](const std::optional<std::uint16_t>& word) {
        return word ? FormatVersion(*word) : std::string("?");
    };
    std::string line = e.Time + "  " + e.Frontend + "  " + e.Port + " (" + e.Device + ") " +
                       std::to_string(e.Baud) + " baud, address " + std::to_string(e.Address) +
                       ", " + e.Mode + ", user " + e.User + ", " + version(e.VersionBefore) +
                       " -> " + version(e.VersionAfter) + ", " + std::to_string(e.Bytes) +
                       " bytes, " + SecondsText(e.Seconds) + ": ";
    if (e.Result == 0) {
        return line + "success";
    }
    line += "failed (" + std::to_string(e.Result) + ") " + FirstLine(e.Message);
    return e.Detail.empty() ? line : line + " " + e.Detail;
}

int RunLog(const TLogOptions& options, TConsole& console) {
    const std::string path = ServiceLogPath(options.Log, options.Settings);
    const std::vector<std::string> lines = ReadServiceLog(path);
    for (std::size_t number = 1; number <= lines.size(); ++number) {
        const std::string& line = lines[number - 1];
        TLogEntry entry;
        if (line.find_first_not_of(" \t") == std::string::npos) {
            continue;
        }
        if (!FromJsonLine(line, entry)) {
            // A last line torn by a power cut, say: the rest of the log still counts.
            console.Error("fwloader: warning: line " + std::to_string(number) + " of " + path +
                          " is no log entry; skipped");
        } else {
            console.Line(options.Json ? line : LogLine(entry));
        }
    }
    return ExitSuccess;
}

int RunImage(int processor, TConsole& console) {
    // What tells one firmware from another, before the reader's verdict on it.
    const std::string_view text = FindResource(FirmwareResource);
    console.Line("SHA-256: " + Sha256Hex(text));
    console.Line("Size:    " + std::to_string(text.size()) + " bytes, " +
                 std::to_string(LineCount(text)) + " lines");
    THexLoader loader;
    TConsoleMessageList messages(console);
    loader.SetMessageList(&messages);
    loader.SelectProcessor(processor);
    return loader.LoadHexResource(FirmwareResource) ? ExitSuccess : ExitFailure;
}

// The entries the window checks on its device page, with its texts; empty when they pass. The
// window's field holds at most two characters; a longer text here is refused as the window
// would refuse a short one.
std::string CheckDeviceEntries(TUpdateOptions& options) {
    options.User = Upper(Trimmed(options.User));
    if (options.User.size() > UserLength) {
        return UserCheckText;
    }
    return DevicePageCheck(options.Processor, options.User, options.FirstTime, options.Id1,
                           options.Id2);
}

int RunUpdateAll(const TUpdateOptions& options, TConsole& console);

// What the window's pages would hold for these options (--all: each converter's address and
// baud rate come from the search).
TUpdateInputs InputsOf(const TUpdateOptions& options, const std::string& port) {
    TUpdateInputs inputs;
    inputs.PortName = port;
    inputs.PortLabel = PortLabelOf(port, options.Line.Port);
    inputs.BaudText = std::to_string(options.Line.Baudrate);
    inputs.ProcessorIndex = options.Processor;
    inputs.FirstTime = options.FirstTime;
    inputs.Resume = options.Resume;
    inputs.ModbusAddressIndex = options.FirstTime ? -1 : options.Line.Address - 1;
    inputs.User = options.User;
    inputs.Id1Text = options.Id1;
    inputs.Id2Text = options.Id2;
    return inputs;
}

// Appends each attempt to the service log; a log that cannot be written only warns.
TOutcomeHandler LogWriter(TConsole& console, const std::string& log) {
    return [&console, log](const TUpdateInputs& ended, const TUpdateOutcome& outcome) {
        std::string error;
        if (!AppendToServiceLog(log, LogEntryOf("cli", ended, outcome), error)) {
            console.Error("fwloader: warning: the service log " + log + " could not be written (" +
                          error + ")");
        }
    };
}

int RunUpdate(TUpdateOptions options, TConsole& console) {
    if (const std::string check = CheckDeviceEntries(options); !check.empty()) {
        console.Error(check);
        return ExitUsage;
    }
    if (options.All) {
        return RunUpdateAll(options, console);
    }
    if (!options.FirstTime && options.Line.Address == 0) {
        console.Error("--address is required unless --first-time is given");
        return ExitUsage;
    }
    const std::string port = PreparePort(options.Line);

    TConverter converter;
    THexLoader loader;
    TConsoleProgress progress(console, loader);
    TConsoleMessageList messages(console);
    TConsoleUi ui(console);
    TUpdate update(converter, loader, ui);
    update.SetLoaderObservers(options.Verbose ? &messages : nullptr, &progress);

    const TUpdateInputs inputs = InputsOf(options, port);

    const std::string log = ServiceLogPath(options.Log, options.Line.Settings);
    // Read before this attempt adds its own line.
    const std::optional<TLogEntry> broken = BrokenOffUpdate(log, inputs.PortLabel);
    if (!options.NoLog) {
        update.SetOutcomeHandler(LogWriter(console, log));
    }
    const TUpdateResult result = update.Run(inputs);
    if (result == TUpdateResult::LoaderWaiting) {
        PrintSecondLoader(console, inputs.PortLabel, options.Line.Port, options.Line.Baudrate,
                          broken);
    } else if (result == TUpdateResult::Connect) {
        ExplainOpen(console, converter, options.Line.Port);
        SayWhatAnswered(console, converter);
        // What the window would have asked, as what to do instead.
        for (const TQuestion& question : ui.Asked) {
            console.Error(question.Kind == TQuestionKind::FinishInLoader
                              ? LoaderHint(question.Address, question.Baudrate)
                              : ScanHint(options.Line.Port));
        }
    } else if (result == TUpdateResult::OpenLoaderPort) {
        ExplainOpen(console, loader, options.Line.Port);
    }
    if (result != TUpdateResult::Success) {
        return static_cast<int>(result);
    }
    PrintHistory(console, ui.Rows);
    return ExitSuccess;
}

// Connects as the update does; on failure prints the update's connect text and why, and
// tells whether the boot loader waits instead of the application.
bool Connect(TConverter& converter, const TLineOptions& line, TConsole& console,
             bool* loaderWaits = nullptr) {
    const std::string port = PreparePort(line);
    converter.SetPort(port);
    converter.SetBaudrate(line.Baudrate);
    converter.SetAddress(static_cast<std::uint8_t>(line.Address));
    if (converter.Connect()) {
        return true;
    }
    console.Error(TUpdate::FailureText(TUpdateResult::Connect, PortLabelOf(port, line.Port)));
    ExplainOpen(console, converter, line.Port);
    if (SayWhatAnswered(console, converter)) {
        return false;
    }
    if (loaderWaits != nullptr && converter.GetOpenError().Kind == TOpenFailure::None) {
        *loaderWaits = HintAtWaitingLoader(console, port, line);
    }
    return false;
}

int RunIdentify(const TLineOptions& line, TConsole& console) {
    TConverter converter;
    bool loaderWaits = false;
    if (!Connect(converter, line, console, &loaderWaits)) {
        return loaderWaits ? ExitLoaderWaits : ExitNoConverter;
    }
    const auto version = static_cast<std::uint16_t>(converter.GetVersion());
    char word[8];
    std::snprintf(word, sizeof word, "%04X", static_cast<unsigned>(version));
    console.Line("Type:       " + std::to_string(converter.GetType()));
    console.Line("Subtype:    " + std::to_string(converter.GetSubType()));
    console.Line("Version:    " + FormatVersion(version) + " (0x" + word + ")");
    console.Line(std::string("Generation: ") + (converter.OldGeneration() ? "old" : "new"));
    converter.Close();
    return ExitSuccess;
}

int RunHistory(const TLineOptions& line, TConsole& console) {
    TConverter converter;
    if (!Connect(converter, line, console)) {
        return ExitNoConverter;
    }
    if (!converter.ReadRecords()) {
        console.Error("Couldn't read the download records via " +
                      PortLabelOf(converter.GetPort(), line.Port) + "!");
        return ExitRecords;
    }
    std::vector<std::vector<std::string>> rows;
    for (std::int32_t i = 0; i < converter.RecordCount(); ++i) {
        rows.push_back(HistoryRow(i, converter.Record(static_cast<std::uint16_t>(i))));
    }
    converter.Close();
    PrintHistory(console, rows);
    return ExitSuccess;
}

std::string FoundLine(const TFoundConverter& found) {
    return "address " + std::to_string(found.Address) + "  " + std::to_string(found.Baudrate) +
           " baud  type " + std::to_string(found.Type) + "  subtype " +
           std::to_string(found.SubType) + "  version " + FormatVersion(found.Version) + "  " +
           (found.OldGeneration ? "old" : "new") + " generation";
}

// The boot loader carries no address: N is the converter's own, which only the user knows.
std::string WaitingLoaderLine(const std::string& given, std::int32_t baudrate) {
    const std::string baud = std::to_string(baudrate);
    return "boot loader waiting at " + baud + " baud: fwloader update --resume --port " + given +
           " --address N --baud " + baud;
}

// "9600, 19200 and 38400"
std::string RatesText(const std::vector<std::int32_t>& baudrates) {
    std::string text;
    for (std::size_t i = 0; i < baudrates.size(); ++i) {
        text += (i == 0                      ? ""
                 : i + 1 == baudrates.size() ? " and "
                                             : ", ") +
                std::to_string(baudrates[i]);
    }
    return text;
}

// Found devices as lines while the search goes on, a bar on a terminal.
class TScanProgress : public TSearchProgress {
public:
    TScanProgress(TConsole& console, const std::string& given, bool json)
        : Console(console), Given(given), Json(json) {}
    void SearchStep(int done, int total, std::int32_t baudrate, int address) override {
        const std::string where =
            address == 0 ? "boot loader" : "address " + std::to_string(address);
        Console.Bar("Searching " + Given + ": " + std::to_string(baudrate) + " baud, " + where +
                    "  " + BarText(done, total) + " " + std::to_string(100 * done / total) + "%");
    }
    void Found(const TFoundConverter& found) override {
        if (!Json) {
            Console.Line(FoundLine(found));
        }
    }
    void FoundForeign(const TForeignDevice& device) override {
        if (!Json) {
            Console.Line("address " + std::to_string(device.Address) + "  " +
                         std::to_string(device.Baudrate) + " baud  " +
                         TUpdate::ForeignDeviceText(device.Exception));
        }
    }
    void FoundLoader(std::int32_t baudrate) override {
        if (!Json) {
            Console.Line(WaitingLoaderLine(Given, baudrate));
        }
    }

private:
    TConsole& Console;
    const std::string& Given;
    bool Json;
};

void PrintScanJson(TConsole& console, const TSearchResult& result) {
    std::vector<nlohmann::ordered_json> objects;
    for (const TFoundConverter& found : result.Converters) {
        objects.push_back({{"address", found.Address},
                           {"baud", found.Baudrate},
                           {"type", found.Type},
                           {"subtype", found.SubType},
                           {"version", FormatVersion(found.Version)},
                           {"generation", found.OldGeneration ? "old" : "new"}});
    }
    for (const TForeignDevice& device : result.Foreign) {
        objects.push_back({{"address", device.Address},
                           {"baud", device.Baudrate},
                           {"exception", device.Exception}});
    }
    for (const std::int32_t baudrate : result.LoaderBaudrates) {
        objects.push_back({{"bootLoader", true}, {"baud", baudrate}});
    }
    PrintJsonList(console, objects);
}

int RunScan(const TScanOptions& options, TConsole& console) {
    const std::string port = PreparePort({options.Port, DefaultBaudrate, 0, options.Settings});
    std::vector<std::int32_t> baudrates(options.Baudrates.begin(), options.Baudrates.end());
    if (baudrates.empty()) {
        for (const char* item : BaudrateItems) {
            baudrates.push_back(std::atoi(item));
        }
    }
    TScanProgress progress(console, options.Port, options.Json);
    const TSearchResult result = SearchLine(port, baudrates, &progress);
    if (result.OpenFailed) {
        console.Error("Couldn't open " + PortLabelOf(port, options.Port) + "!");
        ExplainOpen(console, result.OpenError, port, baudrates.front(), options.Port);
        return ExitNoConverter;
    }
    if (options.Json) {
        PrintScanJson(console, result);
    }
    char took[64];
    std::snprintf(took, sizeof took, " baud in %.1f s.", result.Took.count());
    console.Error("Searched " + options.Port + " at every address at " + RatesText(baudrates) +
                  took);
    if (!result.AnythingAnswered()) {
        console.Error("No converter answers on " + options.Port + " at " + RatesText(baudrates) +
                      " baud.");
        return ExitNoConverter;
    }
    return ExitSuccess;
}

// update --all: a header before each converter, a fresh job for the progress, and why a
// converter was not updated as it happens.
class TLineConsole : public TLineView {
public:
    TLineConsole(TConsole& console, TConsoleProgress& progress)
        : Console(console), Progress(progress) {}
    void ConverterStarting(int number, int count, const TFoundConverter& found) override {
        Progress.Restart();
        Console.Line("== address " + std::to_string(found.Address) + " (" + std::to_string(number) +
                     " of " + std::to_string(count) + ")");
    }
    void ConverterEnded(int, int, const TLineConverter& converter) override {
        // The refusal is told once, with what to do, when the run has ended.
        if (converter.State != TLineState::Updated &&
            converter.Result != TUpdateResult::LoaderWaiting) {
            Console.Error(FirstLine(converter.Message) +
                          (converter.State == TLineState::Skipped ? " Skipped." : ""));
        }
    }

private:
    TConsole& Console;
    TConsoleProgress& Progress;
};

std::string AddressList(const std::vector<int>& addresses) {
    std::string text;
    for (const int address : addresses) {
        text += (text.empty() ? "" : ",") + std::to_string(address);
    }
    return text;
}

int RunUpdateAll(const TUpdateOptions& options, TConsole& console) {
    const std::string port = PreparePort(options.Line);
    const TUpdateInputs inputs = InputsOf(options, port);
    const std::string& label = inputs.PortLabel;
    const std::string& given = options.Line.Port;
    TConverter converter;
    THexLoader loader;
    TConsoleProgress progress(console, loader);
    TConsoleMessageList messages(console);
    TConsoleUi ui(console);
    TLineConsole view(console, progress);
    TLineUpdate all(converter, loader, ui);
    all.SetLoaderObservers(options.Verbose ? &messages : nullptr, &progress);
    all.SetView(&view);
    all.SetNameInActivity(false); // the header names the converter

    const std::string log = ServiceLogPath(options.Log, options.Line.Settings);
    const std::optional<TLogEntry> broken = BrokenOffUpdate(log, label);
    if (!options.NoLog) {
        all.SetOutcomeHandler(LogWriter(console, log));
    }

    TScanProgress found(console, given, false);
    const TLineRun run = all.Run(inputs, options.Addresses, &found);
    if (run.Search.OpenFailed) {
        console.Error("Couldn't open " + label + "!");
        ExplainOpen(console, run.Search.OpenError, port, options.Line.Baudrate, given);
        return ExitNoConverter;
    }
    for (const TLineConverter& one : run.Converters) {
        const auto after = one.VersionAfter ? FormatVersion(*one.VersionAfter) : std::string("?");
        console.Line("address " + std::to_string(one.Found.Address) + "  " +
                     FormatVersion(one.Found.Version) + " -> " + after + "  " +
                     TLineUpdate::StateText(one) + "  " + SecondsText(one.Seconds));
    }
    if (run.LoaderWaiting) {
        PrintSecondLoader(console, label, given, run.LoaderBaudrate, broken);
        return ExitSecondLoader;
    }
    if (run.Converters.empty()) {
        console.Error("No converter answers on " + given + " at " +
                      std::to_string(options.Line.Baudrate) + " baud.");
        return ExitNoConverter;
    }
    console.Error(std::to_string(run.Updated()) + " of " + std::to_string(run.Converters.size()) +
                  " converters updated in " + SecondsText(run.Seconds));
    if (run.AllUpdated()) {
        return ExitSuccess;
    }
    console.Error("Not every converter was updated.");
    if (const TLineConverter* failed = run.Broken()) {
        console.Error(
            "Finish address " + std::to_string(failed->Found.Address) + " with: " +
            ResumeCommand(given, std::to_string(failed->Found.Address), failed->Found.Baudrate));
    }
    if (const std::vector<int> rest = run.NotStartedAddresses(); !rest.empty()) {
        std::string command = "fwloader update --all --port " + given + " --baud " +
                              std::to_string(options.Line.Baudrate);
        if (options.Processor != 0) {
            command += " --processor " + std::to_string(options.Processor);
        }
        if (options.User != DefaultUser) {
            command += " --user " + options.User;
        }
        console.Error("Then the rest with: " + command + " --addresses " + AddressList(rest));
    }
    return ExitNotEveryConverter;
}

} // namespace

std::string PortNameOf(const std::string& given) {
    const std::string upper = Upper(given);
    if (upper.size() > 3 && upper.compare(0, 3, "COM") == 0) {
        int number = 0;
        const char* last = upper.data() + upper.size();
        const auto [end, error] = std::from_chars(upper.data() + 3, last, number);
        if (error == std::errc() && end == last && number >= 1 && number <= LastComNumber) {
            return "COM" + std::to_string(number);
        }
    }
    MapPort(PathPortName, given);
    return PathPortName;
}

int RunCommandLine(int argc, const char* const* argv, std::ostream& out, std::ostream& err,
                   bool terminal) {
    CLI::App app{"Writes the converter's firmware over a serial line.", "fwloader"};
    app.require_subcommand(1);
    app.footer(ExitCodesText);

    int imageProcessor = 0;
    CLI::App* image =
        app.add_subcommand("image", "Read the carried firmware into a processor's memory");
    AddProcessorOption(*image, imageProcessor);

    TUpdateOptions update;
    CLI::App* updateCommand = app.add_subcommand(
        "update", "Write the carried firmware into the converter and record the download");
    CLI::Option* address = AddLineOptions(*updateCommand, update.Line);
    AddProcessorOption(*updateCommand, update.Processor);
    CLI::Option* firstTime = updateCommand->add_flag(
        "--first-time", update.FirstTime,
        "a new device: its boot loader already runs; afterwards its application is reached at "
        "address 255, 19200 baud");
    address->excludes(firstTime);
    CLI::Option* resume =
        updateCommand
            ->add_flag("--resume", update.Resume,
                       "finish a converter whose boot loader already waits (after a broken-off "
                       "download): no Modbus before the download, the record at --address and "
                       "--baud")
            ->excludes(firstTime);
    updateCommand->add_option("--user", update.User, "the user's initials, 2 characters")
        ->capture_default_str();
    updateCommand
        ->add_option("--id1", update.Id1, "1. line of the device's ID label (4 to 6 digits)")
        ->check(Digits(Id1MaxDigits))
        ->needs(firstTime);
    updateCommand
        ->add_option("--id2", update.Id2, "2. line of the device's ID label (1 to 8 digits)")
        ->check(Digits(Id2MaxDigits))
        ->needs(firstTime);
    updateCommand->add_flag("-v,--verbose", update.Verbose, "print the loader's messages");
    CLI::Option* logFile = updateCommand->add_option(
        "--log", update.Log,
        "service log to append this attempt to (default: firmware-loader-log.jsonl beside the "
        "settings file, or beside fwloader)");
    updateCommand->add_flag("--no-log", update.NoLog, "keep no service log of this attempt")
        ->excludes(logFile);
    CLI::Option* all = updateCommand->add_flag(
        "--all", update.All,
        "every converter on the line at --baud, one after another in address order (a search "
        "finds them; refused types and versions are skipped; a failed download stops the run)");
    all->excludes(address)->excludes(firstTime)->excludes(resume);
    updateCommand
        ->add_option("--addresses", update.Addresses,
                     "with --all: only these addresses, e.g. 3,7,9")
        ->delimiter(',')
        ->check(CLI::Range(1, LastComNumber))
        ->needs(all);
    updateCommand->footer(ExitCodesPointer);

    TLineOptions identify;
    CLI::App* identifyCommand = app.add_subcommand(
        "identify", "Print the converter's type, subtype, version and generation");
    AddLineOptions(*identifyCommand, identify)->required();
    identifyCommand->footer(ExitCodesPointer);

    TLineOptions history;
    CLI::App* historyCommand =
        app.add_subcommand("history", "Print the download records kept in the converter");
    AddLineOptions(*historyCommand, history)->required();
    historyCommand->footer(ExitCodesPointer);

    TLogOptions log;
    CLI::App* logCommand =
        app.add_subcommand("log", "Print the service log of the updates, newest last");
    logCommand->add_option("--log", log.Log, "the service log (default: as for update)");
    logCommand->add_option("--settings", log.Settings, "the settings file the log lies beside");
    logCommand->add_flag("--json", log.Json, "the log's own JSON lines");

    TPortsOptions ports;
    CLI::App* portsCommand = AddPortsCommand(app, ports);

    TScanOptions scan;
    CLI::App* scanCommand = app.add_subcommand(
        "scan", "Search the line for converters at every address and baud rate (reads only)");
    scanCommand->add_option("--port", scan.Port, "COM1 to COM255, or a device path")->required();
    scanCommand->add_option("--baud", scan.Baudrates, "search only at this baud rate (repeatable)")
        ->check(LineBaudrate());
    scanCommand
        ->add_option("--settings", scan.Settings,
                     "settings file whose section Ports maps COM names to device paths")
        ->check(CLI::ExistingFile);
    scanCommand->add_flag("--json", scan.Json, "a JSON list of what answered, for scripts");
    scanCommand->footer(ExitCodesPointer);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e, out, err) == 0 ? ExitSuccess : ExitUsage;
    }

    TConsole console(out, err, terminal);
    try {
        if (image->parsed()) {
            return RunImage(imageProcessor, console);
        }
        if (updateCommand->parsed()) {
            return RunUpdate(update, console);
        }
        if (identifyCommand->parsed()) {
            return RunIdentify(identify, console);
        }
        if (historyCommand->parsed()) {
            return RunHistory(history, console);
        }
        if (logCommand->parsed()) {
            return RunLog(log, console);
        }
        if (portsCommand->parsed()) {
            return RunPorts(ports, console);
        }
        if (scanCommand->parsed()) {
            return RunScan(scan, console);
        }
    } catch (const std::exception& e) {
        console.Error(std::string("fwloader: ") + e.what());
        return ExitInternal;
    }
    return ExitUsage;
}
