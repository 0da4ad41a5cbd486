// Entry point, the one fixed-size setup window, and the message loop.
#include "setup.h"
#include "texts.h"

#include <commctrl.h>
#include <objbase.h>
#include <string.h>

static const wchar_t kWindowClass[] = PRODUCT_WINDOW_CLASS;
static const wchar_t kFontFace[] = L"Arial";
// Sizes and positions are given at 96 DPI and scaled by the DPI of the
// monitor the window is on, the same factor as the fonts. The window is at
// least its 96-DPI outer size scaled, and large enough for the client area
// the layout needs under a title bar of any height.
static const int kDesignDpi = 96;
static const int kWindowWidth = 718;
static const int kWindowHeight = 438;
static const int kClientWidth = 712;
static const int kClientHeight = 409;
static const DWORD kWindowStyle = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;

static const COLORREF kNavy = RGB(16, 28, 47);
static const COLORREF kBackground = RGB(242, 245, 249);
static const COLORREF kAccent = RGB(229, 31, 48);
static const COLORREF kBandText = RGB(244, 246, 250);
static const COLORREF kBodyText = RGB(33, 41, 54);

// In a high-contrast scheme one pair of the user's colours serves
// everywhere: band and body in the window colour, every text and the accent
// stripe in the window-text colour, the bar in the system's highlight.
static int gHighContrast;

static int HighContrastOn(void)
{
    HIGHCONTRASTW contrast = {sizeof contrast, 0, NULL};

    return SystemParametersInfoW(SPI_GETHIGHCONTRAST, sizeof contrast, &contrast, 0) &&
           (contrast.dwFlags & HCF_HIGHCONTRASTON);
}

static COLORREF Colour(COLORREF ours, int system)
{
    return gHighContrast ? GetSysColor(system) : ours;
}

static const int kBandWidth = 268;
static const int kStripeRight = 274;
// Statics whose left edge lies at or left of this x sit on the side band.
static const int kBandEdge = 269;

enum { ON_BOTH_MODES, INSTALL_MODE_ONLY };

// The buttons are tab stops; the primary one is the default, which Enter
// presses when no button has the focus.
static const DWORD kButtonStyle = WS_TABSTOP | BS_PUSHBUTTON;
static const DWORD kDefaultButtonStyle = WS_TABSTOP | BS_DEFPUSHBUTTON;
// A path too long for its control shows its beginning and its end, with an
// ellipsis between, at every DPI; an "&" in a folder's name is a letter.
static const DWORD kPathStyle = SS_PATHELLIPSIS | SS_NOPREFIX;

struct ControlLayout {
    const wchar_t *className;
    const wchar_t *text;
    int x, y, width, height;
    int id;
    HFONT *font;
    int modes;
    HWND *kept;
    DWORD style;
};

// Posted once the passive window is on screen: the procedure starts by itself.
static const UINT WM_APP_START = WM_APP + 1;

// The DPI the window is laid out for: its monitor's.
static int gDpi = kDesignDpi;
// The control that had the keyboard focus when the window was last active.
static HWND gFocusedControl;
// The input time of the press that started the install.
static DWORD gInstallPressTime;

static int ScaledFor(int pixels, int dpi)
{
    return MulDiv(pixels, dpi, kDesignDpi);
}

static int Scaled(int pixels)
{
    return ScaledFor(pixels, gDpi);
}

static const wchar_t *DescriptionText(void)
{
    if (gUninstallMode) return kUninstallDescription;
    return gExistingInstall ? kReinstallDescription : kInstallDescription;
}

static const wchar_t *PrimaryButtonText(void)
{
    if (gUninstallMode) return kUninstallButtonText;
    return gExistingInstall ? kReinstallButtonText : kInstallButtonText;
}

static const int kControlCount = 10;
// The controls that were made, in the order of the layout table.
static HWND gControls[kControlCount];

