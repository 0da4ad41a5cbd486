// Holds the Wine session's desktop for as long as the session runs. The
// wineserver closes a virtual desktop one second after its last program
// with a window has gone, and a program that starts at that moment dies
// before its start-up completes (CreateProcessW fails with error 1359, the
// child having ended with 0). Between the suite's steps, often no program
// of ours has a window; this one always does, hidden, so the desktop stays.
// Windows keeps a session's desktop for the session's life: nothing of the
// kind is needed there.
#ifndef UNICODE
#define UNICODE
#endif
#include <windows.h>

// Its one argument names a file it writes once its window, and so the
// desktop (which the first window of a session starts), exists.
int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR ready, int)
{
    WNDCLASSW keeperClass = {0};
    HANDLE file;
    MSG message;

    keeperClass.lpfnWndProc = DefWindowProcW;
    keeperClass.hInstance = instance;
    keeperClass.lpszClassName = L"TarvoDesktopKeeper";
    RegisterClassW(&keeperClass);
    if (!CreateWindowExW(0, keeperClass.lpszClassName, L"", WS_POPUP, 0, 0, 1, 1, NULL, NULL, instance, NULL)) return 1;
    // A path with spaces arrives quoted.
    if (*ready == L'"') {
        ++ready;
        for (wchar_t *end = ready; *end; ++end)
            if (*end == L'"') *end = L'\0';
    }
    file = CreateFileW(ready, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    while (GetMessageW(&message, NULL, 0, 0) > 0) DispatchMessageW(&message);
    return 0;
}
