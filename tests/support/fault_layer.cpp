#include "fault_layer.h"

#include <gtest/gtest.h>

#include <exdisp.h>
#include <objbase.h>
#include <oleacc.h>
#include <shellapi.h>
#include <shlobj.h>
#include <shobjidl.h>
#include <string.h>

#include <set>

static DWORD gCountingThread;
static int gCalls;
static int gFailAt;
static InjectedFault gFault;
static ULONGLONG gVirtualMs;
static std::set<HANDLE> gLogHandles;
static std::vector<std::wstring> gHandedOver;

// Returns true when this call is the one to fail; *error is then the error
// it fails with, chosen in turn from those it really returns.
static bool Fails(const char *call, const DWORD *errors, size_t count, DWORD *error)
{
    if (GetCurrentThreadId() != gCountingThread) return false;
    if (++gCalls != gFailAt) return false;
    *error = errors[(size_t)gFailAt % count];
    gFault.call = call;
    gFault.error = *error;
    return true;
}

#define ERRORS(...)                                                                                     \
    static const DWORD errors[] = {__VA_ARGS__};                                                    \
    DWORD error = 0
#define FAILS(call) Fails(call, errors, sizeof errors / sizeof errors[0], &error)

// Every intercepted function: its real entry, kept when the table is patched.
#define REAL(name) static decltype(&name) Real##name

