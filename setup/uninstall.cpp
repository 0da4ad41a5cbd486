// The uninstall procedure and the deferred removal of the running uninstaller.
#include "setup.h"

#include <shellapi.h>
#include <wchar.h>

// The interpreter the deferred removal runs in: the one ComSpec names, or,
// where it names no file, the system's own.
static const wchar_t kSystemInterpreter[] = L"cmd.exe";
static wchar_t gInterpreter[SETUP_PATH_CAPACITY];
// The two paths reach the interpreter through its environment: cmd expands a
// variable once and does not rescan the value, so a "%NAME%" inside a user's
// folder name is deleted as written instead of expanding into another path.
// /v:off keeps a "!NAME!" in it literal where delayed expansion is switched
// on in the registry. The file is tried once a second until it can be
// deleted: this process exits, and so does any other copy of the uninstaller
// still running from it (a window left open while a silent uninstall ran), for
// up to ten minutes; the folder goes with the file, when it is empty.
static const wchar_t kRemovalFileVariable[] = L"TARVO_REMOVE_FILE";
static const wchar_t kRemovalFolderVariable[] = L"TARVO_REMOVE_DIR";
static const wchar_t kRemovalParameters[] =
    L"/d /v:off /s /c \"for /l %i in (1,1,600) do @(ping 127.0.0.1 -n 2 > nul & del /f /q \"%TARVO_REMOVE_FILE%\" "
    L"2> nul & if not exist \"%TARVO_REMOVE_FILE%\" (rmdir /q \"%TARVO_REMOVE_DIR%\" 2> nul & exit))\"";

// The application is removed first: while it runs its executable is locked,
// and removing the shortcuts and the entry around it would strand it. A
// folder at that path is not the application and does not hold anything up.
// Files an ended install was still writing go with it.
static int RemoveApplication(void)
{
    DWORD attributes;
    DWORD error;

    DiscardStagingFile(gPartialPath);
    DiscardStagingFile(gPartialUninstallPath);
    DiscardStagingFile(gKeptUninstallPath);
    if (DeleteRetryingBriefLocks(gAppPath)) return 1;
    error = GetLastError();
    attributes = GetFileAttributesW(gAppPath);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY)) return 1;
    SetLastError(error);
    return 0;
}

// The uninstaller is moved to a name of its own in the install folder, and
// the interpreter deletes the file under that name. Windows lets a running
// executable be renamed, not deleted; and an install started the moment this
// process has exited writes a new uninstaller under the old name, which the
// deferred removal must never touch. A leftover of an ended run under the
// same name is replaced. Where no name fits, nothing is handed over.
static wchar_t gRemovalFile[SETUP_PATH_CAPACITY];

// An uninstaller that is already gone (a scanner took it, or the folder was
// deleted by hand) leaves nothing to hand over: the folder, if it is there,
// is then removed at once. The name it goes to was found to fit before
// anything was removed.
static int MoveUninstallerAside(const wchar_t *aside)
{
    DWORD error;
    int ok;

    lstrcpynW(gRemovalFile, aside, SETUP_PATH_CAPACITY);
    ok = MoveRetryingBriefLocks(gUninstallPath, gRemovalFile);
    error = GetLastError();
    if (!ok && (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) &&
        GetFileAttributesW(gUninstallPath) == INVALID_FILE_ATTRIBUTES) {
        gRemovalFile[0] = L'\0';
        return 1;
    }
    if (!ok) gRemovalFile[0] = L'\0';
    SetLastError(error);
    return ok;
}

// The uninstaller under its own name again, for another try.
static void PutUninstallerBack(void)
{
    DWORD error = GetLastError();

    if (gRemovalFile[0] && !MoveRetryingBriefLocks(gRemovalFile, gUninstallPath))
        LogStep(NULL, STEP_TAKE_BACK, gUninstallPath, 0, GetLastError());
    gRemovalFile[0] = L'\0';
    SetLastError(error);
}