// The one layout table, at 96 DPI: read when the window is made and at every
// change of DPI.
static void LayoutTable(ControlLayout *controls)
{
    const ControlLayout table[kControlCount] = {
        {L"STATIC", kBrandText, 28, 24, 210, 48, 0, &gBrandFont, ON_BOTH_MODES, NULL, 0},
        {L"STATIC", gUninstallMode ? kUninstallBandText : kInstallBandText, 30, 69, 230, 20, 0, &gUiFont, ON_BOTH_MODES, NULL, 0},
        {L"STATIC", DescriptionText(), 292, 34, 372, 58, 0, &gUiFont, ON_BOTH_MODES, NULL, 0},
        {L"STATIC", kFolderLabel, 292, 106, 150, 20, 0, &gUiFont, INSTALL_MODE_ONLY, NULL, 0},
        {L"STATIC", gInstallDir, 292, 128, 372, 40, 0, &gUiFont, INSTALL_MODE_ONLY, NULL, kPathStyle},
        {L"STATIC", kInformationText, 292, 174, 372, 100, 0, &gUiFont, INSTALL_MODE_ONLY, NULL, 0},
        {PROGRESS_CLASSW, L"", 292, 286, 372, 18, ID_PROGRESS_BAR, NULL, INSTALL_MODE_ONLY, &gProgress, 0},
        {L"STATIC", kReadyStatus, 292, 314, 372, 24, 0, &gUiFont, INSTALL_MODE_ONLY, &gStatus, 0},
        {L"BUTTON", PrimaryButtonText(), 452, 356, 100, 34, ID_PRIMARY_BUTTON, &gUiFont, ON_BOTH_MODES, &gInstallButton,
         kDefaultButtonStyle},
        {L"BUTTON", kCancelButtonText, 564, 356, 100, 34, ID_CANCEL_BUTTON, &gUiFont, ON_BOTH_MODES, &gCancelButton,
         kButtonStyle},
    };
    memcpy(controls, table, sizeof table);
}

static HWND CreateControl(HWND window, const ControlLayout *layout)
{
    HWND control = CreateWindowExW(0, layout->className, layout->text, WS_CHILD | WS_VISIBLE | layout->style,
                                   Scaled(layout->x), Scaled(layout->y), Scaled(layout->width), Scaled(layout->height),
                                   window, (HMENU)(INT_PTR)layout->id, gInstance, NULL);

    if (layout->font) SendMessageW(control, WM_SETFONT, (WPARAM)*layout->font, TRUE);
    if (layout->id == ID_PROGRESS_BAR)
        SendMessageW(control, PBM_SETBARCOLOR, 0, gHighContrast ? (LPARAM)CLR_DEFAULT : (LPARAM)kAccent);
    if (layout->kept) *layout->kept = control;
    return control;
}

static void OnCreate(HWND window)
{
    ControlLayout controls[kControlCount];
    int i;

    gMain = window;
    LayoutTable(controls);
    for (i = 0; i < kControlCount; ++i)
        gControls[i] = controls[i].modes == ON_BOTH_MODES || !gUninstallMode ? CreateControl(window, &controls[i]) : NULL;
    AnnotateWindow(window);
}

static void OnEraseBackground(HWND window, HDC dc)
{
    RECT client;
    RECT part;
    HBRUSH accent = CreateSolidBrush(Colour(kAccent, COLOR_WINDOWTEXT));

    GetClientRect(window, &client);
    FillRect(dc, &client, gBgBrush);
    part = client;
    part.left = 0;
    part.right = Scaled(kBandWidth);
    FillRect(dc, &part, gNavyBrush);
    part.left = Scaled(kBandWidth);
    part.right = Scaled(kStripeRight);
    FillRect(dc, &part, accent);
    DeleteObject(accent);
}

static HBRUSH OnCtlColorStatic(HWND window, HDC dc, HWND control)
{
    RECT rect;

    GetWindowRect(control, &rect);
    MapWindowPoints(NULL, window, (POINT *)&rect, 2);
    SetBkMode(dc, TRANSPARENT);
    if (rect.left <= Scaled(kBandEdge)) {
        SetTextColor(dc, Colour(kBandText, COLOR_WINDOWTEXT));
        return gNavyBrush;
    }
    SetTextColor(dc, Colour(kBodyText, COLOR_WINDOWTEXT));
    return gBgBrush;
}

