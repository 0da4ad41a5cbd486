// Process-wide setup state and the choice between installing and uninstalling.
#include "setup.h"

#include <shellapi.h>
#include <shlobj.h>
#include <stdlib.h>
#include <stdarg.h>
#include <stdio.h>
#include <wchar.h>

static const wchar_t kInstallDirFormat[] = L"%ls\\Programs\\Tarvo Markwise";
static const wchar_t kAppPathFormat[] = L"%ls\\TarvoMarkwise.exe";
static const wchar_t kUninstallerName[] = L"TarvoMarkwiseKaldir.exe";
static const wchar_t kUninstallPathFormat[] = L"%ls\\%ls";
// No longer than the uninstaller's name, so InstallPathsWhole covers it too.
static const wchar_t kPartialPathFormat[] = L"%ls\\TarvoMarkwise.tmp";
static const wchar_t kPartialUninstallPathFormat[] = L"%ls\\TarvoMarkwiseKaldir.tmp";
static const wchar_t kKeptUninstallPathFormat[] = L"%ls\\TarvoMarkwiseKaldir.bak";
static const wchar_t kLockPathFormat[] = L"%ls\\TarvoMarkwiseSetup.lock";
// A profile whose path leaves no room for the lock's name reaches it by the
// long form, never by a cut path.
static const wchar_t kLongLockPathFormat[] = L"\\\\?\\%ls\\TarvoMarkwiseSetup.lock";
static const wchar_t kLongUncLockPathFormat[] = L"\\\\?\\UNC\\%ls\\TarvoMarkwiseSetup.lock";

static const wchar_t *const kUninstallSwitches[] = UNINSTALL_SWITCHES;
static const wchar_t kUninstallNameMarkers[][10] = {L"Kaldir", L"Uninstall"};

wchar_t gSelfPath[SETUP_PATH_CAPACITY];
wchar_t gInstallDir[SETUP_PATH_CAPACITY];
wchar_t gAppPath[SETUP_PATH_CAPACITY];
wchar_t gUninstallPath[SETUP_PATH_CAPACITY];
wchar_t gPartialPath[SETUP_PATH_CAPACITY];
wchar_t gPartialUninstallPath[SETUP_PATH_CAPACITY];
wchar_t gKeptUninstallPath[SETUP_PATH_CAPACITY];
wchar_t gLockPath[SETUP_LOCK_PATH_CAPACITY];

int gUninstallMode;
int gExistingInstall;
int gInstalled;

int gRunMode;
int gShowHelp;
int gNoClose;
int gNoReopen;
int gAllowDowngrade;
int gLogPathTooLong;
int gSwitchesUnread;
wchar_t gRefusedSwitch[SETUP_PATH_CAPACITY];
wchar_t gLogPath[SETUP_PATH_CAPACITY];
int gExitCode;
int gAccountContext;
wchar_t gRunningAccount[ACCOUNT_NAME_CAPACITY];
wchar_t gSignedInAccount[ACCOUNT_NAME_CAPACITY];
DWORD gShellError;

HINSTANCE gInstance;
HWND gMain;
HWND gProgress;
HWND gStatus;
HWND gInstallButton;
HWND gCancelButton;
HFONT gUiFont;
HFONT gBrandFont;
HBRUSH gBgBrush;
HBRUSH gNavyBrush;

// The runtime's _vsnwprintf leaves the buffer unterminated when the output
// does not fit, so the last element is always set here: the output is cut at
// capacity - 1 characters. Returns the length of what the buffer holds.
int FormatText(wchar_t *buffer, int capacity, const wchar_t *format, ...)
{
    va_list arguments;

    if (capacity <= 0) return 0;
    va_start(arguments, format);
    _vsnwprintf(buffer, (size_t)capacity, format, arguments);
    va_end(arguments);
    buffer[capacity - 1] = L'\0';
    return (int)wcslen(buffer);
}

int SelectUninstallMode(const wchar_t *commandLine, const wchar_t *selfPath)
{
    const wchar_t *lastSlash = wcsrchr(selfPath, L'\\');
    const wchar_t *fileName = lastSlash ? lastSlash + 1 : selfPath;
    size_t i;

    if (commandLine && wcsstr(commandLine, kUninstallSwitches[0])) return 1;
    for (i = 0; i < sizeof kUninstallNameMarkers / sizeof kUninstallNameMarkers[0]; ++i)
        if (wcsstr(fileName, kUninstallNameMarkers[i])) return 1;
    return 0;
}

