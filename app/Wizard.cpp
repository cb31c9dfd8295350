#include "app/Wizard.h"

#include "app/ServiceLog.h"
#include "app/Settings.h"

#include <algorithm>
#include <iterator>
#include <utility>

namespace {

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

} // namespace

std::string DevicePageCheck(int processorIndex, const std::string& user, bool initial,
                            const std::string& id1, const std::string& id2) {
    if (processorIndex < 0) {
        return ProcessorCheckText;
    }
    if (Trimmed(user).size() < UserLength) {
        return UserCheckText;
    }
    if (initial && Trimmed(id1).size() < Id1MinDigits) {
        return Id1CheckText;
    }
    if (initial && Trimmed(id2).empty()) {
        return Id2CheckText;
    }
    return {};
}

TWizard::TWizard(TWizardView& view, std::string settingsFile)
    : View(view), FSettingsFile(std::move(settingsFile)) {
    FConverter = std::make_unique<TConverter>();
    SetLineFormat(*FConverter);
    FLoader = std::make_unique<THexLoader>();
    SetLineFormat(*FLoader);
    FLoader->SetProgressBar(&View.ProgressBar());

    for (int n = 1; n <= PortCount; ++n) {
        View.AddItem(TWizardList::ComPort, "COM" + std::to_string(n));
        View.AddItem(TWizardList::ModbusAdr, std::to_string(n));
    }
    std::vector<std::string> processors;
    FLoader->GetProcessorNames(processors);
    for (const std::string& name : processors) {
        View.AddItem(TWizardList::Processor, name);
    }
    // A list starts without a selection; filling it must not choose one.
    for (TWizardList list : {TWizardList::Processor, TWizardList::ComPort, TWizardList::Baudrate,
                             TWizardList::ModbusAdr}) {
        View.SetItemIndex(list, -1);
    }

    LoadSettings();

    // The device page is not shown in a run: its fields always start from these.
    View.SetItemIndex(TWizardList::Processor, DefaultProcessorIndex);
    View.SetText(TWizardEdit::User, DefaultUser);
    View.SetInitialChecked(false);
    chkInitialClick();

    ActivatePage(PageComm);
}

TWizard::~TWizard() {
    FConverter.reset();
    FLoader.reset();
}

void TWizard::LoadSettings() {
    LoadPortMap(FSettingsFile);
    TSettings settings;
    if (!LoadSettingsFile(FSettingsFile, settings)) {
        return;
    }
    SelectIndex(TWizardList::Processor, settings.Processor);
    View.SetText(TWizardEdit::User, settings.User);
    View.SetInitialChecked(settings.Initial);
    chkInitialClick();
    SelectIndex(TWizardList::ComPort, settings.ComPort);
    SelectIndex(TWizardList::Baudrate, settings.Baudrate);
}

void TWizard::SaveSettings() {
    TSettings settings;
    settings.Processor = View.ItemIndex(TWizardList::Processor);
    settings.User = View.Text(TWizardEdit::User);
    settings.Initial = View.InitialChecked();
    settings.ComPort = View.ItemIndex(TWizardList::ComPort);
    settings.Baudrate = View.ItemIndex(TWizardList::Baudrate);
    SaveSettingsFile(FSettingsFile, settings);
}

bool TWizard::WriteDownloadRecord() {
    return TUpdate(*FConverter, *FLoader, *this).WriteDownloadRecord(Inputs());
}

void TWizard::FillInfoList() {
    TUpdate(*FConverter, *FLoader, *this).FillInfoList();
}

void TWizard::btnContinueClick() {
    const int next = View.CurrentPage() + 1;
    if (next > PageProgress) {
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
        View.CloseWindow();
    } else if (FBackToSettings) {
        // The search left the choice to the user: the communication page as it was, with
        // what the search selected.
        FBackToSettings = false;
        ActivatePage(PageComm);
        View.EnableButtons(true, true);
    }
}

void TWizard::btnExitClick() {
    View.CloseWindow();
}

void TWizard::PagesChanging(bool& allowChange) {
    const auto refuse = [this, &allowChange](const std::string& message) {
        View.ShowMessage(message);
        allowChange = false;
    };
    const bool initial = View.InitialChecked();
    switch (View.CurrentPage()) {
    case PageKova:
        if (const std::string check = DevicePageCheck(
                View.ItemIndex(TWizardList::Processor), View.Text(TWizardEdit::User), initial,
                View.Text(TWizardEdit::Id1), View.Text(TWizardEdit::Id2));
            !check.empty()) {
            return refuse(check);
        }
        break;
    case PageComm:
        if (View.ItemIndex(TWizardList::ComPort) < 0) {
            return refuse("Please choose a Com Port!");
        }
        if (View.ItemIndex(TWizardList::Baudrate) < 0) {
            return refuse("Please choose a baudrate!");
        }
        if (View.ItemIndex(TWizardList::ModbusAdr) < 0 && !initial) {
            return refuse("Please choose a Modbus address!");
        }
        break;
    default:
        break;
    }
}

