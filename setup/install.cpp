// The install procedure, and the setup lock that both procedures hold.
#include "setup.h"

#include <sddl.h>
#include <wchar.h>

// One install or uninstall at a time for the user, whichever window, script
// or signed-in session of theirs started it: the name is global and carries
// the user's SID, since two sessions of one user share one profile.
static const wchar_t kSetupLockFormat[] = L"Global\\TarvoMarkwiseSetupRunning-%ls";

static void SetupLockName(wchar_t *name, int capacity)
{
    HANDLE token = NULL;
    BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    wchar_t *sid = NULL;

    FormatText(name, capacity, kSetupLockFormat, L"unknown");
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return;
    if (GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size) &&
        ConvertSidToStringSidW(((TOKEN_USER *)buffer)->User.Sid, &sid)) {
        FormatText(name, capacity, kSetupLockFormat, sid);
        LocalFree(sid);
    }
    CloseHandle(token);
}

// Returns the lock, held, or NULL with the outcome set when another run holds it.
HANDLE TakeSetupLock(SetupOutcome *outcome)
{
    wchar_t name[128];
    HANDLE lock;
    DWORD error;

    SetupLockName(name, 128);
    lock = CreateMutexW(NULL, TRUE, name);
    error = GetLastError();
    // Another run holds it: it exists, for us to share or, when another
    // token of this user made it, not even to open. Any other failure is
    // no busy run, and a caller would retry a busy one for ever.
    if ((lock && error == ERROR_ALREADY_EXISTS) || (!lock && error == ERROR_ACCESS_DENIED))
        error = ERROR_INSTALL_ALREADY_RUNNING;
    if (lock && error == ERROR_INSTALL_ALREADY_RUNNING) {
        CloseHandle(lock);
        lock = NULL;
    }
    if (lock) StartLog();
    LogStep(outcome, STEP_LOCK, name, lock != NULL, error);
    return lock;
}

void ReleaseSetupLock(HANDLE lock)
{
    if (!lock) return;
    ReleaseMutex(lock);
    CloseHandle(lock);
}

// Links go only where the shell knows the folder: a link path without its
// folder would lie at the root of the drive. They are a convenience: each
// failure is logged with its path and the failing call's own error, and the
// install goes on.
static void PlaceShortcuts(void)
{
    wchar_t desktopLink[SETUP_PATH_CAPACITY];
    wchar_t startMenuFolder[SETUP_PATH_CAPACITY];
    wchar_t startMenuLink[SETUP_PATH_CAPACITY];
    HRESULT result;
    int ok;

    ShortcutPaths(desktopLink, startMenuFolder, startMenuLink);
    if (desktopLink[0]) {
        result = CreateShortcut(desktopLink);
        LogStep(NULL, STEP_SHORTCUTS, desktopLink, SUCCEEDED(result), (DWORD)result);
    }
    if (startMenuLink[0]) {
        ok = EnsureDirectory(startMenuFolder);
        if (!LogStep(NULL, STEP_SHORTCUTS, startMenuFolder, ok, GetLastError())) return;
        result = CreateShortcut(startMenuLink);
        LogStep(NULL, STEP_SHORTCUTS, startMenuLink, SUCCEEDED(result), (DWORD)result);
    }
}

// Before a byte is written: both new files are staged beside the earlier
// ones until they are moved over them, so the install needs room for both.
// Where the room cannot be told, the writes themselves will tell.
static int CheckRoom(SetupOutcome *outcome)
{
    wchar_t volume[SETUP_PATH_CAPACITY] = {0};
    ULARGE_INTEGER available;
    unsigned long long needed = 0;

    if (!PackageRoomNeeded(&needed)) return 1;
    if (!GetVolumePathNameW(gInstallDir, volume, SETUP_PATH_CAPACITY) ||
        !GetDiskFreeSpaceExW(volume, &available, NULL, NULL))
        return 1;
    outcome->neededBytes = needed;
    outcome->availableBytes = available.QuadPart;
    return LogStep(outcome, STEP_ROOM, volume, available.QuadPart >= needed, ERROR_DISK_FULL);
}

// The application is never touched without leave; leave given, it is
// closed only now that everything new is whole on disk, for as short a time
// as the moves take.
static int MakeWayForApplication(SetupOutcome *outcome, const SetupRequest *request)
{
    if (!request->closeApplications) return 1;
    return CloseRunningApplications(outcome, request->waiting);
}

// What the run found and what it changed, so that a failure can take back
// what it moved.
struct InstallRun {
    int folderMade;
    int earlierApplication;
    int earlierEntry;
    int earlierUninstallerKept;
    int uninstallerMoved;
    int applicationMoved;
};

