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

// One link path from a folder the shell named: empty, and logged, when the
// shell named none (formatted onto an empty prefix the path would name a
// file at the root of the drive) or when the path would not fit whole.
static void LinkPath(wchar_t *path, const wchar_t *format, const wchar_t *folder, const wchar_t *which)
{
    path[0] = L'\0';
    if (!folder[0]) {
        LogLine(L"shortcuts", which, L"folder unknown: no link there");
    } else if (FormatText(path, SETUP_PATH_CAPACITY, format, folder) >= SETUP_PATH_CAPACITY - 1) {
        path[0] = L'\0';
        LogLine(L"shortcuts", which, L"path longer than 259 characters: no link there");
    }
}

// A folder the shell names empty counts as unknown as well.
static HRESULT KnownFolderPath(int folder, wchar_t *path)
{
    HRESULT result = SHGetFolderPathW(NULL, folder | CSIDL_FLAG_CREATE, NULL, SHGFP_TYPE_CURRENT, path);

    if (SUCCEEDED(result) && !path[0]) result = HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
    if (FAILED(result)) path[0] = L'\0';
    return result;
}

int ShortcutPaths(wchar_t *desktopLink, wchar_t *startMenuFolder, wchar_t *startMenuLink)
{
    wchar_t desktop[SETUP_PATH_CAPACITY] = {0};
    wchar_t programs[SETUP_PATH_CAPACITY] = {0};
    HRESULT desktopResult = KnownFolderPath(CSIDL_DESKTOPDIRECTORY, desktop);
    HRESULT programsResult = KnownFolderPath(CSIDL_PROGRAMS, programs);

    LinkPath(desktopLink, kDesktopLinkFormat, desktop, L"desktop");
    LinkPath(startMenuFolder, kStartMenuFolderFormat, programs, L"Start menu");
    startMenuLink[0] = L'\0';
    if (startMenuFolder[0]) LinkPath(startMenuLink, kStartMenuLinkFormat, startMenuFolder, L"Start menu");
    SetLastError((DWORD)(FAILED(desktopResult) ? desktopResult : programsResult));
    return SUCCEEDED(desktopResult) && SUCCEEDED(programsResult);
}

HRESULT CreateShortcut(const wchar_t *linkPath)
{
    IShellLinkW *link = NULL;
    IPersistFile *file = NULL;
    HRESULT result;

    result = CoCreateInstance(CLSID_ShellLink, NULL, CLSCTX_INPROC_SERVER, IID_IShellLinkW, (void **)&link);
    if (SUCCEEDED(result)) result = link->SetPath(gAppPath);
    if (SUCCEEDED(result)) result = link->SetWorkingDirectory(gInstallDir);
    if (SUCCEEDED(result)) result = link->SetDescription(kLinkDescription);
    if (SUCCEEDED(result)) result = link->SetIconLocation(gAppPath, 0);
    if (SUCCEEDED(result)) result = link->QueryInterface(IID_IPersistFile, (void **)&file);
    if (SUCCEEDED(result)) result = file->Save(linkPath, TRUE);
    if (file) file->Release();
    if (link) link->Release();
    return FAILED(result) ? result : S_OK;
}

// REG_SZ data is stored with its terminating NUL.
static LONG SetStringValue(HKEY key, const wchar_t *name, const wchar_t *text)
{
    return RegSetValueExW(key, name, 0, REG_SZ, (const BYTE *)text, (DWORD)((wcslen(text) + 1) * sizeof(wchar_t)));
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

int UninstallEntryExists(void)
{
    HKEY key = NULL;
    LONG status = RegOpenKeyExW(HKEY_CURRENT_USER, kUninstallKey, 0, KEY_QUERY_VALUE, &key);

    if (status == ERROR_SUCCESS) RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

void InstalledVersion(wchar_t *version, int capacity)
{
    DWORD size = (DWORD)(capacity * sizeof(wchar_t));

    version[0] = L'\0';
    if (RegGetValueW(HKEY_CURRENT_USER, kUninstallKey, L"DisplayVersion", RRF_RT_REG_SZ, NULL, version, &size) !=
        ERROR_SUCCESS)
        version[0] = L'\0';
}

// Every value counts: an entry without one of them is not the entry that
// Settings and the deployment tools read. The first failure ends the writing
// and is the one reported.
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
    status = SetStringValue(key, L"DisplayName", kDisplayName);
    if (status == ERROR_SUCCESS) status = SetStringValue(key, L"DisplayVersion", kDisplayVersion);
    if (status == ERROR_SUCCESS) status = SetStringValue(key, L"Publisher", kPublisher);
    if (status == ERROR_SUCCESS) status = SetStringValue(key, L"InstallLocation", gInstallDir);
    if (status == ERROR_SUCCESS) status = SetStringValue(key, L"DisplayIcon", gAppPath);
    if (status == ERROR_SUCCESS) status = SetStringValue(key, L"UninstallString", command);
    if (status == ERROR_SUCCESS) status = SetDwordValue(key, L"NoModify", 1);
    if (status == ERROR_SUCCESS) status = SetDwordValue(key, L"NoRepair", 1);
    if (status == ERROR_SUCCESS) status = SetStringValue(key, L"QuietUninstallString", quietCommand);
    if (status == ERROR_SUCCESS) status = SetDwordValue(key, L"EstimatedSize", InstalledKilobytes());
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
// the next install or uninstall deletes it. What is already gone is the
// usual case; any other failure is logged, and the run goes on.
void RemoveObsoleteComponent(void)
{
    HANDLE stopEvent = NULL;
    HKEY runKey = NULL;
    wchar_t agentPath[SETUP_PATH_CAPACITY];
    LONG status;
    DWORD error;

    stopEvent = OpenEventW(EVENT_MODIFY_STATE, FALSE, kAgentStopEvent);
    if (stopEvent) {
        SetEvent(stopEvent);
        CloseHandle(stopEvent);
    }
    status = RegOpenKeyExW(HKEY_CURRENT_USER, kRunKey, 0, KEY_SET_VALUE, &runKey);
    if (status == ERROR_SUCCESS) {
        status = RegDeleteValueW(runKey, kAgentRunValue);
        RegCloseKey(runKey);
    }
    if (status != ERROR_SUCCESS && status != ERROR_FILE_NOT_FOUND) LogStep(NULL, STEP_AGENT, kRunKey, 0, (DWORD)status);
    if (FormatText(agentPath, SETUP_PATH_CAPACITY, kAgentPathFormat, gInstallDir) >= SETUP_PATH_CAPACITY - 1) return;
    if (DeleteFileW(agentPath)) return;
    error = GetLastError();
    if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) LogStep(NULL, STEP_AGENT, agentPath, 0, error);
}
