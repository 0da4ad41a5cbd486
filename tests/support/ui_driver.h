// Drives a running setup program from outside, as a user would: finds its
// windows, reads controls and message boxes, presses buttons, reads pixels.
#ifndef TARVO_UI_DRIVER_H
#define TARVO_UI_DRIVER_H

#include "test_support.h"

struct RunningSetup {
    HANDLE process;
    DWORD id;
    HWND window;
};

struct ControlFacts {
    HWND handle;
    std::wstring className;
    std::wstring text;
    RECT rect;  // client coordinates of the main window
    int id;
};

// A run watched from its start to its exit: whether a window or a message
// box of it was ever visible, and the progress positions its bar showed.
struct WatchedRun {
    bool exited;
    DWORD exitCode;
    DWORD id;
    bool sawWindow;
    bool sawBox;
    std::vector<int> progress;
};
WatchedRun RunWatched(const std::wstring &commandLine, const std::wstring &directory, DWORD timeoutMs);

// Starts the setup and waits for its window, or for a top-level window of
// another class (a box shown before any window, "#32770").
RunningSetup LaunchSetup(const std::wstring &commandLine, const std::wstring &directory,
                         const wchar_t *windowClass = PRODUCT_WINDOW_CLASS);
void EndSetup(RunningSetup *setup);
HWND WaitForTopWindow(DWORD processId, const wchar_t *className, DWORD timeoutMs);
std::vector<ControlFacts> Controls(HWND window);
std::wstring TextOf(HWND window);
bool WaitForText(HWND window, const std::wstring &text, DWORD timeoutMs);
void Press(HWND button);
// The keyboard: the window that has the focus on the thread of a window, and
// a key pressed and released there, as the keyboard would send it.
HWND FocusOf(HWND window);
bool WaitForFocus(HWND window, HWND control, DWORD timeoutMs);
// Posts a key press; the caller waits for the state it leads to.
void PressKey(HWND target, UINT key);
// Clicks of the left button at a control's centre, and strokes of a key,
// back to back through the system's input queue, which delivers them in
// order to the foreground window.
void Click(HWND control, int times);
void StrikeKey(UINT key, int times);
// Strikes a key several times while the thread of a window is held, so that
// every stroke is queued before the window reads the first: what a slow
// machine makes of a quick double strike. False if the thread is not held.
bool StrikeKeyQueued(HWND window, UINT key, int times);
// Brings a window to the front and waits until it is there with the focus on
// control, the state in which struck keys reach it.
bool WaitForFront(HWND window, HWND control, DWORD timeoutMs);
// Returns once the system's double-click time has passed since a press that
// was sent at pressedAt (GetTickCount64 taken after sending it).
void AfterDoubleClickTime(ULONGLONG pressedAt);
SeenBox ReadBox(HWND box);
void Answer(HWND box, int button);
bool WaitForClose(HWND window, DWORD timeoutMs);
// The window as it is on screen, once two captures in a row agree: painting
// has ended.
bool WaitUntilDrawn(HWND window, DWORD timeoutMs);
bool WaitForExit(HANDLE process, DWORD timeoutMs, DWORD *exitCode);
COLORREF ClientPixel(HWND window, int x, int y);
bool SaveWindowBitmap(HWND window, const std::wstring &path);
std::wstring ArtifactPath(const std::wstring &name);
// A window as it is on screen: its client area's size, its controls'
// rectangles and the client area's pixels (32-bit, blue first).
struct WindowFacts {
    SIZE client;
    std::vector<RECT> controls;
    Bytes pixels;
};
WindowFacts ReadWindow(HWND window);
bool operator==(const RECT &a, const RECT &b);
// The window of this thread, with its messages handled as the program's loop
// handles them, until two readings in a row agree: painting has ended.
WindowFacts PumpUntilDrawn(HWND window);
// The live-region announcements of other processes' windows, as a screen
// reader receives them: an out-of-context event hook on a thread of its own,
// set when this is made (before the watched program starts), each
// announcement with the text its window had when it was received.
class LiveRegionListener {
public:
    LiveRegionListener();
    ~LiveRegionListener();
    std::vector<std::wstring> Heard(DWORD processId);

private:
    static DWORD WINAPI Run(void *self);
    static void CALLBACK Event(HWINEVENTHOOK hook, DWORD event, HWND window, LONG object, LONG child, DWORD thread,
                               DWORD time);
    HANDLE ready;
    HANDLE thread;
    DWORD threadId;
};

#endif
