#pragma once

#include "app/Update.h"
#include "converter/Converter.h"
#include "loader/Loader.h"
#include "loader/ProgressBar.h"

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

inline constexpr const char* ApplicationTitle = "Firmware Loader";
inline constexpr int DefaultProcessorIndex = 0;
inline constexpr int PortCount = 255; // COM1..COM255 and Modbus addresses 1..255

// The baud rates of the communication page, in list order; the settings file stores the index.
inline constexpr const char* BaudrateItems[] = {"9600", "19200", "38400", "57600"};

// The device page's entry rules and texts, which the command line applies to the same entries.
inline constexpr std::size_t UserLength = 2;
inline constexpr std::size_t Id1MinDigits = 4;
inline constexpr std::size_t Id1MaxDigits = 6; // the two lines of the device's ID label
inline constexpr std::size_t Id2MaxDigits = 8;
inline constexpr const char* ProcessorCheckText = "Please choose a Processor!";
inline constexpr const char* UserCheckText = "Please enter a valid user!";
inline constexpr const char* Id1CheckText = "Please enter the 1. line of the Print Talvex ID!";
inline constexpr const char* Id2CheckText = "Please enter the 2. line of the Print Talvex ID!";

// The device page's checks in their order: the first failing one's text, else empty.
std::string DevicePageCheck(int processorIndex, const std::string& user, bool initial,
                            const std::string& id1, const std::string& id2);

// The wizard's drop-down lists, edits and the controls it switches on and off.
enum class TWizardList { Processor, ComPort, Baudrate, ModbusAdr };
enum class TWizardEdit { User, Id1, Id2 };
enum class TWizardControl { ModbusAdr, Id1, Id2 };

// What a window does for the wizard: it reports what its widgets hold and draws what the wizard
// decides. None of these calls runs a handler of the wizard; the wizard runs its own.
class TWizardView {
public:
    virtual ~TWizardView() = default;

    virtual void AddItem(TWizardList list, const std::string& text) = 0;
    virtual int ItemCount(TWizardList list) const = 0;
    virtual int ItemIndex(TWizardList list) const = 0; // -1: nothing selected
    // -1 selects nothing; other indices are in the list.
    virtual void SetItemIndex(TWizardList list, int index) = 0;
    virtual std::string ItemText(TWizardList list) const = 0; // empty when nothing is selected

    virtual std::string Text(TWizardEdit edit) const = 0;
    virtual void SetText(TWizardEdit edit, const std::string& text) = 0;
    virtual bool InitialChecked() const = 0;
    virtual void SetInitialChecked(bool checked) = 0;
    virtual void Enable(TWizardControl control, bool enabled) = 0;

    virtual int CurrentPage() const = 0;
    virtual void SetCurrentPage(int page) = 0;
    // Ends the message loop as the close box would; the window asks CloseBox first.
    virtual void CloseWindow() = 0;

    virtual TProgressBar& ProgressBar() = 0;

    // The update's services (as TUpdateUi names them).
    virtual void EnableButtons(bool continueEnabled, bool exitEnabled) = 0;
    virtual void ShowActivity(const std::string& text) = 0; // paints before returning
    virtual void ShowMessage(const std::string& text) = 0;  // modal, OK; returns after OK
    // Modal with Yes and No; true for Yes.
    virtual bool AskQuestion(const std::string& text) = 0;
    virtual void ProcessMessages() = 0;
    virtual void SuspendHistory() = 0;
    virtual void AddHistoryRow(const std::vector<std::string>& row) = 0;
    virtual void ResumeHistory() = 0;
};

// Everything the main window decides, free of any toolkit: the order in which it is built, the
// page checks, the handlers' rules, the settings file and the update. Each window builds its
// widgets, then this, and hands its events to the handlers of the same names.
class TWizard : private TUpdateUi {
public:
    // Page indices in page order.
    static constexpr int PageKova = 0;
    static constexpr int PageComm = 1;
    static constexpr int PageProgress = 2;

    // The view's widgets exist and stay until this is gone. Creates the device objects, fills
    // the lists, reads the settings file, forces the device page's defaults and shows tsComm.
    TWizard(TWizardView& view, std::string settingsFile);
    ~TWizard() override;
    TWizard(const TWizard&) = delete;
    TWizard& operator=(const TWizard&) = delete;

    void LoadSettings();
    void SaveSettings(); // throws std::runtime_error naming the file when it cannot be written
    bool WriteDownloadRecord();
    void FillInfoList();

    void btnContinueClick();
    void btnExitClick();
    void PagesChanging(bool& allowChange);
    void chkInitialClick();
    void tsCommShow();
    void tsProgressShow();
    // Saves the settings, then releases the converter before the loader.
    void FormDestroy();

    // The close box: true when the window may close now. During the update it only takes
    // note, and the program ends once the update has returned.
    bool CloseBox();

    const std::string& SettingsFile() const { return FSettingsFile; }
    bool Updating() const { return FUpdating; }
    // The program was told to end (failed update, Exit, close box).
    bool Terminated() const { return FTerminated; }

    // The device objects; between construction and FormDestroy both exist.
    std::unique_ptr<TConverter> FConverter;
    std::unique_ptr<THexLoader> FLoader;

private:
    TUpdateInputs Inputs() const;
    void ActivatePage(int page); // makes the page current and runs its show handler
    void SelectIndex(TWizardList list, int index);

    // TUpdateUi: drawing goes to the view; termination is the wizard's to carry out.
    void EnableButtons(bool continueEnabled, bool exitEnabled) override;
    void ShowActivity(const std::string& text) override;
    void ShowMessage(const std::string& text) override;
    void Terminate() override;
    void ProcessMessages() override;
    void SuspendHistory() override;
    void AddHistoryRow(const std::vector<std::string>& row) override;
    void ResumeHistory() override;
    bool Ask(const TQuestion& question) override;
    void ShowSearchProgress(int done, int total) override;
    bool EndRequested() override;
    void SelectLine(int address, std::int32_t baudrate) override;
    void BackToSettings() override;

    TWizardView& View;
    std::string FSettingsFile;
    bool FUpdating = false;
    bool FCloseRequested = false;
    bool FTerminateRequested = false;
    bool FTerminated = false;
    bool FBackToSettings = false; // the update ended for the user to choose again
};
