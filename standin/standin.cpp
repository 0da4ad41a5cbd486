// Stand-in for the packaged application: a tiny program that notes each start
// and then stays up until asked to close, so its executable stays locked.
//
// Each start appends one UTF-8 line to the file named by TARVO_STANDIN_RECORD
// (default %TEMP%\TarvoStandin.txt): "started", the process ID, the working
// directory and the command line, separated by tabs.
// Setting the event "Local\TarvoStandinClose" ends every running copy; after
// ten minutes a forgotten copy ends by itself.
#ifndef UNICODE
#define UNICODE
#endif
#include <windows.h>
#include <wchar.h>

static const wchar_t kCloseEvent[] = L"Local\\TarvoStandinClose";
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

static void AppendRecord(void)
{
    wchar_t path[MAX_PATH * 2];
    wchar_t directory[MAX_PATH * 2] = {0};
    wchar_t line[MAX_PATH * 8];
    char utf8[MAX_PATH * 24];
    HANDLE file = INVALID_HANDLE_VALUE;
    DWORD written = 0;
    int size;

    RecordPath(path, MAX_PATH * 2);
    GetCurrentDirectoryW(MAX_PATH * 2, directory);
    if (_snwprintf(line, MAX_PATH * 8, L"started\t%lu\t%ls\t%ls\n", GetCurrentProcessId(), directory, GetCommandLineW()) < 0)
        line[MAX_PATH * 8 - 2] = L'\n';
    line[MAX_PATH * 8 - 1] = L'\0';
    size = WideCharToMultiByte(CP_UTF8, 0, line, -1, utf8, sizeof utf8, NULL, NULL);
    file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, NULL);
    if (file != INVALID_HANDLE_VALUE && size > 1) WriteFile(file, utf8, (DWORD)(size - 1), &written, NULL);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR commandLine, int showCommand)
{
    HANDLE closeEvent = CreateEventW(NULL, TRUE, FALSE, kCloseEvent);

    (void)instance;
    (void)previous;
    (void)commandLine;
    (void)showCommand;
    AppendRecord();
    if (closeEvent) {
        WaitForSingleObject(closeEvent, kLifetimeMs);
        CloseHandle(closeEvent);
    }
    return 0;
}
