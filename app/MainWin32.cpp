#include "app/MainWin32.h"

#include "link/MessagePump.h"
#include "resources/MainResource.h"

#include <algorithm>
#include <commctrl.h>
#include <exception>
#include <iterator>
#include <stdexcept>

namespace {

// The layout is drawn in pixels at 96 DPI and scaled for the window's DPI.
constexpr int DesignDpi = USER_DEFAULT_SCREEN_DPI;
constexpr SIZE ClientSize{353, 225};
// Page contents sit inside the page control's frame, 4 pixels wide, at (8, 8).
constexpr POINT PageOrigin{12, 12};
constexpr int PageFrameWidth = 4;

// The layout's font first; where a system lacks it (Wine without Windows' fonts), a narrow
// font keeps the captions in their places.
constexpr const char* DialogFontNames[] = {"MS Sans Serif", "Microsoft Sans Serif",
                                           "Liberation Sans", "DejaVu Sans Condensed"};
constexpr int DialogFontPoints = 8;
constexpr int HeaderFontPoints = 10;
constexpr int PointsPerInch = 72;
constexpr COLORREF HeaderTextColour = RGB(255, 255, 255);

constexpr int DropDownItems = 10; // rows a drop-down list shows before it scrolls
constexpr int ComboFitPasses = 3;
constexpr int ProgressMinimum = 0;
constexpr int ProgressMaximum = 100;

constexpr const char* HistoryColumns[] = {"Nr", "Date", "User", "ID", "Version"};
constexpr int HistoryColumnWidths[] = {30, 70, 50, 60, 60};
static_assert(std::size(HistoryColumns) == std::size(HistoryColumnWidths));

// How a control is laid out and drawn.
enum class TKind { Frame, Header, Plain, Combo };
constexpr int AllPages = -1; // on the dialog itself, not on a page

struct TPlacement {
    int Id;
    int Page;
    TKind Kind;
    RECT Rect; // Main.ui's geometry: page coordinates for page contents
};

constexpr RECT Geometry(int x, int y, int width, int height) {
    return {x, y, x + width, y + height};
}

// Every control of the template, in template order.
constexpr TPlacement Placements[] = {
    {IDC_PAGES, AllPages, TKind::Frame, Geometry(8, 8, 337, 177)},

    {IDC_PNLKOVA, TWizard::PageKova, TKind::Header, Geometry(0, 0, 329, 33)},
    {IDC_LABPROCESSOR, TWizard::PageKova, TKind::Plain, Geometry(8, 52, 96, 13)},
    {IDC_CMBPROCESSOR, TWizard::PageKova, TKind::Combo, Geometry(104, 48, 145, 21)},
    {IDC_LABUSER, TWizard::PageKova, TKind::Plain, Geometry(8, 84, 96, 13)},
    {IDC_TXTUSER, TWizard::PageKova, TKind::Plain, Geometry(104, 80, 33, 21)},
    {IDC_CHKINITIAL, TWizard::PageKova, TKind::Plain, Geometry(104, 108, 201, 17)},
    {IDC_LABTALVEXID, TWizard::PageKova, TKind::Plain, Geometry(8, 136, 96, 13)},
    {IDC_TXTHID1, TWizard::PageKova, TKind::Plain, Geometry(104, 132, 57, 21)},
    {IDC_LABIDSEPARATOR, TWizard::PageKova, TKind::Plain, Geometry(164, 136, 8, 13)},
    {IDC_TXTHID2, TWizard::PageKova, TKind::Plain, Geometry(172, 132, 73, 21)},

    {IDC_PNLCOMM, TWizard::PageComm, TKind::Header, Geometry(0, 0, 329, 33)},
    {IDC_LABCOMPORT, TWizard::PageComm, TKind::Plain, Geometry(8, 52, 96, 13)},
    {IDC_CMBCOMPORT, TWizard::PageComm, TKind::Combo, Geometry(104, 48, 145, 21)},
    {IDC_LABBAUDRATE, TWizard::PageComm, TKind::Plain, Geometry(8, 84, 96, 13)},
    {IDC_CMBBAUDRATE, TWizard::PageComm, TKind::Combo, Geometry(104, 80, 145, 21)},
    {IDC_LABMODBUSADR, TWizard::PageComm, TKind::Plain, Geometry(8, 116, 96, 13)},
    {IDC_CMBMODBUSADR, TWizard::PageComm, TKind::Combo, Geometry(104, 112, 145, 21)},

    {IDC_PNLPROGRESS, TWizard::PageProgress, TKind::Header, Geometry(0, 0, 329, 33)},
    {IDC_LABACTIVITYCAPTION, TWizard::PageProgress, TKind::Plain, Geometry(8, 44, 96, 13)},
    {IDC_LABACTIVITY, TWizard::PageProgress, TKind::Plain, Geometry(104, 44, 217, 13)},
    {IDC_PROGRESSBAR1, TWizard::PageProgress, TKind::Plain, Geometry(8, 64, 313, 25)},
    {IDC_INFOLIST, TWizard::PageProgress, TKind::Plain, Geometry(8, 96, 313, 65)},

    {IDC_BTNCONTINUE, AllPages, TKind::Plain, Geometry(128, 192, 105, 25)},
    {IDC_BTNEXIT, AllPages, TKind::Plain, Geometry(240, 192, 105, 25)},
};

// The history list is filled but nothing shows it.
constexpr bool NeverShown(int id) {
    return id == IDC_INFOLIST;
}

int Scale(int value, UINT dpi) {
    return MulDiv(value, static_cast<int>(dpi), DesignDpi);
}

// Edges are scaled, not sizes, so that neighbours stay neighbours at every DPI.
RECT PixelRect(const TPlacement& placement, UINT dpi) {
    RECT rect = placement.Rect;
    if (placement.Page != AllPages) {
        OffsetRect(&rect, PageOrigin.x, PageOrigin.y);
    }
    return {Scale(rect.left, dpi), Scale(rect.top, dpi), Scale(rect.right, dpi),
            Scale(rect.bottom, dpi)};
}

int Width(const RECT& rect) {
    return rect.right - rect.left;
}

int Height(const RECT& rect) {
    return rect.bottom - rect.top;
}

// The controls the wizard names, in the order of its enumerations.
constexpr int ListIds[] = {IDC_CMBPROCESSOR, IDC_CMBCOMPORT, IDC_CMBBAUDRATE, IDC_CMBMODBUSADR};
constexpr int EditIds[] = {IDC_TXTUSER, IDC_TXTHID1, IDC_TXTHID2};
constexpr int ControlIds[] = {IDC_CMBMODBUSADR, IDC_TXTHID1, IDC_TXTHID2};

int ListId(TWizardList list) {
    return ListIds[static_cast<std::size_t>(list)];
}

int EditId(TWizardEdit edit) {
    return EditIds[static_cast<std::size_t>(edit)];
}

int ControlId(TWizardControl control) {
    return ControlIds[static_cast<std::size_t>(control)];
}

std::string WindowText(HWND window) {
    std::string text(static_cast<std::size_t>(GetWindowTextLengthA(window)) + 1, '\0');
    text.resize(static_cast<std::size_t>(
        GetWindowTextA(window, text.data(), static_cast<int>(text.size()))));
    return text;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// The DPI functions of newer systems, looked up so that the program still starts without them.
using TGetDpiForWindow = UINT(WINAPI*)(HWND);
using TAdjustWindowRectExForDpi = BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT);
using TSetDialogDpiChangeBehavior = BOOL(WINAPI*)(HWND, DIALOG_DPI_CHANGE_BEHAVIORS,
                                                  DIALOG_DPI_CHANGE_BEHAVIORS);

template <typename TFunction>
TFunction User32Function(const char* name) {
    const HMODULE user32 = GetModuleHandleA("user32.dll");
    const FARPROC function = user32 ? GetProcAddress(user32, name) : nullptr;
    return reinterpret_cast<TFunction>(reinterpret_cast<void (*)()>(function));
}

// A device context of the screen for as long as it is needed.
class TScreenDc {
public:
    TScreenDc() : Dc(GetDC(nullptr)) {}
    ~TScreenDc() {
        if (Dc) {
            ReleaseDC(nullptr, Dc);
        }
    }
    TScreenDc(const TScreenDc&) = delete;
    TScreenDc& operator=(const TScreenDc&) = delete;
    HDC Dc;
};

UINT WindowDpi(HWND window) {
    static const auto getDpiForWindow = User32Function<TGetDpiForWindow>("GetDpiForWindow");
    if (getDpiForWindow) {
        if (const UINT dpi = getDpiForWindow(window)) {
            return dpi;
        }
    }
    const TScreenDc screen;
    const int dpi = screen.Dc ? GetDeviceCaps(screen.Dc, LOGPIXELSX) : 0;
    return dpi > 0 ? static_cast<UINT>(dpi) : DesignDpi;
}

RECT WindowRectForClient(HWND window, SIZE client, UINT dpi) {
    static const auto adjustForDpi =
        User32Function<TAdjustWindowRectExForDpi>("AdjustWindowRectExForDpi");
    RECT rect{0, 0, client.cx, client.cy};
    const auto style = static_cast<DWORD>(GetWindowLongPtrA(window, GWL_STYLE));
    const auto exStyle = static_cast<DWORD>(GetWindowLongPtrA(window, GWL_EXSTYLE));
    if (!adjustForDpi || !adjustForDpi(&rect, style, FALSE, exStyle, dpi)) {
        AdjustWindowRectEx(&rect, style, FALSE, exStyle);
    }
    return rect;
}

int CALLBACK NoteFontFound(const LOGFONTA*, const TEXTMETRICA*, DWORD, LPARAM found) {
    *reinterpret_cast<bool*>(found) = true;
    return 0; // one is enough
}

bool FontInstalled(HDC dc, const char* face) {
    LOGFONTA query{};
    query.lfCharSet = DEFAULT_CHARSET;
    lstrcpynA(query.lfFaceName, face, LF_FACESIZE);
    bool found = false;
    EnumFontFamiliesExA(dc, &query, NoteFontFound, reinterpret_cast<LPARAM>(&found), 0);
    return found;
}

const char* DialogFontName() {
    static const char* const name = [] {
        const TScreenDc screen;
        for (const char* face : DialogFontNames) {
            if (screen.Dc && FontInstalled(screen.Dc, face)) {
                return face;
            }
        }
        return DialogFontNames[0];
    }();
    return name;
}

TFontHandle MakeFont(int points, int weight, UINT dpi) {
    return TFontHandle(CreateFontA(-MulDiv(points, static_cast<int>(dpi), PointsPerInch), 0, 0, 0,
                                   weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                                   CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_SWISS,
                                   DialogFontName()));
}

void CentreOnWorkArea(HWND window) {
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    RECT rect;
    if (!GetMonitorInfoA(MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST), &monitor) ||
        !GetWindowRect(window, &rect)) {
        return;
    }
    const RECT& work = monitor.rcWork;
    SetWindowPos(window, nullptr, work.left + (Width(work) - Width(rect)) / 2,
                 work.top + (Height(work) - Height(rect)) / 2, 0, 0,
                 SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

LRESULT Send(HWND window, UINT message, WPARAM wParam = 0, LPARAM lParam = 0) {
    return SendMessageA(window, message, wParam, lParam);
}

// A drop-down list is a top-level window of its own. A request to close the program's windows
// (taskkill, a logout's tools) reaches it too and would destroy it under its combo box, which
// then reports no selection (index 0) when the settings are saved: it only closes with its box.
LRESULT CALLBACK KeepDropDownList(HWND list, UINT message, WPARAM wParam, LPARAM lParam,
                                  UINT_PTR id, DWORD_PTR /*data*/) {
    if (message == WM_CLOSE) {
        return 0;
    }
    if (message == WM_NCDESTROY) {
        RemoveWindowSubclass(list, KeepDropDownList, id);
    }
    return DefSubclassProc(list, message, wParam, lParam);
}

} // namespace

void TDialogDestroyer::operator()(HWND dialog) const {
    SetWindowLongPtrA(dialog, DWLP_USER, 0);
    DestroyWindow(dialog);
}

void TWin32ProgressBar::SetRange(int minimum, int maximum) {
    Send(Bar, PBM_SETRANGE32, static_cast<WPARAM>(minimum), maximum);
    UpdateWindow(Bar);
}

void TWin32ProgressBar::SetPosition(int position) {
    Send(Bar, PBM_SETPOS, static_cast<WPARAM>(position));
    UpdateWindow(Bar);
}

TwinMain::TwinMain(HINSTANCE instance, const std::string& settingsFile) {
    // WM_INITDIALOG takes ownership of the handle and builds the widgets.
    CreateDialogParamA(instance, MAKEINTRESOURCEA(IDD_MAIN), nullptr, DialogProc,
                       reinterpret_cast<LPARAM>(this));
    if (!FDialog) {
        throw std::runtime_error("The main window could not be created.");
    }
    FWizard = std::make_unique<TWizard>(*this, settingsFile);
    // Serial reads wait on this thread; the window repaints and moves meanwhile.
    SetMessageHook([this] { ProcessMessages(); });
}

TwinMain::~TwinMain() {
    SetMessageHook(nullptr);
    FWizard.reset();
}

void TwinMain::Run() {
    ShowWindow(FDialog.get(), SW_SHOW);
    FocusVisibleControl();
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        Dispatch(message);
    }
    try {
        FWizard->FormDestroy();
    } catch (...) {
        ShowException(FDialog.get());
    }
}

