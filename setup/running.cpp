// Copies of the installed application that run, and windows of its
// uninstaller left open: in this session, asked to close as the user's own
// click on their close box would, and in the user's other sessions, which
// no close request of this one reaches; and the application started again.
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

// An installed file as found on disk: a copy started through a junction, a
// subst drive or a second drive letter reports another path to the same
// file, so its identity counts, not the text of its path.
struct InstalledImage {
    const wchar_t *path;
    int known;
    FileIdentity identity;
};

// Whether the process runs the installed file: by its path, case aside as
// the file system sees it, or by the identity of a file of the same name. A
// program of that name in another folder is not ours, and one of another
// name is never looked at. Returns -1 when a copy of that name cannot be
// told apart (the error is kept).
static int IsInstalledImage(const wchar_t *image, const InstalledImage *installed)
{
    FileIdentity identity;

    if (CompareStringOrdinal(image, -1, installed->path, -1, TRUE) == CSTR_EQUAL) return 1;
    if (!installed->known ||
        CompareStringOrdinal(FileNamePart(image), -1, FileNamePart(installed->path), -1, TRUE) != CSTR_EQUAL)
        return 0;
    if (!ReadIdentity(image, &identity)) return -1;
    return memcmp(&identity, &installed->identity, sizeof identity) == 0;
}

// The files whose running copies hold the installation: the application,
// and the uninstaller, a window of which a user may have left open; this
// process itself aside.
enum { IMAGE_APPLICATION, IMAGE_UNINSTALLER, IMAGE_COUNT };

// The copies of this session, opened for waiting, with what each runs. A
// handle, unlike a process ID, cannot come to mean another process once the
// copy has ended.
struct RunningCopies {
    HANDLE processes[kMaxApplications];
    DWORD ids[kMaxApplications];
    int images[kMaxApplications];
    int count;
};

static void CloseCopies(RunningCopies *copies)
{
    CloseAll(copies->processes, copies->count);
    copies->count = 0;
}

static int ApplicationCopies(const RunningCopies *copies)
{
    int count = 0;

    for (int i = 0; i < copies->count; ++i) count += copies->images[i] == IMAGE_APPLICATION;
    return count;
}

// The copies that cannot be closed from here: in the user's other sessions,
// and those of this session that this setup may not open (one started
// elevated under a setup that is not), which cannot be told apart, asked to
// close or waited for. Another user's processes run in other sessions.
struct OutOfReach {
    int elsewhere;
    int unopened;
};

// Whether a process this setup may not open is a copy as far as can be
// told: of an installed file's name, in this session.
static int UnopenedCopy(const PROCESSENTRY32W *entry, DWORD ownSession, const InstalledImage *installed)
{
    DWORD session = 0;
    int named = 0;

    for (int i = 0; i < IMAGE_COUNT; ++i)
        named |= CompareStringOrdinal(entry->szExeFile, -1, FileNamePart(installed[i].path), -1, TRUE) == CSTR_EQUAL;
    return named && ProcessIdToSessionId(entry->th32ProcessID, &session) && session == ownSession;
}

// Which installed file the process runs: IMAGE_COUNT for none, -1 when a
// copy cannot be told apart (the error is kept).
static int ImageOf(HANDLE process, const InstalledImage *installed)
{
    wchar_t image[SETUP_PATH_CAPACITY * 2];
    DWORD length = SETUP_PATH_CAPACITY * 2;
    int ours;

    if (!QueryFullProcessImageNameW(process, 0, image, &length)) return IMAGE_COUNT;
    for (int i = 0; i < IMAGE_COUNT; ++i) {
        ours = IsInstalledImage(image, &installed[i]);
        if (ours != 0) return ours < 0 ? -1 : i;
    }
    return IMAGE_COUNT;
}

