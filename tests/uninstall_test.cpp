// The uninstall procedure: confirmation, removals, the completion box and the
// deferred removal of the uninstaller and its folder.
#include "test_support.h"
#include "texts.h"

#include <shlobj.h>

class UninstallTest : public InstallTest {
protected:
    void SetUp() override
    {
        InstallTest::SetUp();
        InstallNow();
        ASSERT_EQ(1, gInstalled);
        // As when the installed uninstaller runs.
        lstrcpynW(gSelfPath, gUninstallPath, SETUP_PATH_CAPACITY);
        GetEnvironmentVariableW(L"ComSpec", comSpec, MAX_PATH);
    }
    void TearDown() override
    {
        SetEnvironmentVariableW(L"ComSpec", comSpec);
        InstallTest::TearDown();
    }
    std::vector<SeenBox> Uninstall(std::vector<int> answers)
    {
        BoxAnswerer answerer(answers);
        UninstallNow();
        return answerer.Seen();
    }
    bool EntryExists()
    {
        DWORD type;
        Bytes data;
        return ReadRegistryValue(HKEY_CURRENT_USER, kUninstallKeyPath, L"DisplayName", &type, &data);
    }
    void ExpectInstalled()
    {
        EXPECT_TRUE(Exists(DesktopLink()));
        EXPECT_TRUE(Exists(StartMenuLink()));
        EXPECT_TRUE(Exists(gAppPath));
        EXPECT_TRUE(Exists(gUninstallPath));
        EXPECT_TRUE(EntryExists());
        EXPECT_TRUE(IsWindow(gMain));
    }
    // Where this process moves the uninstaller before handing it over.
    std::wstring MovedAside()
    {
        wchar_t name[32];
        swprintf(name, 32, L"\\TarvoMarkwiseKaldir.%lx.del", (unsigned long)GetCurrentProcessId());
        return std::wstring(gInstallDir) + name;
    }
    wchar_t comSpec[MAX_PATH] = {0};
};

static const wchar_t kQuestion[] = L"Tarvo Markwise kaldırılsın mı?\n\n";
static const wchar_t kDone[] = L"Tarvo Markwise kaldırıldı.";

TEST_F(UninstallTest, AnsweringNoChangesNothing)
{
    std::vector<SeenBox> boxes = Uninstall({IDNO});

    ASSERT_EQ(1u, boxes.size());
    EXPECT_EQ(L"Tarvo Markwise Kaldırma", boxes[0].caption);
    EXPECT_EQ(0u, boxes[0].text.find(kQuestion));
    EXPECT_GT(boxes[0].text.size(), wcslen(kQuestion));
    EXPECT_TRUE(boxes[0].hasYesNo);
    ExpectInstalled();
    // A removal started all the same would have run its course by now.
    EXPECT_TRUE(WaitForInterpretersOf(GetCurrentProcessId(), 15000));
    EXPECT_TRUE(Exists(gUninstallPath));
}

TEST_F(UninstallTest, YesRemovesEverythingAndTheDeferredCommandTheRest)
{
    HANDLE stopEvent = CreateEventW(NULL, TRUE, FALSE, L"Local\\TarvoRelay_Stop_v1");
    std::wstring agentFile = std::wstring(gInstallDir) + L"\\TarvoRelay.exe";

    ASSERT_TRUE(WriteBytes(agentFile, Bytes(5, 5)));
    // Left by an install that was ended while it copied.
    ASSERT_TRUE(WriteBytes(gPartialPath, Bytes(5, 6)));
    std::vector<SeenBox> boxes = Uninstall({IDYES, IDOK});

    ASSERT_EQ(2u, boxes.size());
    EXPECT_EQ(L"Tarvo Markwise Kaldırma", boxes[1].caption);
    EXPECT_EQ(0u, boxes[1].text.find(kDone));
    EXPECT_GT(boxes[1].text.size(), wcslen(kDone));
    EXPECT_FALSE(boxes[1].hasYesNo);
    EXPECT_FALSE(Exists(DesktopLink()));
    EXPECT_FALSE(Exists(StartMenuFolder()));
    EXPECT_FALSE(Exists(gAppPath));
    EXPECT_FALSE(Exists(gPartialPath));
    EXPECT_FALSE(Exists(agentFile));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(stopEvent, 0));
    EXPECT_FALSE(EntryExists());
    EXPECT_FALSE(IsWindow(gMain));
    // The uninstaller is moved aside at once, and the interpreter deletes it
    // under that name about two seconds later.
    EXPECT_FALSE(Exists(gUninstallPath));
    EXPECT_TRUE(Exists(MovedAside()));
    EXPECT_TRUE(WaitUntilGone(MovedAside(), 15000));
    EXPECT_TRUE(WaitUntilGone(gInstallDir, 5000));
    CloseHandle(stopEvent);
}

// A scanner holding the application for a moment delays its delete, which
// is tried again.
TEST_F(UninstallTest, ABriefLockOnTheApplicationIsWaitedOut)
{
    const std::wstring log = Path(L"uninstall.log");

    lstrcpynW(gLogPath, log.c_str(), SETUP_PATH_CAPACITY);
    SetCurrentDirectoryW(gInstallDir);
    {
        BriefHold scanner(gAppPath, log);
        Uninstall({IDYES, IDOK});
    }
    SetCurrentDirectoryW(scratch.c_str());
    EXPECT_FALSE(Exists(gAppPath));
    EXPECT_FALSE(EntryExists());
    EXPECT_NE(std::string::npos, FileText(log).find("\tdelete\t" + WideToUtf8(gAppPath) + "\theld by another program (error "))
        << FileText(log);
    EXPECT_TRUE(WaitUntilGone(gUninstallPath, 15000));
}

