// The install procedure into a scratch folder, and the directory helper.
#include "fault_layer.h"
#include "test_support.h"
#include "texts.h"

#include <thread>

#include <commctrl.h>
#include <tlhelp32.h>

class DirectoryTest : public ScratchTest {
protected:
    void SetUp() override
    {
        ScratchTest::SetUp();
        GetCurrentDirectoryW(MAX_PATH, previous);
        SetCurrentDirectoryW(scratch.c_str());
    }
    void TearDown() override
    {
        SetCurrentDirectoryW(previous);
        ScratchTest::TearDown();
    }
    wchar_t previous[MAX_PATH];
};

// A file at the folder's name is no folder to install into.
TEST_F(DirectoryTest, CreatesChainsAndAcceptsOnlyADirectoryThatAlreadyExists)
{
    EXPECT_EQ(1, EnsureDirectory(Path(L"one\\two\\three").c_str()));
    EXPECT_TRUE(IsDirectory(Path(L"one\\two\\three")));
    EXPECT_EQ(1, EnsureDirectory(Path(L"one\\two").c_str()));

    ASSERT_TRUE(WriteBytes(Path(L"file"), Bytes(3, 1)));
    EXPECT_EQ(0, EnsureDirectory(Path(L"file").c_str()));
    EXPECT_EQ((DWORD)ERROR_DIRECTORY, GetLastError());
    EXPECT_EQ(0, EnsureDirectory(Path(L"file\\below").c_str()));
    EXPECT_EQ(Bytes(3, 1), ReadBytes(Path(L"file")));
}

TEST_F(DirectoryTest, CutsLongPathsAt259Characters)
{
    std::wstring path = scratch;
    while (path.size() < 300) path += L"\\level";
    std::wstring cut = path.substr(0, 259);

    // The first whole level past the cut; where the cut falls depends on the
    // length of the scratch folder's name.
    std::wstring beyond = path.substr(0, path.find(L'\\', 260));

    ASSERT_LT(cut.size(), path.size());
    EXPECT_EQ(1, EnsureDirectory(path.c_str()));
    EXPECT_TRUE(IsDirectory(cut));
    EXPECT_FALSE(IsDirectory(L"\\\\?\\" + beyond)) << WideToUtf8(beyond);
}

TEST_F(DirectoryTest, ShortPathsAreCreatedInOneCallAndDrivePrefixesAreSkipped)
{
    EXPECT_EQ(1, EnsureDirectory(L"ab"));
    EXPECT_TRUE(IsDirectory(Path(L"ab")));
    // Three characters: no level is created on the way, so "a" stays absent.
    EXPECT_EQ(0, EnsureDirectory(L"a\\b"));
    EXPECT_FALSE(Exists(Path(L"a")));

    RemoveTree(L"C:\\TarvoTestA");
    EXPECT_EQ(1, EnsureDirectory(L"C:\\TarvoTestA\\B"));
    EXPECT_TRUE(IsDirectory(L"C:\\TarvoTestA\\B"));
    RemoveTree(L"C:\\TarvoTestA");
}

