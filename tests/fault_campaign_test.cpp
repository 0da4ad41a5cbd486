// The fault campaign: in four scenarios, on machines of four shapes, every
// system call that an install or an uninstall makes fails in turn, with an
// error that call really returns. Each run must end "completed" (success,
// with everything in place) or "failed-whole" (the failing step named in the
// log, the installation whole, nothing staged left, the user's file
// untouched). The table goes to artifacts/fault-campaign.csv.
#include "fault_layer.h"
#include "test_support.h"

#include <stdio.h>

struct Scenario {
    const char *name;
    bool earlier;
    bool applicationOpen;
    bool uninstall;
};

// The machine's shape: a volume without hard links (FAT32, exFAT), a second
// name of the uninstaller that an earlier run left, and the application
// running through a second path to the same file (a junction, a subst
// drive; here Wine's Z: drive, which maps the whole file system).
struct Environment {
    const char *name;
    bool noHardLinks;
    bool leftover;
    bool secondPath;
};

static const Environment kEnvironments[] = {
    {"plain", false, false, false},
    {"no hard links", true, false, false},
    {"leftover second name", false, true, false},
    {"application through a second path", false, false, true},
};

static const Scenario kScenarios[] = {
    {"fresh install", false, false, false},
    {"reinstall", true, false, false},
    {"reinstall with the application open", true, true, false},
    {"uninstall", true, false, true},
};

// What an installation is, read back: whether its folder exists, the files
// in it but staging files (checked on their own), the entry's values (type
// and data), the two links.
struct Installation {
    bool folder;
    Tree files;
    std::map<std::wstring, Bytes> entry;
    bool desktopLink;
    bool startMenuLink;
    bool operator==(const Installation &other) const
    {
        return folder == other.folder && files == other.files && entry == other.entry &&
               desktopLink == other.desktopLink && startMenuLink == other.startMenuLink;
    }
};

static bool IsStagingFile(const std::wstring &path)
{
    std::wstring end = path.size() > 4 ? path.substr(path.size() - 4) : L"";
    return end == L".tmp" || end == L".bak";
}

static std::string ErrorText(DWORD error)
{
    char text[32];
    snprintf(text, sizeof text, error == kShortWrite ? "short write" : error & 0x80000000u ? "0x%08lx" : "%lu",
             (unsigned long)error);
    return text;
}

class FaultCampaignTest : public InstallTest {
protected:
    void SetUp() override
    {
        InstallTest::SetUp();
        InstallFaultLayer();
        log = Path(L"campaign.log");
        userFile = std::wstring(gInstallDir) + L"\\proje.tmw";
        earlierApplication = application;
        Bytes tail = RandomBytes(64, 11);
        earlierApplication.insert(earlierApplication.end(), tail.begin(), tail.end());
        earlierSetup = PackageFile(RandomBytes(3000, 12), earlierApplication);
        gRunMode = RUN_SILENT;
        gNoClose = gNoReopen = 0;
    }
    void TearDown() override
    {
        gUninstallMode = 0;
        gRunMode = RUN_INTERACTIVE;
        CloseStandIns();
        InstallTest::TearDown();
    }

    Installation Read(void)
    {
        Tree files = Snapshot(gInstallDir);
        for (auto file = files.begin(); file != files.end();) file = IsStagingFile(file->first) ? files.erase(file) : ++file;
        return {IsDirectory(gInstallDir), files, ReadEntry(), Exists(DesktopLink()), Exists(StartMenuLink())};
    }

    // The scenario's starting point, written with every call going through.
    void Prepare(const Environment &environment, const Scenario &scenario, int run)
    {
        SetupRequest request = {1, NULL, 0};
        wchar_t record[32];

        CloseStandIns();
        ClearProfile();
        RemoveTree(gInstallDir);
        DeleteFileW(log.c_str());
        gUninstallMode = 0;
        gLogPath[0] = L'\0';
        if (scenario.earlier) {
            ASSERT_TRUE(WriteBytes(gSelfPath, scenario.uninstall ? setupFile : earlierSetup));
            ASSERT_EQ(STEP_NONE, RunInstall(&request).step);
            ASSERT_TRUE(WriteBytes(userFile, Bytes(100, 0x55)));
        }
        ASSERT_TRUE(WriteBytes(gSelfPath, setupFile));
        if (environment.leftover) {
            ASSERT_EQ(1, EnsureDirectory(gInstallDir));
            ASSERT_TRUE(WriteBytes(gKeptUninstallPath, RandomBytes(700, 13)));
            ASSERT_TRUE(SetFileAttributesW(gKeptUninstallPath, FILE_ATTRIBUTE_READONLY));
        }
        RefuseHardLinks(environment.noHardLinks);
        swprintf(record, 32, L"standin-%d.txt", run);
        UseStandInRecord(Path(record));
        if (Running(environment, scenario)) {
            std::wstring image = environment.secondPath ? SecondPathTo(gAppPath) : std::wstring(gAppPath);
            ASSERT_NE(L"", image);
            StandIn running = StartStandIn(image, gInstallDir);
            ASSERT_NE((HANDLE)NULL, running.process) << "starting " << WideToUtf8(image) << ": error " << running.error;
            CloseHandle(running.process);
            ASSERT_TRUE(WaitForStandInStarts(1, 10000));
        }
        lstrcpynW(gLogPath, log.c_str(), SETUP_PATH_CAPACITY);
        gUninstallMode = scenario.uninstall;
    }

