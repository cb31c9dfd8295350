#include "app/Update.h"

#include "app/LineUpdate.h"

#include <charconv>
#include <cstdio>
#include <stdexcept>
#include <thread>

namespace {

constexpr std::int32_t DefaultBaudrate = 19200;
constexpr int AddressListSize = 255; // slave addresses 1..255
constexpr const char* DownloadAbortedText = "Download aborted!";

// A whole decimal number with an optional sign that fits 32 bits, else the fallback.
std::int32_t DecimalOr(const std::string& text, std::int32_t fallback) {
    const char* first = text.data();
    const char* last = text.data() + text.size();
    if (first != last && *first == '+') {
        ++first;
        if (first != last && *first == '-') {
            return fallback;
        }
    }
    std::int32_t value = 0;
    const auto [end, error] = std::from_chars(first, last, value);
    if (error != std::errc{} || end != last || first == last) {
        return fallback;
    }
    return value;
}

} // namespace

TUpdate::TUpdate(TConverter& converter, THexLoader& loader, TUpdateUi& ui)
    : FConverter(converter), FLoader(loader), Ui(ui) {}

void TUpdate::SetLoaderObservers(TMessageList* messages, TDownloadSteps* steps) {
    Messages = messages;
    Steps = steps;
    FLoader.SetMessageList(messages);
    FLoader.SetDownloadSteps(steps);
}

void TUpdate::Report(TUpdateResult result, const std::string& portName) {
    Outcome.Result = result;
    Outcome.Message = FailureText(result, portName);
    if (result == TUpdateResult::Download) {
        Outcome.Detail = LastLoaderMessage;
    } else if (result != TUpdateResult::Connect) {
        Outcome.Detail.clear();
    }
    Outcome.Seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - Started).count();
    Outcome.Bytes = result == TUpdateResult::Success ? FLoader.ByteCount() : VerifiedBytes;
    if (OnOutcome) {
        OnOutcome(Line, Outcome);
    }
}

void TUpdate::Show(const std::string& activity) {
    Ui.ShowActivity(activity);
    Ui.ProcessMessages();
}

TUpdateResult TUpdate::Fail(TUpdateResult result, const std::string& portName) {
    Report(result, portName);
    Ui.ShowMessage(FailureText(result, portName));
    Ui.Terminate();
    // The program ends after this anyway; releasing the line now also frees it for a front
    // end that lives on (tests, a bench script driving several devices in one process).
    FConverter.Close();
    FLoader.Close();
    return result;
}

