// Shortcuts, the uninstall entry and the retirement of the old logon agent.
#include "setup.h"

#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <wchar.h>

static const wchar_t kDesktopLinkFormat[] = L"%ls\\Tarvo Markwise.lnk";
static const wchar_t kStartMenuFolderFormat[] = L"%ls\\Tarvo";
static const wchar_t kStartMenuLinkFormat[] = L"%ls\\Tarvo Markwise.lnk";
static const wchar_t kLinkDescription[] = L"Tarvo Markwise";

static const wchar_t kUninstallKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" PRODUCT_ENTRY_KEY;
static const wchar_t kDisplayName[] = PRODUCT_NAME;
static const wchar_t kDisplayVersion[] = PRODUCT_VERSION;
static const wchar_t kPublisher[] = PRODUCT_PUBLISHER;
static const wchar_t kUninstallCommandFormat[] = L"\"%ls\" --uninstall";
static const wchar_t kQuietUninstallCommandFormat[] = L"\"%ls\" --uninstall --silent";
static const int kUninstallCommandCapacity = 292;
static const int kQuietUninstallCommandCapacity = 301;

static const wchar_t kAgentStopEvent[] = L"Local\\TarvoRelay_Stop_v1";
static const wchar_t kRunKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
static const wchar_t kAgentRunValue[] = L"TarvoRelay";
static const wchar_t kAgentPathFormat[] = L"%ls\\TarvoRelay.exe";

// A folder the shell cannot name leaves its links' paths empty: formatted
// onto an empty prefix they would name files at the root of the drive.
void ShortcutPaths(wchar_t *desktopLink, wchar_t *startMenuFolder, wchar_t *startMenuLink)
{
    wchar_t desktop[SETUP_PATH_CAPACITY] = {0};
    wchar_t programs[SETUP_PATH_CAPACITY] = {0};

    desktopLink[0] = startMenuFolder[0] = startMenuLink[0] = L'\0';
    if (SUCCEEDED(SHGetFolderPathW(NULL, CSIDL_DESKTOPDIRECTORY | CSIDL_FLAG_CREATE, NULL, SHGFP_TYPE_CURRENT, desktop)) &&
        desktop[0])
        FormatText(desktopLink, SETUP_PATH_CAPACITY, kDesktopLinkFormat, desktop);
    else
        LogLine(L"shortcuts", L"desktop", L"folder unknown: no link there");
    if (SUCCEEDED(SHGetFolderPathW(NULL, CSIDL_PROGRAMS | CSIDL_FLAG_CREATE, NULL, SHGFP_TYPE_CURRENT, programs)) &&
        programs[0]) {
        FormatText(startMenuFolder, SETUP_PATH_CAPACITY, kStartMenuFolderFormat, programs);
        FormatText(startMenuLink, SETUP_PATH_CAPACITY, kStartMenuLinkFormat, startMenuFolder);
    } else {
        LogLine(L"shortcuts", L"Start menu", L"folder unknown: no link there");
    }
}

int CreateShortcut(const wchar_t *linkPath)
{
    IShellLinkW *link = NULL;
    IPersistFile *file = NULL;
    int ok = 0;

    if (FAILED(CoCreateInstance(CLSID_ShellLink, NULL, CLSCTX_INPROC_SERVER, IID_IShellLinkW, (void **)&link))) goto done;
    if (FAILED(link->SetPath(gAppPath))) goto done;
    if (FAILED(link->SetWorkingDirectory(gInstallDir))) goto done;
    if (FAILED(link->SetDescription(kLinkDescription))) goto done;
    if (FAILED(link->SetIconLocation(gAppPath, 0))) goto done;
    if (FAILED(link->QueryInterface(IID_IPersistFile, (void **)&file))) goto done;
    ok = SUCCEEDED(file->Save(linkPath, TRUE));
done:
    if (file) file->Release();
    if (link) link->Release();
    return ok;
}

