// The packed setup file run as a user runs it: its window, its buttons and
// boxes, and what it leaves in a scratch profile.
#include "setup_run.h"
#include "texts.h"

#include <commctrl.h>
#include <shellapi.h>

#include <map>

struct ExpectedControl {
    const wchar_t *className;
    std::wstring text;
    int x, y, width, height, id;
};

static void ExpectControls(const std::vector<ControlFacts> &seen, const std::vector<ExpectedControl> &expected)
{
    ASSERT_EQ(expected.size(), seen.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE("control " + std::to_string(i + 1) + " " + WideToUtf8(expected[i].text));
        EXPECT_EQ(0, _wcsicmp(expected[i].className, seen[i].className.c_str())) << WideToUtf8(seen[i].className);
        EXPECT_EQ(expected[i].text, seen[i].text);
        EXPECT_EQ(expected[i].x, seen[i].rect.left);
        EXPECT_EQ(expected[i].y, seen[i].rect.top);
        EXPECT_EQ(expected[i].width, seen[i].rect.right - seen[i].rect.left);
        EXPECT_EQ(expected[i].height, seen[i].rect.bottom - seen[i].rect.top);
        EXPECT_EQ(expected[i].id, seen[i].id);
    }
}

static int Distance(COLORREF a, COLORREF b)
{
    return abs(GetRValue(a) - GetRValue(b)) + abs(GetGValue(a) - GetGValue(b)) + abs(GetBValue(a) - GetBValue(b));
}

// The pixel in a control's rectangle closest to a colour: glyph cores carry
// the text colour exactly, their edges are blended by antialiasing.
static int ClosestInRect(HWND window, const RECT &rect, COLORREF colour)
{
    int best = 1000;
    for (int y = rect.top; y < rect.bottom; ++y)
        for (int x = rect.left; x < rect.right; x += 1) best = std::min(best, Distance(ClientPixel(window, x, y), colour));
    return best;
}

