// An empty GUI program: what a process start and exit cost the platform, the
// floor of the setup's own. Built twice: bare, and importing the system
// libraries the setup program imports, which the loader then loads.
#include <windows.h>

#ifdef TARVO_SETUP_IMPORTS
#include <commctrl.h>
#include <objbase.h>
#include <oleauto.h>
#include <shlobj.h>

void *volatile gImports[] = {(void *)&SHGetFolderPathW, (void *)&CoInitializeEx, (void *)&InitCommonControlsEx,
                             (void *)&RegFlushKey, (void *)&CreateFontW, (void *)&MessageBoxW,
                             (void *)&SysAllocString};
#endif

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    return 0;
}