// A folder that holds the user's own files stays, as the deferred removal
// would leave it.
static int RemoveInstallFolder(void)
{
    DWORD error;

    if (RemoveDirectoryW(gInstallDir)) return 1;
    error = GetLastError();
    return error == ERROR_DIR_NOT_EMPTY || error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// Only links whose folder the shell knows are ours to delete. A link that
// stays is logged with its error and listed for the completion box.
static void RemoveShortcut(const wchar_t *link, SetupOutcome *outcome)
{
    size_t used = wcslen(outcome->keptShortcuts);
    DWORD error = 0;
    int ok;

    if (!link[0]) return;
    ok = DeleteFileW(link);
    if (!ok) error = GetLastError();
    ok = ok || error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    if (!LogStep(NULL, STEP_REMOVE_SHORTCUTS, link, ok, error))
        FormatText(outcome->keptShortcuts + used, (int)(2 * SETUP_PATH_CAPACITY - used), L"%ls%ls", used ? L"\n" : L"",
                   link);
}

struct Shortcuts {
    wchar_t desktopLink[SETUP_PATH_CAPACITY];
    wchar_t startMenuFolder[SETUP_PATH_CAPACITY];
    wchar_t startMenuLink[SETUP_PATH_CAPACITY];
};

static void RemoveShortcuts(const Shortcuts *links, SetupOutcome *outcome)
{
    RemoveShortcut(links->desktopLink, outcome);
    RemoveShortcut(links->startMenuLink, outcome);
    // Kept while it holds other links.
    if (links->startMenuFolder[0]) RemoveDirectoryW(links->startMenuFolder);
}

// The interpreter ComSpec names, where it names a file; else the system's
// own. Returns 0, with the error, when neither is there.
static int FindInterpreter(void)
{
    wchar_t named[SETUP_PATH_CAPACITY] = {0};
    DWORD length = GetEnvironmentVariableW(L"ComSpec", named, SETUP_PATH_CAPACITY);
    DWORD attributes;

    if (length > 0 && length < SETUP_PATH_CAPACITY) {
        attributes = GetFileAttributesW(named);
        if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            lstrcpynW(gInterpreter, named, SETUP_PATH_CAPACITY);
            return 1;
        }
        LogLine(StepName(STEP_HAND_OVER), named, L"ComSpec names no interpreter: the system's own instead");
    }
    length = GetSystemDirectoryW(named, SETUP_PATH_CAPACITY);
    if (length == 0 || length >= SETUP_PATH_CAPACITY ||
        FormatText(gInterpreter, SETUP_PATH_CAPACITY, L"%ls\\%ls", named, kSystemInterpreter) >= SETUP_PATH_CAPACITY - 1) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    attributes = GetFileAttributesW(gInterpreter);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) SetLastError(ERROR_FILE_NOT_FOUND);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The hand-over is made possible before anything is removed: the name the
// running uninstaller goes to fits in its folder, and an interpreter is
// there to delete it.
static int HandOverPossible(SetupOutcome *outcome, wchar_t *aside)
{
    int found;

    if (!AsideUninstallerPath(aside, GetCurrentProcessId()))
        return LogStep(outcome, STEP_HAND_OVER, gInstallDir, 0, ERROR_FILENAME_EXCED_RANGE);
    found = FindInterpreter();
    return LogStep(outcome, STEP_HAND_OVER, gInterpreter, found, GetLastError());
}

