// A reinstall onto a drive too small for the new application: the error box,
// the earlier application whole and runnable, the space given back, and a
// later install with room works.
#include "fault_layer.h"
#include "test_support.h"

TEST_F(InstallTest, AFullDiskKeepsTheEarlierApplicationAndALaterInstallWithRoomWorks)
{
    ULARGE_INTEGER freeBefore, freeAfter;
    std::wstring roomy = gInstallDir;
    Bytes earlier = application;
    Bytes larger = RandomBytes(3 << 20, 77);

    if (!GetDiskFreeSpaceExW(L"T:\\", &freeBefore, NULL, NULL)) {
        Bytes reason = ReadBytes(BuildFile(L"wine\\small-drive.skip"));
        GTEST_SKIP() << "no small drive T: " << std::string(reason.begin(), reason.end());
    }
    ASSERT_LT(freeBefore.QuadPart, 2u << 20);
    SetPathGlobals(L"T:\\Programs\\Tarvo Markwise", gSelfPath);
    InstallNow();
    ASSERT_EQ(1, gInstalled);
    ASSERT_TRUE(GetDiskFreeSpaceExW(L"T:\\", &freeBefore, NULL, NULL));

    gInstalled = 0;
    ASSERT_TRUE(WriteBytes(gSelfPath, PackageFile(RandomBytes(4099, 78), larger)));
    {
        BoxAnswerer answerer({IDOK});
        InstallNow();
        ASSERT_EQ(1u, answerer.Seen().size());
        // The room is checked before a byte is written: the box names the
        // drive, the room needed (both new files) and the room free.
        std::wstring text = answerer.Seen()[0].text;
        EXPECT_EQ(0u, text.find(L"Kurulum tamamlanamadı. T:\\ sürücüsünde yeterli boş alan yok: kurulum için "))
            << WideToUtf8(text);
        wchar_t needed[32];
        // Where the volume may have no hard links, the earlier uninstaller's
        // copy counts too.
        unsigned long long bytes = larger.size() + setupFile.size() - application.size() + larger.size();
        wchar_t features[1] = {0};
        DWORD flags = 0;
        if (!GetVolumeInformationW(L"T:\\", NULL, 0, NULL, NULL, &flags, features, 0) || !(flags & FILE_SUPPORTS_HARD_LINKS))
            bytes += setupFile.size();
        swprintf(needed, 32, L"%llu,%llu MB gerekiyor", ((bytes * 10 + (1 << 20) - 1) >> 20) / 10,
                 ((bytes * 10 + (1 << 20) - 1) >> 20) % 10);
        EXPECT_NE(std::wstring::npos, text.find(needed)) << WideToUtf8(text);
    }
    EXPECT_EQ(L"Kurulum tamamlanamadı.", Text(gStatus));
    EXPECT_EQ(earlier, ReadBytes(gAppPath));
    EXPECT_EQ(setupFile, ReadBytes(gUninstallPath));
    EXPECT_FALSE(Exists(gPartialPath));
    ASSERT_TRUE(GetDiskFreeSpaceExW(L"T:\\", &freeAfter, NULL, NULL));
    EXPECT_EQ(freeAfter.QuadPart, freeBefore.QuadPart);
    EXPECT_TRUE(ApplicationRuns(gAppPath, gInstallDir));
    RemoveTree(L"T:\\Programs");

    // A drive that fills while the uninstaller is written (something else
    // took the room after the check): the disk-full error names the
    // outcome, and nothing staged stays.
    Bytes half = RandomBytes(600 << 10, 79);
    ASSERT_TRUE(WriteBytes(gSelfPath, PackageFile(RandomBytes(4099, 80), half)));
    ASSERT_EQ(1, EnsureDirectory(gInstallDir));
    SetupOutcome outcome = {STEP_NONE, 0, 0, 0, 0};
    EXPECT_EQ(0, ExtractApplication(&outcome));
    EXPECT_EQ(EXIT_DISK_FULL, ExitCodeFor(&outcome));
    EXPECT_FALSE(Exists(gPartialUninstallPath));
    EXPECT_FALSE(Exists(gPartialPath));
    RemoveTree(L"T:\\Programs");
    ASSERT_TRUE(WriteBytes(gSelfPath, PackageFile(RandomBytes(4099, 78), larger)));

    SetPathGlobals(roomy, gSelfPath);
    InstallNow();
    EXPECT_EQ(1, gInstalled);
    EXPECT_EQ(larger, ReadBytes(gAppPath));
}

