// The packed setup file run as its own process in a profile of its own: the
// local application-data, desktop and Start-menu folders of the processes it
// starts point into the scratch folder.
#ifndef TARVO_SETUP_RUN_H
#define TARVO_SETUP_RUN_H

#include "ui_driver.h"

class SetupRunTest : public ScratchTest {
protected:
    void SetUp() override;
    void TearDown() override;
    // Points the profile's three folders below root and derives the paths.
    void UseProfile(const std::wstring &root);
    void Start(const std::wstring &commandLine);
    void StartSetupFile() { Start(L"\"" + setupPath + L"\""); }
    HWND Control(int id) { return GetDlgItem(run.window, id); }
    // A box of the setup other than after, once it has given the focus to one
    // of its buttons: a key sent before that is lost.
    HWND WaitForBox(HWND after = NULL);
    void ExpectExitCode(DWORD expected);
    // Runs a setup file (the downloaded one unless named) through a whole install.
    void InstallAndClose(const std::wstring &setupFile = L"");
    // Runs an uninstall command line and confirms it; the completion box's
    // caption and text go to completion when given.
    void UninstallConfirmed(const std::wstring &commandLine, SeenBox *completion = NULL);
    std::wstring UninstallCommand(const wchar_t *value = L"UninstallString");

    RunningSetup run = {NULL, 0, NULL};
    wchar_t saved[3][MAX_PATH] = {};
    bool hadValue[3] = {};
    std::wstring installDir, appPath, uninstallerPath, partialPath, desktopLink, startMenuFolder, downloads, setupPath;
    std::wstring lockPath;
};

#endif