TUpdateResult TUpdate::Run(const TUpdateInputs& inputs) {
    if (!inputs.FirstTime &&
        (inputs.ModbusAddressIndex < 0 || inputs.ModbusAddressIndex >= AddressListSize)) {
        // Index + 1 must be a slave address 1..255; anything else would go out as a
        // broadcast or a wrapped address.
        throw std::out_of_range("TUpdate: Modbus address index out of range!");
    }
    Started = std::chrono::steady_clock::now();
    Outcome = {};
    Line = inputs;
    LastLoaderMessage.clear();
    VerifiedBytes = 0;
    // Between the loader and the front end's observers while this runs; the front end's own
    // come back whatever way it ends.
    struct TRecorder : TMessageList, TDownloadSteps {
        TUpdate& Update;
        explicit TRecorder(TUpdate& update) : Update(update) {
            Update.FLoader.SetMessageList(this);
            Update.FLoader.SetDownloadSteps(this);
        }
        ~TRecorder() override {
            Update.FLoader.SetMessageList(Update.Messages);
            Update.FLoader.SetDownloadSteps(Update.Steps);
        }
        TRecorder(const TRecorder&) = delete;
        TRecorder& operator=(const TRecorder&) = delete;
        void Append(const std::string& line) override {
            // The loader closes a failure with this line; the one before says what failed.
            if (line != DownloadAbortedText) {
                Update.LastLoaderMessage = line;
            }
            if (Update.Messages != nullptr) {
                Update.Messages->Append(line);
            }
        }
        void Step(TDownloadStep kind, std::int32_t address, std::int32_t words) override {
            if (kind == TDownloadStep::Verify) {
                Update.VerifiedBytes += 2 * std::int64_t{words};
            }
            if (Update.Steps != nullptr) {
                Update.Steps->Step(kind, address, words);
            }
        }
    } recorder(*this);

    const std::string& port = inputs.PortName;
    const std::string& label = inputs.PortLabel.empty() ? port : inputs.PortLabel;
    const std::int32_t baudrate = BaudrateOf(inputs.BaudText);

    Ui.EnableButtons(false, false);

    FLoader.SetPort(port);
    FLoader.SetBaudrate(baudrate);
    FLoader.SelectProcessor(inputs.ProcessorIndex);
    if (!FLoader.LoadHexResource(FirmwareResource)) {
        return Fail(TUpdateResult::HexFile, label);
    }

    FConverter.SetPort(port);
    FConverter.SetBaudrate(baudrate);

    if (inputs.FirstTime) {
        // A new device: its boot loader already listens, and its application will come up
        // at the factory address and speed.
        FConverter.SetAddress(FirstTimeAddress);
        FConverter.SetBaudrate(FirstTimeBaudrate);
    } else if (inputs.Resume) {
        FConverter.SetAddress(static_cast<std::uint8_t>(inputs.ModbusAddressIndex + 1));
    } else {
        FConverter.SetAddress(static_cast<std::uint8_t>(inputs.ModbusAddressIndex + 1));
        Show("Activating Loader...");
        bool connected = FConverter.Connect();
        if (!connected) {
            // A port that would not open has nothing to ask about.
            const bool opened = FConverter.GetOpenError().Kind == TOpenFailure::None;
            const TNextStep next = opened ? NoAnswer(label) : TNextStep::Fail;
            if (next == TNextStep::Connect) {
                Show("Activating Loader...");
                connected = FConverter.Connect();
            }
            if (next == TNextStep::Back) {
                Ui.BackToSettings();
                return EndQuietly(label);
            }
            if (next == TNextStep::End) {
                Ui.Terminate();
                return EndQuietly(label);
            }
            if (next == TNextStep::UpdateAll) {
                return UpdateAllFound(label);
            }
            if (next != TNextStep::Resume && !connected) {
                return Fail(TUpdateResult::Connect, label);
            }
        }
        // A resumed update finds the boot loader already running.
        if (connected) {
            if (const TUpdateResult activated = CheckAndActivate(label);
                activated != TUpdateResult::Success) {
                return activated;
            }
        }
    }

    Show("Loading Firmware...");
    if (!FLoader.Open()) {
        return Fail(TUpdateResult::OpenLoaderPort, label);
    }
    if (!FLoader.Download()) {
        return Fail(TUpdateResult::Download, label);
    }
    Show("Starting Application...");
    if (!FLoader.StartApplication()) {
        return Fail(TUpdateResult::StartApplication, label);
    }
    FLoader.Close();
    std::this_thread::sleep_for(StartPause);

    if (!WriteDownloadRecord(Line)) {
        return Fail(TUpdateResult::WriteRecord, label);
    }
    FillInfoList();
    FConverter.WriteCommand();
    FConverter.Close();
    Report(TUpdateResult::Success, label);
    Ui.EnableButtons(false, true);
    Show("Firmware loaded successfully!");
    return TUpdateResult::Success;
}

TUpdateResult TUpdate::CheckAndActivate(const std::string& label) {
    const std::int32_t type = FConverter.GetType();
    const std::int32_t subType = FConverter.GetSubType();
    Outcome.Type = static_cast<std::uint16_t>(type);
    Outcome.SubType = static_cast<std::uint16_t>(subType);
    Outcome.VersionBefore = static_cast<std::uint16_t>(FConverter.GetVersion());
    if (type == 0 && subType == 0 && FConverter.GetVersion() < MinimumConverterVersion) {
        return Fail(TUpdateResult::VersionTooOld, label);
    }
    if (type != AcceptedConverterType || subType != AcceptedConverterSubType) {
        return Fail(TUpdateResult::WrongType, label);
    }
    // The boot loader's frames carry no address: with one already waiting, a second would
    // answer every frame with it and leave both unusable.
    FConverter.Close();
    if (BootLoaderWaits(Line.PortName, BaudrateOf(Line.BaudText))) {
        return RefuseSecondLoader(label);
    }
    if (!FConverter.Open() || !FConverter.ActivateLoader()) {
        return Fail(TUpdateResult::ActivateLoader, label);
    }
    FConverter.Close();
    return TUpdateResult::Success;
}

