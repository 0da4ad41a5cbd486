// The state campaign: the installation's parts (folder, application,
// uninstaller, entry, desktop link, Start-menu folder and link) present or
// missing in every combination, as hands, cleanup tools and moved profiles
// leave them, and a few shapes of machine; from each, the silent install,
// the entry's own quiet uninstall command and the setup file's silent
// uninstall, each run twice. Every run must converge (a whole installation,
// or nothing of the program left) or be refused with nothing changed, an
// exit code and a log line; the second run must converge. The table goes to
// artifacts/state-campaign.csv.
#include "setup_run.h"

#include <stdio.h>

#include <functional>

enum Part { FOLDER = 1, APPLICATION = 2, UNINSTALLER = 4, ENTRY = 8, DESKTOP = 16, MENU_FOLDER = 32, MENU_LINK = 64 };
static const int kWhole = 127;

enum Operation { INSTALL, ENTRY_UNINSTALL, SETUP_UNINSTALL };
static const char *const kOperationNames[] = {"silent install", "entry's quiet uninstall", "setup file's uninstall"};

// What a run leaves, read back.
struct Seen {
    bool folder;
    Tree files;
    Entry entry;
    bool desktop, menuFolder, menuLink;
    bool operator==(const Seen &other) const
    {
        return folder == other.folder && files == other.files && entry == other.entry && desktop == other.desktop &&
               menuFolder == other.menuFolder && menuLink == other.menuLink;
    }
};

class StateCampaignTest : public SetupRunTest {
protected:
    void SetUp() override
    {
        SetupRunTest::SetUp();
        table = NULL;
    }
    void TearDown() override
    {
        SetEnvironmentVariableW(L"ComSpec", comSpec.empty() ? NULL : comSpec.c_str());
        EndSetup(&held);
        SetupRunTest::TearDown();
    }

    // The parts of a whole installation, kept to lay any state from.
    void KeepWholeInstallation()
    {
        WatchedRun first = RunWatched(L"\"" + setupPath + L"\" --silent", downloads, 60000);
        ASSERT_TRUE(first.exited && first.exitCode == 0) << "the first install ended with " << first.exitCode;
        application = ReadBytes(appPath);
        uninstaller = ReadBytes(uninstallerPath);
        desktopBytes = ReadBytes(desktopLink);
        menuBytes = ReadBytes(MenuLink());
        entry = ReadEntry();
        ASSERT_FALSE(application.empty() || uninstaller.empty() || desktopBytes.empty() || menuBytes.empty() || entry.empty());
    }
    std::wstring MenuLink() { return startMenuFolder + L"\\Tarvo Markwise.lnk"; }

    // Lays a state: every part of it present, none other.
    void Lay(int parts)
    {
        RemoveTree(installDir);
        RemoveTree(startMenuFolder);
        DeleteFileW(desktopLink.c_str());
        RegDeleteKeyW(HKEY_CURRENT_USER, kUninstallKeyPath);
        if (parts & FOLDER) {
            ASSERT_EQ(1, EnsureDirectory(installDir.c_str()));
        }
        if (parts & APPLICATION) {
            ASSERT_TRUE(WriteBytes(appPath, application));
        }
        if (parts & UNINSTALLER) {
            ASSERT_TRUE(WriteBytes(uninstallerPath, uninstaller));
        }
        if (parts & ENTRY) {
            ASSERT_TRUE(WriteEntry(entry));
        }
        if (parts & DESKTOP) {
            ASSERT_TRUE(WriteBytes(desktopLink, desktopBytes));
        }
        if (parts & MENU_FOLDER) {
            ASSERT_EQ(1, EnsureDirectory(startMenuFolder.c_str()));
        }
        if (parts & MENU_LINK) {
            ASSERT_TRUE(WriteBytes(MenuLink(), menuBytes));
        }
    }

    Seen Read()
    {
        return {IsDirectory(installDir), Snapshot(installDir), ReadEntry(), Exists(desktopLink), IsDirectory(startMenuFolder),
                Exists(MenuLink())};
    }

