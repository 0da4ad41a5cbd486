// Unattended runs as scripts and deployment tools start them: the silent and
// passive switches, each exit code reached for real, the log, and an
// uninstall followed at once by an install.
#include "setup_run.h"
#include "texts.h"

#include <functional>

#include <sddl.h>

class UnattendedTest : public SetupRunTest {
protected:
    WatchedRun Run(const std::wstring &arguments, const std::wstring &exe = L"")
    {
        return RunWatched(L"\"" + (exe.empty() ? setupPath : exe) + L"\" " + arguments, downloads, 60000);
    }
    // Exits with the code, and never shows a window or a box.
    void ExpectSilent(const WatchedRun &run, DWORD code)
    {
        ASSERT_TRUE(run.exited);
        EXPECT_EQ(code, run.exitCode);
        EXPECT_FALSE(run.sawWindow);
        EXPECT_FALSE(run.sawBox);
    }
    DWORD DwordValue(const wchar_t *name)
    {
        DWORD type = 0;
        Bytes data;
        if (!ReadRegistryValue(HKEY_CURRENT_USER, kUninstallKeyPath, name, &type, &data) || type != REG_DWORD) return 0xFFFFFFFF;
        return *(DWORD *)data.data();
    }
    // The files, links and entry of an interactive install, the entry with its ten values.
    void ExpectInstalledWhole()
    {
        const std::wstring quoted = L"\"" + uninstallerPath + L"\"";
        HKEY key;
        DWORD values = 0;

        EXPECT_EQ(ReadBytes(BuildFile(L"TarvoStandin.exe")), ReadBytes(appPath));
        EXPECT_EQ(ReadBytes(setupPath), ReadBytes(uninstallerPath));
        EXPECT_TRUE(Exists(desktopLink));
        EXPECT_TRUE(Exists(startMenuFolder + L"\\Tarvo Markwise.lnk"));
        EXPECT_EQ(quoted + L" --uninstall", UninstallCommand());
        EXPECT_EQ(quoted + L" --uninstall --silent", UninstallCommand(L"QuietUninstallString"));
        EXPECT_EQ((ReadBytes(appPath).size() + ReadBytes(uninstallerPath).size() + 1023) / 1024, DwordValue(L"EstimatedSize"));
        ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, kUninstallKeyPath, 0, KEY_READ, &key));
        RegQueryInfoKeyW(key, NULL, NULL, NULL, NULL, NULL, NULL, &values, NULL, NULL, NULL, NULL);
        RegCloseKey(key);
        EXPECT_EQ(10u, values);
    }
    // Runs the entry's quiet uninstall command as written and waits for its
    // deferred removal: nothing of ours is left.
    void QuietUninstall()
    {
        WatchedRun run = RunWatched(UninstallCommand(L"QuietUninstallString"), downloads, 60000);
        ExpectSilent(run, 0);
        EXPECT_TRUE(WaitForInterpretersOf(run.id, 15000));
        EXPECT_FALSE(Exists(appPath));
        EXPECT_FALSE(Exists(desktopLink));
        EXPECT_FALSE(Exists(startMenuFolder));
        EXPECT_EQ(L"", UninstallCommand());
        EXPECT_FALSE(Exists(installDir));
    }
    std::string LogText(const std::wstring &path)
    {
        Bytes bytes = ReadBytes(path);
        return std::string(bytes.begin(), bytes.end());
    }
    // The old logon agent's traces: its Run value, and its file when the
    // install folder exists. A run that changes nothing keeps them.
    void PlaceAgent()
    {
        const wchar_t command[] = L"C:\\old\\TarvoRelay.exe";
        HKEY key;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, kRunKeyPath, 0, NULL, 0, KEY_SET_VALUE, NULL, &key, NULL));
        RegSetValueExW(key, L"TarvoRelay", 0, REG_SZ, (const BYTE *)command, sizeof command);
        RegCloseKey(key);
        agentFile = IsDirectory(installDir) ? installDir + L"\\TarvoRelay.exe" : L"";
        if (!agentFile.empty()) {
            ASSERT_TRUE(WriteBytes(agentFile, Bytes(10, 'a')));
        }
    }
    void ExpectAgentKept()
    {
        DWORD type;
        Bytes data;
        EXPECT_TRUE(ReadRegistryValue(HKEY_CURRENT_USER, kRunKeyPath, L"TarvoRelay", &type, &data));
        if (!agentFile.empty()) {
            EXPECT_EQ(Bytes(10, 'a'), ReadBytes(agentFile));
        }
    }
    void TearDown() override
    {
        HKEY key;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, kRunKeyPath, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
            RegDeleteValueW(key, L"TarvoRelay");
            RegCloseKey(key);
        }
        SetupRunTest::TearDown();
    }
    std::wstring agentFile;
};

