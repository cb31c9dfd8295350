// The command line's download progress against the simulated converter: bars that follow the
// work really done, none for a section with nothing to write, and the summing-up last line.
#include "cli/Console.h"

#include "tests/support/LinkOnPty.h"
#include "tests/support/SimOnPty.h"

#include <gtest/gtest.h>
#include <regex>
#include <sstream>

namespace {

constexpr std::int32_t Baudrate = 57600;
const std::regex Summary("17540 bytes of firmware in 275 pages, 36 sectors erased, [0-9]+\\.[0-9] "
                         "s, [0-9]+ bytes/s, [0-9]+% of the line\n");

// Downloads the carried firmware into a new device with the console's progress attached;
// gives what went to standard output.
std::string Download(bool terminal) {
    TSimOnPty sim({.Device = {.Baud = Baudrate, .NewDevice = true}});
    THexLoader loader;
    EXPECT_TRUE(loader.SelectProcessor(0));
    EXPECT_TRUE(loader.LoadHexResource("HEX_FILE"));
    MapPort(TestPortName, sim.SlavePath());
    loader.SetPort(TestPortName);
    loader.SetBaudrate(Baudrate);
    EXPECT_TRUE(loader.Open());

    std::ostringstream out;
    std::ostringstream err;
    TConsole console(out, err, terminal);
    TConsoleProgress progress(console, loader);
    EXPECT_TRUE(loader.Download());
    // Everything planned was done, and nothing is left to wait for.
    EXPECT_DOUBLE_EQ(progress.DoneShare(), 1.0);
    EXPECT_EQ(progress.TimeLeft(), TConsoleProgress::Seconds(0));
    EXPECT_EQ(err.str(), "");
    return out.str();
}

TEST(ConsoleProgress, TerminalBarFollowsThePagesOfTheOneSectionWithWork) {
    const std::string out = Download(true);
    // Each drawing begins with a carriage return; the summary ends the bar's line.
    const auto summary = out.rfind('\n', out.size() - 2) + 1;
    EXPECT_TRUE(std::regex_match(out.substr(summary), Summary)) << out.substr(summary);

    std::vector<std::string> drawings;
    std::istringstream bars(out.substr(0, summary));
    for (std::string drawing; std::getline(bars, drawing, '\r');) {
        if (!drawing.empty()) {
            drawings.push_back(drawing.substr(0, drawing.find_last_not_of(" \n") + 1));
        }
    }
    ASSERT_GE(drawings.size(), 2u + 36 + 3 * 275);
    const std::regex bar("Memory section 1 \\[(#*)\\.*\\] ([0-9]+)/275 pages  .*");
    std::size_t filled = 0;
    int pages = 0;
    for (const std::string& drawing : drawings) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(drawing, match, bar)) << drawing;
        EXPECT_GE(match[1].length(), static_cast<long>(filled)) << drawing;
        EXPECT_GE(std::stoi(match[2]), pages) << drawing;
        filled = static_cast<std::size_t>(match[1].length());
        pages = std::stoi(match[2]);
        // Full only once the last page is verified.
        EXPECT_EQ(filled == 30, pages == 275) << drawing;
    }
    EXPECT_TRUE(drawings.front().starts_with("Memory section 1 [....")) << drawings.front();
    EXPECT_NE(drawings.back().find("  done in "), std::string::npos) << drawings.back();
}

TEST(ConsoleProgress, OffATerminalOneLineForTheSectionWithWorkThenTheSummary) {
    const std::string out = Download(false);
    const std::regex lines("Memory section 1: 96/96 sectors, 17600 bytes in [0-9]+\\.[0-9] s, "
                           "[0-9]+ bytes/s\n(.*\n)");
    std::smatch match;
    ASSERT_TRUE(std::regex_match(out, match, lines)) << out;
    EXPECT_TRUE(std::regex_match(match[1].str(), Summary)) << match[1];
}

} // namespace
