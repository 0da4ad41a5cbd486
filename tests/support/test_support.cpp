#include "test_support.h"

#include <sddl.h>

#include <commctrl.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <tlhelp32.h>
#include <zlib.h>

#include <functional>
#include <random>

std::wstring Utf8ToWide(const std::string &text)
{
    std::wstring wide(text.size() + 1, L'\0');
    int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), &wide[0], (int)wide.size());
    wide.resize(length > 0 ? (size_t)length : 0);
    return wide;
}

std::string WideToUtf8(const std::wstring &text)
{
    std::string narrow(text.size() * 4 + 1, '\0');
    int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), (int)text.size(), &narrow[0], (int)narrow.size(), NULL, NULL);
    narrow.resize(length > 0 ? (size_t)length : 0);
    return narrow;
}

void ScratchTest::SetUp()
{
    static unsigned counter;
    wchar_t temp[MAX_PATH];
    wchar_t name[64];

    GetTempPathW(MAX_PATH, temp);
    _snwprintf(name, 64, L"tarvo-%lu-%u", GetCurrentProcessId(), ++counter);
    name[63] = L'\0';
    scratch = std::wstring(temp) + name;
    RemoveTree(scratch);
    ASSERT_TRUE(CreateDirectoryW(scratch.c_str(), NULL)) << WideToUtf8(scratch);
}

void ScratchTest::TearDown()
{
    RemoveTree(scratch);
}

std::wstring ScratchTest::Path(const std::wstring &name) const
{
    return scratch + L"\\" + name;
}

