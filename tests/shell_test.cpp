// Shortcuts, the uninstall entry and the old agent, read back through the
// shell-link object, the registry and the kernel.
#include "test_support.h"

#include <shellapi.h>
#include <shlobj.h>
#include <shobjidl.h>

static std::wstring StringValue(const std::wstring &name, DWORD *size)
{
    DWORD type = 0;
    Bytes data;
    if (!ReadRegistryValue(HKEY_CURRENT_USER, kUninstallKeyPath, name, &type, &data) || type != REG_SZ) return L"<missing>";
    *size = (DWORD)data.size();
    return std::wstring((const wchar_t *)data.data(), data.size() / 2 - 1);
}

TEST_F(InstallTest, ShortcutsPointAtTheApplicationAndAreOverwritten)
{
    wchar_t desktopLink[SETUP_PATH_CAPACITY], folder[SETUP_PATH_CAPACITY], startLink[SETUP_PATH_CAPACITY];
    LinkFacts facts;

    ShortcutPaths(desktopLink, folder, startLink);
    EXPECT_EQ(DesktopLink(), desktopLink);
    EXPECT_EQ(StartMenuFolder(), folder);
    EXPECT_EQ(StartMenuLink(), startLink);

    ASSERT_EQ(1, EnsureDirectory(folder));
    CreateShortcut(desktopLink);
    CreateShortcut(startLink);
    for (const std::wstring &link : {DesktopLink(), StartMenuLink()}) {
        SCOPED_TRACE(WideToUtf8(link));
        ASSERT_TRUE(ReadLink(link, &facts));
        EXPECT_EQ(gAppPath, facts.target);
        EXPECT_EQ(gInstallDir, facts.directory);
        EXPECT_EQ(L"Tarvo Markwise", facts.description);
        EXPECT_EQ(gAppPath, facts.icon);
        EXPECT_EQ(0, facts.iconIndex);
    }

    // A second install elsewhere replaces the links in place.
    SetPathGlobals(Path(L"other place"), gSelfPath);
    CreateShortcut(desktopLink);
    ASSERT_TRUE(ReadLink(DesktopLink(), &facts));
    EXPECT_EQ(gAppPath, facts.target);
    EXPECT_EQ(gInstallDir, facts.directory);

    // No folder is made for a link.
    RemoveTree(folder);
    CreateShortcut(startLink);
    EXPECT_FALSE(Exists(folder));
}