TEST_F(SetupRunTest, FreshInstallOpensTheApplicationAndClosesWithZero)
{
    RECT outer;

    StartSetupFile();
    wchar_t className[64] = {0};
    GetClassNameW(run.window, className, 64);
    EXPECT_STREQ(L"TarvoMarkwiseSetup102", className);
    EXPECT_EQ(L"Tarvo Markwise 1.0.2 Kurulumu", TextOf(run.window));
    GetWindowRect(run.window, &outer);
    EXPECT_EQ(718, outer.right - outer.left);
    EXPECT_EQ(438, outer.bottom - outer.top);
    EXPECT_EQ(WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX,
              GetWindowLongW(run.window, GWL_STYLE) & (WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX | WS_THICKFRAME));

    std::vector<ControlFacts> controls = Controls(run.window);
    ExpectControls(controls, {
        {L"Static", L"tarvo", 28, 24, 210, 48, 0},
        {L"Static", L"MARKWISE KURULUMU", 30, 69, 230, 20, 0},
        {L"Static", L"Tarvo Markwise 1.0.2 kullanıcı hesabınıza kurulacak; yönetici izni gerekmez.", 292, 34, 372, 58, 0},
        {L"Static", L"Kurulum klasörü", 292, 106, 150, 20, 0},
        {L"Static", installDir, 292, 128, 372, 40, 0},
        {L"Static", kInformationText, 292, 174, 372, 100, 0},
        {L"msctls_progress32", L"", 292, 286, 372, 18, ID_PROGRESS_BAR},
        {L"Static", L"Kuruluma hazır.", 292, 314, 372, 24, 0},
        {L"Button", L"Kur", 452, 356, 100, 34, ID_PRIMARY_BUTTON},
        {L"Button", L"Vazgeç", 564, 356, 100, 34, ID_CANCEL_BUTTON},
    });
    ASSERT_EQ(10u, controls.size());
    EXPECT_EQ(0u, controls[5].text.find(L"Çalışma biçimi:"));
    EXPECT_NE(std::wstring::npos, controls[5].text.find(L"ağ bağlantısı"));

    // Paint: navy band, red stripe from 268 to 274, light background, and
    // the text colours either side of x 269.
    ASSERT_TRUE(WaitUntilDrawn(run.window, 10000));
    EXPECT_TRUE(SaveWindowBitmap(run.window, ArtifactPath(L"install-window.bmp")));
    EXPECT_EQ(RGB(16, 28, 47), ClientPixel(run.window, 10, 380));
    EXPECT_EQ(RGB(16, 28, 47), ClientPixel(run.window, 267, 200));
    EXPECT_EQ(RGB(229, 31, 48), ClientPixel(run.window, 268, 5));
    EXPECT_EQ(RGB(229, 31, 48), ClientPixel(run.window, 273, 390));
    EXPECT_EQ(RGB(242, 245, 249), ClientPixel(run.window, 274, 200));
    EXPECT_EQ(RGB(242, 245, 249), ClientPixel(run.window, 690, 20));
    EXPECT_EQ(0, ClosestInRect(run.window, controls[0].rect, RGB(244, 246, 250)));
    EXPECT_EQ(0, ClosestInRect(run.window, controls[7].rect, RGB(33, 41, 54)));
    EXPECT_EQ(RGB(16, 28, 47), ClientPixel(run.window, controls[1].rect.right - 2, controls[1].rect.top + 1));
    EXPECT_EQ(RGB(242, 245, 249), ClientPixel(run.window, controls[7].rect.right - 2, controls[7].rect.top + 1));

    Press(Control(ID_PRIMARY_BUTTON));
    ULONGLONG pressedAt = GetTickCount64();
    ASSERT_TRUE(WaitForText(Control(ID_PRIMARY_BUTTON), L"Programı Aç", 30000));
    EXPECT_EQ(1000, SendMessageW(Control(ID_PROGRESS_BAR), PBM_GETPOS, 0, 0));
    // The test prefix has theming off, so the bar is drawn in the colour the
    // program asks for; themed Windows draws its own colour instead.
    EXPECT_EQ(0, ClosestInRect(run.window, controls[6].rect, RGB(229, 31, 48)));
    EXPECT_EQ(0u, TextOf(controls[7].handle).find(L"Kurulum tamamlandı. "));
    EXPECT_EQ(L"Kapat", TextOf(Control(ID_CANCEL_BUTTON)));
    EXPECT_TRUE(IsWindowEnabled(Control(ID_PRIMARY_BUTTON)));
    EXPECT_EQ(ReadBytes(BuildFile(L"TarvoStandin.exe")), ReadBytes(appPath));
    EXPECT_EQ(ReadBytes(setupPath), ReadBytes(uninstallerPath));
    EXPECT_TRUE(Exists(desktopLink));
    EXPECT_TRUE(Exists(startMenuFolder + L"\\Tarvo Markwise.lnk"));
    EXPECT_EQ(L"\"" + uninstallerPath + L"\" --uninstall", UninstallCommand());
    ASSERT_TRUE(WaitUntilDrawn(run.window, 10000));
    EXPECT_TRUE(SaveWindowBitmap(run.window, ArtifactPath(L"install-finished.bmp")));

    AfterDoubleClickTime(pressedAt);
    Press(Control(ID_PRIMARY_BUTTON));
    ASSERT_TRUE(WaitForStandInStarts(1, 20000));
    EXPECT_EQ(0, _wcsicmp(installDir.c_str(), StandInStarts()[0].directory.c_str()))
        << WideToUtf8(StandInStarts()[0].directory);
    EXPECT_TRUE(IsWindow(run.window));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(run.process, 0));
    CloseStandIns();

    Press(Control(ID_CANCEL_BUTTON));
    ExpectExitCode(0);
}

TEST_F(SetupRunTest, SecondRunReinstallsOverTheFirstAndTheCloseBoxEndsWithZero)
{
    InstallAndClose();
    ASSERT_TRUE(WriteBytes(appPath, Bytes(10, 1)));

    StartSetupFile();
    EXPECT_EQ(L"Yeniden Kur", TextOf(Control(ID_PRIMARY_BUTTON)));
    std::vector<ControlFacts> controls = Controls(run.window);
    ASSERT_EQ(10u, controls.size());
    EXPECT_EQ(0u, controls[2].text.find(L"Tarvo Markwise 1.0.2 kurulacak. "));
    Press(Control(ID_PRIMARY_BUTTON));
    ASSERT_TRUE(WaitForText(Control(ID_PRIMARY_BUTTON), L"Programı Aç", 30000));
    EXPECT_EQ(ReadBytes(BuildFile(L"TarvoStandin.exe")), ReadBytes(appPath));

    PostMessageW(run.window, WM_SYSCOMMAND, SC_CLOSE, 0);
    ExpectExitCode(0);
}