    // "whole", "gone", or what keeps the state from either.
    std::string Converged(const Seen &seen)
    {
        std::string whole, gone;
        const std::wstring command = L"\"" + uninstallerPath + L"\" --uninstall";
        if (seen.files.count(appPath) == 0 || seen.files.at(appPath) != application) whole += "application; ";
        if (seen.files.count(uninstallerPath) == 0 || seen.files.at(uninstallerPath) != uninstaller) whole += "uninstaller; ";
        if (StringValue(seen.entry, L"UninstallString") != command || StringValue(seen.entry, L"DisplayIcon") != appPath)
            whole += "entry; ";
        if (!seen.desktop || !seen.menuLink) whole += "links; ";
        if (whole.empty()) return "whole";
        if (seen.folder) gone += "folder; ";
        if (!seen.entry.empty()) gone += "entry; ";
        if (seen.desktop || seen.menuFolder) gone += "links; ";
        if (gone.empty()) return "gone";
        return "neither whole (" + whole + ") nor gone (" + gone + ")";
    }

    // Runs an operation and waits for any removal it handed over; the exit
    // code, or -1 where there is no entry to run and -2 where its
    // uninstaller cannot be started (the system's error goes to *error).
    long Run(Operation operation, const std::wstring &log, DWORD *error)
    {
        std::wstring command = L"\"" + setupPath + L"\" --silent";
        if (operation == ENTRY_UNINSTALL) command = UninstallCommand(L"QuietUninstallString");
        if (operation == SETUP_UNINSTALL) command = L"\"" + setupPath + L"\" --uninstall --silent";
        if (command.empty()) return -1;
        WatchedRun run = RunWatched(command + L" --log \"" + log + L"\"", downloads, 60000);
        *error = GetLastError();
        if (!run.id) return -2;
        EXPECT_TRUE(run.exited);
        if (held.process && operation != INSTALL) CloseHeldWindow();
        EXPECT_TRUE(WaitForInterpretersOf(run.id, 60000)) << "the deferred removal did not end";
        return (long)run.exitCode;
    }

    // The shape's second window of the uninstaller, closed by its user.
    void CloseHeldWindow()
    {
        PostMessageW(held.window, WM_CLOSE, 0, 0);
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(held.process, 20000)) << "the uninstaller window did not close";
        EndSetup(&held);
    }

    // One state by the three operations, each run twice; returns how many
    // rows it wrote, adding what is wrong to *broken.
    void Campaign(const std::string &state, int parts, const std::function<void()> &shape, int *rows, int *broken)
    {
        for (int operation = INSTALL; operation <= SETUP_UNINSTALL; ++operation) {
            Lay(parts);
            if (HasFatalFailure()) return;
            shape();
            if (HasFatalFailure()) return;
            long first = 0;
            for (int round = 1; round <= 2; ++round) {
                std::wstring log = Path(L"run.log");
                DeleteFileW(log.c_str());
                Seen before = Read();
                DWORD error = 0;
                long code = Run((Operation)operation, log, &error);
                Seen after = Read();
                std::string converged = Converged(after), verdict;
                std::string logged = FileText(log);
                if (code == -1 || code == -2) {
                    // Nothing ran: no entry, or one whose uninstaller is gone;
                    // the state must be one the other operations take on.
                    verdict = code == -1 ? "no entry to run" : "uninstaller missing, not started (error " +
                                                                     std::to_string(error) + ")";
                    if (code == -1 && round == 2 && first >= 0 && converged != "gone") verdict = "broken: " + converged;
                } else if (code == 0 && (converged == "whole" || converged == "gone")) {
                    verdict = "converged " + converged;
                    if ((operation == INSTALL) != (converged == "whole")) verdict = "broken: " + converged;
                } else if (code != 0 && round == 1 && after == before &&
                           (logged.find("\tfailed: ") != std::string::npos || logged.find("\trefused: ") != std::string::npos)) {
                    verdict = "refused unchanged";
                } else {
                    verdict = "broken: exit " + std::to_string(code) + ", " + converged;
                }
                if (round == 2 && verdict == "refused unchanged") verdict = "broken: refused again";
                if (round == 1) first = code;
                fprintf(table, "%s,%s,%d,%ld,%s\n", state.c_str(), kOperationNames[operation], round, code, verdict.c_str());
                ++*rows;
                if (verdict.compare(0, 7, "broken:") == 0) {
                    ++*broken;
                    ADD_FAILURE() << state << ", " << kOperationNames[operation] << ", run " << round << ": " << verdict
                                  << "\n" << logged;
                }
                if (held.process) CloseHeldWindow();
            }
        }
    }

    static std::string PartsName(int parts)
    {
        static const char *const names[] = {"folder", "application", "uninstaller", "entry", "desktop link",
                                            "Start-menu folder", "Start-menu link"};
        std::string text;
        for (int i = 0; i < 7; ++i)
            if (parts & (1 << i)) text += std::string(text.empty() ? "" : " + ") + names[i];
        return text.empty() ? "nothing" : text;
    }

    Bytes application, uninstaller, desktopBytes, menuBytes;
    Entry entry;
    std::wstring comSpec;
    RunningSetup held = {NULL, 0, NULL};
    FILE *table;
};