void TwinMain::ShowException(HWND owner) noexcept {
    const auto show = [owner](const char* text) {
        MessageBoxA(owner, text, ApplicationTitle, MB_OK | MB_ICONERROR);
    };
    try {
        throw;
    } catch (const std::exception& error) {
        show(error.what());
    } catch (...) {
        show("");
    }
}

INT_PTR CALLBACK TwinMain::DialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    // No exception may cross into the window system: each is shown here, then the program
    // goes on.
    try {
        if (message == WM_INITDIALOG) {
            SetWindowLongPtrA(dialog, DWLP_USER, lParam);
            reinterpret_cast<TwinMain*>(lParam)->InitDialog(dialog);
            return TRUE;
        }
        if (auto* self = reinterpret_cast<TwinMain*>(GetWindowLongPtrA(dialog, DWLP_USER))) {
            return self->HandleMessage(message, wParam, lParam);
        }
    } catch (...) {
        ShowException(dialog);
    }
    return FALSE;
}

INT_PTR TwinMain::HandleMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_COMMAND:
        return Command(LOWORD(wParam), HIWORD(wParam)) ? TRUE : FALSE;
    case WM_CLOSE:
        CloseWindow();
        return TRUE;
    case WM_DRAWITEM:
        DrawItem(*reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
        SetWindowLongPtrA(FDialog.get(), DWLP_MSGRESULT, TRUE);
        return TRUE;
    case WM_DPICHANGED:
        Layout(LOWORD(wParam), reinterpret_cast<const RECT*>(lParam));
        return TRUE;
    case WM_DESTROY:
        // Destroyed by someone else while the loop runs: the loop has nothing left to serve.
        if (!FClosing) {
            FClosing = true;
            PostQuitMessage(0);
        }
        return TRUE;
    default:
        return FALSE;
    }
}