TEST_F(SetupRunTest, TheStoredUninstallCommandRemovesTheInstallation)
{
    InstallAndClose();
    std::wstring command = UninstallCommand();
    ASSERT_FALSE(command.empty());

    Start(command);
    EXPECT_EQ(L"Tarvo Markwise Kaldırma", TextOf(run.window));
    std::vector<ControlFacts> controls = Controls(run.window);
    ASSERT_EQ(5u, controls.size());
    ExpectControls(controls, {
        {L"Static", L"tarvo", 28, 24, 210, 48, 0},
        {L"Static", L"MARKWISE KALDIRMA", 30, 69, 230, 20, 0},
        {L"Static", kUninstallDescription, 292, 34, 372, 58, 0},
        {L"Button", L"Kaldır", 452, 356, 100, 34, ID_PRIMARY_BUTTON},
        {L"Button", L"Vazgeç", 564, 356, 100, 34, ID_CANCEL_BUTTON},
    });
    EXPECT_EQ(0u, controls[2].text.find(L"Program kaldırılır; "));
    ASSERT_TRUE(WaitUntilDrawn(run.window, 10000));
    EXPECT_TRUE(SaveWindowBitmap(run.window, ArtifactPath(L"uninstall-window.bmp")));
    EXPECT_EQ(0, ClosestInRect(run.window, controls[2].rect, RGB(33, 41, 54)));
    // A second start of it (a repeated click in Settings) opens no second
    // window: the open one comes to the front, and the second ends.
    WatchedRun second = RunWatched(command, downloads, 20000);
    EXPECT_TRUE(second.exited && second.exitCode == 0 && !second.sawWindow) << "exit " << second.exitCode;

    // "No", then "Vazgeç": nothing changes. Enter struck twice asks once:
    // the second one, queued before the question, does not answer it. The
    // Tab struck after it moves the focus to "No" only once the box has
    // taken every key before it.
    ASSERT_TRUE(WaitForFront(run.window, Control(ID_PRIMARY_BUTTON), 10000));
    ASSERT_TRUE(StrikeKeyQueued(run.window, VK_RETURN, 2));
    HWND box = WaitForBox();
    ASSERT_NE((HWND)NULL, box);
    StrikeKey(VK_TAB, 1);
    ASSERT_TRUE(WaitForFocus(box, GetDlgItem(box, IDNO), 10000));
    ASSERT_TRUE(IsWindowVisible(box));
    SeenBox question = ReadBox(box);
    EXPECT_EQ(L"Tarvo Markwise Kaldırma", question.caption);
    EXPECT_EQ(0u, question.text.find(L"Tarvo Markwise kaldırılsın mı?\n\n"));
    EXPECT_TRUE(question.hasYesNo);
    Answer(box, IDNO);
    EXPECT_TRUE(IsWindow(run.window));
    Press(Control(ID_CANCEL_BUTTON));
    ExpectExitCode(0);
    EXPECT_TRUE(Exists(appPath));
    EXPECT_TRUE(Exists(uninstallerPath));
    EXPECT_TRUE(Exists(desktopLink));
    EXPECT_EQ(command, UninstallCommand());

    // "Yes": everything goes, the uninstaller and its folder a little later.
    SeenBox done;
    UninstallConfirmed(command, &done);
    EXPECT_EQ(L"Tarvo Markwise Kaldırma", done.caption);
    EXPECT_EQ(0u, done.text.find(L"Tarvo Markwise kaldırıldı. "));
    EXPECT_FALSE(Exists(appPath));
    EXPECT_FALSE(Exists(desktopLink));
    EXPECT_FALSE(Exists(startMenuFolder));
    EXPECT_EQ(L"", UninstallCommand());
    EXPECT_TRUE(WaitUntilGone(uninstallerPath, 15000));
    EXPECT_TRUE(WaitUntilGone(installDir, 5000));
}

TEST_F(SetupRunTest, SignedSetupFilesInstallWithTheirSignatureInPlace)
{
    for (const wchar_t *name : {L"signed\\signed.exe", L"signed\\signed-unaligned.exe"}) {
        SCOPED_TRACE(WideToUtf8(name));
        Bytes signedFile = ReadBytes(BuildFile(name));
        ASSERT_FALSE(signedFile.empty());
        ASSERT_TRUE(WriteBytes(setupPath, signedFile));
        StartSetupFile();
        Press(Control(ID_PRIMARY_BUTTON));
        ASSERT_TRUE(WaitForText(Control(ID_PRIMARY_BUTTON), L"Programı Aç", 30000));
        EXPECT_EQ(kInstalledStatus, TextOf(Controls(run.window)[7].handle));
        EXPECT_EQ(ReadBytes(BuildFile(L"TarvoStandin.exe")), ReadBytes(appPath));
        EXPECT_EQ(signedFile, ReadBytes(uninstallerPath));
        Press(Control(ID_CANCEL_BUTTON));
        ExpectExitCode(0);
    }
}

