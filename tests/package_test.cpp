// The appended package: trailer checks, chunked copy, CRC-32 and progress.
#include "test_support.h"

#include <commctrl.h>

class PackageTest : public ScratchTest {
protected:
    void SetUp() override
    {
        ScratchTest::SetUp();
        SetPathGlobals(Path(L"install"), Path(L"setup.exe"));
        CreateDirectoryW(gInstallDir, NULL);
        gProgress = CreateProgressRecorder();
    }
    void TearDown() override
    {
        DestroyWindow(gProgress);
        ScratchTest::TearDown();
    }
    // A previous installation's application, to see whether it survives.
    void PlaceOldApplication() { ASSERT_TRUE(WriteBytes(gAppPath, Bytes(100, 0x5A))); }
    std::vector<WPARAM> Positions()
    {
        std::vector<WPARAM> positions;
        for (const ProgressMessage &m : RecordedProgress())
            if (m.message == PBM_SETPOS) positions.push_back(m.wParam);
        return positions;
    }
    SavedState saved;
};

TEST_F(PackageTest, DamagedTrailersFailBeforeTouchingAnInstalledApplication)
{
    Bytes payload = RandomBytes(3000, 1);
    Bytes good = PackageFile(RandomBytes(500, 2), payload);
    std::vector<Bytes> damaged;

    damaged.push_back(Bytes(good.end() - 23, good.end()));          // shorter than a trailer
    damaged.push_back(Bytes());                                       // empty file
    Bytes badMagic = good;
    badMagic[good.size() - 24 + 8] = '4';                             // "TARVOPKG4"
    damaged.push_back(badMagic);
    Bytes zeroLength = good;
    memset(&zeroLength[good.size() - 12], 0, 8);
    damaged.push_back(zeroLength);
    Bytes tooLong = good;
    unsigned long long length = good.size() - 24 + 1;
    for (int i = 0; i < 8; ++i) tooLong[good.size() - 12 + i] = (unsigned char)(length >> (8 * i));
    damaged.push_back(tooLong);
    damaged.push_back(Bytes(good.begin() + 600, good.end()));         // payload cut short at the front

    for (size_t i = 0; i < damaged.size(); ++i) {
        SCOPED_TRACE("damaged setup file " + std::to_string(i));
        PlaceOldApplication();
        ASSERT_TRUE(WriteBytes(gSelfPath, damaged[i]));
        EXPECT_EQ(0, ExtractApplication());
        EXPECT_EQ(Bytes(100, 0x5A), ReadBytes(gAppPath));
        EXPECT_TRUE(RecordedProgress().empty());
        EXPECT_FALSE(Exists(gPartialPath));
    }

    DeleteFileW(gSelfPath);
    EXPECT_EQ(0, ExtractApplication());
    EXPECT_EQ(Bytes(100, 0x5A), ReadBytes(gAppPath));
}

TEST_F(PackageTest, AcceptsUnexaminedMagicBytesAndAPayloadAtOffsetZero)
{
    Bytes payload = RandomBytes(777, 3);
    Bytes file = PackageFile(Bytes(), payload);

    file[file.size() - 24 + 9] = 'x';
    file[file.size() - 24 + 10] = 'y';
    file[file.size() - 24 + 11] = 'z';
    ASSERT_TRUE(WriteBytes(gSelfPath, file));
    EXPECT_EQ(1, ExtractApplication());
    EXPECT_EQ(payload, ReadBytes(gPartialPath));

}

