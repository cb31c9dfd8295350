#include "app/LineUpdate.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string FirstLine(const std::string& text) {
    return text.substr(0, text.find('\n'));
}

// The front end as one converter's update sees it during a run: its failure box and its end
// become the run's, and its questions are answered no (the run has found the converter, and
// nothing else on the line is to be touched).
class TRunUi : public TUpdateUi {
public:
    TRunUi(TUpdateUi& ui, std::string prefix) : Ui(ui), Prefix(std::move(prefix)) {}
    void EnableButtons(bool, bool) override {}
    void ShowActivity(const std::string& text) override { Ui.ShowActivity(Prefix + text); }
    void ShowMessage(const std::string& text) override { Shown = text; }
    void Terminate() override {}
    void ProcessMessages() override { Ui.ProcessMessages(); }
    void SuspendHistory() override { Ui.SuspendHistory(); }
    void AddHistoryRow(const std::vector<std::string>& row) override { Ui.AddHistoryRow(row); }
    void ResumeHistory() override { Ui.ResumeHistory(); }
    bool Ask(const TQuestion&) override { return false; }
    bool EndRequested() override { return Ui.EndRequested(); }
    void RefuseSecondLoader(const std::string& text) override { Shown = text; }

    std::string Shown;

private:
    TUpdateUi& Ui;
    std::string Prefix;
};

bool MayLeaveLoaderWaiting(TUpdateResult result) {
    return result == TUpdateResult::ActivateLoader || result == TUpdateResult::OpenLoaderPort ||
           result == TUpdateResult::Download || result == TUpdateResult::StartApplication;
}

TLineState StateOf(TUpdateResult result) {
    switch (result) {
    case TUpdateResult::Success:
        return TLineState::Updated;
    case TUpdateResult::VersionTooOld:
    case TUpdateResult::WrongType:
        return TLineState::Skipped;
    case TUpdateResult::LoaderWaiting:
        return TLineState::NotStarted;
    default:
        return TLineState::Failed;
    }
}

// After these nothing else on the line is activated: a boot loader may wait, or the image
// itself is bad.
bool StopsTheRun(TUpdateResult result) {
    return result == TUpdateResult::HexFile || result == TUpdateResult::LoaderWaiting ||
           MayLeaveLoaderWaiting(result) || result == TUpdateResult::WriteRecord;
}

TLineConverter NotStarted(const TFoundConverter& found) {
    TLineConverter converter;
    converter.Found = found;
    return converter;
}

} // namespace

int TLineRun::Updated() const {
    return static_cast<int>(
        std::count_if(Converters.begin(), Converters.end(), [](const TLineConverter& converter) {
            return converter.State == TLineState::Updated;
        }));
}

bool TLineRun::AllUpdated() const {
    return !LoaderWaiting && !Converters.empty() &&
           Updated() == static_cast<int>(Converters.size());
}

TUpdateResult TLineRun::Result() const {
    if (LoaderWaiting) {
        return TUpdateResult::LoaderWaiting;
    }
    if (Converters.empty()) {
        return TUpdateResult::Connect;
    }
    for (const TLineConverter& converter : Converters) {
        if (converter.Result != TUpdateResult::Success) {
            return converter.Result;
        }
    }
    return AllUpdated() ? TUpdateResult::Success : TUpdateResult::Connect;
}

std::vector<int> TLineRun::NotStartedAddresses() const {
    std::vector<int> addresses;
    for (const TLineConverter& converter : Converters) {
        if (converter.State == TLineState::NotStarted) {
            addresses.push_back(converter.Found.Address);
        }
    }
    return addresses;
}

const TLineConverter* TLineRun::Broken() const {
    const auto broken =
        std::find_if(Converters.begin(), Converters.end(), [](const TLineConverter& converter) {
            return MayLeaveLoaderWaiting(converter.Result);
        });
    return broken == Converters.end() ? nullptr : &*broken;
}

TLineUpdate::TLineUpdate(TConverter& converter, THexLoader& loader, TUpdateUi& ui)
    : FConverter(converter), FLoader(loader), Ui(ui) {}

void TLineUpdate::SetLoaderObservers(TMessageList* messages, TDownloadSteps* steps) {
    Messages = messages;
    Steps = steps;
}

