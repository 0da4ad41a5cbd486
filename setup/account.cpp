// The account the setup runs as, and the user signed in to this desktop. A
// setup run elevated (by habit, with a helpdesk's own account, or by
// Windows' administrator protection, which elevates as a hidden account of
// its own) must neither install into another account's profile nor start
// the application elevated: started through the desktop's shell, it runs
// as the signed-in user does, unelevated, in the install folder.
#include "setup.h"

#include <exdisp.h>
#include <objbase.h>
#include <oleauto.h>
#include <sddl.h>
#include <shldisp.h>
#include <shlguid.h>
#include <shlobj.h>
#include <shobjidl.h>

int IsServiceAccount(PSID sid)
{
    return IsWellKnownSid(sid, WinLocalSystemSid) || IsWellKnownSid(sid, WinLocalServiceSid) ||
           IsWellKnownSid(sid, WinNetworkServiceSid);
}

// A process's account and whether its token is elevated.
struct TokenFacts {
    BYTE user[SECURITY_MAX_SID_SIZE];
    int elevated;
};

static int ReadTokenFacts(HANDLE process, TokenFacts *facts)
{
    HANDLE token = NULL;
    BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    TOKEN_ELEVATION elevation = {0};
    DWORD size = 0;
    int ok;

    if (!OpenProcessToken(process, TOKEN_QUERY, &token)) return 0;
    ok = GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size) &&
         GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size) &&
         CopySid(SECURITY_MAX_SID_SIZE, facts->user, ((TOKEN_USER *)buffer)->User.Sid);
    facts->elevated = elevation.TokenIsElevated != 0;
    CloseHandle(token);
    return ok;
}

// Whose shell it is decides, whenever a shell is found, elevated or not: a
// helpdesk's "run as another user" on a desktop whose own user's shell is
// elevated (UAC off, a signed-in administrator) is still another account. A
// shell found whose account cannot be read could be anyone's, so the run
// is refused rather than run as it is.
int DecideAccountContext(const AccountFacts *facts)
{
    if (facts->service) return CONTEXT_SERVICE_ACCOUNT;
    if (!facts->elevated) return CONTEXT_NOT_ELEVATED;
    if (facts->shellUnreadable) return CONTEXT_SHELL_UNREADABLE;
    if (!facts->shellFound) return CONTEXT_NO_UNELEVATED_SHELL;
    if (!facts->shellSameUser) return CONTEXT_OTHER_ACCOUNT;
    return facts->shellElevated ? CONTEXT_NO_UNELEVATED_SHELL : CONTEXT_ELEVATED_AS_USER;
}

// "DOMAIN\user", or the SID where the account's name cannot be looked up.
static void AccountName(PSID sid, wchar_t *name)
{
    wchar_t user[128];
    wchar_t domain[128];
    DWORD userLength = 128;
    DWORD domainLength = 128;
    SID_NAME_USE use;
    wchar_t *text = NULL;

    name[0] = L'\0';
    if (LookupAccountSidW(NULL, sid, user, &userLength, domain, &domainLength, &use))
        FormatText(name, ACCOUNT_NAME_CAPACITY, domain[0] ? L"%ls\\%ls" : L"%ls%ls", domain, user);
    else if (ConvertSidToStringSidW(sid, &text)) {
        FormatText(name, ACCOUNT_NAME_CAPACITY, L"%ls", text);
        LocalFree(text);
    }
}

// The desktop's location, for the shell's list of its windows.
static void DesktopLocation(VARIANT *location)
{
    VariantInit(location);
    location->vt = VT_I4;
    location->lVal = CSIDL_DESKTOP;
}

// A window of the desktop's shell, whose process is the shell of the user
// signed in to this desktop: the shell window, or where the system names
// none, the shell's taskbar. Found without a call into the shell's process,
// so a shell that is slow or hung never keeps the setup from appearing.
static HWND DesktopShellWindow(void)
{
    HWND shell = GetShellWindow();

    return shell ? shell : FindWindowW(L"Shell_TrayWnd", NULL);
}