TEST_F(PackageTest, ASignedFilesTrailerEndsWhereItsCertificateTableBeginsWhateverThePadding)
{
    Bytes stub = ReadBytes(BuildFile(L"setup.exe"));
    Bytes payload;
    // A CRC-32 that ends in a zero byte: the trailer's last byte looks like
    // padding.
    for (unsigned seed = 100; ZlibCrc(payload.data(), payload.size()) >> 24 || payload.empty(); ++seed)
        payload = RandomBytes(5000, seed);

    for (size_t extra = 0; extra < 8; ++extra) {
        SCOPED_TRACE("trailer ending " + std::to_string(extra) + " bytes later");
        Bytes prefix = stub;
        prefix.resize(stub.size() + extra, 0xA5);
        Bytes file = WithCertificateTable(PackageFile(prefix, payload), RandomBytes(1000, (unsigned)extra));
        PlaceOldApplication();
        ASSERT_TRUE(WriteBytes(gSelfPath, file));
        EXPECT_EQ(1, ExtractApplication());
        EXPECT_EQ(payload, ReadBytes(gPartialPath));

        // A table that starts inside the trailer leaves no trailer before it.
        SetCertificateDirectory(&file, (unsigned int)(file.size() - 1000 - 12), 1000 + 12);
        PlaceOldApplication();
        ASSERT_TRUE(WriteBytes(gSelfPath, file));
        EXPECT_EQ(0, ExtractApplication());
        EXPECT_EQ(Bytes(100, 0x5A), ReadBytes(gAppPath));
    }

    // A directory that names no table ending the file, or a header that
    // cannot be read, means an unsigned file: its trailer ends the file.
    Bytes plain = PackageFile(stub, payload);
    const unsigned int size = (unsigned int)plain.size();
    const struct {
        const char *name;
        unsigned int offset, length;
    } directories[] = {
        {"past the end", size + 8, 16}, {"size 0", size, 0}, {"not at the end", 1000, 16}, {"larger than the file", 0, size + 1},
    };
    for (const auto &directory : directories) {
        SCOPED_TRACE(directory.name);
        Bytes file = plain;
        SetCertificateDirectory(&file, directory.offset, directory.length);
        ASSERT_TRUE(WriteBytes(gSelfPath, file));
        EXPECT_EQ(1, ExtractApplication());
    }
    Bytes headerPastTheEnd = plain;
    memset(&headerPastTheEnd[0x3C], 0xF0, 4);
    ASSERT_TRUE(WriteBytes(gSelfPath, headerPastTheEnd));
    EXPECT_EQ(1, ExtractApplication());
}

TEST_F(PackageTest, CopiesIn64KiBChunksAndReportsProgressOnTheThousandScale)
{
    struct Case {
        size_t size;
        std::vector<WPARAM> positions;
    } cases[] = {
        {1, {1000}},
        {65536, {1000}},
        {65537, {999, 1000}},
        {3 * 65536 + 5, {333, 666, 999, 1000}},
    };

    for (const Case &c : cases) {
        SCOPED_TRACE("payload of " + std::to_string(c.size) + " bytes");
        Bytes payload = RandomBytes(c.size, (unsigned)c.size);
        ASSERT_TRUE(WriteBytes(gSelfPath, PackageFile(RandomBytes(1001, 4), payload)));
        DestroyWindow(gProgress);
        gProgress = CreateProgressRecorder();
        EXPECT_EQ(1, ExtractApplication());
        EXPECT_EQ(payload, ReadBytes(gPartialPath));
        std::vector<ProgressMessage> recorded = RecordedProgress();
        ASSERT_FALSE(recorded.empty());
        EXPECT_EQ((UINT)PBM_SETRANGE32, recorded[0].message);
        EXPECT_EQ(0u, recorded[0].wParam);
        EXPECT_EQ(1000, recorded[0].lParam);
        EXPECT_EQ(c.positions, Positions());
    }
}

