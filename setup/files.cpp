// Files and folders of the installation: directory chains, the staging files
// new files are written under before they take their final names, and moves
// and deletes that wait out the brief locks of scanners and indexers.
#include "setup.h"

#include <wchar.h>

// Index 3 is the first character after a drive prefix such as "C:\", so the
// bare drive is never passed to CreateDirectoryW.
static const size_t kFirstLevelIndex = 3;

// Succeeds only when a directory stands at the path at the end: a file of
// that name is no folder to install into (ERROR_DIRECTORY).
int EnsureDirectory(const wchar_t *path)
{
    wchar_t copy[SETUP_PATH_CAPACITY] = {0};
    DWORD attributes;
    size_t length;
    size_t i;

    wcsncpy(copy, path, SETUP_PATH_CAPACITY - 1);
    length = wcslen(copy);
    for (i = kFirstLevelIndex; i < length; ++i) {
        if (copy[i] != L'\\') continue;
        copy[i] = L'\0';
        CreateDirectoryW(copy, NULL);
        copy[i] = L'\\';
    }
    if (CreateDirectoryW(copy, NULL)) return 1;
    if (GetLastError() != ERROR_ALREADY_EXISTS) return 0;
    attributes = GetFileAttributesW(copy);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return 1;
    SetLastError(ERROR_DIRECTORY);
    return 0;
}

// A scanner holds a new or replaced executable for well under a second; five
// seconds cover a slow one and keep a real failure quick to report.
static const DWORD kBriefLockStepMs = 250;
static const DWORD kBriefLockBoundMs = 5000;

// Called after a failed try: waits one step and returns 1 while the failure
// is that of a file another process holds open and the bound has not
// passed; logs each retry. Keeps the failure's own error.
int AnotherTry(const wchar_t *step, const wchar_t *path, ULONGLONG until)
{
    DWORD error = GetLastError();
    wchar_t outcome[64];
    int held = error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;

    if (!held || GetTickCount64() >= until) {
        SetLastError(error);
        return 0;
    }
    FormatText(outcome, 64, L"held by another program (error %lu): retrying", (unsigned long)error);
    LogLine(step, path, outcome);
    Sleep(kBriefLockStepMs);
    return 1;
}

ULONGLONG BriefLockDeadline(void)
{
    return GetTickCount64() + kBriefLockBoundMs;
}

// A temporary file that an ended run left read-only would refuse to be
// replaced; and a folder that a finishing uninstall's deferred removal took
// away a moment ago is made again once.
HANDLE CreateStagingFile(const wchar_t *path)
{
    ULONGLONG until = BriefLockDeadline();
    int madeFolder = 0;
    HANDLE file;

    SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL);
    for (;;) {
        file = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
        if (file != INVALID_HANDLE_VALUE) break;
        if (GetLastError() == ERROR_PATH_NOT_FOUND && !madeFolder) {
            madeFolder = 1;
            if (EnsureDirectory(gInstallDir)) continue;
            break;
        }
        if (!AnotherTry(L"create", path, until)) break;
    }
    return file;
}

// A file that is already gone counts as deleted.
int DeleteRetryingBriefLocks(const wchar_t *path)
{
    ULONGLONG until = BriefLockDeadline();
    DWORD error;

    SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL);
    while (!DeleteFileW(path)) {
        error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return 1;
        if (!AnotherTry(L"delete", path, until)) return 0;
    }
    return 1;
}

void DiscardStagingFile(const wchar_t *path)
{
    DWORD error = GetLastError();

    if (!DeleteRetryingBriefLocks(path)) LogStep(NULL, STEP_DISCARD, path, 0, GetLastError());
    SetLastError(error);
}

