// Setup state and the installation engine: the globals every subsystem reads
// and the operations the window drives.
#ifndef TARVO_SETUP_H
#define TARVO_SETUP_H

#ifndef UNICODE
#define UNICODE
#endif
#ifndef _UNICODE
#define _UNICODE
#endif
#include <windows.h>

#include "product.h"

#define SETUP_PATH_CAPACITY 260

#define ID_PRIMARY_BUTTON 100
#define ID_CANCEL_BUTTON 101
#define ID_PROGRESS_BAR 102

#define PROGRESS_MAX 1000

// Paths, filled once by InitSetupState.
extern wchar_t gSelfPath[SETUP_PATH_CAPACITY];
extern wchar_t gInstallDir[SETUP_PATH_CAPACITY];
extern wchar_t gAppPath[SETUP_PATH_CAPACITY];
extern wchar_t gUninstallPath[SETUP_PATH_CAPACITY];
// Where the application and the uninstaller are written and flushed before
// either is moved over its final name.
extern wchar_t gPartialPath[SETUP_PATH_CAPACITY];
extern wchar_t gPartialUninstallPath[SETUP_PATH_CAPACITY];
// A second name of the earlier uninstaller while the new one replaces it, so
// that a failure after that move can put the earlier one back.
extern wchar_t gKeptUninstallPath[SETUP_PATH_CAPACITY];
// The user's setup lock, in their local application-data folder; empty when
// the system cannot name that folder.
#define SETUP_LOCK_PATH_CAPACITY (SETUP_PATH_CAPACITY + 40)
extern wchar_t gLockPath[SETUP_LOCK_PATH_CAPACITY];
// The setup file this process runs from, opened once at start-up of an
// install and read through this one handle, so that a file renamed and
// replaced under its name meanwhile is not read instead; INVALID_HANDLE_VALUE
// when it is not open, and each reader opens it by its path.
extern HANDLE gSelfFile;

// Flags, 0 or 1.
extern int gUninstallMode;
extern int gExistingInstall;
extern int gInstalled;

// How the run meets the user, from the switches: a window with its boxes, a
// window that starts by itself and closes itself without a box, or nothing
// on screen at all. Filled once by InitSetupState.
enum RunMode { RUN_INTERACTIVE, RUN_PASSIVE, RUN_SILENT };
extern int gRunMode;
extern int gShowHelp;
// Whether a running application may be closed, and opened again after an
// unattended install that closed it; from the switches.
extern int gNoClose;
extern int gNoReopen;
// A newer installed version may be replaced; from the switches.
extern int gAllowDowngrade;
// An argument that names the uninstall switch otherwise than it is written
// ("/uninstall", "--UNINSTALL"): the run is refused rather than install.
extern wchar_t gRefusedSwitch[SETUP_PATH_CAPACITY];
// The log file named by the switches; empty for no log, and when the path
// named is too long, which refuses the run.
extern wchar_t gLogPath[SETUP_PATH_CAPACITY];
extern int gLogPathTooLong;
// The command line could not be split into arguments: whether the run was
// meant to be silent is unknown, so it shows nothing and fails.
extern int gSwitchesUnread;
// The exit code a passive window ends with.
extern int gExitCode;

// What a procedure reports: the step that failed, STEP_NONE when none did,
// and the Windows error it failed with. Presenting it is the caller's part.
enum SetupStep {
    STEP_NONE,
    STEP_LOCK,
    STEP_KNOWN_FOLDER,
    STEP_VERSION,
    STEP_AGENT,
    STEP_ROOM,
    STEP_FIND_APPLICATION,
    STEP_CLOSE_APPLICATION,
    STEP_FOLDER,
    STEP_PACKAGE,
    STEP_WRITE_APPLICATION,
    STEP_REPLACE_APPLICATION,
    STEP_UNINSTALLER,
    STEP_SHORTCUTS,
    STEP_ENTRY,
    STEP_REMOVE_APPLICATION,
    STEP_REMOVE_SHORTCUTS,
    STEP_REMOVE_ENTRY,
    STEP_HAND_OVER,
    STEP_START_APPLICATION,
    STEP_DISCARD,
    STEP_TAKE_BACK,
};
const wchar_t *StepName(int step);
// With the room the install needed and found, when it looked, and the drive
// it looked on; how many running copies of the application it closed, and
// how many it found in the user's other sessions. Links an uninstall could
// not delete are listed one a line.
struct SetupOutcome {
    int step;
    DWORD error;
    int closedApplications;
    unsigned long long neededBytes;
    unsigned long long availableBytes;
    wchar_t keptShortcuts[2 * SETUP_PATH_CAPACITY];
    wchar_t drive[SETUP_PATH_CAPACITY];
    int elsewhereApplications;
};
// What the caller allows a procedure: whether it may ask a running
// application to close (otherwise a running one fails the run at once), and
// what to call when it starts to wait for that, to say so.
struct SetupRequest {
    int closeApplications;
    void (*waiting)(void);
    int allowDowngrade;
};