TEST_F(PackageTest, EveryCrcVariantMatchesZlibAcrossOddSizesOffsetsAndChunkSplits)
{
    Bytes data = RandomBytes((2 << 20) + 4099, 5);
    // Parts of whole 4-byte words over 32, 64 or 128 lanes: the lane length
    // and the plain tail change around each multiple of 128, 256 and 512
    // bytes; runs over 1 MiB go through in blocks.
    const size_t sizes[] = {0, 1, 2, 3, 7, 8, 9, 31, 33, 64, 127, 128, 129, 130, 131, 132, 133, 255, 256, 257, 259, 260,
                            383, 384, 385, 511, 512, 513, 1023, 1024, 1025, 4095, 4096, 4097, 65535, 65536, 65537,
                            131071, (1 << 20) - 1, 1 << 20, (1 << 20) + 1, (2 << 20) + 3};
    const size_t offsets[] = {0, 1, 2, 3, 5, 7, 13};
    const size_t splits[] = {1, 7, 64, 127, 128, 1000, 65536, 100001, (1 << 20) + 5};
    const struct {
        int variant;
        const char *name;
    } variants[] = {{CRC_SSE2, "SSE2"}, {CRC_AVX2, "AVX2"}, {CRC_AVX512, "AVX-512"}};
    std::string tried;

    for (const auto &variant : variants) {
        if (!SelectCrcVariant(variant.variant)) continue;
        tried += std::string(" ") + variant.name;
        SCOPED_TRACE(variant.name);
        for (size_t offset : offsets)
            for (size_t size : sizes) {
                EXPECT_EQ(ZlibCrc(&data[offset], size), UpdateCrc32(0, &data[offset], size))
                    << "offset " << offset << " size " << size;
            }
        EXPECT_EQ(0xCBF43926u, UpdateCrc32(0, (const unsigned char *)"123456789", 9));
        for (size_t split : splits) {
            unsigned int chained = UpdateCrc32(UpdateCrc32(0, data.data(), split), &data[split], data.size() - split);
            EXPECT_EQ(ZlibCrc(data.data(), data.size()), chained) << "split at " << split;
        }
    }
    EXPECT_EQ(0, SelectCrcVariant(99));
    ASSERT_EQ(1, SelectCrcVariant(CRC_WIDEST));
    printf("CRC variants this processor offers:%s\n", tried.c_str());

    // Whole extractions behind prefixes of odd lengths.
    const size_t prefixes[] = {1, 3, 4095, 65535};
    for (size_t prefix : prefixes) {
        Bytes payload = RandomBytes(70001 + prefix, (unsigned)prefix);
        ASSERT_TRUE(WriteBytes(gSelfPath, PackageFile(RandomBytes(prefix, 6), payload)));
        EXPECT_EQ(1, ExtractApplication()) << "prefix " << prefix;
        EXPECT_EQ(payload, ReadBytes(gPartialPath));
    }
}

TEST_F(PackageTest, ACrcMismatchWritesEverythingThenKeepsTheEarlierApplication)
{
    Bytes payload = RandomBytes(150000, 7);
    Bytes file = PackageFile(RandomBytes(300, 8), payload);
    const size_t flips[] = {300, 300 + 75000, 300 + 149999};

    for (size_t at : flips) {
        SCOPED_TRACE("flipped bit at " + std::to_string(at));
        Bytes damaged = file;
        damaged[at] ^= 0x10;
        PlaceOldApplication();
        ASSERT_TRUE(WriteBytes(gSelfPath, damaged));
        DestroyWindow(gProgress);
        gProgress = CreateProgressRecorder();
        EXPECT_EQ(0, ExtractApplication());
        EXPECT_EQ(Bytes(100, 0x5A), ReadBytes(gAppPath));
        EXPECT_FALSE(Exists(gPartialPath));
        std::vector<WPARAM> positions = Positions();
        ASSERT_EQ(3u, positions.size());
        EXPECT_EQ(1000u, positions.back());
    }
}

