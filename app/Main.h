#pragma once

#include "app/Wizard.h"
#include "ui_Main.h"

#include <QApplication>
#include <QDialog>
#include <QRegularExpressionValidator>
#include <QValidator>
#include <memory>
#include <string>

class QComboBox;
class QLineEdit;
class QProgressBar;
class QSocketNotifier;

// The application object with the standard exception display: an exception that escapes an
// event handler is shown in a message box and the program goes on.
// A request to end the program from outside (SIGTERM, SIGINT, SIGHUP: a logout, a service
// manager, Ctrl+C) closes the main window as its close box does, so the settings are kept.
class TApplication : public QApplication {
public:
    TApplication(int& argc, char** argv);
    ~TApplication() override;

    bool notify(QObject* receiver, QEvent* event) override;

    // Shows the exception in flight; only inside a catch block.
    static void HandleException();

    // Main window, message loop, end of the window; any exception that gets this far is
    // shown the same way. Returns 0. An empty path takes the program's own settings file.
    int Run(const std::string& settingsFile = {});

private:
    void CloseOnRequest();

    std::unique_ptr<QSocketNotifier> Termination;
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

// The widgets of the layout, built before the wizard looks at them.
class TwinMainForm : public QDialog, public Ui::winMain {
public:
    TwinMainForm();
};

// The wizard drawn by Qt: device page (not shown in a run), communication page, progress page.
// The wizard core decides; this window shows what it decides and reports what its widgets hold.
class TwinMain : public TwinMainForm, private TWizardView {
    Q_OBJECT

public:
    static constexpr int PageKova = TWizard::PageKova;
    static constexpr int PageComm = TWizard::PageComm;
    static constexpr int PageProgress = TWizard::PageProgress;

    // An empty settings path means the place DefaultSettingsFile gives for this program.
    explicit TwinMain(const std::string& settingsFile = {});
    ~TwinMain() override;

    void LoadSettings() { FWizard.LoadSettings(); }
    void SaveSettings() { FWizard.SaveSettings(); }
    bool WriteDownloadRecord() { return FWizard.WriteDownloadRecord(); }
    void FillInfoList() { FWizard.FillInfoList(); }

    void btnContinueClick() { FWizard.btnContinueClick(); }
    void btnExitClick() { FWizard.btnExitClick(); }
    void PagesChanging(bool& allowChange) { FWizard.PagesChanging(allowChange); }
    void chkInitialClick() { FWizard.chkInitialClick(); }
    void tsCommShow() { FWizard.tsCommShow(); }
    void tsProgressShow() { FWizard.tsProgressShow(); }
    // Saves the settings, then releases the converter before the loader. Runs once the
    // message loop has ended.
    void FormDestroy() { FWizard.FormDestroy(); }

    const std::string& SettingsFile() const { return FWizard.SettingsFile(); }
    bool Updating() const { return FWizard.Updating(); }
    // The program was told to end (failed update, Exit, close box).
    bool Terminated() const { return FWizard.Terminated(); }

protected:
    void closeEvent(QCloseEvent* event) override;
    void reject() override; // Escape does not close the wizard

private:
    QComboBox& List(TWizardList list) const;
    QLineEdit& Edit(TWizardEdit edit) const;

    // TWizardView
    void AddItem(TWizardList list, const std::string& text) override;
    int ItemCount(TWizardList list) const override;
    int ItemIndex(TWizardList list) const override;
    void SetItemIndex(TWizardList list, int index) override;
    std::string ItemText(TWizardList list) const override;
    std::string Text(TWizardEdit edit) const override;
    void SetText(TWizardEdit edit, const std::string& text) override;
    bool InitialChecked() const override;
    void SetInitialChecked(bool checked) override;
    void Enable(TWizardControl control, bool enabled) override;
    int CurrentPage() const override;
    void SetCurrentPage(int page) override;
    void CloseWindow() override;
    TProgressBar& ProgressBar() override;
    void EnableButtons(bool continueEnabled, bool exitEnabled) override;
    void ShowActivity(const std::string& text) override;
    void ShowMessage(const std::string& text) override;
    bool AskQuestion(const std::string& text) override;
    void ProcessMessages() override;
    void SuspendHistory() override;
    void AddHistoryRow(const std::vector<std::string>& row) override;
    void ResumeHistory() override;

    TUpperCaseValidator FUserValidator;
    QRegularExpressionValidator FId1Validator;
    QRegularExpressionValidator FId2Validator;
    TQtProgressBar FProgressBar; // outlives the loader that points at it
    TWizard FWizard;

public:
    // The device objects, owned by the wizard; between construction and FormDestroy both exist.
    std::unique_ptr<TConverter>& FConverter = FWizard.FConverter;
    std::unique_ptr<THexLoader>& FLoader = FWizard.FLoader;
};
