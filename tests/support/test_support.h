// Helpers shared by the test scenarios: scratch folders, files, setup files
// built with an independent CRC, message-box answering, the stand-in
// application and the registry, all read back through the platform.
#ifndef TARVO_TEST_SUPPORT_H
#define TARVO_TEST_SUPPORT_H

#include "setup.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

typedef std::vector<unsigned char> Bytes;

std::wstring Utf8ToWide(const std::string &text);
std::string WideToUtf8(const std::wstring &text);

// A folder of its own for each test, removed with everything in it.
class ScratchTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    std::wstring Path(const std::wstring &name) const;
    std::wstring scratch;
};

void RemoveTree(const std::wstring &path);
bool Exists(const std::wstring &path);
bool WaitUntilGone(const std::wstring &path, DWORD timeoutMs);
// A file of the build tree, beside the test executables.
std::wstring BuildFile(const wchar_t *name);
bool IsDirectory(const std::wstring &path);
// Another path to the same file on drive C:, as a junction or a subst drive
// gives one on Windows: through Wine's Z: drive, which maps the whole file
// system. Empty when there is none.
std::wstring SecondPathTo(const std::wstring &path);
bool WriteBytes(const std::wstring &path, const Bytes &bytes);
Bytes ReadBytes(const std::wstring &path);
Bytes RandomBytes(size_t count, unsigned seed);
// Every file below a folder, with its bytes.
typedef std::map<std::wstring, Bytes> Tree;
Tree Snapshot(const std::wstring &folder);

// A setup file: prefix, payload and the 24-byte trailer with the CRC-32 from zlib.
Bytes PackageFile(const Bytes &prefix, const Bytes &payload);
unsigned int ZlibCrc(const unsigned char *bytes, size_t count);
// A certificate table as signing adds one: zero bytes up to 8-byte alignment,
// the table, and the PE header's certificate directory naming it. The file
// starts with a PE32+ program.
Bytes WithCertificateTable(const Bytes &file, const Bytes &table);
void SetCertificateDirectory(Bytes *file, unsigned int offset, unsigned int size);

// Saves and restores every path and handle global around a test.
class SavedState {
public:
    SavedState();
    ~SavedState();

private:
    wchar_t self[SETUP_PATH_CAPACITY], installDir[SETUP_PATH_CAPACITY];
    wchar_t app[SETUP_PATH_CAPACITY], uninstall[SETUP_PATH_CAPACITY], partial[SETUP_PATH_CAPACITY];
    wchar_t partialUninstall[SETUP_PATH_CAPACITY], keptUninstall[SETUP_PATH_CAPACITY];
    wchar_t logPath[SETUP_PATH_CAPACITY];
    int uninstallMode, existingInstall, installed, runMode, exitCode;
    HWND main, progress, status, installButton, cancelButton;
};

void SetPathGlobals(const std::wstring &installDir, const std::wstring &selfPath);

// Answers the message boxes this process shows, on a thread of its own,
// pressing the given button in each; records caption, text and style icon.
struct SeenBox {
    std::wstring caption;
    std::wstring text;
    bool hasYesNo;
};
class BoxAnswerer {
public:
    explicit BoxAnswerer(std::vector<int> answers);
    ~BoxAnswerer();
    std::vector<SeenBox> Seen();

private:
    static DWORD WINAPI Run(void *self);
    std::vector<int> answers;
    std::vector<SeenBox> seen;
    CRITICAL_SECTION lock;
    HANDLE stop;
    HANDLE thread;
};

// The stand-in application, started from a path; it records its starts.
// The stand-in application, started from a path; it records its starts. A
// start that failed has no process and the system's error.
struct StandIn {
    HANDLE process;
    DWORD id;
    DWORD error;
};
struct StandInStart {
    std::wstring directory;
    std::wstring commandLine;
};
// Points the stand-ins started from now on at a fresh record file.
void UseStandInRecord(const std::wstring &path);
std::vector<StandInStart> StandInStarts(void);
// How each stand-in that ended went: "close" (its window was closed),
// "event", "lifetime"; and how many closes were refused.
std::vector<std::wstring> StandInEnds(void);
int StandInRefusals(void);
// Stand-ins started from now on refuse to close, or no longer do.
void StandInsRefuseToClose(bool refuse);
bool WaitForStandInStarts(size_t count, DWORD timeoutMs);
StandIn StartStandIn(const std::wstring &exePath, const std::wstring &directory);
void CloseStandIns(void);
// Starts a copy of the application and waits for it to note its start in a
// record of its own: the file is a whole, runnable program. Closes it again.
bool ApplicationRuns(const std::wstring &exePath, const std::wstring &directory);
// How many copies of the installed application run.
int RunningApplications(void);
// Waits until every command interpreter that parentId started has exited:
// the deferred removal has run its course.
bool WaitForInterpretersOf(DWORD parentId, DWORD timeoutMs);

// A shell link's properties, read back through the shell-link object.
struct LinkFacts {
    std::wstring target, directory, description, icon;
    int iconIndex;
};
bool ReadLink(const std::wstring &path, LinkFacts *facts);

// A file held open as a scanner holds it, without delete sharing: released
// once the log names a retry (the setup has met the hold), or at the end.
class BriefHold {
public:
    BriefHold(const std::wstring &path, const std::wstring &log);
    ~BriefHold();

private:
    static DWORD WINAPI Run(void *self);
    HANDLE file;
    HANDLE thread;
    std::wstring log;
};
std::string FileText(const std::wstring &path);

// The lock every install and uninstall of this user holds, taken as another
// run takes it; INVALID_HANDLE_VALUE when another holds it.
HANDLE HoldSetupLock(const std::wstring &path);
// The SID of the account the tests run as, as text.
std::wstring UserSid(void);

// The uninstall entry's values, each its type (the first byte) and data;
// the entry written from them; a string value of them, empty when missing.
typedef std::map<std::wstring, Bytes> Entry;
Entry ReadEntry(void);
bool WriteEntry(const Entry &entry);
std::wstring StringValue(const Entry &entry, const wchar_t *name);

// Registry and known folders of the test profile.
bool ReadRegistryValue(HKEY root, const std::wstring &key, const std::wstring &name, DWORD *type, Bytes *data);
std::wstring KnownFolder(int csidl);

// A window that records the progress messages it receives.
struct ProgressMessage {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
};
HWND CreateProgressRecorder(void);
std::vector<ProgressMessage> RecordedProgress(void);
// Runs an action once, at the next position the recorder receives: while
// the extraction is part-way through its pass.
void WhenProgressMoves(std::function<void()> action);

extern const wchar_t kUninstallKeyPath[];
extern const wchar_t kRunKeyPath[];

// An installation into a scratch folder named "Tarvo Markwise", from a
// scratch setup file that packs the stand-in application, with a window that
// holds the controls the procedures drive. The profile's shortcuts, uninstall
// entry and agent traces are cleared before and after each test.
class InstallTest : public ScratchTest {
protected:
    void SetUp() override;
    void TearDown() override;
    static void ClearProfile(void);
    static std::wstring DesktopLink(void);
    static std::wstring StartMenuFolder(void);
    static std::wstring StartMenuLink(void);
    static std::wstring Text(HWND window);
    SavedState saved;
    Bytes application;
    Bytes setupFile;
};

#endif