    static bool Running(const Environment &environment, const Scenario &scenario)
    {
        return scenario.applicationOpen || (environment.secondPath && scenario.earlier);
    }

    // Whether one line of the log holds both texts.
    bool LogHasLine(const std::wstring &first, const std::string &second)
    {
        std::string text = FileText(log);
        std::string wanted = WideToUtf8(first);
        size_t begin = 0;

        while (begin < text.size()) {
            size_t end = text.find('\n', begin);
            std::string line = text.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
            if (line.find(wanted) != std::string::npos && line.find(second) != std::string::npos) return true;
            if (end == std::string::npos) break;
            begin = end + 1;
        }
        return false;
    }
    // The failing step is logged with the error the outcome reports.
    bool FailureLogged(const SetupOutcome &outcome)
    {
        char failed[40];
        snprintf(failed, sizeof failed, outcome.error & 0x80000000u ? "\tfailed: error 0x%08lx" : "\tfailed: error %lu",
                 (unsigned long)outcome.error);
        return LogHasLine(L"\t" + std::wstring(StepName(outcome.step)) + L"\t", failed);
    }
    // A link that is missing after a successful run is named in the log.
    bool MissingLinkLogged(const std::wstring &link, const std::wstring &folder, const wchar_t *which)
    {
        return LogHasLine(link, "failed") || LogHasLine(folder, "failed") ||
               LogHasLine(L"\t" + std::wstring(which) + L"\t", "no link there");
    }

    // Returns the verdict; *why says what is wrong when there is none.
    std::string InstallVerdict(const Environment &environment, const Scenario &scenario, const Installation &before,
                               const SetupOutcome &outcome, std::string *why)
    {
        Installation after = Read();
        std::wstring uninstallCommand = L"\"" + std::wstring(gUninstallPath) + L"\" --uninstall";

        if (outcome.step == STEP_NONE) {
            if (after.files[gAppPath] != application) *why += "application not in place; ";
            if (after.files[gUninstallPath] != setupFile) *why += "uninstaller not in place; ";
            if (after.entry.size() != 10 || StringValue(after.entry, L"DisplayVersion") != PRODUCT_VERSION ||
                StringValue(after.entry, L"UninstallString") != uninstallCommand)
                *why += "entry not whole; ";
            if (!after.desktopLink && !MissingLinkLogged(DesktopLink(), DesktopLink(), L"desktop"))
                *why += "desktop link missing, not logged; ";
            if (!after.startMenuLink && !MissingLinkLogged(StartMenuLink(), StartMenuFolder(), L"Start menu"))
                *why += "Start-menu link missing, not logged; ";
            if (Running(environment, scenario) && !WaitForStandInStarts(1, 10000) &&
                FileText(log).find("\tstart application\t") == std::string::npos)
                *why += "application neither opened again nor its failure logged; ";
            return "completed";
        }
        if (!FailureLogged(outcome)) *why += "failing step not logged; ";
        if (after == before && LogHasLine(L"\ttake back\t", "\tfailed: ")) *why += "take-back failure logged, nothing stayed; ";
        if (Running(environment, scenario) && RunningApplications() == 0) *why += "application closed, not opened again; ";
        if (after == before) return "failed-whole";
        // Past the application's move the new installation stands, under an
        // entry that names only files that exist.
        bool newInstallation = scenario.earlier && after.files[gAppPath] == application &&
                               after.files[gUninstallPath] == setupFile &&
                               after.desktopLink == before.desktopLink && after.startMenuLink == before.startMenuLink;
        for (const wchar_t *value : {L"DisplayIcon", L"InstallLocation"})
            if (!StringValue(after.entry, value).empty() && !Exists(StringValue(after.entry, value))) newInstallation = false;
        if (!newInstallation) *why += "installation neither the earlier one nor the new one; ";
        return "failed-whole";
    }

