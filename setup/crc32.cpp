// The CRC-32 of the package: the reflected CRC-32 of zlib, computed bit by
// bit without a table. The bitwise loop is run as many independent lanes in
// vector registers, each over its own consecutive part of the data, and the
// lanes' CRCs are then joined as CRC(A B) = CRC(A) * x^(8 |B|) + CRC(B).
// The widest vector registers that the processor has and the system saves
// are used: AVX-512, AVX2, or SSE2, which every x86-64 processor has.
#include "setup.h"

#include <cpuid.h>
#include <immintrin.h>
#include <string.h>

static const unsigned int kCrcPolynomial = 0xEDB88320u;
// Gather offsets are 32-bit: longer runs go through in blocks.
static const size_t kCrcBlock = 1 << 20;

// Reflected CRC-32, bit by bit. The register holds the inverted CRC while
// bytes go through it.
static unsigned int CrcBits(unsigned int crc, const unsigned char *bytes, size_t count)
{
    size_t i;
    int bit;

    for (i = 0; i < count; ++i) {
        crc ^= bytes[i];
        for (bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (kCrcPolynomial & (0u - (crc & 1u)));
    }
    return crc;
}

// Product of two polynomials modulo the CRC polynomial, in the reflected
// bit order of the register.
static unsigned int MultiplyModPolynomial(unsigned int a, unsigned int b)
{
    unsigned int product = 0;
    unsigned int bit;

    for (bit = 1u << 31; bit; bit >>= 1) {
        if (a & bit) product ^= b;
        b = (b >> 1) ^ (kCrcPolynomial & (0u - (b & 1u)));
    }
    return product;
}

// x^(8 * count) modulo the polynomial, by squaring: the factor that moves a
// CRC past count zero bytes.
static unsigned int ByteShiftFactor(size_t count)
{
    unsigned int factor = 1u << 31;  // x^0
    unsigned int square = 1u << 23;  // x^8

    for (; count; count >>= 1) {
        if (count & 1) factor = MultiplyModPolynomial(square, factor);
        square = MultiplyModPolynomial(square, square);
    }
    return factor;
}

// Every variant splits the data into lanes * registers parts of whole 4-byte
// words. Lane k of register r runs over part k * registers + r, so that the
// registers hold consecutive parts lane by lane: they are joined register by
// register in vector form, then the lanes of the result one by one. Lane 0 of
// register 0 starts from the CRC so far, every other lane from a fresh CRC.
static size_t PartLength(size_t count, size_t lanes)
{
    return count / (lanes * 4) * 4;
}

static unsigned int JoinLanes(const unsigned int *lanes, size_t count, unsigned int factor)
{
    unsigned int crc = lanes[0];
    size_t lane;

    for (lane = 1; lane < count; ++lane) crc = MultiplyModPolynomial(factor, crc) ^ lanes[lane];
    return crc;
}

static const int kSse2Registers = 8;
static const int kAvx2Registers = 8;
static const int kAvx512Registers = 8;

// One bit of the loop in every lane: shift right, and XOR the polynomial
// where the bit shifted out was 1.
static inline __m128i Sse2Step(__m128i crc, __m128i polynomial, __m128i one)
{
    __m128i mask = _mm_sub_epi32(_mm_setzero_si128(), _mm_and_si128(crc, one));
    return _mm_xor_si128(_mm_srli_epi32(crc, 1), _mm_and_si128(mask, polynomial));
}

// PSIGND gives the polynomial where the low bit is 1 and 0 where it is 0.
__attribute__((target("avx2"))) static inline __m256i Avx2Step(__m256i crc, __m256i polynomial, __m256i one)
{
    return _mm256_xor_si256(_mm256_srli_epi32(crc, 1), _mm256_sign_epi32(polynomial, _mm256_and_si256(crc, one)));
}

__attribute__((target("avx512f"))) static inline __m512i Avx512Step(__m512i crc, __m512i polynomial, __m512i one)
{
    __m512i shifted = _mm512_srli_epi32(crc, 1);
    return _mm512_mask_xor_epi32(shifted, _mm512_test_epi32_mask(crc, one), shifted, polynomial);
}

static unsigned int Sse2Crc(unsigned int crc, const unsigned char *bytes, size_t count)
{
    const int lanes = 4;
    const size_t part = PartLength(count, (size_t)lanes * kSse2Registers);
    const size_t stride = part * kSse2Registers;
    const __m128i polynomial = _mm_set1_epi32((int)kCrcPolynomial);
    const __m128i one = _mm_set1_epi32(1);
    const __m128i ones = _mm_set1_epi32(-1);
    __m128i registers[kSse2Registers];
    __m128i joined, product;
    unsigned int finished[lanes];
    unsigned int factor;
    unsigned int word[lanes];
    unsigned int bit;
    size_t offset;
    int r, k, step;

    if (part == 0) return ~CrcBits(~crc, bytes, count);
    for (r = 0; r < kSse2Registers; ++r) registers[r] = ones;
    registers[0] = _mm_insert_epi16(_mm_insert_epi16(ones, (int)(~crc & 0xFFFF), 0), (int)(~crc >> 16), 1);
    for (offset = 0; offset < part; offset += 4) {
        for (r = 0; r < kSse2Registers; ++r) {
            for (k = 0; k < lanes; ++k) memcpy(&word[k], bytes + k * stride + r * part + offset, 4);
            registers[r] = _mm_xor_si128(registers[r], _mm_loadu_si128((const __m128i *)word));
        }
#pragma GCC unroll 4
        for (step = 0; step < 32; ++step)
#pragma GCC unroll 8
            for (r = 0; r < kSse2Registers; ++r) registers[r] = Sse2Step(registers[r], polynomial, one);
    }
    factor = ByteShiftFactor(part);
    joined = _mm_xor_si128(registers[0], ones);
    for (r = 1; r < kSse2Registers; ++r) {
        product = _mm_setzero_si128();
        for (bit = 1u << 31; bit; bit >>= 1) {
            if (factor & bit) product = _mm_xor_si128(product, joined);
            joined = Sse2Step(joined, polynomial, one);
        }
        joined = _mm_xor_si128(product, _mm_xor_si128(registers[r], ones));
    }
    _mm_storeu_si128((__m128i *)finished, joined);
    crc = JoinLanes(finished, lanes, ByteShiftFactor(stride));
    return ~CrcBits(~crc, bytes + lanes * stride, count - lanes * stride);
}

__attribute__((target("avx2"))) static unsigned int Avx2Crc(unsigned int crc, const unsigned char *bytes, size_t count)
{
    const int lanes = 8;
    const size_t part = PartLength(count, (size_t)lanes * kAvx2Registers);
    const size_t stride = part * kAvx2Registers;
    const __m256i polynomial = _mm256_set1_epi32((int)kCrcPolynomial);
    const __m256i one = _mm256_set1_epi32(1);
    const __m256i ones = _mm256_set1_epi32(-1);
    const __m256i gather = _mm256_mullo_epi32(_mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7), _mm256_set1_epi32((int)stride));
    __m256i registers[kAvx2Registers];
    __m256i joined, product;
    unsigned int finished[lanes];
    unsigned int factor;
    unsigned int bit;
    size_t offset;
    int r, step;

    if (part == 0) return ~CrcBits(~crc, bytes, count);
    for (r = 0; r < kAvx2Registers; ++r) registers[r] = ones;
    registers[0] = _mm256_insert_epi32(ones, (int)~crc, 0);
    for (offset = 0; offset < part; offset += 4) {
#pragma GCC unroll 8
        for (r = 0; r < kAvx2Registers; ++r)
            registers[r] = _mm256_xor_si256(registers[r], _mm256_i32gather_epi32((const int *)(bytes + r * part + offset), gather, 1));
#pragma GCC unroll 4
        for (step = 0; step < 32; ++step)
#pragma GCC unroll 8
            for (r = 0; r < kAvx2Registers; ++r) registers[r] = Avx2Step(registers[r], polynomial, one);
    }
    factor = ByteShiftFactor(part);
    joined = _mm256_xor_si256(registers[0], ones);
    for (r = 1; r < kAvx2Registers; ++r) {
        product = _mm256_setzero_si256();
        for (bit = 1u << 31; bit; bit >>= 1) {
            if (factor & bit) product = _mm256_xor_si256(product, joined);
            joined = Avx2Step(joined, polynomial, one);
        }
        joined = _mm256_xor_si256(product, _mm256_xor_si256(registers[r], ones));
    }
    _mm256_storeu_si256((__m256i *)finished, joined);
    crc = JoinLanes(finished, lanes, ByteShiftFactor(stride));
    return ~CrcBits(~crc, bytes + lanes * stride, count - lanes * stride);
}