static void CreateBrushes(void)
{
    gNavyBrush = CreateSolidBrush(Colour(kNavy, COLOR_WINDOW));
    gBgBrush = CreateSolidBrush(Colour(kBackground, COLOR_WINDOW));
}

// High contrast switched on or off, or the scheme's colours changed: the
// brushes made again (the class's background too), the bar told, and the
// whole window painted anew, without a restart.
static void ApplyColours(HWND window)
{
    HBRUSH oldNavy = gNavyBrush;
    HBRUSH oldBackground = gBgBrush;

    gHighContrast = HighContrastOn();
    CreateBrushes();
    SetClassLongPtrW(window, GCLP_HBRBACKGROUND, (LONG_PTR)gBgBrush);
    DeleteObject(oldNavy);
    DeleteObject(oldBackground);
    if (gProgress) {
        SendMessageW(gProgress, WM_SYSCOLORCHANGE, 0, 0);
        SendMessageW(gProgress, PBM_SETBARCOLOR, 0, gHighContrast ? (LPARAM)CLR_DEFAULT : (LPARAM)kAccent);
    }
    RedrawWindow(window, NULL, NULL, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_FRAME);
}

// Per-monitor DPI functions of newer Windows, looked up at run time; where
// they are missing, the screen's DPI and the system's metrics serve.
typedef UINT(WINAPI *DpiForWindowFunction)(HWND);
typedef BOOL(WINAPI *AdjustForDpiFunction)(RECT *, DWORD, BOOL, DWORD, UINT);

static FARPROC User32Function(const char *name)
{
    HMODULE user32 = GetModuleHandleW(L"user32.dll");

    return user32 ? GetProcAddress(user32, name) : NULL;
}

static int ScreenDpiY(void)
{
    HDC screen = GetDC(NULL);
    int dpiY = 96;

    if (screen) {
        dpiY = GetDeviceCaps(screen, LOGPIXELSY);
        ReleaseDC(NULL, screen);
    }
    return dpiY;
}

static int WindowDpi(HWND window)
{
    DpiForWindowFunction dpiForWindow = (DpiForWindowFunction)(void *)User32Function("GetDpiForWindow");
    UINT dpi = dpiForWindow ? dpiForWindow(window) : 0;

    return dpi ? (int)dpi : ScreenDpiY();
}

// This style's title bar and borders at a DPI.
static SIZE FrameSize(int dpi)
{
    AdjustForDpiFunction adjustForDpi = (AdjustForDpiFunction)(void *)User32Function("AdjustWindowRectExForDpi");
    RECT frame = {0, 0, 0, 0};
    SIZE size;

    if (!adjustForDpi || !adjustForDpi(&frame, kWindowStyle, FALSE, 0, (UINT)dpi))
        AdjustWindowRectEx(&frame, kWindowStyle, FALSE, 0);
    size.cx = frame.right - frame.left;
    size.cy = frame.bottom - frame.top;
    return size;
}

// The outer size for the scaled client area at a DPI.
static SIZE WindowSize(int dpi)
{
    SIZE frame = FrameSize(dpi);
    SIZE size;

    size.cx = ScaledFor(kClientWidth, dpi) + frame.cx;
    size.cy = ScaledFor(kClientHeight, dpi) + frame.cy;
    if (size.cx < ScaledFor(kWindowWidth, dpi)) size.cx = ScaledFor(kWindowWidth, dpi);
    if (size.cy < ScaledFor(kWindowHeight, dpi)) size.cy = ScaledFor(kWindowHeight, dpi);
    return size;
}

static HFONT CreateUiFont(int points, int weight, int dpi)
{
    return CreateFontW(-MulDiv(points, dpi, 72), 0, 0, 0, weight, FALSE, FALSE, FALSE, TURKISH_CHARSET, OUT_TT_PRECIS,
                       CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, FF_SWISS | DEFAULT_PITCH, kFontFace);
}

