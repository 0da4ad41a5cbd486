// Measurements behind bench/bench.py, one per run, printed as "key value"
// lines:
//   setup_bench crc FILE              the program's CRC-32 over FILE in memory,
//                                     with the variant in use and with each
//                                     variant the processor offers
//   setup_bench extract SETUP OUTPUT  ExtractApplication from SETUP: its one
//                                     pass writes and flushes the application
//                                     and the uninstaller beside OUTPUT; then
//                                     the two moves the install does
//   setup_bench copy SOURCE TARGET    CopyFileW of the payload
//   setup_bench durable SETUP TARGET  the same work as the extraction without
//                                     the CRC: SETUP read 64 KiB at a time,
//                                     every chunk written to the uninstaller's
//                                     temporary file and the payload's also to
//                                     TARGET.tmp, both flushed to disk and
//                                     moved over their targets, each phase
//                                     timed
//   setup_bench startup SETUP         start until the window is up with its
//                                     primary button enabled, then close it
//   setup_bench shell FOLDER          the platform's floor of the install's
//                                     fixed steps: two shortcut saves into
//                                     FOLDER and the uninstall entry's writes
//   setup_bench noop                  nothing: the cost of a process start
// The timed measurements start once the machine is quiet (WaitForQuietMachine).
#include "setup.h"

#include <objbase.h>
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

static unsigned long long Ticks(FILETIME time)
{
    return ((unsigned long long)time.dwHighDateTime << 32) | time.dwLowDateTime;
}

// A process that starts under Wine sets other processes to work for a while
// (the console host of this console program among them); timed work that
// overlaps them shares the two cores and varies from run to run by a factor
// of several. So each measurement starts once the machine has been at least
// 90 % idle for 100 ms, or after 5 s. Returns the seconds it waited.
static double WaitForQuietMachine(void)
{
    FILETIME idle, kernel, user;
    unsigned long long idleBefore, busyBefore, idleAfter, busyAfter;
    double start = Seconds();

    while (Seconds() - start < 5) {
        GetSystemTimes(&idle, &kernel, &user);
        idleBefore = Ticks(idle);
        busyBefore = Ticks(kernel) + Ticks(user);
        Sleep(100);
        GetSystemTimes(&idle, &kernel, &user);
        idleAfter = Ticks(idle);
        busyAfter = Ticks(kernel) + Ticks(user);
        // The kernel time includes the idle time.
        if (busyAfter > busyBefore && (double)(idleAfter - idleBefore) >= 0.9 * (double)(busyAfter - busyBefore)) break;
    }
    return Seconds() - start;
}

static void PrintPeakWorkingSet(void)
{
    PROCESS_MEMORY_COUNTERS counters = {sizeof counters};
    if (GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters))
        printf("peak_working_set %llu\n", (unsigned long long)counters.PeakWorkingSetSize);
}

static double CrcSeconds(const unsigned char *bytes, unsigned long long size, unsigned int *crc)
{
    unsigned long long offset;
    unsigned long long chunk;
    double start = Seconds();

    *crc = 0;
    for (offset = 0; offset < size; offset += chunk) {
        chunk = size - offset < 65536 ? size - offset : 65536;
        *crc = UpdateCrc32(*crc, bytes + offset, (size_t)chunk);
    }
    return Seconds() - start;
}

static int MeasureCrc(const wchar_t *path)
{
    static const struct {
        int variant;
        const char *name;
    } variants[] = {{CRC_WIDEST, "in_use"}, {CRC_SSE2, "sse2"}, {CRC_AVX2, "avx2"}, {CRC_AVX512, "avx512"}};
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, 0, NULL);
    LARGE_INTEGER size;
    unsigned char *bytes = NULL;
    DWORD got = 0;
    unsigned int crc = 0;
    unsigned long long offset;
    size_t i;
    int ok = 0;

    if (file == INVALID_HANDLE_VALUE || !GetFileSizeEx(file, &size)) goto done;
    bytes = (unsigned char *)malloc((size_t)size.QuadPart);
    for (offset = 0; bytes && offset < (unsigned long long)size.QuadPart; offset += got)
        if (!ReadFile(file, bytes + offset, (DWORD)(size.QuadPart - offset > (1 << 30) ? 1 << 30 : size.QuadPart - offset), &got, NULL) || !got)
            goto done;
    WaitForQuietMachine();
    for (i = 0; i < sizeof variants / sizeof variants[0]; ++i)
        if (SelectCrcVariant(variants[i].variant))
            printf("seconds_%s %.6f\n", variants[i].name, CrcSeconds(bytes, (unsigned long long)size.QuadPart, &crc));
    SelectCrcVariant(CRC_WIDEST);
    printf("crc %08x\n", crc);
    ok = 1;