bool TUpdate::Ask(TQuestionKind kind, const std::string& label, int address, std::int32_t baudrate,
                  const TFoundConverter* found) {
    return Ui.Ask({kind, QuestionText(kind, label, address, baudrate, found), address, baudrate});
}

TUpdate::TNextStep TUpdate::NoAnswer(const std::string& label) {
    const int address = Line.ModbusAddressIndex + 1;
    const std::int32_t baudrate = BaudrateOf(Line.BaudText);
    // A device that answered is there: no boot loader of a converter is to be finished at its
    // address, but the converter may be elsewhere.
    if (const std::uint8_t exception = FConverter.LastException(); exception != 0) {
        Outcome.Detail = NotAConverterText(address, exception);
    } else if (BootLoaderWaits(Line.PortName, baudrate)) {
        return AskToFinishInLoader(label, baudrate) ? TNextStep::Resume : TNextStep::Fail;
    }
    if (!Ask(TQuestionKind::SearchLine, label, address, baudrate)) {
        return TNextStep::Fail;
    }
    const TSearchResult found = Search(label);
    if (found.Cancelled) {
        return TNextStep::End;
    }
    if (found.Converters.size() == 1) {
        const TFoundConverter& converter = found.Converters.front();
        Ui.SelectLine(converter.Address, converter.Baudrate);
        if (!Ask(TQuestionKind::UpdateFound, label, converter.Address, converter.Baudrate,
                 &converter)) {
            return TNextStep::Back;
        }
        SwitchLine(converter.Address, converter.Baudrate);
        return TNextStep::Connect;
    }
    if (found.Converters.size() > 1) {
        // Nothing is updated without the user's choice.
        if (!Ui.Ask(
                {TQuestionKind::UpdateAllFound, FoundListText(found, label), address, baudrate})) {
            return TNextStep::Back;
        }
        Found = found.Converters;
        return TNextStep::UpdateAll;
    }
    if (found.LoaderBaudrates.empty() && !found.Foreign.empty()) {
        // Devices of other kinds only: nothing to offer, but the user learns what is there.
        Ui.ShowMessage(FoundListText(found, label));
        return TNextStep::Fail;
    }
    if (!found.LoaderBaudrates.empty()) {
        const std::int32_t loaderBaudrate = found.LoaderBaudrates.front();
        if (!AskToFinishInLoader(label, loaderBaudrate)) {
            return TNextStep::Fail;
        }
        Ui.SelectLine(address, loaderBaudrate);
        SwitchLine(address, loaderBaudrate);
        return TNextStep::Resume;
    }
    return TNextStep::Fail;
}

bool TUpdate::AskToFinishInLoader(const std::string& label, std::int32_t baudrate) {
    if (!Ask(TQuestionKind::FinishInLoader, label, Line.ModbusAddressIndex + 1, baudrate)) {
        return false;
    }
    // From here on the update is a resumed one: no Modbus before the download.
    Line.Resume = true;
    return true;
}

TSearchResult TUpdate::Search(const std::string& label) {
    // The sweep on the progress page: the bar over all of it, the read under way as activity.
    struct TSearchView : TSearchProgress {
        TUpdateUi& Ui;
        const std::string& Label;
        TSearchView(TUpdateUi& ui, const std::string& label) : Ui(ui), Label(label) {}
        void SearchStep(int done, int total, std::int32_t baudrate, int address) override {
            Ui.ShowSearchProgress(done, total);
            const std::string where =
                address == 0 ? "boot loader" : "address " + std::to_string(address);
            Ui.ShowActivity("Searching " + Label + ": " + std::to_string(baudrate) + " baud, " +
                            where + "...");
            Ui.ProcessMessages();
        }
        bool SearchCancelled() override { return Ui.EndRequested(); }
    } view(Ui, label);
    return SearchLine(Line.PortName, SearchOrder(BaudrateOf(Line.BaudText)), &view);
}

void TUpdate::SwitchLine(int address, std::int32_t baudrate) {
    Line.ModbusAddressIndex = address - 1;
    Line.BaudText = std::to_string(baudrate);
    FConverter.SetAddress(static_cast<std::uint8_t>(address));
    FConverter.SetBaudrate(baudrate);
    FLoader.SetBaudrate(baudrate);
}

