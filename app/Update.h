#pragma once

#include "app/LineSearch.h"
#include "converter/Converter.h"
#include "loader/DownloadSteps.h"
#include "loader/Loader.h"
#include "loader/MessageList.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

// What the update may ask the user when the converter does not answer.
enum class TQuestionKind {
    FinishInLoader, // a boot loader waits: finish the update in it?
    SearchLine,     // nothing answers: search every address and baud rate?
    UpdateFound,    // the search found one converter: update it?
    UpdateAllFound  // the search found several: update them all, one after another?
};

struct TQuestion {
    TQuestionKind Kind = TQuestionKind::SearchLine;
    std::string Text;          // as the window asks it
    int Address = 0;           // the converter's address the question is about
    std::int32_t Baudrate = 0; // and the baud rate
};

// What the front end offers the update: the same services the window gives it.
class TUpdateUi {
public:
    virtual ~TUpdateUi() = default;
    virtual void EnableButtons(bool continueEnabled, bool exitEnabled) = 0;
    virtual void ShowActivity(const std::string& text) = 0; // paints before returning
    virtual void ShowMessage(const std::string& text) = 0;  // modal; returns after OK
    virtual void Terminate() = 0;                           // ends the program after the handler
    virtual void ProcessMessages() = 0;
    virtual void SuspendHistory() = 0; // stop repainting the history list and empty it
    // One row in the column order Nr, Date, User, ID, Version.
    virtual void AddHistoryRow(const std::vector<std::string>& row) = 0;
    virtual void ResumeHistory() = 0;
    // Yes or No; true for Yes.
    virtual bool Ask(const TQuestion& question) = 0;

    // Only a front end that answers yes to a search sees these. The search's bar: done of total.
    virtual void ShowSearchProgress(int /*done*/, int /*total*/) {}
    // The user asked the program to end (the close box): a search stops at its next read.
    virtual bool EndRequested() { return false; }
    // The address and baud rate the next update takes from the page (the settings file keeps
    // the baud rate).
    virtual void SelectLine(int /*address*/, std::int32_t /*baudrate*/) {}
    // The update ended without a failure box: back to the page where the user chooses.
    virtual void BackToSettings() {}
    // A boot loader already waits on the line, so this converter's was not started: the text
    // says what to do, and the user chooses on the page again.
    virtual void RefuseSecondLoader(const std::string& text) {
        ShowMessage(text);
        BackToSettings();
    }
};

// The user's initials where no one has entered others.
inline constexpr const char* DefaultUser = "QX";

// The inputs read from the pages when the update starts.
struct TUpdateInputs {
    std::string PortName;   // "COM3"
    std::string PortLabel;  // how failure texts name the port; empty: PortName
    std::string BaudText;   // "19200"
    int ProcessorIndex = 0; // -1 when nothing is selected
    bool FirstTime = false;
    // The boot loader already waits (a download broken off): no Modbus before the download,
    // the record phase at the converter's own address and baud rate.
    bool Resume = false;
    int ModbusAddressIndex = -1; // list index; the address is index + 1
    std::string User = DefaultUser;
    std::string Id1Text; // the two lines of the device's ID label
    std::string Id2Text;
};

// How an update ended; the values are the command line's exit codes.
enum class TUpdateResult : int {
    Success = 0,
    HexFile = 11,          // F1
    Connect = 12,          // F2
    VersionTooOld = 13,    // F3
    WrongType = 14,        // F4
    ActivateLoader = 15,   // F5
    OpenLoaderPort = 16,   // F6
    Download = 17,         // F7
    StartApplication = 18, // F8
    WriteRecord = 19,      // F9
    LoaderWaiting = 23,    // another converter's boot loader waits on the line: not activated
};

// What one update did, as the service log keeps it.
struct TUpdateOutcome {
    TUpdateResult Result = TUpdateResult::Success;
    std::string Message; // the failure text shown; empty on success
    // The loader's last message when the download failed; for a connect failure, what
    // answered instead of a converter.
    std::string Detail;
    std::optional<std::uint16_t> Type;
    std::optional<std::uint16_t> SubType;
    std::optional<std::uint16_t> VersionBefore; // what the application reported before
    std::optional<std::uint16_t> VersionAfter;  // what the new application reports
    double Seconds = 0;
    // The image's bytes after a whole download; else those of the pages written and verified.
    std::int64_t Bytes = 0;
};
// Told the inputs as the update ended with them: a search may have changed the address, the
// baud rate and the mode.
using TOutcomeHandler = std::function<void(const TUpdateInputs&, const TUpdateOutcome&)>;