void TwinMain::InitDialog(HWND dialog) {
    FDialog.reset(dialog);
    // The dialog lays itself out for a new DPI; the dialog manager is not to scale it as well.
    if (const auto setBehavior =
            User32Function<TSetDialogDpiChangeBehavior>("SetDialogDpiChangeBehavior")) {
        setBehavior(dialog, DDC_DISABLE_ALL, DDC_DISABLE_ALL);
    }

    Send(Item(IDC_TXTUSER), EM_LIMITTEXT, UserLength);
    Send(Item(IDC_TXTHID1), EM_LIMITTEXT, Id1MaxDigits);
    Send(Item(IDC_TXTHID2), EM_LIMITTEXT, Id2MaxDigits);
    for (const char* baudrate : BaudrateItems) {
        AddItem(TWizardList::Baudrate, baudrate);
    }
    for (const int id : ListIds) {
        COMBOBOXINFO combo{};
        combo.cbSize = sizeof combo;
        if (GetComboBoxInfo(Item(id), &combo) && combo.hwndList) {
            SetWindowSubclass(combo.hwndList, KeepDropDownList, 0, 0);
        }
    }

    const HWND bar = Item(IDC_PROGRESSBAR1);
    Send(bar, PBM_SETRANGE32, ProgressMinimum, ProgressMaximum);
    FProgressBar = std::make_unique<TWin32ProgressBar>(bar);

    const HWND history = Item(IDC_INFOLIST);
    Send(history, LVM_SETEXTENDEDLISTVIEWSTYLE, LVS_EX_FULLROWSELECT, LVS_EX_FULLROWSELECT);
    for (int column = 0; column < static_cast<int>(std::size(HistoryColumns)); ++column) {
        LVCOLUMNA header{};
        header.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
        header.pszText = const_cast<char*>(HistoryColumns[column]); // copied by the list
        header.cx = HistoryColumnWidths[column];
        header.iSubItem = column;
        Send(history, LVM_INSERTCOLUMNA, static_cast<WPARAM>(column),
             reinterpret_cast<LPARAM>(&header));
    }

    Layout(WindowDpi(dialog), nullptr);
    CentreOnWorkArea(dialog);
}

