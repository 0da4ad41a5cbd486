// Setup state: the bounded formatter, the mode rule and the derived paths.
#include "fault_layer.h"
#include "test_support.h"

#include <sddl.h>
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

// Versions compare by number, part by part; missing parts count as 0, and a
// version that cannot be read is older than any that can.
TEST(Versions, CompareByNumberPartByPart)
{
    const struct {
        const wchar_t *left, *right;
        int sign;
    } cases[] = {
        {L"1.0.10", L"1.0.2", 1}, {L"1.0.2", L"1.0.10", -1}, {L"1.0.2", L"1.0.2", 0}, {L"1.0", L"1.0.0", 0},
        {L"1.0.2.0", L"1.0.2", 0}, {L"1.0.2.1", L"1.0.2", 1}, {L"0.9", L"1.0.2", -1}, {L"2", L"1.99.99", 1},
        {L"beta", L"1.0.2", -1}, {L"", L"0", -1}, {L"1..2", L"1.0.2", -1}, {L"1.0.2 ", L"0.1", -1},
        {L"beta", L"gamma", 0}, {L"99999999999999999999", L"1", -1},
    };
    for (const auto &c : cases) {
        int result = CompareVersions(c.left, c.right);
        EXPECT_EQ(c.sign, (result > 0) - (result < 0)) << WideToUtf8(c.left) << " vs " << WideToUtf8(c.right);
    }
}

// Wine cannot run a process as a service account, so the classification of
// a token's user is tried on synthetic SIDs.
TEST(Accounts, ServiceAccountsAreToldFromUsers)
{
    const struct {
        const wchar_t *sid;
        int service;
    } cases[] = {
        {L"S-1-5-18", 1}, {L"S-1-5-19", 1}, {L"S-1-5-20", 1},
        {L"S-1-5-21-1004336348-1177238915-682003330-1001", 0}, {L"S-1-5-32-544", 0}, {L"S-1-5-21-0-0-0-1000", 0},
    };
    for (const auto &c : cases) {
        PSID sid = NULL;
        ASSERT_TRUE(ConvertStringSidToSidW(c.sid, &sid));
        EXPECT_EQ(c.service, IsServiceAccount(sid)) << WideToUtf8(c.sid);
        LocalFree(sid);
    }
}

// Whom an elevated setup runs for, over every combination of the facts.
// Wine cannot show most of them: its every process, the shell included, has
// a full token of one user, and a second account or a limited token cannot
// be made there (LogonUserW and CreateProcessWithLogonW are stubs).
TEST(Accounts, TheContextFollowsTheTokenAndTheDesktopsShell)
{
    const struct {
        AccountFacts facts;
        int context;
    } cases[] = {
        {{1, 1, 1, 0, 0, 0}, CONTEXT_SERVICE_ACCOUNT},     {{1, 0, 0, 0, 0, 0}, CONTEXT_SERVICE_ACCOUNT},
        {{0, 0, 0, 0, 0, 0}, CONTEXT_NOT_ELEVATED},        {{0, 0, 1, 0, 1, 0}, CONTEXT_NOT_ELEVATED},
        {{0, 0, 1, 1, 0, 0}, CONTEXT_NOT_ELEVATED},        {{0, 0, 0, 0, 0, 1}, CONTEXT_NOT_ELEVATED},
        {{0, 1, 0, 0, 0, 0}, CONTEXT_NO_UNELEVATED_SHELL}, {{0, 1, 1, 1, 1, 0}, CONTEXT_NO_UNELEVATED_SHELL},
        {{0, 1, 1, 1, 0, 0}, CONTEXT_ELEVATED_AS_USER},    {{0, 1, 1, 0, 0, 0}, CONTEXT_OTHER_ACCOUNT},
        // Another account's shell, elevated (UAC off, a signed-in
        // administrator), is still another account; a shell whose account
        // cannot be read is refused, not run as it is.
        {{0, 1, 1, 0, 1, 0}, CONTEXT_OTHER_ACCOUNT},       {{0, 1, 0, 0, 0, 1}, CONTEXT_SHELL_UNREADABLE},
    };
    for (const auto &c : cases) {
        const AccountFacts &f = c.facts;
        EXPECT_EQ(c.context, DecideAccountContext(&f))
            << "service " << f.service << ", elevated " << f.elevated << ", shell found " << f.shellFound
            << ", same user " << f.shellSameUser << ", shell elevated " << f.shellElevated << ", unreadable "
            << f.shellUnreadable;
    }

    // Under Wine: elevated, and so is the desktop's shell, found by its
    // taskbar (GetShellWindow gives nothing there). A shell that does not
    // answer keeps nothing waiting: nothing is asked of its process.
    HoldShellWindows(true);
    HANDLE reader = CreateThread(NULL, 0, [](void *) -> DWORD { ReadAccountContext(); return 0; }, NULL, 0, NULL);
    DWORD waited = WaitForSingleObject(reader, 30000);
    HoldShellWindows(false);
    WaitForSingleObject(reader, INFINITE);
    CloseHandle(reader);
    EXPECT_EQ(WAIT_OBJECT_0, waited) << "reading the account waited for the shell";
    EXPECT_EQ(CONTEXT_NO_UNELEVATED_SHELL, gAccountContext);
    EXPECT_NE(L"", std::wstring(gRunningAccount));
    EXPECT_EQ(std::wstring(gRunningAccount), std::wstring(gSignedInAccount));
    // A shell whose process may not be opened is refused; one whose process
    // is gone (Explorer restarting) is no shell.
    DWORD shell = 0;
    GetWindowThreadProcessId(FindWindowW(L"Shell_TrayWnd", NULL), &shell);
    for (DWORD error : {(DWORD)ERROR_ACCESS_DENIED, (DWORD)ERROR_INVALID_PARAMETER}) {
        RefuseToOpen(shell, error);
        ReadAccountContext();
        RefuseToOpen(0);
        EXPECT_EQ(error == ERROR_ACCESS_DENIED ? CONTEXT_SHELL_UNREADABLE : CONTEXT_NO_UNELEVATED_SHELL, gAccountContext)
            << "error " << error;
    }
}
