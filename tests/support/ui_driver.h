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

RunningSetup LaunchSetup(const std::wstring &commandLine, const std::wstring &directory);
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
void PressKey(HWND target, UINT key);
// Two clicks of the left button at a control's centre, as fast as a
// double-click, and a key struck twice in quick succession, through the
// system's input queue.
void DoubleClick(HWND control);
void DoubleKey(UINT key);
SeenBox ReadBox(HWND box);
void Answer(HWND box, int button);
bool WaitForExit(HANDLE process, DWORD timeoutMs, DWORD *exitCode);
COLORREF ClientPixel(HWND window, int x, int y);
bool SaveWindowBitmap(HWND window, const std::wstring &path);
std::wstring ArtifactPath(const std::wstring &name);

#endif
