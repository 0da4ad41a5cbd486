// What each way of running makes of the procedures. The interactive window
// asks before it closes a running application, and shows a box naming the
// cause of a failure or its finished state; the passive window shows no box
// and closes itself; the silent run shows nothing. Passive and silent runs
// open again an application they closed, and end with the exit code of the
// outcome; every run logs it. The window's buttons reach the procedures only
// through InstallNow and UninstallNow.
#include "setup.h"
#include "texts.h"

#include <commctrl.h>
#include <wchar.h>

static const int kBoxTextCapacity = 1024;

// Clicks and keys that queued up while the procedure ran (the second click of
// a double-click on a button, a second Enter) are dropped before the user is
// addressed again: they would answer a box unread, or reach the buttons under
// their new texts and open the application.
void DiscardQueuedInput(void)
{
    MSG input;

    while (PeekMessageW(&input, NULL, 0, 0, PM_REMOVE | PM_QS_INPUT)) {
    }
}

// The outcome's exit code, as the help box and the deployment documents list
// it: the failing step and its own error decide. Only a run that another run
// keeps waiting is busy, only a copy of the application that runs makes it
// "in use", and only a package that reads wrong is damaged; anything else is
// a plain failure that the log explains.
int ExitCodeFor(const SetupOutcome *outcome)
{
    DWORD error = outcome->error;

    if (outcome->step == STEP_NONE) return EXIT_DONE;
    if (outcome->step == STEP_LOCK) return error == ERROR_INSTALL_ALREADY_RUNNING ? EXIT_BUSY : EXIT_FAILED;
    if (outcome->step == STEP_VERSION) return EXIT_NEWER_INSTALLED;
    if (outcome->step == STEP_CLOSE_APPLICATION) return EXIT_APPLICATION_RUNNING;
    if (error == ERROR_DISK_FULL || error == ERROR_HANDLE_DISK_FULL) return EXIT_DISK_FULL;
    if (outcome->step == STEP_FOLDER) return EXIT_FOLDER_NOT_MADE;
    if (outcome->step == STEP_PACKAGE && (error == ERROR_CRC || error == ERROR_BAD_FORMAT || error == ERROR_HANDLE_EOF ||
                                          error == ERROR_FILE_INVALID))
        return EXIT_PACKAGE_DAMAGED;
    return EXIT_FAILED;
}

static int LoggedExitCode(const SetupOutcome *outcome)
{
    wchar_t text[32];
    int code = ExitCodeFor(outcome);

    FormatText(text, 32, L"exit code %d", code);
    LogLine(L"outcome", outcome->step == STEP_NONE ? L"success" : L"failure", text);
    return code;
}

// Sizes as a person reads them, in megabytes with one decimal, rounded up.
static void FormatMegabytes(wchar_t *text, int capacity, unsigned long long bytes)
{
    unsigned long long tenths = (bytes * 10 + (1 << 20) - 1) >> 20;

    FormatText(text, capacity, L"%llu,%llu MB", tenths / 10, tenths % 10);
}