TUpdateResult TUpdate::EndQuietly(const std::string& label) {
    Report(TUpdateResult::Connect, label);
    FConverter.Close();
    FLoader.Close();
    return TUpdateResult::Connect;
}

TUpdateResult TUpdate::RefuseSecondLoader(const std::string& label) {
    Report(TUpdateResult::LoaderWaiting, label);
    FConverter.Close();
    FLoader.Close();
    Ui.RefuseSecondLoader(SecondLoaderText(label));
    return TUpdateResult::LoaderWaiting;
}

TUpdateResult TUpdate::UpdateAllFound(const std::string& label) {
    FConverter.Close();
    FLoader.Close();
    TLineUpdate all(FConverter, FLoader, Ui);
    all.SetLoaderObservers(Messages, Steps);
    all.SetOutcomeHandler(OnOutcome);
    const TLineRun run = all.UpdateAll(Line, Found);
    Ui.ShowMessage(TLineUpdate::ResultsText(run, label));
    if (run.LoaderWaiting) {
        Ui.BackToSettings();
    } else if (run.AllUpdated()) {
        Ui.EnableButtons(false, true);
        Show("Firmware loaded successfully!");
    } else {
        Ui.Terminate();
    }
    return run.Result();
}

bool TUpdate::WriteDownloadRecord(const TUpdateInputs& inputs) {
    if (!FConverter.Connect()) {
        return false;
    }
    Outcome.VersionAfter = static_cast<std::uint16_t>(FConverter.GetVersion());
    if (!FConverter.ReadRecords()) {
        return false;
    }
    const auto slot =
        static_cast<std::uint16_t>(FConverter.RecordCount() % TConverter::RecordCapacity);
    TConvInfoItem& record = FConverter.Record(slot);
    if (slot == 0 && inputs.FirstTime) {
        record.SetId1(Id1Of(inputs.Id1Text));
        record.SetId2(Id2Of(inputs.Id2Text));
    } else {
        const TConvInfoItem& previous = FConverter.Record(static_cast<std::uint16_t>(
            (slot + TConverter::RecordCapacity - 1) % TConverter::RecordCapacity));
        if (previous.Version == FConverter.GetVersion()) {
            return true;
        }
        record.SetId1(previous.Id1);
        record.SetId2(previous.Id2);
    }
    record.SetDate(Today());
    record.SetUser(inputs.User);
    record.SetVersion(static_cast<std::uint16_t>(FConverter.GetVersion()));
    return FConverter.WriteRecord(slot);
}

void TUpdate::FillInfoList() {
    Ui.SuspendHistory();
    // The count is asked again for every row: it is the converter object's answer, not ours.
    for (std::int32_t i = 0; i < FConverter.RecordCount(); ++i) {
        Ui.AddHistoryRow(HistoryRow(i, FConverter.Record(static_cast<std::uint16_t>(i))));
    }
    Ui.ResumeHistory();
    Ui.ProcessMessages();
}

std::string TUpdate::FailureText(TUpdateResult result, const std::string& portName) {
    switch (result) {
    case TUpdateResult::Success:
        return {};
    case TUpdateResult::HexFile:
        return "Error in hex file.\nProgramm terminated!";
    case TUpdateResult::Connect:
        return "Couldn't connect to converter via " + portName + "!\nProgram terminated!";
    case TUpdateResult::VersionTooOld:
        return "Firmware update is not possible with this converter version!\n"
               "Application terminated!";
    case TUpdateResult::WrongType:
        return "Application can't be loaded into this converter type!\nApplication terminated!";
    case TUpdateResult::ActivateLoader:
        return "Couldn't activate loader!\nApplication terminated!";
    case TUpdateResult::OpenLoaderPort:
        return "Couldn't open " + portName + "!\nProgram terminated!";
    case TUpdateResult::Download:
        return "Download failed!\nProgram terminated!";
    case TUpdateResult::StartApplication:
    case TUpdateResult::WriteRecord:
        return "Starting Application failed!\nProgram terminated!";
    case TUpdateResult::LoaderWaiting:
        return "A converter's boot loader is already waiting on " + portName +
               " (its update was broken off).";
    }
    return {};
}

