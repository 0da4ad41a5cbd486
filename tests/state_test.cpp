// Setup state: the bounded formatter, the mode rule and the derived paths.
#include "test_support.h"

#include <shlobj.h>

TEST(BoundedFormatter, CutsAtCapacityMinusOneAndAlwaysTerminates)
{
    wchar_t buffer[8];

    wmemset(buffer, L'#', 8);
    EXPECT_EQ(7, FormatText(buffer, 8, L"%ls-%ls", L"abcdef", L"ghijk"));
    EXPECT_STREQ(L"abcdef-", buffer);

    wmemset(buffer, L'#', 8);
    EXPECT_EQ(7, FormatText(buffer, 8, L"%ls", L"1234567"));
    EXPECT_STREQ(L"1234567", buffer);

    wmemset(buffer, L'#', 8);
    EXPECT_EQ(7, FormatText(buffer, 8, L"%ls", L"12345678"));
    EXPECT_STREQ(L"1234567", buffer);

    wmemset(buffer, L'#', 8);
    EXPECT_EQ(0, FormatText(buffer, 1, L"%ls", L"abc"));
    EXPECT_EQ(L'\0', buffer[0]);
    EXPECT_EQ(L'#', buffer[1]);

    EXPECT_EQ(5, FormatText(buffer, 8, L"%ls", L"ışğüç"));
    EXPECT_STREQ(L"ışğüç", buffer);
}

TEST(ModeRule, CommandLineSwitchAnywhereSelectsUninstall)
{
    EXPECT_EQ(1, SelectUninstallMode(L"\"C:\\x\\TarvoMarkwiseKaldir.exe\" --uninstall", L"C:\\x\\Setup.exe"));
    EXPECT_EQ(1, SelectUninstallMode(L"Setup.exe --uninstallnow", L"C:\\x\\Setup.exe"));
    EXPECT_EQ(1, SelectUninstallMode(L"\"C:\\--uninstall\\Setup.exe\"", L"C:\\--uninstall\\Setup.exe"));
    EXPECT_EQ(0, SelectUninstallMode(L"Setup.exe --UNINSTALL -uninstall /uninstall", L"C:\\x\\Setup.exe"));
    EXPECT_EQ(0, SelectUninstallMode(L"", L"C:\\x\\Setup.exe"));
}

TEST(ModeRule, OnlyTheFileNameCountsAndCaseMatters)
{
    EXPECT_EQ(1, SelectUninstallMode(L"x", L"C:\\x\\TarvoMarkwiseKaldir.exe"));
    EXPECT_EQ(1, SelectUninstallMode(L"x", L"C:\\x\\Uninstall.exe"));
    EXPECT_EQ(1, SelectUninstallMode(L"x", L"C:\\x\\myUninstaller2.exe"));
    EXPECT_EQ(1, SelectUninstallMode(L"x", L"KaldirSetup.exe"));
    EXPECT_EQ(0, SelectUninstallMode(L"x", L"C:\\x\\kaldir.exe"));
    EXPECT_EQ(0, SelectUninstallMode(L"x", L"C:\\x\\uninstall.exe"));
    EXPECT_EQ(0, SelectUninstallMode(L"x", L"C:\\Kaldir\\Uninstall Files\\Setup.exe"));
    EXPECT_EQ(0, SelectUninstallMode(L"x", L"C:\\Uninstall\\"));
}

TEST(DerivedPaths, FollowTheLocalApplicationDataFolder)
{
    SavedState saved;

    DeriveInstallPaths(L"C:\\Users\\Ayşe\\AppData\\Local");
    EXPECT_STREQ(L"C:\\Users\\Ayşe\\AppData\\Local\\Programs\\Tarvo Markwise", gInstallDir);
    EXPECT_STREQ(L"C:\\Users\\Ayşe\\AppData\\Local\\Programs\\Tarvo Markwise\\TarvoMarkwise.exe", gAppPath);
    EXPECT_STREQ(L"C:\\Users\\Ayşe\\AppData\\Local\\Programs\\Tarvo Markwise\\TarvoMarkwiseKaldir.exe", gUninstallPath);

    EXPECT_EQ(1, InstallPathsWhole());

    DeriveInstallPaths(L"");
    EXPECT_STREQ(L"\\Programs\\Tarvo Markwise", gInstallDir);
}

TEST(DerivedPaths, LongFoldersAreCutAt259Characters)
{
    SavedState saved;
    std::wstring folder = L"C:\\" + std::wstring(240, L'a');
    std::wstring full = folder + L"\\Programs\\Tarvo Markwise";

    DeriveInstallPaths(folder.c_str());
    EXPECT_EQ(259u, wcslen(gInstallDir));
    EXPECT_EQ(full.substr(0, 259), gInstallDir);
    EXPECT_STREQ(gInstallDir, gAppPath);
    EXPECT_STREQ(gInstallDir, gUninstallPath);
    EXPECT_EQ(0, InstallPathsWhole());

    folder = L"C:\\" + std::wstring(220, L'b');
    DeriveInstallPaths(folder.c_str());
    EXPECT_EQ(folder + L"\\Programs\\Tarvo Markwise", gInstallDir);
    EXPECT_EQ(259u, wcslen(gAppPath));
    EXPECT_EQ((std::wstring(gInstallDir) + L"\\TarvoMarkwise.exe").substr(0, 259), gAppPath);
    EXPECT_EQ((std::wstring(gInstallDir) + L"\\TarvoMarkwiseKaldir.exe").substr(0, 259), gUninstallPath);
    EXPECT_EQ(0, InstallPathsWhole());

    // The longest path that still fits whole.
    folder = L"C:\\" + std::wstring(259 - 3 - 24 - 24, L'c');
    DeriveInstallPaths(folder.c_str());
    EXPECT_EQ(259u, wcslen(gUninstallPath));
    EXPECT_EQ(1, InstallPathsWhole());
}

TEST(InitSetupState, ReadsThisProcessAndTheProfile)
{
    SavedState saved;
    wchar_t module[MAX_PATH];
    wchar_t local[MAX_PATH] = {0};

    GetModuleFileNameW(NULL, module, MAX_PATH);
    SHGetFolderPathW(NULL, CSIDL_LOCAL_APPDATA, NULL, SHGFP_TYPE_CURRENT, local);
    RemoveTree(std::wstring(local) + L"\\Programs\\Tarvo Markwise");

    InitSetupState();
    EXPECT_STREQ(module, gSelfPath);
    EXPECT_EQ(std::wstring(local) + L"\\Programs\\Tarvo Markwise", gInstallDir);
    EXPECT_EQ(0, gUninstallMode);
    EXPECT_EQ(0, gExistingInstall);

    // Anything at the application path, a folder too, counts as installed.
    ASSERT_EQ(1, EnsureDirectory(gAppPath));
    InitSetupState();
    EXPECT_EQ(1, gExistingInstall);
    RemoveTree(gInstallDir);
}
