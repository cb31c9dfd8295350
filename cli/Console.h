#pragma once

#include "app/Update.h"
#include "loader/DownloadSteps.h"
#include "loader/Loader.h"
#include "loader/MessageList.h"
#include "loader/ProgressBar.h"

#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

// True when standard output is a terminal (a console window on Windows).
bool StdoutIsTerminal();

// The command line's output: whole lines, and on a terminal one bar line that is redrawn in
// place until the next whole line ends it.
class TConsole {
public:
    TConsole(std::ostream& out, std::ostream& err, bool terminal)
        : Out(out), Err(err), IsTerminal(terminal) {}

    bool Terminal() const { return IsTerminal; }
    void Line(const std::string& text);
    void Bar(const std::string& text); // ignored when not a terminal
    // A failure text on the error stream, each of its lines as a line.
    void Error(const std::string& text);

private:
    void EndBar();

    std::ostream& Out;
    std::ostream& Err;
    bool IsTerminal;
    bool BarOpen = false;
    std::size_t BarWidth = 0;
};

// The loader's step and failure texts as lines.
class TConsoleMessageList : public TMessageList {
public:
    explicit TConsoleMessageList(TConsole& console) : Console(console) {}
    void Append(const std::string& line) override { Console.Line(line); }

private:
    TConsole& Console;
};

// The download's progress, weighed by the work really done: each erase, blank check, write and
// verify counts with its bytes on the line, both ways. The whole job is known once the loader
// sets the first range. On a terminal each memory section with pages to write draws a bar with
// the time left of the whole job; otherwise each such section gives one line. A last line sums
// up the download. It attaches itself to the loader as bar and step observer for its lifetime,
// which is one download.
class TConsoleProgress : public TProgressBar, public TDownloadSteps {
public:
    using Seconds = std::chrono::duration<double>;

    TConsoleProgress(TConsole& console, THexLoader& loader);
    ~TConsoleProgress() override;
    TConsoleProgress(const TConsoleProgress&) = delete;
    TConsoleProgress& operator=(const TConsoleProgress&) = delete;

    void SetRange(int minimum, int maximum) override;
    void SetPosition(int position) override;
    void Step(TDownloadStep kind, std::int32_t address, std::int32_t words) override;
    // The next download is a new job (the next converter of a run over the line).
    void Restart();

    // Share of the whole job's line bytes done, 0 to 1.
    double DoneShare() const;
    // The rest of the job at the pace so far; none before the first step.
    std::optional<Seconds> TimeLeft() const;

private:
    struct TWork {
        std::int64_t LineBytes = 0;
        std::int64_t Pages = 0;
        std::int64_t Sectors = 0;
    };
    using Clock = std::chrono::steady_clock;

    void PlanJob();
    bool SectionHasWork() const;
    void DrawBar();
    void EndSection();
    void PrintSummary();

    TConsole& Console;
    THexLoader& Loader;
    std::vector<TWork> Planned; // per section
    TWork PlannedTotal;
    TWork Done;              // the whole job
    TWork SectionDone;       // the current section
    std::size_t Section = 0; // counted from 1 once the first range is set
    int Maximum = 0;
    Clock::time_point JobStart{};
    Clock::time_point SectionStart{};
};

// What the update asks of a front end, on the console. The history rows are kept for the
// caller, who prints them once the update has ended.
class TConsoleUi : public TUpdateUi {
public:
    explicit TConsoleUi(TConsole& console) : Console(console) {}
    void EnableButtons(bool, bool) override {}
    void ShowActivity(const std::string& text) override { Console.Line(text); }
    void ShowMessage(const std::string& text) override { Console.Error(text); }
    void Terminate() override { Terminated = true; }
    void ProcessMessages() override {}
    void SuspendHistory() override { Rows.clear(); }
    void AddHistoryRow(const std::vector<std::string>& row) override { Rows.push_back(row); }
    void ResumeHistory() override {}
    // Nobody is there to answer: no, and the caller turns the question into a hint.
    bool Ask(const TQuestion& question) override {
        Asked.push_back(question);
        return false;
    }
    // The caller prints the refusal with the command that finishes the waiting converter.
    void RefuseSecondLoader(const std::string&) override {}

    std::vector<std::vector<std::string>> Rows;
    std::vector<TQuestion> Asked;
    bool Terminated = false;

private:
    TConsole& Console;
};

// A JSON list for scripts: "[]", or one object a line between "[" and "]".
void PrintJsonList(TConsole& console, const std::vector<nlohmann::ordered_json>& objects);

// A bar of fixed width, filled for done of total: "[#####.....]".
std::string BarText(std::int64_t done, std::int64_t total);

// The history list: the column titles, then one line per row, columns aligned.
void PrintHistory(TConsole& console, const std::vector<std::vector<std::string>>& rows);
