// The application package appended to the setup file, and its extraction.
//
// Layout of the setup file: [setup program][payload][trailer]. The trailer is
// the last 24 bytes, little-endian, packed.
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
static const unsigned int kCrcPolynomial = 0xEDB88320u;

// Reflected CRC-32, bit by bit, no table. The carried value is a finished
// CRC (0 for no bytes), so chunks chain without any state besides it.
unsigned int UpdateCrc32(unsigned int crc, const unsigned char *bytes, size_t count)
{
    size_t i;
    int bit;

    crc = ~crc;
    for (i = 0; i < count; ++i) {
        crc ^= bytes[i];
        for (bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (kCrcPolynomial & (0u - (crc & 1u)));
    }
    return ~crc;
}

static void CloseFile(HANDLE *file)
{
    if (*file != INVALID_HANDLE_VALUE) CloseHandle(*file);
    *file = INVALID_HANDLE_VALUE;
}

// Reads and checks the trailer and leaves the file pointer at the payload.
static int SeekToPayload(HANDLE input, PackageTrailer *trailer)
{
    LARGE_INTEGER size;
    LARGE_INTEGER position;
    DWORD got = 0;

    if (!GetFileSizeEx(input, &size) || size.QuadPart < (LONGLONG)sizeof *trailer) return 0;
    position.QuadPart = size.QuadPart - (LONGLONG)sizeof *trailer;
    if (!SetFilePointerEx(input, position, NULL, FILE_BEGIN)) return 0;
    if (!ReadFile(input, trailer, sizeof *trailer, &got, NULL) || got != sizeof *trailer) return 0;
    if (memcmp(trailer->magic, kTrailerMagic, kTrailerMagicChecked) != 0) return 0;
    if (trailer->payloadLength == 0 || trailer->payloadLength > (unsigned long long)position.QuadPart) return 0;
    position.QuadPart -= (LONGLONG)trailer->payloadLength;
    return SetFilePointerEx(input, position, NULL, FILE_BEGIN) != 0;
}

// One pass through a single stack buffer: read, write, checksum, report.
static int CopyPayload(HANDLE input, HANDLE output, unsigned long long length, unsigned int *crc)
{
    unsigned char buffer[kChunkSize];
    unsigned long long copied = 0;
    DWORD chunk;
    DWORD got;
    DWORD put;

    while (copied < length) {
        chunk = length - copied < kChunkSize ? (DWORD)(length - copied) : kChunkSize;
        got = 0;
        put = 0;
        if (!ReadFile(input, buffer, chunk, &got, NULL) || got != chunk) return 0;
        if (!WriteFile(output, buffer, got, &put, NULL) || put != got) return 0;
        *crc = UpdateCrc32(*crc, buffer, got);
        copied += got;
        SendMessageW(gProgress, PBM_SETPOS, (WPARAM)(copied * PROGRESS_MAX / length), 0);
    }
    return 1;
}

// A failure before the output exists leaves whatever is at gAppPath alone, so
// a damaged setup file cannot destroy a working installation. Once the output
// has been created, every failure removes it.
int ExtractApplication(void)
{
    int ok = 0;
    int created = 0;
    HANDLE input = INVALID_HANDLE_VALUE;
    HANDLE output = INVALID_HANDLE_VALUE;
    PackageTrailer trailer;
    unsigned int crc = 0;

    input = CreateFileW(gSelfPath, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (input == INVALID_HANDLE_VALUE) goto done;
    if (!SeekToPayload(input, &trailer)) goto done;
    output = CreateFileW(gAppPath, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (output == INVALID_HANDLE_VALUE) goto done;
    created = 1;
    SendMessageW(gProgress, PBM_SETRANGE32, 0, PROGRESS_MAX);
    if (!CopyPayload(input, output, trailer.payloadLength, &crc)) goto done;
    FlushFileBuffers(output);
    ok = crc == trailer.payloadCrc;
done:
    CloseFile(&output);
    CloseFile(&input);
    if (created && !ok) DeleteFileW(gAppPath);
    return ok;
}