TEST_F(InstallTest, InstallsTheWholeLayoutAndTurnsTheWindowToItsFinishedState)
{
    DWORD type;
    Bytes data;

    InstallNow();
    EXPECT_EQ(application, ReadBytes(gAppPath));
    EXPECT_EQ(setupFile, ReadBytes(gUninstallPath));
    EXPECT_TRUE(Exists(DesktopLink()));
    EXPECT_TRUE(Exists(StartMenuLink()));
    EXPECT_TRUE(ReadRegistryValue(HKEY_CURRENT_USER, kUninstallKeyPath, L"UninstallString", &type, &data));
    EXPECT_EQ(1, gInstalled);
    EXPECT_EQ(1000, SendMessageW(gProgress, PBM_GETPOS, 0, 0));
    EXPECT_EQ(0u, Text(gStatus).find(L"Kurulum tamamlandı."));
    EXPECT_EQ(L"Programı Aç", Text(gInstallButton));
    EXPECT_EQ(L"Kapat", Text(gCancelButton));
    EXPECT_TRUE(IsWindowEnabled(gInstallButton));
    EXPECT_TRUE(IsWindowEnabled(gCancelButton));

    EXPECT_FALSE(Exists(gPartialPath));

    // A reinstall replaces both files, also when the setup file came from
    // read-only media and so did the uninstaller copied from it.
    ASSERT_TRUE(WriteBytes(gAppPath, Bytes(10, 7)));
    ASSERT_TRUE(SetFileAttributesW(gUninstallPath, FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(SetFileAttributesW(gSelfPath, FILE_ATTRIBUTE_READONLY));
    gInstalled = 0;
    InstallNow();
    EXPECT_EQ(1, gInstalled);
    EXPECT_EQ(application, ReadBytes(gAppPath));
    EXPECT_EQ(setupFile, ReadBytes(gUninstallPath));
    EXPECT_EQ(0u, GetFileAttributesW(gUninstallPath) & FILE_ATTRIBUTE_READONLY);
    SetFileAttributesW(gSelfPath, FILE_ATTRIBUTE_NORMAL);
}

// A passive window shows no box and closes itself, the progress at its end
// and its exit code the outcome's; after a failure too, when the earlier
// application stays.
TEST_F(InstallTest, APassiveWindowClosesItselfWithTheOutcomesExitCode)
{
    Bytes damaged = setupFile;
    damaged[4099] ^= 1;
    gRunMode = RUN_PASSIVE;
    gProgress = CreateProgressRecorder();
    {
        BoxAnswerer answerer({IDOK});
        InstallNow();
        EXPECT_TRUE(answerer.Seen().empty());
    }
    EXPECT_FALSE(IsWindow(gMain));
    EXPECT_EQ(0, gExitCode);
    EXPECT_EQ(application, ReadBytes(gAppPath));
    ASSERT_FALSE(RecordedProgress().empty());
    EXPECT_EQ((UINT)PBM_SETPOS, RecordedProgress().back().message);
    EXPECT_EQ(1000u, RecordedProgress().back().wParam);

    ASSERT_TRUE(WriteBytes(gSelfPath, damaged));
    {
        BoxAnswerer answerer({IDOK});
        InstallNow();
        EXPECT_TRUE(answerer.Seen().empty());
    }
    EXPECT_EQ(EXIT_PACKAGE_DAMAGED, gExitCode);
    EXPECT_EQ(application, ReadBytes(gAppPath));
    DestroyWindow(gProgress);
}

// A scanner that holds the earlier application for a moment delays the
// reinstall, which tries again and succeeds. Held past the retries, the
// earlier uninstaller or the earlier application fails the upgrade with the
// earlier installation exactly as it was, its uninstaller included: both new
// files are staged before either is moved, and a move that fails takes back
// the one before it. The cause is the failing call's own error, not a
// running application.
TEST_F(InstallTest, BriefLocksAreWaitedOutAndALastingOneKeepsTheEarlierInstallation)
{
    const std::wstring log = Path(L"install.log");
    DWORD type;
    Bytes data;

    lstrcpynW(gLogPath, log.c_str(), SETUP_PATH_CAPACITY);
    InstallNow();
    ASSERT_EQ(1, gInstalled);
    gInstalled = 0;
    {
        BriefHold scanner(gAppPath, log);
        InstallNow();
    }
    EXPECT_EQ(1, gInstalled);
    EXPECT_NE(std::string::npos, FileText(log).find("\tmove\t" + WideToUtf8(gAppPath) + "\theld by another program (error "))
        << FileText(log);
    EXPECT_NE(std::string::npos, FileText(log).find("\treplace application\t" + WideToUtf8(gAppPath) + "\tok"));

    RegDeleteKeyW(HKEY_CURRENT_USER, kUninstallKeyPath);
    const Bytes earlierSetup = setupFile;
    ASSERT_TRUE(WriteBytes(gSelfPath, PackageFile(RandomBytes(4099, 8), RandomBytes(9000, 9))));
    const struct {
        std::wstring held;
        const char *failedLine;
    } holds[] = {
        {gUninstallPath, "\tplace uninstaller\t"},
        {gAppPath, "\treplace application\t"},
    };
    for (const auto &hold : holds) {
        SCOPED_TRACE(WideToUtf8(hold.held));
        gInstalled = 0;
        {
            BriefHold scanner(hold.held, L"");
            BoxAnswerer answerer({IDOK});
            InstallNow();
            ASSERT_EQ(1u, answerer.Seen().size());
            // The cause is the system's own message, not a running
            // application, and the log is named.
            EXPECT_EQ(0u, answerer.Seen()[0].text.find(L"Kurulum tamamlanamadı. "));
            EXPECT_EQ(std::wstring::npos, answerer.Seen()[0].text.find(L"açıksa"));
            EXPECT_NE(std::wstring::npos, answerer.Seen()[0].text.find(log)) << WideToUtf8(answerer.Seen()[0].text);
        }
        EXPECT_EQ(0, gInstalled);
        EXPECT_EQ(L"Kurulum tamamlanamadı.", Text(gStatus));
        EXPECT_EQ(application, ReadBytes(gAppPath));
        EXPECT_EQ(earlierSetup, ReadBytes(gUninstallPath));
        EXPECT_FALSE(Exists(gPartialPath));
        EXPECT_FALSE(Exists(gPartialUninstallPath));
        EXPECT_FALSE(Exists(gKeptUninstallPath));
        EXPECT_FALSE(ReadRegistryValue(HKEY_CURRENT_USER, kUninstallKeyPath, L"UninstallString", &type, &data));
        EXPECT_NE(std::string::npos, FileText(log).find(hold.failedLine + WideToUtf8(hold.held) + "\tfailed: error "));
        EXPECT_NE(std::string::npos, FileText(log).find("exit code 1603"));
    }
}

// A newer installed version is replaced only with a Yes to a box that
// names both versions; No changes nothing.
TEST_F(InstallTest, ANewerInstalledVersionIsReplacedOnlyWithLeave)
{
    HKEY key;

    InstallNow();
    ASSERT_EQ(1, gInstalled);
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, kUninstallKeyPath, 0, KEY_SET_VALUE, &key));
    RegSetValueExW(key, L"DisplayVersion", 0, REG_SZ, (const BYTE *)L"1.0.10", 14);
    RegCloseKey(key);
    ASSERT_TRUE(WriteBytes(gAppPath, Bytes(10, 7)));
    for (int answer : {IDNO, IDYES}) {
        gInstalled = 0;
        BoxAnswerer answerer({answer});
        InstallNow();
        ASSERT_EQ(1u, answerer.Seen().size());
        EXPECT_TRUE(answerer.Seen()[0].hasYesNo);
        EXPECT_NE(std::wstring::npos, answerer.Seen()[0].text.find(L"Tarvo Markwise 1.0.10 kurulu"));
        EXPECT_NE(std::wstring::npos, answerer.Seen()[0].text.find(L"1.0.2 sürümünü"));
        EXPECT_EQ(answer == IDYES, gInstalled == 1);
        EXPECT_EQ(answer == IDYES ? application : Bytes(10, 7), ReadBytes(gAppPath));
    }
}

