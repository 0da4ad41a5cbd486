// Setup files run where users really keep them: folder names with Turkish
// letters and the interpreter's special characters, a profile too long for
// the install folder, two windows at once, and a library planted beside the
// downloaded setup file.
#include "setup_run.h"

static Tree WithoutRecord(Tree tree, const std::wstring &record)
{
    tree.erase(record);
    return tree;
}

TEST_F(SetupRunTest, HostileFolderNamesInstallAndUninstallExactlyTheirOwnFiles)
{
    // The percent signs name no variable: Wine's cmd, unlike Windows', expands
    // variables again inside the value of a variable, so a folder name with
    // the name of a set variable between percent signs cannot be removed
    // through it under Wine whatever the command says.
    std::wstring root = Path(L"Ayşe Öz & Ğü (İç) 100% ^şğıİçöü! %TARVO_NOT_SET%");
    // What the deferred command would hit if it split or expanded the path.
    const std::wstring decoys[] = {
        Path(L"Ayşe Öz\\Local AppData\\Programs\\Tarvo Markwise\\TarvoMarkwiseKaldir.exe"),
        Path(L"Ayşe Öz & Ğü (İç) 100% ^şğıİçöü!\\keep.txt"),
        Path(L"decoy\\TarvoMarkwiseKaldir.exe"),
    };

    UseProfile(root);
    for (const std::wstring &decoy : decoys) {
        EnsureDirectory(decoy.substr(0, decoy.rfind(L'\\')).c_str());
        ASSERT_TRUE(WriteBytes(decoy, Bytes(99, 3))) << WideToUtf8(decoy);
    }
    Tree before = Snapshot(scratch);

    InstallAndClose();
    EXPECT_EQ(ReadBytes(BuildFile(L"TarvoStandin.exe")), ReadBytes(appPath));
    EXPECT_TRUE(Exists(desktopLink));
    EXPECT_EQ(L"\"" + uninstallerPath + L"\" --uninstall", UninstallCommand());

    UninstallConfirmed(UninstallCommand());
    EXPECT_TRUE(WaitUntilGone(uninstallerPath, 15000));
    EXPECT_TRUE(WaitUntilGone(installDir, 5000));
    EXPECT_FALSE(Exists(desktopLink));
    const std::wstring record = Path(L"standin.txt");
    EXPECT_EQ(WithoutRecord(before, record), WithoutRecord(Snapshot(scratch), record));
}

