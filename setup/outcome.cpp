// What each way of running makes of a procedure's outcome. The interactive
// window shows a box or its finished state; the passive window shows no box
// and closes itself; the silent run shows nothing. Passive and silent runs
// end with the exit code of the outcome; every run logs it.
#include "setup.h"
#include "texts.h"

#include <commctrl.h>

// The outcome's exit code, as the help box and the deployment documents list it.
int ExitCodeFor(const SetupOutcome *outcome)
{
    if (outcome->step == STEP_NONE) return EXIT_DONE;
    if (outcome->step == STEP_LOCK) return EXIT_BUSY;
    if (outcome->error == ERROR_DISK_FULL || outcome->error == ERROR_HANDLE_DISK_FULL) return EXIT_DISK_FULL;
    switch (outcome->step) {
    case STEP_FOLDER:
        return EXIT_FOLDER_NOT_MADE;
    case STEP_PACKAGE:
        return EXIT_PACKAGE_DAMAGED;
    case STEP_REPLACE_APPLICATION:
    case STEP_REMOVE_APPLICATION:
        return EXIT_APPLICATION_RUNNING;
    }
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

// A passive window closes itself with the outcome's exit code.
static void ClosePassiveWindow(const SetupOutcome *outcome)
{
    gExitCode = LoggedExitCode(outcome);
    DestroyWindow(gMain);
}

// The primary button takes the keyboard focus again.
static void EnableButtons(void)
{
    EnableWindow(gInstallButton, TRUE);
    EnableWindow(gCancelButton, TRUE);
    SetFocus(gInstallButton);
}

void PresentInstallOutcome(const SetupOutcome *outcome)
{
    if (gRunMode == RUN_PASSIVE) {
        ClosePassiveWindow(outcome);
        return;
    }
    LoggedExitCode(outcome);
    if (outcome->step != STEP_NONE) {
        DiscardQueuedInput();
        MessageBoxW(gMain, kInstallFailedText, kInstallTitle, MB_ICONERROR | MB_OK);
        SetWindowTextW(gStatus, kInstallFailedStatus);
        EnableButtons();
        return;
    }
    SetWindowTextW(gStatus, kInstalledStatus);
    SetWindowTextW(gInstallButton, kOpenButtonText);
    SetWindowTextW(gCancelButton, kCloseButtonText);
    DiscardQueuedInput();
    EnableButtons();
    gInstalled = 1;
}

// Only the interactive window asks.
int ConfirmUninstall(void)
{
    if (gRunMode != RUN_INTERACTIVE) return 1;
    return MessageBoxW(gMain, kUninstallQuestion, kUninstallTitle, MB_YESNO | MB_ICONQUESTION) == IDYES;
}

// Returns 1 when the run is over and the window is to close: after the
// completion box, or in a passive window whatever the outcome. A failed
// interactive uninstall keeps its window for another try.
int PresentUninstallOutcome(const SetupOutcome *outcome)
{
    if (gRunMode == RUN_PASSIVE) {
        gExitCode = LoggedExitCode(outcome);
        return 1;
    }
    LoggedExitCode(outcome);
    if (outcome->step == STEP_LOCK) {
        MessageBoxW(gMain, kSetupBusyText, kUninstallTitle, MB_ICONERROR | MB_OK);
        return 0;
    }
    if (outcome->step != STEP_NONE) {
        MessageBoxW(gMain, kApplicationRunningText, kUninstallTitle, MB_ICONERROR | MB_OK);
        return 0;
    }
    MessageBoxW(gMain, kUninstalledText, kUninstallTitle, MB_ICONINFORMATION | MB_OK);
    return 1;
}

// No window and no box: the procedure runs at once, the uninstall without
// the question, and the exit code tells the outcome.
int RunSilently(void)
{
    SetupOutcome outcome = gUninstallMode ? RemoveInstallation() : RunInstall();

    if (gUninstallMode && outcome.step == STEP_NONE) HandOverRemoval();
    return LoggedExitCode(&outcome);
}

#define WIDE_TEXT(text) L##text
#define WIDE_NUMBER(code) WIDE_TEXT(#code)
#define HELP_EXIT_CODE_LINE(code, name, response, meaning) L"\n" WIDE_NUMBER(code) L"\t" meaning

static const wchar_t kHelpText[] =
    L"Kullanım: TarvoMarkwise_Setup.exe [seçenekler]\n"
    L"\n"
    L"--silent (/S, /VERYSILENT, /quiet, /qn)\tpencere ve soru göstermeden kurar; kaldırıcıda sormadan kaldırır\n"
    L"--passive (/SILENT, /passive)\tyalnızca ilerlemeyi gösterir; kendiliğinden başlar ve kapanır\n"
    L"--log <dosya> (/LOG=<dosya>)\therbir adımı bu dosyaya yazar (UTF-8)\n"
    L"--uninstall\tkaldırır\n"
    L"--help (/?)\tbu yardımı gösterir\n"
    L"\n"
    L"Sessiz ve pasif çalışmanın çıkış kodları:"
    SETUP_EXIT_CODES(HELP_EXIT_CODE_LINE);

void ShowHelp(void)
{
    MessageBoxW(NULL, kHelpText, gUninstallMode ? kUninstallTitle : kInstallTitle, MB_ICONINFORMATION | MB_OK);
}