// The cause of a failure, after the box's first sentence: what happened and
// what the user can do about it.
static void FailureCause(const SetupOutcome *outcome, wchar_t *text, int capacity)
{
    wchar_t drive[SETUP_PATH_CAPACITY] = {0};
    wchar_t needed[32];
    wchar_t available[32];
    wchar_t message[SETUP_PATH_CAPACITY] = {0};
    int length;

    switch (ExitCodeFor(outcome)) {
    case EXIT_APPLICATION_RUNNING:
        FormatText(text, capacity, L"%ls",
                   outcome->elsewhereApplications ? kApplicationElsewhereCause : kApplicationOpenCause);
        return;
    case EXIT_BUSY:
        FormatText(text, capacity, L"%ls", kSetupBusyCause);
        return;
    case EXIT_PACKAGE_DAMAGED:
        FormatText(text, capacity, L"%ls", kDamagedPackageCause);
        return;
    case EXIT_FOLDER_NOT_MADE:
        FormatText(text, capacity, kFolderCause, gInstallDir);
        return;
    case EXIT_DISK_FULL:
        // The drive the room was measured on, past junctions.
        lstrcpynW(drive, outcome->drive[0] ? outcome->drive : gInstallDir, outcome->drive[0] ? SETUP_PATH_CAPACITY : 4);
        if (outcome->step != STEP_ROOM) {
            FormatText(text, capacity, kDiskFilledCause, drive);
            return;
        }
        FormatMegabytes(needed, 32, outcome->neededBytes);
        FormatMegabytes(available, 32, outcome->availableBytes);
        FormatText(text, capacity, kDiskFullCause, drive, needed, available);
        return;
    }
    // The system's message, without its closing full stop and line break,
    // before the code in parentheses.
    length = (int)FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, outcome->error, 0,
                                 message, SETUP_PATH_CAPACITY, NULL);
    while (length > 0 && (message[length - 1] == L'\r' || message[length - 1] == L'\n' || message[length - 1] == L'.' ||
                          message[length - 1] == L' '))
        message[--length] = L'\0';
    if (length > 0)
        length = FormatText(text, capacity, kErrorCodeText, message, (unsigned long)outcome->error);
    else
        length = FormatText(text, capacity, kUnknownErrorText, (unsigned long)outcome->error);
    if (gLogPath[0])
        FormatText(text + length, capacity - length, kRetryWithLogText, gLogPath);
    else
        FormatText(text + length, capacity - length, L"%ls", kRetryText);
}

static void ShowFailure(const SetupOutcome *outcome, const wchar_t *first, const wchar_t *caption)
{
    wchar_t cause[kBoxTextCapacity];
    wchar_t text[kBoxTextCapacity];

    FailureCause(outcome, cause, kBoxTextCapacity);
    FormatText(text, kBoxTextCapacity, L"%ls %ls", first, cause);
    DiscardQueuedInput();
    MessageBoxW(gMain, text, caption, MB_ICONERROR | MB_OK);
}

// After an unattended run: a successful uninstall hands its own removal
// over, whose failure fails the run; the install opens again the
// application it closed, once, as "Programı Aç" would, also after a
// failure, when the earlier application stands again.
static void FinishUnattended(SetupOutcome *outcome)
{
    if (gUninstallMode) {
        if (outcome->step == STEP_NONE && !HandOverRemoval()) {
            outcome->step = STEP_HAND_OVER;
            outcome->error = GetLastError();
        }
    } else if (outcome->closedApplications > 0 && !gNoReopen) {
        StartApplication(NULL);
    }
}

// The primary button takes the keyboard focus again.
static void EnableButtons(void)
{
    EnableWindow(gInstallButton, TRUE);
    EnableWindow(gCancelButton, TRUE);
    SetFocus(gInstallButton);
}

static void DisableButtons(void)
{
    EnableWindow(gInstallButton, FALSE);
    EnableWindow(gCancelButton, FALSE);
}

// Called by a procedure when it starts to wait for the application to close.
static void ShowWaitingForApplication(void)
{
    DisableButtons();
    AnnounceStatus(kWaitingForApplicationStatus, 0);
}

// Only the interactive window asks; the switches speak for unattended runs.
// Returns 0 when the user keeps the running application open.
// A copy in another session cannot be closed from here, so nothing is asked:
// the procedure reports it.
static int MayCloseApplication(const wchar_t *caption)
{
    int elsewhere = 0;

    if (gRunMode != RUN_INTERACTIVE || gNoClose || RunningApplicationCount(&elsewhere) == 0 || elsewhere > 0) return 1;
    DiscardQueuedInput();
    return MessageBoxW(gMain, kCloseApplicationQuestion, caption, MB_YESNO | MB_ICONQUESTION) == IDYES;
}

