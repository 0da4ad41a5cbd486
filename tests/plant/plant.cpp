// A library planted beside a downloaded program under the name of a system
// library. Each time it is loaded it appends one byte to the file named by
// TARVO_PLANT_MARKER, and it refuses to stay.
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    wchar_t marker[MAX_PATH] = {0};
    HANDLE file;
    DWORD written;

    (void)instance;
    (void)reserved;
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    if (GetEnvironmentVariableW(L"TARVO_PLANT_MARKER", marker, MAX_PATH)) {
        file = CreateFileW(marker, FILE_APPEND_DATA, FILE_SHARE_READ, NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        if (file != INVALID_HANDLE_VALUE) {
            WriteFile(file, "L", 1, &written, NULL);
            CloseHandle(file);
        }
    }
    return FALSE;
}