// REG_SZ data is stored with its terminating NUL.
static void SetStringValue(HKEY key, const wchar_t *name, const wchar_t *text)
{
    RegSetValueExW(key, name, 0, REG_SZ, (const BYTE *)text, (DWORD)((wcslen(text) + 1) * sizeof(wchar_t)));
}

static LONG SetDwordValue(HKEY key, const wchar_t *name, DWORD value)
{
    return RegSetValueExW(key, name, 0, REG_DWORD, (const BYTE *)&value, sizeof value);
}

// The size of the installed files in KiB, rounded up, as the list of
// installed programs shows it.
static DWORD InstalledKilobytes(void)
{
    const wchar_t *files[] = {gAppPath, gUninstallPath};
    WIN32_FILE_ATTRIBUTE_DATA facts;
    unsigned long long bytes = 0;
    size_t i;

    for (i = 0; i < sizeof files / sizeof files[0]; ++i)
        if (GetFileAttributesExW(files[i], GetFileExInfoStandard, &facts))
            bytes += ((unsigned long long)facts.nFileSizeHigh << 32) | facts.nFileSizeLow;
    return (DWORD)((bytes + 1023) / 1024);
}

int WriteUninstallEntry(void)
{
    HKEY key = NULL;
    wchar_t command[kUninstallCommandCapacity];
    wchar_t quietCommand[kQuietUninstallCommandCapacity];
    LONG status;

    status = RegCreateKeyExW(HKEY_CURRENT_USER, kUninstallKey, 0, NULL, REG_OPTION_NON_VOLATILE, KEY_WRITE, NULL, &key, NULL);
    if (status != ERROR_SUCCESS) {
        SetLastError((DWORD)status);
        return 0;
    }
    FormatText(command, kUninstallCommandCapacity, kUninstallCommandFormat, gUninstallPath);
    FormatText(quietCommand, kQuietUninstallCommandCapacity, kQuietUninstallCommandFormat, gUninstallPath);
    SetStringValue(key, L"DisplayName", kDisplayName);
    SetStringValue(key, L"DisplayVersion", kDisplayVersion);
    SetStringValue(key, L"Publisher", kPublisher);
    SetStringValue(key, L"InstallLocation", gInstallDir);
    SetStringValue(key, L"DisplayIcon", gAppPath);
    SetStringValue(key, L"UninstallString", command);
    SetDwordValue(key, L"NoModify", 1);
    SetDwordValue(key, L"NoRepair", 1);
    SetStringValue(key, L"QuietUninstallString", quietCommand);
    status = SetDwordValue(key, L"EstimatedSize", InstalledKilobytes());
    // Written to disk before success is reported: Windows writes registry
    // changes back lazily, and a power cut would lose the entry.
    if (status == ERROR_SUCCESS) status = RegFlushKey(key);
    RegCloseKey(key);
    SetLastError((DWORD)status);
    return status == ERROR_SUCCESS;
}

// An entry that is already gone counts as removed.
int RemoveUninstallEntry(void)
{
    LONG status = RegDeleteKeyW(HKEY_CURRENT_USER, kUninstallKey);

    if (status == ERROR_FILE_NOT_FOUND) status = ERROR_SUCCESS;
    SetLastError((DWORD)status);
    return status == ERROR_SUCCESS;
}

// The agent is asked to stop but not waited for: if its file is still in use,
// the next install or uninstall deletes it.
void RemoveObsoleteComponent(void)
{
    HANDLE stopEvent = NULL;
    HKEY runKey = NULL;
    wchar_t agentPath[SETUP_PATH_CAPACITY];

    stopEvent = OpenEventW(EVENT_MODIFY_STATE, FALSE, kAgentStopEvent);
    if (stopEvent) {
        SetEvent(stopEvent);
        CloseHandle(stopEvent);
    }
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kRunKey, 0, KEY_SET_VALUE, &runKey) == ERROR_SUCCESS) {
        RegDeleteValueW(runKey, kAgentRunValue);
        RegCloseKey(runKey);
    }
    FormatText(agentPath, SETUP_PATH_CAPACITY, kAgentPathFormat, gInstallDir);
    DeleteFileW(agentPath);
}