__attribute__((target("avx512f"))) static unsigned int Avx512Crc(unsigned int crc, const unsigned char *bytes, size_t count)
{
    const int lanes = 16;
    const size_t part = PartLength(count, (size_t)lanes * kAvx512Registers);
    const size_t stride = part * kAvx512Registers;
    const __m512i polynomial = _mm512_set1_epi32((int)kCrcPolynomial);
    const __m512i one = _mm512_set1_epi32(1);
    const __m512i ones = _mm512_set1_epi32(-1);
    const __m512i gather = _mm512_mullo_epi32(_mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15),
                                              _mm512_set1_epi32((int)stride));
    __m512i registers[kAvx512Registers];
    __m512i joined, product;
    unsigned int finished[lanes];
    unsigned int factor;
    unsigned int bit;
    size_t offset;
    int r, step;

    if (part == 0) return ~CrcBits(~crc, bytes, count);
    for (r = 0; r < kAvx512Registers; ++r) registers[r] = ones;
    registers[0] = _mm512_mask_set1_epi32(ones, 1, (int)~crc);
    for (offset = 0; offset < part; offset += 4) {
#pragma GCC unroll 8
        for (r = 0; r < kAvx512Registers; ++r)
            registers[r] = _mm512_xor_si512(registers[r], _mm512_i32gather_epi32(gather, bytes + r * part + offset, 1));
#pragma GCC unroll 4
        for (step = 0; step < 32; ++step)
#pragma GCC unroll 8
            for (r = 0; r < kAvx512Registers; ++r) registers[r] = Avx512Step(registers[r], polynomial, one);
    }
    factor = ByteShiftFactor(part);
    joined = _mm512_xor_si512(registers[0], ones);
    for (r = 1; r < kAvx512Registers; ++r) {
        product = _mm512_setzero_si512();
        for (bit = 1u << 31; bit; bit >>= 1) {
            if (factor & bit) product = _mm512_xor_si512(product, joined);
            joined = Avx512Step(joined, polynomial, one);
        }
        joined = _mm512_xor_si512(product, _mm512_xor_si512(registers[r], ones));
    }
    _mm512_storeu_si512(finished, joined);
    crc = JoinLanes(finished, lanes, ByteShiftFactor(stride));
    return ~CrcBits(~crc, bytes + lanes * stride, count - lanes * stride);
}