// Window and drawing handles; null until the window subsystem creates them.
extern HINSTANCE gInstance;
extern HWND gMain;
extern HWND gProgress;
extern HWND gStatus;
extern HWND gInstallButton;
extern HWND gCancelButton;
extern HFONT gUiFont;
extern HFONT gBrandFont;
extern HBRUSH gBgBrush;
extern HBRUSH gNavyBrush;

// Setup state.
int FormatText(wchar_t *buffer, int capacity, const wchar_t *format, ...);
int SelectUninstallMode(const wchar_t *commandLine, const wchar_t *selfPath);
void DeriveInstallPaths(const wchar_t *localAppData);
int InstallPathsWhole(void);
void ReadSwitches(const wchar_t *commandLine);
const wchar_t *ArgumentsAfterProgramName(const wchar_t *commandLine);
void InitSetupState(void);
// The accounts services run as (LocalSystem, LocalService, NetworkService)
// have no user's profile to install into.
int IsServiceAccount(PSID sid);
// Whom the setup runs for, from the facts of this process's token and of
// the desktop shell's: a service account, refused; not elevated; elevated
// as the user signed in to this desktop, whose unelevated shell starts the
// application; elevated as another account than the one whose shell runs
// this desktop, whose profile is no place to install the signed-in user's
// program; elevated where the shell's account cannot be read, refused as
// well; or elevated with no shell found, or the signed-in user's own shell
// elevated too (UAC off, the built-in Administrator, Wine), which runs as
// it is. Read at start-up, before anything is written; unread until then.
enum AccountContext {
    CONTEXT_UNREAD,
    CONTEXT_NOT_ELEVATED,
    CONTEXT_SERVICE_ACCOUNT,
    CONTEXT_ELEVATED_AS_USER,
    CONTEXT_OTHER_ACCOUNT,
    CONTEXT_NO_UNELEVATED_SHELL,
    CONTEXT_SHELL_UNREADABLE,
};
struct AccountFacts {
    int service;
    int elevated;
    int shellFound;
    int shellSameUser;
    int shellElevated;
    int shellUnreadable;
};
#define ACCOUNT_NAME_CAPACITY 260
extern int gAccountContext;
// "DOMAIN\user" of the account the setup runs as and, when it is elevated,
// of the user signed in to this desktop.
extern wchar_t gRunningAccount[ACCOUNT_NAME_CAPACITY];
extern wchar_t gSignedInAccount[ACCOUNT_NAME_CAPACITY];
// Why the account of the desktop's shell could not be read.
extern DWORD gShellError;
int DecideAccountContext(const AccountFacts *facts);
void ReadAccountContext(void);
HRESULT StartThroughShell(const wchar_t *file, const wchar_t *parameters, const wchar_t *directory);
// Versions compared by number, part by part, missing parts counting as 0; a
// version that cannot be read counts as older than any that can. Returns
// <0, 0 or >0 as strcmp does.
int CompareVersions(const wchar_t *left, const wchar_t *right);

// The log: one UTF-8 line per step, when the switches name a log file. A log
// that cannot be written changes nothing else.
void StartLog(int replace);
void LogLine(const wchar_t *step, const wchar_t *path, const wchar_t *outcome);
// Logs a step with its result; a failure becomes the outcome's failing step
// unless an earlier one already is. Returns ok.
int LogStep(SetupOutcome *outcome, int step, const wchar_t *path, int ok, DWORD error);

