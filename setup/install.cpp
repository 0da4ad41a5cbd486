// The install procedure, and the setup lock that both procedures hold.
#include "setup.h"

#include <wchar.h>

// One install or uninstall at a time for the user, whichever window, script
// or signed-in session of theirs started it: a file in their own local
// application-data folder, which all their sessions share, held open without
// sharing and deleted when the run's handle closes, also when the run is
// ended from outside. A named object would do the same but for its name,
// which any process of any user can take first and so keep this user's runs
// waiting for ever; the profile's folder is theirs alone.
//
// Returns the lock, held, or NULL with the outcome set: busy when another
// run holds the file (or is closing it), and a failure otherwise, which a
// caller does not retry.
HANDLE TakeSetupLock(SetupOutcome *outcome)
{
    HANDLE lock;
    DWORD error;

    if (!gLockPath[0]) {
        LogStep(outcome, STEP_KNOWN_FOLDER, L"local application data", 0, ERROR_PATH_NOT_FOUND);
        return NULL;
    }
    lock = CreateFileW(gLockPath, GENERIC_WRITE | DELETE, 0, NULL, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, NULL);
    error = GetLastError();
    if (lock == INVALID_HANDLE_VALUE && (error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED))
        error = ERROR_INSTALL_ALREADY_RUNNING;
    if (lock != INVALID_HANDLE_VALUE) StartLog(1);
    LogStep(outcome, STEP_LOCK, gLockPath, lock != INVALID_HANDLE_VALUE, error);
    return lock == INVALID_HANDLE_VALUE ? NULL : lock;
}