// A service account has no desktop of its own to look for a shell on, and
// is refused whatever it would find.
void ReadAccountContext(void)
{
    AccountFacts facts = {0, 0, 0, 0, 0, 0};
    TokenFacts own;
    TokenFacts shell;
    HANDLE process = NULL;
    HWND window;
    DWORD shellProcess = 0;

    if (ReadTokenFacts(GetCurrentProcess(), &own)) {
        facts.service = IsServiceAccount(own.user);
        facts.elevated = own.elevated;
        AccountName(own.user, gRunningAccount);
    }
    // A shell that is ending (Explorer restarting) is no shell: its window
    // or its process is gone by the time it is read.
    if (facts.elevated && !facts.service) {
        window = DesktopShellWindow();
        if (window) GetWindowThreadProcessId(window, &shellProcess);
        if (shellProcess) process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, shellProcess);
        if (process && ReadTokenFacts(process, &shell)) {
            facts.shellFound = 1;
            facts.shellElevated = shell.elevated;
            facts.shellSameUser = EqualSid(own.user, shell.user);
            AccountName(shell.user, gSignedInAccount);
        } else if (shellProcess) {
            gShellError = GetLastError();
            facts.shellUnreadable = IsWindow(window) && (process ? WaitForSingleObject(process, 0) == WAIT_TIMEOUT
                                                                 : gShellError != ERROR_INVALID_PARAMETER);
        }
        if (process) CloseHandle(process);
    }
    gAccountContext = DecideAccountContext(&facts);
}

static VARIANT TextVariant(const wchar_t *text)
{
    VARIANT variant;

    VariantInit(&variant);
    variant.vt = VT_BSTR;
    variant.bstrVal = SysAllocString(text);
    return variant;
}

// As Explorer starts a program when the user opens it: the desktop's folder
// view asks its shell to, so the program runs in the shell's process's
// account and token, unelevated, with no handle of it for this process.
// Returns the HRESULT of the call that failed, or S_OK.
HRESULT StartThroughShell(const wchar_t *file, const wchar_t *parameters, const wchar_t *directory)
{
    IShellWindows *windows = NULL;
    IDispatch *desktop = NULL;
    IServiceProvider *provider = NULL;
    IShellBrowser *browser = NULL;
    IShellView *view = NULL;
    IDispatch *background = NULL;
    IShellFolderViewDual *folderView = NULL;
    IDispatch *application = NULL;
    IShellDispatch2 *shell = NULL;
    VARIANT location;
    VARIANT empty;
    VARIANT arguments = TextVariant(parameters);
    VARIANT folder = TextVariant(directory);
    VARIANT verb = TextVariant(L"open");
    VARIANT show;
    BSTR program = SysAllocString(file);
    long handle = 0;
    HRESULT result;

    DesktopLocation(&location);
    VariantInit(&empty);
    VariantInit(&show);
    show.vt = VT_I4;
    show.lVal = SW_SHOWNORMAL;
    result = program && arguments.bstrVal && folder.bstrVal && verb.bstrVal ? S_OK : E_OUTOFMEMORY;
    if (SUCCEEDED(result))
        result = CoCreateInstance(CLSID_ShellWindows, NULL, CLSCTX_LOCAL_SERVER, IID_IShellWindows, (void **)&windows);
    if (SUCCEEDED(result))
        result = windows->FindWindowSW(&location, &empty, SWC_DESKTOP, &handle, SWFO_NEEDDISPATCH, &desktop);
    // No desktop window: S_FALSE, with no object.
    if (result == S_FALSE || (SUCCEEDED(result) && !desktop)) result = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
    if (SUCCEEDED(result)) result = desktop->QueryInterface(IID_IServiceProvider, (void **)&provider);
    if (SUCCEEDED(result)) result = provider->QueryService(SID_STopLevelBrowser, IID_IShellBrowser, (void **)&browser);
    if (SUCCEEDED(result)) result = browser->QueryActiveShellView(&view);
    if (SUCCEEDED(result)) result = view->GetItemObject(SVGIO_BACKGROUND, IID_IDispatch, (void **)&background);
    if (SUCCEEDED(result)) result = background->QueryInterface(IID_IShellFolderViewDual, (void **)&folderView);
    if (SUCCEEDED(result)) result = folderView->get_Application(&application);
    if (SUCCEEDED(result)) result = application->QueryInterface(IID_IShellDispatch2, (void **)&shell);
    if (SUCCEEDED(result)) result = shell->ShellExecute(program, arguments, folder, verb, show);
    if (shell) shell->Release();
    if (application) application->Release();
    if (folderView) folderView->Release();
    if (background) background->Release();
    if (view) view->Release();
    if (browser) browser->Release();
    if (provider) provider->Release();
    if (desktop) desktop->Release();
    if (windows) windows->Release();
    VariantClear(&verb);
    VariantClear(&folder);
    VariantClear(&arguments);
    SysFreeString(program);
    return FAILED(result) ? result : S_OK;
}
