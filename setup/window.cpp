// Entry point, the one fixed-size setup window, and the message loop.
#include "setup.h"
#include "texts.h"

#include <commctrl.h>
#include <objbase.h>
#include <shellapi.h>

static const wchar_t kWindowClass[] = L"TarvoMarkwiseSetup102";
static const wchar_t kFontFace[] = L"Arial";
static const int kWindowWidth = 718;
static const int kWindowHeight = 438;
static const DWORD kWindowStyle = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;

static const COLORREF kNavy = RGB(16, 28, 47);
static const COLORREF kBackground = RGB(242, 245, 249);
static const COLORREF kAccent = RGB(229, 31, 48);
static const COLORREF kBandText = RGB(244, 246, 250);
static const COLORREF kBodyText = RGB(33, 41, 54);

static const int kBandWidth = 268;
static const int kStripeRight = 274;
// Statics whose left edge lies at or left of this x sit on the side band.
static const int kBandEdge = 269;

enum { ON_BOTH_MODES, INSTALL_MODE_ONLY };

struct ControlLayout {
    const wchar_t *className;
    const wchar_t *text;
    int x, y, width, height;
    int id;
    HFONT font;
    int modes;
    HWND *kept;
};

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

static void CreateControl(HWND window, const ControlLayout *layout)
{
    HWND control = CreateWindowExW(0, layout->className, layout->text, WS_CHILD | WS_VISIBLE, layout->x, layout->y,
                                   layout->width, layout->height, window, (HMENU)(INT_PTR)layout->id, gInstance, NULL);

    if (layout->font) SendMessageW(control, WM_SETFONT, (WPARAM)layout->font, TRUE);
    if (layout->id == ID_PROGRESS_BAR) SendMessageW(control, PBM_SETBARCOLOR, 0, (LPARAM)kAccent);
    if (layout->kept) *layout->kept = control;
}

static void OnCreate(HWND window)
{
    const ControlLayout controls[] = {
        {L"STATIC", kBrandText, 28, 24, 210, 48, 0, gBrandFont, ON_BOTH_MODES, NULL},
        {L"STATIC", gUninstallMode ? kUninstallBandText : kInstallBandText, 30, 69, 230, 20, 0, gUiFont, ON_BOTH_MODES, NULL},
        {L"STATIC", DescriptionText(), 292, 34, 372, 58, 0, gUiFont, ON_BOTH_MODES, NULL},
        {L"STATIC", kFolderLabel, 292, 106, 150, 20, 0, gUiFont, INSTALL_MODE_ONLY, NULL},
        {L"STATIC", gInstallDir, 292, 128, 372, 40, 0, gUiFont, INSTALL_MODE_ONLY, NULL},
        {L"STATIC", kInformationText, 292, 174, 372, 100, 0, gUiFont, INSTALL_MODE_ONLY, NULL},
        {PROGRESS_CLASSW, L"", 292, 286, 372, 18, ID_PROGRESS_BAR, NULL, INSTALL_MODE_ONLY, &gProgress},
        {L"STATIC", kReadyStatus, 292, 314, 372, 24, 0, gUiFont, INSTALL_MODE_ONLY, &gStatus},
        {L"BUTTON", PrimaryButtonText(), 452, 356, 100, 34, ID_PRIMARY_BUTTON, gUiFont, ON_BOTH_MODES, &gInstallButton},
        {L"BUTTON", kCancelButtonText, 564, 356, 100, 34, ID_CANCEL_BUTTON, gUiFont, ON_BOTH_MODES, &gCancelButton},
    };
    size_t i;

    gMain = window;
    for (i = 0; i < sizeof controls / sizeof controls[0]; ++i)
        if (controls[i].modes == ON_BOTH_MODES || !gUninstallMode) CreateControl(window, &controls[i]);
}

static void OnEraseBackground(HWND window, HDC dc)
{
    RECT client;
    RECT part;
    HBRUSH accent = CreateSolidBrush(kAccent);

    GetClientRect(window, &client);
    FillRect(dc, &client, gBgBrush);
    part = client;
    part.left = 0;
    part.right = kBandWidth;
    FillRect(dc, &part, gNavyBrush);
    part.left = kBandWidth;
    part.right = kStripeRight;
    FillRect(dc, &part, accent);
    DeleteObject(accent);
}

static HBRUSH OnCtlColorStatic(HWND window, HDC dc, HWND control)
{
    RECT rect;

    GetWindowRect(control, &rect);
    MapWindowPoints(NULL, window, (POINT *)&rect, 2);
    SetBkMode(dc, TRANSPARENT);
    if (rect.left <= kBandEdge) {
        SetTextColor(dc, kBandText);
        return gNavyBrush;
    }
    SetTextColor(dc, kBodyText);
    return gBgBrush;
}

static void OnPrimaryButton(HWND window)
{
    if (gUninstallMode)
        UninstallNow();
    else if (gInstalled)
        ShellExecuteW(window, L"open", gAppPath, NULL, gInstallDir, SW_SHOWNORMAL);
    else
        InstallNow();
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
        if (LOWORD(wParam) == ID_PRIMARY_BUTTON) {
            OnPrimaryButton(window);
            return 0;
        }
        if (LOWORD(wParam) == ID_CANCEL_BUTTON) {
            DestroyWindow(window);
            return 0;
        }
        break;
    case WM_CLOSE:
        DestroyWindow(window);
        return 0;
    case WM_DESTROY:
        PostQuitMessage(0);
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

static HFONT CreateUiFont(int points, int weight, int dpiY)
{
    return CreateFontW(-MulDiv(points, dpiY, 72), 0, 0, 0, weight, FALSE, FALSE, FALSE, TURKISH_CHARSET, OUT_TT_PRECIS,
                       CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, FF_SWISS | DEFAULT_PITCH, kFontFace);
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

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR commandLine, int showCommand)
{
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    MSG message = {0};
    HWND window;
    int dpiY;

    (void)previous;
    (void)commandLine;
    // Before anything can load a library: never from the folder the setup
    // file was downloaded to.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    gInstance = instance;
    SetDpiAwareness();
    InitSetupState();
    CoInitializeEx(NULL, COINIT_APARTMENTTHREADED);
    InitCommonControlsEx(&controls);

    dpiY = ScreenDpiY();
    gUiFont = CreateUiFont(9, FW_NORMAL, dpiY);
    gBrandFont = CreateUiFont(28, FW_BOLD, dpiY);
    gNavyBrush = CreateSolidBrush(kNavy);
    gBgBrush = CreateSolidBrush(kBackground);

    RegisterSetupClass();
    window = CreateWindowExW(0, kWindowClass, gUninstallMode ? kUninstallTitle : kInstallTitle, kWindowStyle,
                             CW_USEDEFAULT, CW_USEDEFAULT, kWindowWidth, kWindowHeight, NULL, NULL, gInstance, NULL);
    if (!window) return 1;
    ShowWindow(window, showCommand);
    UpdateWindow(window);

    while (GetMessageW(&message, NULL, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }

    DeleteObject(gUiFont);
    DeleteObject(gBrandFont);
    DeleteObject(gNavyBrush);
    DeleteObject(gBgBrush);
    CoUninitialize();
    return (int)message.wParam;
}