// Opens every copy of this session, and counts those out of reach; the
// caller closes the handles. Returns 1, or 0 when it cannot tell (the error
// is kept).
static int OpenRunningCopies(RunningCopies *copies, OutOfReach *reach)
{
    PROCESSENTRY32W entry = {sizeof entry};
    InstalledImage installed[IMAGE_COUNT] = {{gAppPath, 0, {}}, {gUninstallPath, 0, {}}};
    HANDLE snapshot = INVALID_HANDLE_VALUE;
    HANDLE process;
    DWORD ownSession = 0;
    DWORD session = 0;
    DWORD attributes;
    DWORD error = 0;
    int image;
    int ok = 1;

    // Without the installed application there is nothing of it to run; a
    // file there whose identity cannot be read leaves the copies unknown. A
    // folder at its path is not the application. An uninstaller whose
    // identity cannot be read is known by its path alone.
    copies->count = 0;
    reach->elsewhere = reach->unopened = 0;
    installed[IMAGE_UNINSTALLER].known = ReadIdentity(gUninstallPath, &installed[IMAGE_UNINSTALLER].identity);
    installed[IMAGE_APPLICATION].known = ReadIdentity(gAppPath, &installed[IMAGE_APPLICATION].identity);
    error = GetLastError();
    attributes = GetFileAttributesW(gAppPath);
    if (!installed[IMAGE_APPLICATION].known && attributes != INVALID_FILE_ATTRIBUTES &&
        !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        SetLastError(error);
        return 0;
    }
    snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) return 1;
    ProcessIdToSessionId(GetCurrentProcessId(), &ownSession);
    for (BOOL more = Process32FirstW(snapshot, &entry); more && copies->count < kMaxApplications;
         more = Process32NextW(snapshot, &entry)) {
        if (entry.th32ProcessID == GetCurrentProcessId()) continue;
        process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID);
        if (!process) {
            if (UnopenedCopy(&entry, ownSession, installed)) ++reach->unopened;
            continue;
        }
        image = ImageOf(process, installed);
        error = GetLastError();
        // A copy whose session cannot be told is taken for one of this
        // session's, to be asked to close.
        if (image >= 0 && image < IMAGE_COUNT &&
            (!ProcessIdToSessionId(entry.th32ProcessID, &session) || session == ownSession)) {
            copies->processes[copies->count] = process;
            copies->images[copies->count] = image;
            copies->ids[copies->count++] = entry.th32ProcessID;
            continue;
        }
        CloseHandle(process);
        if (image >= 0 && image < IMAGE_COUNT) ++reach->elsewhere;
        if (image < 0) {
            CloseCopies(copies);
            ok = 0;
            break;
        }
    }
    CloseHandle(snapshot);
    SetLastError(error);
    return ok;
}

// Every copy, in this session and the user's others, and of those in this
// session at most one round's worth: enough to tell whether any runs.
// Returns -1 when it cannot tell.
static int CountRunningApplications(OutOfReach *reach)
{
    RunningCopies copies;
    int count;

    if (!OpenRunningCopies(&copies, reach)) return -1;
    count = copies.count;
    CloseCopies(&copies);
    return count + reach->elsewhere + reach->unopened;
}

int RunningApplicationCount(int *outOfReach)
{
    OutOfReach reach = {0, 0};
    int count = CountRunningApplications(&reach);

    if (outOfReach) *outOfReach = reach.elsewhere + reach.unopened;
    return count < 0 ? 0 : count;
}