// A function that fails with a result and the last error, or one that
// returns its error as its result (the registry's, the shell's HRESULTs).
#define FAULT(type, name, failure, parameters, arguments, ...)                                         \
    REAL(name);                                                                                         \
    static type WINAPI Fault##name parameters                                                           \
    {                                                                                                   \
        ERRORS(__VA_ARGS__);                                                                            \
        if (FAILS(#name)) {                                                                             \
            SetLastError(error);                                                                        \
            return failure;                                                                             \
        }                                                                                               \
        return Real##name arguments;                                                                    \
    }
#define FAULT_STATUS(type, name, parameters, arguments, ...)                                           \
    REAL(name);                                                                                         \
    static type WINAPI Fault##name parameters                                                           \
    {                                                                                                   \
        ERRORS(__VA_ARGS__);                                                                            \
        if (FAILS(#name)) return (type)error;                                                           \
        return Real##name arguments;                                                                    \
    }

REAL(CreateFileW);
REAL(WriteFile);
REAL(CloseHandle);
REAL(CoCreateInstance);
REAL(ShellExecuteExW);
REAL(Sleep);
REAL(GetTickCount64);

FAULT(BOOL, ReadFile, FALSE, (HANDLE file, LPVOID bytes, DWORD count, LPDWORD got, LPOVERLAPPED overlapped),
      (file, bytes, count, got, overlapped), ERROR_NOT_READY, ERROR_LOCK_VIOLATION)
FAULT(BOOL, FlushFileBuffers, FALSE, (HANDLE file), (file), ERROR_DISK_FULL, ERROR_WRITE_FAULT)
FAULT(BOOL, GetFileSizeEx, FALSE, (HANDLE file, PLARGE_INTEGER size), (file, size), ERROR_NOT_READY)
FAULT(BOOL, SetFilePointerEx, FALSE, (HANDLE file, LARGE_INTEGER distance, PLARGE_INTEGER position, DWORD method),
      (file, distance, position, method), ERROR_NOT_READY)
FAULT(BOOL, MoveFileExW, FALSE, (LPCWSTR from, LPCWSTR to, DWORD flags), (from, to, flags), ERROR_ACCESS_DENIED,
      ERROR_SHARING_VIOLATION, ERROR_PATH_NOT_FOUND)
FAULT(BOOL, DeleteFileW, FALSE, (LPCWSTR path), (path), ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION, ERROR_WRITE_PROTECT)
FAULT(BOOL, CreateDirectoryW, FALSE, (LPCWSTR path, LPSECURITY_ATTRIBUTES security), (path, security),
      ERROR_ACCESS_DENIED, ERROR_DISK_FULL)
FAULT(BOOL, RemoveDirectoryW, FALSE, (LPCWSTR path), (path), ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION)
FAULT(BOOL, SetFileAttributesW, FALSE, (LPCWSTR path, DWORD attributes), (path, attributes), ERROR_ACCESS_DENIED)
FAULT(BOOL, GetVolumePathNameW, FALSE, (LPCWSTR path, LPWSTR volume, DWORD capacity), (path, volume, capacity),
      ERROR_ACCESS_DENIED)
FAULT(BOOL, CopyFileW, FALSE, (LPCWSTR from, LPCWSTR to, BOOL failIfExists), (from, to, failIfExists),
      ERROR_DISK_FULL, ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION)
FAULT_STATUS(LSTATUS, RegCreateKeyExW,
             (HKEY root, LPCWSTR path, DWORD reserved, LPWSTR className, DWORD options, REGSAM access,
              const LPSECURITY_ATTRIBUTES security, PHKEY key, LPDWORD disposition),
             (root, path, reserved, className, options, access, security, key, disposition), ERROR_ACCESS_DENIED)
FAULT_STATUS(LSTATUS, RegOpenKeyExW, (HKEY root, LPCWSTR path, DWORD options, REGSAM access, PHKEY key),
             (root, path, options, access, key), ERROR_ACCESS_DENIED)
FAULT_STATUS(LSTATUS, RegSetValueExW,
             (HKEY key, LPCWSTR name, DWORD reserved, DWORD type, const BYTE *data, DWORD size),
             (key, name, reserved, type, data, size), ERROR_ACCESS_DENIED, ERROR_NO_SYSTEM_RESOURCES)
FAULT_STATUS(LSTATUS, RegFlushKey, (HKEY key), (key), ERROR_REGISTRY_IO_FAILED)
FAULT_STATUS(LSTATUS, RegDeleteKeyW, (HKEY root, LPCWSTR path), (root, path), ERROR_ACCESS_DENIED)
FAULT_STATUS(LSTATUS, RegDeleteValueW, (HKEY key, LPCWSTR name), (key, name), ERROR_ACCESS_DENIED)
FAULT_STATUS(HRESULT, SHGetFolderPathW, (HWND owner, int folder, HANDLE token, DWORD flags, LPWSTR path),
             (owner, folder, token, flags, path), (DWORD)E_FAIL)

// The machine's shape, whether a run counts or not.
static bool gNoHardLinks;
static DWORD gOtherSessionProcess;
static DWORD gUnopenedProcess;
static DWORD gUnopenedError;
static std::wstring gSmallFolder;
static unsigned long long gSmallFolderBytes;

REAL(CreateHardLinkW);
REAL(GetDiskFreeSpaceExW);
REAL(ProcessIdToSessionId);
REAL(GetVolumeInformationW);
REAL(OpenProcess);

// As FAT32 and exFAT refuse them under Windows.
static BOOL WINAPI FaultCreateHardLinkW(LPCWSTR link, LPCWSTR target, LPSECURITY_ATTRIBUTES security)
{
    ERRORS(ERROR_NOT_SUPPORTED, ERROR_ACCESS_DENIED);

    if (FAILS("CreateHardLinkW") || gNoHardLinks) {
        SetLastError(gNoHardLinks ? ERROR_INVALID_FUNCTION : error);
        return FALSE;
    }
    return RealCreateHardLinkW(link, target, security);
}

// Such a volume does not say it has hard links.
static BOOL WINAPI FaultGetVolumeInformationW(LPCWSTR root, LPWSTR name, DWORD nameSize, LPDWORD serial,
                                              LPDWORD component, LPDWORD features, LPWSTR system, DWORD systemSize)
{
    BOOL ok = RealGetVolumeInformationW(root, name, nameSize, serial, component, features, system, systemSize);

    if (ok && features && gNoHardLinks) *features &= ~(DWORD)FILE_SUPPORTS_HARD_LINKS;
    return ok;
}

// As a process started elevated is to a setup that is not.
static HANDLE WINAPI FaultOpenProcess(DWORD access, BOOL inherit, DWORD process)
{
    if (gUnopenedProcess && process == gUnopenedProcess) {
        SetLastError(gUnopenedError);
        return NULL;
    }
    return RealOpenProcess(access, inherit, process);
}

static BOOL WINAPI FaultGetDiskFreeSpaceExW(LPCWSTR folder, PULARGE_INTEGER available, PULARGE_INTEGER total,
                                           PULARGE_INTEGER free)
{
    ERRORS(ERROR_NOT_READY);

    if (FAILS("GetDiskFreeSpaceExW")) {
        SetLastError(error);
        return FALSE;
    }
    if (!gSmallFolder.empty() && _wcsnicmp(folder, gSmallFolder.c_str(), gSmallFolder.size()) == 0) {
        if (available) available->QuadPart = gSmallFolderBytes;
        if (total) total->QuadPart = gSmallFolderBytes;
        if (free) free->QuadPart = gSmallFolderBytes;
        return TRUE;
    }
    return RealGetDiskFreeSpaceExW(folder, available, total, free);
}

static BOOL WINAPI FaultProcessIdToSessionId(DWORD process, DWORD *session)
{
    BOOL ok = RealProcessIdToSessionId(process, session);

    if (ok && gOtherSessionProcess && process == gOtherSessionProcess) ++*session;
    return ok;
}

void RefuseHardLinks(bool refuse)
{
    gNoHardLinks = refuse;
}

void PretendOtherSession(DWORD processId)
{
    gOtherSessionProcess = processId;
}

static void PatchOpenProcess(void);

void RefuseToOpen(DWORD processId, DWORD error)
{
    PatchOpenProcess();
    gUnopenedProcess = processId;
    gUnopenedError = error;
}

void ReportFreeSpace(const std::wstring &folder, unsigned long long bytes)
{
    gSmallFolder = folder;
    gSmallFolderBytes = bytes;
}

// The log is the campaign's witness, not part of what it tests.
static HANDLE WINAPI FaultCreateFileW(LPCWSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                      DWORD disposition, DWORD flags, HANDLE pattern)
{
    ERRORS(ERROR_ACCESS_DENIED, ERROR_SHARING_VIOLATION, ERROR_PATH_NOT_FOUND);
    HANDLE file;

    if (gLogPath[0] && wcscmp(path, gLogPath) == 0) {
        file = RealCreateFileW(path, access, share, security, disposition, flags, pattern);
        if (file != INVALID_HANDLE_VALUE && GetCurrentThreadId() == gCountingThread) gLogHandles.insert(file);
        return file;
    }
    if (FAILS("CreateFileW")) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    return RealCreateFileW(path, access, share, security, disposition, flags, pattern);
}

// A short write writes half and reports that.
static BOOL WINAPI FaultWriteFile(HANDLE file, LPCVOID bytes, DWORD count, LPDWORD put, LPOVERLAPPED overlapped)
{
    ERRORS(ERROR_DISK_FULL, kShortWrite);

    if (gLogHandles.count(file)) return RealWriteFile(file, bytes, count, put, overlapped);
    if (FAILS("WriteFile")) {
        if (error == kShortWrite && count > 1) return RealWriteFile(file, bytes, count / 2, put, overlapped);
        if (error == kShortWrite) error = gFault.error = ERROR_DISK_FULL;
        SetLastError(error);
        return FALSE;
    }
    return RealWriteFile(file, bytes, count, put, overlapped);
}

static BOOL WINAPI FaultCloseHandle(HANDLE handle)
{
    gLogHandles.erase(handle);
    return RealCloseHandle(handle);
}

// IPersistFile::Save, the seventh entry of its method table.
typedef HRESULT(STDMETHODCALLTYPE *SaveFunction)(IPersistFile *, LPCOLESTR, BOOL);
static SaveFunction gRealSave;
static const int kSaveSlot = 6;

static HRESULT STDMETHODCALLTYPE FaultSave(IPersistFile *file, LPCOLESTR name, BOOL remember)
{
    ERRORS((DWORD)E_ACCESSDENIED, (DWORD)STG_E_MEDIUMFULL);

    if (FAILS("IPersistFile::Save")) return (HRESULT)error;
    return gRealSave(file, name, remember);
}

// Every shell link shares one method table: patched once.
static void PatchSave(IUnknown *link)
{
    IPersistFile *file = NULL;
    void **methods;
    DWORD protection;

    if (gRealSave || FAILED(link->QueryInterface(IID_IPersistFile, (void **)&file))) return;
    methods = *(void ***)file;
    VirtualProtect(&methods[kSaveSlot], sizeof(void *), PAGE_READWRITE, &protection);
    gRealSave = (SaveFunction)methods[kSaveSlot];
    methods[kSaveSlot] = (void *)FaultSave;
    VirtualProtect(&methods[kSaveSlot], sizeof(void *), protection, &protection);
    file->Release();
}

// A shell that does not answer: the activation of its list of windows
// waits until released.
static HANDLE gShellReleased;

static void PatchCoCreateInstance(void);

// The annotations the window makes, recorded at the accessibility
// property service's own methods (Wine's answer E_NOTIMPL), then passed on.
static bool gRecordAnnotations;
static std::vector<Annotation> gAnnotations;
typedef HRESULT(STDMETHODCALLTYPE *SetHwndPropFunction)(IAccPropServices *, HWND, DWORD, DWORD, MSAAPROPID, VARIANT);
typedef HRESULT(STDMETHODCALLTYPE *SetHwndPropStrFunction)(IAccPropServices *, HWND, DWORD, DWORD, MSAAPROPID, LPCWSTR);
static SetHwndPropFunction gRealSetHwndProp;
static SetHwndPropStrFunction gRealSetHwndPropStr;
static const int kSetHwndPropSlot = 6;
static const int kSetHwndPropStrSlot = 7;

static HRESULT STDMETHODCALLTYPE RecordSetHwndProp(IAccPropServices *services, HWND window, DWORD object, DWORD child,
                                                   MSAAPROPID property, VARIANT value)
{
    gAnnotations.push_back({window, property, value.vt == VT_I4 ? value.lVal : -1, L""});
    return gRealSetHwndProp(services, window, object, child, property, value);
}

static HRESULT STDMETHODCALLTYPE RecordSetHwndPropStr(IAccPropServices *services, HWND window, DWORD object,
                                                      DWORD child, MSAAPROPID property, LPCWSTR text)
{
    gAnnotations.push_back({window, property, -1, text ? text : L""});
    return gRealSetHwndPropStr(services, window, object, child, property, text);
}

static void PatchSlot(void **methods, int slot, void *replacement, void **real)
{
    DWORD protection;

    VirtualProtect(&methods[slot], sizeof(void *), PAGE_READWRITE, &protection);
    *real = methods[slot];
    methods[slot] = replacement;
    VirtualProtect(&methods[slot], sizeof(void *), protection, &protection);
}

static void PatchPropertyServices(IUnknown *object)
{
    void **methods = *(void ***)object;

    if (gRealSetHwndProp) return;
    PatchSlot(methods, kSetHwndPropSlot, (void *)RecordSetHwndProp, (void **)&gRealSetHwndProp);
    PatchSlot(methods, kSetHwndPropStrSlot, (void *)RecordSetHwndPropStr, (void **)&gRealSetHwndPropStr);
}

void RecordAnnotations(void)
{
    PatchCoCreateInstance();
    gRecordAnnotations = true;
    gAnnotations.clear();
}

std::vector<Annotation> Annotations(void)
{
    return gAnnotations;
}

// Needs no other part of the layer.
void HoldShellWindows(bool hold)
{
    if (!gShellReleased) gShellReleased = CreateEventW(NULL, TRUE, TRUE, NULL);
    PatchCoCreateInstance();
    hold ? ResetEvent(gShellReleased) : SetEvent(gShellReleased);
}

static HRESULT WINAPI FaultCoCreateInstance(REFCLSID type, LPUNKNOWN outer, DWORD context, REFIID wanted,
                                            LPVOID *object)
{
    ERRORS((DWORD)E_FAIL, (DWORD)E_ACCESSDENIED);
    HRESULT result;

    if (gShellReleased && IsEqualCLSID(type, CLSID_ShellWindows)) WaitForSingleObject(gShellReleased, INFINITE);

    if (FAILS("CoCreateInstance")) {
        *object = NULL;
        return (HRESULT)error;
    }
    result = RealCoCreateInstance(type, outer, context, wanted, object);
    if (SUCCEEDED(result) && IsEqualCLSID(type, CLSID_ShellLink)) PatchSave((IUnknown *)*object);
    if (SUCCEEDED(result) && gRecordAnnotations && IsEqualCLSID(type, CLSID_AccPropServices))
        PatchPropertyServices((IUnknown *)*object);
    return result;
}

static BOOL WINAPI FaultShellExecuteExW(SHELLEXECUTEINFOW *execute)
{
    ERRORS(ERROR_FILE_NOT_FOUND, ERROR_ACCESS_DENIED);

    if (FAILS("ShellExecuteExW")) {
        SetLastError(error);
        return FALSE;
    }
    if (GetCurrentThreadId() == gCountingThread && wcscmp(execute->lpFile, gAppPath) != 0) {
        gHandedOver.push_back(execute->lpParameters ? execute->lpParameters : L"");
        execute->hProcess = NULL;
        execute->hInstApp = (HINSTANCE)33;
        return TRUE;
    }
    return RealShellExecuteExW(execute);
}

static void WINAPI FaultSleep(DWORD milliseconds)
{
    if (GetCurrentThreadId() == gCountingThread)
        gVirtualMs += milliseconds;
    else
        RealSleep(milliseconds);
}

static ULONGLONG WINAPI FaultGetTickCount64(void)
{
    return RealGetTickCount64() + gVirtualMs;
}

// Replaces the import table entry of this executable for the named function.
static void Patch(const char *name, void *replacement, void **real)
{
    BYTE *base = (BYTE *)GetModuleHandleW(NULL);
    IMAGE_NT_HEADERS *headers = (IMAGE_NT_HEADERS *)(base + ((IMAGE_DOS_HEADER *)base)->e_lfanew);
    IMAGE_DATA_DIRECTORY imports = headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    IMAGE_IMPORT_DESCRIPTOR *module = (IMAGE_IMPORT_DESCRIPTOR *)(base + imports.VirtualAddress);
    DWORD protection;

    for (; module->Name; ++module) {
        IMAGE_THUNK_DATA *names = (IMAGE_THUNK_DATA *)(base + module->OriginalFirstThunk);
        IMAGE_THUNK_DATA *entries = (IMAGE_THUNK_DATA *)(base + module->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++entries) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
            if (strcmp((const char *)((IMAGE_IMPORT_BY_NAME *)(base + names->u1.AddressOfData))->Name, name) != 0) continue;
            VirtualProtect(&entries->u1.Function, sizeof(void *), PAGE_READWRITE, &protection);
            *real = (void *)entries->u1.Function;
            entries->u1.Function = (ULONG_PTR)replacement;
            VirtualProtect(&entries->u1.Function, sizeof(void *), protection, &protection);
            return;
        }
    }
    ADD_FAILURE() << "not imported: " << name;
}

#define PATCH(name) Patch(#name, (void *)Fault##name, (void **)&Real##name)

// High contrast as the user switches it on (Wine cannot: SPI_SETHIGHCONTRAST
// fails there).
static bool gHighContrast;
REAL(SystemParametersInfoW);

static BOOL WINAPI FaultSystemParametersInfoW(UINT action, UINT size, PVOID value, UINT update)
{
    BOOL ok = RealSystemParametersInfoW(action, size, value, update);

    if (ok && action == SPI_GETHIGHCONTRAST && gHighContrast) ((HIGHCONTRASTW *)value)->dwFlags |= HCF_HIGHCONTRASTON;
    return ok;
}

void PretendHighContrast(bool on)
{
    if (!RealSystemParametersInfoW) PATCH(SystemParametersInfoW);
    gHighContrast = on;
}

static void PatchOpenProcess(void)
{
    if (!RealOpenProcess) PATCH(OpenProcess);
}

static void PatchCoCreateInstance(void)
{
    if (!RealCoCreateInstance) PATCH(CoCreateInstance);
}

void InstallFaultLayer(void)
{
    static bool installed;

    if (installed) return;
    installed = true;
    PATCH(CreateFileW);
    PATCH(ReadFile);
    PATCH(WriteFile);
    PATCH(FlushFileBuffers);
    PATCH(CloseHandle);
    PATCH(GetFileSizeEx);
    PATCH(SetFilePointerEx);
    PATCH(MoveFileExW);
    PATCH(DeleteFileW);
    PATCH(CreateDirectoryW);
    PATCH(RemoveDirectoryW);
    PATCH(SetFileAttributesW);
    PATCH(CreateHardLinkW);
    PATCH(GetVolumePathNameW);
    PATCH(GetDiskFreeSpaceExW);
    PATCH(CopyFileW);
    PATCH(ProcessIdToSessionId);
    PATCH(GetVolumeInformationW);
    PatchOpenProcess();
    PATCH(RegCreateKeyExW);
    PATCH(RegOpenKeyExW);
    PATCH(RegSetValueExW);
    PATCH(RegFlushKey);
    PATCH(RegDeleteKeyW);
    PATCH(RegDeleteValueW);
    PATCH(SHGetFolderPathW);
    PatchCoCreateInstance();
    PATCH(ShellExecuteExW);
    PATCH(Sleep);
    PATCH(GetTickCount64);
}

void BeginCounting(int failAt)
{
    gCalls = 0;
    gFailAt = failAt;
    gFault = InjectedFault{"", 0};
    gHandedOver.clear();
    gCountingThread = GetCurrentThreadId();
}

int EndCounting(InjectedFault *fault)
{
    gCountingThread = 0;
    gLogHandles.clear();
    if (fault) *fault = gFault;
    return gCalls;
}

std::vector<std::wstring> HandedOverCommands(void)
{
    return gHandedOver;
}