TEST_F(SetupRunTest, AProfileTooLongForTheInstallFolderFailsCleanly)
{
    // The window shows a long path with an ellipsis in its middle. (Wine
    // measures letters outside ASCII wrongly there and cuts such a path at
    // the control's edge instead; Windows does not.)
    UseProfile(scratch + L"\\" + std::wstring(60, L'p') + L"\\" + std::wstring(60, L'q'));
    StartSetupFile();
    ASSERT_TRUE(WaitUntilDrawn(run.window, 10000));
    EXPECT_TRUE(SaveWindowBitmap(run.window, ArtifactPath(L"install-window-long-path.bmp")));
    Press(Control(ID_CANCEL_BUTTON));
    ExpectExitCode(0);

    std::wstring root = scratch;
    while (root.size() + 14 + 100 < 255) root += L"\\" + std::wstring(100, L'ş');
    root += L"\\" + std::wstring(255 - 14 - root.size() - 1, L'ğ');
    UseProfile(root);
    ASSERT_EQ(259u, installDir.size());
    Tree before = Snapshot(scratch);

    StartSetupFile();
    std::vector<ControlFacts> controls = Controls(run.window);
    ASSERT_EQ(10u, controls.size());
    // Drawn with its beginning and its end, an ellipsis between them.
    EXPECT_EQ(installDir, controls[4].text);
    EXPECT_EQ(SS_PATHELLIPSIS | SS_NOPREFIX, GetWindowLongW(controls[4].handle, GWL_STYLE) & (SS_ELLIPSISMASK | SS_NOPREFIX));
    Press(Control(ID_PRIMARY_BUTTON));
    HWND box = WaitForBox();
    ASSERT_NE((HWND)NULL, box);
    EXPECT_EQ(L"Tarvo Markwise 1.0.2 Kurulumu", ReadBox(box).caption);
    Answer(box, IDOK);
    EXPECT_TRUE(WaitForText(controls[7].handle, L"Kurulum tamamlanamadı.", 5000));
    Press(Control(ID_CANCEL_BUTTON));
    ExpectExitCode(0);
    EXPECT_FALSE(Exists(installDir));
    EXPECT_EQ(L"", UninstallCommand());
    EXPECT_EQ(before, Snapshot(scratch));

    // Uninstall mode runs through and removes no file at all: nothing was
    // installed at the cut paths, which here name a folder of the user's.
    const std::wstring longFolder = L"\\\\?\\" + installDir;
    const std::wstring usersFile = longFolder + L"\\notlar.txt";
    ASSERT_TRUE(CreateDirectoryW(longFolder.c_str(), NULL));
    ASSERT_TRUE(WriteBytes(usersFile, Bytes(10, 'n')));
    UninstallConfirmed(L"\"" + setupPath + L"\" --uninstall");
    EXPECT_TRUE(WaitForInterpretersOf(run.id, 15000));
    EXPECT_EQ(Bytes(10, 'n'), ReadBytes(usersFile));
    DeleteFileW(usersFile.c_str());
    RemoveDirectoryW(longFolder.c_str());
    EXPECT_EQ(before, Snapshot(scratch));
}

TEST_F(SetupRunTest, TwoSetupWindowsAtOnceLeaveOneConsistentInstallation)
{
    StartSetupFile();
    RunningSetup first = run;
    run = LaunchSetup(L"\"" + setupPath + L"\"", downloads);
    ASSERT_NE((HWND)NULL, run.window);
    RunningSetup second = run;

    Press(GetDlgItem(first.window, ID_PRIMARY_BUTTON));
    Press(GetDlgItem(second.window, ID_PRIMARY_BUTTON));
    int finished = 0;
    for (RunningSetup *setup : {&first, &second}) {
        HWND button = GetDlgItem(setup->window, ID_PRIMARY_BUTTON);
        for (int i = 0; i < 600 && TextOf(button) != L"Programı Aç"; ++i) {
            HWND box = WaitForTopWindow(setup->id, L"#32770", 0);
            if (box) {
                EXPECT_EQ(L"Tarvo Markwise 1.0.2 Kurulumu", ReadBox(box).caption);
                Answer(box, IDOK);
                break;
            }
            Sleep(50);
        }
        finished += TextOf(button) == L"Programı Aç";
        Press(GetDlgItem(setup->window, ID_CANCEL_BUTTON));
        DWORD code = 1;
        EXPECT_TRUE(WaitForExit(setup->process, 20000, &code));
        EXPECT_EQ(0u, code);
    }
    EndSetup(&first);
    run = {NULL, 0, NULL};
    EXPECT_GE(finished, 1);
    EXPECT_EQ(ReadBytes(BuildFile(L"TarvoStandin.exe")), ReadBytes(appPath));
    EXPECT_EQ(ReadBytes(setupPath), ReadBytes(uninstallerPath));
    EXPECT_EQ(L"\"" + uninstallerPath + L"\" --uninstall", UninstallCommand());
    EXPECT_TRUE(Exists(desktopLink));
    EXPECT_TRUE(Exists(startMenuFolder + L"\\Tarvo Markwise.lnk"));
    EndSetup(&second);
}

