// An install onto a drive too small for the application: the error box, no
// partial executable, and a later install with room works.
#include "test_support.h"

TEST_F(InstallTest, AFullDiskFailsCleanlyAndALaterInstallWithRoomWorks)
{
    ULARGE_INTEGER freeBefore, freeAfter;
    std::wstring roomy = gInstallDir;

    if (!GetDiskFreeSpaceExW(L"T:\\", &freeBefore, NULL, NULL)) {
        Bytes reason = ReadBytes(BuildFile(L"wine\\small-drive.skip"));
        GTEST_SKIP() << "no small drive T: " << std::string(reason.begin(), reason.end());
    }
    ASSERT_LT(freeBefore.QuadPart, 2u << 20);
    application = RandomBytes(3 << 20, 77);
    setupFile = PackageFile(RandomBytes(4099, 78), application);
    ASSERT_TRUE(WriteBytes(gSelfPath, setupFile));
    SetPathGlobals(L"T:\\Programs\\Tarvo Markwise", gSelfPath);
    {
        BoxAnswerer answerer({IDOK});
        InstallNow();
        ASSERT_EQ(1u, answerer.Seen().size());
        EXPECT_EQ(L"Kurulum tamamlanamadı. Tarvo Markwise açıksa kapatıp kurulumu yeniden çalıştırın.",
                  answerer.Seen()[0].text);
    }
    EXPECT_EQ(L"Kurulum tamamlanamadı.", Text(gStatus));
    EXPECT_FALSE(Exists(gAppPath));
    EXPECT_FALSE(Exists(gUninstallPath));
    ASSERT_TRUE(GetDiskFreeSpaceExW(L"T:\\", &freeAfter, NULL, NULL));
    EXPECT_GE(freeAfter.QuadPart + 65536, freeBefore.QuadPart);
    RemoveTree(L"T:\\Programs");

    SetPathGlobals(roomy, gSelfPath);
    InstallNow();
    EXPECT_EQ(1, gInstalled);
    EXPECT_EQ(application, ReadBytes(gAppPath));
}
