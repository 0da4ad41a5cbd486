// Measurements behind bench/bench.py, one per run, printed as "key value"
// lines:
//   setup_bench crc FILE              the program's CRC-32 over FILE in memory
//   setup_bench extract SETUP OUTPUT  ExtractApplication from SETUP to OUTPUT
//   setup_bench copy SOURCE TARGET    CopyFileW of the same bytes
//   setup_bench startup SETUP         start until the window is up with its
//                                     primary button enabled, then close it
//   setup_bench noop                  nothing: the cost of a process start
#include "setup.h"

#include <psapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>

static double Seconds(void)
{
    LARGE_INTEGER now, frequency;
    QueryPerformanceCounter(&now);
    QueryPerformanceFrequency(&frequency);
    return (double)now.QuadPart / (double)frequency.QuadPart;
}

static void PrintPeakWorkingSet(void)
{
    PROCESS_MEMORY_COUNTERS counters = {sizeof counters};
    if (GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters))
        printf("peak_working_set %llu\n", (unsigned long long)counters.PeakWorkingSetSize);
}

static int MeasureCrc(const wchar_t *path)
{
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    LARGE_INTEGER size;
    unsigned char *bytes = NULL;
    DWORD got = 0;
    unsigned int crc = 0;
    unsigned long long offset;
    unsigned long long chunk;
    double start;
    int ok = 0;

    if (file == INVALID_HANDLE_VALUE || !GetFileSizeEx(file, &size)) goto done;
    bytes = (unsigned char *)malloc((size_t)size.QuadPart);
    for (offset = 0; bytes && offset < (unsigned long long)size.QuadPart; offset += got)
        if (!ReadFile(file, bytes + offset, (DWORD)(size.QuadPart - offset > (1 << 30) ? 1 << 30 : size.QuadPart - offset), &got, NULL) || !got)
            goto done;
    start = Seconds();
    for (offset = 0; offset < (unsigned long long)size.QuadPart; offset += chunk) {
        chunk = size.QuadPart - offset < 65536 ? size.QuadPart - offset : 65536;
        crc = UpdateCrc32(crc, bytes + offset, (size_t)chunk);
    }
    printf("seconds %.6f\ncrc %08x\n", Seconds() - start, crc);
    ok = 1;
done:
    free(bytes);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    return ok ? 0 : 1;
}

static int MeasureExtract(const wchar_t *setup, const wchar_t *output)
{
    double start;
    int ok;

    lstrcpynW(gSelfPath, setup, SETUP_PATH_CAPACITY);
    lstrcpynW(gAppPath, output, SETUP_PATH_CAPACITY);
    start = Seconds();
    ok = ExtractApplication();
    printf("seconds %.6f\nresult %d\n", Seconds() - start, ok);
    PrintPeakWorkingSet();
    return ok ? 0 : 1;
}

static int MeasureCopy(const wchar_t *source, const wchar_t *target)
{
    double start = Seconds();
    BOOL ok = CopyFileW(source, target, FALSE);
    printf("seconds %.6f\nresult %d\n", Seconds() - start, ok ? 1 : 0);
    return ok ? 0 : 1;
}

struct SetupWindowSearch {
    DWORD processId;
    HWND ready;
};

static BOOL CALLBACK FindReadyWindow(HWND window, LPARAM context)
{
    SetupWindowSearch *search = (SetupWindowSearch *)context;
    wchar_t className[32] = {0};
    DWORD process = 0;
    HWND button;

    GetWindowThreadProcessId(window, &process);
    if (process != search->processId || !IsWindowVisible(window)) return TRUE;
    GetClassNameW(window, className, 32);
    button = GetDlgItem(window, ID_PRIMARY_BUTTON);
    if (wcscmp(className, L"TarvoMarkwiseSetup102") == 0 && button && IsWindowEnabled(button)) {
        search->ready = window;
        return FALSE;
    }
    return TRUE;
}

static int MeasureStartup(const wchar_t *setup)
{
    STARTUPINFOW startup = {sizeof startup};
    PROCESS_INFORMATION created = {0};
    wchar_t commandLine[MAX_PATH + 2];
    SetupWindowSearch search = {0, NULL};
    double start;
    double elapsed = -1;

    _snwprintf(commandLine, MAX_PATH + 2, L"\"%ls\"", setup);
    commandLine[MAX_PATH + 1] = L'\0';
    start = Seconds();
    if (!CreateProcessW(NULL, commandLine, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &created)) return 1;
    search.processId = created.dwProcessId;
    while (Seconds() - start < 30) {
        EnumWindows(FindReadyWindow, (LPARAM)&search);
        if (search.ready) {
            elapsed = Seconds() - start;
            break;
        }
        Sleep(1);
    }
    if (search.ready) PostMessageW(search.ready, WM_CLOSE, 0, 0);
    if (WaitForSingleObject(created.hProcess, 10000) != WAIT_OBJECT_0) TerminateProcess(created.hProcess, 1);
    CloseHandle(created.hThread);
    CloseHandle(created.hProcess);
    printf("seconds %.6f\n", elapsed);
    return elapsed < 0;
}

int wmain(int count, wchar_t **arguments)
{
    if (count == 3 && wcscmp(arguments[1], L"crc") == 0) return MeasureCrc(arguments[2]);
    if (count == 4 && wcscmp(arguments[1], L"extract") == 0) return MeasureExtract(arguments[2], arguments[3]);
    if (count == 4 && wcscmp(arguments[1], L"copy") == 0) return MeasureCopy(arguments[2], arguments[3]);
    if (count == 3 && wcscmp(arguments[1], L"startup") == 0) return MeasureStartup(arguments[2]);
    if (count == 2 && wcscmp(arguments[1], L"noop") == 0) return 0;
    fwprintf(stderr, L"usage: setup_bench crc FILE | extract SETUP OUTPUT | copy SOURCE TARGET | startup SETUP | noop\n");
    return 2;
}