// A folder that cannot be made is named in the box.
TEST_F(InstallTest, TheErrorBoxNamesTheFolderThatCannotBeMade)
{
    wchar_t cause[SETUP_PATH_CAPACITY + 64];

    SetPathGlobals(Path(L"blocked\\Tarvo Markwise"), gSelfPath);
    ASSERT_TRUE(WriteBytes(Path(L"blocked"), Bytes(1, 0)));
    BoxAnswerer answerer({IDOK});
    InstallNow();
    ASSERT_EQ(1u, answerer.Seen().size());
    swprintf(cause, SETUP_PATH_CAPACITY + 64, kFolderCause, gInstallDir);
    EXPECT_EQ(std::wstring(L"Kurulum tamamlanamadı. ") + cause, answerer.Seen()[0].text);
}

TEST_F(InstallTest, ASetupFileWithoutPackageReportsOnceAndKeepsAnEarlierApplication)
{
    ASSERT_EQ(1, EnsureDirectory(gInstallDir));
    ASSERT_TRUE(WriteBytes(gAppPath, Bytes(50, 9)));
    ASSERT_TRUE(WriteBytes(gSelfPath, RandomBytes(5000, 3)));
    {
        BoxAnswerer answerer({IDOK});
        InstallNow();
        std::vector<SeenBox> boxes = answerer.Seen();
        ASSERT_EQ(1u, boxes.size());
        EXPECT_EQ(L"Tarvo Markwise 1.0.2 Kurulumu", boxes[0].caption);
        EXPECT_EQ(std::wstring(L"Kurulum tamamlanamadı. ") + kDamagedPackageCause, boxes[0].text);
        EXPECT_FALSE(boxes[0].hasYesNo);
    }
    EXPECT_EQ(L"Kurulum tamamlanamadı.", Text(gStatus));
    EXPECT_EQ(L"Kur", Text(gInstallButton));
    EXPECT_EQ(L"Vazgeç", Text(gCancelButton));
    EXPECT_TRUE(IsWindowEnabled(gInstallButton));
    EXPECT_TRUE(IsWindowEnabled(gCancelButton));
    EXPECT_EQ(0, gInstalled);
    EXPECT_EQ(Bytes(50, 9), ReadBytes(gAppPath));
    EXPECT_FALSE(Exists(gUninstallPath));
    EXPECT_FALSE(Exists(DesktopLink()));
}