static void PresentInstallOutcome(SetupOutcome *outcome)
{
    if (gRunMode == RUN_PASSIVE) {
        FinishUnattended(outcome);
        gExitCode = LoggedExitCode(outcome);
        DestroyWindow(gMain);
        return;
    }
    LoggedExitCode(outcome);
    if (outcome->step != STEP_NONE) {
        ShowFailure(outcome, kInstallFailedFirst, kInstallTitle);
        AnnounceStatus(kInstallFailedStatus, 1);
        EnableButtons();
        return;
    }
    AnnounceStatus(kInstalledStatus, 0);
    SetWindowTextW(gInstallButton, kOpenButtonText);
    SetWindowTextW(gCancelButton, kCloseButtonText);
    DiscardQueuedInput();
    EnableButtons();
    gInstalled = 1;
}

// Only the interactive window asks, naming both versions; the others need
// --allow-downgrade, or the procedure refuses. The default answer keeps the
// newer version. Returns 0 when the user keeps it.
static int MayReplaceNewerVersion(SetupRequest *request)
{
    wchar_t installed[64];
    wchar_t question[512];

    if (request->allowDowngrade || gRunMode != RUN_INTERACTIVE) return 1;
    InstalledVersion(installed, 64);
    if (CompareVersions(installed, PRODUCT_VERSION) <= 0) return 1;
    FormatText(question, 512, kReplaceNewerQuestion, installed, PRODUCT_VERSION, installed, PRODUCT_VERSION);
    DiscardQueuedInput();
    if (MessageBoxW(gMain, question, kInstallTitle, MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2) != IDYES) return 0;
    request->allowDowngrade = 1;
    return 1;
}

void InstallNow(void)
{
    SetupRequest request = {!gNoClose, ShowWaitingForApplication, gAllowDowngrade};
    SetupOutcome outcome;

    if (!MayReplaceNewerVersion(&request)) return;
    if (!MayCloseApplication(kInstallTitle)) return;
    DisableButtons();
    AnnounceStatus(kWorkingStatus, 0);
    outcome = RunInstall(&request);
    if (outcome.step == STEP_NONE) SendMessageW(gProgress, PBM_SETPOS, PROGRESS_MAX, 0);
    PresentInstallOutcome(&outcome);
}

// Only the interactive window asks.
static int ConfirmUninstall(void)
{
    if (gRunMode != RUN_INTERACTIVE) return 1;
    return MessageBoxW(gMain, kUninstallQuestion, kUninstallTitle, MB_YESNO | MB_ICONQUESTION) == IDYES;
}

static const wchar_t *UninstallFailureText(const SetupOutcome *outcome)
{
    switch (ExitCodeFor(outcome)) {
    case EXIT_BUSY:
        return kSetupBusyText;
    case EXIT_APPLICATION_RUNNING:
        return outcome->elsewhereApplications ? kApplicationElsewhereText : kApplicationRunningText;
    }
    return NULL;
}

// The completion box, with the links that stayed.
static void ShowUninstalled(const SetupOutcome *outcome)
{
    wchar_t text[kBoxTextCapacity];
    int length = FormatText(text, kBoxTextCapacity, L"%ls", kUninstalledText);

    if (outcome->keptShortcuts[0])
        FormatText(text + length, kBoxTextCapacity - length, kShortcutsKeptText, outcome->keptShortcuts);
    MessageBoxW(gMain, text, kUninstallTitle, MB_ICONINFORMATION | MB_OK);
}

