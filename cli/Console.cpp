#include "cli/Console.h"

#include "app/Json.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <ostream>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

constexpr int BarCells = 30;
constexpr const char* ColumnGap = "  ";
const std::vector<std::string> HistoryTitles{"Nr", "Date", "User", "ID", "Version"};

// Minutes and seconds of a whole number of seconds.
std::string MinutesSeconds(long long seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%lld:%02lld", seconds / 60, seconds % 60);
    return text;
}

std::string RateText(std::int64_t bytes, double seconds) {
    if (seconds <= 0 || bytes <= 0) {
        return "- bytes/s";
    }
    return std::to_string(std::llround(static_cast<double>(bytes) / seconds)) + " bytes/s";
}

// Every "DL" frame has eight bytes around its data words: header, command, address, checksum.
constexpr std::int64_t FrameBytes = 8;
constexpr std::int64_t WordBytes = 2;

// What each step puts on the line: whether its request carries the data words, and how many
// words the reply brings (a read always gets 32).
struct TStepFrames {
    bool RequestCarriesWords;
    std::int64_t ReplyWords;
};
constexpr std::array<TStepFrames, 4> StepFrames{{
    {false, 0},  // Erase
    {false, 32}, // BlankCheck
    {true, 0},   // Write
    {false, 32}, // Verify
}};

// The bytes of one step, both ways.
std::int64_t LineBytes(TDownloadStep kind, std::int64_t words, std::int64_t maxWords) {
    const TStepFrames& frames = StepFrames[static_cast<std::size_t>(kind)];
    if (!frames.RequestCarriesWords) {
        return 2 * FrameBytes + WordBytes * frames.ReplyWords;
    }
    // The link splits longer data into frames of at most maxWords, each acknowledged.
    const std::int64_t count =
        maxWords > 0 ? std::max<std::int64_t>(1, (words + maxWords - 1) / maxWords) : 1;
    return count * 2 * FrameBytes + WordBytes * words;
}

} // namespace

bool StdoutIsTerminal() {
#ifdef _WIN32
    return _isatty(_fileno(stdout)) != 0;
#else
    return isatty(STDOUT_FILENO) != 0;
#endif
}

void TConsole::EndBar() {
    if (BarOpen) {
        Out << '\n';
        BarOpen = false;
        BarWidth = 0;
    }
}

void TConsole::Line(const std::string& text) {
    EndBar();
    Out << text << std::endl;
}

void TConsole::Bar(const std::string& text) {
    if (!IsTerminal) {
        return;
    }
    // Blanks cover what a longer earlier drawing left on the line.
    Out << '\r' << text << std::string(BarWidth > text.size() ? BarWidth - text.size() : 0, ' ')
        << std::flush;
    BarOpen = true;
    BarWidth = text.size();
}

void TConsole::Error(const std::string& text) {
    EndBar();
    Out << std::flush;
    Err << text << std::endl;
}

TConsoleProgress::TConsoleProgress(TConsole& console, THexLoader& loader)
    : Console(console), Loader(loader) {
    Loader.SetProgressBar(this);
    Loader.SetDownloadSteps(this);
}

TConsoleProgress::~TConsoleProgress() {
    Loader.SetProgressBar(nullptr);
    Loader.SetDownloadSteps(nullptr);
}

void TConsoleProgress::PlanJob() {
    const std::int64_t maxWords = Loader.GetMaxWords();
    Planned.clear();
    PlannedTotal = {};
    for (const TMemory& section : Loader.GetSections()) {
        TWork work;
        for (const TMemSector& sector : section.Sectors) {
            if (!sector.Used) {
                continue;
            }
            ++work.Sectors;
            work.LineBytes += LineBytes(TDownloadStep::Erase, 0, maxWords);
            for (const TMemPage& page : sector.Pages) {
                if (page.Used) {
                    ++work.Pages;
                    work.LineBytes +=
                        LineBytes(TDownloadStep::BlankCheck, 0, maxWords) +
                        LineBytes(TDownloadStep::Write, section.PageSize / 2, maxWords) +
                        LineBytes(TDownloadStep::Verify, 0, maxWords);
                }
            }
        }
        Planned.push_back(work);
        PlannedTotal.LineBytes += work.LineBytes;
        PlannedTotal.Pages += work.Pages;
        PlannedTotal.Sectors += work.Sectors;
    }
}

void TConsoleProgress::SetRange(int /*minimum*/, int maximum) {
    const Clock::time_point now = Clock::now();
    if (Section == 0) {
        // The first range opens the download: the image is read by now.
        PlanJob();
        JobStart = now;
    }
    ++Section;
    Maximum = maximum;
    SectionDone = {};
    SectionStart = now;
}

void TConsoleProgress::Restart() {
    Section = 0;
    Done = {};
    SectionDone = {};
}

void TConsoleProgress::SetPosition(int position) {
    if (position < Maximum) {
        if (position == 0 && SectionHasWork()) {
            DrawBar();
        }
        return;
    }
    EndSection();
    if (Section == Planned.size()) {
        PrintSummary();
    }
}

void TConsoleProgress::Step(TDownloadStep kind, std::int32_t /*address*/, std::int32_t words) {
    const std::int64_t bytes = LineBytes(kind, words, Loader.GetMaxWords());
    Done.LineBytes += bytes;
    SectionDone.LineBytes += bytes;
    if (kind == TDownloadStep::Erase) {
        ++Done.Sectors;
        ++SectionDone.Sectors;
    } else if (kind == TDownloadStep::Verify) {
        ++Done.Pages;
        ++SectionDone.Pages;
    }
    DrawBar();
}

