#include "ui_driver.h"

RunningSetup LaunchSetup(const std::wstring &commandLine, const std::wstring &directory, const wchar_t *windowClass)
{
    STARTUPINFOW startup = {sizeof startup};
    PROCESS_INFORMATION created = {0};
    std::wstring line = commandLine;
    RunningSetup setup = {NULL, 0, NULL};

    if (!CreateProcessW(NULL, &line[0], NULL, NULL, FALSE, 0, NULL, directory.c_str(), &startup, &created)) return setup;
    CloseHandle(created.hThread);
    setup.process = created.hProcess;
    setup.id = created.dwProcessId;
    setup.window = WaitForTopWindow(setup.id, windowClass, 20000);
    return setup;
}

// The middle row of a progress bar as the screen shows it, copied in one
// piece: read pixel by pixel, a window destroyed part-way through gives a
// row that is half bar and half what lies under it.
static std::vector<COLORREF> BarRow(HWND bar)
{
    std::vector<COLORREF> row;
    RECT rect;
    HDC screen = NULL;
    HDC memory = NULL;
    HBITMAP bitmap = NULL;

    if (!GetWindowRect(bar, &rect) || rect.right - rect.left < 8) return row;
    screen = GetDC(NULL);
    memory = CreateCompatibleDC(screen);
    bitmap = CreateCompatibleBitmap(screen, rect.right - rect.left, 1);
    HGDIOBJ previous = SelectObject(memory, bitmap);
    if (BitBlt(memory, 0, 0, rect.right - rect.left, 1, screen, rect.left, (rect.top + rect.bottom) / 2, SRCCOPY))
        for (int x = 0; x < rect.right - rect.left; ++x) row.push_back(GetPixel(memory, x, 0));
    SelectObject(memory, previous);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(NULL, screen);
    return row;
}

static bool IsBarColour(COLORREF pixel)
{
    return abs(GetRValue(pixel) - 229) + abs(GetGValue(pixel) - 31) + abs(GetBValue(pixel) - 48) < 60;
}

// How much of a progress bar is filled on screen, in thousandths, or -1 when
// the screen does not show the whole bar: inside its 2-pixel frame every
// pixel must be the bar colour the program asks for (the test prefix draws
// without themes) or the trough's, and the window must be visible before and
// after the copy. A window on its way out shows what lies under it instead.
static int FilledPerMille(HWND window, HWND bar)
{
    const COLORREF trough = GetSysColor(COLOR_3DFACE);
    std::vector<COLORREF> row;
    int filled = 0;

    if (!bar || !IsWindowVisible(window)) return -1;
    row = BarRow(bar);
    if (row.size() < 8 || !IsWindowVisible(window)) return -1;
    for (size_t x = 2; x + 2 < row.size(); ++x) {
        if (IsBarColour(row[x]))
            ++filled;
        else if (row[x] != trough)
            return -1;
    }
    return (int)(filled * 1000 / (row.size() - 4));
}

struct VisibleSearch {
    DWORD processId;
    WatchedRun *run;
};

static BOOL CALLBACK NoteVisible(HWND window, LPARAM context)
{
    VisibleSearch *search = (VisibleSearch *)context;
    wchar_t className[64] = {0};
    DWORD process = 0;

    GetWindowThreadProcessId(window, &process);
    if (process != search->processId || !IsWindowVisible(window)) return TRUE;
    GetClassNameW(window, className, 64);
    if (wcscmp(className, L"#32770") == 0) {
        search->run->sawBox = true;
    } else if (wcscmp(className, L"TarvoMarkwiseSetup102") == 0) {
        search->run->sawWindow = true;
        int filled = FilledPerMille(window, GetDlgItem(window, ID_PROGRESS_BAR));
        if (filled >= 0 && (search->run->progress.empty() || search->run->progress.back() != filled))
            search->run->progress.push_back(filled);
    } else {
        search->run->sawWindow = true;
    }
    return TRUE;
}

WatchedRun RunWatched(const std::wstring &commandLine, const std::wstring &directory, DWORD timeoutMs)
{
    STARTUPINFOW startup = {sizeof startup};
    PROCESS_INFORMATION created = {0};
    std::wstring line = commandLine;
    WatchedRun run = {false, 0, 0, false, false, {}};

    if (!CreateProcessW(NULL, &line[0], NULL, NULL, FALSE, 0, NULL, directory.c_str(), &startup, &created)) return run;
    CloseHandle(created.hThread);
    run.id = created.dwProcessId;
    VisibleSearch search = {created.dwProcessId, &run};
    for (ULONGLONG until = GetTickCount64() + timeoutMs; GetTickCount64() < until;) {
        EnumWindows(NoteVisible, (LPARAM)&search);
        if (WaitForSingleObject(created.hProcess, 5) == WAIT_OBJECT_0) break;
    }
    run.exited = WaitForExit(created.hProcess, 0, &run.exitCode);
    if (!run.exited) TerminateProcess(created.hProcess, 99);
    CloseHandle(created.hProcess);
    return run;
}