// The processor has the instructions, and the system saves the registers on
// a thread switch (XCR0: SSE and AVX state; for AVX-512 also the mask and
// upper ZMM state).
static int CrcVariantSupported(int variant)
{
    unsigned int eax, ebx, ecx, edx;
    unsigned int savedLow = 0, savedHigh = 0;
    unsigned int needed;

    if (variant == CRC_SSE2) return 1;
    if (variant != CRC_AVX2 && variant != CRC_AVX512) return 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx) || !(ecx & bit_OSXSAVE) || !(ecx & bit_AVX)) return 0;
    __asm__("xgetbv" : "=a"(savedLow), "=d"(savedHigh) : "c"(0));
    if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) return 0;
    needed = variant == CRC_AVX2 ? 0x06 : 0xE6;
    return (savedLow & needed) == needed && (ebx & (variant == CRC_AVX2 ? bit_AVX2 : bit_AVX512F));
}

static int gCrcVariant = CRC_WIDEST;

int SelectCrcVariant(int variant)
{
    if (variant == CRC_WIDEST)
        variant = CrcVariantSupported(CRC_AVX512) ? CRC_AVX512 : CrcVariantSupported(CRC_AVX2) ? CRC_AVX2 : CRC_SSE2;
    if (!CrcVariantSupported(variant)) return 0;
    gCrcVariant = variant;
    return 1;
}

unsigned int UpdateCrc32(unsigned int crc, const unsigned char *bytes, size_t count)
{
    size_t block;

    if (gCrcVariant == CRC_WIDEST) SelectCrcVariant(CRC_WIDEST);
    for (; count; bytes += block, count -= block) {
        block = count < kCrcBlock ? count : kCrcBlock;
        if (gCrcVariant == CRC_AVX512)
            crc = Avx512Crc(crc, bytes, block);
        else if (gCrcVariant == CRC_AVX2)
            crc = Avx2Crc(crc, bytes, block);
        else
            crc = Sse2Crc(crc, bytes, block);
    }
    return crc;
}
