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

// The primary button takes the keyboard focus again.
static void EnableButtons(void)
{
    EnableWindow(gInstallButton, TRUE);
    EnableWindow(gCancelButton, TRUE);
    SetFocus(gInstallButton);
}

static void PlaceShortcuts(void)
{
    wchar_t desktopLink[SETUP_PATH_CAPACITY];
    wchar_t startMenuFolder[SETUP_PATH_CAPACITY];
    wchar_t startMenuLink[SETUP_PATH_CAPACITY];

    ShortcutPaths(desktopLink, startMenuFolder, startMenuLink);
    EnsureDirectory(startMenuFolder);
    CreateShortcut(desktopLink);
    CreateShortcut(startMenuLink);
}

// Like the application, the uninstaller is moved into place whole. A copy of
// a setup file from read-only media would be read-only too and would then
// block the next install's move over it.
static int PlaceUninstaller(void)
{
    int ok = CopyFileW(gSelfPath, gPartialPath, FALSE) && SetFileAttributesW(gPartialPath, FILE_ATTRIBUTE_NORMAL) &&
             MoveFileExW(gPartialPath, gUninstallPath, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);

    if (!ok) DeleteFileW(gPartialPath);
    return ok;
}

// The install directory, the verified application and the uninstaller decide
// success: the entry names the uninstaller, so success is never reported
// without one. The shortcuts and the entry are best effort. Paths cut at 259
// characters would overlap (the uninstaller copy landing on the application),
// so they count as a directory that cannot be made.
void InstallNow(void)
{
    EnableWindow(gInstallButton, FALSE);
    EnableWindow(gCancelButton, FALSE);
    SetWindowTextW(gStatus, kWorkingStatus);
    RemoveObsoleteComponent();
    if (!InstallPathsWhole() || !EnsureDirectory(gInstallDir) || !ExtractApplication() || !PlaceUninstaller()) {
        DiscardQueuedInput();
        MessageBoxW(gMain, kInstallFailedText, kInstallTitle, MB_ICONERROR | MB_OK);
        SetWindowTextW(gStatus, kInstallFailedStatus);
        EnableButtons();
        return;
    }
    PlaceShortcuts();
    WriteUninstallEntry();
    SendMessageW(gProgress, PBM_SETPOS, PROGRESS_MAX, 0);
    SetWindowTextW(gStatus, kInstalledStatus);
    SetWindowTextW(gInstallButton, kOpenButtonText);
    SetWindowTextW(gCancelButton, kCloseButtonText);
    DiscardQueuedInput();
    EnableButtons();
    gInstalled = 1;
}
