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

static void CloseFile(HANDLE *file)
{
    if (*file != INVALID_HANDLE_VALUE) CloseHandle(*file);
    *file = INVALID_HANDLE_VALUE;
}

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

// Reads and checks the trailer and leaves the file pointer at the payload.
// A file that carries no valid package fails with ERROR_BAD_FORMAT; a read
// that fails keeps its own error.
static int SeekToPayload(HANDLE input, PackageTrailer *trailer)
{
    LARGE_INTEGER size;
    LARGE_INTEGER position;
    unsigned long long packageEnd;
    unsigned long long trailerEnd;

    if (!GetFileSizeEx(input, &size)) return 0;
    if (PackageEnd(input, (unsigned long long)size.QuadPart, &packageEnd) < 0) return 0;
    if (FindTrailer(input, (unsigned long long)size.QuadPart, packageEnd, trailer, &trailerEnd) < 0) return 0;
    position.QuadPart = (LONGLONG)(trailerEnd - sizeof *trailer);
    if (trailerEnd == 0 || trailer->payloadLength == 0 || trailer->payloadLength > (unsigned long long)position.QuadPart) {
        SetLastError(ERROR_BAD_FORMAT);
        return 0;
    }
    position.QuadPart -= (LONGLONG)trailer->payloadLength;
    return SetFilePointerEx(input, position, NULL, FILE_BEGIN) != 0;
}

// One pass through a single stack buffer: read, write, checksum, and, when
// a bar is given, report. Returns STEP_NONE, or the step that failed:
// reading the setup file (a file cut short fails with ERROR_HANDLE_EOF) or
// writing the copy, writeStep.
static int CopyBytes(HANDLE input, HANDLE output, unsigned long long length, unsigned int *crc, HWND progress,
                     int writeStep)
{
    unsigned char buffer[kChunkSize];
    unsigned long long copied = 0;
    DWORD chunk;
    DWORD got;
    DWORD put = 0;

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
        for (DWORD written = 0; written < got; written += put)
            if (!WriteFile(output, buffer + written, got - written, &put, NULL) || put == 0) return writeStep;
        *crc = UpdateCrc32(*crc, buffer, got);
        copied += got;
        if (progress) SendMessageW(progress, PBM_SETPOS, (WPARAM)(copied * PROGRESS_MAX / length), 0);
    }
    return STEP_NONE;
}

// Others may hold the setup file open, for writing too (a sync client, a
// scanner): the CRC-32 guards what is read.
static HANDLE OpenSetupFile(void)
{
    return CreateFileW(gSelfPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                       OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
}

int PackageRoomNeeded(unsigned long long *bytes)
{
    HANDLE input = OpenSetupFile();
    PackageTrailer trailer;
    LARGE_INTEGER size;
    int ok = 0;

    if (input == INVALID_HANDLE_VALUE) goto done;
    if (!GetFileSizeEx(input, &size) || !SeekToPayload(input, &trailer)) goto done;
    *bytes = trailer.payloadLength + (unsigned long long)size.QuadPart;
    ok = 1;
done:
    CloseFile(&input);
    return ok;
}

// Each staged file is flushed through the handle that wrote it, before its
// name is moved over the final one: a power cut after the move must not
// leave an empty program under that name.
//
// The application is written under a temporary name and checked there; the
// procedure moves it over gAppPath only once everything new is staged, so
// whatever stops the copy part-way (a damaged download, a full disk, the
// process being ended) leaves an earlier application whole. Every failure
// removes the temporary file. A mismatching CRC-32 fails with ERROR_CRC.
int ExtractApplication(SetupOutcome *outcome)
{
    int ok = 0;
    int step = STEP_PACKAGE;
    HANDLE input = INVALID_HANDLE_VALUE;
    HANDLE output = INVALID_HANDLE_VALUE;
    PackageTrailer trailer;
    unsigned int crc = 0;

    input = OpenSetupFile();
    if (input == INVALID_HANDLE_VALUE) goto done;
    if (!SeekToPayload(input, &trailer)) goto done;
    step = STEP_WRITE_APPLICATION;
    output = CreateStagingFile(gPartialPath);
    if (output == INVALID_HANDLE_VALUE) goto done;
    SendMessageW(gProgress, PBM_SETRANGE32, 0, PROGRESS_MAX);
    step = CopyBytes(input, output, trailer.payloadLength, &crc, gProgress, STEP_WRITE_APPLICATION);
    if (step != STEP_NONE) goto done;
    step = STEP_PACKAGE;
    if (crc != trailer.payloadCrc) {
        SetLastError(ERROR_CRC);
        goto done;
    }
    LogStep(outcome, STEP_PACKAGE, gSelfPath, 1, 0);
    step = STEP_WRITE_APPLICATION;
    ok = FlushFileBuffers(output);
done:
    LogStep(outcome, step, step == STEP_PACKAGE ? gSelfPath : gPartialPath, ok, ok ? 0 : GetLastError());
    CloseFile(&output);
    CloseFile(&input);
    if (!ok) DiscardStagingFile(gPartialPath);
    return ok;
}

// The uninstaller is the setup file, written afresh from its bytes by the
// same copy: a copy by the system would carry the download's alternate data
// streams (its mark of the web) and its read-only attribute along.
int WriteUninstaller(SetupOutcome *outcome)
{
    int ok = 0;
    int step = STEP_PACKAGE;
    HANDLE input = INVALID_HANDLE_VALUE;
    HANDLE output = INVALID_HANDLE_VALUE;
    LARGE_INTEGER size;
    unsigned int crc = 0;

    input = OpenSetupFile();
    if (input == INVALID_HANDLE_VALUE || !GetFileSizeEx(input, &size)) goto done;
    step = STEP_UNINSTALLER;
    output = CreateStagingFile(gPartialUninstallPath);
    if (output == INVALID_HANDLE_VALUE) goto done;
    step = CopyBytes(input, output, (unsigned long long)size.QuadPart, &crc, NULL, STEP_UNINSTALLER);
    if (step != STEP_NONE) goto done;
    step = STEP_UNINSTALLER;
    ok = FlushFileBuffers(output);
done:
    LogStep(outcome, step, step == STEP_PACKAGE ? gSelfPath : gPartialUninstallPath, ok,
            ok ? 0 : GetLastError());
    CloseFile(&output);
    CloseFile(&input);
    if (!ok) DiscardStagingFile(gPartialUninstallPath);
    return ok;
}