inline constexpr std::uint16_t AcceptedConverterType = 0;
inline constexpr std::uint16_t AcceptedConverterSubType = 0;
inline constexpr std::uint16_t MinimumConverterVersion = 0x2100;
inline constexpr std::uint8_t FirstTimeAddress = 255;
inline constexpr std::int32_t FirstTimeBaudrate = 19200;
inline constexpr std::chrono::milliseconds StartPause{200};
inline constexpr const char* FirmwareResource = "HEX_FILE";

// The whole firmware update on the two device objects that the front end owns.
class TUpdate {
public:
    TUpdate(TConverter& converter, THexLoader& loader, TUpdateUi& ui);

    // The front end's own observers of the loader: the update keeps itself between them and
    // the loader while it runs, to learn what the service log needs.
    void SetLoaderObservers(TMessageList* messages, TDownloadSteps* steps);
    // Told once the update has ended, before a failure is shown.
    void SetOutcomeHandler(TOutcomeHandler handler) { OnOutcome = std::move(handler); }

    // One whole update. A failure shows its text, terminates the front end and releases the
    // port before it returns. Throws std::out_of_range when the Modbus address index is not
    // 0..254 on an update that needs it. When the converter does not answer, the update asks
    // whether to finish in a waiting boot loader, or to search the line (see NoAnswer).
    TUpdateResult Run(const TUpdateInputs& inputs);
    bool WriteDownloadRecord(const TUpdateInputs& inputs);
    void FillInfoList();

    // "F" texts by result; empty for Success.
    static std::string FailureText(TUpdateResult result, const std::string& portName);
    static std::string QuestionText(TQuestionKind kind, const std::string& portName, int address,
                                    std::int32_t baudrate, const TFoundConverter* found = nullptr);
    // The box when a second boot loader was refused: FailureText's sentence and what to do.
    static std::string SecondLoaderText(const std::string& portName);
    // What a device that refused the identification read with a Modbus exception is.
    static std::string NotAConverterText(int address, std::uint8_t exception);
    // "a Modbus device that is not a converter (exception 2: illegal data address)"
    static std::string ForeignDeviceText(std::uint8_t exception);
    static std::string ExceptionText(std::uint8_t exception); // "(exception 2: ...)"
    // One line for a converter the search found; the box that lists what it found, which asks
    // to update several converters and says so when there is none.
    static std::string FoundText(const TFoundConverter& found);
    static std::string FoundListText(const TSearchResult& found, const std::string& portName);

    // How the inputs' texts are read: the baud rate as a decimal number (19200 when it is
    // none), the two ID lines trimmed and decimal (0 when they are none); the first line
    // keeps its low 16 bits.
    static std::int32_t BaudrateOf(const std::string& text);
    static std::uint16_t Id1Of(const std::string& text);
    static std::int32_t Id2Of(const std::string& text);

private:
    // What is to happen after the converter did not answer at the page's address.
    enum class TNextStep { Fail, Resume, Connect, Back, End, UpdateAll };

    void Show(const std::string& activity); // the activity text, painted
    TUpdateResult Fail(TUpdateResult result, const std::string& portName);
    void Report(TUpdateResult result, const std::string& portName);
    // The identified converter's checks, then the activation of its boot loader.
    TUpdateResult CheckAndActivate(const std::string& label);
    bool Ask(TQuestionKind kind, const std::string& label, int address, std::int32_t baudrate,
             const TFoundConverter* found = nullptr);
    // The questions and the search; switches Line and the objects to what was chosen.
    TNextStep NoAnswer(const std::string& label);
    bool AskToFinishInLoader(const std::string& label, std::int32_t baudrate);
    TSearchResult Search(const std::string& label);
    void SwitchLine(int address, std::int32_t baudrate);
    // Ends the update with a connect failure that is not shown: the user chose otherwise.
    TUpdateResult EndQuietly(const std::string& label);
    // Stops before the activation when a boot loader already waits on the line.
    TUpdateResult RefuseSecondLoader(const std::string& label);
    // The converters the search found, each updated in turn; the box of their results.
    TUpdateResult UpdateAllFound(const std::string& label);

    TConverter& FConverter;
    THexLoader& FLoader;
    TUpdateUi& Ui;
    TMessageList* Messages = nullptr;
    TDownloadSteps* Steps = nullptr;
    TOutcomeHandler OnOutcome;
    TUpdateOutcome Outcome;
    TUpdateInputs Line; // the inputs as the update goes on
    std::chrono::steady_clock::time_point Started{};
    std::string LastLoaderMessage;
    std::int64_t VerifiedBytes = 0;
    std::vector<TFoundConverter> Found; // what the search found, for UpdateAllFound
};

// The text without blanks at either end, as the entries are measured and read.
std::string Trimmed(const std::string& text);

// History list columns of one record.
std::vector<std::string> HistoryRow(int index, const TConvInfoItem& record);
std::string FormatDate(std::chrono::year_month_day date); // dd.mm.yyyy
std::string FormatVersion(std::uint16_t version);         // major.minor.build
