// The application package appended to the setup file, and its extraction.
//
// Layout of the setup file: [setup program][payload][trailer], and in a signed
// file [certificate table] behind them. The trailer is 24 bytes,
// little-endian, packed. It ends the file, or, when the file's PE header names
// a certificate table that ends the file, it ends where the table begins,
// before at most 7 zero bytes with which signing aligns the table to 8 bytes.
#include "setup.h"

#include <commctrl.h>
#include <string.h>

HANDLE gSelfFile = INVALID_HANDLE_VALUE;

#pragma pack(push, 1)
struct PackageTrailer {
    unsigned char magic[12];            // "TARVOPKG3"; bytes 9 to 11 are not examined
    unsigned long long payloadLength;
    unsigned int payloadCrc;
};
#pragma pack(pop)
static_assert(sizeof(PackageTrailer) == 24, "the trailer is 24 bytes on disk");

static const char kTrailerMagic[] = "TARVOPKG3";
static const size_t kTrailerMagicChecked = 9;
static const DWORD kChunkSize = 65536;

// Signing aligns the certificate table to 8 bytes with up to 7 zero bytes.
static const size_t kMaxTablePadding = 7;
// In the PE header: the offset of the header at 0x3C of the DOS header; the
// data directories after the signature, the file header and the optional
// header's fields, which differ between PE32+ and PE32; the certificate table
// is directory 4 and names a file offset, not an address.
static const unsigned long long kPeOffsetAt = 0x3C;
static const size_t kOptionalHeaderAt = 4 + sizeof(IMAGE_FILE_HEADER);
static const size_t kDirectoriesPe32Plus = 112;
static const size_t kDirectoriesPe32 = 96;
static const size_t kHeaderBytes = kOptionalHeaderAt + kDirectoriesPe32Plus + 5 * sizeof(IMAGE_DATA_DIRECTORY);

// Reads count bytes at offset. Returns 1, 0 when they lie outside the file
// (its format says so), or -1 when the read itself fails (GetLastError).
static int ReadAt(HANDLE input, unsigned long long size, unsigned long long offset, void *bytes, DWORD count)
{
    LARGE_INTEGER position;
    DWORD got = 0;

    if (offset > size || size - offset < count) return 0;
    position.QuadPart = (LONGLONG)offset;
    if (!SetFilePointerEx(input, position, NULL, FILE_BEGIN) || !ReadFile(input, bytes, count, &got, NULL)) return -1;
    if (got != count) {
        SetLastError(ERROR_HANDLE_EOF);
        return -1;
    }
    return 1;
}

// Where the package ends: at the certificate table that the file's own PE
// header names, when that table ends the file; otherwise at the end of the
// file. A header that is missing, malformed or out of range names no table.
// Returns 0 with *end set, or -1 when a read fails.
static int PackageEnd(HANDLE input, unsigned long long size, unsigned long long *end)
{
    unsigned char headers[kHeaderBytes];
    IMAGE_FILE_HEADER fileHeader;
    IMAGE_DATA_DIRECTORY table;
    DWORD peOffset = 0;
    WORD magic = 0;
    size_t directories;
    int read;

    *end = size;
    read = ReadAt(input, size, kPeOffsetAt, &peOffset, sizeof peOffset);
    if (read == 1) read = ReadAt(input, size, peOffset, headers, sizeof headers);
    if (read != 1) return read;
    if (memcmp(headers, "PE\0\0", 4) != 0) return 0;
    memcpy(&fileHeader, headers + 4, sizeof fileHeader);
    memcpy(&magic, headers + kOptionalHeaderAt, sizeof magic);
    if (magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC)
        directories = kDirectoriesPe32Plus;
    else if (magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC)
        directories = kDirectoriesPe32;
    else
        return 0;
    if (fileHeader.SizeOfOptionalHeader < directories + 5 * sizeof(IMAGE_DATA_DIRECTORY)) return 0;
    memcpy(&table, headers + kOptionalHeaderAt + directories + IMAGE_DIRECTORY_ENTRY_SECURITY * sizeof table, sizeof table);
    if (table.Size == 0 || table.VirtualAddress > size || size - table.VirtualAddress != table.Size) return 0;
    *end = table.VirtualAddress;
    return 0;
}

// Finds the trailer that ends at packageEnd, or, before a certificate table,
// up to kMaxTablePadding zero bytes earlier: its magic tells where it lies,
// since a CRC-32 may itself end in zero bytes. Sets *trailerEnd to where it
// ends, or 0 when there is none; returns -1 when a read fails.
static int FindTrailer(HANDLE input, unsigned long long size, unsigned long long packageEnd, PackageTrailer *trailer,
                       unsigned long long *trailerEnd)
{
    unsigned char tail[sizeof *trailer + kMaxTablePadding];
    size_t span = packageEnd < size ? sizeof tail : sizeof *trailer;
    size_t padding;
    int read;

    *trailerEnd = 0;
    if (packageEnd < sizeof *trailer) return 0;
    if (span > packageEnd) span = (size_t)packageEnd;
    read = ReadAt(input, size, packageEnd - span, tail, (DWORD)span);
    if (read != 1) return read;
    for (padding = 0; padding + sizeof *trailer <= span; ++padding) {
        if (padding > 0 && tail[span - padding] != 0) return 0;
        if (memcmp(tail + span - padding - sizeof *trailer, kTrailerMagic, kTrailerMagicChecked) == 0) {
            memcpy(trailer, tail + span - padding - sizeof *trailer, sizeof *trailer);
            *trailerEnd = packageEnd - padding;
            return 0;
        }
    }
    return 0;
}

