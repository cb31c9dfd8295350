#pragma once

#include "app/LineSearch.h"
#include "app/Update.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Every converter on one line updated in one run, one after another. Only one boot loader may
// ever run on a line (its frames carry no address), so a converter whose update broke off after
// its activation stops the run: nothing else is activated while its boot loader may wait.

enum class TLineState { NotStarted, Updated, Skipped, Failed };

// One converter of the run and how its update ended.
struct TLineConverter {
    TFoundConverter Found;
    TLineState State = TLineState::NotStarted;
    TUpdateResult Result = TUpdateResult::Success;
    std::string Message; // the failure text; empty when updated or not started
    std::optional<std::uint16_t> VersionAfter;
    double Seconds = 0;
};

struct TLineRun {
    std::vector<TLineConverter> Converters; // in ascending address order
    TSearchResult Search;                   // what the run's own search found
    // A boot loader already waited on the line: the run stopped before the next activation.
    bool LoaderWaiting = false;
    std::int32_t LoaderBaudrate = 0;
    double Seconds = 0;

    int Updated() const;
    bool AllUpdated() const;
    // Success when every converter was updated; else LoaderWaiting, the first failure's or
    // refusal's result, or Connect when no converter was found.
    TUpdateResult Result() const;
    // The converters the run did not reach.
    std::vector<int> NotStartedAddresses() const;
    // The converter whose boot loader may wait after its failure.
    const TLineConverter* Broken() const;
};

// What a front end sees of the run besides the single updates.
class TLineView {
public:
    virtual ~TLineView() = default;
    virtual void ConverterStarting(int /*number*/, int /*count*/, const TFoundConverter&) {}
    virtual void ConverterEnded(int /*number*/, int /*count*/, const TLineConverter&) {}
};

class TLineUpdate {
public:
    TLineUpdate(TConverter& converter, THexLoader& loader, TUpdateUi& ui);

    void SetLoaderObservers(TMessageList* messages, TDownloadSteps* steps);
    // Told after each converter's update, as a single update tells it.
    void SetOutcomeHandler(TOutcomeHandler handler) { OnOutcome = std::move(handler); }
    void SetView(TLineView* view) { View = view; }
    // The activity texts begin with "Converter 2 of 4, address 7: " (on by default).
    void SetNameInActivity(bool on) { NameInActivity = on; }

    // Searches the inputs' port at their baud rate only (the addresses given, or all), then
    // updates every converter found. A boot loader that answers the search stops the run
    // before anything is written.
    TLineRun Run(const TUpdateInputs& inputs, const std::vector<int>& addresses,
                 TSearchProgress* progress);
    // Updates these converters in ascending address order, each at its own address and baud
    // rate with the inputs' processor and user. The user's close request stops the run before
    // the next converter.
    TLineRun UpdateAll(const TUpdateInputs& inputs, std::vector<TFoundConverter> converters);

    static std::string ConverterText(int number, int count, int address);
    // "Firmware loaded successfully!", the failure's first line, "skipped" or "not started".
    static std::string StateText(const TLineConverter& converter);
    // The box at the end of a run: a line per converter and what to do about the rest.
    static std::string ResultsText(const TLineRun& run, const std::string& portName);

private:
    TConverter& FConverter;
    THexLoader& FLoader;
    TUpdateUi& Ui;
    TMessageList* Messages = nullptr;
    TDownloadSteps* Steps = nullptr;
    TOutcomeHandler OnOutcome;
    TLineView* View = nullptr;
    bool NameInActivity = true;
};