static int Exists(const wchar_t *path)
{
    return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

// The earlier uninstaller gets a second name before the new one replaces it,
// so that it can be put back whole. The name is made while this process
// holds the file open for deleting, so that no program can take a hold that
// would keep the second name from going again: a hold taken before is
// waited out, or fails the step, first. Where the volume has no second
// names, the install goes on without that way back.
static int KeepEarlierUninstaller(InstallRun *run)
{
    ULONGLONG until = BriefLockDeadline();
    HANDLE earlier;

    if (!Exists(gUninstallPath)) return 1;
    DiscardStagingFile(gKeptUninstallPath);
    SetFileAttributesW(gUninstallPath, FILE_ATTRIBUTE_NORMAL);
    while ((earlier = CreateFileW(gUninstallPath, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL)) == INVALID_HANDLE_VALUE)
        if (!AnotherTry(L"open", gUninstallPath, until)) return 0;
    run->earlierUninstallerKept = CreateHardLinkW(gKeptUninstallPath, gUninstallPath, NULL);
    LogStep(NULL, STEP_UNINSTALLER, gKeptUninstallPath, run->earlierUninstallerKept, GetLastError());
    CloseHandle(earlier);
    return 1;
}

// The moves and the entry. Nothing is moved into place until both new files
// are whole and on disk. The uninstaller goes first, the application second,
// the entry last; the links, a convenience, after it.
static void PlaceInstallation(SetupOutcome *outcome, InstallRun *run)
{
    int ok;

    run->earlierApplication = Exists(gAppPath);
    run->earlierEntry = UninstallEntryExists();
    ok = KeepEarlierUninstaller(run) && MoveRetryingBriefLocks(gPartialUninstallPath, gUninstallPath);
    if (!LogStep(outcome, STEP_UNINSTALLER, gUninstallPath, ok, GetLastError())) return;
    run->uninstallerMoved = 1;
    ok = MoveRetryingBriefLocks(gPartialPath, gAppPath);
    if (!LogStep(outcome, ok ? STEP_REPLACE_APPLICATION : ApplicationFileStep(STEP_REPLACE_APPLICATION), gAppPath, ok,
                 GetLastError()))
        return;
    run->applicationMoved = 1;
    ok = WriteUninstallEntry();
    if (!LogStep(outcome, STEP_ENTRY, PRODUCT_ENTRY_KEY, ok, GetLastError())) return;
    PlaceShortcuts();
}

// A newer version is never replaced without leave: a stale download, an
// old package still assigned by a management tool or an old script would
// otherwise take the user back silently.
static int CheckInstalledVersion(SetupOutcome *outcome, const SetupRequest *request)
{
    wchar_t installed[64];
    wchar_t versions[160];

    if (request->allowDowngrade) return 1;
    InstalledVersion(installed, 64);
    if (CompareVersions(installed, PRODUCT_VERSION) <= 0) return 1;
    FormatText(versions, 160, L"%ls installed, %ls in this setup file", installed, PRODUCT_VERSION);
    return LogStep(outcome, STEP_VERSION, versions, 0, ERROR_PRODUCT_VERSION);
}

// Paths cut at 259 characters would overlap (the uninstaller landing on the
// application), so they count as a directory that cannot be made.
static void InstallSteps(SetupOutcome *outcome, const SetupRequest *request, InstallRun *run)
{
    int whole = InstallPathsWhole();
    int ok;

    if (!CheckInstalledVersion(outcome, request)) return;
    RemoveObsoleteComponent();
    if (!request->closeApplications && RunningApplicationCount() > 0 &&
        !LogStep(outcome, STEP_CLOSE_APPLICATION, gAppPath, 0, ERROR_SHARING_VIOLATION))
        return;
    if (!CheckRoom(outcome)) return;
    run->folderMade = whole && !Exists(gInstallDir);
    ok = whole && EnsureDirectory(gInstallDir);
    if (!LogStep(outcome, STEP_FOLDER, gInstallDir, ok, whole ? GetLastError() : ERROR_FILENAME_EXCED_RANGE)) {
        run->folderMade = 0;
        return;
    }
    if (!ExtractApplication(outcome) || !WriteUninstaller(outcome)) return;
    if (!MakeWayForApplication(outcome, request)) return;
    PlaceInstallation(outcome, run);
}

// After a failure the installation is the earlier one: what the run moved
// goes back, and an entry it wrote (after the application's move) goes when
// there was none. Only an entry
// that failed after the new application replaced an earlier one leaves the
// new application, with its uninstaller, under an entry that names them.
static void TakeBack(const InstallRun *run)
{
    int ok = 1;

    if (!run->uninstallerMoved && !run->folderMade) return;
    if (run->applicationMoved && run->earlierApplication) return;
    if (run->applicationMoved && !run->earlierEntry) ok &= RemoveUninstallEntry();
    if (run->applicationMoved) ok &= DeleteRetryingBriefLocks(gAppPath);
    if (run->uninstallerMoved && run->earlierUninstallerKept)
        ok &= MoveRetryingBriefLocks(gKeptUninstallPath, gUninstallPath);
    else if (run->uninstallerMoved)
        ok &= DeleteRetryingBriefLocks(gUninstallPath);
    if (run->folderMade) ok &= RemoveDirectoryW(gInstallDir);
    LogStep(NULL, STEP_TAKE_BACK, gInstallDir, ok, GetLastError());
}

SetupOutcome RunInstall(const SetupRequest *request)
{
    SetupOutcome outcome = {STEP_NONE, 0, 0, 0, 0, {0}};
    InstallRun run = {0, 0, 0, 0, 0, 0};
    HANDLE lock = TakeSetupLock(&outcome);

    if (lock) {
        InstallSteps(&outcome, request, &run);
        // Whatever failed, nothing staged stays behind; after success the
        // staged files have their final names, and only the earlier
        // uninstaller's second name is left to go.
        if (outcome.step != STEP_NONE) {
            TakeBack(&run);
            DiscardStagingFile(gPartialPath);
            DiscardStagingFile(gPartialUninstallPath);
        }
        DiscardStagingFile(gKeptUninstallPath);
    }
    ReleaseSetupLock(lock);
    return outcome;
}