TEST_F(SetupRunTest, TheDownloadedSetupFileUninstallsButStaysItself)
{
    InstallAndClose();
    Bytes download = ReadBytes(setupPath);

    UninstallConfirmed(L"\"" + setupPath + L"\" --uninstall");
    EXPECT_TRUE(WaitUntilGone(uninstallerPath, 15000));
    EXPECT_TRUE(WaitUntilGone(installDir, 5000));
    EXPECT_FALSE(Exists(desktopLink));
    EXPECT_EQ(L"", UninstallCommand());
    EXPECT_EQ(download, ReadBytes(setupPath));
}

TEST_F(SetupRunTest, ADamagedDownloadKeepsTheInstalledApplicationWholeAndRunnable)
{
    InstallAndClose();
    Bytes damaged = ReadBytes(setupPath);
    damaged[damaged.size() - 24 - 1000] ^= 0x40;
    ASSERT_TRUE(WriteBytes(setupPath, damaged));

    StartSetupFile();
    Press(Control(ID_PRIMARY_BUTTON));
    HWND box = WaitForBox();
    ASSERT_NE((HWND)NULL, box);
    EXPECT_EQ(L"Tarvo Markwise 1.0.2 Kurulumu", ReadBox(box).caption);
    Answer(box, IDOK);
    Press(Control(ID_CANCEL_BUTTON));
    ExpectExitCode(0);
    EXPECT_EQ(ReadBytes(BuildFile(L"TarvoStandin.exe")), ReadBytes(appPath));
    EXPECT_FALSE(Exists(partialPath));
    EXPECT_TRUE(ApplicationRuns(appPath, installDir));
}

// A download renamed and replaced while the window is open (a sync client,
// a share) is not what the window installs: the application and the
// uninstaller both come from the file that was started.
TEST_F(SetupRunTest, ASetupFileReplacedWhileTheWindowIsOpenInstallsWhatWasStarted)
{
    const Bytes started = ReadBytes(setupPath);
    StartSetupFile();
    ASSERT_TRUE(MoveFileW(setupPath.c_str(), (setupPath + L".eski").c_str()));
    ASSERT_TRUE(WriteBytes(setupPath, PackageFile(ReadBytes(BuildFile(L"setup.exe")), RandomBytes(5000, 21))));
    Press(Control(ID_PRIMARY_BUTTON));
    ASSERT_TRUE(WaitForText(Control(ID_PRIMARY_BUTTON), L"Programı Aç", 30000));
    Press(Control(ID_CANCEL_BUTTON));
    ExpectExitCode(0);
    EXPECT_EQ(ReadBytes(BuildFile(L"TarvoStandin.exe")), ReadBytes(appPath));
    EXPECT_EQ(started, ReadBytes(uninstallerPath));
}

TEST_F(SetupRunTest, TheUninstallerStartedDirectlyKeepsAUsersFileAndItsFolder)
{
    InstallAndClose();
    std::wstring userFile = installDir + L"\\etiketler.tmw";
    ASSERT_TRUE(WriteBytes(userFile, Bytes(321, 9)));

    // Started by its name alone, with no switch, the uninstaller uninstalls.
    UninstallConfirmed(L"\"" + uninstallerPath + L"\"");
    EXPECT_TRUE(WaitForInterpretersOf(run.id, 15000));
    EXPECT_FALSE(Exists(uninstallerPath));
    EXPECT_EQ(Bytes(321, 9), ReadBytes(userFile));
    EXPECT_TRUE(IsDirectory(installDir));
}