// Returns 1 when the run is over and the window is to close: after the
// completion box, or in a passive window whatever the outcome. A failed
// interactive uninstall keeps its window for another try.
static int PresentUninstallOutcome(SetupOutcome *outcome)
{
    if (gRunMode == RUN_PASSIVE) {
        FinishUnattended(outcome);
        gExitCode = LoggedExitCode(outcome);
        return 1;
    }
    // The removal of the running uninstaller is handed over only once the
    // completion box is read: the interpreter deletes this very file about
    // two seconds after it starts, by when the process has to have exited.
    // A hand-over that cannot start keeps the window, with its cause.
    if (outcome->step == STEP_NONE) {
        DiscardQueuedInput();
        ShowUninstalled(outcome);
        if (HandOverRemoval()) {
            LoggedExitCode(outcome);
            return 1;
        }
        outcome->step = STEP_HAND_OVER;
        outcome->error = GetLastError();
    }
    LoggedExitCode(outcome);
    if (UninstallFailureText(outcome)) {
        DiscardQueuedInput();
        MessageBoxW(gMain, UninstallFailureText(outcome), kUninstallTitle, MB_ICONERROR | MB_OK);
    } else {
        ShowFailure(outcome, kUninstallFailedFirst, kUninstallTitle);
    }
    EnableButtons();
    return 0;
}

void UninstallNow(void)
{
    SetupRequest request = {!gNoClose, DisableButtons, 0};
    SetupOutcome outcome;

    DiscardQueuedInput();
    if (!ConfirmUninstall() || !MayCloseApplication(kUninstallTitle)) return;
    outcome = RemoveInstallation(&request);
    if (PresentUninstallOutcome(&outcome)) DestroyWindow(gMain);
}

// No window and no box: the procedure runs at once, the uninstall without
// the question, and its outcome is whole once the uninstall has handed its
// removal over and the install has opened again what it closed.
SetupOutcome RunUnattended(void)
{
    SetupRequest request = {!gNoClose, NULL, gAllowDowngrade};
    SetupOutcome outcome = gUninstallMode ? RemoveInstallation(&request) : RunInstall(&request);

    FinishUnattended(&outcome);
    return outcome;
}

// The exit code tells the outcome.
int RunSilently(void)
{
    SetupOutcome outcome = RunUnattended();

    return LoggedExitCode(&outcome);
}

#define WIDE_TEXT(text) L##text
#define WIDE_NUMBER(code) WIDE_TEXT(#code)
#define HELP_EXIT_CODE_LINE(code, name, response, meaning) L"\n" WIDE_NUMBER(code) L": " meaning

// No tab columns: a proportional font never lines them up.
static const wchar_t kHelpText[] =
    PRODUCT_SWITCH_HELP
    L"\n"
    L"Sessiz ve pasif çalışmanın çıkış kodları:"
    SETUP_EXIT_CODES(HELP_EXIT_CODE_LINE);

static const wchar_t *const kUninstallSwitch[] = UNINSTALL_SWITCHES;

// Before anything is done: the interactive window's box, the others' exit
// code; a misspelt uninstall switch is logged too (a log path too long is
// no log to write to).
int RefuseArguments(void)
{
    wchar_t text[kBoxTextCapacity];

    if (gRefusedSwitch[0]) {
        StartLog(0);
        LogLine(L"switches", gRefusedSwitch, L"refused: the uninstall switch is written --uninstall; nothing was done");
        FormatText(text, kBoxTextCapacity, kRefusedSwitchText, gRefusedSwitch, kUninstallSwitch[0]);
    } else {
        FormatText(text, kBoxTextCapacity, L"%ls", kLogPathTooLongText);
    }
    if (gRunMode == RUN_INTERACTIVE)
        MessageBoxW(NULL, text, gUninstallMode ? kUninstallTitle : kInstallTitle, MB_ICONERROR | MB_OK);
    return EXIT_BAD_ARGUMENT;
}

// Before anything is written: a service account has no user's profile, and
// what it installed would be there for nobody. The log says what to do.
int RefuseServiceAccount(void)
{
    StartLog(0);
    LogLine(L"account", gRunningAccount,
            L"refused: a service account (LocalSystem, LocalService, NetworkService); the setup installs for the user "
            L"who runs it: run it in the user's context");
    if (gRunMode == RUN_INTERACTIVE)
        MessageBoxW(NULL, kServiceAccountText, gUninstallMode ? kUninstallTitle : kInstallTitle, MB_ICONERROR | MB_OK);
    return EXIT_WRONG_ACCOUNT;
}

