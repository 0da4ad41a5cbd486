// Copies of the installed application that run: in this session, asked to
// close as the user's own click on their close box would, and in the user's
// other sessions, which no close request of this one reaches; and the
// application started again.
#include "setup.h"

#include <shellapi.h>
#include <string.h>
#include <tlhelp32.h>
#include <wchar.h>

// Long enough for a person to answer the application's question about
// unsaved work; a run that waits longer fails and changes nothing.
static const DWORD kCloseBoundMs = 30000;
// One wait covers this many processes beside the window's messages; more
// copies are closed in rounds of this many.
static const int kMaxApplications = MAXIMUM_WAIT_OBJECTS - 1;

static void CloseAll(HANDLE *processes, int count)
{
    for (int i = 0; i < count; ++i) CloseHandle(processes[i]);
}

// What makes a file the same file, whatever path reaches it: its volume's
// serial number and its ID there (128 bits on ReFS).
struct FileIdentity {
    ULONGLONG volume;
    BYTE id[16];
};

// Returns 1 with the identity, or 0 with the error of the failing call.
static int ReadIdentity(const wchar_t *path, FileIdentity *identity)
{
    HANDLE file = CreateFileW(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    FILE_ID_INFO idInfo;
    BY_HANDLE_FILE_INFORMATION information;
    int ok = 0;

    memset(identity, 0, sizeof *identity);
    if (file == INVALID_HANDLE_VALUE) return 0;
    if (GetFileInformationByHandleEx(file, FileIdInfo, &idInfo, sizeof idInfo)) {
        identity->volume = idInfo.VolumeSerialNumber;
        memcpy(identity->id, &idInfo.FileId, sizeof identity->id);
        ok = 1;
    } else if (GetFileInformationByHandle(file, &information)) {
        identity->volume = information.dwVolumeSerialNumber;
        memcpy(identity->id, &information.nFileIndexLow, sizeof information.nFileIndexLow);
        memcpy(identity->id + 4, &information.nFileIndexHigh, sizeof information.nFileIndexHigh);
        ok = 1;
    }
    CloseHandle(file);
    return ok;
}

static const wchar_t *FileNamePart(const wchar_t *path)
{
    const wchar_t *slash = wcsrchr(path, L'\\');
    return slash ? slash + 1 : path;
}

// The installed application as found on disk: a copy started through a
// junction, a subst drive or a second drive letter reports another path to
// the same file, so its identity counts, not the text of its path.
struct InstalledImage {
    int known;
    FileIdentity identity;
};

// Whether the process runs the installed application: by its path, case
// aside as the file system sees it, or by the identity of a file of the
// same name. A program of that name in another folder is not ours, and one
// of another name is never looked at. Returns -1 when a copy of that name
// cannot be told apart (the error is kept).
static int IsInstalledApplication(HANDLE process, const InstalledImage *installed)
{
    wchar_t image[SETUP_PATH_CAPACITY * 2];
    DWORD length = SETUP_PATH_CAPACITY * 2;
    FileIdentity identity;

    if (!QueryFullProcessImageNameW(process, 0, image, &length)) return 0;
    if (CompareStringOrdinal(image, -1, gAppPath, -1, TRUE) == CSTR_EQUAL) return 1;
    if (!installed->known || CompareStringOrdinal(FileNamePart(image), -1, FileNamePart(gAppPath), -1, TRUE) != CSTR_EQUAL)
        return 0;
    if (!ReadIdentity(image, &identity)) return -1;
    return memcmp(&identity, &installed->identity, sizeof identity) == 0;
}

// Opens, for waiting, every process of this session that runs the installed
// application, and counts those of the other sessions; the caller closes
// the handles. A handle, unlike a process ID, cannot come to mean another
// process once the application has ended. Returns how many it opened, or
// -1 when it cannot tell (the error is kept).
static int OpenRunningApplications(HANDLE *processes, DWORD *ids, int *elsewhere)
{
    PROCESSENTRY32W entry = {sizeof entry};
    InstalledImage installed;
    HANDLE snapshot = INVALID_HANDLE_VALUE;
    HANDLE process;
    DWORD ownSession = 0;
    DWORD session = 0;
    DWORD attributes;
    DWORD error;
    int count = 0;
    int ours;

    // Without the installed file there is nothing of it to run; a file there
    // whose identity cannot be read leaves the copies unknown. A folder at
    // its path is not the application.
    *elsewhere = 0;
    installed.known = ReadIdentity(gAppPath, &installed.identity);
    error = GetLastError();
    attributes = GetFileAttributesW(gAppPath);
    if (!installed.known && attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        SetLastError(error);
        return -1;
    }
    snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &ownSession);
    for (BOOL more = Process32FirstW(snapshot, &entry); more && count < kMaxApplications;
         more = Process32NextW(snapshot, &entry)) {
        process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
        if (!process) continue;
        ours = IsInstalledApplication(process, &installed);
        error = GetLastError();
        // A copy whose session cannot be told is taken for one of this
        // session's, to be asked to close.
        if (ours == 1 && (!ProcessIdToSessionId(entry.th32ProcessID, &session) || session == ownSession)) {
            processes[count] = process;
            ids[count++] = entry.th32ProcessID;
            continue;
        }
        CloseHandle(process);
        if (ours == 1) ++*elsewhere;
        if (ours < 0) {
            CloseAll(processes, count);
            count = -1;
            break;
        }
    }
    CloseHandle(snapshot);
    SetLastError(error);
    return count;
}

