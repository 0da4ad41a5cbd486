// The install procedure and the directory-chain helper it uses.
#include "setup.h"
#include "texts.h"

#include <commctrl.h>
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

// Clicks and keys that queued up while the procedure ran (the second click of
// a double-click on a button, a second Enter) are dropped before the user is
// addressed again: they would answer a box unread, or reach the buttons under
// their new texts and open the application.
void DiscardQueuedInput(void)
{
    MSG input;

    while (PeekMessageW(&input, NULL, 0, 0, PM_REMOVE | PM_QS_INPUT)) {
    }
}

// One install or uninstall at a time in the session, whichever window or
// script started it; two windows may still be open at once.
static const wchar_t kSetupLockName[] = L"Local\\TarvoMarkwiseSetupRunning";

// Returns the lock, held, or NULL with the outcome set when another run holds it.
HANDLE TakeSetupLock(SetupOutcome *outcome)
{
    HANDLE lock = CreateMutexW(NULL, TRUE, kSetupLockName);
    DWORD error = GetLastError();

    if (lock && error == ERROR_ALREADY_EXISTS) {
        CloseHandle(lock);
        lock = NULL;
        error = ERROR_INSTALL_ALREADY_RUNNING;
    }
    LogStep(outcome, STEP_LOCK, kSetupLockName, lock != NULL, error);
    return lock;
}

void ReleaseSetupLock(HANDLE lock)
{
    if (!lock) return;
    ReleaseMutex(lock);
    CloseHandle(lock);
}

static int PlaceShortcuts(void)
{
    wchar_t desktopLink[SETUP_PATH_CAPACITY];
    wchar_t startMenuFolder[SETUP_PATH_CAPACITY];
    wchar_t startMenuLink[SETUP_PATH_CAPACITY];

    ShortcutPaths(desktopLink, startMenuFolder, startMenuLink);
    EnsureDirectory(startMenuFolder);
    return CreateShortcut(desktopLink) & CreateShortcut(startMenuLink);
}

// Whole and on disk before it is moved into place, like the application. A
// copy of a setup file from read-only media would be read-only too and would
// then block the next install's move over it.
static int PlaceUninstaller(void)
{
    HANDLE copy = INVALID_HANDLE_VALUE;
    int ok = 0;

    if (!CopyFileW(gSelfPath, gPartialPath, FALSE) || !SetFileAttributesW(gPartialPath, FILE_ATTRIBUTE_NORMAL)) goto done;
    copy = CreateFileW(gPartialPath, GENERIC_WRITE, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (copy == INVALID_HANDLE_VALUE || !FlushFileBuffers(copy)) goto done;
    CloseHandle(copy);
    copy = INVALID_HANDLE_VALUE;
    ok = MoveFileExW(gPartialPath, gUninstallPath, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
done:
    if (copy != INVALID_HANDLE_VALUE) CloseHandle(copy);
    if (!ok) DeleteFileW(gPartialPath);
    return ok;
}

// The install directory, the verified application and the uninstaller decide
// success: the entry names the uninstaller, so success is never reported
// without one. The shortcuts and the entry are best effort. Paths cut at 259
// characters would overlap (the uninstaller copy landing on the application),
// so they count as a directory that cannot be made.
static void InstallSteps(SetupOutcome *outcome)
{
    int ok;

    RemoveObsoleteComponent();
    LogStep(outcome, STEP_AGENT, gInstallDir, 1, 0);
    ok = InstallPathsWhole() && EnsureDirectory(gInstallDir);
    if (!LogStep(outcome, STEP_FOLDER, gInstallDir, ok, InstallPathsWhole() ? GetLastError() : ERROR_FILENAME_EXCED_RANGE))
        return;
    if (!ExtractApplication(outcome)) return;
    ok = PlaceUninstaller();
    if (!LogStep(outcome, STEP_UNINSTALLER, gUninstallPath, ok, GetLastError())) return;
    ok = PlaceShortcuts();
    LogStep(NULL, STEP_SHORTCUTS, gAppPath, ok, GetLastError());
    ok = WriteUninstallEntry();
    LogStep(NULL, STEP_ENTRY, PRODUCT_ENTRY_KEY, ok, GetLastError());
}

SetupOutcome RunInstall(void)
{
    SetupOutcome outcome = {STEP_NONE, 0};
    HANDLE lock = TakeSetupLock(&outcome);

    if (lock) InstallSteps(&outcome);
    ReleaseSetupLock(lock);
    return outcome;
}

void InstallNow(void)
{
    SetupOutcome outcome;

    EnableWindow(gInstallButton, FALSE);
    EnableWindow(gCancelButton, FALSE);
    SetWindowTextW(gStatus, kWorkingStatus);
    outcome = RunInstall();
    if (outcome.step == STEP_NONE) SendMessageW(gProgress, PBM_SETPOS, PROGRESS_MAX, 0);
    PresentInstallOutcome(&outcome);
}