void RemoveTree(const std::wstring &path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    WIN32_FIND_DATAW found;
    HANDLE search;

    if (attributes == INVALID_FILE_ATTRIBUTES) return;
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(path.c_str());
        return;
    }
    search = FindFirstFileW((path + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = found.cFileName;
            if (name != L"." && name != L"..") RemoveTree(path + L"\\" + name);
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(path.c_str());
}

bool Exists(const std::wstring &path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool WaitUntilGone(const std::wstring &path, DWORD timeoutMs)
{
    for (DWORD waited = 0; waited < timeoutMs && Exists(path); waited += 100) Sleep(100);
    return !Exists(path);
}

std::wstring BuildFile(const wchar_t *name)
{
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(NULL, self, MAX_PATH);
    *wcsrchr(self, L'\\') = L'\0';
    return std::wstring(self) + L"\\" + name;
}

bool IsDirectory(const std::wstring &path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::wstring SecondPathTo(const std::wstring &path)
{
    wchar_t prefix[MAX_PATH] = {0};
    DWORD length = GetEnvironmentVariableW(L"WINEPREFIX", prefix, MAX_PATH);

    if (length == 0 || length >= MAX_PATH || _wcsnicmp(path.c_str(), L"C:\\", 3) != 0) return L"";
    for (wchar_t *c = prefix; *c; ++c)
        if (*c == L'/') *c = L'\\';
    return L"Z:" + std::wstring(prefix) + L"\\drive_c" + path.substr(2);
}

bool WriteBytes(const std::wstring &path, const Bytes &bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    DWORD written = 0;
    bool ok;

    if (file == INVALID_HANDLE_VALUE) return false;
    ok = bytes.empty() || (WriteFile(file, bytes.data(), (DWORD)bytes.size(), &written, NULL) && written == bytes.size());
    CloseHandle(file);
    return ok;
}

Bytes ReadBytes(const std::wstring &path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    LARGE_INTEGER size;
    DWORD got = 0;
    Bytes bytes;

    if (file == INVALID_HANDLE_VALUE) return bytes;
    if (GetFileSizeEx(file, &size) && size.QuadPart > 0) {
        bytes.resize((size_t)size.QuadPart);
        if (!ReadFile(file, bytes.data(), (DWORD)bytes.size(), &got, NULL) || got != bytes.size()) bytes.clear();
    }
    CloseHandle(file);
    return bytes;
}

Bytes RandomBytes(size_t count, unsigned seed)
{
    std::mt19937 generator(seed);
    Bytes bytes(count);
    for (size_t i = 0; i < count; ++i) bytes[i] = (unsigned char)generator();
    return bytes;
}

static void Collect(const std::wstring &path, Tree *tree)
{
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);

    if (search == INVALID_HANDLE_VALUE) return;
    do {
        std::wstring name = found.cFileName;
        if (name == L"." || name == L"..") continue;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            Collect(path + L"\\" + name, tree);
        else
            (*tree)[path + L"\\" + name] = ReadBytes(path + L"\\" + name);
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

Tree Snapshot(const std::wstring &folder)
{
    Tree tree;
    Collect(folder, &tree);
    return tree;
}

unsigned int ZlibCrc(const unsigned char *bytes, size_t count)
{
    return (unsigned int)crc32(0L, bytes, (uInt)count);
}

static Bytes Trailer(const Bytes &payload)
{
    Bytes trailer(24, 0);
    unsigned long long length = payload.size();
    unsigned int crc = ZlibCrc(payload.data(), payload.size());

    memcpy(trailer.data(), "TARVOPKG3\0\0\0", 12);
    for (int i = 0; i < 8; ++i) trailer[12 + i] = (unsigned char)(length >> (8 * i));
    for (int i = 0; i < 4; ++i) trailer[20 + i] = (unsigned char)(crc >> (8 * i));
    return trailer;
}

Bytes PackageFile(const Bytes &prefix, const Bytes &payload)
{
    Bytes file(prefix);
    Bytes trailer = Trailer(payload);
    file.insert(file.end(), payload.begin(), payload.end());
    file.insert(file.end(), trailer.begin(), trailer.end());
    return file;
}

void SetCertificateDirectory(Bytes *file, unsigned int offset, unsigned int size)
{
    unsigned int header;
    memcpy(&header, &(*file)[0x3C], 4);
    // Signature, file header, then directory 4 of a PE32+ optional header.
    size_t at = header + 4 + 20 + 112 + 4 * 8;
    memcpy(&(*file)[at], &offset, 4);
    memcpy(&(*file)[at + 4], &size, 4);
}

Bytes WithCertificateTable(const Bytes &file, const Bytes &table)
{
    Bytes out(file);
    out.resize((out.size() + 7) / 8 * 8, 0);
    SetCertificateDirectory(&out, (unsigned int)out.size(), (unsigned int)table.size());
    out.insert(out.end(), table.begin(), table.end());
    return out;
}

SavedState::SavedState()
{
    wcscpy(self, gSelfPath);
    wcscpy(installDir, gInstallDir);
    wcscpy(app, gAppPath);
    wcscpy(uninstall, gUninstallPath);
    wcscpy(partial, gPartialPath);
    wcscpy(partialUninstall, gPartialUninstallPath);
    wcscpy(keptUninstall, gKeptUninstallPath);
    wcscpy(logPath, gLogPath);
    uninstallMode = gUninstallMode;
    existingInstall = gExistingInstall;
    installed = gInstalled;
    runMode = gRunMode;
    exitCode = gExitCode;
    main = gMain;
    progress = gProgress;
    status = gStatus;
    installButton = gInstallButton;
    cancelButton = gCancelButton;
}

SavedState::~SavedState()
{
    wcscpy(gSelfPath, self);
    wcscpy(gInstallDir, installDir);
    wcscpy(gAppPath, app);
    wcscpy(gUninstallPath, uninstall);
    wcscpy(gPartialPath, partial);
    wcscpy(gPartialUninstallPath, partialUninstall);
    wcscpy(gKeptUninstallPath, keptUninstall);
    wcscpy(gLogPath, logPath);
    gUninstallMode = uninstallMode;
    gExistingInstall = existingInstall;
    gInstalled = installed;
    gRunMode = runMode;
    gExitCode = exitCode;
    gMain = main;
    gProgress = progress;
    gStatus = status;
    gInstallButton = installButton;
    gCancelButton = cancelButton;
}

void SetPathGlobals(const std::wstring &installDir, const std::wstring &selfPath)
{
    lstrcpynW(gSelfPath, selfPath.c_str(), SETUP_PATH_CAPACITY);
    lstrcpynW(gInstallDir, installDir.c_str(), SETUP_PATH_CAPACITY);
    FormatText(gAppPath, SETUP_PATH_CAPACITY, L"%ls\\TarvoMarkwise.exe", gInstallDir);
    FormatText(gUninstallPath, SETUP_PATH_CAPACITY, L"%ls\\TarvoMarkwiseKaldir.exe", gInstallDir);
    FormatText(gPartialPath, SETUP_PATH_CAPACITY, L"%ls\\TarvoMarkwise.tmp", gInstallDir);
    FormatText(gPartialUninstallPath, SETUP_PATH_CAPACITY, L"%ls\\TarvoMarkwiseKaldir.tmp", gInstallDir);
    FormatText(gKeptUninstallPath, SETUP_PATH_CAPACITY, L"%ls\\TarvoMarkwiseKaldir.bak", gInstallDir);
    GetTempPathW(SETUP_PATH_CAPACITY, gLockPath);
    wcscat(gLockPath, L"TarvoMarkwiseSetup.lock");
}

struct BoxSearch {
    HWND found;
};

static BOOL CALLBACK FindOwnBox(HWND window, LPARAM context)
{
    wchar_t className[16] = {0};
    DWORD process = 0;

    GetWindowThreadProcessId(window, &process);
    GetClassNameW(window, className, 16);
    if (process == GetCurrentProcessId() && wcscmp(className, L"#32770") == 0 && IsWindowVisible(window)) {
        ((BoxSearch *)context)->found = window;
        return FALSE;
    }
    return TRUE;
}

BoxAnswerer::BoxAnswerer(std::vector<int> answersInOrder) : answers(answersInOrder)
{
    InitializeCriticalSection(&lock);
    stop = CreateEventW(NULL, TRUE, FALSE, NULL);
    thread = CreateThread(NULL, 0, Run, this, 0, NULL);
}

BoxAnswerer::~BoxAnswerer()
{
    SetEvent(stop);
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    CloseHandle(stop);
    DeleteCriticalSection(&lock);
}

std::vector<SeenBox> BoxAnswerer::Seen()
{
    EnterCriticalSection(&lock);
    std::vector<SeenBox> copy = seen;
    LeaveCriticalSection(&lock);
    return copy;
}

DWORD WINAPI BoxAnswerer::Run(void *context)
{
    BoxAnswerer *self = (BoxAnswerer *)context;
    size_t next = 0;

    while (WaitForSingleObject(self->stop, 20) == WAIT_TIMEOUT) {
        BoxSearch search = {NULL};
        wchar_t caption[512] = {0};
        wchar_t text[1024] = {0};
        SeenBox box;

        EnumWindows(FindOwnBox, (LPARAM)&search);
        if (!search.found) continue;
        GetWindowTextW(search.found, caption, 512);
        GetDlgItemTextW(search.found, 0xFFFF, text, 1024);
        box.caption = caption;
        box.text = text;
        box.hasYesNo = GetDlgItem(search.found, IDYES) != NULL && GetDlgItem(search.found, IDNO) != NULL;
        EnterCriticalSection(&self->lock);
        self->seen.push_back(box);
        LeaveCriticalSection(&self->lock);
        int answer = next < self->answers.size() ? self->answers[next] : IDOK;
        ++next;
        PostMessageW(GetDlgItem(search.found, answer), BM_CLICK, 0, 0);
        // Wait for this box to go before looking for the next one.
        for (int i = 0; i < 250 && IsWindow(search.found) && IsWindowVisible(search.found); ++i) Sleep(20);
    }
    return 0;
}

void UseStandInRecord(const std::wstring &path)
{
    DeleteFileW(path.c_str());
    SetEnvironmentVariableW(L"TARVO_STANDIN_RECORD", path.c_str());
}

// The record's lines of one kind, split at their tabs after the kind.
static std::vector<std::vector<std::wstring>> StandInRecord(const std::wstring &kind)
{
    wchar_t path[MAX_PATH] = {0};
    std::vector<std::vector<std::wstring>> lines;
    std::wstring record;
    size_t begin = 0;
    size_t end;

    GetEnvironmentVariableW(L"TARVO_STANDIN_RECORD", path, MAX_PATH);
    Bytes bytes = ReadBytes(path);
    record = Utf8ToWide(std::string(bytes.begin(), bytes.end()));
    while ((end = record.find(L'\n', begin)) != std::wstring::npos) {
        std::wstring line = record.substr(begin, end - begin);
        begin = end + 1;
        if (line.compare(0, kind.size() + 1, kind + L"\t") != 0) continue;
        std::vector<std::wstring> fields;
        size_t from = kind.size() + 1, tab;
        // The command line, last, may hold tabs of its own.
        while (fields.size() < 2 && (tab = line.find(L'\t', from)) != std::wstring::npos) {
            fields.push_back(line.substr(from, tab - from));
            from = tab + 1;
        }
        fields.push_back(line.substr(from));
        lines.push_back(fields);
    }
    return lines;
}

std::vector<StandInStart> StandInStarts(void)
{
    std::vector<StandInStart> starts;

    for (const auto &fields : StandInRecord(L"started"))
        if (fields.size() == 3) starts.push_back({fields[1], fields[2]});
    return starts;
}

std::vector<std::wstring> StandInEnds(void)
{
    std::vector<std::wstring> ends;

    for (const auto &fields : StandInRecord(L"ended"))
        if (fields.size() == 2) ends.push_back(fields[1]);
    return ends;
}

int StandInRefusals(void)
{
    return (int)StandInRecord(L"refused").size();
}

void StandInsRefuseToClose(bool refuse)
{
    SetEnvironmentVariableW(L"TARVO_STANDIN_REFUSE_CLOSE", refuse ? L"1" : NULL);
}

std::string FileText(const std::wstring &path)
{
    Bytes bytes = ReadBytes(path);
    return std::string(bytes.begin(), bytes.end());
}

BriefHold::BriefHold(const std::wstring &path, const std::wstring &log) : log(log)
{
    file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    EXPECT_NE(INVALID_HANDLE_VALUE, file);
    thread = log.empty() ? NULL : CreateThread(NULL, 0, Run, this, 0, NULL);
}

BriefHold::~BriefHold()
{
    if (thread) {
        WaitForSingleObject(thread, 60000);
        CloseHandle(thread);
    }
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
}

DWORD WINAPI BriefHold::Run(void *context)
{
    BriefHold *self = (BriefHold *)context;

    for (int i = 0; i < 1200 && FileText(self->log).find(": retrying") == std::string::npos; ++i) Sleep(25);
    CloseHandle(self->file);
    self->file = INVALID_HANDLE_VALUE;
    return 0;
}

std::wstring UserSid(void)
{
    HANDLE token = NULL;
    BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    wchar_t *sid = NULL;
    std::wstring text;

    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    if (GetTokenInformation(token, TokenUser, buffer, sizeof buffer, &size) &&
        ConvertSidToStringSidW(((TOKEN_USER *)buffer)->User.Sid, &sid)) {
        text = sid;
        LocalFree(sid);
    }
    CloseHandle(token);
    return text;
}

HANDLE HoldSetupLock(const std::wstring &path)
{
    return CreateFileW(path.c_str(), GENERIC_WRITE | DELETE, 0, NULL, OPEN_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, NULL);
}

bool WaitForStandInStarts(size_t count, DWORD timeoutMs)
{
    for (DWORD waited = 0; waited <= timeoutMs; waited += 50) {
        if (StandInStarts().size() >= count) return true;
        Sleep(50);
    }
    return false;
}

StandIn StartStandIn(const std::wstring &exePath, const std::wstring &directory)
{
    STARTUPINFOW startup = {sizeof startup};
    PROCESS_INFORMATION created = {0};
    std::wstring commandLine = L"\"" + exePath + L"\"";
    StandIn standIn = {NULL, 0, 0};

    if (CreateProcessW(exePath.c_str(), &commandLine[0], NULL, NULL, FALSE, 0, NULL, directory.c_str(), &startup, &created)) {
        CloseHandle(created.hThread);
        standIn.process = created.hProcess;
        standIn.id = created.dwProcessId;
    } else {
        standIn.error = GetLastError();
    }
    return standIn;
}

bool ApplicationRuns(const std::wstring &exePath, const std::wstring &directory)
{
    wchar_t record[MAX_PATH] = {0};
    GetEnvironmentVariableW(L"TARVO_STANDIN_RECORD", record, MAX_PATH);
    UseStandInRecord(std::wstring(record) + L".run");
    StandIn started = StartStandIn(exePath, directory);
    bool ran = started.process && WaitForStandInStarts(1, 10000);
    CloseStandIns();
    if (started.process) CloseHandle(started.process);
    SetEnvironmentVariableW(L"TARVO_STANDIN_RECORD", record);
    return ran;
}

static int RunningProcesses(const wchar_t *exeName)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry = {sizeof entry};
    int count = 0;

    if (Process32FirstW(snapshot, &entry)) {
        do {
            count += _wcsicmp(entry.szExeFile, exeName) == 0;
        } while (Process32NextW(snapshot, &entry));
    }
    CloseHandle(snapshot);
    return count;
}

int RunningApplications(void)
{
    return RunningProcesses(L"TarvoMarkwise.exe");
}

// Sets the stand-ins' close event and waits until none of them runs.
void CloseStandIns(void)
{
    HANDLE closeEvent = CreateEventW(NULL, TRUE, FALSE, L"Local\\TarvoStandinClose");
    SetEvent(closeEvent);
    for (int i = 0; i < 200 && RunningProcesses(L"TarvoStandin.exe") + RunningApplications() > 0; ++i) Sleep(50);
    CloseHandle(closeEvent);
}

bool WaitForInterpretersOf(DWORD parentId, DWORD timeoutMs)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32W entry = {sizeof entry};
    ULONGLONG until = GetTickCount64() + timeoutMs;
    bool allEnded = true;

    if (snapshot == INVALID_HANDLE_VALUE) return false;
    if (Process32FirstW(snapshot, &entry)) {
        do {
            if (entry.th32ParentProcessID != parentId || _wcsicmp(entry.szExeFile, L"cmd.exe") != 0) continue;
            HANDLE child = OpenProcess(SYNCHRONIZE, FALSE, entry.th32ProcessID);
            if (!child) continue;
            ULONGLONG now = GetTickCount64();
            allEnded &= WaitForSingleObject(child, now < until ? (DWORD)(until - now) : 0) == WAIT_OBJECT_0;
            CloseHandle(child);
        } while (Process32NextW(snapshot, &entry));
    }
    CloseHandle(snapshot);
    return allEnded;
}

bool ReadLink(const std::wstring &path, LinkFacts *facts)
{
    IShellLinkW *link = NULL;
    IPersistFile *file = NULL;
    wchar_t text[MAX_PATH];
    bool ok = false;

    if (FAILED(CoCreateInstance(CLSID_ShellLink, NULL, CLSCTX_INPROC_SERVER, IID_IShellLinkW, (void **)&link))) return false;
    if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, (void **)&file)) && SUCCEEDED(file->Load(path.c_str(), STGM_READ))) {
        link->GetPath(text, MAX_PATH, NULL, SLGP_RAWPATH);
        facts->target = text;
        link->GetWorkingDirectory(text, MAX_PATH);
        facts->directory = text;
        link->GetDescription(text, MAX_PATH);
        facts->description = text;
        link->GetIconLocation(text, MAX_PATH, &facts->iconIndex);
        facts->icon = text;
        ok = true;
    }
    if (file) file->Release();
    link->Release();
    return ok;
}