void DeriveInstallPaths(const wchar_t *localAppData)
{
    if (FormatText(gLockPath, SETUP_LOCK_PATH_CAPACITY, kLockPathFormat, localAppData) >= SETUP_PATH_CAPACITY) {
        if (wcsncmp(localAppData, L"\\\\", 2) == 0)
            FormatText(gLockPath, SETUP_LOCK_PATH_CAPACITY, kLongUncLockPathFormat, localAppData + 2);
        else
            FormatText(gLockPath, SETUP_LOCK_PATH_CAPACITY, kLongLockPathFormat, localAppData);
    }
    FormatText(gInstallDir, SETUP_PATH_CAPACITY, kInstallDirFormat, localAppData);
    FormatText(gAppPath, SETUP_PATH_CAPACITY, kAppPathFormat, gInstallDir);
    FormatText(gUninstallPath, SETUP_PATH_CAPACITY, kUninstallPathFormat, gInstallDir, kUninstallerName);
    FormatText(gPartialPath, SETUP_PATH_CAPACITY, kPartialPathFormat, gInstallDir);
    FormatText(gPartialUninstallPath, SETUP_PATH_CAPACITY, kPartialUninstallPathFormat, gInstallDir);
    FormatText(gKeptUninstallPath, SETUP_PATH_CAPACITY, kKeptUninstallPathFormat, gInstallDir);
}

// The uninstaller path is the longest derived path: when it still ends in
// "\TarvoMarkwiseKaldir.exe", none of the others was cut at 259 characters.
int InstallPathsWhole(void)
{
    size_t length = wcslen(gUninstallPath);
    size_t nameLength = wcslen(kUninstallerName);

    return length > nameLength && gUninstallPath[length - nameLength - 1] == L'\\' &&
           wcscmp(gUninstallPath + length - nameLength, kUninstallerName) == 0;
}

static const wchar_t *const kSilentSwitches[] = SILENT_SWITCHES;
static const wchar_t *const kPassiveSwitches[] = PASSIVE_SWITCHES;
static const wchar_t *const kHelpSwitches[] = HELP_SWITCHES;
static const wchar_t *const kNoCloseSwitches[] = NO_CLOSE_SWITCHES;
static const wchar_t *const kNoReopenSwitches[] = NO_REOPEN_SWITCHES;
static const wchar_t *const kAllowDowngradeSwitches[] = ALLOW_DOWNGRADE_SWITCHES;

static int IsOneOf(const wchar_t *argument, const wchar_t *const *switches, size_t count)
{
    size_t i;

    for (i = 0; i < count; ++i)
        if (_wcsicmp(argument, switches[i]) == 0) return 1;
    return 0;
}

// "--uninstall" selects the uninstall as it is written. Any other spelling of
// it (another case, "/uninstall", "-uninstall", no dashes) is refused rather
// than ignored: ignored, it would install where an uninstall was asked for.
static int SpellsUninstallOtherwise(const wchar_t *argument)
{
    const wchar_t *name = argument;
    const wchar_t *uninstall = kUninstallSwitches[0] + 2;

    while (*name == L'-' || *name == L'/') ++name;
    return _wcsnicmp(name, uninstall, wcslen(uninstall)) == 0 && !wcsstr(argument, kUninstallSwitches[0]);
}

// A log path that does not fit is refused rather than cut: cut, it would
// name another file.
static void SetLogPath(const wchar_t *path)
{
    gLogPathTooLong = wcslen(path) >= SETUP_PATH_CAPACITY;
    lstrcpynW(gLogPath, gLogPathTooLong ? L"" : path, SETUP_PATH_CAPACITY);
}

// What follows the program's name, quoted or not, on its command line.
const wchar_t *ArgumentsAfterProgramName(const wchar_t *commandLine)
{
    const wchar_t *rest = commandLine;

    if (*rest == L'"') {
        rest = wcschr(rest + 1, L'"');
        rest = rest ? rest + 1 : commandLine + wcslen(commandLine);
    } else {
        while (*rest && *rest != L' ' && *rest != L'\t') ++rest;
    }
    while (*rest == L' ' || *rest == L'\t') ++rest;
    return rest;
}

