// The uninstall procedure and the deferred removal of the running uninstaller.
#include "setup.h"
#include "texts.h"

#include <shellapi.h>

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
// A file an ended install was still writing goes with it.
static int RemoveApplication(void)
{
    DWORD attributes;

    DeleteFileW(gPartialPath);
    if (DeleteFileW(gAppPath)) return 1;
    attributes = GetFileAttributesW(gAppPath);
    return attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

static void RemoveShortcuts(void)
{
    wchar_t desktopLink[SETUP_PATH_CAPACITY];
    wchar_t startMenuFolder[SETUP_PATH_CAPACITY];
    wchar_t startMenuLink[SETUP_PATH_CAPACITY];

    ShortcutPaths(desktopLink, startMenuFolder, startMenuLink);
    DeleteFileW(desktopLink);
    DeleteFileW(startMenuLink);
    RemoveDirectoryW(startMenuFolder);
}

// The interpreter waits about two seconds so that this process has exited
// and released its executable, when that is the installed uninstaller. It
// deletes the installed uninstaller, never the running file as such: run as
// a downloaded setup file with "--uninstall", the user's download stays. It
// runs in the system folder: a directory that is any process's current
// directory cannot be removed.
static void StartDeferredRemoval(void)
{
    wchar_t interpreter[SETUP_PATH_CAPACITY] = {0};
    wchar_t systemFolder[SETUP_PATH_CAPACITY] = {0};
    SHELLEXECUTEINFOW execute = {0};

    lstrcpynW(interpreter, kDefaultInterpreter, SETUP_PATH_CAPACITY);
    GetEnvironmentVariableW(L"ComSpec", interpreter, SETUP_PATH_CAPACITY);
    SetEnvironmentVariableW(kRemovalFileVariable, gUninstallPath);
    SetEnvironmentVariableW(kRemovalFolderVariable, gInstallDir);
    GetSystemDirectoryW(systemFolder, SETUP_PATH_CAPACITY);

    execute.cbSize = sizeof execute;
    execute.fMask = SEE_MASK_NOCLOSEPROCESS;
    execute.lpFile = interpreter;
    execute.lpParameters = kRemovalParameters;
    execute.lpDirectory = systemFolder;
    execute.nShow = SW_HIDE;
    if (ShellExecuteExW(&execute) && execute.hProcess) CloseHandle(execute.hProcess);
}

// Paths cut at 259 characters name nothing that was ever installed (the
// install refuses them); they may name a user's file, or the install folder
// itself, which "del" would empty. So no file is removed through them.
void UninstallNow(void)
{
    int pathsWhole = InstallPathsWhole();

    DiscardQueuedInput();
    if (MessageBoxW(gMain, kUninstallQuestion, kUninstallTitle, MB_YESNO | MB_ICONQUESTION) != IDYES) return;
    if (pathsWhole && !RemoveApplication()) {
        MessageBoxW(gMain, kApplicationRunningText, kUninstallTitle, MB_ICONERROR | MB_OK);
        return;
    }
    RemoveShortcuts();
    RemoveObsoleteComponent();
    RemoveUninstallEntry();
    MessageBoxW(gMain, kUninstalledText, kUninstallTitle, MB_ICONINFORMATION | MB_OK);
    if (pathsWhole) StartDeferredRemoval();
    DestroyWindow(gMain);
}