void EndSetup(RunningSetup *setup)
{
    if (!setup->process) return;
    if (WaitForSingleObject(setup->process, 0) == WAIT_TIMEOUT) TerminateProcess(setup->process, 99);
    WaitForSingleObject(setup->process, 5000);
    CloseHandle(setup->process);
    setup->process = NULL;
}

struct TopSearch {
    DWORD processId;
    const wchar_t *className;
    HWND found;
};

static BOOL CALLBACK MatchTop(HWND window, LPARAM context)
{
    TopSearch *search = (TopSearch *)context;
    wchar_t className[64] = {0};
    DWORD process = 0;

    GetWindowThreadProcessId(window, &process);
    GetClassNameW(window, className, 64);
    if (process == search->processId && wcscmp(className, search->className) == 0 && IsWindowVisible(window)) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

HWND WaitForTopWindow(DWORD processId, const wchar_t *className, DWORD timeoutMs)
{
    for (DWORD waited = 0; waited <= timeoutMs; waited += 50) {
        TopSearch search = {processId, className, NULL};
        EnumWindows(MatchTop, (LPARAM)&search);
        if (search.found) return search.found;
        Sleep(50);
    }
    return NULL;
}

std::wstring TextOf(HWND window)
{
    wchar_t text[1024] = {0};
    DWORD_PTR result = 0;
    SendMessageTimeoutW(window, WM_GETTEXT, 1024, (LPARAM)text, SMTO_ABORTIFHUNG, 5000, &result);
    return text;
}

// Children in creation order: the first created is at the top of the z-order.
std::vector<ControlFacts> Controls(HWND window)
{
    std::vector<ControlFacts> controls;

    for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        ControlFacts facts;
        wchar_t className[64] = {0};
        GetClassNameW(child, className, 64);
        facts.handle = child;
        facts.className = className;
        facts.text = TextOf(child);
        GetWindowRect(child, &facts.rect);
        MapWindowPoints(NULL, window, (POINT *)&facts.rect, 2);
        facts.id = GetDlgCtrlID(child);
        controls.push_back(facts);
    }
    return controls;
}

bool WaitForText(HWND window, const std::wstring &text, DWORD timeoutMs)
{
    for (DWORD waited = 0; waited <= timeoutMs; waited += 50) {
        if (TextOf(window) == text) return true;
        Sleep(50);
    }
    return false;
}

void Press(HWND button)
{
    PostMessageW(button, BM_CLICK, 0, 0);
}

HWND FocusOf(HWND window)
{
    GUITHREADINFO info = {sizeof info};
    if (!GetGUIThreadInfo(GetWindowThreadProcessId(window, NULL), &info)) return NULL;
    return info.hwndFocus;
}

bool WaitForFocus(HWND window, HWND control, DWORD timeoutMs)
{
    for (DWORD waited = 0; waited <= timeoutMs; waited += 50) {
        if (FocusOf(window) == control) return true;
        Sleep(50);
    }
    return false;
}

void PressKey(HWND target, UINT key)
{
    LPARAM scan = (LPARAM)MapVirtualKeyW(key, MAPVK_VK_TO_VSC) << 16;
    PostMessageW(target, WM_KEYDOWN, key, scan | 1);
    PostMessageW(target, WM_KEYUP, key, scan | 1 | (1u << 30) | (1u << 31));
}

static void SendPairs(const INPUT &down, const INPUT &up, int times)
{
    std::vector<INPUT> inputs;

    for (int i = 0; i < times; ++i) {
        inputs.push_back(down);
        inputs.push_back(up);
    }
    SendInput((UINT)inputs.size(), inputs.data(), sizeof inputs[0]);
}