double TConsoleProgress::DoneShare() const {
    return PlannedTotal.LineBytes > 0
               ? static_cast<double>(Done.LineBytes) / static_cast<double>(PlannedTotal.LineBytes)
               : 0.0;
}

std::optional<TConsoleProgress::Seconds> TConsoleProgress::TimeLeft() const {
    if (Done.LineBytes <= 0) {
        return std::nullopt;
    }
    const Seconds elapsed = Clock::now() - JobStart;
    return elapsed * static_cast<double>(PlannedTotal.LineBytes - Done.LineBytes) /
           static_cast<double>(Done.LineBytes);
}

bool TConsoleProgress::SectionHasWork() const {
    return Section >= 1 && Section <= Planned.size() && Planned[Section - 1].Pages > 0;
}

void TConsoleProgress::DrawBar() {
    if (!Console.Terminal() || !SectionHasWork()) {
        return;
    }
    const TWork& planned = Planned[Section - 1];
    const TMemory& memory = Loader.GetSections()[Section - 1];
    const double seconds = Seconds(Clock::now() - SectionStart).count();
    const std::int64_t bytes = SectionDone.Pages * memory.PageSize;
    std::string left;
    if (SectionDone.Pages >= planned.Pages) {
        left = "done in " + MinutesSeconds(std::llround(seconds));
    } else if (const auto rest = TimeLeft()) {
        // Rounded up, so that a last fraction still shows as 0:01.
        left = MinutesSeconds(static_cast<long long>(std::ceil(rest->count()))) + " left";
    } else {
        left = "-:-- left";
    }
    Console.Bar("Memory section " + std::to_string(Section) + " " +
                BarText(SectionDone.LineBytes, planned.LineBytes) + " " +
                std::to_string(SectionDone.Pages) + "/" + std::to_string(planned.Pages) +
                " pages  " + RateText(bytes, seconds) + "  " + left);
}

void PrintJsonList(TConsole& console, const std::vector<nlohmann::ordered_json>& objects) {
    if (objects.empty()) {
        console.Line("[]");
        return;
    }
    console.Line("[");
    for (std::size_t i = 0; i < objects.size(); ++i) {
        console.Line("  " + JsonText(objects[i], true) + (i + 1 < objects.size() ? "," : ""));
    }
    console.Line("]");
}

std::string BarText(std::int64_t done, std::int64_t total) {
    const auto filled = static_cast<std::size_t>(
        total > 0 ? std::clamp<std::int64_t>(done * BarCells / total, 0, BarCells) : 0);
    std::string bar(BarCells + 2, '.');
    bar.front() = '[';
    bar.back() = ']';
    bar.replace(1, filled, filled, '#');
    return bar;
}

void TConsoleProgress::EndSection() {
    if (!SectionHasWork()) {
        return;
    }
    if (Console.Terminal()) {
        DrawBar();
        return;
    }
    const TMemory& memory = Loader.GetSections()[Section - 1];
    const double seconds = Seconds(Clock::now() - SectionStart).count();
    const std::int64_t bytes = SectionDone.Pages * memory.PageSize;
    char time[32];
    std::snprintf(time, sizeof time, "%.1f s", seconds);
    Console.Line("Memory section " + std::to_string(Section) + ": " + std::to_string(Maximum) +
                 "/" + std::to_string(Maximum) + " sectors, " + std::to_string(bytes) +
                 " bytes in " + time + ", " + RateText(bytes, seconds));
}

void TConsoleProgress::PrintSummary() {
    const double seconds = Seconds(Clock::now() - JobStart).count();
    const std::int64_t bytes = Loader.ByteCount();
    // Start, data, parity and stop bits of each byte at the loader's speed.
    const std::int32_t bitsPerByte =
        1 + Loader.GetDataBits() + (Loader.GetParity() != 0 ? 1 : 0) + Loader.GetStopBits();
    const double wire = Loader.GetBaudrate() > 0 ? static_cast<double>(Done.LineBytes) *
                                                       bitsPerByte / Loader.GetBaudrate()
                                                 : 0.0;
    const long long rate = seconds > 0 ? std::llround(static_cast<double>(bytes) / seconds) : 0;
    const long long share = seconds > 0 ? std::llround(100.0 * wire / seconds) : 0;
    char text[160];
    std::snprintf(text, sizeof text,
                  "%lld bytes of firmware in %lld pages, %lld sectors erased, %.1f s, %lld "
                  "bytes/s, %lld%% of the line",
                  static_cast<long long>(bytes), static_cast<long long>(Done.Pages),
                  static_cast<long long>(Done.Sectors), seconds, rate, share);
    Console.Line(text);
}

void PrintHistory(TConsole& console, const std::vector<std::vector<std::string>>& rows) {
    std::vector<std::size_t> widths;
    for (const std::string& title : HistoryTitles) {
        widths.push_back(title.size());
    }
    for (const auto& row : rows) {
        for (std::size_t c = 0; c < row.size() && c < widths.size(); ++c) {
            widths[c] = std::max(widths[c], row[c].size());
        }
    }
    const auto print = [&](const std::vector<std::string>& cells) {
        std::string line;
        for (std::size_t c = 0; c < cells.size() && c < widths.size(); ++c) {
            if (c > 0) {
                line += ColumnGap;
            }
            line += cells[c] + std::string(widths[c] - cells[c].size(), ' ');
        }
        // The last column's padding is no use at the end of a line.
        line.erase(line.find_last_not_of(' ') + 1);
        console.Line(line);
    };
    print(HistoryTitles);
    for (const auto& row : rows) {
        print(row);
    }
}
