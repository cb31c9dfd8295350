#pragma once

#include "app/Update.h"
#include "loader/Loader.h"
#include "loader/MessageList.h"
#include "loader/ProgressBar.h"

#include <chrono>
#include <cstdint>
#include <iosfwd>
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

// The download's progress, one memory section at a time: the loader sets the range once per
// section and moves the position sector by sector. The bytes are those of the pages the image
// uses, since only those go over the line.
class TConsoleProgress : public TProgressBar {
public:
    TConsoleProgress(TConsole& console, const THexLoader& loader)
        : Console(console), Loader(loader) {}
    void SetRange(int minimum, int maximum) override;
    void SetPosition(int position) override;

private:
    std::int64_t BytesBefore(int sector) const; // used pages in the section's first sectors

    using Clock = std::chrono::steady_clock;
    TConsole& Console;
    const THexLoader& Loader;
    int Section = 0; // counted from 1 once the first range is set
    int Maximum = 0;
    std::int64_t SectionBytes = 0;
    Clock::time_point Start{};
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

    std::vector<std::vector<std::string>> Rows;
    bool Terminated = false;

private:
    TConsole& Console;
};

// The history list: the column titles, then one line per row, columns aligned.
void PrintHistory(TConsole& console, const std::vector<std::vector<std::string>>& rows);