    std::string UninstallVerdict(const Installation &before, const SetupOutcome &outcome, std::string *why)
    {
        Installation after = Read();

        if (outcome.step == STEP_NONE) {
            if (after.files.count(gAppPath) || after.files.count(gUninstallPath)) *why += "files left; ";
            if (!after.entry.empty()) *why += "entry left; ";
            if ((after.desktopLink && !LogHasLine(DesktopLink(), "failed") && !LogHasLine(L"\tdesktop\t", "no link")) ||
                (after.startMenuLink && !LogHasLine(StartMenuLink(), "failed") && !LogHasLine(L"\tStart menu\t", "no link")))
                *why += "link left, not logged; ";
            if (HandedOverCommands().size() != 1) *why += "removal not handed over; ";
            return "completed";
        }
        if (!FailureLogged(outcome)) *why += "failing step not logged; ";
        if (after == before) return "failed-whole";
        // What stays can be removed by running the uninstall again: an entry
        // that stays names an uninstaller that exists.
        if (!after.entry.empty() && !after.files.count(gUninstallPath)) *why += "entry without its uninstaller; ";
        if (after.entry.empty() && after.files.count(gUninstallPath)) *why += "uninstaller without an entry; ";
        if (!after.files.count(gUninstallPath) && after.files.size() > 1) *why += "files left without an uninstaller; ";
        return "failed-whole";
    }

    std::wstring log, userFile;
    Bytes earlierApplication, earlierSetup;
};

TEST_F(FaultCampaignTest, EveryFailingCallEndsCompletedOrFailedWhole)
{
    FILE *table = _wfopen(BuildFile(L"artifacts\\fault-campaign.csv").c_str(), L"w");
    int faults = 0, completed = 0, failedWhole = 0, run = 0;

    ASSERT_TRUE(CreateDirectoryW(BuildFile(L"artifacts").c_str(), NULL) || GetLastError() == ERROR_ALREADY_EXISTS);
    if (!table) table = _wfopen(BuildFile(L"artifacts\\fault-campaign.csv").c_str(), L"w");
    ASSERT_NE((FILE *)NULL, table);
    fprintf(table, "environment,scenario,call,error,step,exit,verdict\n");
    for (const Environment &environment : kEnvironments) {
        for (const Scenario &scenario : kScenarios) {
            int calls = 1;
            for (int failAt = 0; failAt <= calls; ++failAt) {
                InjectedFault fault;
                std::string why;

                Prepare(environment, scenario, ++run);
                if (HasFatalFailure()) return;
                Installation before = Read();
                Tree everythingBefore = Snapshot(gInstallDir);
                BeginCounting(failAt);
                SetupOutcome outcome = RunUnattended();
                int counted = EndCounting(&fault);
                std::string verdict = scenario.uninstall ? UninstallVerdict(before, outcome, &why)
                                                         : InstallVerdict(environment, scenario, before, outcome, &why);
                // A staging file stays only when deleting it failed for
                // good, and then the log names it; the next run removes it.
                // A run that failed before it changed anything leaves an
                // earlier run's as it was.
                const bool unchanged = outcome.step != STEP_NONE && Read() == before;
                for (const auto &file : Snapshot(gInstallDir))
                    if (IsStagingFile(file.first) && !(unchanged && everythingBefore[file.first] == file.second) &&
                        !LogHasLine(L"\tdiscard staging file\t" + file.first, "\tfailed: error "))
                        why += "staging file left: " + WideToUtf8(file.first) + "; ";
                if (scenario.earlier && Read().files[userFile] != Bytes(100, 0x55)) why += "user's file changed; ";
                // The way back is made before the application is touched.
                if (fault.call == "CopyFileW" && outcome.step != STEP_NONE && !StandInEnds().empty())
                    why += "application closed before the earlier uninstaller was kept; ";
                const std::string where = std::string(environment.name) + ", " + scenario.name;
                if (failAt == 0) {
                    // The clean run: everything in place, and the number of calls.
                    calls = counted;
                    EXPECT_EQ(STEP_NONE, outcome.step) << where;
                    EXPECT_EQ("", why) << where << "\n" << FileText(log);
                    continue;
                }
                ++faults;
                // The failing call's own error decides the outcome; a lock
                // that another run holds, or is closing, is busy.
                if (outcome.step != STEP_NONE && outcome.error != fault.error &&
                    !(outcome.step == STEP_LOCK &&
                      (fault.error == ERROR_ACCESS_DENIED || fault.error == ERROR_SHARING_VIOLATION)))
                    why += "outcome's error is not the failing call's; ";
                verdict == "completed" ? ++completed : ++failedWhole;
                if (!why.empty()) verdict = "broken: " + why;
                fprintf(table, "%s,%s,%s#%d,%s,%s,%d,%s\n", environment.name, scenario.name, fault.call.c_str(), failAt,
                        ErrorText(fault.error).c_str(), WideToUtf8(StepName(outcome.step)).c_str(),
                        ExitCodeFor(&outcome), verdict.c_str());
                EXPECT_EQ("", why) << where << ": call " << failAt << " " << fault.call << " failing with "
                                   << ErrorText(fault.error) << "\n"
                                   << FileText(log);
            }
            CloseStandIns();
        }
    }
    RefuseHardLinks(false);
    fclose(table);
    printf("fault campaign: %d faults, %d completed, %d failed-whole\n", faults, completed, failedWhole);
    EXPECT_GE(faults, 600);
}