TEST_F(UnattendedTest, SilentRunsInstallReinstallAndUninstallWithoutAWindow)
{
    const std::wstring log = Path(L"kurulum günlüğü.txt");
    const std::wstring usersFile = Path(L"profile\\Desktop\\notlar.txt");

    ExpectSilent(Run(L"--silent --log \"" + log + L"\""), 0);
    ExpectInstalledWhole();
    std::string text = LogText(log);
    // Under Wine every process is elevated, the shell too: the run goes on
    // as the account it runs as, and says so on the log's second line.
    EXPECT_NE(std::string::npos, text.find("\televated; no unelevated shell found: runs as the elevated account\r\n"))
        << text;
    EXPECT_EQ(text.find("\taccount\t"), text.find('\n') + 24) << text;
    EXPECT_NE(std::string::npos, text.find("\tinstall folder\t" + WideToUtf8(installDir) + "\tok\r\n")) << text;
    EXPECT_NE(std::string::npos, text.find("\treplace application\t" + WideToUtf8(appPath) + "\tok\r\n")) << text;
    EXPECT_NE(std::string::npos, text.find("\toutcome\tsuccess\texit code 0\r\n")) << text;

    // The spellings administrators reach for first reinstall the same way.
    for (const wchar_t *spelling : {L"/S", L"/VERYSILENT", L"/quiet", L"/QN", L"--SILENT"}) {
        SCOPED_TRACE(WideToUtf8(spelling));
        ExpectSilent(Run(std::wstring(L"/LOG=") + log + L" " + spelling), 0);
        ExpectInstalledWhole();
        EXPECT_NE(std::string::npos, LogText(log).find("exit code 0")) << LogText(log);
    }

    ASSERT_TRUE(WriteBytes(usersFile, Bytes(12, 'u')));
    QuietUninstall();
    EXPECT_EQ(Bytes(12, 'u'), ReadBytes(usersFile));
}

TEST_F(UnattendedTest, PassiveRunsShowTheirProgressAndCloseThemselves)
{
    // Large enough for the bar to be seen on its way; the bar drawn on
    // screen is what a person watches (the busy window answers no query).
    ASSERT_TRUE(WriteBytes(setupPath, PackageFile(ReadBytes(BuildFile(L"setup.exe")), RandomBytes(48 << 20, 5))));
    for (const wchar_t *spelling : {L"--passive", L"/SILENT", L"/Passive"}) {
        SCOPED_TRACE(WideToUtf8(spelling));
        WatchedRun run = Run(spelling);
        ASSERT_TRUE(run.exited);
        EXPECT_EQ(0u, run.exitCode);
        EXPECT_TRUE(run.sawWindow);
        EXPECT_FALSE(run.sawBox);
        EXPECT_TRUE(std::is_sorted(run.progress.begin(), run.progress.end()));
        EXPECT_GT(run.progress.size(), 1u);
        EXPECT_EQ(ReadBytes(setupPath), ReadBytes(uninstallerPath));
    }

    WatchedRun run = Run(L"--passive", uninstallerPath);
    ASSERT_TRUE(run.exited);
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_TRUE(run.sawWindow);
    EXPECT_FALSE(run.sawBox);
    EXPECT_TRUE(WaitForInterpretersOf(run.id, 15000));
    EXPECT_FALSE(Exists(installDir));
    EXPECT_EQ(L"", UninstallCommand());
}

