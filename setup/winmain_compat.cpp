// Narrow entry for start-up code that does not enter through wWinMain.
#include "setup.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR commandLine, int showCommand);

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR narrowCommandLine, int showCommand)
{
    (void)narrowCommandLine;
    return wWinMain(instance, previous, GetCommandLineW(), showCommand);
}