void Click(HWND control, int times)
{
    RECT rect;
    INPUT down = {}, up = {};

    GetWindowRect(control, &rect);
    SetCursorPos((rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2);
    down.type = up.type = INPUT_MOUSE;
    down.mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
    up.mi.dwFlags = MOUSEEVENTF_LEFTUP;
    SendPairs(down, up, times);
}

void StrikeKey(UINT key, int times)
{
    INPUT down = {}, up = {};

    down.type = up.type = INPUT_KEYBOARD;
    down.ki.wVk = up.ki.wVk = (WORD)key;
    up.ki.dwFlags = KEYEVENTF_KEYUP;
    SendPairs(down, up, times);
}

bool StrikeKeyQueued(HWND window, UINT key, int times)
{
    HANDLE thread = OpenThread(THREAD_SUSPEND_RESUME, FALSE, GetWindowThreadProcessId(window, NULL));
    bool held = thread && SuspendThread(thread) != (DWORD)-1;

    if (held) {
        StrikeKey(key, times);
        ResumeThread(thread);
    }
    if (thread) CloseHandle(thread);
    return held;
}

bool WaitForFront(HWND window, HWND control, DWORD timeoutMs)
{
    for (DWORD waited = 0; waited <= timeoutMs; waited += 50) {
        if (GetForegroundWindow() == window && FocusOf(window) == control) return true;
        SetForegroundWindow(window);
        Sleep(50);
    }
    return false;
}

// The margin covers the rounding between this process's tick count and the
// input time the system stamps on a message.
void AfterDoubleClickTime(ULONGLONG pressedAt)
{
    ULONGLONG until = pressedAt + GetDoubleClickTime() + 20;
    ULONGLONG now = GetTickCount64();
    if (now < until) Sleep((DWORD)(until - now));
}

SeenBox ReadBox(HWND box)
{
    wchar_t caption[512] = {0};
    SeenBox seen;

    GetWindowTextW(box, caption, 512);
    seen.caption = caption;
    seen.text = TextOf(GetDlgItem(box, 0xFFFF));
    seen.hasYesNo = GetDlgItem(box, IDYES) != NULL && GetDlgItem(box, IDNO) != NULL;
    return seen;
}

void Answer(HWND box, int button)
{
    PostMessageW(GetDlgItem(box, button), BM_CLICK, 0, 0);
    WaitForClose(box, 5000);
}

bool WaitForClose(HWND window, DWORD timeoutMs)
{
    for (DWORD waited = 0; waited <= timeoutMs; waited += 20) {
        if (!IsWindow(window)) return true;
        Sleep(20);
    }
    return false;
}

bool WaitForExit(HANDLE process, DWORD timeoutMs, DWORD *exitCode)
{
    if (WaitForSingleObject(process, timeoutMs) != WAIT_OBJECT_0) return false;
    return GetExitCodeProcess(process, exitCode) != 0;
}

COLORREF ClientPixel(HWND window, int x, int y)
{
    POINT point = {x, y};
    HDC screen = GetDC(NULL);
    COLORREF colour;

    ClientToScreen(window, &point);
    colour = GetPixel(screen, point.x, point.y);
    ReleaseDC(NULL, screen);
    return colour;
}

// The window as it is on screen, as a 24-bit bottom-up BMP file.
static Bytes CaptureWindow(HWND window)
{
    RECT rect;
    HDC screen = GetDC(NULL);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info = {0};
    void *pixels = NULL;
    HBITMAP bitmap;
    BITMAPFILEHEADER header = {0};
    Bytes file;
    int width, height, stride;

    GetWindowRect(window, &rect);
    width = rect.right - rect.left;
    height = rect.bottom - rect.top;
    stride = (width * 3 + 3) & ~3;
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &pixels, NULL, 0);
    HGDIOBJ previous = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, rect.left, rect.top, SRCCOPY);
    GdiFlush();
    header.bfType = 0x4D42;
    header.bfOffBits = sizeof header + sizeof info.bmiHeader;
    header.bfSize = header.bfOffBits + stride * height;
    file.insert(file.end(), (unsigned char *)&header, (unsigned char *)&header + sizeof header);
    file.insert(file.end(), (unsigned char *)&info.bmiHeader, (unsigned char *)&info.bmiHeader + sizeof info.bmiHeader);
    file.insert(file.end(), (unsigned char *)pixels, (unsigned char *)pixels + stride * height);
    SelectObject(memory, previous);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(NULL, screen);
    return file;
}

bool SaveWindowBitmap(HWND window, const std::wstring &path)
{
    return WriteBytes(path, CaptureWindow(window));
}

bool WaitUntilDrawn(HWND window, DWORD timeoutMs)
{
    Bytes last;
    for (DWORD waited = 0; waited <= timeoutMs; waited += 100) {
        Bytes now = CaptureWindow(window);
        if (now == last) return true;
        last = now;
        Sleep(100);
    }
    return false;
}