// Each failure ends with its documented code, and the earlier application
// stays whole and runnable.
TEST_F(UnattendedTest, EveryExitCodeIsReachedAndKeepsTheEarlierApplication)
{
    const std::wstring log = Path(L"failure.log");
    const std::wstring damaged = Path(L"damaged.exe");
    HANDLE lock = NULL;
    Bytes bytes = ReadBytes(setupPath);
    bytes[bytes.size() - 24 - 100] ^= 0x10;
    ASSERT_TRUE(WriteBytes(damaged, bytes));
    ExpectSilent(Run(L"--silent"), 0);
    const Bytes earlier = ReadBytes(appPath);

    StandIn running = {NULL, 0};
    const struct {
        const char *name;
        std::function<void()> arrange;
        std::wstring arguments;
        std::wstring exe;
        DWORD code;
        std::function<void()> undo;
    } cases[] = {
        {"damaged package", [] {}, L"--silent --log \"" + log + L"\"", damaged, 1620, [] {}},
        {"application running, install", [&] { running = StartStandIn(appPath, installDir); }, L"/S --no-close", L"", 32,
         [&] { CloseStandIns(); CloseHandle(running.process); }},
        {"application running, uninstall", [&] { running = StartStandIn(appPath, installDir); }, L"--uninstall /S /NOCLOSEAPPLICATIONS", L"",
         32, [&] { CloseStandIns(); CloseHandle(running.process); }},
        {"another run installing, install", [&] { lock = HoldSetupLock(lockPath); },
         L"--silent", L"", 1618, [&] { CloseHandle(lock); }},
        {"another run installing, uninstall", [&] { lock = HoldSetupLock(lockPath); },
         L"--uninstall --silent", uninstallerPath, 1618, [&] { CloseHandle(lock); }},
        {"install folder cannot be made",
         [&] {
             UseProfile(Path(L"blocked"));
             ASSERT_TRUE(WriteBytes(Path(L"blocked\\Local AppData\\Programs"), Bytes(1, 0)));
         },
         L"--silent", L"", 82, [&] { UseProfile(Path(L"profile")); }},
    };
    for (const auto &failure : cases) {
        SCOPED_TRACE(failure.name);
        failure.arrange();
        PlaceAgent();
        ExpectSilent(Run(failure.arguments, failure.exe), failure.code);
        ExpectAgentKept();
        failure.undo();
        EXPECT_EQ(earlier, ReadBytes(appPath));
        EXPECT_EQ(ReadBytes(setupPath), ReadBytes(uninstallerPath));
        EXPECT_NE(L"", UninstallCommand(L"QuietUninstallString"));
    }
    // The log names the failing step, its path and its Windows error.
    std::string text = LogText(log);
    EXPECT_NE(std::string::npos, text.find("\tread package\t" + WideToUtf8(damaged) + "\tfailed: error 23: ")) << text;
    EXPECT_NE(std::string::npos, text.find("\toutcome\tfailure\texit code 1620\r\n")) << text;

    // While another run holds the lock, a passive window closes itself with
    // the same code; the interactive window shows its error box, and the
    // interactive uninstall its own, with nothing removed.
    lock = HoldSetupLock(lockPath);
    WatchedRun passive = Run(L"--passive");
    EXPECT_EQ(1618u, passive.exitCode);
    EXPECT_FALSE(passive.sawBox);
    StartSetupFile();
    Press(Control(ID_PRIMARY_BUTTON));
    HWND box = WaitForBox();
    ASSERT_NE((HWND)NULL, box);
    EXPECT_EQ(std::wstring(L"Kurulum tamamlanamadı. ") + kSetupBusyCause, ReadBox(box).text);
    Answer(box, IDOK);
    Press(Control(ID_CANCEL_BUTTON));
    ExpectExitCode(0);
    Start(UninstallCommand());
    Press(Control(ID_PRIMARY_BUTTON));
    box = WaitForBox();
    ASSERT_NE((HWND)NULL, box);
    Answer(box, IDYES);
    box = WaitForBox(box);
    ASSERT_NE((HWND)NULL, box);
    EXPECT_EQ(kSetupBusyText, ReadBox(box).text);
    Answer(box, IDOK);
    Press(Control(ID_CANCEL_BUTTON));
    ExpectExitCode(0);
    CloseHandle(lock);
    ExpectInstalledWhole();

    EXPECT_TRUE(ApplicationRuns(appPath, installDir));
}

