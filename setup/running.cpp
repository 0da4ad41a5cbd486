// Other processes that hold the installed files: copies of the installed
// application that run in this session, asked to close as the user's own
// click on their close box would, and scanners and indexers that open a
// file for a moment after it changed.
#include "setup.h"

#include <shellapi.h>
#include <tlhelp32.h>

// Long enough for a person to answer the application's question about
// unsaved work; a run that waits longer fails and changes nothing.
static const DWORD kCloseBoundMs = 30000;
static const int kMaxApplications = MAXIMUM_WAIT_OBJECTS;

// The same file by its full path, case aside as the file system sees it: a
// program of the same name in another folder is not ours.
static int IsInstalledApplication(HANDLE process)
{
    wchar_t image[SETUP_PATH_CAPACITY * 2];
    DWORD length = SETUP_PATH_CAPACITY * 2;

    return QueryFullProcessImageNameW(process, 0, image, &length) &&
           CompareStringOrdinal(image, -1, gAppPath, -1, TRUE) == CSTR_EQUAL;
}

// Opens, for waiting, every process of this session whose image is gAppPath;
// the caller closes the handles. A handle, unlike a process ID, cannot come
// to mean another process once the application has ended.
static int OpenRunningApplications(HANDLE *processes, DWORD *ids)
{
    PROCESSENTRY32W entry = {sizeof entry};
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    HANDLE process;
    DWORD ownSession = 0;
    DWORD session = 0;
    int count = 0;

    if (snapshot == INVALID_HANDLE_VALUE) return 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &ownSession);
    for (BOOL more = Process32FirstW(snapshot, &entry); more && count < kMaxApplications;
         more = Process32NextW(snapshot, &entry)) {
        if (!ProcessIdToSessionId(entry.th32ProcessID, &session) || session != ownSession) continue;
        process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
        if (!process) continue;
        if (IsInstalledApplication(process)) {
            processes[count] = process;
            ids[count++] = entry.th32ProcessID;
        } else {
            CloseHandle(process);
        }
    }
    CloseHandle(snapshot);
    return count;
}

static void CloseAll(HANDLE *processes, int count)
{
    for (int i = 0; i < count; ++i) CloseHandle(processes[i]);
}

int RunningApplicationCount(void)
{
    HANDLE processes[kMaxApplications];
    DWORD ids[kMaxApplications];
    int count = OpenRunningApplications(processes, ids);

    CloseAll(processes, count);
    return count;
}

struct CloseRequest {
    const DWORD *ids;
    int count;
    int asked;
};

// The windows a user could click the close box of: visible and top-level,
// owned by no other window. An owned window (a question about unsaved work)
// is the application's own business.
static BOOL CALLBACK AskWindowToClose(HWND window, LPARAM context)
{
    CloseRequest *request = (CloseRequest *)context;
    DWORD process = 0;

    GetWindowThreadProcessId(window, &process);
    if (!IsWindowVisible(window) || GetWindow(window, GW_OWNER)) return TRUE;
    for (int i = 0; i < request->count; ++i)
        if (request->ids[i] == process && PostMessageW(window, WM_CLOSE, 0, 0)) ++request->asked;
    return TRUE;
}

// The window keeps painting, and answering what other programs send it (a
// screen reader asking for its texts), while the setup waits; input waits
// for the end of the procedure, which drops it.
static void PaintWhileWaiting(void)
{
    MSG message;

    while (PeekMessageW(&message, NULL, WM_PAINT, WM_PAINT, PM_REMOVE)) DispatchMessageW(&message);
}

static void LogProcess(const wchar_t *step, DWORD id, const wchar_t *outcome)
{
    wchar_t process[32];

    FormatText(process, 32, L"process %lu", (unsigned long)id);
    LogLine(step, process, outcome);
}

