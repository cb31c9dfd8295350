#include "app/MainWin32.h"
#include "app/Settings.h"

#include <commctrl.h>
#include <stdexcept>
#include <string>

namespace {

// The full path of this program, however long it is.
std::string ModulePath() {
    std::string path(MAX_PATH, '\0');
    for (;;) {
        const DWORD length =
            GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) {
            throw std::runtime_error("The program's own path could not be read.");
        }
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2); // cut short: try a longer buffer
    }
}

} // namespace

// The program takes no arguments; whatever happens, it returns 0.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    try {
        INITCOMMONCONTROLSEX classes{};
        classes.dwSize = sizeof classes;
        classes.dwICC = ICC_STANDARD_CLASSES | ICC_PROGRESS_CLASS | ICC_LISTVIEW_CLASSES;
        InitCommonControlsEx(&classes);
        TwinMain window(instance, SettingsPath(ModulePath()));
        window.Run();
    } catch (...) {
        TwinMain::ShowException(nullptr);
    }
    return 0;
}