// Application package and its CRC-32. The widest CRC variant that the
// processor and the system support is used unless another is selected;
// selecting one that they do not support fails and changes nothing.
enum CrcVariant { CRC_WIDEST, CRC_SSE2, CRC_AVX2, CRC_AVX512 };
int SelectCrcVariant(int variant);
unsigned int UpdateCrc32(unsigned int crc, const unsigned char *bytes, size_t count);
// One pass through the setup file writes and flushes both staging files:
// the application, checked by its CRC-32, and the uninstaller, the setup
// file's every byte. On failure, outcome (when given) names the step: the
// package, writing the application or writing the uninstaller; both
// staging files are removed again.
int ExtractApplication(SetupOutcome *outcome = NULL);
// The bytes an install stages: the application and the uninstaller.
int PackageRoomNeeded(unsigned long long *bytes);
HANDLE OpenSetupFile(void);

// Files and folders. A directory chain is made up to a directory, never
// accepting a file in its place. Staging files are created, moved and
// deleted with retries while another program holds them briefly (a scanner,
// an indexer), each retry logged; a file already gone counts as deleted.
int EnsureDirectory(const wchar_t *path);
ULONGLONG BriefLockDeadline(void);
int AnotherTry(const wchar_t *step, const wchar_t *path, ULONGLONG until);
HANDLE CreateStagingFile(const wchar_t *path);
void DiscardStagingFile(const wchar_t *path);
int MoveRetryingBriefLocks(const wchar_t *from, const wchar_t *to);
int DeleteRetryingBriefLocks(const wchar_t *path);
// The name an uninstall moves its running uninstaller to (0 when it does not
// fit), and the removal of those an ended uninstall left.
int AsideUninstallerPath(wchar_t *path, DWORD processId);
void DeleteLeftovers(void);
// The deepest existing folder of a path (empty when none exists), and the
// drive its files land on.
void ExistingFolderOf(const wchar_t *path, wchar_t *folder);
void DriveOfFolder(const wchar_t *folder, wchar_t *drive);

// Shell and registry integration. ShortcutPaths returns 0, with the
// HRESULT as the last error, when the shell could not name the desktop or
// the Start menu. CreateShortcut returns the HRESULT of the call that
// failed, or S_OK; the others set the last error on failure.
int ShortcutPaths(wchar_t *desktopLink, wchar_t *startMenuFolder, wchar_t *startMenuLink);
HRESULT CreateShortcut(const wchar_t *linkPath);
int UninstallEntryExists(void);
// The DisplayVersion of the installed entry; empty when there is none.
void InstalledVersion(wchar_t *version, int capacity);
int WriteUninstallEntry(void);
int RemoveUninstallEntry(void);
void RemoveObsoleteComponent(void);

// Running copies of the application: those in this session are asked to
// close and waited for within a bound; one in another session of the
// user's, or one of the same name this setup may not open, fails the run
// at once. A copy is the same file, by its identity,
// whatever path started it. A failed move or delete of the application is
// blamed on it only while a copy runs.
int RunningApplicationCount(int *outOfReach);
int CheckRunningApplications(SetupOutcome *outcome, int mayClose);
int CloseRunningApplications(SetupOutcome *outcome, void (*waiting)(void));
int ApplicationFileStep(int step);
int StartApplication(HWND owner);

// Install and uninstall procedures. Each holds the user's setup lock for its
// whole run, and decides and reports; they know nothing of the window.
HANDLE TakeSetupLock(SetupOutcome *outcome);
void ReleaseSetupLock(HANDLE lock);
SetupOutcome RunInstall(const SetupRequest *request);
SetupOutcome RemoveInstallation(const SetupRequest *request);
int HandOverRemoval(void);

// What a screen reader meets: the window's role, the progress bar's name and
// the status line as a live region, annotated once the controls exist; a
// status announced (at once for a failure); and the window's thread
// answering sent messages and painting while a procedure runs on it, never
// acting on input.
void AnnotateWindow(HWND window);
void AnnounceStatus(const wchar_t *text, int failure);
void AnswerWhileWorking(void);

// What each way of running makes of the procedures: the interactive window
// asks and shows a box or its finished state, the passive window closes
// itself, the silent run shows nothing; the last two end with an exit code.
void DiscardQueuedInput(void);
int ExitCodeFor(const SetupOutcome *outcome);
void InstallNow(void);
void UninstallNow(void);
void ShowHelp(void);
int RefuseArguments(void);
int RefuseServiceAccount(void);
int RefuseOtherAccount(void);
int RefuseUnreadableShell(void);
SetupOutcome RunUnattended(void);
int RunSilently(void);

// The setup window, laid out for its monitor's DPI and again at every change
// of DPI; and the fonts and brushes it leaves when it is gone.
HWND OpenSetupWindow(int showCommand);
void CloseSetupResources(void);

#endif
