// Damaged setup files, the user's own files and a setup process ended from
// outside: every failure ends in the one error box or in a state the next run
// completes, and nothing that is not the installer's own is touched.
#include "setup_run.h"

#include <shellapi.h>
#include <shlobj.h>

#include <map>

struct Damage {
    const char *name;
    Bytes file;
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

TEST_F(InstallTest, EveryDamagedSetupFileEndsInTheErrorBoxAndKeepsTheEarlierApplication)
{
    const size_t stub = 4099;
    const size_t payloadEnd = setupFile.size() - 24;
    std::vector<Damage> damages = {
        {"trailer cut short", Cut(setupFile, setupFile.size() - 5, 5)},
        {"payload cut short", Cut(setupFile, stub + 100, 1000)},
        {"length 0", setupFile},
        {"length past the file", setupFile},
        {"wrong magic", Flip(setupFile, payloadEnd + 3)},
        {"first payload byte flipped", Flip(setupFile, stub)},
        {"middle payload byte flipped", Flip(setupFile, stub + application.size() / 2)},
        {"last payload byte flipped", Flip(setupFile, payloadEnd - 1)},
        {"1-byte payload flipped", Flip(PackageFile(Bytes(10, 0), Bytes(1, 'M')), 10)},
        {"only a trailer", Bytes(setupFile.end() - 24, setupFile.end())},
        {"only a trailer claiming one byte", Bytes(setupFile.end() - 24, setupFile.end())},
        // Signed with a throwaway certificate, then damaged.
        {"signed, payload byte flipped", ReadBytes(BuildFile(L"signed\\tampered.exe"))},
        {"signed, data appended after the signature", ReadBytes(BuildFile(L"signed\\appended.exe"))},
        {"signed, certificate directory past the end", ReadBytes(BuildFile(L"signed\\outside.exe"))},
        {"signed, certificate directory inside the trailer", ReadBytes(BuildFile(L"signed\\overlapping.exe"))},
    };
    SetLength(&damages[2].file, 0);
    SetLength(&damages[3].file, setupFile.size() - 23);
    SetLength(&damages[10].file, 1);

    for (const Damage &damage : damages) {
        SCOPED_TRACE(damage.name);
        ASSERT_GE(damage.file.size(), 5u);
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
        EXPECT_EQ(Bytes(64, 0xEE), ReadBytes(gAppPath));
        EXPECT_FALSE(Exists(gPartialPath));
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
    EXPECT_TRUE(WaitForInterpretersOf(GetCurrentProcessId(), 15000));
    EXPECT_FALSE(Exists(gUninstallPath));
    expectSentinels("uninstall");
    Tree after = Snapshot(scratch);
    after.erase(Path(L"TarvoMarkwise_Setup.exe"));
    after.erase(Path(L"standin.txt"));
    for (const auto &entry : after) EXPECT_TRUE(before.count(entry.first)) << "left behind: " << WideToUtf8(entry.first);
    EXPECT_TRUE(Exists(StartMenuFolder()));
    EXPECT_FALSE(Exists(StartMenuLink()));
    EXPECT_FALSE(Exists(DesktopLink()));
}

// The setup process ended from outside, as Task Manager ends it, at rising
// delays after the button press, over an install, a reinstall and an
// uninstall of a payload large enough for the copy to take a while.
class KillTest : public SetupRunTest {
protected:
    struct Package {
        std::wstring path;
        Bytes file;
        unsigned int payloadCrc;
    };

    void SetUp() override
    {
        SetupRunTest::SetUp();
        CoInitializeEx(NULL, COINIT_APARTMENTTHREADED);
    }
    void TearDown() override
    {
        SetupRunTest::TearDown();
        CoUninitialize();
    }

    // The stand-in with 256 MiB behind it: still a program, slow to copy.
    Package LargePackage(const std::wstring &path, unsigned seed)
    {
        Bytes payload = ReadBytes(BuildFile(L"TarvoStandin.exe"));
        Bytes bulk = RandomBytes(256u << 20, seed);
        payload.insert(payload.end(), bulk.begin(), bulk.end());
        Package package = {path, PackageFile(ReadBytes(BuildFile(L"setup.exe")), payload),
                           ZlibCrc(payload.data(), payload.size())};
        EXPECT_TRUE(WriteBytes(path, package.file));
        return package;
    }

    // "none", "earlier" or "new": the application must never be anything else.
    std::string ApplicationFound(const Package *earlier, const Package &latest)
    {
        if (!Exists(appPath)) return "none";
        Bytes app = ReadBytes(appPath);
        unsigned int crc = ZlibCrc(app.data(), app.size());
        if (earlier && crc == earlier->payloadCrc) return "earlier";
        if (crc == latest.payloadCrc) return "new";
        ADD_FAILURE() << "a partial application of " << app.size() << " bytes";
        return "partial";
    }

    void ExpectConsistentInstallation(const Package &package)
    {
        LinkFacts link;
        int count = 0;
        Bytes app = ReadBytes(appPath);

        EXPECT_EQ(package.payloadCrc, ZlibCrc(app.data(), app.size()));
        EXPECT_TRUE(ReadBytes(uninstallerPath) == package.file);
        EXPECT_FALSE(Exists(partialPath));
        for (const std::wstring &path : {desktopLink, startMenuFolder + L"\\Tarvo Markwise.lnk"}) {
            ASSERT_TRUE(ReadLink(path, &link)) << WideToUtf8(path);
            EXPECT_TRUE(Exists(link.target)) << WideToUtf8(link.target);
        }
        wchar_t **arguments = CommandLineToArgvW(UninstallCommand().c_str(), &count);
        ASSERT_EQ(2, count);
        EXPECT_TRUE(Exists(arguments[0])) << WideToUtf8(arguments[0]);
        LocalFree(arguments);
    }

    void ExpectNothingOfOurs()
    {
        EXPECT_TRUE(WaitUntilGone(uninstallerPath, 15000));
        EXPECT_TRUE(WaitUntilGone(installDir, 5000));
        EXPECT_FALSE(Exists(desktopLink));
        EXPECT_FALSE(Exists(startMenuFolder + L"\\Tarvo Markwise.lnk"));
        EXPECT_EQ(L"", UninstallCommand());
    }
};

TEST_F(KillTest, EndingTheSetupProcessAnywhereLosesNothing)
{
    const int kPoints = 8;
    Package first = LargePackage(setupPath, 1);
    Package second = LargePackage(downloads + L"\\TarvoMarkwise_Setup_Yeni.exe", 2);
    std::map<std::wstring, Bytes> sentinels = {
        {installDir + L" Notlar\\etiket şablonu.tmw", RandomBytes(3000, 3)},
        {desktopLink.substr(0, desktopLink.rfind(L'\\')) + L"\\sarf kayıtları.csv", RandomBytes(2000, 4)},
        {startMenuFolder + L"\\Tarvo Etiket Yardımcısı.lnk", RandomBytes(500, 5)},
        {downloads + L"\\fatura.pdf", RandomBytes(1000, 6)},
    };
    std::map<std::string, std::map<std::string, int>> tally;
    for (const auto &sentinel : sentinels) {
        EnsureDirectory(sentinel.first.substr(0, sentinel.first.rfind(L'\\')).c_str());
        ASSERT_TRUE(WriteBytes(sentinel.first, sentinel.second));
    }
    // After a kill: the user's files whole, the application whole, and a
    // second run and an uninstall that both complete.
    auto recover = [&](const std::string &phase, const Package *earlier, const Package &latest) {
        ++tally[phase][ApplicationFound(earlier, latest)];
        for (const auto &sentinel : sentinels) EXPECT_EQ(sentinel.second, ReadBytes(sentinel.first)) << WideToUtf8(sentinel.first);
        InstallAndClose(latest.path);
        ExpectConsistentInstallation(latest);
        UninstallConfirmed(UninstallCommand());
        ExpectNothingOfOurs();
        for (const auto &sentinel : sentinels) EXPECT_EQ(sentinel.second, ReadBytes(sentinel.first)) << WideToUtf8(sentinel.first);
    };

    // How long a whole install takes sets the delays.
    Start(L"\"" + first.path + L"\"");
    ULONGLONG pressed = GetTickCount64();
    Press(Control(ID_PRIMARY_BUTTON));
    ASSERT_TRUE(WaitForText(Control(ID_PRIMARY_BUTTON), L"Programı Aç", 60000));
    const DWORD installMs = (DWORD)(GetTickCount64() - pressed);
    EndSetup(&run);
    UninstallConfirmed(UninstallCommand());
    ExpectNothingOfOurs();

    for (int point = 0; point < kPoints; ++point) {
        SCOPED_TRACE("install ended at point " + std::to_string(point));
        Start(L"\"" + first.path + L"\"");
        Press(Control(ID_PRIMARY_BUTTON));
        Sleep(installMs * point / kPoints);
        EndSetup(&run);
        recover("install", NULL, first);
    }
    for (int point = 0; point < kPoints; ++point) {
        SCOPED_TRACE("reinstall ended at point " + std::to_string(point));
        InstallAndClose(first.path);
        Start(L"\"" + second.path + L"\"");
        Press(Control(ID_PRIMARY_BUTTON));
        Sleep(installMs * point / kPoints);
        EndSetup(&run);
        recover("reinstall", &first, second);
    }
    // The uninstall waits in its two boxes; between them it is quick.
    const DWORD afterYesMs[kPoints] = {0, 0, 1, 3, 10, 30, 0, 0};
    for (int point = 0; point < kPoints; ++point) {
        SCOPED_TRACE("uninstall ended at point " + std::to_string(point));
        InstallAndClose(first.path);
        Start(UninstallCommand());
        Press(Control(ID_PRIMARY_BUTTON));
        HWND box = WaitForBox();
        ASSERT_NE((HWND)NULL, box);
        if (point > 0) PostMessageW(GetDlgItem(box, IDYES), BM_CLICK, 0, 0);
        if (point >= kPoints - 2) {
            HWND done = WaitForBox(box);
            if (point == kPoints - 1) PostMessageW(GetDlgItem(done, IDOK), BM_CLICK, 0, 0);
        }
        Sleep(afterYesMs[point]);
        EndSetup(&run);
        // A removal command started before the end still runs its course.
        EXPECT_TRUE(WaitForInterpretersOf(run.id, 15000));
        recover("uninstall", &first, first);
    }

    int kills = 0;
    std::string summary;
    for (const auto &phase : tally)
        for (const auto &found : phase.second) {
            kills += found.second;
            summary += " " + phase.first + "/" + found.first + " " + std::to_string(found.second) + ";";
        }
    printf("kill campaign: %d kills over a %lu ms install of a 256 MiB payload; application afterwards:%s "
           "every one recovered\n", kills, (unsigned long)installMs, summary.c_str());
    EXPECT_GE(kills, 20);
}
