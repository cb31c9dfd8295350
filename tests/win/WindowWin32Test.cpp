// The Win32 window, driven the way a user drives it: the program runs from a folder of its own
// (so its settings file is the test's), the test finds the dialog and its controls by the
// window's control contract (class, caption, order), chooses with CB_SETCURSEL and the
// CBN_SELCHANGE a user's choice sends, clicks with posted BM_CLICK (a click may open a modal
// loop), and answers each message box by reading its text and pressing its OK.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>
#include <windows.h>
// The common controls' messages, declared with the types windows.h brings.
#include <commctrl.h>

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::wstring Caption = L"Firmware Loader";
const std::wstring Success = L"Firmware loaded successfully!";
const std::wstring LoaderQuestion =
    L"The converter's boot loader is waiting (no application runs).\n\nFinish the update now?";

// The question after no answer at address 1 with 19200 baud.
std::wstring SearchQuestion(const std::wstring& port) {
    return L"No converter answers at address 1 with 19200 baud on " + port + L".\n\nSearch " +
           port + L" for converters at every address and baud rate?";
}

// Generous margins: each wait ends as soon as what it waits for is there.
constexpr auto Patience = 60s;        // a window or a box to appear, a program to end
constexpr auto UpdatePatience = 5min; // a whole update with the line's timing

constexpr int BaudIndex19200 = 1;
constexpr int BaudIndex57600 = 3;
constexpr int BaudIndex38400 = 2;

// The list position of a port: "COM10" is item 9.
int PortIndex(const char* name) {
    return std::atoi(name + 3) - 1;
}

struct TCloseHandle {
    void operator()(HANDLE handle) const { ::CloseHandle(handle); }
};
using THandle = std::unique_ptr<void, TCloseHandle>;

bool Eventually(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto end = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() > end) {
            return false;
        }
        ::Sleep(20);
    }
    return true;
}

std::wstring ClassOf(HWND window) {
    wchar_t name[64] = {};
    ::GetClassNameW(window, name, 64);
    // Common controls 6 may report their class with the assembly's version in front.
    const std::wstring text = name;
    const auto bang = text.find(L'!');
    return bang == std::wstring::npos ? text : text.substr(bang + 1);
}

// Statics and buttons: the text the system keeps for the window, readable while the program is
// busy.
std::wstring WindowText(HWND window) {
    wchar_t text[512] = {};
    ::GetWindowTextW(window, text, 512);
    return text;
}

// A message the program answers before the test goes on; fails rather than hangs.
LRESULT Send(HWND window, UINT message, WPARAM w = 0, LPARAM l = 0) {
    DWORD_PTR result = 0;
    if (!::SendMessageTimeoutW(window, message, w, l, SMTO_NORMAL, 30000, &result)) {
        ADD_FAILURE() << "the program did not answer message " << message;
    }
    return static_cast<LRESULT>(result);
}

// Edits keep their text to themselves: it has to be asked for.
std::wstring EditText(HWND edit) {
    wchar_t text[64] = {};
    Send(edit, WM_GETTEXT, 64, reinterpret_cast<LPARAM>(text));
    return text;
}

std::wstring ItemText(HWND combo, int index) {
    const LRESULT length = Send(combo, CB_GETLBTEXTLEN, index);
    if (length < 0) {
        return L"";
    }
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    Send(combo, CB_GETLBTEXT, index, reinterpret_cast<LPARAM>(text.data()));
    text.resize(static_cast<std::size_t>(length));
    return text;
}

int Selected(HWND combo) {
    return static_cast<int>(Send(combo, CB_GETCURSEL));
}

std::string Narrow(const std::wstring& text) {
    return std::string(text.begin(), text.end());
}

// The lines of a text file, without line ends and blank lines.
std::vector<std::string> Lines(const fs::path& file) {
    std::ifstream in(file);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (!line.empty()) {
            lines.push_back(line);
        }
    }
    return lines;
}

// The settings file that leads the program to the port at the baud rate.
std::string SettingsFor(const char* port, int baudIndex) {
    return "[Settings]\r\nCom-Port=" + std::to_string(PortIndex(port)) +
           "\r\nBaudrate=" + std::to_string(baudIndex) + "\r\n";
}