static void CreateFonts(int dpi)
{
    gUiFont = CreateUiFont(9, FW_NORMAL, dpi);
    gBrandFont = CreateUiFont(28, FW_BOLD, dpi);
}

// Lays the window out for another DPI: two new fonts, each old one deleted
// once no control uses it; every control placed from the layout table, never
// from its current rectangle, so that a round trip returns exactly; the
// window at the given top-left, with the client area a window opened at
// that DPI has, under the frame it has now (the system scales the frame
// itself).
static void ApplyDpi(HWND window, int dpi, POINT topLeft)
{
    ControlLayout controls[kControlCount];
    HFONT oldUi = gUiFont;
    HFONT oldBrand = gBrandFont;
    RECT outer;
    RECT client;
    SIZE size = WindowSize(dpi);
    SIZE frame = FrameSize(dpi);
    int i;

    gDpi = dpi;
    CreateFonts(dpi);
    LayoutTable(controls);
    for (i = 0; i < kControlCount; ++i) {
        if (!gControls[i]) continue;
        SetWindowPos(gControls[i], NULL, Scaled(controls[i].x), Scaled(controls[i].y), Scaled(controls[i].width),
                     Scaled(controls[i].height), SWP_NOZORDER | SWP_NOACTIVATE);
        if (controls[i].font) SendMessageW(gControls[i], WM_SETFONT, (WPARAM)*controls[i].font, FALSE);
    }
    DeleteObject(oldUi);
    DeleteObject(oldBrand);
    GetWindowRect(window, &outer);
    GetClientRect(window, &client);
    size.cx += (outer.right - outer.left) - client.right - frame.cx;
    size.cy += (outer.bottom - outer.top) - client.bottom - frame.cy;
    SetWindowPos(window, NULL, topLeft.x, topLeft.y, size.cx, size.cy, SWP_NOZORDER | SWP_NOACTIVATE);
    InvalidateRect(window, NULL, TRUE);
}

// The window moved to a monitor of another scale: lParam holds the place
// Windows suggests for it.
static void OnDpiChanged(HWND window, int dpi, const RECT *suggested)
{
    POINT topLeft = {suggested->left, suggested->top};

    if (dpi != gDpi) ApplyDpi(window, dpi, topLeft);
}

// A small install can end before the second click of a double-click on
// "Kur" arrives, so dropping queued input does not catch that click: a press
// within the double-click time of the one that started the install is the
// same gesture and opens nothing. The times are the input's own, so a slow
// install or a busy machine does not change the verdict.
static int PartOfInstallPress(void)
{
    return (DWORD)GetMessageTime() - gInstallPressTime < GetDoubleClickTime();
}

static void OnPrimaryButton(HWND window)
{
    if (gUninstallMode) {
        UninstallNow();
    } else if (gInstalled) {
        if (!PartOfInstallPress() && !StartApplication(window)) AnnounceStatus(kOpenFromStartMenuStatus, 1);
    } else {
        gInstallPressTime = (DWORD)GetMessageTime();
        InstallNow();
    }
}

// The dialog manager sends IDOK for Enter when no button has the focus and
// IDCANCEL for Esc; they stand for the two buttons. A button acts only while
// it is enabled: a command sent to the window while a procedure runs (it
// answers sent messages then) starts nothing inside it.
static int ButtonCommand(WORD id)
{
    if ((id == IDOK || id == ID_PRIMARY_BUTTON) && IsWindowEnabled(gInstallButton)) return ID_PRIMARY_BUTTON;
    if ((id == IDCANCEL || id == ID_CANCEL_BUTTON) && IsWindowEnabled(gCancelButton)) return ID_CANCEL_BUTTON;
    return 0;
}

// A window that is not a dialog keeps no focus of its own: the button that
// had it gets it back when the window is active again.
static void OnActivate(HWND window, WORD state)
{
    HWND focus = GetFocus();

    if (state == WA_INACTIVE && focus && IsChild(window, focus)) gFocusedControl = focus;
}