std::wstring ArtifactPath(const std::wstring &name)
{
    std::wstring folder = BuildFile(L"artifacts");
    CreateDirectoryW(folder.c_str(), NULL);
    return folder + L"\\" + name;
}

bool operator==(const RECT &a, const RECT &b)
{
    return EqualRect(&a, &b);
}

WindowFacts ReadWindow(HWND window)
{
    WindowFacts facts;
    RECT client;
    POINT origin = {0, 0};

    GetClientRect(window, &client);
    ClientToScreen(window, &origin);
    facts.client = {client.right, client.bottom};
    for (const ControlFacts &control : Controls(window)) facts.controls.push_back(control.rect);
    HDC screen = GetDC(NULL);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, client.right, client.bottom);
    HGDIOBJ previous = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, client.right, client.bottom, screen, origin.x, origin.y, SRCCOPY);
    BITMAPINFO info = {{sizeof(BITMAPINFOHEADER), client.right, -client.bottom, 1, 32, BI_RGB}};
    facts.pixels.resize((size_t)client.right * client.bottom * 4);
    SelectObject(memory, previous);
    GetDIBits(memory, bitmap, 0, client.bottom, facts.pixels.data(), &info, DIB_RGB_COLORS);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(NULL, screen);
    return facts;
}

WindowFacts PumpUntilDrawn(HWND window)
{
    WindowFacts last = {}, now;
    MSG message;

    for (int i = 0; i < 200; ++i) {
        while (PeekMessageW(&message, NULL, 0, 0, PM_REMOVE))
            if (!IsDialogMessageW(window, &message)) DispatchMessageW(&message);
        if (!IsWindow(window)) return WindowFacts{};
        now = ReadWindow(window);
        if (now.pixels == last.pixels && now.controls == last.controls) break;
        last = now;
        Sleep(50);
    }
    return now;
}


// One listener at a time: the hook's callback has no context of its own.
struct HeardEvent {
    DWORD processId;
    std::wstring text;
};
static CRITICAL_SECTION gHeardLock;
static std::vector<HeardEvent> gHeard;

void CALLBACK LiveRegionListener::Event(HWINEVENTHOOK, DWORD, HWND window, LONG, LONG, DWORD, DWORD)
{
    wchar_t text[512] = {0};
    DWORD processId = 0;

    GetWindowThreadProcessId(window, &processId);
    // The text the system keeps for the window, without a message to it.
    InternalGetWindowText(window, text, 512);
    EnterCriticalSection(&gHeardLock);
    gHeard.push_back({processId, text});
    LeaveCriticalSection(&gHeardLock);
}

DWORD WINAPI LiveRegionListener::Run(void *self)
{
    LiveRegionListener *listener = (LiveRegionListener *)self;
    HWINEVENTHOOK hook = SetWinEventHook(EVENT_OBJECT_LIVEREGIONCHANGED, EVENT_OBJECT_LIVEREGIONCHANGED, NULL, Event, 0,
                                         0, WINEVENT_OUTOFCONTEXT | WINEVENT_SKIPOWNPROCESS);
    MSG message;

    PeekMessageW(&message, NULL, 0, 0, PM_NOREMOVE);
    SetEvent(listener->ready);
    while (GetMessageW(&message, NULL, 0, 0) > 0) DispatchMessageW(&message);
    if (hook) UnhookWinEvent(hook);
    return 0;
}

LiveRegionListener::LiveRegionListener()
{
    static bool initialised;

    if (!initialised) InitializeCriticalSection(&gHeardLock);
    initialised = true;
    gHeard.clear();
    ready = CreateEventW(NULL, TRUE, FALSE, NULL);
    thread = CreateThread(NULL, 0, Run, this, 0, &threadId);
    WaitForSingleObject(ready, 10000);
}

LiveRegionListener::~LiveRegionListener()
{
    PostThreadMessageW(threadId, WM_QUIT, 0, 0);
    WaitForSingleObject(thread, 10000);
    CloseHandle(thread);
    CloseHandle(ready);
}

std::vector<std::wstring> LiveRegionListener::Heard(DWORD processId)
{
    std::vector<std::wstring> texts;

    EnterCriticalSection(&gHeardLock);
    for (const HeardEvent &event : gHeard)
        if (event.processId == processId) texts.push_back(event.text);
    LeaveCriticalSection(&gHeardLock);
    return texts;
}