TEST_F(SetupRunTest, ASetupFileWithoutPackageShowsTheErrorAndOffersItsButtonsAgain)
{
    ASSERT_TRUE(CopyFileW(BuildFile(L"setup.exe").c_str(), setupPath.c_str(), FALSE));
    StartSetupFile();
    // Enter struck twice: the second one, queued while the install ran, does
    // not close the error box unread. Esc struck after it closes the box;
    // had the second Enter closed it, Esc would close the window, and the
    // Tab after it would move no focus.
    ASSERT_TRUE(WaitForFront(run.window, Control(ID_PRIMARY_BUTTON), 10000));
    ASSERT_TRUE(StrikeKeyQueued(run.window, VK_RETURN, 2));
    HWND box = WaitForBox();
    ASSERT_NE((HWND)NULL, box);
    SeenBox error = ReadBox(box);
    EXPECT_EQ(L"Tarvo Markwise 1.0.2 Kurulumu", error.caption);
    EXPECT_EQ(std::wstring(L"Kurulum tamamlanamadı. ") + kDamagedPackageCause, error.text);
    EXPECT_FALSE(error.hasYesNo);
    EXPECT_FALSE(IsWindowEnabled(Control(ID_PRIMARY_BUTTON)));
    StrikeKey(VK_ESCAPE, 1);
    EXPECT_TRUE(WaitForClose(box, 10000));
    StrikeKey(VK_TAB, 1);
    ASSERT_TRUE(WaitForFocus(run.window, Control(ID_CANCEL_BUTTON), 10000));
    std::vector<ControlFacts> controls = Controls(run.window);
    ASSERT_EQ(10u, controls.size());
    EXPECT_TRUE(WaitForText(controls[7].handle, L"Kurulum tamamlanamadı.", 5000));
    EXPECT_EQ(L"Kur", TextOf(Control(ID_PRIMARY_BUTTON)));
    EXPECT_EQ(L"Vazgeç", TextOf(Control(ID_CANCEL_BUTTON)));
    EXPECT_TRUE(IsWindowEnabled(Control(ID_PRIMARY_BUTTON)));
    EXPECT_TRUE(IsWindowEnabled(Control(ID_CANCEL_BUTTON)));
    EXPECT_FALSE(Exists(appPath));
    EXPECT_FALSE(Exists(desktopLink));
    Press(Control(ID_CANCEL_BUTTON));
    ExpectExitCode(0);
}

TEST_F(SetupRunTest, TheKeyboardAloneInstallsOpensUninstallsAndCloses)
{
    // Esc closes the window as it opens; the primary button has the focus.
    StartSetupFile();
    EXPECT_TRUE(WaitForFocus(run.window, Control(ID_PRIMARY_BUTTON), 5000));
    PressKey(FocusOf(run.window), VK_ESCAPE);
    ExpectExitCode(0);

    // Tab goes to "Vazgeç" and back; Enter on "Kur" installs, after which the
    // primary button has the focus again and Esc closes.
    StartSetupFile();
    ASSERT_TRUE(WaitForFocus(run.window, Control(ID_PRIMARY_BUTTON), 5000));
    PressKey(FocusOf(run.window), VK_TAB);
    EXPECT_TRUE(WaitForFocus(run.window, Control(ID_CANCEL_BUTTON), 5000));
    PressKey(FocusOf(run.window), VK_TAB);
    ASSERT_TRUE(WaitForFocus(run.window, Control(ID_PRIMARY_BUTTON), 5000));
    PressKey(FocusOf(run.window), VK_RETURN);
    ULONGLONG pressedAt = GetTickCount64();
    ASSERT_TRUE(WaitForText(Control(ID_PRIMARY_BUTTON), L"Programı Aç", 30000));
    EXPECT_TRUE(WaitForFocus(run.window, Control(ID_PRIMARY_BUTTON), 5000));
    PressKey(FocusOf(run.window), VK_ESCAPE);
    ExpectExitCode(0);

    // Enter where no button has the focus presses the default one; Space
    // presses the focused one, here "Programı Aç".
    StartSetupFile();
    ASSERT_TRUE(WaitForFocus(run.window, Control(ID_PRIMARY_BUTTON), 5000));
    PressKey(run.window, VK_RETURN);
    pressedAt = GetTickCount64();
    ASSERT_TRUE(WaitForText(Control(ID_PRIMARY_BUTTON), L"Programı Aç", 30000));
    AfterDoubleClickTime(pressedAt);
    PressKey(FocusOf(run.window), VK_SPACE);
    EXPECT_TRUE(WaitForStandInStarts(1, 20000));
    CloseStandIns();
    PressKey(FocusOf(run.window), VK_ESCAPE);
    ExpectExitCode(0);

    // Uninstall: Enter asks; Tab and Enter answer No, Enter answers Yes, and
    // Esc closes the completion box, not the window behind it.
    Start(UninstallCommand());
    ASSERT_TRUE(WaitForFocus(run.window, Control(ID_PRIMARY_BUTTON), 5000));
    PressKey(FocusOf(run.window), VK_RETURN);
    HWND box = WaitForBox();
    ASSERT_NE((HWND)NULL, box);
    PressKey(FocusOf(box), VK_TAB);
    ASSERT_TRUE(WaitForFocus(box, GetDlgItem(box, IDNO), 5000));
    PressKey(FocusOf(box), VK_RETURN);
    EXPECT_TRUE(WaitForClose(box, 5000));
    EXPECT_TRUE(WaitForFocus(run.window, Control(ID_PRIMARY_BUTTON), 5000));
    EXPECT_TRUE(Exists(appPath));
    PressKey(FocusOf(run.window), VK_RETURN);
    box = WaitForBox();
    ASSERT_NE((HWND)NULL, box);
    PressKey(FocusOf(box), VK_RETURN);
    HWND done = WaitForBox(box);
    ASSERT_NE((HWND)NULL, done);
    EXPECT_EQ(0u, ReadBox(done).text.find(L"Tarvo Markwise kaldırıldı."));
    PressKey(FocusOf(done), VK_ESCAPE);
    ExpectExitCode(0);
    EXPECT_FALSE(Exists(appPath));
    EXPECT_TRUE(WaitUntilGone(installDir, 15000));
}

