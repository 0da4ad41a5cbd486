// The log an administrator asks for with --log: one UTF-8 line per step,
// "time<TAB>step<TAB>path<TAB>outcome". Each line is appended and the file
// closed again, so a setup that is ended leaves every line it wrote.
#include "setup.h"

#include <wchar.h>

static const int kLineCapacity = 1024;

static void AppendToLog(const wchar_t *text, DWORD disposition)
{
    char utf8[kLineCapacity * 3];
    HANDLE file = INVALID_HANDLE_VALUE;
    DWORD written = 0;
    int size;

    if (!gLogPath[0]) return;
    size = WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8, sizeof utf8, NULL, NULL);
    file = CreateFileW(gLogPath, FILE_APPEND_DATA, FILE_SHARE_READ, NULL, disposition, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file != INVALID_HANDLE_VALUE && size > 1) WriteFile(file, utf8, (DWORD)(size - 1), &written, NULL);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
}

// Whom the run is for, as the log's second line says it.
static const wchar_t *AccountContextText(wchar_t *text, int capacity)
{
    switch (gAccountContext) {
    case CONTEXT_SERVICE_ACCOUNT:
        FormatText(text, capacity, L"a service account");
        break;
    case CONTEXT_ELEVATED_AS_USER:
        FormatText(text, capacity, L"elevated, as the user signed in to this desktop (%ls): the application is started "
                                   L"through the desktop's shell", gSignedInAccount);
        break;
    case CONTEXT_OTHER_ACCOUNT:
        FormatText(text, capacity, L"elevated as %ls while %ls is signed in to this desktop", gRunningAccount,
                   gSignedInAccount);
        break;
    case CONTEXT_SHELL_UNREADABLE:
        FormatText(text, capacity, L"elevated; the desktop's shell was found, but not whose it is (error %lu)",
                   (unsigned long)gShellError);
        break;
    case CONTEXT_NO_UNELEVATED_SHELL:
        FormatText(text, capacity, L"elevated; no unelevated shell found: runs as the elevated account");
        break;
    default:
        FormatText(text, capacity, L"not elevated");
    }
    return text;
}

// The run's first line, once per process, and whom the run is for once that
// is known. Created or replaced only by a run that holds the setup lock
// (replace); a run refused before it takes the lock, like a second run that
// finds the first one working, appends its lines to what is there, so that
// the working run's log stays whole.
void StartLog(int replace)
{
    static int started;
    wchar_t line[kLineCapacity];
    SYSTEMTIME now;

    if (started) return;
    started = 1;
    GetLocalTime(&now);
    FormatText(line, kLineCapacity, L"%04u-%02u-%02u %02u:%02u:%02u.%03u\tstart\t%ls\t%ls %ls, %ls%ls\r\n", now.wYear,
               now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds, gSelfPath,
               PRODUCT_NAME, PRODUCT_VERSION, gUninstallMode ? L"uninstall" : L"install",
               gRunMode == RUN_SILENT ? L", silent" : gRunMode == RUN_PASSIVE ? L", passive" : L"");
    AppendToLog(line, replace ? CREATE_ALWAYS : OPEN_ALWAYS);
    if (gAccountContext != CONTEXT_UNREAD) LogLine(L"account", gRunningAccount, AccountContextText(line, kLineCapacity));
}

// Keeps the last error: a failure is logged before it is reported. Every
// step is logged, so the window answers between them.
void LogLine(const wchar_t *step, const wchar_t *path, const wchar_t *outcome)
{
    wchar_t line[kLineCapacity];
    SYSTEMTIME now;
    DWORD error = GetLastError();

    AnswerWhileWorking();
    GetLocalTime(&now);
    FormatText(line, kLineCapacity, L"%04u-%02u-%02u %02u:%02u:%02u.%03u\t%ls\t%ls\t%ls\r\n", now.wYear, now.wMonth,
               now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds, step, path, outcome);
    AppendToLog(line, OPEN_ALWAYS);
    SetLastError(error);
}

static const wchar_t *const kStepNames[] = {
    L"done",                 L"setup lock",           L"known folder",       L"installed version",
    L"retire the old agent", L"free space",           L"find application",   L"close application",
    L"install folder",       L"read package",         L"write application",  L"replace application",
    L"place uninstaller",    L"shortcuts",            L"uninstall entry",    L"remove application",
    L"remove shortcuts",     L"remove uninstall entry", L"hand over removal", L"start application",
    L"discard staging file", L"take back",
};
static_assert(sizeof kStepNames / sizeof kStepNames[0] == STEP_TAKE_BACK + 1, "a name for every step");

const wchar_t *StepName(int step)
{
    return kStepNames[step];
}

int LogStep(SetupOutcome *outcome, int step, const wchar_t *path, int ok, DWORD error)
{
    wchar_t message[512] = {0};
    wchar_t result[700];
    DWORD lastError = GetLastError();
    size_t length;

    if (ok) {
        LogLine(kStepNames[step], path, L"ok");
        return 1;
    }
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, error, 0, message, 512, NULL);
    for (length = wcslen(message); length > 0 && (message[length - 1] == L'\r' || message[length - 1] == L'\n'); --length)
        message[length - 1] = L'\0';
    // An HRESULT of a failing COM call reads as one in hexadecimal.
    FormatText(result, 700, error & 0x80000000u ? L"failed: error 0x%08lx: %ls" : L"failed: error %lu: %ls",
               (unsigned long)error, message);
    LogLine(kStepNames[step], path, result);
    if (outcome && outcome->step == STEP_NONE) {
        outcome->step = step;
        outcome->error = error;
    }
    SetLastError(lastError);
    return 0;
}