TEST_F(UnattendedTest, AFullDiskEndsWith112)
{
    ULARGE_INTEGER space;
    if (!GetDiskFreeSpaceExW(L"T:\\", &space, NULL, NULL)) GTEST_SKIP() << "no small drive T:";
    ASSERT_TRUE(WriteBytes(setupPath, PackageFile(ReadBytes(BuildFile(L"setup.exe")), RandomBytes(3 << 20, 6))));
    UseProfile(L"T:\\profile");
    PlaceAgent();
    ExpectSilent(Run(L"--silent"), 112);
    ExpectAgentKept();
    EXPECT_FALSE(Exists(appPath));
    EXPECT_FALSE(Exists(partialPath));
    RemoveTree(L"T:\\profile");
}

// A folder the shell cannot name (a profile on a drive that is gone) changes
// nothing: no path at the root of the drive is written or deleted, the
// uninstall fails before it removes anything, and the log names the folder.
TEST_F(UnattendedTest, AFolderTheShellCannotNameChangesNothing)
{
    static const wchar_t kShellFolders[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
    static const wchar_t kGone[] = L"Q:\\profile";
    const std::wstring log = Path(L"unknown.log");
    const std::wstring rootAgent = L"C:\\TarvoRelay.exe";
    const struct {
        const wchar_t *folder;
        const char *logged;
    } cases[] = {{L"Local AppData", "\tknown folder\tlocal application data\tfailed: "},
                 {L"Desktop", "\tknown folder\tdesktop, Start menu\tfailed: error 0x80004005"}};

    ExpectSilent(Run(L"--silent"), 0);
    ASSERT_TRUE(WriteBytes(rootAgent, Bytes(4, 'r')));
    for (const auto &c : cases) {
        SCOPED_TRACE(WideToUtf8(c.folder));
        HKEY key;
        ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, kShellFolders, 0, KEY_SET_VALUE, &key));
        RegSetValueExW(key, c.folder, 0, REG_EXPAND_SZ, (const BYTE *)kGone, sizeof kGone);
        RegCloseKey(key);
        Tree before = Snapshot(installDir);
        ExpectSilent(Run(L"--uninstall --silent --log \"" + log + L"\"", uninstallerPath), 1603);
        EXPECT_NE(std::string::npos, LogText(log).find(c.logged)) << LogText(log);
        EXPECT_EQ(before, Snapshot(installDir));
        EXPECT_TRUE(Exists(desktopLink));
        EXPECT_NE(L"", UninstallCommand());
        EXPECT_EQ(Bytes(4, 'r'), ReadBytes(rootAgent));
        UseProfile(Path(L"profile"));
    }
    DeleteFileW(rootAgent.c_str());
    QuietUninstall();
}