// A double-click on "Kur" at human speed: the second click comes 0, 150 or
// 300 ms after the first, and with the small stand-in the install may be
// over before it arrives. Neither click opens the application; a deliberate
// press after the double-click time does, once. The double-click time is
// raised for the scenario so that a slow machine still sends the second
// click within it; the gaps stay those of a person.
TEST_F(SetupRunTest, ADoubleClickOnKurInstallsButDoesNotOpenTheApplication)
{
    const UINT systemTime = GetDoubleClickTime();
    // Over once the buttons are back and the primary one has the focus.
    auto waitForInstalled = [this]() {
        return WaitForText(Control(ID_PRIMARY_BUTTON), L"Programı Aç", 30000) &&
               WaitForFocus(run.window, Control(ID_PRIMARY_BUTTON), 10000);
    };
    ASSERT_TRUE(SetDoubleClickTime(3000));
    for (DWORD gap : {0, 150, 300}) {
        SCOPED_TRACE("second click after " + std::to_string(gap) + " ms");
        StartSetupFile();
        SetForegroundWindow(run.window);
        Click(Control(ID_PRIMARY_BUTTON), gap ? 1 : 2);
        ULONGLONG pressedAt = GetTickCount64();
        if (gap) {
            Sleep(gap);
            ASSERT_TRUE(waitForInstalled());
            Click(Control(ID_PRIMARY_BUTTON), 1);
        }
        ASSERT_TRUE(waitForInstalled());
        // The Tab moves the focus only once the clicks before it were taken,
        // and a start they caused would have made its process by then.
        StrikeKey(VK_TAB, 1);
        ASSERT_TRUE(WaitForFocus(run.window, Control(ID_CANCEL_BUTTON), 10000));
        EXPECT_EQ(0, RunningApplications());
        AfterDoubleClickTime(pressedAt);
        Press(Control(ID_PRIMARY_BUTTON));
        ASSERT_TRUE(WaitForStandInStarts(1, 20000));
        EXPECT_EQ(1, RunningApplications());
        CloseStandIns();
        UseStandInRecord(Path(L"standin-" + std::to_wstring(gap) + L".txt"));
        Press(Control(ID_CANCEL_BUTTON));
        ExpectExitCode(0);
    }
    SetDoubleClickTime(systemTime);
}

// The screen's DPI for the programs started from now on, as the display
// settings give it; 0 for the default.
static void SetScreenDpi(DWORD dpi)
{
    HKEY key;

    if (RegCreateKeyExW(HKEY_CURRENT_USER, L"Control Panel\\Desktop", 0, NULL, 0, KEY_SET_VALUE, NULL, &key, NULL) != ERROR_SUCCESS)
        return;
    if (dpi)
        RegSetValueExW(key, L"LogPixels", 0, REG_DWORD, (const BYTE *)&dpi, sizeof dpi);
    else
        RegDeleteValueW(key, L"LogPixels");
    RegCloseKey(key);
}