bool ReadRegistryValue(HKEY root, const std::wstring &key, const std::wstring &name, DWORD *type, Bytes *data)
{
    HKEY opened;
    DWORD size = 0;
    bool ok = false;

    if (RegOpenKeyExW(root, key.c_str(), 0, KEY_QUERY_VALUE, &opened) != ERROR_SUCCESS) return false;
    if (RegQueryValueExW(opened, name.c_str(), NULL, type, NULL, &size) == ERROR_SUCCESS) {
        data->resize(size);
        ok = RegQueryValueExW(opened, name.c_str(), NULL, type, data->data(), &size) == ERROR_SUCCESS;
        data->resize(size);
    }
    RegCloseKey(opened);
    return ok;
}

std::wstring KnownFolder(int csidl)
{
    wchar_t path[MAX_PATH] = {0};
    SHGetFolderPathW(NULL, csidl | CSIDL_FLAG_CREATE, NULL, SHGFP_TYPE_CURRENT, path);
    return path;
}

static std::vector<ProgressMessage> gRecorded;
static std::function<void()> gOnFirstPosition;

static LRESULT CALLBACK RecorderProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    std::function<void()> action;

    if (message == PBM_SETRANGE32 || message == PBM_SETPOS) gRecorded.push_back({message, wParam, lParam});
    if (message == PBM_SETPOS && gOnFirstPosition) {
        action.swap(gOnFirstPosition);
        action();
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

void WhenProgressMoves(std::function<void()> action)
{
    gOnFirstPosition = action;
}

HWND CreateProgressRecorder(void)
{
    static ATOM registered;
    WNDCLASSW recorder = {0};

    if (!registered) {
        recorder.lpfnWndProc = RecorderProc;
        recorder.hInstance = GetModuleHandleW(NULL);
        recorder.lpszClassName = L"TarvoProgressRecorder";
        registered = RegisterClassW(&recorder);
    }
    gRecorded.clear();
    return CreateWindowExW(0, L"TarvoProgressRecorder", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, NULL, GetModuleHandleW(NULL), NULL);
}

std::vector<ProgressMessage> RecordedProgress(void)
{
    return gRecorded;
}

const wchar_t kUninstallKeyPath[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\TarvoMarkwise";
const wchar_t kRunKeyPath[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";

std::wstring InstallTest::DesktopLink(void)
{
    return KnownFolder(CSIDL_DESKTOPDIRECTORY) + L"\\Tarvo Markwise.lnk";
}

std::wstring InstallTest::StartMenuFolder(void)
{
    return KnownFolder(CSIDL_PROGRAMS) + L"\\Tarvo";
}

std::wstring InstallTest::StartMenuLink(void)
{
    return StartMenuFolder() + L"\\Tarvo Markwise.lnk";
}

std::wstring InstallTest::Text(HWND window)
{
    wchar_t text[512] = {0};
    GetWindowTextW(window, text, 512);
    return text;
}

void InstallTest::ClearProfile(void)
{
    HKEY run;

    CloseStandIns();
    DeleteFileW(DesktopLink().c_str());
    RemoveTree(StartMenuFolder());
    RegDeleteKeyW(HKEY_CURRENT_USER, kUninstallKeyPath);
    if (RegOpenKeyExW(HKEY_CURRENT_USER, kRunKeyPath, 0, KEY_SET_VALUE, &run) == ERROR_SUCCESS) {
        RegDeleteValueW(run, L"TarvoRelay");
        RegCloseKey(run);
    }
}

static HWND CreateChild(HWND parent, const wchar_t *className, const wchar_t *text, int id)
{
    return CreateWindowExW(0, className, text, WS_CHILD | WS_VISIBLE, 0, 0, 100, 20, parent, (HMENU)(INT_PTR)id,
                           GetModuleHandleW(NULL), NULL);
}

void InstallTest::SetUp()
{
    static ATOM registered;
    WNDCLASSW mainClass = {0};

    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};

    ScratchTest::SetUp();
    InitCommonControlsEx(&controls);
    CoInitializeEx(NULL, COINIT_APARTMENTTHREADED);
    ClearProfile();
    SetPathGlobals(Path(L"Tarvo Markwise"), Path(L"TarvoMarkwise_Setup.exe"));
    application = ReadBytes(BuildFile(L"TarvoStandin.exe"));
    ASSERT_FALSE(application.empty());
    setupFile = PackageFile(RandomBytes(4099, 42), application);
    ASSERT_TRUE(WriteBytes(gSelfPath, setupFile));
    UseStandInRecord(Path(L"standin.txt"));

    if (!registered) {
        mainClass.lpfnWndProc = DefWindowProcW;
        mainClass.hInstance = GetModuleHandleW(NULL);
        mainClass.lpszClassName = L"TarvoTestMain";
        registered = RegisterClassW(&mainClass);
    }
    gMain = CreateWindowExW(0, L"TarvoTestMain", L"test", WS_OVERLAPPEDWINDOW, 0, 0, 300, 200, NULL, NULL,
                            GetModuleHandleW(NULL), NULL);
    gStatus = CreateChild(gMain, L"STATIC", L"Kuruluma hazır.", 0);
    gProgress = CreateChild(gMain, PROGRESS_CLASSW, L"", ID_PROGRESS_BAR);
    gInstallButton = CreateChild(gMain, L"BUTTON", L"Kur", ID_PRIMARY_BUTTON);
    gCancelButton = CreateChild(gMain, L"BUTTON", L"Vazgeç", ID_CANCEL_BUTTON);
}

void InstallTest::TearDown()
{
    if (IsWindow(gMain)) DestroyWindow(gMain);
    ClearProfile();
    CoUninitialize();
    ScratchTest::TearDown();
}

Entry ReadEntry(void)
{
    Entry values;
    wchar_t name[256];
    BYTE data[2048];
    HKEY key;

    if (RegOpenKeyExW(HKEY_CURRENT_USER, kUninstallKeyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return values;
    for (DWORD i = 0;; ++i) {
        DWORD nameLength = 256, size = sizeof data, type = 0;
        if (RegEnumValueW(key, i, name, &nameLength, NULL, &type, data, &size) != ERROR_SUCCESS) break;
        Bytes value(data, data + size);
        value.insert(value.begin(), (unsigned char)type);
        values[name] = value;
    }
    RegCloseKey(key);
    return values;
}

bool WriteEntry(const Entry &entry)
{
    HKEY key;
    bool ok;

    if (RegCreateKeyExW(HKEY_CURRENT_USER, kUninstallKeyPath, 0, NULL, 0, KEY_WRITE, NULL, &key, NULL) != ERROR_SUCCESS)
        return false;
    ok = true;
    for (const auto &value : entry)
        ok &= RegSetValueExW(key, value.first.c_str(), 0, value.second[0], value.second.data() + 1,
                             (DWORD)value.second.size() - 1) == ERROR_SUCCESS;
    RegCloseKey(key);
    return ok;
}

std::wstring StringValue(const Entry &entry, const wchar_t *name)
{
    auto found = entry.find(name);
    if (found == entry.end() || found->second.size() < 3) return L"";
    return std::wstring((const wchar_t *)(found->second.data() + 1), (found->second.size() - 1) / 2 - 1);
}
