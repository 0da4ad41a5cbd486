// A test-only layer over the system calls the engine makes. The engine is a
// static library linked into the test executable, so its calls go through
// this executable's import table, whose entries are replaced here. While a
// run counts (on the thread that started it), every call is numbered, and
// the call with the chosen number fails with an error that this call really
// returns; all others go through. Sleeps and the tick count are virtual
// while a run counts, so retries cost no time. The shell-link object's
// IPersistFile::Save is counted through its method table.
#ifndef TARVO_FAULT_LAYER_H
#define TARVO_FAULT_LAYER_H

#include "setup.h"

#include <string>
#include <vector>

// The "error" of a write that reports fewer bytes written than asked.
static const DWORD kShortWrite = 0xFFFFFFFF;

struct InjectedFault {
    std::string call;
    DWORD error;
};

void InstallFaultLayer(void);
// The shape of the machine, for every call while the layer is installed:
// CreateHardLinkW refused as FAT32 and exFAT refuse it, and their volumes
// saying they have none; a process reported in another session than its
// own (0 for none); a process that may not be opened, as one started
// elevated, or that is gone (ERROR_INVALID_PARAMETER) (0 for none); and a folder reported with this many bytes free,
// with everything below it, as a junction to a small drive would be (empty
// for none).
void RefuseHardLinks(bool refuse);
void PretendOtherSession(DWORD processId);
void RefuseToOpen(DWORD processId, DWORD error = ERROR_ACCESS_DENIED);
// The desktop's shell not answering: activating its list of windows waits
// while held.
void HoldShellWindows(bool hold);
// The accessibility annotations the program makes, recorded from now on;
// a number, or else a text.
struct Annotation {
    HWND window;
    GUID property;
    long number;
    std::wstring text;
};
void RecordAnnotations(void);
std::vector<Annotation> Annotations(void);
// SPI_GETHIGHCONTRAST answered as on, or as the system answers.
void PretendHighContrast(bool on);
void ReportFreeSpace(const std::wstring &folder, unsigned long long bytes);
// Counts the calls of the current thread until EndCounting; call failAt
// fails (0 fails none). EndCounting returns how many were counted and, when
// one failed, which and how.
void BeginCounting(int failAt);
int EndCounting(InjectedFault *fault);
// The interpreter command lines the engine asked the shell to start while a
// run counted: recorded, not started. The application itself is started.
std::vector<std::wstring> HandedOverCommands(void);

#endif