// A script that uninstalls and at once installs again, as an upgrade does:
// the earlier uninstall's deferred removal must not take the new install's
// uninstaller. An uninstall ended from outside while its completion box was
// open leaves its uninstaller moved aside; the next install removes that,
// and nothing else of that form.
TEST_F(UnattendedTest, AnInstallRightAfterAnUninstallEndsWhole)
{
    ExpectSilent(Run(L"--silent"), 0);
    Start(UninstallCommand());
    Press(Control(ID_PRIMARY_BUTTON));
    HWND box = WaitForBox();
    ASSERT_NE((HWND)NULL, box);
    Answer(box, IDYES);
    ASSERT_NE((HWND)NULL, WaitForBox(box));
    EndSetup(&run);
    wchar_t id[16];
    swprintf(id, 16, L"%lx", (unsigned long)run.id);
    const std::wstring aside = installDir + L"\\TarvoMarkwiseKaldir." + id + L".del";
    const std::wstring usersFile = installDir + L"\\TarvoMarkwiseKaldir.eski.del";
    ASSERT_TRUE(Exists(aside));
    ASSERT_TRUE(WriteBytes(usersFile, Bytes(3, 'e')));
    ExpectSilent(Run(L"--silent"), 0);
    EXPECT_FALSE(Exists(aside));
    EXPECT_EQ(Bytes(3, 'e'), ReadBytes(usersFile));
    DeleteFileW(usersFile.c_str());
    QuietUninstall();

    ExpectSilent(Run(L"--silent"), 0);
    WatchedRun uninstall = RunWatched(UninstallCommand(L"QuietUninstallString"), downloads, 60000);
    ExpectSilent(uninstall, 0);
    ExpectSilent(Run(L"--silent"), 0);
    EXPECT_TRUE(WaitForInterpretersOf(uninstall.id, 15000));
    ExpectInstalledWhole();
    QuietUninstall();

    // The same with an interactive reinstall started at once.
    ExpectSilent(Run(L"--silent"), 0);
    uninstall = RunWatched(UninstallCommand(L"QuietUninstallString"), downloads, 60000);
    ExpectSilent(uninstall, 0);
    InstallAndClose();
    EXPECT_TRUE(WaitForInterpretersOf(uninstall.id, 15000));
    ExpectInstalledWhole();
    QuietUninstall();
}

// An update while the application is open: the silent run closes the copies
// of the installed application as their close box would, installs, and
// opens it again once; a program of the same name elsewhere is not ours.
TEST_F(UnattendedTest, AnUpdateClosesTheRunningApplicationAndOpensItAgain)
{
    const std::wstring log = Path(L"update.log");
    const std::wstring elsewhere = Path(L"elsewhere\\TarvoMarkwise.exe");
    ExpectSilent(Run(L"--silent"), 0);
    CreateDirectoryW(Path(L"elsewhere").c_str(), NULL);
    ASSERT_TRUE(WriteBytes(elsewhere, ReadBytes(appPath)));
    StandIn other = StartStandIn(elsewhere, Path(L"elsewhere"));
    StandIn first = StartStandIn(appPath, installDir);
    StandIn second = StartStandIn(appPath, installDir);
    ASSERT_TRUE(WaitForStandInStarts(3, 20000));

    // A damaged download closes nothing.
    Bytes damaged = ReadBytes(setupPath);
    damaged[damaged.size() - 24 - 100] ^= 0x10;
    ASSERT_TRUE(WriteBytes(Path(L"damaged.exe"), damaged));
    ExpectSilent(Run(L"/S", Path(L"damaged.exe")), 1620);
    EXPECT_EQ(0u, StandInEnds().size());

    ExpectSilent(Run(L"/S --log \"" + log + L"\""), 0);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(first.process, 10000));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(second.process, 10000));
    EXPECT_EQ(std::vector<std::wstring>({L"close", L"close"}), StandInEnds());
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(other.process, 0));
    ASSERT_TRUE(WaitForStandInStarts(4, 20000));
    EXPECT_EQ(0, _wcsicmp(installDir.c_str(), StandInStarts()[3].directory.c_str()));
    EXPECT_EQ(4u, StandInStarts().size());
    ExpectInstalledWhole();
    std::string text = LogText(log);
    for (DWORD id : {first.id, second.id})
        EXPECT_NE(std::string::npos, text.find("\tapplication running\tprocess " + std::to_string(id) + "\t")) << text;
    EXPECT_NE(std::string::npos, text.find("\task application to close\t")) << text;
    EXPECT_NE(std::string::npos, text.find("\tapplication ended\tprocess " + std::to_string(first.id) + "\tok")) << text;
    EXPECT_NE(std::string::npos, text.find("\tstart application\t" + WideToUtf8(appPath) + "\tok")) << text;

    // Told to leave it open: 32, nothing touched. Told not to reopen: closed only.
    ExpectSilent(Run(L"/S /NOCLOSEAPPLICATIONS"), 32);
    EXPECT_EQ(2u, StandInEnds().size());
    ExpectSilent(Run(L"/S --no-reopen"), 0);
    EXPECT_EQ(3u, StandInEnds().size());
    EXPECT_EQ(4u, StandInStarts().size());

    // A copy that refuses (its user cancelled the question about unsaved
    // work): 32 once the wait is over, the copy still running, nothing changed.
    StandInsRefuseToClose(true);
    StandIn refusing = StartStandIn(appPath, installDir);
    StandInsRefuseToClose(false);
    ASSERT_TRUE(WaitForStandInStarts(5, 20000));
    ExpectSilent(Run(L"/S"), 32);
    EXPECT_EQ(1, StandInRefusals());
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(refusing.process, 0));
    ExpectInstalledWhole();
    EXPECT_FALSE(Exists(partialPath));
    CloseStandIns();

    // A quiet uninstall closes it too and removes everything of ours.
    StandIn last = StartStandIn(appPath, installDir);
    ASSERT_TRUE(WaitForStandInStarts(6, 20000));
    QuietUninstall();
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(last.process, 10000));
    EXPECT_EQ(6u, StandInStarts().size());
    CloseStandIns();
    for (HANDLE process : {other.process, first.process, second.process, refusing.process, last.process}) CloseHandle(process);
}