TEST_F(InstallTest, UninstallEntryHoldsEveryValueWithItsTypeAndSize)
{
    DWORD size = 0;
    DWORD type = 0;
    Bytes data;
    int argumentCount = 0;
    wchar_t **arguments;
    const std::wstring command = L"\"" + std::wstring(gUninstallPath) + L"\" --uninstall";
    const struct {
        const wchar_t *name;
        std::wstring text;
    } strings[] = {
        {L"DisplayName", L"Tarvo Markwise"},
        {L"DisplayVersion", L"1.0.2"},
        {L"Publisher", L"Tarvo Sistem Ltd. Şti."},
        {L"InstallLocation", gInstallDir},
        {L"DisplayIcon", gAppPath},
        {L"UninstallString", command},
        {L"QuietUninstallString", command + L" --silent"},
    };

    // The installed files' size in KiB, rounded up.
    ASSERT_EQ(1, EnsureDirectory(gInstallDir));
    ASSERT_TRUE(WriteBytes(gAppPath, Bytes(1500, 1)));
    ASSERT_TRUE(WriteBytes(gUninstallPath, Bytes(1000, 2)));
    EXPECT_EQ(1, WriteUninstallEntry());
    ASSERT_TRUE(ReadRegistryValue(HKEY_CURRENT_USER, kUninstallKeyPath, L"EstimatedSize", &type, &data));
    EXPECT_EQ((DWORD)REG_DWORD, type);
    ASSERT_EQ(4u, data.size());
    EXPECT_EQ(3u, *(DWORD *)data.data());
    for (const auto &expected : strings) {
        SCOPED_TRACE(WideToUtf8(expected.name));
        EXPECT_EQ(expected.text, StringValue(expected.name, &size));
        EXPECT_EQ((expected.text.size() + 1) * 2, size);
    }
    for (const wchar_t *name : {L"NoModify", L"NoRepair"}) {
        ASSERT_TRUE(ReadRegistryValue(HKEY_CURRENT_USER, kUninstallKeyPath, name, &type, &data));
        EXPECT_EQ((DWORD)REG_DWORD, type);
        ASSERT_EQ(4u, data.size());
        EXPECT_EQ(1u, *(DWORD *)data.data());
    }

    // The blank in "Tarvo Markwise" stays inside one quoted argument.
    arguments = CommandLineToArgvW(StringValue(L"UninstallString", &size).c_str(), &argumentCount);
    ASSERT_EQ(2, argumentCount);
    EXPECT_STREQ(gUninstallPath, arguments[0]);
    EXPECT_STREQ(L"--uninstall", arguments[1]);
    LocalFree(arguments);

    WriteUninstallEntry();
    EXPECT_EQ(command, StringValue(L"UninstallString", &size));
    RemoveUninstallEntry();
    EXPECT_FALSE(ReadRegistryValue(HKEY_CURRENT_USER, kUninstallKeyPath, L"DisplayName", &type, &data));
    RemoveUninstallEntry();
}

TEST_F(InstallTest, ObsoleteAgentIsSignalledAndItsTracesRemoved)
{
    HANDLE stopEvent = CreateEventW(NULL, TRUE, FALSE, L"Local\\TarvoRelay_Stop_v1");
    HKEY run;
    DWORD type;
    Bytes data;
    const wchar_t agentRun[] = L"C:\\old\\TarvoRelay.exe";
    const wchar_t neighbour[] = L"C:\\other\\Tool.exe";
    std::wstring agentFile = std::wstring(gInstallDir) + L"\\TarvoRelay.exe";

    ASSERT_NE((HANDLE)NULL, stopEvent);
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, kRunKeyPath, 0, NULL, 0, KEY_SET_VALUE, NULL, &run, NULL));
    RegSetValueExW(run, L"TarvoRelay", 0, REG_SZ, (const BYTE *)agentRun, sizeof agentRun);
    RegSetValueExW(run, L"TarvoTestNeighbour", 0, REG_SZ, (const BYTE *)neighbour, sizeof neighbour);
    RegCloseKey(run);
    ASSERT_EQ(1, EnsureDirectory(gInstallDir));
    ASSERT_TRUE(WriteBytes(agentFile, Bytes(10, 1)));

    RemoveObsoleteComponent();
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(stopEvent, 0));
    EXPECT_FALSE(ReadRegistryValue(HKEY_CURRENT_USER, kRunKeyPath, L"TarvoRelay", &type, &data));
    EXPECT_FALSE(Exists(agentFile));
    EXPECT_TRUE(ReadRegistryValue(HKEY_CURRENT_USER, kRunKeyPath, L"TarvoTestNeighbour", &type, &data));
    CloseHandle(stopEvent);

    // Nothing of the agent left: nothing changes, nothing fails.
    RemoveObsoleteComponent();
    EXPECT_TRUE(ReadRegistryValue(HKEY_CURRENT_USER, kRunKeyPath, L"TarvoTestNeighbour", &type, &data));
    EXPECT_EQ(Bytes((const unsigned char *)neighbour, (const unsigned char *)neighbour + sizeof neighbour), data);
    RegOpenKeyExW(HKEY_CURRENT_USER, kRunKeyPath, 0, KEY_SET_VALUE, &run);
    RegDeleteValueW(run, L"TarvoTestNeighbour");
    RegCloseKey(run);
}