// The arguments after the program name, split as the shell splits them.
// Unknown ones are ignored; of silent and passive, silent wins.
void ReadSwitches(const wchar_t *commandLine)
{
    const size_t joinedLength = wcslen(LOG_SWITCH_JOINED);
    wchar_t **arguments = NULL;
    int count = 0;
    int i;

    arguments = CommandLineToArgvW(commandLine, &count);
    gSwitchesUnread = arguments == NULL;
    for (i = 1; arguments && i < count; ++i) {
        if (IsOneOf(arguments[i], kSilentSwitches, sizeof kSilentSwitches / sizeof kSilentSwitches[0]))
            gRunMode = RUN_SILENT;
        else if (IsOneOf(arguments[i], kPassiveSwitches, sizeof kPassiveSwitches / sizeof kPassiveSwitches[0]))
            gRunMode = gRunMode == RUN_SILENT ? RUN_SILENT : RUN_PASSIVE;
        else if (IsOneOf(arguments[i], kHelpSwitches, sizeof kHelpSwitches / sizeof kHelpSwitches[0]))
            gShowHelp = 1;
        else if (IsOneOf(arguments[i], kNoCloseSwitches, sizeof kNoCloseSwitches / sizeof kNoCloseSwitches[0]))
            gNoClose = 1;
        else if (IsOneOf(arguments[i], kNoReopenSwitches, sizeof kNoReopenSwitches / sizeof kNoReopenSwitches[0]))
            gNoReopen = 1;
        else if (IsOneOf(arguments[i], kAllowDowngradeSwitches, sizeof kAllowDowngradeSwitches / sizeof kAllowDowngradeSwitches[0]))
            gAllowDowngrade = 1;
        else if (_wcsicmp(arguments[i], LOG_SWITCH) == 0 && i + 1 < count)
            SetLogPath(arguments[++i]);
        else if (_wcsnicmp(arguments[i], LOG_SWITCH_JOINED, joinedLength) == 0)
            SetLogPath(arguments[i] + joinedLength);
        else if (SpellsUninstallOtherwise(arguments[i]) && !gRefusedSwitch[0])
            lstrcpynW(gRefusedSwitch, arguments[i], SETUP_PATH_CAPACITY);
    }
    if (arguments) LocalFree(arguments);
}

// A path the system could not give whole stays empty: the setup file that
// cannot be opened fails the run, and an install folder that cannot be named
// is no folder to install into (never one at the root of the drive).
void InitSetupState(void)
{
    wchar_t localAppData[SETUP_PATH_CAPACITY] = {0};
    DWORD length = GetModuleFileNameW(NULL, gSelfPath, SETUP_PATH_CAPACITY);

    if (length == 0 || length >= SETUP_PATH_CAPACITY) gSelfPath[0] = L'\0';
    if (SUCCEEDED(SHGetFolderPathW(NULL, CSIDL_LOCAL_APPDATA | CSIDL_FLAG_CREATE, NULL, SHGFP_TYPE_CURRENT, localAppData)) &&
        localAppData[0])
        DeriveInstallPaths(localAppData);
    gUninstallMode = SelectUninstallMode(GetCommandLineW(), gSelfPath);
    ReadSwitches(GetCommandLineW());
    gExistingInstall = gAppPath[0] && GetFileAttributesW(gAppPath) != INVALID_FILE_ATTRIBUTES;
}

// Reads one part: digits up to a dot or the end. Returns the character after
// it, or NULL when the part is not a number.
static const wchar_t *VersionPart(const wchar_t *text, unsigned long long *part)
{
    const wchar_t *start = text;

    *part = 0;
    for (; *text >= L'0' && *text <= L'9'; ++text) {
        if (text - start >= 18) return NULL;
        *part = *part * 10 + (unsigned long long)(*text - L'0');
    }
    if (text == start || (*text != L'.' && *text != L'\0')) return NULL;
    return text;
}

static int ReadableVersion(const wchar_t *text)
{
    unsigned long long part;

    if (!text || !*text) return 0;
    for (;;) {
        if (!(text = VersionPart(text, &part))) return 0;
        if (!*text) return 1;
        ++text;
    }
}

int CompareVersions(const wchar_t *left, const wchar_t *right)
{
    unsigned long long leftPart = 0;
    unsigned long long rightPart = 0;
    int leftReadable = ReadableVersion(left);
    int rightReadable = ReadableVersion(right);

    if (!leftReadable || !rightReadable) return leftReadable - rightReadable;
    while (*left || *right) {
        if (*left) left = VersionPart(left, &leftPart); else leftPart = 0;
        if (*right) right = VersionPart(right, &rightPart); else rightPart = 0;
        if (leftPart != rightPart) return leftPart < rightPart ? -1 : 1;
        if (*left) ++left;
        if (*right) ++right;
    }
    return 0;
}
