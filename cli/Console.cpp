#include "cli/Console.h"

#include <algorithm>
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

// Minutes and seconds, rounded up so that a last fraction still shows as 0:01.
std::string MinutesSeconds(double seconds) {
    const auto whole = static_cast<long>(seconds + 0.999);
    char text[32];
    std::snprintf(text, sizeof text, "%ld:%02ld", whole / 60, whole % 60);
    return text;
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

void TConsoleProgress::SetRange(int /*minimum*/, int maximum) {
    ++Section;
    Maximum = maximum;
    SectionBytes = BytesBefore(maximum);
    Start = Clock::now();
}

void TConsoleProgress::SetPosition(int position) {
    const double seconds = std::chrono::duration<double>(Clock::now() - Start).count();
    const std::int64_t bytes = BytesBefore(position);
    const double rate = seconds > 0 && bytes > 0 ? static_cast<double>(bytes) / seconds : 0;
    const std::string rateText =
        rate > 0 ? std::to_string(static_cast<long long>(rate)) + " bytes/s" : "- bytes/s";
    const bool done = position >= Maximum;
    const std::string sectors = std::to_string(position) + "/" + std::to_string(Maximum);
    const std::string name = "Memory section " + std::to_string(Section);

    if (!Console.Terminal()) {
        if (done) {
            char time[32];
            std::snprintf(time, sizeof time, "%.1f s", seconds);
            Console.Line(name + ": " + sectors + " sectors, " + std::to_string(bytes) +
                         " bytes in " + time + ", " + rateText);
        }
        return;
    }
    const int filled = Maximum > 0 ? std::clamp(position, 0, Maximum) * BarCells / Maximum : 0;
    std::string left;
    if (done) {
        left = "done in " + MinutesSeconds(seconds);
    } else if (rate > 0) {
        left = MinutesSeconds(static_cast<double>(SectionBytes - bytes) / rate) + " left";
    } else {
        left = "-:-- left";
    }
    Console.Bar(name + " [" + std::string(static_cast<std::size_t>(filled), '#') +
                std::string(static_cast<std::size_t>(BarCells - filled), '.') + "] " + sectors +
                " sectors  " + rateText + "  " + left);
}

std::int64_t TConsoleProgress::BytesBefore(int sector) const {
    const MemoryVector& sections = Loader.GetSections();
    if (Section < 1 || static_cast<std::size_t>(Section) > sections.size()) {
        return 0;
    }
    const TMemory& section = sections[static_cast<std::size_t>(Section - 1)];
    const auto end =
        std::min(static_cast<std::size_t>(std::max(sector, 0)), section.Sectors.size());
    std::int64_t pages = 0;
    for (std::size_t k = 0; k < end; ++k) {
        pages += std::count_if(section.Sectors[k].Pages.begin(), section.Sectors[k].Pages.end(),
                               [](const TMemPage& page) { return page.Used; });
    }
    return pages * section.PageSize;
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
