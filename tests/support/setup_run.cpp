#include "setup_run.h"

static const wchar_t kShellFolders[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
static const wchar_t *const kRedirected[] = {L"Local AppData", L"Desktop", L"Programs"};

void SetupRunTest::SetUp()
{
    HKEY key;

    ScratchTest::SetUp();
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, kShellFolders, 0, NULL, 0, KEY_ALL_ACCESS, NULL, &key, NULL));
    for (int i = 0; i < 3; ++i) {
        DWORD size = sizeof saved[i];
        hadValue[i] = RegQueryValueExW(key, kRedirected[i], NULL, NULL, (BYTE *)saved[i], &size) == ERROR_SUCCESS;
    }
    RegCloseKey(key);
    RegDeleteKeyW(HKEY_CURRENT_USER, kUninstallKeyPath);
    UseProfile(Path(L"profile"));
    downloads = Path(L"Downloads");
    CreateDirectoryW(downloads.c_str(), NULL);
    setupPath = downloads + L"\\TarvoMarkwise_Setup.exe";
    ASSERT_TRUE(CopyFileW(BuildFile(L"TarvoMarkwise_Setup.exe").c_str(), setupPath.c_str(), FALSE));
    UseStandInRecord(Path(L"standin.txt"));
}

void SetupRunTest::UseProfile(const std::wstring &root)
{
    HKEY key;

    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, kShellFolders, 0, KEY_SET_VALUE, &key));
    for (int i = 0; i < 3; ++i) {
        std::wstring folder = root + L"\\" + kRedirected[i];
        ASSERT_EQ(1, EnsureDirectory(folder.c_str()));
        RegSetValueExW(key, kRedirected[i], 0, REG_EXPAND_SZ, (const BYTE *)folder.c_str(), (DWORD)(folder.size() + 1) * 2);
    }
    RegCloseKey(key);
    installDir = (root + L"\\Local AppData\\Programs\\Tarvo Markwise").substr(0, 259);
    appPath = (installDir + L"\\TarvoMarkwise.exe").substr(0, 259);
    uninstallerPath = (installDir + L"\\TarvoMarkwiseKaldir.exe").substr(0, 259);
    partialPath = (installDir + L"\\TarvoMarkwise.tmp").substr(0, 259);
    lockPath = root + L"\\Local AppData\\TarvoMarkwiseSetup.lock";
    desktopLink = root + L"\\Desktop\\Tarvo Markwise.lnk";
    startMenuFolder = root + L"\\Programs\\Tarvo";
}

void SetupRunTest::TearDown()
{
    HKEY key;

    EndSetup(&run);
    CloseStandIns();
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kShellFolders, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
        for (int i = 0; i < 3; ++i) {
            if (hadValue[i])
                RegSetValueExW(key, kRedirected[i], 0, REG_EXPAND_SZ, (const BYTE *)saved[i], (DWORD)(wcslen(saved[i]) + 1) * 2);
            else
                RegDeleteValueW(key, kRedirected[i]);
        }
        RegCloseKey(key);
    }
    RegDeleteKeyW(HKEY_CURRENT_USER, kUninstallKeyPath);
    ScratchTest::TearDown();
}

void SetupRunTest::Start(const std::wstring &commandLine)
{
    EndSetup(&run);
    run = LaunchSetup(commandLine, downloads);
    ASSERT_NE((HWND)NULL, run.window) << "no setup window for " << WideToUtf8(commandLine);
}

HWND SetupRunTest::WaitForBox(HWND after)
{
    for (DWORD waited = 0; waited <= 20000; waited += 20) {
        HWND box = WaitForTopWindow(run.id, L"#32770", 0);
        HWND focus = box && box != after ? FocusOf(box) : NULL;
        if (focus && GetParent(focus) == box) return box;
        Sleep(20);
    }
    return NULL;
}

void SetupRunTest::ExpectExitCode(DWORD expected)
{
    DWORD code = 12345;
    ASSERT_TRUE(WaitForExit(run.process, 20000, &code));
    EXPECT_EQ(expected, code);
}

void SetupRunTest::InstallAndClose(const std::wstring &setupFile)
{
    Start(L"\"" + (setupFile.empty() ? setupPath : setupFile) + L"\"");
    Press(Control(ID_PRIMARY_BUTTON));
    ASSERT_TRUE(WaitForText(Control(ID_PRIMARY_BUTTON), L"Programı Aç", 30000));
    Press(Control(ID_CANCEL_BUTTON));
    ExpectExitCode(0);
}

void SetupRunTest::UninstallConfirmed(const std::wstring &commandLine, SeenBox *completion)
{
    HWND box;

    Start(commandLine);
    Press(Control(ID_PRIMARY_BUTTON));
    box = WaitForBox();
    ASSERT_NE((HWND)NULL, box);
    Answer(box, IDYES);
    box = WaitForBox();
    ASSERT_NE((HWND)NULL, box);
    if (completion) *completion = ReadBox(box);
    Answer(box, IDOK);
    ExpectExitCode(0);
}

std::wstring SetupRunTest::UninstallCommand(const wchar_t *value)
{
    DWORD type = 0;
    Bytes data;
    if (!ReadRegistryValue(HKEY_CURRENT_USER, kUninstallKeyPath, value, &type, &data)) return L"";
    return std::wstring((const wchar_t *)data.data());
}