// Unattended runs never wait for a person and tell what they did: help asked
// for silently shows nothing, a log path too long is refused, a run that
// finds another working leaves that run's log alone, and an entry that
// cannot be removed fails the uninstall.
// An HKCU key that can be read but not written, as a hardened or
// policy-managed profile has it; and the same key made writable again.
static void ProtectKey(const wchar_t *path, const wchar_t *sddl)
{
    PSECURITY_DESCRIPTOR descriptor = NULL;
    HKEY key;

    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, path, 0, NULL, 0, WRITE_DAC, NULL, &key, NULL));
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &descriptor, NULL));
    EXPECT_EQ(ERROR_SUCCESS, RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, descriptor));
    LocalFree(descriptor);
    RegCloseKey(key);
}

TEST_F(UnattendedTest, UnattendedOutcomesTellTheTruth)
{
    const std::wstring log = Path(L"first.log");

    ExpectSilent(Run(L"--silent /?"), 0);
    ExpectSilent(Run(L"--passive /?"), 0);
    ExpectSilent(Run(L"--silent --log \"" + std::wstring(300, L'g') + L"\""), 87);
    EXPECT_FALSE(Exists(installDir));

    // The uninstall asked for in another spelling is refused, never taken
    // for an install: 87, the log naming it, and in a window a box.
    for (const wchar_t *spelling : {L"--UNINSTALL /S", L"/uninstall /S", L"-uninstall --silent", L"/Uninstall --passive"}) {
        SCOPED_TRACE(WideToUtf8(spelling));
        ExpectSilent(Run(std::wstring(spelling) + L" --log \"" + log + L"\""), 87);
        EXPECT_FALSE(Exists(installDir));
        std::wstring given = std::wstring(spelling).substr(0, std::wstring(spelling).find(L' '));
        EXPECT_NE(std::string::npos, LogText(log).find("\tswitches\t" + WideToUtf8(given) + "\trefused: ")) << LogText(log);
    }
    run = LaunchSetup(L"\"" + setupPath + L"\" /uninstall", downloads, L"#32770");
    ASSERT_NE((HWND)NULL, run.window);
    EXPECT_EQ(0u, ReadBox(run.window).text.find(L"“/uninstall” seçeneği tanınmıyor")) << WideToUtf8(ReadBox(run.window).text);
    Answer(run.window, IDOK);
    ExpectExitCode(87);
    EXPECT_FALSE(Exists(installDir));

    // The lock's old name, a global object any user of the machine can make
    // first, keeps no run of this user's from starting.
    HANDLE squatter = CreateEventW(NULL, TRUE, FALSE, (L"Global\\TarvoMarkwiseSetupRunning-" + UserSid()).c_str());
    ASSERT_NE((HANDLE)NULL, squatter);
    ExpectSilent(Run(L"--silent"), 0);
    CloseHandle(squatter);
    QuietUninstall();

    // An entry that cannot be written fails the install, which takes back
    // what it placed: no files without an entry.
    ProtectKey(kUninstallKeyPath, L"D:P(D;;0x10006;;;WD)(A;;KA;;;WD)");
    ExpectSilent(Run(L"--silent --log \"" + log + L"\""), 1603);
    EXPECT_NE(std::string::npos, LogText(log).find("\tuninstall entry\tTarvoMarkwise\tfailed: error 5: ")) << LogText(log);
    EXPECT_FALSE(Exists(installDir));
    EXPECT_FALSE(Exists(desktopLink));
    ProtectKey(kUninstallKeyPath, L"D:(A;;KA;;;WD)");
    RegDeleteKeyW(HKEY_CURRENT_USER, kUninstallKeyPath);

    // A file where the install folder belongs is no folder: 82, the file kept.
    ASSERT_EQ(1, EnsureDirectory(installDir.substr(0, installDir.rfind(L'\\')).c_str()));
    ASSERT_TRUE(WriteBytes(installDir, Bytes(9, 'f')));
    ExpectSilent(Run(L"--silent"), 82);
    EXPECT_EQ(Bytes(9, 'f'), ReadBytes(installDir));
    DeleteFileW(installDir.c_str());

    // A desktop link that cannot be written is a convenience lost: success,
    // with the rest in place and the link named in the log with its error.
    ASSERT_TRUE(CreateDirectoryW(desktopLink.c_str(), NULL));
    ExpectSilent(Run(L"--silent --log \"" + log + L"\""), 0);
    EXPECT_TRUE(Exists(startMenuFolder + L"\\Tarvo Markwise.lnk"));
    EXPECT_NE(L"", UninstallCommand());
    EXPECT_NE(std::string::npos, LogText(log).find("\tshortcuts\t" + WideToUtf8(desktopLink) + "\tfailed: error 0x"))
        << LogText(log);
    RemoveDirectoryW(desktopLink.c_str());

    // An uninstaller that is gone (quarantined) leaves nothing to hand over:
    // the uninstall from the setup file succeeds and removes the folder too.
    ASSERT_TRUE(DeleteFileW(uninstallerPath.c_str()));
    ExpectSilent(Run(L"--uninstall --silent"), 0);
    EXPECT_FALSE(Exists(installDir));
    EXPECT_FALSE(Exists(startMenuFolder));
    EXPECT_EQ(L"", UninstallCommand());

    // Runs refused beside a working run, busy or with a misspelt switch,
    // append to its log, each beginning with its start and naming no
    // account it has not read.
    ASSERT_TRUE(WriteBytes(log, Bytes(12, 'x')));
    HANDLE lock = HoldSetupLock(lockPath);
    ExpectSilent(Run(L"--silent --log \"" + log + L"\""), 1618);
    ExpectSilent(Run(L"/uninstall --silent --log \"" + log + L"\""), 87);
    CloseHandle(lock);
    std::string appended = LogText(log);
    EXPECT_EQ(0u, appended.find("xxxxxxxxxxxx")) << appended;
    EXPECT_LT(appended.find("exit code 1618"), appended.find("\tstart\t")) << appended;
    EXPECT_LT(appended.find("\tstart\t"), appended.find("\tswitches\t/uninstall\trefused: ")) << appended;
    EXPECT_EQ(std::string::npos, appended.find("\taccount\t")) << appended;

    ExpectSilent(Run(L"--silent"), 0);
    // Another program's subkey keeps the entry from being deleted.
    HKEY blocker;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, (std::wstring(kUninstallKeyPath) + L"\\Blocker").c_str(), 0,
                                             NULL, 0, KEY_WRITE, NULL, &blocker, NULL));
    RegCloseKey(blocker);
    const std::wstring uninstallLog = Path(L"uninstall.log");
    WatchedRun run = RunWatched(UninstallCommand(L"QuietUninstallString") + L" --log \"" + uninstallLog + L"\"", downloads, 60000);
    ExpectSilent(run, 1603);
    EXPECT_NE(std::string::npos, LogText(uninstallLog).find("\tremove uninstall entry\tTarvoMarkwise\tfailed: error "))
        << LogText(uninstallLog);
    EXPECT_NE(L"", UninstallCommand());
    EXPECT_TRUE(Exists(uninstallerPath));
    RegDeleteKeyW(HKEY_CURRENT_USER, (std::wstring(kUninstallKeyPath) + L"\\Blocker").c_str());
    ExpectSilent(Run(L"--silent"), 0);
    QuietUninstall();
}

