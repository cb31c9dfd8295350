#pragma once

#include "app/Wizard.h"
#include "loader/ProgressBar.h"

#include <memory>
#include <string>
#include <type_traits>
#include <vector>
#include <windows.h>

// Owners of the window system's handles. A dialog is let go of by its object before it is
// destroyed, so that its own teardown reaches no handler.
struct TDialogDestroyer {
    void operator()(HWND dialog) const;
};
using TDialogHandle = std::unique_ptr<std::remove_pointer_t<HWND>, TDialogDestroyer>;

struct TGdiObjectDeleter {
    void operator()(HFONT font) const { DeleteObject(font); }
};
using TFontHandle = std::unique_ptr<std::remove_pointer_t<HFONT>, TGdiObjectDeleter>;

// The dialog's progress bar as the loader drives it.
class TWin32ProgressBar final : public TProgressBar {
public:
    explicit TWin32ProgressBar(HWND bar) : Bar(bar) {}
    void SetRange(int minimum, int maximum) override;
    void SetPosition(int position) override;

private:
    HWND Bar;
};

// The wizard drawn by Win32: a modeless dialog from the template IDD_MAIN (resources/Main.rc)
// whose events go to the toolkit-free core of the same names.
class TwinMain final : public TWizardView {
public:
    // Builds the dialog hidden, then the core, which fills it and shows tsComm.
    TwinMain(HINSTANCE instance, const std::string& settingsFile);
    ~TwinMain() override;
    TwinMain(const TwinMain&) = delete;
    TwinMain& operator=(const TwinMain&) = delete;

    // Shows the window and runs the message loop until the window closes; then FormDestroy.
    void Run();

    // Shows the exception in flight in an error box; only inside a catch block.
    static void ShowException(HWND owner) noexcept;

    // TWizardView
    void AddItem(TWizardList list, const std::string& text) override;
    int ItemCount(TWizardList list) const override;
    int ItemIndex(TWizardList list) const override;
    void SetItemIndex(TWizardList list, int index) override;
    std::string ItemText(TWizardList list) const override;
    std::string Text(TWizardEdit edit) const override;
    void SetText(TWizardEdit edit, const std::string& text) override;
    bool InitialChecked() const override;
    void SetInitialChecked(bool checked) override;
    void Enable(TWizardControl control, bool enabled) override;
    int CurrentPage() const override { return FPage; }
    void SetCurrentPage(int page) override;
    void CloseWindow() override;
    TProgressBar& ProgressBar() override { return *FProgressBar; }
    void EnableButtons(bool continueEnabled, bool exitEnabled) override;
    void ShowActivity(const std::string& text) override;
    void ShowMessage(const std::string& text) override;
    bool AskQuestion(const std::string& text) override;
    void ProcessMessages() override;
    void SuspendHistory() override;
    void AddHistoryRow(const std::vector<std::string>& row) override;
    void ResumeHistory() override;

private:
    static INT_PTR CALLBACK DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR HandleMessage(UINT message, WPARAM wParam, LPARAM lParam);
    void InitDialog(HWND dialog);
    bool Command(int id, int code);
    void DrawItem(const DRAWITEMSTRUCT& item) const;
    // Places every control for the DPI and sizes the client area; keeps the window's top left
    // corner, or takes the one of the given rectangle.
    void Layout(UINT dpi, const RECT* suggested);
    void FitComboHeight(HWND combo, const RECT& rect) const;
    void KeepDigits(HWND edit) const;
    void FocusVisibleControl() const;
    void Dispatch(MSG& message);
    HWND Item(int id) const { return GetDlgItem(FDialog.get(), id); }

    // Declared in the order they may go: the core before the bar it drives and the dialog
    // it reads, the dialog before the fonts its controls use.
    TFontHandle FFont;
    TFontHandle FHeaderFont;
    TDialogHandle FDialog;
    std::unique_ptr<TWin32ProgressBar> FProgressBar;
    std::unique_ptr<TWizard> FWizard;
    UINT FDpi = USER_DEFAULT_SCREEN_DPI;
    int FPage = TWizard::PageKova; // the page shown at design time
    bool FClosing = false;         // the message loop has been told to end
};