// Never onto a disabled control, where Windows would leave the focus
// nowhere: while a procedure runs, the window keeps it, and the primary
// button takes it again once it is enabled.
static void OnSetFocus(void)
{
    HWND control = gFocusedControl && IsWindowEnabled(gFocusedControl) ? gFocusedControl : gInstallButton;

    if (IsWindowEnabled(control)) SetFocus(control);
}

LRESULT CALLBACK SetupWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE:
        OnCreate(window);
        return 0;
    case WM_ERASEBKGND:
        OnEraseBackground(window, (HDC)wParam);
        return 1;
    case WM_CTLCOLORSTATIC:
        return (LRESULT)OnCtlColorStatic(window, (HDC)wParam, (HWND)lParam);
    case WM_COMMAND:
        if (ButtonCommand(LOWORD(wParam)) == ID_PRIMARY_BUTTON) {
            OnPrimaryButton(window);
            return 0;
        }
        if (ButtonCommand(LOWORD(wParam)) == ID_CANCEL_BUTTON) {
            DestroyWindow(window);
            return 0;
        }
        break;
    case DM_GETDEFID:
        return MAKELRESULT(ID_PRIMARY_BUTTON, DC_HASDEFID);
    case WM_ACTIVATE:
        OnActivate(window, LOWORD(wParam));
        break;
    case WM_SETFOCUS:
        OnSetFocus();
        return 0;
    case WM_DPICHANGED:
        OnDpiChanged(window, HIWORD(wParam), (const RECT *)lParam);
        return 0;
    case WM_SYSCOLORCHANGE:
    case WM_THEMECHANGED:
        ApplyColours(window);
        break;
    case WM_SETTINGCHANGE:
        if (wParam == SPI_SETHIGHCONTRAST) ApplyColours(window);
        break;
    case WM_APP_START:
        OnPrimaryButton(window);
        return 0;
    case WM_CLOSE:
        // The close box ends the program whenever no procedure runs.
        if (IsWindowEnabled(gCancelButton)) DestroyWindow(window);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(gExitCode);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

typedef BOOL(WINAPI *SetDpiContextFunction)(HANDLE);

static void SetDpiAwareness(void)
{
    HMODULE user32 = GetModuleHandleW(L"user32.dll");
    SetDpiContextFunction setContext = NULL;

    if (user32) setContext = (SetDpiContextFunction)(void *)GetProcAddress(user32, "SetProcessDpiAwarenessContext");
    if (!setContext || !setContext((HANDLE)(INT_PTR)-4)) SetProcessDPIAware();
}

static void RegisterSetupClass(void)
{
    WNDCLASSEXW windowClass = {0};

    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = SetupWindowProc;
    windowClass.hInstance = gInstance;
    windowClass.hIcon = LoadIconW(gInstance, MAKEINTRESOURCEW(1));
    windowClass.hIconSm = windowClass.hIcon;
    windowClass.hCursor = LoadCursorW(NULL, (LPCWSTR)IDC_ARROW);
    windowClass.hbrBackground = gBgBrush;
    windowClass.lpszClassName = kWindowClass;
    RegisterClassExW(&windowClass);
}

// The window is made for the system's DPI, then, before it is shown, laid
// out again for the DPI of the monitor it appeared on. Returns NULL when it
// cannot be made.
HWND OpenSetupWindow(int showCommand)
{
    HWND window;
    RECT outer;
    POINT topLeft;
    SIZE size;
    int dpi;

    gDpi = ScreenDpiY();
    CreateFonts(gDpi);
    gHighContrast = HighContrastOn();
    CreateBrushes();
    RegisterSetupClass();
    size = WindowSize(gDpi);
    window = CreateWindowExW(0, kWindowClass, gUninstallMode ? kUninstallTitle : kInstallTitle, kWindowStyle,
                             CW_USEDEFAULT, CW_USEDEFAULT, size.cx, size.cy, NULL, NULL, gInstance, NULL);
    if (!window) return NULL;
    dpi = WindowDpi(window);
    if (dpi != gDpi) {
        GetWindowRect(window, &outer);
        topLeft.x = outer.left;
        topLeft.y = outer.top;
        ApplyDpi(window, dpi, topLeft);
    }
    ShowWindow(window, showCommand);
    UpdateWindow(window);
    SetFocus(gInstallButton);
    return window;
}