// A newer installed version is never replaced without leave: unattended runs
// refuse (1638) and change nothing, unless --allow-downgrade says so; an
// older, unreadable or equal version is replaced as any reinstall.
TEST_F(UnattendedTest, ANewerInstalledVersionIsKeptUnlessDowngradeIsAllowed)
{
    const std::wstring log = Path(L"version.log");
    const struct {
        const wchar_t *installed;
        std::wstring arguments;
        DWORD code;
    } cases[] = {
        {L"1.0.10", L"--silent --log \"" + log + L"\"", 1638}, {L"1.0.10", L"/VERYSILENT", 1638},
        {L"1.0.10", L"--passive", 1638},  {L"2", L"--silent", 1638},
        {L"1.0.10", L"--silent --allow-downgrade", 0}, {L"1.0.10", L"/ALLOWDOWNGRADE /S", 0},
        {L"1.0.1", L"--silent", 0},       {L"0.9", L"--silent", 0},
        {L"beta", L"--silent", 0},        {L"1.0.2", L"--silent", 0},
    };

    ExpectSilent(Run(L"--silent"), 0);
    for (const auto &c : cases) {
        SCOPED_TRACE(WideToUtf8(c.installed) + " " + WideToUtf8(c.arguments));
        HKEY key;
        ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, kUninstallKeyPath, 0, KEY_SET_VALUE, &key));
        RegSetValueExW(key, L"DisplayVersion", 0, REG_SZ, (const BYTE *)c.installed, (DWORD)(wcslen(c.installed) + 1) * 2);
        RegCloseKey(key);
        ASSERT_TRUE(WriteBytes(appPath, Bytes(10, 7)));
        PlaceAgent();
        WatchedRun run = Run(c.arguments);
        ASSERT_TRUE(run.exited);
        EXPECT_EQ(c.code, run.exitCode);
        EXPECT_FALSE(run.sawBox);
        if (c.code) ExpectAgentKept();
        DWORD type;
        Bytes version;
        ASSERT_TRUE(ReadRegistryValue(HKEY_CURRENT_USER, kUninstallKeyPath, L"DisplayVersion", &type, &version));
        EXPECT_EQ(c.code ? c.installed : L"1.0.2", std::wstring((const wchar_t *)version.data()));
        EXPECT_EQ(c.code ? Bytes(10, 7) : ReadBytes(BuildFile(L"TarvoStandin.exe")), ReadBytes(appPath));
    }
    EXPECT_NE(std::string::npos, LogText(log).find("\tinstalled version\t1.0.10 installed, 1.0.2 in this setup file\tfailed: error 1638"))
        << LogText(log);
}