void ReleaseSetupLock(HANDLE lock)
{
    if (lock) CloseHandle(lock);
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
// ones until they are moved over them, and the earlier uninstaller is kept
// by a copy where the volume may have no hard links (it does not say it
// has), so the install needs room for all three there, on the
// volume of the deepest folder of the install path that exists (a junction
// may lead elsewhere than its drive letter). Where the room cannot be told,
// the writes themselves will tell.
static int CheckRoom(SetupOutcome *outcome)
{
    wchar_t folder[SETUP_PATH_CAPACITY] = {0};
    wchar_t measured[SETUP_PATH_CAPACITY + 1] = {0};
    WIN32_FILE_ATTRIBUTE_DATA earlier;
    DWORD features = 0;
    ULARGE_INTEGER available;
    unsigned long long needed = 0;

    ExistingFolderOf(gInstallDir, folder);
    if (!folder[0] || !PackageRoomNeeded(&needed)) return 1;
    DriveOfFolder(folder, outcome->drive);
    if (!GetVolumeInformationW(outcome->drive, NULL, 0, NULL, NULL, &features, NULL, 0)) features = 0;
    if (!(features & FILE_SUPPORTS_HARD_LINKS) && GetFileAttributesExW(gUninstallPath, GetFileExInfoStandard, &earlier) &&
        !(earlier.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        needed += ((unsigned long long)earlier.nFileSizeHigh << 32) | earlier.nFileSizeLow;
    // A share's folder is named with a closing backslash.
    FormatText(measured, SETUP_PATH_CAPACITY + 1, folder[wcslen(folder) - 1] == L'\\' ? L"%ls" : L"%ls\\", folder);
    if (!GetDiskFreeSpaceExW(measured, &available, NULL, NULL)) return 1;
    outcome->neededBytes = needed;
    outcome->availableBytes = available.QuadPart;
    return LogStep(outcome, STEP_ROOM, folder, available.QuadPart >= needed, ERROR_DISK_FULL);
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

// The earlier uninstaller is kept under a second name before the new one
// replaces it, so that it can be put back whole. The second name is a hard
// link, made while this process holds the file open for deleting, so that
// no program can take a hold that would keep the second name from going
// again: a hold taken before is waited out, or fails the step, first. A
// volume without hard links (FAT32, exFAT, many network shares) gets a copy
// instead. Without either way back, or with a leftover second name that
// cannot be removed, nothing is moved: the run fails with the earlier
// installation as it was.
static int KeepEarlierUninstaller(SetupOutcome *outcome, InstallRun *run)
{
    ULONGLONG until = BriefLockDeadline();
    wchar_t note[64];
    HANDLE earlier;
    int linked;

    if (!Exists(gUninstallPath)) return 1;
    if (!DeleteRetryingBriefLocks(gKeptUninstallPath))
        return LogStep(outcome, STEP_DISCARD, gKeptUninstallPath, 0, GetLastError());
    SetFileAttributesW(gUninstallPath, FILE_ATTRIBUTE_NORMAL);
    while ((earlier = CreateFileW(gUninstallPath, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL)) == INVALID_HANDLE_VALUE)
        if (!AnotherTry(L"open", gUninstallPath, until)) return LogStep(outcome, STEP_UNINSTALLER, gUninstallPath, 0, GetLastError());
    linked = CreateHardLinkW(gKeptUninstallPath, gUninstallPath, NULL);
    FormatText(note, 64, L"no second name here (error %lu): a copy instead", (unsigned long)GetLastError());
    CloseHandle(earlier);
    if (!linked) LogLine(StepName(STEP_UNINSTALLER), gKeptUninstallPath, note);
    run->earlierUninstallerKept = linked || CopyFileW(gUninstallPath, gKeptUninstallPath, TRUE);
    return LogStep(outcome, STEP_UNINSTALLER, gKeptUninstallPath, run->earlierUninstallerKept, GetLastError());
}

// The moves and the entry. Nothing is moved into place until both new files
// are whole and on disk. The uninstaller goes first, the application second,
// the entry last; the old agent is retired and the links, conveniences, are
// written only then, when the run can no longer fail.
static void PlaceInstallation(SetupOutcome *outcome, InstallRun *run)
{
    int ok;

    run->earlierApplication = Exists(gAppPath);
    run->earlierEntry = UninstallEntryExists();
    ok = MoveRetryingBriefLocks(gPartialUninstallPath, gUninstallPath);
    if (!LogStep(outcome, STEP_UNINSTALLER, gUninstallPath, ok, GetLastError())) return;
    run->uninstallerMoved = 1;
    ok = MoveRetryingBriefLocks(gPartialPath, gAppPath);
    if (!LogStep(outcome, ok ? STEP_REPLACE_APPLICATION : ApplicationFileStep(STEP_REPLACE_APPLICATION), gAppPath, ok,
                 GetLastError()))
        return;
    run->applicationMoved = 1;
    ok = WriteUninstallEntry();
    if (!LogStep(outcome, STEP_ENTRY, PRODUCT_ENTRY_KEY, ok, GetLastError())) return;
    RemoveObsoleteComponent();
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

// A run that is refused changes nothing: the version, the running copies
// and the room are checked before the first write. Paths cut at 259
// characters would overlap (the uninstaller landing on the application), so
// they count as a directory that cannot be made; and so does a folder too
// long for the name an uninstall moves the running uninstaller to, which
// could then never be uninstalled.
static void InstallSteps(SetupOutcome *outcome, const SetupRequest *request, InstallRun *run)
{
    wchar_t aside[SETUP_PATH_CAPACITY];
    int whole = InstallPathsWhole() && AsideUninstallerPath(aside, MAXDWORD);
    int ok;

    if (!CheckInstalledVersion(outcome, request)) return;
    if (!CheckRunningApplications(outcome, request->closeApplications)) return;
    if (!CheckRoom(outcome)) return;
    run->folderMade = whole && !Exists(gInstallDir);
    ok = whole && EnsureDirectory(gInstallDir);
    if (!LogStep(outcome, STEP_FOLDER, gInstallDir, ok, whole ? GetLastError() : ERROR_FILENAME_EXCED_RANGE)) {
        run->folderMade = 0;
        return;
    }
    DeleteLeftovers();
    if (!ExtractApplication(outcome)) return;
    // The way back is made before the application is closed: a run that
    // cannot make it has not touched the user's work.
    if (!KeepEarlierUninstaller(outcome, run)) return;
    if (!MakeWayForApplication(outcome, request)) return;
    PlaceInstallation(outcome, run);
}

// After a failure the installation is the earlier one: what the run moved
// goes back, an entry it wrote (after the application's move) goes when
// there was none, and a folder it made goes once it is empty again. Only an
// entry that failed after the new application replaced an earlier one
// leaves the new application, with its uninstaller, under an entry that
// names them. A failure is logged only for what really stayed.
static void TakeBack(const InstallRun *run)
{
    int ok = 1;
    DWORD error;

    if (!run->uninstallerMoved && !run->folderMade) return;
    if (run->applicationMoved && run->earlierApplication) return;
    if (run->applicationMoved && !run->earlierEntry) ok &= RemoveUninstallEntry();
    if (run->applicationMoved) ok &= DeleteRetryingBriefLocks(gAppPath);
    if (run->uninstallerMoved && run->earlierUninstallerKept)
        ok &= MoveRetryingBriefLocks(gKeptUninstallPath, gUninstallPath);
    else if (run->uninstallerMoved)
        ok &= DeleteRetryingBriefLocks(gUninstallPath);
    if (ok && run->folderMade && !RemoveDirectoryW(gInstallDir)) {
        error = GetLastError();
        ok = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    }
    LogStep(NULL, STEP_TAKE_BACK, gInstallDir, ok, GetLastError());
}

SetupOutcome RunInstall(const SetupRequest *request)
{
    SetupOutcome outcome = {STEP_NONE, 0, 0, 0, 0, {0}};
    InstallRun run = {0, 0, 0, 0, 0, 0};
    HANDLE lock = TakeSetupLock(&outcome);

    if (lock) {
        InstallSteps(&outcome, request, &run);
        // Whatever failed, nothing staged stays behind, and the folder the
        // run made can go once the staged files are gone; after success the
        // staged files have their final names, and only the earlier
        // uninstaller's second name is left to go.
        if (outcome.step != STEP_NONE) {
            DiscardStagingFile(gPartialPath);
            DiscardStagingFile(gPartialUninstallPath);
            TakeBack(&run);
        }
        DiscardStagingFile(gKeptUninstallPath);
    }
    ReleaseSetupLock(lock);
    return outcome;
}