// Under Wine a library is taken from the program's folder when the user
// prefers native libraries for its name (here through Wine's per-program
// overrides in the registry). The setup program asks for libraries by name
// only through the platform; Wine's own modules load theirs (uxtheme.dll,
// for the controls) through their delay imports, which under Wine ignore the
// process's library search restriction, unlike Windows. So the test has the
// running setup process load the planted name through the ordinary search,
// as any on-demand load after the start would.
static void PreferNativeLibrary(const wchar_t *program, bool prefer)
{
    std::wstring key = std::wstring(L"Software\\Wine\\AppDefaults\\") + program + L"\\DllOverrides";
    HKEY opened;

    if (!prefer) {
        RegDeleteKeyW(HKEY_CURRENT_USER, key.c_str());
        return;
    }
    if (RegCreateKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, NULL, 0, KEY_SET_VALUE, NULL, &opened, NULL) != ERROR_SUCCESS) return;
    RegSetValueExW(opened, L"dwmapi", 0, REG_SZ, (const BYTE *)L"native,builtin", sizeof L"native,builtin");
    RegCloseKey(opened);
}

// Loads a library by name inside another process; returns whether it loaded.
static bool LoadInProcess(HANDLE process, const wchar_t *name)
{
    size_t size = (wcslen(name) + 1) * sizeof(wchar_t);
    void *remote = VirtualAllocEx(process, NULL, size, MEM_COMMIT, PAGE_READWRITE);
    LPTHREAD_START_ROUTINE load = (LPTHREAD_START_ROUTINE)(void *)GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "LoadLibraryW");
    HANDLE thread = NULL;
    DWORD loaded = 0;

    if (remote && WriteProcessMemory(process, remote, name, size, NULL))
        thread = CreateRemoteThread(process, NULL, 0, load, remote, 0, NULL);
    if (thread) {
        WaitForSingleObject(thread, 20000);
        GetExitCodeThread(thread, &loaded);
        CloseHandle(thread);
    }
    if (remote) VirtualFreeEx(process, remote, 0, MEM_RELEASE);
    return loaded != 0;
}

TEST_F(SetupRunTest, ALibraryPlantedBesideTheSetupFileIsNeverLoaded)
{
    const std::wstring marker = Path(L"planted.txt");
    const std::wstring probe = downloads + L"\\probe.exe";
    STARTUPINFOW startup = {sizeof startup};
    PROCESS_INFORMATION created = {0};
    std::wstring line = L"\"" + probe + L"\" dwmapi.dll";
    DWORD code = 1;

    ASSERT_TRUE(CopyFileW(BuildFile(L"plant\\dwmapi.dll").c_str(), (downloads + L"\\dwmapi.dll").c_str(), FALSE));
    ASSERT_TRUE(CopyFileW(BuildFile(L"plant\\plant_probe.exe").c_str(), probe.c_str(), FALSE));
    PreferNativeLibrary(L"probe.exe", true);
    PreferNativeLibrary(L"TarvoMarkwise_Setup.exe", true);
    SetEnvironmentVariableW(L"TARVO_PLANT_MARKER", marker.c_str());

    // The trap is armed: a program that searches its own folder loads it.
    ASSERT_TRUE(CreateProcessW(NULL, &line[0], NULL, NULL, FALSE, 0, NULL, downloads.c_str(), &startup, &created));
    CloseHandle(created.hThread);
    EXPECT_TRUE(WaitForExit(created.hProcess, 20000, &code));
    CloseHandle(created.hProcess);
    EXPECT_FALSE(ReadBytes(marker).empty());
    DeleteFileW(marker.c_str());

    StartSetupFile();
    EXPECT_TRUE(LoadInProcess(run.process, L"dwmapi.dll"));
    Press(Control(ID_CANCEL_BUTTON));
    ExpectExitCode(0);
    EXPECT_FALSE(Exists(marker));
    PreferNativeLibrary(L"probe.exe", false);
    PreferNativeLibrary(L"TarvoMarkwise_Setup.exe", false);
    SetEnvironmentVariableW(L"TARVO_PLANT_MARKER", NULL);
}
