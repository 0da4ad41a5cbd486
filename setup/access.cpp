// What a screen reader meets in the window: a short name for every control,
// the window read as a dialog, so that its description is read on opening,
// the status line as a live region whose every change is announced, and a
// window's thread that answers while a procedure runs on it. Annotations a
// system does not implement are done without, and nothing is said of it.
#include "setup.h"
#include "texts.h"

#include <oleacc.h>

// UI Automation's live-setting property, which annotation sets on a
// control of a window; and its values.
static const GUID kLiveSettingProperty = {0xc12bcd8e, 0x2a8e, 0x4950, {0x8a, 0xe7, 0x36, 0x25, 0x11, 0x1d, 0x58, 0xeb}};
enum { LIVE_POLITE = 1, LIVE_ASSERTIVE = 2 };

// How the status line is annotated now: a failure is announced at once,
// everything else when the reader is done speaking.
static int gLiveSetting;

static HRESULT SetNumber(IAccPropServices *services, HWND control, const GUID &property, long number)
{
    VARIANT value;

    VariantInit(&value);
    value.vt = VT_I4;
    value.lVal = number;
    return services->SetHwndProp(control, (DWORD)OBJID_CLIENT, CHILDID_SELF, property, value);
}

static IAccPropServices *PropertyServices(void)
{
    IAccPropServices *services = NULL;

    if (FAILED(CoCreateInstance(CLSID_AccPropServices, NULL, CLSCTX_INPROC_SERVER, IID_IAccPropServices,
                                (void **)&services)))
        return NULL;
    return services;
}

static void AnnotateLiveSetting(int setting)
{
    IAccPropServices *services = PropertyServices();

    gLiveSetting = setting;
    if (!services) return;
    SetNumber(services, gStatus, kLiveSettingProperty, setting);
    services->Release();
}

// Once, when the controls are made: the window's role, the progress bar's
// name (it has no text, and the labelling rule would name it after the
// paragraph above it), and the status line as a polite live region.
void AnnotateWindow(HWND window)
{
    IAccPropServices *services = PropertyServices();

    if (!services) return;
    SetNumber(services, window, PROPID_ACC_ROLE, ROLE_SYSTEM_DIALOG);
    if (gProgress) services->SetHwndPropStr(gProgress, (DWORD)OBJID_CLIENT, CHILDID_SELF, PROPID_ACC_NAME, kProgressName);
    services->Release();
    if (gStatus) AnnotateLiveSetting(LIVE_POLITE);
}

void AnnounceStatus(const wchar_t *text, int failure)
{
    int setting = failure ? LIVE_ASSERTIVE : LIVE_POLITE;

    if (!gStatus) return;
    SetWindowTextW(gStatus, text);
    if (setting != gLiveSetting) AnnotateLiveSetting(setting);
    NotifyWinEvent(EVENT_OBJECT_LIVEREGIONCHANGED, gStatus, OBJID_CLIENT, CHILDID_SELF);
}

// Often enough that Windows never takes the window for one that does not
// respond (five seconds), rarely enough to cost the copy nothing.
static const ULONGLONG kAnswerIntervalMs = 50;

// Peeking handles what other threads and programs sent the window (a screen
// reader asking for a text); only paints are taken from the queue. Input
// stays queued, to be dropped when the procedure ends, and nothing posted
// runs, so no procedure starts inside another.
void AnswerWhileWorking(void)
{
    static ULONGLONG last;
    ULONGLONG now = GetTickCount64();
    MSG message;

    if (now - last < kAnswerIntervalMs) return;
    last = now;
    PeekMessageW(&message, NULL, 0, 0, PM_NOREMOVE | PM_QS_SENDMESSAGE);
    while (PeekMessageW(&message, NULL, WM_PAINT, WM_PAINT, PM_REMOVE)) DispatchMessageW(&message);
}
