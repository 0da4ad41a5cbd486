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