done:
    free(bytes);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    return ok ? 0 : 1;
}

static int MeasureExtract(const wchar_t *setup, const wchar_t *output)
{
    double quiet;
    double start;
    int ok;

    lstrcpynW(gSelfPath, setup, SETUP_PATH_CAPACITY);
    lstrcpynW(gAppPath, output, SETUP_PATH_CAPACITY);
    FormatText(gPartialPath, SETUP_PATH_CAPACITY, L"%ls.tmp", output);
    FormatText(gUninstallPath, SETUP_PATH_CAPACITY, L"%ls.kaldir", output);
    FormatText(gPartialUninstallPath, SETUP_PATH_CAPACITY, L"%ls.kaldir.tmp", output);
    quiet = WaitForQuietMachine();
    start = Seconds();
    ok = ExtractApplication();
    ok = ok && MoveFileExW(gPartialUninstallPath, gUninstallPath, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    ok = ok && MoveFileExW(gPartialPath, gAppPath, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    printf("seconds %.6f\nseconds_quiet %.6f\nresult %d\n", Seconds() - start, quiet, ok);
    PrintPeakWorkingSet();
    return ok ? 0 : 1;
}

static int MeasureCopy(const wchar_t *source, const wchar_t *target)
{
    double start;
    BOOL ok;

    WaitForQuietMachine();
    start = Seconds();
    ok = CopyFileW(source, target, FALSE);
    printf("seconds %.6f\nresult %d\n", Seconds() - start, ok ? 1 : 0);
    return ok ? 0 : 1;
}

static int WriteAll(HANDLE output, const unsigned char *bytes, DWORD count)
{
    DWORD put = 0;
    return WriteFile(output, bytes, count, &put, NULL) && put == count;
}

// Does what ExtractApplication does but the CRC: reads the setup file one
// 64 KiB buffer at a time, writes every chunk to the uninstaller's
// temporary file and the payload's chunks also to the application's, waits
// until both are on disk, and moves them over their targets, which replaces
// earlier ones. The payload lies before the trailer's 24 bytes, its length
// in them.
static int MeasureDurableCopy(const wchar_t *setup, const wchar_t *target)
{
    unsigned char buffer[65536];
    wchar_t partial[SETUP_PATH_CAPACITY];
    wchar_t uninstaller[SETUP_PATH_CAPACITY];
    wchar_t partialUninstaller[SETUP_PATH_CAPACITY];
    HANDLE input = INVALID_HANDLE_VALUE;
    HANDLE output = INVALID_HANDLE_VALUE;
    HANDLE copy = INVALID_HANDLE_VALUE;
    LARGE_INTEGER size = {};
    unsigned long long payload = 0, payloadStart = 0, offset = 0, part;
    DWORD got = 0;
    double start, copied, flushed, moved;
    int ok;

    WaitForQuietMachine();
    start = Seconds();
    FormatText(partial, SETUP_PATH_CAPACITY, L"%ls.tmp", target);
    FormatText(uninstaller, SETUP_PATH_CAPACITY, L"%ls.kaldir", target);
    FormatText(partialUninstaller, SETUP_PATH_CAPACITY, L"%ls.kaldir.tmp", target);
    input = CreateFileW(setup, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    output = CreateFileW(partial, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    copy = CreateFileW(partialUninstaller, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    ok = input != INVALID_HANDLE_VALUE && output != INVALID_HANDLE_VALUE && copy != INVALID_HANDLE_VALUE &&
         GetFileSizeEx(input, &size) && size.QuadPart >= 24;
    if (ok) {
        LARGE_INTEGER at;
        at.QuadPart = size.QuadPart - 12;
        ok = SetFilePointerEx(input, at, NULL, FILE_BEGIN) && ReadFile(input, &payload, 8, &got, NULL) && got == 8;
        payloadStart = (unsigned long long)size.QuadPart - 24 - payload;
        at.QuadPart = 0;
        ok = ok && SetFilePointerEx(input, at, NULL, FILE_BEGIN);
    }
    while (ok && ReadFile(input, buffer, sizeof buffer, &got, NULL) && got) {
        ok = WriteAll(copy, buffer, got);
        // The part of this chunk that lies in the payload.
        if (offset + got > payloadStart && offset < payloadStart + payload) {
            unsigned long long from = offset < payloadStart ? payloadStart - offset : 0;
            part = (offset + got < payloadStart + payload ? offset + got : payloadStart + payload) - offset - from;
            ok = ok && WriteAll(output, buffer + from, (DWORD)part);
        }
        offset += got;
    }
    copied = Seconds();
    ok = ok && FlushFileBuffers(output) && FlushFileBuffers(copy);
    flushed = Seconds();
    if (copy != INVALID_HANDLE_VALUE) CloseHandle(copy);
    if (output != INVALID_HANDLE_VALUE) CloseHandle(output);
    if (input != INVALID_HANDLE_VALUE) CloseHandle(input);
    ok = ok && MoveFileExW(partialUninstaller, uninstaller, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    ok = ok && MoveFileExW(partial, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
    moved = Seconds();
    printf("seconds %.6f\nseconds_copy %.6f\nseconds_flush %.6f\nseconds_move %.6f\nresult %d\n", moved - start,
           copied - start, flushed - copied, moved - flushed, ok);
    return ok ? 0 : 1;
}

static int MeasureShell(const wchar_t *folder)
{
    wchar_t first[SETUP_PATH_CAPACITY];
    wchar_t second[SETUP_PATH_CAPACITY];
    double start, saved, written;
    int ok;

    lstrcpynW(gInstallDir, folder, SETUP_PATH_CAPACITY);
    FormatText(gAppPath, SETUP_PATH_CAPACITY, L"%ls\\TarvoMarkwise.exe", folder);
    FormatText(gUninstallPath, SETUP_PATH_CAPACITY, L"%ls\\TarvoMarkwiseKaldir.exe", folder);
    FormatText(first, SETUP_PATH_CAPACITY, L"%ls\\first.lnk", folder);
    FormatText(second, SETUP_PATH_CAPACITY, L"%ls\\second.lnk", folder);
    CoInitializeEx(NULL, COINIT_APARTMENTTHREADED);
    WaitForQuietMachine();
    start = Seconds();
    ok = SUCCEEDED(CreateShortcut(first)) && SUCCEEDED(CreateShortcut(second));
    saved = Seconds();
    ok = ok && WriteUninstallEntry();
    written = Seconds();
    CoUninitialize();
    printf("seconds_shortcuts %.6f\nseconds_entry %.6f\nresult %d\n", saved - start, written - saved, ok);
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
    if (wcscmp(className, PRODUCT_WINDOW_CLASS) == 0 && button && IsWindowEnabled(button)) {
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
    if (count == 4 && wcscmp(arguments[1], L"durable") == 0) return MeasureDurableCopy(arguments[2], arguments[3]);
    if (count == 3 && wcscmp(arguments[1], L"startup") == 0) return MeasureStartup(arguments[2]);
    if (count == 3 && wcscmp(arguments[1], L"shell") == 0) return MeasureShell(arguments[2]);
    if (count == 2 && wcscmp(arguments[1], L"noop") == 0) return 0;
    fwprintf(stderr, L"usage: setup_bench crc FILE | extract SETUP OUTPUT | copy SOURCE TARGET | durable SETUP TARGET | "
                     L"startup SETUP | shell FOLDER | noop\n");
    return 2;
}