// Every control inside the client area, and every static's text within its
// rectangle, measured with the fonts the program makes for this DPI. (The
// program's font handles belong to its own process.)
static void ExpectEverythingFits(HWND window, int dpi)
{
    RECT client;
    HDC dc = CreateCompatibleDC(NULL);
    std::vector<ControlFacts> controls = Controls(window);

    GetClientRect(window, &client);
    for (size_t i = 0; i < controls.size(); ++i) {
        const ControlFacts &control = controls[i];
        SCOPED_TRACE("control " + std::to_string(i + 1) + " " + WideToUtf8(control.text));
        EXPECT_GE(control.rect.left, client.left);
        EXPECT_GE(control.rect.top, client.top);
        EXPECT_LE(control.rect.right, client.right);
        EXPECT_LE(control.rect.bottom, client.bottom);
        if (_wcsicmp(control.className.c_str(), L"Static") != 0) continue;
        HFONT font = CreateFontW(-MulDiv(i == 0 ? 28 : 9, dpi, 72), 0, 0, 0, i == 0 ? FW_BOLD : FW_NORMAL, FALSE, FALSE,
                                 FALSE, TURKISH_CHARSET, OUT_TT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                                 FF_SWISS | DEFAULT_PITCH, L"Arial");
        HGDIOBJ previous = SelectObject(dc, font);
        RECT needed = {0, 0, control.rect.right - control.rect.left, 0};
        DrawTextW(dc, control.text.c_str(), -1, &needed, DT_CALCRECT | DT_WORDBREAK);
        EXPECT_LE(needed.right, control.rect.right - control.rect.left);
        EXPECT_LE(needed.bottom, control.rect.bottom - control.rect.top);
        SelectObject(dc, previous);
        DeleteObject(font);
    }
    DeleteDC(dc);
}

// The pixels with the two buttons blanked out: Wine draws a button's text a
// pixel apart from one process to another even at the same DPI, so their
// faces are compared by their rectangles alone.
static Bytes WithoutButtons(const WindowFacts &facts)
{
    Bytes pixels = facts.pixels;

    for (size_t i = facts.controls.size() - 2; i < facts.controls.size(); ++i)
        for (LONG y = facts.controls[i].top; y < facts.controls[i].bottom; ++y)
            for (LONG x = facts.controls[i].left; x < facts.controls[i].right; ++x)
                if (x >= 0 && y >= 0 && x < facts.client.cx && y < facts.client.cy)
                    memset(&pixels[((size_t)y * facts.client.cx + x) * 4], 0, 4);
    return pixels;
}

// The same layout within a pixel, and the same picture.
static void ExpectSameWindow(const WindowFacts &expected, const WindowFacts &seen, int tolerance)
{
    EXPECT_NEAR(expected.client.cx, seen.client.cx, tolerance);
    EXPECT_NEAR(expected.client.cy, seen.client.cy, tolerance);
    ASSERT_EQ(expected.controls.size(), seen.controls.size());
    for (size_t i = 0; i < expected.controls.size(); ++i) {
        SCOPED_TRACE("control " + std::to_string(i + 1));
        EXPECT_NEAR(expected.controls[i].left, seen.controls[i].left, tolerance);
        EXPECT_NEAR(expected.controls[i].top, seen.controls[i].top, tolerance);
        EXPECT_NEAR(expected.controls[i].right, seen.controls[i].right, tolerance);
        EXPECT_NEAR(expected.controls[i].bottom, seen.controls[i].bottom, tolerance);
    }
    EXPECT_TRUE(WithoutButtons(expected) == WithoutButtons(seen)) << "the client areas are drawn differently";
}

// WM_DPICHANGED as Windows sends it: the new DPI in both words, and the
// window's client area scaled to it, under the frame at that DPI, as the
// suggested place.
static void SendDpiChange(HWND window, int from, int to)
{
    RECT outer, client;

    GetWindowRect(window, &outer);
    GetClientRect(window, &client);
    RECT suggested = {0, 0, MulDiv(client.right, to, from), MulDiv(client.bottom, to, from)};
    AdjustWindowRectExForDpi(&suggested, WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, FALSE, 0, to);
    OffsetRect(&suggested, outer.left - suggested.left, outer.top - suggested.top);
    SendMessageW(window, WM_DPICHANGED, MAKEWPARAM(to, to), (LPARAM)&suggested);
}


