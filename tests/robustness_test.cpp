// Damaged setup files and the user's own files: every failure ends in the one
// error box, and nothing that is not the installer's own is touched.
#include "test_support.h"

#include <shlobj.h>

struct Damage {
    const char *name;
    Bytes file;
    bool outputCreated;  // the damage shows only once the copy has begun
};

static Bytes Cut(const Bytes &bytes, size_t from, size_t count)
{
    Bytes cut(bytes);
    cut.erase(cut.begin() + from, cut.begin() + from + count);
    return cut;
}

static Bytes Flip(const Bytes &bytes, size_t at)
{
    Bytes flipped(bytes);
    flipped[at] ^= 0x01;
    return flipped;
}

static void SetLength(Bytes *file, unsigned long long length)
{
    for (int i = 0; i < 8; ++i) (*file)[file->size() - 12 + i] = (unsigned char)(length >> (8 * i));
}

TEST_F(InstallTest, EveryDamagedSetupFileEndsInTheErrorBoxAndLeavesNoDamagedApplication)
{
    const size_t stub = 4099;
    const size_t payloadEnd = setupFile.size() - 24;
    std::vector<Damage> damages = {
        {"trailer cut short", Cut(setupFile, setupFile.size() - 5, 5), false},
        {"payload cut short", Cut(setupFile, stub + 100, 1000), true},
        {"length 0", setupFile, false},
        {"length past the file", setupFile, false},
        {"wrong magic", Flip(setupFile, payloadEnd + 3), false},
        {"first payload byte flipped", Flip(setupFile, stub), true},
        {"middle payload byte flipped", Flip(setupFile, stub + application.size() / 2), true},
        {"last payload byte flipped", Flip(setupFile, payloadEnd - 1), true},
        {"1-byte payload flipped", Flip(PackageFile(Bytes(10, 0), Bytes(1, 'M')), 10), true},
        {"only a trailer", Bytes(setupFile.end() - 24, setupFile.end()), false},
        {"only a trailer claiming one byte", Bytes(setupFile.end() - 24, setupFile.end()), false},
    };
    SetLength(&damages[2].file, 0);
    SetLength(&damages[3].file, setupFile.size() - 23);
    SetLength(&damages[10].file, 1);

    for (const Damage &damage : damages) {
        SCOPED_TRACE(damage.name);
        ASSERT_EQ(1, EnsureDirectory(gInstallDir));
        ASSERT_TRUE(WriteBytes(gAppPath, Bytes(64, 0xEE)));
        ASSERT_TRUE(WriteBytes(gSelfPath, damage.file));
        BoxAnswerer answerer({IDOK});
        InstallNow();
        std::vector<SeenBox> boxes = answerer.Seen();
        ASSERT_EQ(1u, boxes.size());
        EXPECT_EQ(L"Tarvo Markwise 1.0.2 Kurulumu", boxes[0].caption);
        EXPECT_EQ(L"Kurulum tamamlanamadı.", Text(gStatus));
        EXPECT_EQ(0, gInstalled);
        if (damage.outputCreated)
            EXPECT_FALSE(Exists(gAppPath));
        else
            EXPECT_EQ(Bytes(64, 0xEE), ReadBytes(gAppPath));
    }

    // The smallest sound package installs.
    ASSERT_TRUE(WriteBytes(gSelfPath, PackageFile(Bytes(10, 0), Bytes(1, 'M'))));
    InstallNow();
    EXPECT_EQ(1, gInstalled);
    EXPECT_EQ(Bytes(1, 'M'), ReadBytes(gAppPath));
}

TEST_F(InstallTest, TheUsersFilesKeepEveryByteThroughInstallReinstallFailureAndUninstall)
{
    const std::wstring sentinels[] = {
        std::wstring(gInstallDir) + L"\\Projeler\\etiket şablonu.tmw",
        std::wstring(gInstallDir) + L"\\sarf kayıtları.csv",
        Path(L"Tarvo Markwise Yedek\\yedek.tmw"),
        Path(L"TarvoMarkwise.exe"),
        KnownFolder(CSIDL_DESKTOPDIRECTORY) + L"\\Tarvo Markwise notları.txt",
        StartMenuFolder() + L"\\Tarvo Etiket Yardımcısı.lnk",
    };
    Tree before;

    for (size_t i = 0; i < sizeof sentinels / sizeof sentinels[0]; ++i) {
        EnsureDirectory(sentinels[i].substr(0, sentinels[i].rfind(L'\\')).c_str());
        ASSERT_TRUE(WriteBytes(sentinels[i], RandomBytes(1000 + i, (unsigned)i)));
        before[sentinels[i]] = ReadBytes(sentinels[i]);
    }
    auto expectSentinels = [&](const char *step) {
        for (const auto &entry : before) EXPECT_EQ(entry.second, ReadBytes(entry.first)) << step << " " << WideToUtf8(entry.first);
    };

    InstallNow();
    ASSERT_EQ(1, gInstalled);
    expectSentinels("install");
    InstallNow();
    expectSentinels("reinstall");
    ASSERT_TRUE(WriteBytes(gSelfPath, Flip(setupFile, 5000)));
    {
        BoxAnswerer answerer({IDOK});
        InstallNow();
    }
    expectSentinels("failed install");
    ASSERT_TRUE(WriteBytes(gSelfPath, setupFile));
    InstallNow();

    lstrcpynW(gSelfPath, gUninstallPath, SETUP_PATH_CAPACITY);
    {
        BoxAnswerer answerer({IDYES, IDOK});
        UninstallNow();
    }
    EXPECT_TRUE(WaitUntilGone(gUninstallPath, 15000));
    Sleep(500);
    expectSentinels("uninstall");
    Tree after = Snapshot(scratch);
    after.erase(Path(L"TarvoMarkwise_Setup.exe"));
    after.erase(Path(L"standin.txt"));
    for (const auto &entry : after) EXPECT_TRUE(before.count(entry.first)) << "left behind: " << WideToUtf8(entry.first);
    EXPECT_TRUE(Exists(StartMenuFolder()));
    EXPECT_FALSE(Exists(StartMenuLink()));
    EXPECT_FALSE(Exists(DesktopLink()));
}