void TWizard::chkInitialClick() {
    const bool initial = View.InitialChecked();
    View.Enable(TWizardControl::Id1, initial);
    View.Enable(TWizardControl::Id2, initial);
}

void TWizard::tsCommShow() {
    View.Enable(TWizardControl::ModbusAdr, !View.InitialChecked());
}

void TWizard::tsProgressShow() {
    // While this runs the close box only takes note; the device objects stay until it returns.
    struct TRunning {
        bool& Flag;
        explicit TRunning(bool& flag) : Flag(flag) { Flag = true; }
        ~TRunning() { Flag = false; }
    } running(FUpdating);
    const TUpdateInputs inputs = Inputs();
    TUpdate update(*FConverter, *FLoader, *this);
    update.SetOutcomeHandler([this](const TUpdateInputs& ended, const TUpdateOutcome& outcome) {
        // The window has nowhere to say that the log failed without changing its own texts;
        // the update's result stands either way.
        std::string ignored;
        AppendToServiceLog(ServiceLogBeside(FSettingsFile), LogEntryOf("window", ended, outcome),
                           ignored);
    });
    update.Run(inputs);
}

void TWizard::FormDestroy() {
    SaveSettings();
    FConverter.reset();
    FLoader.reset();
}

bool TWizard::CloseBox() {
    if (FUpdating) {
        FCloseRequested = true;
        return false;
    }
    FTerminated = true;
    return true;
}

TUpdateInputs TWizard::Inputs() const {
    TUpdateInputs inputs;
    inputs.PortName = View.ItemText(TWizardList::ComPort);
    inputs.BaudText = View.ItemText(TWizardList::Baudrate);
    inputs.ProcessorIndex = View.ItemIndex(TWizardList::Processor);
    inputs.FirstTime = View.InitialChecked();
    inputs.ModbusAddressIndex = View.ItemIndex(TWizardList::ModbusAdr);
    inputs.User = View.Text(TWizardEdit::User);
    inputs.Id1Text = View.Text(TWizardEdit::Id1);
    inputs.Id2Text = View.Text(TWizardEdit::Id2);
    return inputs;
}

void TWizard::ActivatePage(int page) {
    View.SetCurrentPage(page);
    if (page == PageComm) {
        tsCommShow();
    } else if (page == PageProgress) {
        tsProgressShow();
    }
}

void TWizard::SelectIndex(TWizardList list, int index) {
    // A position outside the list selects nothing.
    View.SetItemIndex(list, index >= 0 && index < View.ItemCount(list) ? index : -1);
}

void TWizard::EnableButtons(bool continueEnabled, bool exitEnabled) {
    View.EnableButtons(continueEnabled, exitEnabled);
}

void TWizard::ShowActivity(const std::string& text) {
    View.ShowActivity(text);
}

void TWizard::ShowMessage(const std::string& text) {
    View.ShowMessage(text);
}

void TWizard::Terminate() {
    // Takes effect when the running handler has returned.
    FTerminateRequested = true;
}

void TWizard::ProcessMessages() {
    View.ProcessMessages();
}

void TWizard::SuspendHistory() {
    View.SuspendHistory();
}

void TWizard::AddHistoryRow(const std::vector<std::string>& row) {
    View.AddHistoryRow(row);
}

void TWizard::ResumeHistory() {
    View.ResumeHistory();
}

bool TWizard::Ask(const TQuestion& question) {
    return View.AskQuestion(question.Text);
}

void TWizard::ShowSearchProgress(int done, int total) {
    TProgressBar& bar = View.ProgressBar();
    if (done == 0) {
        bar.SetRange(0, total);
    }
    bar.SetPosition(done);
}

bool TWizard::EndRequested() {
    return FCloseRequested;
}

void TWizard::SelectLine(int address, std::int32_t baudrate) {
    SelectIndex(TWizardList::ModbusAdr, address - 1);
    const auto item =
        std::find_if(std::begin(BaudrateItems), std::end(BaudrateItems),
                     [baudrate](const char* text) { return std::to_string(baudrate) == text; });
    if (item != std::end(BaudrateItems)) {
        SelectIndex(TWizardList::Baudrate,
                    static_cast<int>(std::distance(std::begin(BaudrateItems), item)));
    }
}

void TWizard::BackToSettings() {
    FBackToSettings = true;
}