TEST_F(UninstallTest, UserFilesKeepTheirFoldersAndSurvive)
{
    std::wstring userFile = std::wstring(gInstallDir) + L"\\proje.tmw";
    std::wstring otherLink = StartMenuFolder() + L"\\Başka Araç.lnk";

    ASSERT_TRUE(WriteBytes(userFile, Bytes(1234, 0x42)));
    ASSERT_TRUE(WriteBytes(otherLink, Bytes(77, 0x43)));
    Uninstall({IDYES, IDOK});
    EXPECT_FALSE(Exists(StartMenuLink()));
    EXPECT_TRUE(WaitForInterpretersOf(GetCurrentProcessId(), 15000));
    EXPECT_FALSE(Exists(gUninstallPath));
    EXPECT_EQ(Bytes(1234, 0x42), ReadBytes(userFile));
    EXPECT_EQ(Bytes(77, 0x43), ReadBytes(otherLink));
    EXPECT_TRUE(IsDirectory(gInstallDir));
}

TEST_F(UninstallTest, TheInterpreterComesFromComSpecRunsOutsideTheFolderAndGetsThePathsByEnvironment)
{
    wchar_t system[MAX_PATH];
    wchar_t file[MAX_PATH] = {0};
    wchar_t folder[MAX_PATH] = {0};
    const std::wstring expected =
        L"/d /v:off /s /c \"for /l %i in (1,1,600) do @(ping 127.0.0.1 -n 2 > nul & del /f /q \"%TARVO_REMOVE_FILE%\" 2> nul & "
        L"if not exist \"%TARVO_REMOVE_FILE%\" (rmdir /q \"%TARVO_REMOVE_DIR%\" 2> nul & exit))\"";
    std::wstring standIn = Path(L"interpreter.exe");

    ASSERT_TRUE(CopyFileW(BuildFile(L"TarvoStandin.exe").c_str(), standIn.c_str(), FALSE));
    SetEnvironmentVariableW(L"ComSpec", standIn.c_str());
    // Run as the downloaded setup file: the file to delete is still the
    // installed uninstaller, moved aside, not the running one.
    lstrcpynW(gSelfPath, Path(L"TarvoMarkwise_Setup.exe").c_str(), SETUP_PATH_CAPACITY);
    SetCurrentDirectoryW(gInstallDir);
    Uninstall({IDYES, IDOK});
    SetCurrentDirectoryW(scratch.c_str());
    ASSERT_TRUE(WaitForStandInStarts(1, 10000));
    GetSystemDirectoryW(system, MAX_PATH);
    std::vector<StandInStart> starts = StandInStarts();
    EXPECT_EQ(0, _wcsicmp(system, starts[0].directory.c_str())) << WideToUtf8(starts[0].directory);
    EXPECT_NE(std::wstring::npos, starts[0].commandLine.find(expected)) << WideToUtf8(starts[0].commandLine);
    // The interpreter inherits this process's environment.
    GetEnvironmentVariableW(L"TARVO_REMOVE_FILE", file, MAX_PATH);
    GetEnvironmentVariableW(L"TARVO_REMOVE_DIR", folder, MAX_PATH);
    EXPECT_EQ(MovedAside(), file);
    EXPECT_STREQ(gInstallDir, folder);
    CloseStandIns();
}

TEST_F(UninstallTest, WithoutComSpecCmdRemovesTheFolderThatWasTheCurrentDirectory)
{
    SetEnvironmentVariableW(L"ComSpec", NULL);
    // The uninstaller started from inside its folder: the interpreter must
    // not inherit that folder as its current directory.
    SetCurrentDirectoryW(gInstallDir);
    Uninstall({IDYES, IDOK});
    SetCurrentDirectoryW(scratch.c_str());
    EXPECT_TRUE(WaitUntilGone(gUninstallPath, 15000));
    EXPECT_TRUE(WaitUntilGone(gInstallDir, 5000));
}

// The uninstall offers to close a running application instead of refusing:
// No keeps everything; Yes closes it through its window, then removes all.
TEST_F(UninstallTest, ARunningApplicationIsClosedBeforeAnythingIsRemoved)
{
    StandIn running = StartStandIn(gAppPath, gInstallDir);

    ASSERT_NE((HANDLE)NULL, running.process);
    ASSERT_TRUE(WaitForStandInStarts(1, 10000));
    std::vector<SeenBox> boxes = Uninstall({IDYES, IDNO});
    ASSERT_EQ(2u, boxes.size());
    EXPECT_EQ(L"Tarvo Markwise Kaldırma", boxes[1].caption);
    EXPECT_EQ(kCloseApplicationQuestion, boxes[1].text);
    ExpectInstalled();
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(running.process, 0));

    SetCurrentDirectoryW(gInstallDir);
    boxes = Uninstall({IDYES, IDYES, IDOK});
    SetCurrentDirectoryW(scratch.c_str());
    EXPECT_EQ(3u, boxes.size());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(running.process, 10000));
    EXPECT_EQ(std::vector<std::wstring>({L"close"}), StandInEnds());
    EXPECT_FALSE(Exists(gAppPath));
    EXPECT_FALSE(EntryExists());
    EXPECT_TRUE(WaitUntilGone(gUninstallPath, 15000));
    CloseHandle(running.process);
}