void CloseSetupResources(void)
{
    DeleteObject(gUiFont);
    DeleteObject(gBrandFont);
    DeleteObject(gNavyBrush);
    DeleteObject(gBgBrush);
}

// One uninstaller window at a time: a second start of it (a repeated click
// in Settings) brings the open one to the front and ends. Both would run
// from the one uninstaller file, and the one left open would keep the
// other's removal from deleting it.
static int BroughtOpenUninstallerForward(void)
{
    HWND open = FindWindowW(kWindowClass, kUninstallTitle);
    DWORD owner = 0;
    HANDLE process = NULL;
    int alive;

    // A window of a process that is ending (ended from outside) is none.
    if (open) GetWindowThreadProcessId(open, &owner);
    if (owner) process = OpenProcess(SYNCHRONIZE, FALSE, owner);
    alive = process && WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    if (process) CloseHandle(process);
    if (!alive) return 0;
    if (IsIconic(open)) ShowWindow(open, SW_RESTORE);
    SetForegroundWindow(open);
    return 1;
}

// The window and its message loop, until the window is gone. Returns the
// exit code, 1 when the window cannot be made.
static int RunWindow(int showCommand)
{
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    MSG message = {0};
    HWND window;

    if (gUninstallMode && gRunMode == RUN_INTERACTIVE && BroughtOpenUninstallerForward()) return 0;
    InitCommonControlsEx(&controls);
    window = OpenSetupWindow(showCommand);
    if (!window) return 1;
    if (gRunMode == RUN_PASSIVE) PostMessageW(window, WM_APP_START, 0, 0);

    // The dialog manager gives the keyboard its usual meaning: Tab between
    // the buttons, Enter, Space and Esc.
    while (GetMessageW(&message, NULL, 0, 0) > 0) {
        if (IsDialogMessageW(window, &message)) continue;
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    CloseSetupResources();
    return (int)message.wParam;
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR commandLine, int showCommand)
{
    int code;

    (void)previous;
    (void)commandLine;
    // Before anything can load a library: never from the folder the setup
    // file was downloaded to.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    // No system box about a drive without a medium: a run may have nobody to
    // answer it.
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    gInstance = instance;
    SetDpiAwareness();
    InitSetupState();
    if (gSwitchesUnread) return EXIT_FAILED;
    // Only the interactive window shows help: the other runs show no box.
    if (gShowHelp) {
        if (gRunMode == RUN_INTERACTIVE) ShowHelp();
        return 0;
    }
    if (gLogPathTooLong || gRefusedSwitch[0]) return RefuseArguments();
    // The file this process runs from, read through one handle for as long
    // as it runs, whatever is renamed or written under its name meanwhile.
    if (!gUninstallMode) gSelfFile = OpenSetupFile();
    CoInitializeEx(NULL, COINIT_APARTMENTTHREADED);
    // Whom the run is for, known before anything is written.
    ReadAccountContext();
    if (gAccountContext == CONTEXT_SERVICE_ACCOUNT)
        code = RefuseServiceAccount();
    else if (gAccountContext == CONTEXT_OTHER_ACCOUNT)
        code = RefuseOtherAccount();
    else if (gAccountContext == CONTEXT_SHELL_UNREADABLE)
        code = RefuseUnreadableShell();
    else
        code = gRunMode == RUN_SILENT ? RunSilently() : RunWindow(showCommand);
    CoUninitialize();
    if (gSelfFile != INVALID_HANDLE_VALUE) CloseHandle(gSelfFile);
    return code;
}