// A copy out of reach is never asked to close, nor waited for: the run ends
// at once, naming the cause. A search that cannot tell which copies run
// fails the run with its error.
static int CheckNoneOutOfReach(SetupOutcome *outcome, int count, const OutOfReach *reach)
{
    wchar_t found[48];

    if (count < 0) return LogStep(outcome, STEP_FIND_APPLICATION, gAppPath, 0, GetLastError());
    if (reach->unopened > 0) {
        FormatText(found, 48, L"%d this setup may not open", reach->unopened);
        LogLine(L"application running", found, gAppPath);
        return LogStep(outcome, STEP_CLOSE_APPLICATION, gAppPath, 0, ERROR_ACCESS_DENIED);
    }
    if (reach->elsewhere == 0) return 1;
    FormatText(found, 48, L"%d in another session", reach->elsewhere);
    LogLine(L"application running", found, gAppPath);
    if (outcome) outcome->elsewhereApplications = reach->elsewhere;
    return LogStep(outcome, STEP_CLOSE_APPLICATION, gAppPath, 0, ERROR_SHARING_VIOLATION);
}

int CheckRunningApplications(SetupOutcome *outcome, int mayClose)
{
    OutOfReach reach = {0, 0};
    int count = CountRunningApplications(&reach);

    if (!CheckNoneOutOfReach(outcome, count, &reach)) return 0;
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
    const RunningCopies *copies;
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
    for (int i = 0; i < request->copies->count; ++i)
        if (request->copies->ids[i] == process && PostMessageW(window, WM_CLOSE, 0, 0)) ++request->asked;
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
// until the bound. Returns how many it found (-1 when one is out of reach),
// and sets *left to how many still run and *closed to how many copies of
// the application ended.
static int CloseOneRound(SetupOutcome *outcome, ULONGLONG until, void (*waiting)(void), int *left, int *closed)
{
    RunningCopies copies;
    OutOfReach reach = {0, 0};
    int ok = OpenRunningCopies(&copies, &reach);
    int found = copies.count;
    int applications = ApplicationCopies(&copies);
    CloseRequest request = {&copies, 0};
    wchar_t asked[48];
    DWORD woke;
    int i;

    *left = *closed = 0;
    if (!CheckNoneOutOfReach(outcome, ok ? found : -1, &reach)) {
        CloseCopies(&copies);
        return -1;
    }
    if (found == 0) return 0;
    for (i = 0; i < found; ++i)
        LogProcess(L"application running", copies.ids[i], copies.images[i] == IMAGE_APPLICATION ? gAppPath : gUninstallPath);
    if (waiting) waiting();
    EnumWindows(AskWindowToClose, (LPARAM)&request);
    FormatText(asked, 48, L"WM_CLOSE to %d windows", request.asked);
    LogLine(L"ask application to close", gAppPath, asked);
    while (copies.count > 0) {
        ULONGLONG now = GetTickCount64();
        if (now >= until) break;
        woke = MsgWaitForMultipleObjects((DWORD)copies.count, copies.processes, FALSE, (DWORD)(until - now),
                                         QS_PAINT | QS_SENDMESSAGE);
        if (woke == WAIT_OBJECT_0 + (DWORD)copies.count) {
            PaintWhileWaiting();
        } else if (woke < WAIT_OBJECT_0 + (DWORD)copies.count) {
            i = (int)(woke - WAIT_OBJECT_0);
            LogProcess(L"application ended", copies.ids[i], L"ok");
            CloseHandle(copies.processes[i]);
            copies.processes[i] = copies.processes[copies.count - 1];
            copies.ids[i] = copies.ids[copies.count - 1];
            copies.images[i] = copies.images[copies.count - 1];
            --copies.count;
        } else if (woke == WAIT_FAILED) {
            break;
        }
    }
    *left = copies.count;
    *closed = applications - ApplicationCopies(&copies);
    CloseCopies(&copies);
    return found;
}

// Rounds until none runs, or one round leaves some running at the bound,
// or one finds a copy it cannot close.
int CloseRunningApplications(SetupOutcome *outcome, void (*waiting)(void))
{
    ULONGLONG until = GetTickCount64() + kCloseBoundMs;
    int found;
    int left = 0;
    int ended = 0;
    int closed = 0;
    int rounds = 0;

    do {
        found = CloseOneRound(outcome, until, rounds++ == 0 ? waiting : NULL, &left, &ended);
        closed += ended;
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