// The room is measured in the deepest folder of the install path that
// exists, as the system measures it through a junction or a mounted folder
// there: here a folder reported as lying on a drive with 1000 bytes free,
// since Wine takes a link to another file system for a volume of its own and
// so cannot show the difference between a folder and its drive letter.
TEST_F(InstallTest, TheRoomIsMeasuredInTheFolderTheFilesGoTo)
{
    const std::wstring junction = Path(L"junction");
    SetupRequest request = {1, NULL, 0};

    InstallFaultLayer();
    ASSERT_TRUE(CreateDirectoryW(junction.c_str(), NULL));
    SetPathGlobals(junction + L"\\Programs\\Tarvo Markwise", gSelfPath);
    ReportFreeSpace(junction, 1000);
    SetupOutcome outcome = RunInstall(&request);
    ReportFreeSpace(L"", 0);
    EXPECT_EQ(EXIT_DISK_FULL, ExitCodeFor(&outcome));
    EXPECT_EQ(STEP_ROOM, outcome.step);
    EXPECT_EQ(1000u, outcome.availableBytes);
    EXPECT_FALSE(Exists(junction + L"\\Programs"));

    // A volume without hard links keeps the earlier uninstaller by a copy:
    // room for the two new files but not for the copy refuses the update
    // before the running application is touched.
    ASSERT_EQ(STEP_NONE, RunInstall(&request).step);
    StandIn running = StartStandIn(gAppPath, gInstallDir);
    ASSERT_TRUE(running.process) << "the stand-in could not be started: error " << running.error;
    ASSERT_TRUE(WaitForStandInStarts(1, 10000));
    RefuseHardLinks(true);
    ReportFreeSpace(junction, application.size() + setupFile.size() + setupFile.size() / 2);
    outcome = RunInstall(&request);
    ReportFreeSpace(L"", 0);
    RefuseHardLinks(false);
    EXPECT_EQ(STEP_ROOM, outcome.step);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(running.process, 0));
    CloseStandIns();
    CloseHandle(running.process);
}

// A real exFAT volume, which has no hard links: the earlier uninstaller is
// kept by a copy while the new one replaces it, so an update that fails
// while the application is held leaves the earlier installation whole, its
// uninstaller included; the uninstall then removes everything.
TEST_F(InstallTest, OnExfatAFailedUpdateKeepsTheEarlierInstallationWhole)
{
    const std::wstring log = Path(L"exfat.log");
    ULARGE_INTEGER space;

    if (!GetDiskFreeSpaceExW(L"X:\\", &space, NULL, NULL)) {
        Bytes reason = ReadBytes(BuildFile(L"wine\\exfat-drive.skip"));
        GTEST_SKIP() << "no exFAT drive X: " << std::string(reason.begin(), reason.end());
    }
    SetPathGlobals(L"X:\\Programs\\Tarvo Markwise", gSelfPath);
    lstrcpynW(gLogPath, log.c_str(), SETUP_PATH_CAPACITY);
    InstallNow();
    ASSERT_EQ(1, gInstalled);
    EXPECT_TRUE(ApplicationRuns(gAppPath, gInstallDir));

    ASSERT_TRUE(WriteBytes(gSelfPath, PackageFile(RandomBytes(4099, 31), RandomBytes(9000, 32))));
    gInstalled = 0;
    {
        BriefHold held(gAppPath, L"");
        BoxAnswerer answerer({IDOK});
        InstallNow();
        EXPECT_EQ(1u, answerer.Seen().size());
    }
    EXPECT_EQ(0, gInstalled);
    EXPECT_EQ(application, ReadBytes(gAppPath));
    EXPECT_EQ(setupFile, ReadBytes(gUninstallPath));
    for (const wchar_t *staged : {gPartialPath, gPartialUninstallPath, gKeptUninstallPath}) EXPECT_FALSE(Exists(staged));
    EXPECT_NE(std::string::npos, FileText(log).find("no second name here")) << FileText(log);

    gUninstallMode = 1;
    gRunMode = RUN_SILENT;
    SetupOutcome outcome = RunUnattended();
    EXPECT_EQ(STEP_NONE, outcome.step) << FileText(log);
    EXPECT_TRUE(WaitForInterpretersOf(GetCurrentProcessId(), 15000));
    EXPECT_FALSE(Exists(gInstallDir));
    RemoveTree(L"X:\\Programs");
}