std::wstring Widen(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

// Reported, not judged: a figure of this run, printed and kept in the report file.
void Report(const char* format, const char* port, double seconds) {
    char report[200];
    std::snprintf(report, sizeof report, format, port, seconds);
    std::fputs(report, stdout);
    if (FILE* out = std::fopen(FWL_REPORT_FILE, "a")) {
        std::fputs(report, out);
        std::fclose(out);
    }
}

// One run of the program from a folder of its own, with the test's settings file beside it.
class TRun {
public:
    TRun() {
        static int runs = 0;
        Folder =
            fs::temp_directory_path() / ("fwl-window-" + std::to_string(::GetCurrentProcessId()) +
                                         "-" + std::to_string(++runs));
        fs::remove_all(Folder);
        fs::create_directories(Folder);
        Program = Folder / "firmware-loader.exe";
        fs::copy_file(fs::absolute(FWL_WINDOW_EXE), Program);
    }

    // A program still running when the test ends is ended by its handle.
    ~TRun() {
        if (Process && ::WaitForSingleObject(Process.get(), 0) == WAIT_TIMEOUT) {
            ::TerminateProcess(Process.get(), 1);
            ::WaitForSingleObject(Process.get(), 30000);
        }
        Process.reset();
        std::error_code ignored;
        fs::remove_all(Folder, ignored);
    }
    TRun(const TRun&) = delete;
    TRun& operator=(const TRun&) = delete;

    fs::path SettingsFile() const { return Folder / "firmware-loader.ini"; }

    // Starts the program (with this settings file, if any) and waits for its dialog.
    void Start(const std::string& settings = {}) {
        if (!settings.empty()) {
            std::ofstream(SettingsFile(), std::ios::binary) << settings;
        }
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info{};
        std::wstring command = L"\"" + Program.wstring() + L"\"";
        ASSERT_TRUE(::CreateProcessW(Program.c_str(), command.data(), nullptr, nullptr, FALSE, 0,
                                     nullptr, Folder.c_str(), &startup, &info))
            << "CreateProcess failed: " << ::GetLastError();
        Process.reset(info.hProcess);
        ::CloseHandle(info.hThread);
        ProcessId = info.dwProcessId;

        ASSERT_TRUE(Eventually([&] { return (Dialog = FindDialog(nullptr)) != nullptr; }, Patience))
            << "the dialog did not appear";
        for (HWND child = ::GetWindow(Dialog, GW_CHILD); child;
             child = ::GetWindow(child, GW_HWNDNEXT)) {
            Children.push_back(child);
        }
        ASSERT_EQ(Children.size(), 25u) << "the dialog's controls";
    }

    // Starts the program on the port at the baud rate, chooses the address and clicks
    // Continue: an update begins.
    void StartUpdate(const char* port, int baudIndex, int address) {
        ASSERT_NO_FATAL_FAILURE(Start(SettingsFor(port, baudIndex)));
        ASSERT_NO_FATAL_FAILURE(Choose(ModbusAdr(), address - 1));
        Click(Continue());
    }

    // The message box the program shows, if any.
    HWND Box() const { return FindDialog(Dialog); }

    // A visible top-level dialog of the program with the window's caption and this owner: the
    // main window has none, its message boxes are owned by it.
    HWND FindDialog(HWND owner) const {
        struct TSearch {
            DWORD Pid;
            HWND Owner;
            HWND Found;
        } search{ProcessId, owner, nullptr};
        ::EnumWindows(
            [](HWND window, LPARAM data) -> BOOL {
                auto& s = *reinterpret_cast<TSearch*>(data);
                DWORD pid = 0;
                ::GetWindowThreadProcessId(window, &pid);
                if (pid == s.Pid && ::IsWindowVisible(window) && ClassOf(window) == L"#32770" &&
                    ::GetWindow(window, GW_OWNER) == s.Owner && WindowText(window) == Caption) {
                    s.Found = window;
                    return FALSE;
                }
                return TRUE;
            },
            reinterpret_cast<LPARAM>(&search));
        return search.Found;
    }

    // The n-th control of a kind, counted from 0 in the dialog's order.
    HWND Control(const wchar_t* kind, int n) const {
        for (HWND child : Children) {
            if (_wcsicmp(ClassOf(child).c_str(), kind) == 0 && n-- == 0) {
                return child;
            }
        }
        ADD_FAILURE() << "no control " << Narrow(kind) << " of that number";
        return nullptr;
    }
    HWND Processor() const { return Control(L"ComboBox", 0); }
    HWND ComPort() const { return Control(L"ComboBox", 1); }
    HWND Baudrate() const { return Control(L"ComboBox", 2); }
    HWND ModbusAdr() const { return Control(L"ComboBox", 3); }
    HWND User() const { return Control(L"Edit", 0); }
    HWND Initial() const { return Control(L"Button", 0); }
    HWND Continue() const { return Control(L"Button", 1); }
    HWND Exit() const { return Control(L"Button", 2); }
    HWND Activity() const { return Control(L"Static", 12); }
    HWND Bar() const { return Control(L"msctls_progress32", 0); }
    HWND InfoList() const { return Control(L"SysListView32", 0); }

    // A user's choice in a drop-down list: the selection, then the notice the dialog gets.
    void Choose(HWND combo, int index) const {
        ASSERT_EQ(Send(combo, CB_SETCURSEL, index), index);
        Send(Dialog, WM_COMMAND, MAKEWPARAM(::GetDlgCtrlID(combo), CBN_SELCHANGE),
             reinterpret_cast<LPARAM>(combo));
    }

    static void Click(HWND button) { ::PostMessageW(button, BM_CLICK, 0, 0); }

    // Waits for a message box, reads it and presses its OK (or for a question Yes or No);
    // returns its text.
    std::wstring AnswerBox(int button = IDOK, std::chrono::milliseconds limit = Patience) const {
        HWND box = nullptr;
        if (!Eventually([&] { return (box = Box()) != nullptr; }, limit)) {
            ADD_FAILURE() << "no message box appeared";
            return L"";
        }
        const std::wstring text = WindowText(::GetDlgItem(box, 0xFFFF));
        const HWND pressed = ::GetDlgItem(box, button);
        EXPECT_NE(pressed, nullptr) << "the box has no button " << button;
        ::PostMessageW(pressed, BM_CLICK, 0, 0);
        EXPECT_TRUE(Eventually([&] { return !::IsWindow(box); }, Patience))
            << "the button did not close the box";
        return text;
    }

    // Waits until the update has ended with success or a box; the seconds it took.
    double AwaitEnd() const {
        const auto start = Clock::now();
        const bool ended =
            Eventually([&] { return WindowText(Activity()) == Success || Box(); }, UpdatePatience);
        EXPECT_TRUE(ended) << "the update did not end; activity: "
                           << Narrow(WindowText(Activity()));
        return std::chrono::duration<double>(Clock::now() - start).count();
    }

    // Ends the program as a power cut or the task manager would: nothing is saved.
    void Kill() {
        ::TerminateProcess(Process.get(), 1);
        ::WaitForSingleObject(Process.get(), 30000);
    }

    // No box is open once the dialog is taking messages again after the last one closed: a
    // handler that showed another would be inside that box's loop by then.
    bool NoBoxOpen() const {
        Send(Dialog, WM_NULL);
        return Box() == nullptr;
    }

    // Waits for the program to end and gives its exit code.
    DWORD ExitCode() const {
        if (::WaitForSingleObject(Process.get(), std::chrono::milliseconds(Patience).count()) !=
            WAIT_OBJECT_0) {
            ADD_FAILURE() << "the program did not end";
            return STILL_ACTIVE;
        }
        DWORD code = STILL_ACTIVE;
        ::GetExitCodeProcess(Process.get(), &code);
        return code;
    }

    // The text of a list-view cell: the message's item and buffer live in the program's memory.
    std::wstring ListText(int item, int column) const {
        struct TRemote {
            LVITEMW Item;
            wchar_t Text[64];
        };
        auto* remote = static_cast<TRemote*>(::VirtualAllocEx(
            Process.get(), nullptr, sizeof(TRemote), MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
        if (remote == nullptr) {
            ADD_FAILURE() << "VirtualAllocEx failed: " << ::GetLastError();
            return L"";
        }
        TRemote local{};
        local.Item.iSubItem = column;
        local.Item.cchTextMax = 64;
        local.Item.pszText = remote->Text;
        ::WriteProcessMemory(Process.get(), remote, &local, sizeof local, nullptr);
        Send(InfoList(), LVM_GETITEMTEXTW, item, reinterpret_cast<LPARAM>(&remote->Item));
        ::ReadProcessMemory(Process.get(), remote, &local, sizeof local, nullptr);
        ::VirtualFreeEx(Process.get(), remote, 0, MEM_RELEASE);
        local.Text[63] = L'\0';
        return local.Text;
    }

private:
    HWND Dialog = nullptr;
    fs::path Folder;
    fs::path Program;
    THandle Process;
    DWORD ProcessId = 0;
    std::vector<HWND> Children;
};

TEST(WindowWin32, CommunicationPageChecksOneAtATime) {
    TRun run;
    ASSERT_NO_FATAL_FAILURE(run.Start());
    // Without a settings file nothing is chosen; the lists are full.
    EXPECT_EQ(Selected(run.ComPort()), -1);
    EXPECT_EQ(Selected(run.Baudrate()), -1);
    EXPECT_EQ(Selected(run.ModbusAdr()), -1);
    EXPECT_EQ(Send(run.ComPort(), CB_GETCOUNT), 255);
    EXPECT_EQ(ItemText(run.ComPort(), 254), L"COM255");
    EXPECT_EQ(Send(run.ModbusAdr(), CB_GETCOUNT), 255);
    EXPECT_EQ(ItemText(run.ModbusAdr(), 254), L"255");
    EXPECT_TRUE(::IsWindowVisible(run.ComPort()));
    EXPECT_TRUE(::IsWindowEnabled(run.Continue()));
    EXPECT_TRUE(::IsWindowEnabled(run.Exit()));

    const struct {
        HWND Choice; // chosen before the click
        int Index;
        const wchar_t* Message;
    } steps[] = {{nullptr, 0, L"Please choose a Com Port!"},
                 {run.ComPort(), 4, L"Please choose a baudrate!"},
                 {run.Baudrate(), BaudIndex19200, L"Please choose a Modbus address!"}};
    for (const auto& step : steps) {
        SCOPED_TRACE(Narrow(step.Message));
        if (step.Choice != nullptr) {
            ASSERT_NO_FATAL_FAILURE(run.Choose(step.Choice, step.Index));
        }
        TRun::Click(run.Continue());
        EXPECT_EQ(run.AnswerBox(), step.Message);
        EXPECT_TRUE(run.NoBoxOpen()) << "a second check spoke";
        // The page stays as it was.
        EXPECT_TRUE(::IsWindowVisible(run.ComPort()));
        EXPECT_FALSE(::IsWindowVisible(run.Activity()));
        EXPECT_TRUE(::IsWindowEnabled(run.Continue()));
    }
    TRun::Click(run.Exit());
    EXPECT_EQ(run.ExitCode(), 0u);
}

TEST(WindowWin32, SettingsFileRestoresPortAndBaudrateAndIsWrittenOnExit) {
    TRun run;
    // The device page's values in the file do not survive a start; another section does.
    ASSERT_NO_FATAL_FAILURE(run.Start("[Service]\r\nBench=7\r\n\r\n"
                                      "[Settings]\r\nProcessor=1\r\nUser=AB\r\nInitial=1\r\n"
                                      "Com-Port=2\r\nBaudrate=2\r\n"));
    EXPECT_EQ(Selected(run.ComPort()), 2);
    EXPECT_EQ(ItemText(run.ComPort(), 2), L"COM3");
    EXPECT_EQ(Selected(run.Baudrate()), 2);
    EXPECT_EQ(ItemText(run.Baudrate(), 2), L"38400");
    EXPECT_EQ(Selected(run.ModbusAdr()), -1) << "the address is never stored";
    EXPECT_EQ(Selected(run.Processor()), 0);
    EXPECT_EQ(EditText(run.User()), L"QX");
    EXPECT_EQ(Send(run.Initial(), BM_GETCHECK), BST_UNCHECKED);
    EXPECT_TRUE(::IsWindowEnabled(run.ModbusAdr()));

    TRun::Click(run.Exit());
    // The file is written while the program ends; read it once the process has gone.
    ASSERT_EQ(run.ExitCode(), 0u);
    EXPECT_EQ(Lines(run.SettingsFile()),
              (std::vector<std::string>{"[Service]", "Bench=7", "[Settings]", "Processor=0",
                                        "User=QX", "Initial=0", "Com-Port=2", "Baudrate=2"}));
}

TEST(WindowWin32, WholeUpdate) {
    TRun run;
    ASSERT_NO_FATAL_FAILURE(run.Start(SettingsFor(FWL_WINDOW_PORT, BaudIndex57600)));
    ASSERT_NO_FATAL_FAILURE(run.Choose(run.ModbusAdr(), FWL_WINDOW_ADDRESS - 1));

    const auto start = Clock::now();
    TRun::Click(run.Continue());
    const bool ended = Eventually(
        [&] { return WindowText(run.Activity()) == Success || run.Box(); }, UpdatePatience);
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    ASSERT_TRUE(ended) << "the update did not end; activity: "
                       << Narrow(WindowText(run.Activity()));
    ASSERT_EQ(run.Box(), nullptr) << "the update failed";

    Report("Window update on %s at 57600 baud with the line's timing: %.1f s from Continue to "
           "\"Firmware loaded successfully!\"\n",
           FWL_WINDOW_PORT, seconds);

    const LRESULT high = Send(run.Bar(), PBM_GETRANGE, FALSE);
    EXPECT_GT(high, 0);
    EXPECT_EQ(Send(run.Bar(), PBM_GETPOS), high);
    EXPECT_TRUE(::IsWindowEnabled(run.Exit()));
    EXPECT_FALSE(::IsWindowEnabled(run.Continue()));

    // The hidden history holds the new record: user QX, the ID of the empty record before
    // it, the version the converter reports (0x2105).
    EXPECT_FALSE(::IsWindowVisible(run.InfoList()));
    ASSERT_EQ(Send(run.InfoList(), LVM_GETITEMCOUNT), 1);
    EXPECT_EQ(run.ListText(0, 0), L"1");
    EXPECT_EQ(run.ListText(0, 1).size(), 10u) << "dd.mm.yyyy";
    EXPECT_EQ(run.ListText(0, 2), L"QX");
    EXPECT_EQ(run.ListText(0, 3), L"0-0");
    EXPECT_EQ(run.ListText(0, 4), L"2.1.5");

    TRun::Click(run.Exit());
    EXPECT_EQ(run.ExitCode(), 0u);
}

TEST(WindowWin32, FailureEndsTheProgramAfterItsMessage) {
    // The converter's flash never reads blank where the firmware starts.
    TRun run;
    ASSERT_NO_FATAL_FAILURE(run.StartUpdate(FWL_FAULTY_PORT, BaudIndex19200, 1));
    EXPECT_EQ(run.AnswerBox(), L"Download failed!\nProgram terminated!");
    ASSERT_EQ(run.ExitCode(), 0u);
    // The window was destroyed as at Exit: the settings file holds the port.
    const auto lines = Lines(run.SettingsFile());
    EXPECT_NE(std::find(lines.begin(), lines.end(),
                        "Com-Port=" + std::to_string(PortIndex(FWL_FAULTY_PORT))),
              lines.end());
}

// Nothing answers on this port: No to the search ends as before, and so does a search that
// finds nothing.
TEST(WindowWin32, NothingAnswersEndsWithTheConnectText) {
    const std::wstring port = Widen(FWL_EMPTY_PORT);
    for (const int answer : {IDNO, IDYES}) {
        SCOPED_TRACE(answer == IDYES ? "search" : "no search");
        TRun run;
        ASSERT_NO_FATAL_FAILURE(run.StartUpdate(FWL_EMPTY_PORT, BaudIndex19200, 1));
        EXPECT_EQ(run.AnswerBox(answer), SearchQuestion(port));
        EXPECT_EQ(run.AnswerBox(IDOK, UpdatePatience),
                  L"Couldn't connect to converter via " + port + L"!\nProgram terminated!");
        EXPECT_EQ(run.ExitCode(), 0u);
    }
}

// A boot loader left waiting: No ends as before and leaves it waiting.
TEST(WindowWin32, WaitingBootLoaderLeftOnNoEndsAsBefore) {
    TRun run;
    ASSERT_NO_FATAL_FAILURE(run.StartUpdate(FWL_LOADER_PORT, BaudIndex19200, 1));
    EXPECT_EQ(run.AnswerBox(IDNO), LoaderQuestion);
    EXPECT_EQ(run.AnswerBox(), L"Couldn't connect to converter via " + Widen(FWL_LOADER_PORT) +
                                   L"!\nProgram terminated!");
    EXPECT_EQ(run.ExitCode(), 0u);
}

// An update killed midway leaves the converter in its boot loader; the window started again
// offers to finish it there, and Yes does (the flash is compared once the simulator stops).
TEST(WindowWin32, UpdateKilledMidwayIsFinishedWhenStartedAgain) {
    {
        TRun run;
        ASSERT_NO_FATAL_FAILURE(
            run.StartUpdate(FWL_RESUME_PORT, BaudIndex57600, FWL_RESUME_ADDRESS));
        ASSERT_TRUE(Eventually(
            [&] {
                const LRESULT high = Send(run.Bar(), PBM_GETRANGE, FALSE);
                return WindowText(run.Activity()) == L"Loading Firmware..." && high > 0 &&
                       Send(run.Bar(), PBM_GETPOS) > high / 2;
            },
            UpdatePatience))
            << "the download did not get halfway";
        run.Kill();
    }
    TRun run;
    ASSERT_NO_FATAL_FAILURE(run.StartUpdate(FWL_RESUME_PORT, BaudIndex57600, FWL_RESUME_ADDRESS));
    EXPECT_EQ(run.AnswerBox(IDYES), LoaderQuestion);
    const double seconds = run.AwaitEnd();
    ASSERT_EQ(run.Box(), nullptr) << "the resumed update failed";
    EXPECT_EQ(WindowText(run.Activity()), Success);
    Report("Window resume on %s at 57600 baud with the line's timing: %.1f s from Yes to "
           "\"Firmware loaded successfully!\"\n",
           FWL_RESUME_PORT, seconds);
    // The record went to the converter's application at the page's address.
    ASSERT_EQ(Send(run.InfoList(), LVM_GETITEMCOUNT), 1);
    EXPECT_EQ(run.ListText(0, 2), L"QX");
    TRun::Click(run.Exit());
    EXPECT_EQ(run.ExitCode(), 0u);
}

// The converter answers at another address and speed: the search finds it, Yes updates it
// there, and the settings file keeps the speed it was found at.
TEST(WindowWin32, SearchFindsTheConverterAndYesUpdatesItThere) {
    TRun run;
    ASSERT_NO_FATAL_FAILURE(run.StartUpdate(FWL_SEARCH_PORT, BaudIndex19200, 1));
    const std::wstring port = Widen(FWL_SEARCH_PORT);
    EXPECT_EQ(run.AnswerBox(IDYES), SearchQuestion(port));
    EXPECT_EQ(run.AnswerBox(IDYES, UpdatePatience),
              L"Found a converter at address " + std::to_wstring(FWL_SEARCH_ADDRESS) +
                  L" with 38400 baud (type 0, subtype 0, version 2.1.5).\n\nUpdate it now?");
    run.AwaitEnd();
    ASSERT_EQ(run.Box(), nullptr) << "the update failed";
    EXPECT_EQ(ItemText(run.ModbusAdr(), Selected(run.ModbusAdr())),
              std::to_wstring(FWL_SEARCH_ADDRESS));
    ASSERT_EQ(Send(run.InfoList(), LVM_GETITEMCOUNT), 1);
    TRun::Click(run.Exit());
    ASSERT_EQ(run.ExitCode(), 0u);
    const auto lines = Lines(run.SettingsFile());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "Baudrate=" + std::to_string(BaudIndex38400)),
              lines.end());
}

// Two converters and a meter on one line: the search's box lists them, Yes updates both in
// turn, and one box tells how each ended before the window ends as after one update.
TEST(WindowWin32, SeveralFoundAreUpdatedOneAfterAnotherOnYes) {
    TRun run;
    ASSERT_NO_FATAL_FAILURE(run.StartUpdate(FWL_BUS_PORT, BaudIndex19200, 1));
    const std::wstring port = Widen(FWL_BUS_PORT);
    EXPECT_EQ(run.AnswerBox(IDYES), SearchQuestion(port));
    EXPECT_EQ(run.AnswerBox(IDYES, UpdatePatience),
              L"Found on " + port +
                  L":\nAddress 5 with 38400 baud (type 0, subtype 0, version 2.1.5)\n"
                  L"Address 9 with 38400 baud (type 0, subtype 0, version 2.1.5)\n"
                  L"Address 11 with 38400 baud: a Modbus device that is not a converter "
                  L"(exception 2: illegal data address)\n\n"
                  L"Update all 2 converters now, one after another?");
    const std::wstring results = run.AnswerBox(IDOK, 2 * UpdatePatience);
    EXPECT_TRUE(results.starts_with(L"Converters on " + port +
                                    L":\nAddress 5: 2.1.5 -> 2.1.5, Firmware loaded "
                                    L"successfully! ("))
        << Narrow(results);
    EXPECT_TRUE(results.ends_with(L"\n\n2 of 2 converters updated.")) << Narrow(results);
    run.AwaitEnd();
    EXPECT_EQ(WindowText(run.Activity()), Success);
    ASSERT_EQ(Send(run.InfoList(), LVM_GETITEMCOUNT), 1); // the last converter's history
    TRun::Click(run.Exit());
    EXPECT_EQ(run.ExitCode(), 0u);
}

} // namespace