// A reinstall with the application open asks first. No changes nothing; Yes
// closes it through its window and installs; a copy that refuses to close
// ends in the error box after the wait, with nothing changed. A program of
// the same name in another folder is no reason to ask.
TEST_F(InstallTest, ARunningApplicationIsClosedOnlyWithTheUsersLeave)
{
    const std::wstring elsewhere = Path(L"elsewhere\\TarvoMarkwise.exe");

    InstallNow();
    ASSERT_EQ(1, gInstalled);
    gInstalled = 0;
    CreateDirectoryW(Path(L"elsewhere").c_str(), NULL);
    ASSERT_TRUE(WriteBytes(elsewhere, application));
    StandIn other = StartStandIn(elsewhere, scratch);
    ASSERT_TRUE(WaitForStandInStarts(1, 10000));
    {
        BoxAnswerer answerer({IDNO});
        InstallNow();
        EXPECT_EQ(0u, answerer.Seen().size());
    }
    ASSERT_EQ(1, gInstalled);
    gInstalled = 0;

    ASSERT_TRUE(WriteBytes(Path(L"old.exe"), Bytes(1, 1)));
    StandIn running = StartStandIn(gAppPath, gInstallDir);
    ASSERT_TRUE(WaitForStandInStarts(2, 10000));
    SetWindowTextW(gStatus, kReadyStatus);
    {
        BoxAnswerer answerer({IDNO});
        InstallNow();
        ASSERT_EQ(1u, answerer.Seen().size());
        EXPECT_EQ(kCloseApplicationQuestion, answerer.Seen()[0].text);
        EXPECT_TRUE(answerer.Seen()[0].hasYesNo);
    }
    EXPECT_EQ(0, gInstalled);
    EXPECT_EQ(kReadyStatus, Text(gStatus));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(running.process, 0));
    EXPECT_EQ(0u, StandInEnds().size());

    {
        BoxAnswerer answerer({IDYES});
        InstallNow();
        EXPECT_EQ(1u, answerer.Seen().size());
    }
    EXPECT_EQ(1, gInstalled);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(running.process, 10000));
    EXPECT_EQ(std::vector<std::wstring>({L"close"}), StandInEnds());
    EXPECT_EQ(application, ReadBytes(gAppPath));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(other.process, 0));
    gInstalled = 0;

    StandInsRefuseToClose(true);
    StandIn refusing = StartStandIn(gAppPath, gInstallDir);
    StandInsRefuseToClose(false);
    ASSERT_TRUE(WaitForStandInStarts(3, 10000));
    ASSERT_TRUE(WriteBytes(gSelfPath, PackageFile(RandomBytes(4099, 5), RandomBytes(7000, 6))));
    // While it waits, the window answers another program asking for its
    // status, which says what it waits for, with both buttons disabled.
    bool sawWaiting = false;
    std::thread watcher([&] {
        wchar_t status[128] = {0};
        DWORD_PTR length = 0;
        for (int i = 0; i < 1600 && !sawWaiting; ++i, Sleep(25)) {
            SendMessageTimeoutW(gStatus, WM_GETTEXT, 128, (LPARAM)status, SMTO_ABORTIFHUNG, 1000, &length);
            sawWaiting = kWaitingForApplicationStatus == std::wstring(status) && !IsWindowEnabled(gInstallButton) &&
                         !IsWindowEnabled(gCancelButton);
        }
    });
    {
        BoxAnswerer answerer({IDYES, IDOK});
        InstallNow();
        watcher.join();
        EXPECT_TRUE(sawWaiting);
        ASSERT_EQ(2u, answerer.Seen().size());
        EXPECT_EQ(std::wstring(L"Kurulum tamamlanamadı. ") + kApplicationOpenCause, answerer.Seen()[1].text);
    }
    EXPECT_EQ(0, gInstalled);
    EXPECT_EQ(1, StandInRefusals());
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(refusing.process, 0));
    EXPECT_EQ(application, ReadBytes(gAppPath));
    EXPECT_EQ(setupFile, ReadBytes(gUninstallPath));
    EXPECT_FALSE(Exists(gPartialPath));
    EXPECT_TRUE(IsWindowEnabled(gInstallButton));
    EXPECT_TRUE(IsWindowEnabled(gCancelButton));
    CloseStandIns();
    for (HANDLE process : {other.process, running.process, refusing.process}) CloseHandle(process);
}