// A read-only file at the target (an uninstaller copied from read-only media
// by an earlier release) would refuse to be replaced.
int MoveRetryingBriefLocks(const wchar_t *from, const wchar_t *to)
{
    ULONGLONG until = BriefLockDeadline();

    SetFileAttributesW(to, FILE_ATTRIBUTE_NORMAL);
    while (!MoveFileExW(from, to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        if (!AnotherTry(L"move", to, until)) return 0;
    return 1;
}

// The name an uninstall moves the running uninstaller to before it hands its
// removal over: the uninstaller's name, the process ID in hexadecimal, ".del".
static const wchar_t kAsidePrefix[] = L"TarvoMarkwiseKaldir.";
static const wchar_t kAsideSuffix[] = L".del";
static const size_t kAsideMaxDigits = 8;

int AsideUninstallerPath(wchar_t *path, DWORD processId)
{
    return FormatText(path, SETUP_PATH_CAPACITY, L"%ls\\%ls%lx%ls", gInstallDir, kAsidePrefix, (unsigned long)processId,
                      kAsideSuffix) < SETUP_PATH_CAPACITY - 1;
}

static int IsAsideName(const wchar_t *name)
{
    size_t prefix = wcslen(kAsidePrefix);
    size_t digits = 0;

    if (_wcsnicmp(name, kAsidePrefix, prefix) != 0) return 0;
    for (name += prefix; iswxdigit(*name) && digits <= kAsideMaxDigits; ++name) ++digits;
    return digits > 0 && digits <= kAsideMaxDigits && _wcsicmp(name, kAsideSuffix) == 0;
}

// Uninstallers that earlier uninstalls moved aside but did not hand over,
// because they were ended first: they would keep the folder from being
// removed, and nothing else ever takes them. Only files of exactly that
// name go; one that still runs cannot be deleted and stays.
void DeleteLeftovers(void)
{
    WIN32_FIND_DATAW found;
    wchar_t pattern[SETUP_PATH_CAPACITY];
    wchar_t path[SETUP_PATH_CAPACITY];
    HANDLE search = INVALID_HANDLE_VALUE;

    if (FormatText(pattern, SETUP_PATH_CAPACITY, L"%ls\\%ls*%ls", gInstallDir, kAsidePrefix, kAsideSuffix) >=
        SETUP_PATH_CAPACITY - 1)
        return;
    search = FindFirstFileW(pattern, &found);
    if (search == INVALID_HANDLE_VALUE) return;
    do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || !IsAsideName(found.cFileName)) continue;
        if (FormatText(path, SETUP_PATH_CAPACITY, L"%ls\\%ls", gInstallDir, found.cFileName) >= SETUP_PATH_CAPACITY - 1)
            continue;
        SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL);
        LogStep(NULL, STEP_DISCARD, path, DeleteFileW(path), GetLastError());
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

// The deepest folder of the path that exists: the install's files go to its
// volume, which a junction or a mounted folder on the way may have put on
// another drive than the path's first letter names. The system measures
// free space there through junctions and mount points. Empty when no part
// of the path exists.
void ExistingFolderOf(const wchar_t *path, wchar_t *folder)
{
    DWORD attributes;
    wchar_t *cut;

    lstrcpynW(folder, path, SETUP_PATH_CAPACITY);
    for (;;) {
        attributes = GetFileAttributesW(folder);
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return;
        cut = wcsrchr(folder, L'\\');
        if (!cut || cut == folder) break;
        *cut = L'\0';
    }
    folder[0] = L'\0';
}

// The drive a folder's files land on, as the user knows it: the volume of
// its final path, past junctions and mount points; where that cannot be
// told, the volume its own path names.
void DriveOfFolder(const wchar_t *folder, wchar_t *drive)
{
    static const wchar_t kLongPrefix[] = L"\\\\?\\";
    static const wchar_t kLongUncPrefix[] = L"\\\\?\\UNC\\";
    wchar_t final[SETUP_PATH_CAPACITY + 8] = {0};
    wchar_t path[SETUP_PATH_CAPACITY + 8] = {0};
    HANDLE handle;
    DWORD length = 0;

    handle = CreateFileW(folder, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (handle != INVALID_HANDLE_VALUE) {
        length = GetFinalPathNameByHandleW(handle, final, SETUP_PATH_CAPACITY + 8, VOLUME_NAME_DOS);
        CloseHandle(handle);
    }
    if (length == 0 || length >= SETUP_PATH_CAPACITY + 8)
        lstrcpynW(path, folder, SETUP_PATH_CAPACITY);
    else if (wcsncmp(final, kLongUncPrefix, wcslen(kLongUncPrefix)) == 0)
        FormatText(path, SETUP_PATH_CAPACITY + 8, L"\\\\%ls", final + wcslen(kLongUncPrefix));
    else if (wcsncmp(final, kLongPrefix, wcslen(kLongPrefix)) == 0)
        lstrcpynW(path, final + wcslen(kLongPrefix), SETUP_PATH_CAPACITY + 8);
    else
        lstrcpynW(path, final, SETUP_PATH_CAPACITY + 8);
    if (!GetVolumePathNameW(path, drive, SETUP_PATH_CAPACITY)) lstrcpynW(drive, path, 4);
}
