// The uninstall procedure and the deferred removal of the running uninstaller.
#include "setup.h"

#include <shellapi.h>
#include <wchar.h>

static const wchar_t kDefaultInterpreter[] = L"cmd.exe";
// The two paths reach the interpreter through its environment: cmd expands a
// variable once and does not rescan the value, so a "%NAME%" inside a user's
// folder name is deleted as written instead of expanding into another path.
// /v:off keeps a "!NAME!" in it literal where delayed expansion is switched
// on in the registry.
static const wchar_t kRemovalFileVariable[] = L"TARVO_REMOVE_FILE";
static const wchar_t kRemovalFolderVariable[] = L"TARVO_REMOVE_DIR";
static const wchar_t kRemovalParameters[] =
    L"/d /v:off /s /c \"ping 127.0.0.1 -n 3 > nul & del /f /q \"%TARVO_REMOVE_FILE%\" & rmdir /q \"%TARVO_REMOVE_DIR%\"\"";

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
    if (DeleteRetryingBriefLocks(gAppPath, 1)) return 1;
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
static const wchar_t kRemovalFileFormat[] = L"%ls\\TarvoMarkwiseKaldir.%lx.del";
static const wchar_t kLeftoverPattern[] = L"TarvoMarkwiseKaldir.*.del";

// Uninstallers that runs ended from outside had moved aside but not handed
// over; they would keep the folder from being removed.
static void DeleteLeftovers(void)
{
    WIN32_FIND_DATAW found;
    wchar_t pattern[SETUP_PATH_CAPACITY];
    wchar_t path[SETUP_PATH_CAPACITY];
    HANDLE search = INVALID_HANDLE_VALUE;
    size_t length;

    FormatText(pattern, SETUP_PATH_CAPACITY, L"%ls\\%ls", gInstallDir, kLeftoverPattern);
    search = FindFirstFileW(pattern, &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        // The pattern also matches short names; only our own long ones go.
        length = wcslen(found.cFileName);
        if (length < 4 || wcscmp(found.cFileName + length - 4, L".del") != 0) continue;
        if (FormatText(path, SETUP_PATH_CAPACITY, L"%ls\\%ls", gInstallDir, found.cFileName) < SETUP_PATH_CAPACITY - 1)
            DeleteFileW(path);
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

static int MoveUninstallerAside(void)
{
    int length = FormatText(gRemovalFile, SETUP_PATH_CAPACITY, kRemovalFileFormat, gInstallDir,
                            (unsigned long)GetCurrentProcessId());
    int ok = length < SETUP_PATH_CAPACITY - 1;

    if (!ok) SetLastError(ERROR_FILENAME_EXCED_RANGE);
    ok = ok && MoveRetryingBriefLocks(gUninstallPath, gRemovalFile, 0);
    if (!ok) gRemovalFile[0] = L'\0';
    return ok;
}

// Only links whose folder the shell knows are ours to delete.
static void RemoveShortcuts(void)
{
    wchar_t desktopLink[SETUP_PATH_CAPACITY];
    wchar_t startMenuFolder[SETUP_PATH_CAPACITY];
    wchar_t startMenuLink[SETUP_PATH_CAPACITY];

    ShortcutPaths(desktopLink, startMenuFolder, startMenuLink);
    if (desktopLink[0]) DeleteFileW(desktopLink);
    if (startMenuLink[0]) {
        DeleteFileW(startMenuLink);
        RemoveDirectoryW(startMenuFolder);
    }
    LogStep(NULL, STEP_REMOVE_SHORTCUTS, startMenuLink, 1, 0);
}

// Paths cut at 259 characters name nothing that was ever installed (the
// install refuses them); they may name a user's file, or the install folder
// itself, which "del" would empty. So no file is removed through them. A
// running application is closed first, when the caller allows it, so that
// nothing is removed around it.
static void RemovalSteps(SetupOutcome *outcome, const SetupRequest *request)
{
    int pathsWhole = InstallPathsWhole();
    int ok;

    if (request->closeApplications && !CloseRunningApplications(outcome, request->waiting)) return;
    ok = !pathsWhole || RemoveApplication();
    if (!LogStep(outcome, STEP_REMOVE_APPLICATION, gAppPath, ok, GetLastError())) return;
    RemoveShortcuts();
    RemoveObsoleteComponent();
    LogStep(NULL, STEP_AGENT, gInstallDir, 1, 0);
    ok = RemoveUninstallEntry();
    if (!LogStep(outcome, STEP_REMOVE_ENTRY, PRODUCT_ENTRY_KEY, ok, GetLastError())) return;
    if (pathsWhole) {
        DeleteLeftovers();
        ok = MoveUninstallerAside();
        LogStep(outcome, STEP_HAND_OVER, gRemovalFile[0] ? gRemovalFile : gUninstallPath, ok, GetLastError());
    }
}

SetupOutcome RemoveInstallation(const SetupRequest *request)
{
    SetupOutcome outcome = {STEP_NONE, 0, 0, 0, 0};
    HANDLE lock = TakeSetupLock(&outcome);

    gRemovalFile[0] = L'\0';
    if (lock) RemovalSteps(&outcome, request);
    ReleaseSetupLock(lock);
    return outcome;
}

// The interpreter waits about two seconds so that this process has exited
// and released its executable, then deletes the uninstaller under the name
// it was moved to and removes the install folder if it is empty by then. It
// runs in the system folder: a directory that is any process's current
// directory cannot be removed.
int HandOverRemoval(void)
{
    wchar_t interpreter[SETUP_PATH_CAPACITY] = {0};
    wchar_t systemFolder[SETUP_PATH_CAPACITY] = {0};
    SHELLEXECUTEINFOW execute = {0};
    int ok;

    if (!gRemovalFile[0]) return 1;
    lstrcpynW(interpreter, kDefaultInterpreter, SETUP_PATH_CAPACITY);
    GetEnvironmentVariableW(L"ComSpec", interpreter, SETUP_PATH_CAPACITY);
    SetEnvironmentVariableW(kRemovalFileVariable, gRemovalFile);
    SetEnvironmentVariableW(kRemovalFolderVariable, gInstallDir);
    GetSystemDirectoryW(systemFolder, SETUP_PATH_CAPACITY);

    // No error dialog of the shell's: an unattended run must never wait.
    execute.cbSize = sizeof execute;
    execute.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    execute.lpFile = interpreter;
    execute.lpParameters = kRemovalParameters;
    execute.lpDirectory = systemFolder;
    execute.nShow = SW_HIDE;
    ok = ShellExecuteExW(&execute);
    LogStep(NULL, STEP_HAND_OVER, interpreter, ok, GetLastError());
    if (ok && execute.hProcess) CloseHandle(execute.hProcess);
    return ok;
}
