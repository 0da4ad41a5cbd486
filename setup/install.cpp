// The install procedure and the directory-chain helper it uses.
#include "setup.h"

#include <sddl.h>
#include <wchar.h>

// Index 3 is the first character after a drive prefix such as "C:\", so the
// bare drive is never passed to CreateDirectoryW.
static const size_t kFirstLevelIndex = 3;

int EnsureDirectory(const wchar_t *path)
{
    wchar_t copy[SETUP_PATH_CAPACITY] = {0};
    size_t length;
    size_t i;

    wcsncpy(copy, path, SETUP_PATH_CAPACITY - 1);
    length = wcslen(copy);
    for (i = kFirstLevelIndex; i < length; ++i) {
        if (copy[i] != L'\\') continue;
        copy[i] = L'\0';
        CreateDirectoryW(copy, NULL);
        copy[i] = L'\\';
    }
    return CreateDirectoryW(copy, NULL) || GetLastError() == ERROR_ALREADY_EXISTS;
}

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
    if (lock && error == ERROR_ALREADY_EXISTS) {
        CloseHandle(lock);
        lock = NULL;
        error = ERROR_INSTALL_ALREADY_RUNNING;
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
// folder would lie at the root of the drive.
static int PlaceShortcuts(void)
{
    wchar_t desktopLink[SETUP_PATH_CAPACITY];
    wchar_t startMenuFolder[SETUP_PATH_CAPACITY];
    wchar_t startMenuLink[SETUP_PATH_CAPACITY];
    int ok = 1;

    ShortcutPaths(desktopLink, startMenuFolder, startMenuLink);
    if (desktopLink[0]) ok &= CreateShortcut(desktopLink);
    if (startMenuLink[0]) {
        EnsureDirectory(startMenuFolder);
        ok &= CreateShortcut(startMenuLink);
    }
    return ok;
}

// The file's data is on disk before its name is: a power cut after the move
// must not leave an empty program under the final name.
static int FlushStagedFile(const wchar_t *path)
{
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    int ok = file != INVALID_HANDLE_VALUE && FlushFileBuffers(file);
    DWORD error = GetLastError();

    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    SetLastError(error);
    return ok;
}

// Before a byte is written: both new files are staged beside the earlier
// ones until they are moved over them, so the install needs room for both.
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

// Nothing is moved into place until both new files are whole and on disk:
// a failure before the moves leaves the earlier installation as it was. The
// uninstaller goes first; at every moment after that the installation is
// the earlier or the new application with an uninstaller that removes it.
// The install directory, the verified application and the uninstaller
// decide success: the entry names the uninstaller, so success is never
// reported without one. Paths cut at 259 characters would overlap (the
// uninstaller landing on the application), so they count as a directory
// that cannot be made.
static void InstallSteps(SetupOutcome *outcome, const SetupRequest *request)
{
    int ok;

    RemoveObsoleteComponent();
    LogStep(outcome, STEP_AGENT, gInstallDir, 1, 0);
    if (!request->closeApplications && RunningApplicationCount() > 0 &&
        !LogStep(outcome, STEP_CLOSE_APPLICATION, gAppPath, 0, ERROR_SHARING_VIOLATION))
        return;
    if (!CheckRoom(outcome)) return;
    ok = InstallPathsWhole() && EnsureDirectory(gInstallDir);
    if (!LogStep(outcome, STEP_FOLDER, gInstallDir, ok, InstallPathsWhole() ? GetLastError() : ERROR_FILENAME_EXCED_RANGE))
        return;
    if (!ExtractApplication(outcome) || !WriteUninstaller(outcome)) return;
    ok = FlushStagedFile(gPartialPath);
    if (!LogStep(outcome, STEP_WRITE_APPLICATION, gPartialPath, ok, GetLastError())) return;
    ok = FlushStagedFile(gPartialUninstallPath);
    if (!LogStep(outcome, STEP_UNINSTALLER, gPartialUninstallPath, ok, GetLastError())) return;
    if (!MakeWayForApplication(outcome, request)) return;
    ok = MoveRetryingBriefLocks(gPartialUninstallPath, gUninstallPath, 0);
    if (!LogStep(outcome, STEP_UNINSTALLER, gUninstallPath, ok, GetLastError())) return;
    ok = MoveRetryingBriefLocks(gPartialPath, gAppPath, 1);
    if (!LogStep(outcome, STEP_REPLACE_APPLICATION, gAppPath, ok, GetLastError())) return;
    ok = PlaceShortcuts();
    LogStep(NULL, STEP_SHORTCUTS, gAppPath, ok, GetLastError());
    ok = WriteUninstallEntry();
    LogStep(NULL, STEP_ENTRY, PRODUCT_ENTRY_KEY, ok, GetLastError());
}

SetupOutcome RunInstall(const SetupRequest *request)
{
    SetupOutcome outcome = {STEP_NONE, 0, 0, 0, 0};
    HANDLE lock = TakeSetupLock(&outcome);

    if (lock) InstallSteps(&outcome, request);
    // Whatever failed, nothing staged stays behind; the earlier files stay.
    if (lock && outcome.step != STEP_NONE) {
        DiscardStagingFile(gPartialPath);
        DiscardStagingFile(gPartialUninstallPath);
    }
    ReleaseSetupLock(lock);
    return outcome;
}
