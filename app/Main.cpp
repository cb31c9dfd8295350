#include "app/Main.h"

#include "app/Settings.h"
#include "link/MessagePump.h"

#include <QCloseEvent>
#include <QMessageBox>
#include <QProgressBar>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <QTreeWidgetItem>
#include <csignal>
#include <exception>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace {

// The dialog font of the layout.
constexpr const char* LayoutFont = "MS Sans Serif";

// Column widths of the history list: Nr, Date, User, ID, Version.
constexpr int HistoryColumnWidths[] = {30, 70, 50, 60, 60};

QString QText(const std::string& text) {
    return QString::fromStdString(text);
}

// Signals only write a byte here; the message loop reads it and closes the window.
int TerminationPipe[2] = {-1, -1};
constexpr int TerminationSignals[] = {SIGTERM, SIGINT, SIGHUP};

extern "C" void OnTerminationSignal(int /*signal*/) {
    const char byte = 1;
    (void)!::write(TerminationPipe[1], &byte, 1);
}

void ShowModal(QWidget* parent, QMessageBox::Icon icon, const QString& text) {
    QMessageBox box(icon, QGuiApplication::applicationDisplayName(), text, QMessageBox::Ok, parent);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

} // namespace

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {
    if (TerminationPipe[0] < 0 && ::pipe2(TerminationPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return; // the signals keep their default action
    }
    Termination =
        std::make_unique<QSocketNotifier>(TerminationPipe[0], QSocketNotifier::Read, this);
    connect(Termination.get(), &QSocketNotifier::activated, this, [this] { CloseOnRequest(); });
    struct sigaction action {};
    action.sa_handler = OnTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigset_t requests;
    sigemptyset(&requests);
    for (const int signal : TerminationSignals) {
        ::sigaction(signal, &action, nullptr);
        sigaddset(&requests, signal);
    }
    // A request that came before the handler was in place waits blocked; it is taken now.
    ::pthread_sigmask(SIG_UNBLOCK, &requests, nullptr);
}

TApplication::~TApplication() {
    for (const int signal : TerminationSignals) {
        ::signal(signal, SIG_DFL);
    }
}

void TApplication::CloseOnRequest() {
    char bytes[16];
    while (::read(TerminationPipe[0], bytes, sizeof bytes) > 0) {
    }
    // The close box's way: during an update the window only takes note and ends afterwards.
    for (QWidget* widget : topLevelWidgets()) {
        if (auto* window = qobject_cast<TwinMain*>(widget); window && window->isVisible()) {
            window->close();
        }
    }
}

bool TApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        HandleException();
    }
    return false;
}

void TApplication::HandleException() {
    QString message;
    try {
        throw;
    } catch (const std::exception& error) {
        message = QString::fromStdString(error.what());
    } catch (...) {
        // Anything else is shown as an exception without a message.
    }
    ShowModal(QApplication::activeWindow(), QMessageBox::Critical, message);
}

int TApplication::Run(const std::string& settingsFile) {
    try {
        TwinMain winMain(settingsFile);
        winMain.show();
        exec();
        winMain.FormDestroy();
    } catch (...) {
        HandleException();
    }
    return 0;
}

void TQtProgressBar::SetRange(int minimum, int maximum) {
    Bar.setRange(minimum, maximum);
    Bar.repaint();
}

void TQtProgressBar::SetPosition(int position) {
    Bar.setValue(position);
    Bar.repaint();
}

QValidator::State TUpperCaseValidator::validate(QString& input, int& /*position*/) const {
    // Character by character, so that the length never changes.
    for (QChar& c : input) {
        c = c.toUpper();
    }
    return Acceptable;
}

TwinMainForm::TwinMainForm() {
    // The layout opens on the device page. Where its narrow dialog font is missing, a narrow
    // font keeps the captions in their places.
    QFont::insertSubstitutions(
        LayoutFont, {"Microsoft Sans Serif", "Liberation Sans", "DejaVu Sans Condensed"});
    setupUi(this);
    setFixedSize(size());
    setWindowFlag(Qt::MSWindowsFixedSizeDialogHint);
    for (int column = 0; column < InfoList->columnCount(); ++column) {
        InfoList->setColumnWidth(column, HistoryColumnWidths[column]);
    }
}