// Where the package lies in the setup file.
struct PackagePlace {
    unsigned long long size;
    unsigned long long payloadStart;
    PackageTrailer trailer;
};

// Reads and checks the trailer. A file that carries no valid package fails
// with ERROR_BAD_FORMAT; a read that fails keeps its own error.
static int FindPackage(HANDLE input, PackagePlace *place)
{
    LARGE_INTEGER size;
    unsigned long long packageEnd;
    unsigned long long trailerEnd;
    unsigned long long trailerStart;

    if (!GetFileSizeEx(input, &size)) return 0;
    place->size = (unsigned long long)size.QuadPart;
    if (PackageEnd(input, place->size, &packageEnd) < 0) return 0;
    if (FindTrailer(input, place->size, packageEnd, &place->trailer, &trailerEnd) < 0) return 0;
    trailerStart = trailerEnd - sizeof place->trailer;
    if (trailerEnd == 0 || place->trailer.payloadLength == 0 || place->trailer.payloadLength > trailerStart) {
        SetLastError(ERROR_BAD_FORMAT);
        return 0;
    }
    place->payloadStart = trailerStart - place->trailer.payloadLength;
    return 1;
}

// The files one pass writes each chunk to, and the step a failed write of
// each names.
struct CopyTargets {
    HANDLE files[2];
    int steps[2];
    int count;
};

// Reads length bytes from where the file pointer stands through a single
// stack buffer, writes each chunk to the targets, updates the CRC-32 and,
// when a bar is given, reports. Returns STEP_NONE, or the step that failed:
// reading the setup file (a file cut short fails with ERROR_HANDLE_EOF) or
// writing one of the targets.
static int CopyBytes(HANDLE input, const CopyTargets *targets, unsigned long long length, unsigned int *crc,
                     HWND progress)
{
    unsigned char buffer[kChunkSize];
    unsigned long long copied = 0;
    DWORD chunk;
    DWORD got;
    DWORD put = 0;
    int i;

    while (copied < length) {
        chunk = length - copied < kChunkSize ? (DWORD)(length - copied) : kChunkSize;
        got = 0;
        if (!ReadFile(input, buffer, chunk, &got, NULL)) return STEP_PACKAGE;
        if (got != chunk) {
            SetLastError(ERROR_HANDLE_EOF);
            return STEP_PACKAGE;
        }
        // A short write is followed by another for the rest, which reports
        // why the first stopped (a full disk).
        for (i = 0; i < targets->count; ++i)
            for (DWORD written = 0; written < got; written += put)
                if (!WriteFile(targets->files[i], buffer + written, got - written, &put, NULL) || put == 0)
                    return targets->steps[i];
        *crc = UpdateCrc32(*crc, buffer, got);
        copied += got;
        if (progress) {
            SendMessageW(progress, PBM_SETPOS, (WPARAM)(copied * PROGRESS_MAX / length), 0);
            AnswerWhileWorking();
        }
    }
    return STEP_NONE;
}

static int Seek(HANDLE input, unsigned long long offset)
{
    LARGE_INTEGER position;

    position.QuadPart = (LONGLONG)offset;
    return SetFilePointerEx(input, position, NULL, FILE_BEGIN) != 0;
}

