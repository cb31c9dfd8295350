#include "app/Main.h"

#include "app/Settings.h"
#include "link/MessagePump.h"

#include <QCloseEvent>
#include <QMessageBox>
#include <QProgressBar>
#include <QRegularExpression>
#include <QTreeWidgetItem>
#include <exception>
#include <vector>

namespace {

// The dialog font of the layout.
constexpr const char* LayoutFont = "MS Sans Serif";

// Column widths of the history list: Nr, Date, User, ID, Version.
constexpr int HistoryColumnWidths[] = {30, 70, 50, 60, 60};

// Line format of both device objects: 8 data bits, 1 stop bit, no parity, no flow control.
constexpr std::int32_t LineDataBits = 8;
constexpr std::int32_t LineStopBits = 1;
constexpr std::uint8_t LineParity = 0;
constexpr std::uint8_t LineFlowControl = 0;

void SetLineFormat(TSerialPort& port) {
    port.SetDataBits(LineDataBits);
    port.SetStopBits(LineStopBits);
    port.SetParity(LineParity);
    port.SetFlowControl(LineFlowControl);
}

// A position outside the list selects nothing.
void SelectIndex(QComboBox& list, int index) {
    list.setCurrentIndex(index >= 0 && index < list.count() ? index : -1);
}

QString Text(const std::string& text) {
    return QString::fromStdString(text);
}

void ShowModal(QWidget* parent, QMessageBox::Icon icon, const QString& text) {
    QMessageBox box(icon, QGuiApplication::applicationDisplayName(), text, QMessageBox::Ok, parent);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

} // namespace

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {}

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

TwinMain::TwinMain(const std::string& settingsFile)
    : FSettingsFile(settingsFile.empty()
                        ? SettingsPath(QCoreApplication::applicationFilePath().toStdString())
                        : settingsFile),
      FId1Validator(QRegularExpression("[0-9]{0,6}")),
      FId2Validator(QRegularExpression("[0-9]{0,8}")) {
    // The layout opens on the device page. Where its narrow dialog font is missing, a narrow
    // font keeps the captions in their places.
    QFont::insertSubstitutions(
        LayoutFont, {"Microsoft Sans Serif", "Liberation Sans", "DejaVu Sans Condensed"});
    setupUi(this);
    setFixedSize(size());
    setWindowFlag(Qt::MSWindowsFixedSizeDialogHint);
    txtUser->setValidator(&FUserValidator);
    txtHID1->setValidator(&FId1Validator);
    txtHID2->setValidator(&FId2Validator);
    for (int column = 0; column < InfoList->columnCount(); ++column) {
        InfoList->setColumnWidth(column, HistoryColumnWidths[column]);
    }
    connect(btnContinue, &QPushButton::clicked, this, &TwinMain::btnContinueClick);
    connect(btnExit, &QPushButton::clicked, this, &TwinMain::btnExitClick);
    // Not only clicks: changes made in code enable the ID fields too.
    connect(chkInitial, &QCheckBox::toggled, this, &TwinMain::chkInitialClick);
    // Serial reads wait on this thread; the window repaints and moves meanwhile.
    SetMessageHook([] { QCoreApplication::processEvents(); });

    FConverter = std::make_unique<TConverter>();
    SetLineFormat(*FConverter);
    FLoader = std::make_unique<THexLoader>();
    SetLineFormat(*FLoader);
    FProgressBar = std::make_unique<TQtProgressBar>(*ProgressBar1);
    FLoader->SetProgressBar(FProgressBar.get());

    for (int n = 1; n <= PortCount; ++n) {
        cmbComPort->addItem(QStringLiteral("COM%1").arg(n));
        cmbModbusAdr->addItem(QString::number(n));
    }
    // Processors, in the loader's table order.
    std::vector<std::string> processors;
    FLoader->GetProcessorNames(processors);
    for (const std::string& name : processors) {
        cmbProcessor->addItem(Text(name));
    }
    // A list starts without a selection; filling it must not choose one.
    for (QComboBox* list : {cmbProcessor, cmbComPort, cmbBaudrate, cmbModbusAdr}) {
        list->setCurrentIndex(-1);
    }

    LoadSettings();

    // The device page is not shown in a run: its fields always start from these.
    cmbProcessor->setCurrentIndex(DefaultProcessorIndex);
    txtUser->setText(DefaultUser);
    chkInitial->setChecked(false);

    ActivatePage(PageComm);
}

TwinMain::~TwinMain() {
    SetMessageHook(nullptr);
    FConverter.reset();
    FLoader.reset();
}

void TwinMain::LoadSettings() {
    LoadPortMap(FSettingsFile);
    TSettings settings;
    if (!LoadSettingsFile(FSettingsFile, settings)) {
        return;
    }
    SelectIndex(*cmbProcessor, settings.Processor);
    txtUser->setText(Text(settings.User));
    chkInitial->setChecked(settings.Initial);
    SelectIndex(*cmbComPort, settings.ComPort);
    SelectIndex(*cmbBaudrate, settings.Baudrate);
}

void TwinMain::SaveSettings() {
    TSettings settings;
    settings.Processor = cmbProcessor->currentIndex();
    settings.User = txtUser->text().toStdString();
    settings.Initial = chkInitial->isChecked();
    settings.ComPort = cmbComPort->currentIndex();
    settings.Baudrate = cmbBaudrate->currentIndex();
    SaveSettingsFile(FSettingsFile, settings);
}

bool TwinMain::WriteDownloadRecord() {
    return TUpdate(*FConverter, *FLoader, *this).WriteDownloadRecord(Inputs());
}

void TwinMain::FillInfoList() {
    TUpdate(*FConverter, *FLoader, *this).FillInfoList();
}

void TwinMain::btnContinueClick() {
    const int next = Pages->currentIndex() + 1;
    if (next >= Pages->count()) {
        return; // there is no way back to the first page
    }
    bool allowChange = true;
    PagesChanging(allowChange);
    if (!allowChange) {
        return;
    }
    ActivatePage(next);
    // A failed update, or the close box pressed while it ran, ends the program now.
    if (FTerminateRequested || FCloseRequested) {
        EndProgram();
    }
}

void TwinMain::btnExitClick() {
    EndProgram();
}

void TwinMain::PagesChanging(bool& allowChange) {
    const auto refuse = [this, &allowChange](const char* message) {
        ShowMessage(message);
        allowChange = false;
    };
    switch (Pages->currentIndex()) {
    case PageKova:
        if (cmbProcessor->currentIndex() < 0) {
            return refuse("Please choose a Processor!");
        }
        if (txtUser->text().trimmed().size() < 2) {
            return refuse("Please enter a valid user!");
        }
        if (chkInitial->isChecked() && txtHID1->text().trimmed().size() < 4) {
            return refuse("Please enter the 1. line of the Print Talvex ID!");
        }
        if (chkInitial->isChecked() && txtHID2->text().trimmed().isEmpty()) {
            return refuse("Please enter the 2. line of the Print Talvex ID!");
        }
        break;
    case PageComm:
        if (cmbComPort->currentIndex() < 0) {
            return refuse("Please choose a Com Port!");
        }
        if (cmbBaudrate->currentIndex() < 0) {
            return refuse("Please choose a baudrate!");
        }
        if (cmbModbusAdr->currentIndex() < 0 && !chkInitial->isChecked()) {
            return refuse("Please choose a Modbus address!");
        }
        break;
    default:
        break;
    }
}

void TwinMain::chkInitialClick() {
    txtHID1->setEnabled(chkInitial->isChecked());
    txtHID2->setEnabled(chkInitial->isChecked());
}

void TwinMain::tsCommShow() {
    cmbModbusAdr->setEnabled(!chkInitial->isChecked());
}

void TwinMain::tsProgressShow() {
    // While this runs the close box only takes note; the device objects stay until it returns.
    struct TRunning {
        bool& Flag;
        explicit TRunning(bool& flag) : Flag(flag) { Flag = true; }
        ~TRunning() { Flag = false; }
    } running(FUpdating);
    TUpdate(*FConverter, *FLoader, *this).Run(Inputs());
}

void TwinMain::FormDestroy() {
    SaveSettings();
    FConverter.reset();
    FLoader.reset();
}

void TwinMain::closeEvent(QCloseEvent* event) {
    if (FUpdating) {
        FCloseRequested = true;
        event->ignore();
        return;
    }
    FTerminated = true;
    event->accept();
}

void TwinMain::reject() {}

TUpdateInputs TwinMain::Inputs() const {
    TUpdateInputs inputs;
    inputs.PortName = cmbComPort->currentText().toStdString();
    inputs.BaudText = cmbBaudrate->currentText().toStdString();
    inputs.ProcessorIndex = cmbProcessor->currentIndex();
    inputs.FirstTime = chkInitial->isChecked();
    inputs.ModbusAddressIndex = cmbModbusAdr->currentIndex();
    inputs.User = txtUser->text().toStdString();
    inputs.Id1Text = txtHID1->text().toStdString();
    inputs.Id2Text = txtHID2->text().toStdString();
    return inputs;
}

void TwinMain::ActivatePage(int index) {
    Pages->setCurrentIndex(index);
    if (index == PageComm) {
        tsCommShow();
    } else if (index == PageProgress) {
        tsProgressShow();
    }
}

void TwinMain::EndProgram() {
    close();
}

void TwinMain::EnableButtons(bool continueEnabled, bool exitEnabled) {
    btnContinue->setEnabled(continueEnabled);
    btnExit->setEnabled(exitEnabled);
}

void TwinMain::ShowActivity(const std::string& text) {
    labActivity->setText(Text(text));
    labActivity->repaint();
}

void TwinMain::ShowMessage(const std::string& text) {
    ShowModal(this, QMessageBox::NoIcon, Text(text));
}

void TwinMain::Terminate() {
    FTerminateRequested = true;
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
        columns << Text(text);
    }
    auto item = std::make_unique<QTreeWidgetItem>(columns);
    InfoList->addTopLevelItem(item.release()); // the list owns its rows
}

void TwinMain::ResumeHistory() {
    InfoList->setUpdatesEnabled(true);
}