TEST_F(PackageTest, APartialFileLeftByAnEndedRunIsReplacedOrRemoved)
{
    Bytes payload = RandomBytes(70000, 13);

    // A run ended mid-copy left its partial file; a damaged package removes it.
    ASSERT_TRUE(WriteBytes(gPartialPath, Bytes(5000, 0x11)));
    ASSERT_TRUE(WriteBytes(gSelfPath, RandomBytes(100, 14)));
    EXPECT_EQ(0, ExtractApplication());
    EXPECT_FALSE(Exists(gPartialPath));

    // A sound package writes over a longer leftover, also one left
    // read-only (a copy of a setup file from read-only media was).
    ASSERT_TRUE(WriteBytes(gPartialPath, Bytes(90000, 0x11)));
    ASSERT_TRUE(SetFileAttributesW(gPartialPath, FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(WriteBytes(gSelfPath, PackageFile(RandomBytes(10, 15), payload)));
    EXPECT_EQ(1, ExtractApplication());
    EXPECT_EQ(payload, ReadBytes(gPartialPath));

    // Others may hold the setup file open for writing and deleting (a sync
    // client, a scanner): the CRC-32 guards what is read.
    HANDLE holder = CreateFileW(gSelfPath, GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, holder);
    EXPECT_EQ(1, ExtractApplication());
    EXPECT_EQ(ReadBytes(gSelfPath), ReadBytes(gPartialUninstallPath));

    // Written while the pass reads it, in the program or in the trailer,
    // which the payload's CRC-32 does not cover: damaged, and no
    // uninstaller of two files' bytes.
    const Bytes whole = ReadBytes(gSelfPath);
    for (size_t at : {(size_t)5, whole.size() - 2}) {
        SCOPED_TRACE("byte " + std::to_string(at) + " written during the pass");
        auto writeByte = [&](unsigned char value) {
            OVERLAPPED where = {};
            DWORD put = 0;
            where.Offset = (DWORD)at;
            return WriteFile(holder, &value, 1, &put, &where) && put == 1;
        };
        WhenProgressMoves([&] { EXPECT_TRUE(writeByte((unsigned char)(whole[at] ^ 0xFF))); });
        SetupOutcome outcome = {STEP_NONE, 0, 0, 0, 0};
        EXPECT_EQ(0, ExtractApplication(&outcome));
        EXPECT_EQ(EXIT_PACKAGE_DAMAGED, ExitCodeFor(&outcome));
        EXPECT_FALSE(Exists(gPartialPath));
        EXPECT_FALSE(Exists(gPartialUninstallPath));
        ASSERT_TRUE(writeByte(whole[at]));
    }
    CloseHandle(holder);

    // A folder that a finishing uninstall removed a moment ago is made again.
    RemoveTree(gInstallDir);
    EXPECT_EQ(1, ExtractApplication());
    EXPECT_EQ(payload, ReadBytes(gPartialPath));
}

TEST_F(PackageTest, WorksWithoutAProgressBar)
{
    Bytes payload = RandomBytes(70000, 9);

    DestroyWindow(gProgress);
    gProgress = NULL;
    ASSERT_TRUE(WriteBytes(gSelfPath, PackageFile(RandomBytes(10, 10), payload)));
    EXPECT_EQ(1, ExtractApplication());
    EXPECT_EQ(payload, ReadBytes(gPartialPath));
}

// The extraction stages the application beside the earlier one, which it
// leaves alone, even while that one is held open.
TEST_F(PackageTest, TheExtractionLeavesAHeldApplicationAlone)
{
    HANDLE holder;

    PlaceOldApplication();
    holder = CreateFileW(gAppPath, GENERIC_READ, 0, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    ASSERT_NE(INVALID_HANDLE_VALUE, holder);
    Bytes payload = RandomBytes(5000, 12);
    ASSERT_TRUE(WriteBytes(gSelfPath, PackageFile(RandomBytes(10, 11), payload)));
    EXPECT_EQ(1, ExtractApplication());
    CloseHandle(holder);
    EXPECT_EQ(Bytes(100, 0x5A), ReadBytes(gAppPath));
    EXPECT_EQ(payload, ReadBytes(gPartialPath));
}