// Others may hold the setup file open, for writing too (a sync client, a
// scanner), and rename it: what is read is checked instead.
HANDLE OpenSetupFile(void)
{
    return CreateFileW(gSelfPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
}

// The handle opened at start-up, or, where there is none, one of its own,
// which the caller closes.
static HANDLE SetupFileHandle(void)
{
    return gSelfFile != INVALID_HANDLE_VALUE ? gSelfFile : OpenSetupFile();
}

static void CloseFile(HANDLE *file)
{
    if (*file != INVALID_HANDLE_VALUE && *file != gSelfFile) CloseHandle(*file);
    *file = INVALID_HANDLE_VALUE;
}

int PackageRoomNeeded(unsigned long long *bytes)
{
    HANDLE input = SetupFileHandle();
    PackagePlace place;
    int ok = 0;

    if (input == INVALID_HANDLE_VALUE || !FindPackage(input, &place)) goto done;
    *bytes = place.trailer.payloadLength + place.size;
    ok = 1;
done:
    CloseFile(&input);
    return ok;
}

// The parts of the setup file around the payload, which the payload's CRC-32
// does not cover (the program, the trailer, a signature), read once more
// after the pass, and the trailer against the one that was checked: a file
// that another program wrote meanwhile, through a handle that shares
// writing, reads otherwise, and so an uninstaller never carries bytes of two
// files.
static int SurroundUnchanged(HANDLE input, const PackagePlace *place, unsigned int surroundCrc)
{
    const CopyTargets none = {{NULL, NULL}, {STEP_NONE, STEP_NONE}, 0};
    unsigned long long payloadEnd = place->payloadStart + place->trailer.payloadLength;
    PackageTrailer trailer;
    unsigned int crc = 0;

    if (!Seek(input, 0) || CopyBytes(input, &none, place->payloadStart, &crc, NULL) != STEP_NONE) return 0;
    if (!Seek(input, payloadEnd) || CopyBytes(input, &none, place->size - payloadEnd, &crc, NULL) != STEP_NONE)
        return 0;
    if (ReadAt(input, place->size, payloadEnd, &trailer, sizeof trailer) != 1) return 0;
    if (crc == surroundCrc && memcmp(&trailer, &place->trailer, sizeof trailer) == 0) return 1;
    SetLastError(ERROR_FILE_INVALID);
    return 0;
}

// Each staged file is flushed through the handle that wrote it, before its
// name is moved over the final one: a power cut after the move must not
// leave an empty program under that name.
//
// The application and the uninstaller are written under temporary names in
// one pass through the setup file's one handle: the uninstaller is the setup
// file written afresh from its bytes (a copy by the system would carry the
// download's alternate data streams, its mark of the web, and its read-only
// attribute along), and the application is the payload among those same
// bytes, checked by its CRC-32. The procedure moves them over their final
// names only once both are staged, so whatever stops the pass part-way (a
// damaged download, a full disk, the process being ended) leaves an earlier
// installation whole. Every failure removes both temporary files. A
// mismatching CRC-32 fails with ERROR_CRC, a file that changed while it was
// read with ERROR_FILE_INVALID.
int ExtractApplication(SetupOutcome *outcome)
{
    int ok = 0;
    int step = STEP_PACKAGE;
    const wchar_t *failed = gSelfPath;
    HANDLE input = INVALID_HANDLE_VALUE;
    CopyTargets both = {{INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE}, {STEP_UNINSTALLER, STEP_WRITE_APPLICATION}, 2};
    CopyTargets uninstaller = both;
    PackagePlace place;
    unsigned int crc = 0;
    unsigned int surroundCrc = 0;

    uninstaller.count = 1;
    input = SetupFileHandle();
    if (input == INVALID_HANDLE_VALUE || !FindPackage(input, &place)) goto done;
    step = STEP_UNINSTALLER;
    failed = gPartialUninstallPath;
    uninstaller.files[0] = both.files[0] = CreateStagingFile(gPartialUninstallPath);
    if (both.files[0] == INVALID_HANDLE_VALUE) goto done;
    step = STEP_WRITE_APPLICATION;
    failed = gPartialPath;
    both.files[1] = CreateStagingFile(gPartialPath);
    if (both.files[1] == INVALID_HANDLE_VALUE) goto done;
    SendMessageW(gProgress, PBM_SETRANGE32, 0, PROGRESS_MAX);
    step = STEP_PACKAGE;
    if (!Seek(input, 0)) goto done;
    step = CopyBytes(input, &uninstaller, place.payloadStart, &surroundCrc, NULL);
    if (step == STEP_NONE) step = CopyBytes(input, &both, place.trailer.payloadLength, &crc, gProgress);
    if (step == STEP_NONE)
        step = CopyBytes(input, &uninstaller, place.size - place.payloadStart - place.trailer.payloadLength,
                         &surroundCrc, NULL);
    if (step != STEP_NONE) {
        failed = step == STEP_PACKAGE ? gSelfPath : step == STEP_UNINSTALLER ? gPartialUninstallPath : gPartialPath;
        goto done;
    }
    step = STEP_PACKAGE;
    failed = gSelfPath;
    if (crc != place.trailer.payloadCrc) {
        SetLastError(ERROR_CRC);
        goto done;
    }
    if (!SurroundUnchanged(input, &place, surroundCrc)) goto done;
    LogStep(outcome, STEP_PACKAGE, gSelfPath, 1, 0);
    step = STEP_WRITE_APPLICATION;
    failed = gPartialPath;
    if (!FlushFileBuffers(both.files[1])) goto done;
    LogStep(outcome, STEP_WRITE_APPLICATION, gPartialPath, 1, 0);
    step = STEP_UNINSTALLER;
    failed = gPartialUninstallPath;
    ok = FlushFileBuffers(both.files[0]);
done:
    LogStep(outcome, step, failed, ok, ok ? 0 : GetLastError());
    for (int i = 0; i < 2; ++i)
        if (both.files[i] != INVALID_HANDLE_VALUE) CloseHandle(both.files[i]);
    CloseFile(&input);
    if (!ok) {
        DiscardStagingFile(gPartialPath);
        DiscardStagingFile(gPartialUninstallPath);
    }
    return ok;
}
