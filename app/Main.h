#pragma once

#include "app/Update.h"
#include "converter/Converter.h"
#include "loader/Loader.h"
#include "loader/ProgressBar.h"
#include "ui_Main.h"

#include <QApplication>
#include <QDialog>
#include <QRegularExpressionValidator>
#include <QValidator>
#include <memory>
#include <string>

class QProgressBar;

inline constexpr const char* ApplicationTitle = "Firmware Loader";
inline constexpr int DefaultProcessorIndex = 0;
inline constexpr int PortCount = 255; // COM1..COM255 and Modbus addresses 1..255

// The application object with the standard exception display: an exception that escapes an
// event handler is shown in a message box and the program goes on.
class TApplication : public QApplication {
public:
    TApplication(int& argc, char** argv);

    bool notify(QObject* receiver, QEvent* event) override;

    // Shows the exception in flight; only inside a catch block.
    static void HandleException();

    // Main window, message loop, end of the window; any exception that gets this far is
    // shown the same way. Returns 0. An empty path puts the settings file beside the program.
    int Run(const std::string& settingsFile = {});
};

// The window's progress bar as the loader drives it.
class TQtProgressBar : public TProgressBar {
public:
    explicit TQtProgressBar(QProgressBar& bar) : Bar(bar) {}
    void SetRange(int minimum, int maximum) override;
    void SetPosition(int position) override;

private:
    QProgressBar& Bar;
};

// Upper-cases what is typed; the field's length limit does the rest.
class TUpperCaseValidator : public QValidator {
public:
    State validate(QString& input, int& position) const override;
};

// The wizard: device page (not shown in a run), communication page, progress page.
class TwinMain : public QDialog, public Ui::winMain, private TUpdateUi {
    Q_OBJECT

public:
    // Page indices in page order.
    static constexpr int PageKova = 0;
    static constexpr int PageComm = 1;
    static constexpr int PageProgress = 2;

    // An empty settings path means the executable's path with the extension ".ini".
    explicit TwinMain(const std::string& settingsFile = {});
    ~TwinMain() override;

    void LoadSettings();
    void SaveSettings();
    bool WriteDownloadRecord();
    void FillInfoList();

    void btnContinueClick();
    void btnExitClick();
    void PagesChanging(bool& allowChange);
    void chkInitialClick();
    void tsCommShow();
    void tsProgressShow();
    // Saves the settings, then releases the converter before the loader. Runs once the
    // message loop has ended.
    void FormDestroy();

    const std::string& SettingsFile() const { return FSettingsFile; }
    bool Updating() const { return FUpdating; }
    // The program was told to end (failed update, Exit, close box).
    bool Terminated() const { return FTerminated; }

protected:
    void closeEvent(QCloseEvent* event) override;
    void reject() override; // Escape does not close the wizard

private:
    TUpdateInputs Inputs() const;
    void ActivatePage(int index); // makes the page current and runs its show handler
    void EndProgram();            // closing the main window ends the message loop

    // TUpdateUi
    void EnableButtons(bool continueEnabled, bool exitEnabled) override;
    void ShowActivity(const std::string& text) override;
    void ShowMessage(const std::string& text) override;
    void Terminate() override; // takes effect when the running handler has returned
    void ProcessMessages() override;
    void SuspendHistory() override;
    void AddHistoryRow(const std::vector<std::string>& row) override;
    void ResumeHistory() override;

    std::string FSettingsFile;
    TUpperCaseValidator FUserValidator;
    QRegularExpressionValidator FId1Validator;
    QRegularExpressionValidator FId2Validator;
    std::unique_ptr<TQtProgressBar> FProgressBar; // outlives the loader that points at it

public:
    // The device objects; between construction and FormDestroy both exist.
    std::unique_ptr<TConverter> FConverter;
    std::unique_ptr<THexLoader> FLoader;

private:
    bool FUpdating = false;
    bool FCloseRequested = false;
    bool FTerminateRequested = false;
    bool FTerminated = false;
};