// Every copy, in this session and the user's others, and of those in this
// session at most one round's worth: enough to tell whether any runs.
// Returns -1 when it cannot tell.
static int CountRunningApplications(int *elsewhere)
{
    HANDLE processes[kMaxApplications];
    DWORD ids[kMaxApplications];
    int count = OpenRunningApplications(processes, ids, elsewhere);

    if (count < 0) return -1;
    CloseAll(processes, count);
    return count + *elsewhere;
}

int RunningApplicationCount(int *elsewhere)
{
    int others = 0;
    int count = CountRunningApplications(&others);

    if (elsewhere) *elsewhere = others;
    return count < 0 ? 0 : count;
}

// A copy in another session of the user's is never asked to close, nor
// waited for: the run ends at once, naming that session as the cause. A
// search that cannot tell which copies run fails the run with its error.
static int CheckNoneElsewhere(SetupOutcome *outcome, int count, int elsewhere)
{
    wchar_t found[48];

    if (count < 0) return LogStep(outcome, STEP_FIND_APPLICATION, gAppPath, 0, GetLastError());
    if (elsewhere == 0) return 1;
    FormatText(found, 48, L"%d in another session", elsewhere);
    LogLine(L"application running", found, gAppPath);
    if (outcome) outcome->elsewhereApplications = elsewhere;
    return LogStep(outcome, STEP_CLOSE_APPLICATION, gAppPath, 0, ERROR_SHARING_VIOLATION);
}

int CheckRunningApplications(SetupOutcome *outcome, int mayClose)
{
    int elsewhere = 0;
    int count = CountRunningApplications(&elsewhere);

    if (!CheckNoneElsewhere(outcome, count, elsewhere)) return 0;
    return mayClose || count == 0 || LogStep(outcome, STEP_CLOSE_APPLICATION, gAppPath, 0, ERROR_SHARING_VIOLATION);
}

int ApplicationFileStep(int step)
{
    DWORD error = GetLastError();

    if (RunningApplicationCount(NULL) > 0) step = STEP_CLOSE_APPLICATION;
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
static int CloseOneRound(SetupOutcome *outcome, ULONGLONG until, void (*waiting)(void), int *left)
{
    HANDLE processes[kMaxApplications];
    DWORD ids[kMaxApplications];
    int elsewhere = 0;
    int count = OpenRunningApplications(processes, ids, &elsewhere);
    CloseRequest request = {ids, count, 0};
    wchar_t asked[48];
    DWORD woke;
    int i;

    *left = 0;
    if (!CheckNoneElsewhere(outcome, count, elsewhere)) {
        if (count > 0) CloseAll(processes, count);
        return -1;
    }
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

// Rounds until none runs, or one round leaves some running at the bound,
// or one finds a copy it cannot close.
int CloseRunningApplications(SetupOutcome *outcome, void (*waiting)(void))
{
    ULONGLONG until = GetTickCount64() + kCloseBoundMs;
    int found;
    int left = 0;
    int closed = 0;

    do {
        found = CloseOneRound(outcome, until, closed == 0 ? waiting : NULL, &left);
        if (found > 0) closed += found - left;
    } while (found > 0 && left == 0);
    if (outcome) outcome->closedApplications += closed;
    return found >= 0 && LogStep(outcome, STEP_CLOSE_APPLICATION, gAppPath, left == 0, ERROR_TIMEOUT);
}

// The installed application, started in its folder as its shortcuts start
// it. A setup elevated for the user signed in to this desktop has the
// desktop's shell start it, so that it runs unelevated as that user does
// (it takes files dragged from Explorer, sees the user's mapped drives and
// saves files the user owns); where the shell cannot, it is not started
// elevated instead. No error dialog of the shell's: an unattended run must
// never wait.
int StartApplication(HWND owner)
{
    ULONGLONG until = BriefLockDeadline();
    SHELLEXECUTEINFOW execute = {0};
    HRESULT result;
    int ok;

    if (gAccountContext == CONTEXT_ELEVATED_AS_USER) {
        LogLine(StepName(STEP_START_APPLICATION), gAppPath, L"through the desktop's shell, as the signed-in user");
        result = StartThroughShell(gAppPath, L"", gInstallDir);
        ok = LogStep(NULL, STEP_START_APPLICATION, gAppPath, SUCCEEDED(result), (DWORD)result);
        if (!ok) LogLine(StepName(STEP_START_APPLICATION), gAppPath, L"not started elevated instead: to be opened from the Start menu");
        return ok;
    }

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
