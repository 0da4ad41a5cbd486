// Setup state and the installation engine: the globals every subsystem reads
// and the operations the window drives.
#ifndef TARVO_SETUP_H
#define TARVO_SETUP_H

#ifndef UNICODE
#define UNICODE
#endif
#ifndef _UNICODE
#define _UNICODE
#endif
#include <windows.h>

#define SETUP_PATH_CAPACITY 260

#define ID_PRIMARY_BUTTON 100
#define ID_CANCEL_BUTTON 101
#define ID_PROGRESS_BAR 102

#define PROGRESS_MAX 1000

// Paths, filled once by InitSetupState.
extern wchar_t gSelfPath[SETUP_PATH_CAPACITY];
extern wchar_t gInstallDir[SETUP_PATH_CAPACITY];
extern wchar_t gAppPath[SETUP_PATH_CAPACITY];
extern wchar_t gUninstallPath[SETUP_PATH_CAPACITY];
// Where the application and the uninstaller are written before each is moved
// over its final name whole.
extern wchar_t gPartialPath[SETUP_PATH_CAPACITY];

// Flags, 0 or 1.
extern int gUninstallMode;
extern int gExistingInstall;
extern int gInstalled;

// Window and drawing handles; null until the window subsystem creates them.
extern HINSTANCE gInstance;
extern HWND gMain;
extern HWND gProgress;
extern HWND gStatus;
extern HWND gInstallButton;
extern HWND gCancelButton;
extern HFONT gUiFont;
extern HFONT gBrandFont;
extern HBRUSH gBgBrush;
extern HBRUSH gNavyBrush;

// Setup state.
int FormatText(wchar_t *buffer, int capacity, const wchar_t *format, ...);
int SelectUninstallMode(const wchar_t *commandLine, const wchar_t *selfPath);
void DeriveInstallPaths(const wchar_t *localAppData);
int InstallPathsWhole(void);
void InitSetupState(void);

// Application package and its CRC-32. The widest CRC variant that the
// processor and the system support is used unless another is selected;
// selecting one that they do not support fails and changes nothing.
enum CrcVariant { CRC_WIDEST, CRC_SSE2, CRC_AVX2, CRC_AVX512 };
int SelectCrcVariant(int variant);
unsigned int UpdateCrc32(unsigned int crc, const unsigned char *bytes, size_t count);
int ExtractApplication(void);

// Shell and registry integration.
void ShortcutPaths(wchar_t *desktopLink, wchar_t *startMenuFolder, wchar_t *startMenuLink);
void CreateShortcut(const wchar_t *linkPath);
void WriteUninstallEntry(void);
void RemoveUninstallEntry(void);
void RemoveObsoleteComponent(void);

// Install and uninstall procedures.
int EnsureDirectory(const wchar_t *path);
void DiscardQueuedInput(void);
void InstallNow(void);
void UninstallNow(void);

#endif