// Nothing is removed unless every folder of the installation can be named:
// without the desktop or the Start menu the links would stay behind an
// uninstall that said it was done (the local application-data folder the
// setup lock needs already). Paths cut at 259 characters name nothing that
// was ever installed (the install refuses them); they may name a user's
// file, or the install folder itself, which "del" would empty. So no file is
// removed through them. A running application is closed first, when the
// caller allows it, so that nothing is removed around it. The uninstaller is
// moved aside before the entry goes, and back when the entry stays: an
// entry always names an uninstaller that exists, so that a failed uninstall
// can be run again.
static void RemovalSteps(SetupOutcome *outcome, const SetupRequest *request)
{
    int pathsWhole = InstallPathsWhole();
    wchar_t aside[SETUP_PATH_CAPACITY] = {0};
    Shortcuts links;
    int ok;

    if (!ShortcutPaths(links.desktopLink, links.startMenuFolder, links.startMenuLink) &&
        !LogStep(outcome, STEP_KNOWN_FOLDER, L"desktop, Start menu", 0, GetLastError()))
        return;
    if (pathsWhole && !HandOverPossible(outcome, aside)) return;
    if (!CheckRunningApplications(outcome, request->closeApplications)) return;
    if (request->closeApplications && !CloseRunningApplications(outcome, request->waiting)) return;
    ok = !pathsWhole || RemoveApplication();
    if (!LogStep(outcome, ok ? STEP_REMOVE_APPLICATION : ApplicationFileStep(STEP_REMOVE_APPLICATION), gAppPath, ok,
                 GetLastError()))
        return;
    RemoveShortcuts(&links, outcome);
    RemoveObsoleteComponent();
    if (pathsWhole) {
        DeleteLeftovers();
        ok = MoveUninstallerAside(aside);
        if (!LogStep(outcome, STEP_HAND_OVER, gRemovalFile[0] ? gRemovalFile : gUninstallPath, ok, GetLastError()))
            return;
    }
    ok = RemoveUninstallEntry();
    if (!LogStep(outcome, STEP_REMOVE_ENTRY, PRODUCT_ENTRY_KEY, ok, GetLastError())) {
        PutUninstallerBack();
        return;
    }
    if (pathsWhole && !gRemovalFile[0]) {
        ok = RemoveInstallFolder();
        LogStep(outcome, STEP_HAND_OVER, gInstallDir, ok, GetLastError());
    }
}

SetupOutcome RemoveInstallation(const SetupRequest *request)
{
    SetupOutcome outcome = {STEP_NONE, 0, 0, 0, 0, {0}};
    HANDLE lock = TakeSetupLock(&outcome);

    gRemovalFile[0] = L'\0';
    if (lock) RemovalSteps(&outcome, request);
    ReleaseSetupLock(lock);
    return outcome;
}

// The interpreter deletes the uninstaller under the name it was moved to once
// this process has exited and released its executable, and removes the
// install folder if it is empty by then. It runs in the system folder: a
// directory that is any process's current directory cannot be removed. When
// it cannot be started (a policy that blocks it), the uninstaller is put back
// under its own name and the entry written again, so that the uninstall can
// be run again.
int HandOverRemoval(void)
{
    wchar_t systemFolder[SETUP_PATH_CAPACITY] = {0};
    SHELLEXECUTEINFOW execute = {0};
    DWORD error;
    int ok;

    if (!gRemovalFile[0]) return 1;
    SetEnvironmentVariableW(kRemovalFileVariable, gRemovalFile);
    SetEnvironmentVariableW(kRemovalFolderVariable, gInstallDir);
    GetSystemDirectoryW(systemFolder, SETUP_PATH_CAPACITY);

    // No error dialog of the shell's: an unattended run must never wait.
    execute.cbSize = sizeof execute;
    execute.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    execute.lpFile = gInterpreter;
    execute.lpParameters = kRemovalParameters;
    execute.lpDirectory = systemFolder;
    execute.nShow = SW_HIDE;
    ok = ShellExecuteExW(&execute);
    error = GetLastError();
    LogStep(NULL, STEP_HAND_OVER, gInterpreter, ok, error);
    if (ok && execute.hProcess) CloseHandle(execute.hProcess);
    if (ok) return 1;
    PutUninstallerBack();
    if (GetFileAttributesW(gUninstallPath) != INVALID_FILE_ATTRIBUTES)
        LogStep(NULL, STEP_TAKE_BACK, PRODUCT_ENTRY_KEY, WriteUninstallEntry(), GetLastError());
    SetLastError(error);
    return 0;
}