int CloseRunningApplications(SetupOutcome *outcome, void (*waiting)(void))
{
    HANDLE processes[kMaxApplications];
    DWORD ids[kMaxApplications];
    int count = OpenRunningApplications(processes, ids);
    CloseRequest request = {ids, count, 0};
    ULONGLONG until = GetTickCount64() + kCloseBoundMs;
    wchar_t asked[48];
    DWORD woke;
    int i;

    if (count == 0) return 1;
    for (i = 0; i < count; ++i) LogProcess(L"application running", ids[i], gAppPath);
    if (waiting) waiting();
    EnumWindows(AskWindowToClose, (LPARAM)&request);
    FormatText(asked, 48, L"WM_CLOSE to %d windows", request.asked);
    LogLine(L"ask application to close", gAppPath, asked);
    while (count > 0) {
        ULONGLONG now = GetTickCount64();
        if (now >= until) break;
        woke = MsgWaitForMultipleObjects((DWORD)count, processes, FALSE, (DWORD)(until - now),
                                         QS_PAINT | QS_SENDMESSAGE);
        if (woke == WAIT_OBJECT_0 + (DWORD)count) {
            PaintWhileWaiting();
        } else if (woke < WAIT_OBJECT_0 + (DWORD)count) {
            i = (int)(woke - WAIT_OBJECT_0);
            LogProcess(L"application ended", ids[i], L"ok");
            CloseHandle(processes[i]);
            processes[i] = processes[count - 1];
            ids[i] = ids[count - 1];
            --count;
        } else if (woke == WAIT_FAILED) {
            break;
        }
    }
    if (outcome) outcome->closedApplications += request.count - count;
    CloseAll(processes, count);
    return LogStep(outcome, STEP_CLOSE_APPLICATION, gAppPath, count == 0, ERROR_TIMEOUT);
}

// A scanner holds a new or replaced executable for well under a second; five
// seconds cover a slow one and keep a real failure quick to report.
static const DWORD kBriefLockStepMs = 250;
static const DWORD kBriefLockBoundMs = 5000;

// The errors of a file that another process holds open. A running copy of
// the application holds its file too, but for as long as it runs: that is
// no brief lock and gets no retries.
static int HeldBriefly(DWORD error, int isApplication)
{
    if (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION && error != ERROR_LOCK_VIOLATION) return 0;
    return !isApplication || RunningApplicationCount() == 0;
}

// Called after a failed try: waits one step and returns 1 while the failure
// may be a brief lock and the bound has not passed; logs each retry. Keeps
// the failure's own error.
static int AnotherTry(const wchar_t *step, const wchar_t *path, int isApplication, ULONGLONG until)
{
    DWORD error = GetLastError();
    wchar_t outcome[64];

    if (GetTickCount64() >= until || !HeldBriefly(error, isApplication)) {
        SetLastError(error);
        return 0;
    }
    FormatText(outcome, 64, L"held by another program (error %lu): retrying", (unsigned long)error);
    LogLine(step, path, outcome);
    Sleep(kBriefLockStepMs);
    return 1;
}

int MoveRetryingBriefLocks(const wchar_t *from, const wchar_t *to, int isApplication)
{
    ULONGLONG until = GetTickCount64() + kBriefLockBoundMs;

    while (!MoveFileExW(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        if (!AnotherTry(L"move", to, isApplication, until)) return 0;
    return 1;
}

int DeleteRetryingBriefLocks(const wchar_t *path, int isApplication)
{
    ULONGLONG until = GetTickCount64() + kBriefLockBoundMs;

    SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL);
    while (!DeleteFileW(path))
        if (!AnotherTry(L"delete", path, isApplication, until)) return 0;
    return 1;
}

// The installed application, started in its folder as its shortcuts start
// it. No error dialog of the shell's: an unattended run must never wait.
int StartApplication(HWND owner)
{
    ULONGLONG until = GetTickCount64() + kBriefLockBoundMs;
    SHELLEXECUTEINFOW execute = {0};
    int ok;

    execute.cbSize = sizeof execute;
    execute.fMask = SEE_MASK_FLAG_NO_UI;
    execute.hwnd = owner;
    execute.lpVerb = L"open";
    execute.lpFile = gAppPath;
    execute.lpDirectory = gInstallDir;
    execute.nShow = SW_SHOWNORMAL;
    while (!(ok = ShellExecuteExW(&execute)) && AnotherTry(L"start application", gAppPath, 0, until)) {
    }
    LogStep(NULL, STEP_START_APPLICATION, gAppPath, ok, GetLastError());
    return ok;
}