bool TwinMain::Command(int id, int code) {
    switch (id) {
    case IDC_TXTHID1:
    case IDC_TXTHID2:
        if (code == EN_CHANGE) {
            KeepDigits(Item(id));
        }
        return true;
    case IDOK:
    case IDCANCEL:
        return true; // neither Enter nor Escape ends the wizard
    default:
        break;
    }
    if (!FWizard || code != BN_CLICKED) {
        return false;
    }
    switch (id) {
    case IDC_BTNCONTINUE:
        FWizard->btnContinueClick();
        return true;
    case IDC_BTNEXIT:
        FWizard->btnExitClick();
        return true;
    case IDC_CHKINITIAL:
        FWizard->chkInitialClick();
        return true;
    default:
        return false;
    }
}

void TwinMain::DrawItem(const DRAWITEMSTRUCT& item) const {
    const HDC dc = item.hDC;
    RECT rect = item.rcItem;
    if (item.CtlID == IDC_PAGES) {
        // A raised ridge: light outer line, the face, dark inner line. Only the frame is
        // painted; the pages' controls lie inside it.
        DrawEdge(dc, &rect, BDR_RAISEDINNER, BF_RECT);
        const int inset = Scale(PageFrameWidth, FDpi) - 1;
        InflateRect(&rect, -inset, -inset);
        DrawEdge(dc, &rect, BDR_SUNKENOUTER, BF_RECT);
        return;
    }
    // A page's header panel: white on black.
    FillRect(dc, &rect, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
    DrawEdge(dc, &rect, EDGE_ETCHED, BF_RECT); // lowered outer, raised inner bevel
    const std::string caption = WindowText(item.hwndItem);
    const int oldMode = SetBkMode(dc, TRANSPARENT);
    const COLORREF oldColour = SetTextColor(dc, HeaderTextColour);
    const HGDIOBJ oldFont = SelectObject(dc, FHeaderFont.get());
    DrawTextA(dc, caption.c_str(), -1, &rect, DT_CENTER | DT_VCENTER | DT_SINGLELINE | DT_NOPREFIX);
    SelectObject(dc, oldFont);
    SetTextColor(dc, oldColour);
    SetBkMode(dc, oldMode);
}

void TwinMain::Layout(UINT dpi, const RECT* suggested) {
    FDpi = dpi;
    TFontHandle font = MakeFont(DialogFontPoints, FW_NORMAL, dpi);
    TFontHandle headerFont = MakeFont(HeaderFontPoints, FW_BOLD, dpi);
    for (const TPlacement& placement : Placements) {
        const HWND control = Item(placement.Id);
        const HFONT controlFont = placement.Kind == TKind::Header ? headerFont.get() : font.get();
        Send(control, WM_SETFONT, reinterpret_cast<WPARAM>(controlFont), FALSE);
        const RECT rect = PixelRect(placement, dpi);
        if (placement.Kind == TKind::Combo) {
            FitComboHeight(control, rect);
        } else {
            SetWindowPos(control, nullptr, rect.left, rect.top, Width(rect), Height(rect),
                         SWP_NOZORDER | SWP_NOACTIVATE);
        }
    }
    // The controls have let go of the old fonts.
    FFont = std::move(font);
    FHeaderFont = std::move(headerFont);

    const HWND history = Item(IDC_INFOLIST);
    for (int column = 0; column < static_cast<int>(std::size(HistoryColumnWidths)); ++column) {
        Send(history, LVM_SETCOLUMNWIDTH, static_cast<WPARAM>(column),
             Scale(HistoryColumnWidths[column], dpi));
    }

    // The client area exactly; what the frame around it takes is measured, not assumed.
    const HWND dialog = FDialog.get();
    const SIZE client{Scale(ClientSize.cx, dpi), Scale(ClientSize.cy, dpi)};
    RECT window;
    GetWindowRect(dialog, &window);
    const POINT origin =
        suggested ? POINT{suggested->left, suggested->top} : POINT{window.left, window.top};
    const RECT frame = WindowRectForClient(dialog, client, dpi);
    SetWindowPos(dialog, nullptr, origin.x, origin.y, Width(frame), Height(frame),
                 SWP_NOZORDER | SWP_NOACTIVATE);
    RECT actual;
    GetClientRect(dialog, &actual);
    if (Width(actual) != client.cx || Height(actual) != client.cy) {
        SetWindowPos(dialog, nullptr, 0, 0, Width(frame) + client.cx - Width(actual),
                     Height(frame) + client.cy - Height(actual),
                     SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
    InvalidateRect(dialog, nullptr, TRUE);
}

void TwinMain::FitComboHeight(HWND combo, const RECT& rect) const {
    // The window's height includes its drop-down list; the closed box is as high as its
    // selection field makes it, so the field is sized until the box has the layout's height.
    const auto itemHeight = static_cast<int>(Send(combo, CB_GETITEMHEIGHT, 0));
    const int listHeight = itemHeight * DropDownItems + Scale(2, FDpi);
    Send(combo, CB_SETMINVISIBLE, DropDownItems);
    SetWindowPos(combo, nullptr, rect.left, rect.top, Width(rect), Height(rect) + listHeight,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    // Systems differ in what they add to the field's height, so it is measured each time.
    auto fieldHeight = static_cast<int>(Send(combo, CB_GETITEMHEIGHT, static_cast<WPARAM>(-1)));
    for (int pass = 0; pass < ComboFitPasses; ++pass) {
        RECT closed;
        GetWindowRect(combo, &closed);
        const int difference = Height(rect) - Height(closed);
        if (difference == 0) {
            return;
        }
        fieldHeight += difference;
        Send(combo, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), fieldHeight);
    }
}

void TwinMain::KeepDigits(HWND edit) const {
    // ES_NUMBER stops typed letters only; pasted text is cleaned here.
    const std::string text = WindowText(edit);
    if (std::all_of(text.begin(), text.end(), IsDigit)) {
        return;
    }
    DWORD caret = 0;
    Send(edit, EM_GETSEL, 0, reinterpret_cast<LPARAM>(&caret));
    const auto before = text.begin() + std::min<std::size_t>(caret, text.size());
    const auto removed = std::count_if(text.begin(), before, [](char c) { return !IsDigit(c); });
    std::string digits;
    std::copy_if(text.begin(), text.end(), std::back_inserter(digits), IsDigit);
    SetWindowTextA(edit, digits.c_str());
    const auto position = static_cast<WPARAM>(std::distance(text.begin(), before) - removed);
    Send(edit, EM_SETSEL, position, static_cast<LPARAM>(position));
}

void TwinMain::FocusVisibleControl() const {
    // Hidden pages and disabled buttons must not keep the keyboard.
    const HWND dialog = FDialog.get();
    if (GetActiveWindow() != dialog) {
        return;
    }
    const HWND focus = GetFocus();
    if (focus && IsChild(dialog, focus) && IsWindowVisible(focus) && IsWindowEnabled(focus)) {
        return;
    }
    const HWND next = GetNextDlgTabItem(dialog, nullptr, FALSE);
    if (next && IsWindowVisible(next) && IsWindowEnabled(next)) {
        Send(dialog, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(next), TRUE);
    }
}

void TwinMain::Dispatch(MSG& message) {
    if (!IsDialogMessageA(FDialog.get(), &message)) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
}

void TwinMain::AddItem(TWizardList list, const std::string& text) {
    Send(Item(ListId(list)), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

int TwinMain::ItemCount(TWizardList list) const {
    return static_cast<int>(Send(Item(ListId(list)), CB_GETCOUNT));
}

int TwinMain::ItemIndex(TWizardList list) const {
    return static_cast<int>(Send(Item(ListId(list)), CB_GETCURSEL)); // CB_ERR is -1
}

void TwinMain::SetItemIndex(TWizardList list, int index) {
    Send(Item(ListId(list)), CB_SETCURSEL, static_cast<WPARAM>(index));
}

std::string TwinMain::ItemText(TWizardList list) const {
    const HWND combo = Item(ListId(list));
    const LRESULT index = Send(combo, CB_GETCURSEL);
    const LRESULT length = index == CB_ERR ? CB_ERR : Send(combo, CB_GETLBTEXTLEN, index);
    if (length == CB_ERR) {
        return {};
    }
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    const LRESULT copied = Send(combo, CB_GETLBTEXT, static_cast<WPARAM>(index),
                                reinterpret_cast<LPARAM>(text.data()));
    text.resize(copied == CB_ERR ? 0 : static_cast<std::size_t>(copied));
    return text;
}

std::string TwinMain::Text(TWizardEdit edit) const {
    return WindowText(Item(EditId(edit)));
}

void TwinMain::SetText(TWizardEdit edit, const std::string& text) {
    SetWindowTextA(Item(EditId(edit)), text.c_str());
}

bool TwinMain::InitialChecked() const {
    return IsDlgButtonChecked(FDialog.get(), IDC_CHKINITIAL) == BST_CHECKED;
}

void TwinMain::SetInitialChecked(bool checked) {
    CheckDlgButton(FDialog.get(), IDC_CHKINITIAL, checked ? BST_CHECKED : BST_UNCHECKED);
}

void TwinMain::Enable(TWizardControl control, bool enabled) {
    EnableWindow(Item(ControlId(control)), enabled ? TRUE : FALSE);
}

void TwinMain::SetCurrentPage(int page) {
    FPage = page;
    for (const TPlacement& placement : Placements) {
        if (placement.Page != AllPages && !NeverShown(placement.Id)) {
            ShowWindow(Item(placement.Id), placement.Page == page ? SW_SHOW : SW_HIDE);
        }
    }
    FocusVisibleControl();
}

void TwinMain::CloseWindow() {
    if (FClosing || !FWizard || !FWizard->CloseBox()) {
        return;
    }
    FClosing = true;
    // The window leaves the screen now; its controls stay until FormDestroy has saved them.
    ShowWindow(FDialog.get(), SW_HIDE);
    PostQuitMessage(0);
}

void TwinMain::EnableButtons(bool continueEnabled, bool exitEnabled) {
    EnableWindow(Item(IDC_BTNCONTINUE), continueEnabled ? TRUE : FALSE);
    EnableWindow(Item(IDC_BTNEXIT), exitEnabled ? TRUE : FALSE);
    FocusVisibleControl();
}

void TwinMain::ShowActivity(const std::string& text) {
    const HWND label = Item(IDC_LABACTIVITY);
    SetWindowTextA(label, text.c_str());
    UpdateWindow(label);
}

void TwinMain::ShowMessage(const std::string& text) {
    MessageBoxA(FDialog.get(), text.c_str(), ApplicationTitle, MB_OK);
}

bool TwinMain::AskQuestion(const std::string& text) {
    return MessageBoxA(FDialog.get(), text.c_str(), ApplicationTitle, MB_YESNO | MB_ICONQUESTION) ==
           IDYES;
}

void TwinMain::ProcessMessages() {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        if (message.message == WM_QUIT) {
            PostQuitMessage(static_cast<int>(message.wParam)); // for the message loop
            return;
        }
        Dispatch(message);
    }
}

void TwinMain::SuspendHistory() {
    const HWND history = Item(IDC_INFOLIST);
    Send(history, WM_SETREDRAW, FALSE);
    Send(history, LVM_DELETEALLITEMS);
}

void TwinMain::AddHistoryRow(const std::vector<std::string>& row) {
    const HWND history = Item(IDC_INFOLIST);
    LVITEMA item{};
    item.mask = LVIF_TEXT;
    item.iItem = static_cast<int>(Send(history, LVM_GETITEMCOUNT));
    for (std::size_t column = 0; column < row.size(); ++column) {
        item.iSubItem = static_cast<int>(column);
        item.pszText = const_cast<char*>(row[column].c_str()); // copied by the list
        if (column == 0) {
            item.iItem = static_cast<int>(
                Send(history, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item)));
            if (item.iItem < 0) {
                return;
            }
        } else {
            Send(history, LVM_SETITEMTEXTA, static_cast<WPARAM>(item.iItem),
                 reinterpret_cast<LPARAM>(&item));
        }
    }
}

void TwinMain::ResumeHistory() {
    const HWND history = Item(IDC_INFOLIST);
    Send(history, WM_SETREDRAW, TRUE);
    InvalidateRect(history, nullptr, TRUE);
}
