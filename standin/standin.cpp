// Stand-in for the packaged application: a tiny program that notes each start
// and then stays up until asked to close, so its executable stays locked.
//
// Each start appends one UTF-8 line to the file named by TARVO_STANDIN_RECORD
// (default %TEMP%\TarvoStandin.txt): "started", the process ID, the working
// directory and the command line, separated by tabs. Its end appends
// "ended", the process ID and how: "close" (its window was closed), "event"
// or "lifetime". A refused close appends "refused" and the process ID.
//
// It has one top-level window, visible but outside the screen, so that it
// covers and activates nothing; WM_CLOSE to it ends the program, as a click on
// its close box would. With TARVO_STANDIN_REFUSE_CLOSE set it refuses to
// close, as an application whose user cancels its question about unsaved work.
// Setting the event "Local\TarvoStandinClose" ends every running copy; after
// ten minutes a forgotten copy ends by itself.
#ifndef UNICODE
#define UNICODE
#endif
#include <windows.h>
#include <wchar.h>

static const wchar_t kCloseEvent[] = L"Local\\TarvoStandinClose";
static const wchar_t kWindowClass[] = L"TarvoStandinWindow";
static const DWORD kLifetimeMs = 10 * 60 * 1000;

static void RecordPath(wchar_t *path, DWORD capacity)
{
    DWORD length = GetEnvironmentVariableW(L"TARVO_STANDIN_RECORD", path, capacity);

    if (length == 0 || length >= capacity) {
        length = GetTempPathW(capacity, path);
        if (length == 0 || length + 20 >= capacity) length = 0;
        lstrcpynW(path + length, L"TarvoStandin.txt", (int)(capacity - length));
    }
}

static void AppendRecord(const wchar_t *line)
{
    wchar_t path[MAX_PATH * 2];
    char utf8[MAX_PATH * 24];
    HANDLE file = INVALID_HANDLE_VALUE;
    DWORD written = 0;
    int size;

    RecordPath(path, MAX_PATH * 2);
    size = WideCharToMultiByte(CP_UTF8, 0, line, -1, utf8, sizeof utf8, NULL, NULL);
    file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, NULL);
    if (file != INVALID_HANDLE_VALUE && size > 1) WriteFile(file, utf8, (DWORD)(size - 1), &written, NULL);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
}

static void RecordStart(void)
{
    wchar_t directory[MAX_PATH * 2] = {0};
    wchar_t line[MAX_PATH * 8];

    GetCurrentDirectoryW(MAX_PATH * 2, directory);
    if (_snwprintf(line, MAX_PATH * 8, L"started\t%lu\t%ls\t%ls\n", GetCurrentProcessId(), directory, GetCommandLineW()) < 0)
        line[MAX_PATH * 8 - 2] = L'\n';
    line[MAX_PATH * 8 - 1] = L'\0';
    AppendRecord(line);
}

static void RecordEvent(const wchar_t *what, const wchar_t *how)
{
    wchar_t line[64];

    _snwprintf(line, 64, L"%ls\t%lu\t%ls\n", what, GetCurrentProcessId(), how);
    line[63] = L'\0';
    AppendRecord(line);
}

static LRESULT CALLBACK StandinWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    wchar_t refuse[8];

    if (message == WM_CLOSE) {
        if (GetEnvironmentVariableW(L"TARVO_STANDIN_REFUSE_CLOSE", refuse, 8) > 0) {
            RecordEvent(L"refused", L"close");
            return 0;
        }
        RecordEvent(L"ended", L"close");
        DestroyWindow(window);
        return 0;
    }
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

static HWND CreateStandinWindow(HINSTANCE instance)
{
    WNDCLASSEXW windowClass = {0};
    HWND window;

    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = StandinWindowProc;
    windowClass.hInstance = instance;
    windowClass.lpszClassName = kWindowClass;
    RegisterClassExW(&windowClass);
    window = CreateWindowExW(WS_EX_TOOLWINDOW | WS_EX_NOACTIVATE, kWindowClass, L"Tarvo Markwise", WS_POPUP | WS_CAPTION,
                             -4000, -4000, 160, 80, NULL, NULL, instance, NULL);
    if (window) ShowWindow(window, SW_SHOWNOACTIVATE);
    return window;
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR commandLine, int showCommand)
{
    HANDLE closeEvent = CreateEventW(NULL, TRUE, FALSE, kCloseEvent);
    ULONGLONG until = GetTickCount64() + kLifetimeMs;
    const wchar_t *how = L"lifetime";
    MSG message;
    HWND window;

    (void)previous;
    (void)commandLine;
    (void)showCommand;
    // The window first: once the start is on record, it can be asked to close.
    window = CreateStandinWindow(instance);
    RecordStart();
    while (closeEvent && window) {
        ULONGLONG now = GetTickCount64();
        DWORD woke = MsgWaitForMultipleObjects(1, &closeEvent, FALSE, now < until ? (DWORD)(until - now) : 0, QS_ALLINPUT);
        if (woke == WAIT_OBJECT_0) how = L"event";
        if (woke != WAIT_OBJECT_0 + 1) break;
        while (PeekMessageW(&message, NULL, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT) {
                how = NULL;
                break;
            }
            DispatchMessageW(&message);
        }
        if (!how) break;
    }
    if (how) RecordEvent(L"ended", how);
    if (closeEvent) CloseHandle(closeEvent);
    return 0;
}