TEST_F(StateCampaignTest, FromEveryStateOneRunInstallsWholeOrRemovesWhole)
{
    int rows = 0, broken = 0;
    wchar_t saved[MAX_PATH] = {0};

    if (GetEnvironmentVariableW(L"ComSpec", saved, MAX_PATH)) comSpec = saved;
    ASSERT_TRUE(CreateDirectoryW(BuildFile(L"artifacts").c_str(), NULL) || GetLastError() == ERROR_ALREADY_EXISTS);
    table = _wfopen(BuildFile(L"artifacts\\state-campaign.csv").c_str(), L"w");
    ASSERT_NE((FILE *)NULL, table);
    fprintf(table, "state,operation,run,exit,verdict\n");
    KeepWholeInstallation();
    const std::wstring programs = installDir.substr(0, installDir.rfind(L'\\'));

    // Every combination of the parts that can stand together: files only in
    // their folder, the Start-menu link only in its.
    for (int parts = 0; parts <= kWhole && !HasFatalFailure(); ++parts) {
        if (((parts & (APPLICATION | UNINSTALLER)) && !(parts & FOLDER)) || ((parts & MENU_LINK) && !(parts & MENU_FOLDER)))
            continue;
        Campaign(PartsName(parts), parts, [] {}, &rows, &broken);
    }

    const struct {
        const char *name;
        std::function<void()> shape;
    } shapes[] = {
        {"a leftover of an ended uninstall",
         [&] { ASSERT_TRUE(WriteBytes(installDir + L"\\TarvoMarkwiseKaldir.1a2b.del", uninstaller)); }},
        // The profile moved: the entry still names the folder it had.
        {"an entry naming another folder",
         [&] {
             const std::wstring old = Path(L"old profile\\Programs\\Tarvo Markwise");
             Entry moved = entry;
             for (auto &value : moved) {
                 std::wstring text = StringValue(entry, value.first.c_str());
                 if (value.second[0] != REG_SZ) continue;
                 for (size_t at; (at = text.find(installDir)) != std::wstring::npos;) text.replace(at, installDir.size(), old);
                 const BYTE *raw = (const BYTE *)text.c_str();
                 value.second.resize(1);
                 value.second.insert(value.second.end(), raw, raw + (text.size() + 1) * sizeof(wchar_t));
             }
             ASSERT_TRUE(WriteEntry(moved));
         }},
        {"the uninstaller held by a second window of it",
         [&] {
             held = LaunchSetup(L"\"" + uninstallerPath + L"\"", downloads);
             ASSERT_NE((HWND)NULL, held.window) << "no uninstaller window";
         }},
        {"ComSpec naming no interpreter", [&] { SetEnvironmentVariableW(L"ComSpec", L"C:\\nowhere\\cmd.exe"); }},
    };
    for (const auto &shape : shapes) {
        Campaign(shape.name, kWhole, shape.shape, &rows, &broken);
        SetEnvironmentVariableW(L"ComSpec", comSpec.c_str());
    }

    // The longest install folder the program accepts, found by trying: the
    // silent install refuses a longer one with nothing made.
    std::wstring root;
    ASSERT_LT(Path(L"long\\").size() + 38, 200u) << "the scratch folder's path is too long for this shape";
    for (size_t length = 240; length > 200 && root.empty(); --length) {
        std::wstring candidate = Path(L"long\\") + std::wstring(length - Path(L"long\\").size() - 38, L'u');
        UseProfile(candidate);
        DWORD error = 0;
        if (Run(INSTALL, Path(L"probe.log"), &error) == 0) root = candidate;
    }
    ASSERT_NE(L"", root) << "no long folder accepted";
    RecordProperty("longest install folder", (int)installDir.size());
    KeepWholeInstallation();
    Campaign("the longest install folder accepted (" + std::to_string(installDir.size()) + " characters)", kWhole,
             [] {}, &rows, &broken);

    fclose(table);
    printf("state campaign: %d runs, %d broken\n", rows, broken);
    EXPECT_GE(rows, 6 * 64);
}