TEST_F(SetupRunTest, AtEveryScalingTheLayoutGrowsAndEveryTextFits)
{
    std::map<int, WindowFacts> opened;

    for (int dpi : {96, 120, 144, 192}) {
        SCOPED_TRACE(std::to_string(dpi) + " DPI");
        const std::wstring suffix = L"-" + std::to_wstring(dpi) + L".bmp";
        SetScreenDpi(dpi);
        StartSetupFile();
        EXPECT_EQ(MulDiv(100, dpi, 96), Controls(run.window)[8].rect.right - Controls(run.window)[8].rect.left);
        ExpectEverythingFits(run.window, dpi);
        ASSERT_TRUE(WaitUntilDrawn(run.window, 10000));
        opened[dpi] = ReadWindow(run.window);
        EXPECT_TRUE(SaveWindowBitmap(run.window, ArtifactPath(L"install-window" + suffix)));
        Press(Control(ID_PRIMARY_BUTTON));
        ASSERT_TRUE(WaitForText(Control(ID_PRIMARY_BUTTON), L"Programı Aç", 30000));
        ExpectEverythingFits(run.window, dpi);
        ASSERT_TRUE(WaitUntilDrawn(run.window, 10000));
        EXPECT_TRUE(SaveWindowBitmap(run.window, ArtifactPath(L"install-finished" + suffix)));
        Press(Control(ID_CANCEL_BUTTON));
        ExpectExitCode(0);

        Start(UninstallCommand());
        ExpectEverythingFits(run.window, dpi);
        ASSERT_TRUE(WaitUntilDrawn(run.window, 10000));
        EXPECT_TRUE(SaveWindowBitmap(run.window, ArtifactPath(L"uninstall-window" + suffix)));
        Press(Control(ID_CANCEL_BUTTON));
        ExpectExitCode(0);

        // The help box names the file that runs and gives each switch a
        // line of its own, its description indented below: no tab columns,
        // which a proportional font never lines up.
        for (const std::wstring &file : {setupPath, uninstallerPath}) {
            if (dpi != 96 && dpi != 144 && file == setupPath) continue;
            if (dpi != 96 && file == uninstallerPath) continue;
            EndSetup(&run);
            run = LaunchSetup(L"\"" + file + L"\" /?", downloads, L"#32770");
            ASSERT_NE((HWND)NULL, run.window);
            SeenBox help = ReadBox(run.window);
            const std::wstring name = file.substr(file.rfind(L'\\') + 1);
            EXPECT_EQ(0u, help.text.find(L"Kullanım: " + name + L" [seçenekler]\n\n--silent (/S, /VERYSILENT, /quiet, /qn)\n    "))
                << WideToUtf8(help.text);
            EXPECT_EQ(std::wstring::npos, help.text.find(L'\t'));
            if (file == setupPath) {
                ASSERT_TRUE(WaitUntilDrawn(run.window, 10000));
                EXPECT_TRUE(SaveWindowBitmap(run.window, ArtifactPath(L"help-box" + suffix)));
            }
            Answer(run.window, IDOK);
            ExpectExitCode(0);
        }
        // The next scaling starts from nothing installed.
        RemoveTree(installDir);
        RegDeleteKeyW(HKEY_CURRENT_USER, kUninstallKeyPath);
    }
    SetScreenDpi(0);

    // A window of this process, opened at 96 DPI, moved to a monitor of
    // each other scale and back, lays out and draws as one opened there.
    // (Wine has one screen and never sends the message itself.)
    SavedState saved;
    SetPathGlobals(installDir, setupPath);
    gInstance = GetModuleHandleW(NULL);
    gUninstallMode = gExistingInstall = 0;
    HWND window = OpenSetupWindow(SW_SHOWNORMAL);
    ASSERT_NE((HWND)NULL, window);
    // Active with the focus on its primary button, as the other was.
    SetForegroundWindow(window);
    SetFocus(gInstallButton);
    ExpectSameWindow(opened[96], PumpUntilDrawn(window), 0);
    for (int dpi : {120, 144, 192}) {
        SCOPED_TRACE("96 to " + std::to_string(dpi) + " DPI and back");
        SendDpiChange(window, 96, dpi);
        ExpectSameWindow(opened[dpi], PumpUntilDrawn(window), 1);
        if (dpi == 144) {
            EXPECT_TRUE(SaveWindowBitmap(window, ArtifactPath(L"install-window-96-to-144.bmp")));
        }
        SendDpiChange(window, dpi, 96);
        ExpectSameWindow(opened[96], PumpUntilDrawn(window), 0);
    }
    // The keyboard works as before: the focus on the primary button, which
    // is the default one; Tab moves on; Esc closes the window.
    SendDpiChange(window, 96, 144);
    PumpUntilDrawn(window);
    EXPECT_EQ(gInstallButton, GetFocus());
    EXPECT_EQ(MAKELRESULT(ID_PRIMARY_BUTTON, DC_HASDEFID), SendMessageW(window, DM_GETDEFID, 0, 0));
    PostMessageW(GetFocus(), WM_KEYDOWN, VK_TAB, 0);
    PumpUntilDrawn(window);
    EXPECT_EQ(gCancelButton, GetFocus());
    PostMessageW(GetFocus(), WM_KEYDOWN, VK_ESCAPE, 0);
    PumpUntilDrawn(window);
    EXPECT_FALSE(IsWindow(window));
    CloseSetupResources();
    MSG quit;
    while (PeekMessageW(&quit, NULL, WM_QUIT, WM_QUIT, PM_REMOVE)) {
    }
}