// A copy in another session of the user's cannot be asked to close from
// this one: nothing is asked, nothing waits for it, and the run ends at once
// naming that session, as an unattended run does with 32 and an uninstall;
// and so with a copy in this session that may not be opened.
TEST_F(InstallTest, ACopyInAnotherSessionEndsTheRunAtOnceNamingIt)
{
    SetupRequest request = {1, NULL, 0};

    InstallFaultLayer();
    InstallNow();
    ASSERT_EQ(1, gInstalled);
    gInstalled = 0;
    StandIn elsewhere = StartStandIn(gAppPath, gInstallDir);
    ASSERT_TRUE(WaitForStandInStarts(1, 10000));
    PretendOtherSession(elsewhere.id);
    {
        BoxAnswerer answerer({IDOK});
        InstallNow();
        ASSERT_EQ(1u, answerer.Seen().size());
        EXPECT_EQ(std::wstring(L"Kurulum tamamlanamadı. ") + kApplicationElsewhereCause, answerer.Seen()[0].text);
    }
    SetupOutcome install = RunInstall(&request);
    SetupOutcome uninstall = RemoveInstallation(&request);
    PretendOtherSession(0);
    // So does a copy of this session that this setup may not open (one
    // started elevated): it cannot be told apart, so it counts.
    RefuseToOpen(elsewhere.id);
    SetupOutcome unopened = RunInstall(&request);
    RefuseToOpen(0);
    EXPECT_EQ(EXIT_APPLICATION_RUNNING, ExitCodeFor(&unopened));
    EXPECT_EQ(EXIT_APPLICATION_RUNNING, ExitCodeFor(&install));
    EXPECT_EQ(1, install.elsewhereApplications);
    EXPECT_EQ(EXIT_APPLICATION_RUNNING, ExitCodeFor(&uninstall));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(elsewhere.process, 0));
    EXPECT_EQ(0u, StandInEnds().size());
    EXPECT_EQ(0, gInstalled);
    EXPECT_EQ(application, ReadBytes(gAppPath));
    EXPECT_TRUE(Exists(gUninstallPath));
    CloseStandIns();
    CloseHandle(elsewhere.process);
}

// The name of the program that started the first running copy of the
// installed application, or empty.
static std::wstring ParentOfApplication(void)
{
    PROCESSENTRY32W entry = {sizeof entry};
    std::map<DWORD, PROCESSENTRY32W> processes;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    std::wstring parent;

    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry))
        processes[entry.th32ProcessID] = entry;
    CloseHandle(snapshot);
    for (const auto &process : processes) {
        HANDLE opened = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process.first);
        wchar_t image[MAX_PATH] = {0};
        DWORD length = MAX_PATH;
        bool ours = opened && QueryFullProcessImageNameW(opened, 0, image, &length) && _wcsicmp(image, gAppPath) == 0;
        if (opened) CloseHandle(opened);
        auto found = processes.find(process.second.th32ParentProcessID);
        if (ours && found != processes.end()) parent = found->second.szExeFile;
        if (ours) break;
    }
    return parent;
}

// An elevated setup run for the user signed in to this desktop has the
// desktop's shell start the application, as Explorer starts programs: it
// runs in the install folder, a child of the shell's process, with that
// process's token. Wine shows the start and the parent; it cannot show the
// token being the user's unelevated one, since its shell is elevated too.
TEST_F(InstallTest, TheDesktopsShellStartsTheApplicationInItsFolder)
{
    wchar_t temp[MAX_PATH];

    InstallNow();
    ASSERT_EQ(1, gInstalled);
    // A program the shell starts has the shell's environment, not this
    // process's: the stand-in keeps its record at its default place.
    GetTempPathW(MAX_PATH, temp);
    UseStandInRecord(std::wstring(temp) + L"TarvoStandin.txt");
    gAccountContext = CONTEXT_ELEVATED_AS_USER;
    int started = StartApplication(NULL);
    gAccountContext = CONTEXT_NOT_ELEVATED;
    ASSERT_EQ(1, started);
    ASSERT_TRUE(WaitForStandInStarts(1, 20000));
    EXPECT_EQ(0, _wcsicmp(gInstallDir, StandInStarts()[0].directory.c_str()));
    EXPECT_EQ(0, _wcsicmp(L"explorer.exe", ParentOfApplication().c_str())) << WideToUtf8(ParentOfApplication());
    CloseStandIns();
}