std::string TUpdate::QuestionText(TQuestionKind kind, const std::string& portName, int address,
                                  std::int32_t baudrate, const TFoundConverter* found) {
    switch (kind) {
    case TQuestionKind::FinishInLoader:
        return "The converter's boot loader is waiting (no application runs).\n\n"
               "Finish the update now?";
    case TQuestionKind::SearchLine:
        return "No converter answers at address " + std::to_string(address) + " with " +
               std::to_string(baudrate) + " baud on " + portName + ".\n\nSearch " + portName +
               " for converters at every address and baud rate?";
    case TQuestionKind::UpdateAllFound: // its text lists what was found
        break;
    case TQuestionKind::UpdateFound:
        if (found == nullptr) {
            break;
        }
        return "Found a converter at address " + std::to_string(address) + " with " +
               std::to_string(baudrate) + " baud (type " + std::to_string(found->Type) +
               ", subtype " + std::to_string(found->SubType) + ", version " +
               FormatVersion(found->Version) + ").\n\nUpdate it now?";
    }
    return {};
}

std::string TUpdate::SecondLoaderText(const std::string& portName) {
    return FailureText(TUpdateResult::LoaderWaiting, portName) +
           "\n\nStarting a second one would leave both unusable. Choose the address of the "
           "converter that no longer answers and continue to finish it first.";
}

std::string TUpdate::ExceptionText(std::uint8_t exception) {
    return "(exception " + std::to_string(exception) + ": " + ExceptionName(exception) + ")";
}

std::string TUpdate::NotAConverterText(int address, std::uint8_t exception) {
    return "A Modbus device answers at address " + std::to_string(address) +
           ", but it is not a converter " + ExceptionText(exception) + ".";
}

std::string TUpdate::ForeignDeviceText(std::uint8_t exception) {
    return "a Modbus device that is not a converter " + ExceptionText(exception);
}

std::string TUpdate::FoundText(const TFoundConverter& found) {
    return "Address " + std::to_string(found.Address) + " with " + std::to_string(found.Baudrate) +
           " baud (type " + std::to_string(found.Type) + ", subtype " +
           std::to_string(found.SubType) + ", version " + FormatVersion(found.Version) + ")";
}

std::string TUpdate::FoundListText(const TSearchResult& found, const std::string& portName) {
    std::string text = "Found on " + portName + ":";
    for (const TFoundConverter& converter : found.Converters) {
        text += '\n';
        text += FoundText(converter);
    }
    for (const TForeignDevice& device : found.Foreign) {
        text += "\nAddress ";
        text += std::to_string(device.Address);
        text += " with ";
        text += std::to_string(device.Baudrate);
        text += " baud: ";
        text += ForeignDeviceText(device.Exception);
    }
    for (const std::int32_t baudrate : found.LoaderBaudrates) {
        text += "\nA boot loader waiting at ";
        text += std::to_string(baudrate);
        text += " baud";
    }
    text += found.Converters.empty() ? "\n\nNone of them is a converter."
                                     : "\n\nUpdate all " + std::to_string(found.Converters.size()) +
                                           " converters now, one after another?";
    return text;
}

std::int32_t TUpdate::BaudrateOf(const std::string& text) {
    return DecimalOr(text, DefaultBaudrate);
}

std::uint16_t TUpdate::Id1Of(const std::string& text) {
    // The record keeps 16 bits of the label's first line.
    return static_cast<std::uint16_t>(DecimalOr(Trimmed(text), 0));
}

std::int32_t TUpdate::Id2Of(const std::string& text) {
    return DecimalOr(Trimmed(text), 0);
}

std::string Trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(' ');
    if (first == std::string::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(' ');
    return text.substr(first, last - first + 1);
}

std::vector<std::string> HistoryRow(int index, const TConvInfoItem& record) {
    return {std::to_string(index + 1), FormatDate(record.Date), record.User,
            std::to_string(record.Id1) + "-" + std::to_string(record.Id2),
            FormatVersion(record.Version)};
}

std::string FormatDate(std::chrono::year_month_day date) {
    char text[16];
    std::snprintf(text, sizeof text, "%02u.%02u.%04d", static_cast<unsigned>(date.day()),
                  static_cast<unsigned>(date.month()), static_cast<int>(date.year()));
    return text;
}

std::string FormatVersion(std::uint16_t version) {
    return std::to_string(version >> 12) + "." + std::to_string((version >> 8) & 0xF) + "." +
           std::to_string(version & 0xFF);
}
