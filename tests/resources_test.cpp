// The resources of the built setup program, read back through the loader's
// resource functions and the version API.
#include "test_support.h"

static std::wstring BuiltSetup(void)
{
    return BuildFile(L"TarvoMarkwise_Setup.exe");
}

static const WORD kEnglishUs = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);

#pragma pack(push, 2)
struct GroupIconEntry {
    BYTE width, height, colours, reserved;
    WORD planes, bitCount;
    DWORD bytes;
    WORD id;
};
#pragma pack(pop)

static Bytes Resource(HMODULE module, const wchar_t *type, const wchar_t *name)
{
    HRSRC found = FindResourceExW(module, type, name, kEnglishUs);
    if (!found) return Bytes();
    const unsigned char *data = (const unsigned char *)LockResource(LoadResource(module, found));
    return Bytes(data, data + SizeofResource(module, found));
}

class ResourcesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        module = LoadLibraryExW(BuiltSetup().c_str(), NULL, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        ASSERT_NE((HMODULE)NULL, module);
    }
    void TearDown() override { FreeLibrary(module); }
    HMODULE module = NULL;
};

TEST_F(ResourcesTest, IconGroupHoldsSevenThirtyTwoBitImages)
{
    const int sizes[] = {256, 128, 64, 48, 32, 24, 16};
    Bytes group = Resource(module, RT_GROUP_ICON, MAKEINTRESOURCEW(1));

    ASSERT_EQ(6u + 7 * sizeof(GroupIconEntry), group.size());
    ASSERT_EQ(7, *(const WORD *)&group[4]);
    const GroupIconEntry *entries = (const GroupIconEntry *)&group[6];
    for (int i = 0; i < 7; ++i) {
        SCOPED_TRACE("image of " + std::to_string(sizes[i]));
        EXPECT_EQ(sizes[i] % 256, entries[i].width);
        EXPECT_EQ(sizes[i] % 256, entries[i].height);
        EXPECT_EQ(32, entries[i].bitCount);
        Bytes image = Resource(module, RT_ICON, MAKEINTRESOURCEW(entries[i].id));
        ASSERT_EQ(entries[i].bytes, image.size());
        if (sizes[i] == 256) {
            EXPECT_EQ(0, memcmp(image.data(), "\x89PNG\r\n\x1a\n", 8));
            EXPECT_EQ(8, image[24]);  // bit depth per channel
            EXPECT_EQ(6, image[25]);  // colour type RGBA
        } else {
            const BITMAPINFOHEADER *header = (const BITMAPINFOHEADER *)image.data();
            EXPECT_EQ(40u, header->biSize);
            EXPECT_EQ(sizes[i], header->biWidth);
            EXPECT_EQ(2 * sizes[i], header->biHeight);
            EXPECT_EQ(32, header->biBitCount);
        }
    }
}

TEST_F(ResourcesTest, ManifestIsExactlyTheShippedText)
{
    Bytes manifest = Resource(module, RT_MANIFEST, MAKEINTRESOURCEW(1));
    Bytes source = ReadBytes(Utf8ToWide(TARVO_MANIFEST_SOURCE));
    std::string text(manifest.begin(), manifest.end());

    ASSERT_FALSE(source.empty());
    EXPECT_EQ(source, manifest);
    EXPECT_NE(std::string::npos, text.find("name=\"Tarvo.Markwise\" version=\"1.0.2.0\" processorArchitecture=\"amd64\""));
    EXPECT_NE(std::string::npos, text.find("name=\"Microsoft.Windows.Common-Controls\" version=\"6.0.0.0\""));
    EXPECT_NE(std::string::npos, text.find("publicKeyToken=\"6595b64144ccf1df\""));
    EXPECT_NE(std::string::npos, text.find("level=\"asInvoker\" uiAccess=\"false\""));
    EXPECT_NE(std::string::npos, text.find("2005/WindowsSettings\">true/pm</dpiAware>"));
    EXPECT_NE(std::string::npos, text.find("2016/WindowsSettings\">PerMonitorV2,PerMonitor</dpiAwareness>"));
    EXPECT_EQ(std::string::npos, text.find("compatibility"));
}

TEST_F(ResourcesTest, VersionBlockCarriesTheNumbersFlagsAndTurkishStrings)
{
    std::wstring path = BuiltSetup();
    DWORD handle = 0;
    EXPECT_NE((HRSRC)NULL, FindResourceExW(module, RT_VERSION, MAKEINTRESOURCEW(1), kEnglishUs));
    DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
    ASSERT_GT(size, 0u);
    Bytes block(size);
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, block.data()));

    VS_FIXEDFILEINFO *fixed = NULL;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", (void **)&fixed, &length));
    EXPECT_EQ(0x00010000u, fixed->dwFileVersionMS);
    EXPECT_EQ(0x00020000u, fixed->dwFileVersionLS);
    EXPECT_EQ(0x00010000u, fixed->dwProductVersionMS);
    EXPECT_EQ(0x00020000u, fixed->dwProductVersionLS);
    EXPECT_EQ(0x3Fu, fixed->dwFileFlagsMask);
    EXPECT_EQ(0u, fixed->dwFileFlags);
    EXPECT_EQ((DWORD)VOS_NT_WINDOWS32, fixed->dwFileOS);
    EXPECT_EQ((DWORD)VFT_APP, fixed->dwFileType);
    EXPECT_EQ(0u, fixed->dwFileSubtype);
    EXPECT_EQ(0u, fixed->dwFileDateMS);
    EXPECT_EQ(0u, fixed->dwFileDateLS);

    WORD *translation = NULL;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", (void **)&translation, &length));
    ASSERT_EQ(4u, length);
    EXPECT_EQ(0x041F, translation[0]);
    EXPECT_EQ(1254, translation[1]);

    const struct {
        const wchar_t *name;
        const wchar_t *value;
    } strings[] = {
        {L"CompanyName", L"Tarvo Sistem Ltd. Sti."},
        {L"FileDescription", L"Tarvo Markwise Kurulumu"},
        {L"FileVersion", L"1.0.2"},
        {L"InternalName", L"TarvoMarkwiseSetup"},
        {L"OriginalFilename", L"TarvoMarkwise_Setup.exe"},
        {L"ProductName", L"Tarvo Markwise"},
        {L"ProductVersion", L"1.0.2"},
    };
    for (const auto &expected : strings) {
        wchar_t *value = NULL;
        std::wstring query = std::wstring(L"\\StringFileInfo\\041F04E6\\") + expected.name;
        ASSERT_TRUE(VerQueryValueW(block.data(), query.c_str(), (void **)&value, &length)) << WideToUtf8(expected.name);
        EXPECT_STREQ(expected.value, value);
    }
}