TLineRun TLineUpdate::Run(const TUpdateInputs& inputs, const std::vector<int>& addresses,
                          TSearchProgress* progress) {
    const Clock::time_point started = Clock::now();
    const std::int32_t baudrate = TUpdate::BaudrateOf(inputs.BaudText);
    // An address given twice is one converter, updated once.
    std::vector<int> order = addresses;
    std::sort(order.begin(), order.end());
    order.erase(std::unique(order.begin(), order.end()), order.end());
    TSearchResult search = SearchLine(inputs.PortName, {baudrate}, progress, order);
    TLineRun run;
    if (!search.LoaderBaudrates.empty()) {
        // Found before anything was written: the converters are listed, none is touched.
        run.LoaderWaiting = true;
        run.LoaderBaudrate = baudrate;
        for (const TFoundConverter& found : search.Converters) {
            run.Converters.push_back(NotStarted(found));
        }
    } else if (!search.Cancelled && !search.OpenFailed) {
        run = UpdateAll(inputs, search.Converters);
    }
    run.Search = std::move(search);
    run.Seconds = SecondsSince(started);
    return run;
}

TLineRun TLineUpdate::UpdateAll(const TUpdateInputs& inputs,
                                std::vector<TFoundConverter> converters) {
    const Clock::time_point started = Clock::now();
    std::sort(
        converters.begin(), converters.end(),
        [](const TFoundConverter& a, const TFoundConverter& b) { return a.Address < b.Address; });
    TLineRun run;
    for (const TFoundConverter& found : converters) {
        run.Converters.push_back(NotStarted(found));
    }
    const int count = static_cast<int>(converters.size());
    for (int number = 1; number <= count; ++number) {
        TLineConverter& converter = run.Converters[static_cast<std::size_t>(number - 1)];
        if (Ui.EndRequested()) {
            break;
        }
        if (View != nullptr) {
            View->ConverterStarting(number, count, converter.Found);
        }
        TRunUi ui(Ui, NameInActivity ? ConverterText(number, count, converter.Found.Address) + ": "
                                     : std::string());
        TUpdate update(FConverter, FLoader, ui);
        update.SetLoaderObservers(Messages, Steps);
        update.SetOutcomeHandler(
            [this, &converter](const TUpdateInputs& ended, const TUpdateOutcome& outcome) {
                converter.VersionAfter = outcome.VersionAfter;
                if (OnOutcome) {
                    OnOutcome(ended, outcome);
                }
            });
        TUpdateInputs one = inputs;
        one.FirstTime = false;
        one.Resume = false;
        one.ModbusAddressIndex = converter.Found.Address - 1;
        one.BaudText = std::to_string(converter.Found.Baudrate);
        const Clock::time_point begun = Clock::now();
        converter.Result = update.Run(one);
        converter.Seconds = SecondsSince(begun);
        converter.State = StateOf(converter.Result);
        converter.Message = ui.Shown;
        if (converter.Result == TUpdateResult::LoaderWaiting) {
            run.LoaderWaiting = true;
            run.LoaderBaudrate = converter.Found.Baudrate;
        }
        if (View != nullptr) {
            View->ConverterEnded(number, count, converter);
        }
        if (StopsTheRun(converter.Result)) {
            break;
        }
    }
    run.Seconds = SecondsSince(started);
    return run;
}

std::string TLineUpdate::ConverterText(int number, int count, int address) {
    return "Converter " + std::to_string(number) + " of " + std::to_string(count) + ", address " +
           std::to_string(address);
}

std::string TLineUpdate::StateText(const TLineConverter& converter) {
    switch (converter.State) {
    case TLineState::Updated:
        return "Firmware loaded successfully!";
    case TLineState::Skipped:
        return "skipped";
    case TLineState::Failed:
        return FirstLine(converter.Message);
    case TLineState::NotStarted:
        break;
    }
    return "not started";
}

std::string TLineUpdate::ResultsText(const TLineRun& run, const std::string& portName) {
    std::string text = "Converters on " + portName + ":";
    for (const TLineConverter& converter : run.Converters) {
        text += "\nAddress " + std::to_string(converter.Found.Address) + ": " +
                FormatVersion(converter.Found.Version);
        if (converter.VersionAfter) {
            text += " -> " + FormatVersion(*converter.VersionAfter);
        }
        text += ", " + StateText(converter);
        if (converter.State == TLineState::Skipped) {
            text += ": " + FirstLine(converter.Message);
        }
        if (converter.State != TLineState::NotStarted) {
            char seconds[32];
            std::snprintf(seconds, sizeof seconds, " (%.1f s)", converter.Seconds);
            text += seconds;
        }
    }
    text += "\n\n" + std::to_string(run.Updated()) + " of " +
            std::to_string(run.Converters.size()) + " converters updated.";
    if (run.LoaderWaiting) {
        text += "\n\n" + TUpdate::SecondLoaderText(portName);
    } else if (const TLineConverter* broken = run.Broken()) {
        const std::string address = std::to_string(broken->Found.Address);
        text += "\n\nThe boot loader of the converter at address " + address +
                " may be waiting: choose address " + address +
                " and continue to finish its update first.";
    }
    return text;
}