// Elevated as another account than the user signed in to this desktop
// (a helpdesk's own, or the hidden one of administrator protection): its
// profile and its registry are no place for the signed-in user's program,
// and an uninstall would remove that account's installation in the user's
// name. Unattended runs refuse; the window asks whether to start this file
// again as the signed-in user, through the desktop's shell, unelevated,
// with the same switches, and this copy ends either way.
int RefuseOtherAccount(void)
{
    const wchar_t *title = gUninstallMode ? kUninstallTitle : kInstallTitle;
    const wchar_t *program = gUninstallMode ? kUninstallerNoun : kSetupNoun;
    wchar_t text[kBoxTextCapacity];
    wchar_t folder[SETUP_PATH_CAPACITY];
    wchar_t *slash;
    HRESULT result;

    StartLog(0);
    FormatText(text, kBoxTextCapacity, L"refused: run the setup in the session of %ls, not as administrator",
               gSignedInAccount);
    LogLine(L"account", gRunningAccount, text);
    if (gRunMode != RUN_INTERACTIVE) return EXIT_WRONG_ACCOUNT;
    FormatText(text, kBoxTextCapacity, gUninstallMode ? kOtherAccountUninstallQuestion : kOtherAccountInstallQuestion,
               program, gRunningAccount, gSignedInAccount, program, gSignedInAccount);
    if (MessageBoxW(NULL, text, title, MB_YESNO | MB_ICONWARNING) != IDYES) return EXIT_WRONG_ACCOUNT;
    lstrcpynW(folder, gSelfPath, SETUP_PATH_CAPACITY);
    slash = wcsrchr(folder, L'\\');
    if (slash) *slash = L'\0';
    result = StartThroughShell(gSelfPath, ArgumentsAfterProgramName(GetCommandLineW()), folder);
    LogStep(NULL, STEP_START_APPLICATION, gSelfPath, SUCCEEDED(result), (DWORD)result);
    if (SUCCEEDED(result)) return EXIT_DONE;
    FormatText(text, kBoxTextCapacity, kOtherAccountNotStartedText, program, gSignedInAccount, gSignedInAccount);
    MessageBoxW(NULL, text, title, MB_ICONERROR | MB_OK);
    return EXIT_WRONG_ACCOUNT;
}

// Elevated, with a shell on the desktop whose account cannot be read: it
// may be another user's, so nothing is done, in any way of running.
int RefuseUnreadableShell(void)
{
    wchar_t text[kBoxTextCapacity];

    StartLog(0);
    LogLine(L"account", gRunningAccount, L"refused: run the setup in the user's own session, not as administrator");
    if (gRunMode == RUN_INTERACTIVE) {
        FormatText(text, kBoxTextCapacity, kShellUnreadableText, gUninstallMode ? kUninstallerNoun : kSetupNoun);
        MessageBoxW(NULL, text, gUninstallMode ? kUninstallTitle : kInstallTitle, MB_ICONERROR | MB_OK);
    }
    return EXIT_WRONG_ACCOUNT;
}

// The usage line names the file that runs, the setup file or the uninstaller.
void ShowHelp(void)
{
    static wchar_t text[sizeof kHelpText / sizeof kHelpText[0] + SETUP_PATH_CAPACITY + 40];
    const wchar_t *slash = wcsrchr(gSelfPath, L'\\');

    FormatText(text, (int)(sizeof text / sizeof text[0]), kHelpUsage, slash ? slash + 1 : gSelfPath, kHelpText);
    MessageBoxW(NULL, text, gUninstallMode ? kUninstallTitle : kInstallTitle, MB_ICONINFORMATION | MB_OK);
}
