// Copies of the installed application that run in this session, asked to
// close as the user's own click on their close box would, and the
// application started again.
#include "setup.h"

#include <shellapi.h>
#include <tlhelp32.h>

// Long enough for a person to answer the application's question about
// unsaved work; a run that waits longer fails and changes nothing.
static const DWORD kCloseBoundMs = 30000;
// One wait covers this many processes beside the window's messages; more
// copies are closed in rounds of this many.
static const int kMaxApplications = MAXIMUM_WAIT_OBJECTS - 1;

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

// At most one round's worth: enough to tell whether any runs.
int RunningApplicationCount(void)
{
    HANDLE processes[kMaxApplications];
    DWORD ids[kMaxApplications];
    int count = OpenRunningApplications(processes, ids);

    CloseAll(processes, count);
    return count;
}

int ApplicationFileStep(int step)
{
    DWORD error = GetLastError();

    if (RunningApplicationCount() > 0) step = STEP_CLOSE_APPLICATION;
    SetLastError(error);
    return step;
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

// One round: up to kMaxApplications copies asked to close and waited for
// until the bound. Returns how many it found, and sets *left to how many
// still run.
static int CloseOneRound(ULONGLONG until, void (*waiting)(void), int *left)
{
    HANDLE processes[kMaxApplications];
    DWORD ids[kMaxApplications];
    int count = OpenRunningApplications(processes, ids);
    CloseRequest request = {ids, count, 0};
    wchar_t asked[48];
    DWORD woke;
    int i;

    *left = 0;
    if (count == 0) return 0;
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
    CloseAll(processes, count);
    *left = count;
    return request.count;
}

// Rounds until none runs, or one round leaves some running at the bound.
int CloseRunningApplications(SetupOutcome *outcome, void (*waiting)(void))
{
    ULONGLONG until = GetTickCount64() + kCloseBoundMs;
    int found;
    int left = 0;
    int closed = 0;

    do {
        found = CloseOneRound(until, closed == 0 ? waiting : NULL, &left);
        closed += found - left;
    } while (found > 0 && left == 0);
    if (outcome) outcome->closedApplications += closed;
    return LogStep(outcome, STEP_CLOSE_APPLICATION, gAppPath, left == 0, ERROR_TIMEOUT);
}

// The installed application, started in its folder as its shortcuts start
// it. No error dialog of the shell's: an unattended run must never wait.
int StartApplication(HWND owner)
{
    ULONGLONG until = BriefLockDeadline();
    SHELLEXECUTEINFOW execute = {0};
    int ok;

    execute.cbSize = sizeof execute;
    execute.fMask = SEE_MASK_FLAG_NO_UI;
    execute.hwnd = owner;
    execute.lpVerb = L"open";
    execute.lpFile = gAppPath;
    execute.lpDirectory = gInstallDir;
    execute.nShow = SW_SHOWNORMAL;
    while (!(ok = ShellExecuteExW(&execute)) && AnotherTry(L"start application", gAppPath, until)) {
    }
    LogStep(NULL, STEP_START_APPLICATION, gAppPath, ok, GetLastError());
    return ok;
}
