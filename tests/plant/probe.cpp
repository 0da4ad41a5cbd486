// A downloaded program that does not restrict its library search: it loads
// the library named on its command line by the default search order.
#include <windows.h>

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR commandLine, int showCommand)
{
    HMODULE library = LoadLibraryW(commandLine);

    (void)instance;
    (void)previous;
    (void)showCommand;
    if (library) FreeLibrary(library);
    return 0;
}