TwinMain::TwinMain(const std::string& settingsFile)
    : FId1Validator(QRegularExpression(QStringLiteral("[0-9]{0,%1}").arg(Id1MaxDigits))),
      FId2Validator(QRegularExpression(QStringLiteral("[0-9]{0,%1}").arg(Id2MaxDigits))),
      FProgressBar(*ProgressBar1),
      FWizard(*this,
              settingsFile.empty()
                  ? DefaultSettingsFile(QCoreApplication::applicationFilePath().toStdString())
                  : settingsFile) {
    txtUser->setValidator(&FUserValidator);
    txtHID1->setValidator(&FId1Validator);
    txtHID2->setValidator(&FId2Validator);
    connect(btnContinue, &QPushButton::clicked, this, &TwinMain::btnContinueClick);
    connect(btnExit, &QPushButton::clicked, this, &TwinMain::btnExitClick);
    // Not only clicks: changes made in code switch the ID fields too.
    connect(chkInitial, &QCheckBox::toggled, this, &TwinMain::chkInitialClick);
    // Serial reads wait on this thread; the window repaints and moves meanwhile.
    SetMessageHook([] { QCoreApplication::processEvents(); });
}

TwinMain::~TwinMain() {
    SetMessageHook(nullptr);
}

void TwinMain::closeEvent(QCloseEvent* event) {
    if (FWizard.CloseBox()) {
        event->accept();
    } else {
        event->ignore();
    }
}

void TwinMain::reject() {}

QComboBox& TwinMain::List(TWizardList list) const {
    // The lists the wizard names, in the order of its enumeration.
    static constexpr QComboBox* Ui::winMain::*Lists[] = {
        &Ui::winMain::cmbProcessor, &Ui::winMain::cmbComPort, &Ui::winMain::cmbBaudrate,
        &Ui::winMain::cmbModbusAdr};
    return *(this->*Lists[static_cast<std::size_t>(list)]);
}

QLineEdit& TwinMain::Edit(TWizardEdit edit) const {
    static constexpr QLineEdit* Ui::winMain::*Edits[] = {
        &Ui::winMain::txtUser, &Ui::winMain::txtHID1, &Ui::winMain::txtHID2};
    return *(this->*Edits[static_cast<std::size_t>(edit)]);
}

void TwinMain::AddItem(TWizardList list, const std::string& text) {
    List(list).addItem(QText(text));
}

int TwinMain::ItemCount(TWizardList list) const {
    return List(list).count();
}

int TwinMain::ItemIndex(TWizardList list) const {
    return List(list).currentIndex();
}

void TwinMain::SetItemIndex(TWizardList list, int index) {
    List(list).setCurrentIndex(index);
}

std::string TwinMain::ItemText(TWizardList list) const {
    return List(list).currentText().toStdString();
}

std::string TwinMain::Text(TWizardEdit edit) const {
    return Edit(edit).text().toStdString();
}

void TwinMain::SetText(TWizardEdit edit, const std::string& text) {
    Edit(edit).setText(QText(text));
}

bool TwinMain::InitialChecked() const {
    return chkInitial->isChecked();
}

void TwinMain::SetInitialChecked(bool checked) {
    const QSignalBlocker quiet(chkInitial); // the wizard runs its click handler itself
    chkInitial->setChecked(checked);
}

void TwinMain::Enable(TWizardControl control, bool enabled) {
    QWidget* const controls[] = {cmbModbusAdr, txtHID1, txtHID2}; // in the enumeration's order
    controls[static_cast<std::size_t>(control)]->setEnabled(enabled);
}

int TwinMain::CurrentPage() const {
    return Pages->currentIndex();
}

void TwinMain::SetCurrentPage(int page) {
    Pages->setCurrentIndex(page);
}

void TwinMain::CloseWindow() {
    close(); // through closeEvent, as the close box
}

TProgressBar& TwinMain::ProgressBar() {
    return FProgressBar;
}

void TwinMain::EnableButtons(bool continueEnabled, bool exitEnabled) {
    btnContinue->setEnabled(continueEnabled);
    btnExit->setEnabled(exitEnabled);
}

void TwinMain::ShowActivity(const std::string& text) {
    labActivity->setText(QText(text));
    labActivity->repaint();
}

void TwinMain::ShowMessage(const std::string& text) {
    ShowModal(this, QMessageBox::NoIcon, QText(text));
}

bool TwinMain::AskQuestion(const std::string& text) {
    QMessageBox box(QMessageBox::Question, QGuiApplication::applicationDisplayName(), QText(text),
                    QMessageBox::Yes | QMessageBox::No, this);
    box.setTextFormat(Qt::PlainText);
    box.setDefaultButton(QMessageBox::Yes);
    return box.exec() == QMessageBox::Yes;
}

void TwinMain::ProcessMessages() {
    QCoreApplication::processEvents();
}

void TwinMain::SuspendHistory() {
    InfoList->setUpdatesEnabled(false);
    InfoList->clear();
}

void TwinMain::AddHistoryRow(const std::vector<std::string>& row) {
    QStringList columns;
    for (const std::string& text : row) {
        columns << QText(text);
    }
    auto item = std::make_unique<QTreeWidgetItem>(columns);
    InfoList->addTopLevelItem(item.release()); // the list owns its rows
}

void TwinMain::ResumeHistory() {
    InfoList->setUpdatesEnabled(true);
}
