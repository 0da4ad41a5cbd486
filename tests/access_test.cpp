// The window for people who do not see it well: a screen reader hears every
// status, finds every control named and the window read as a dialog, and is
// answered while the setup works; a high-contrast scheme colours the whole
// window. Wine's accessibility annotations are stubs and it cannot switch
// high contrast on, so those are recorded and pretended through the fault
// layer; the announcements and the answers are the real ones.
#include "fault_layer.h"
#include "setup_run.h"
#include "texts.h"

#include <commctrl.h>
#include <oleacc.h>

class AccessTest : public SetupRunTest {
protected:
    // As the program's start-up does before its window.
    void SetUp() override
    {
        SetupRunTest::SetUp();
        CoInitializeEx(NULL, COINIT_APARTMENTTHREADED);
    }
    void TearDown() override
    {
        CoUninitialize();
        SetupRunTest::TearDown();
    }
    // The setup window opened in this process, on the scratch profile.
    HWND OpenHere(int uninstall)
    {
        SetPathGlobals(installDir, setupPath);
        gInstance = GetModuleHandleW(NULL);
        gUninstallMode = uninstall;
        gExistingInstall = 0;
        gInstalled = 0;
        HWND window = OpenSetupWindow(SW_SHOWNORMAL);
        if (window) SetForegroundWindow(window);
        return window;
    }
    void CloseHere(HWND window)
    {
        MSG quit;
        DestroyWindow(window);
        CloseSetupResources();
        while (PeekMessageW(&quit, NULL, WM_QUIT, WM_QUIT, PM_REMOVE)) {
        }
    }
    static long Recorded(HWND window, const GUID &property)
    {
        long number = -1;
        for (const Annotation &annotation : Annotations())
            if (annotation.window == window && IsEqualGUID(annotation.property, property)) number = annotation.number;
        return number;
    }
    SavedState saved;
};

// UI Automation's live setting, as the program annotates it: 1 polite, 2
// assertive.
static const GUID kLiveSetting = {0xc12bcd8e, 0x2a8e, 0x4950, {0x8a, 0xe7, 0x36, 0x25, 0x11, 0x1d, 0x58, 0xeb}};

TEST_F(AccessTest, AScreenReaderHearsEveryStatusFindsEveryNameAndIsAnsweredWhileTheSetupWorks)
{
    // Names and role: the window a dialog, the bar named, the status line a
    // polite live region that turns assertive for a failure. The focus
    // returns to the primary button once it is enabled again. (Wine refuses
    // SetFocus on a disabled control, so the focus lost on Windows when the
    // failure's box closed cannot be shown here, only where it ends.)
    const std::wstring damaged = Path(L"damaged.exe");
    Bytes bytes = ReadBytes(setupPath);
    bytes[bytes.size() - 24 - 100] ^= 0x10;
    ASSERT_TRUE(WriteBytes(damaged, bytes));
    RecordAnnotations();
    HWND window = OpenHere(0);
    ASSERT_NE((HWND)NULL, window);
    EXPECT_EQ(ROLE_SYSTEM_DIALOG, Recorded(window, PROPID_ACC_ROLE));
    EXPECT_EQ(1, Recorded(gStatus, kLiveSetting));
    bool named = false;
    for (const Annotation &annotation : Annotations())
        named |= annotation.window == gProgress && IsEqualGUID(annotation.property, PROPID_ACC_NAME) &&
                 annotation.text == kProgressName;
    EXPECT_TRUE(named) << "the progress bar has no name";
    lstrcpynW(gSelfPath, damaged.c_str(), SETUP_PATH_CAPACITY);
    {
        BoxAnswerer answerer({IDOK});
        InstallNow();
        EXPECT_EQ(1u, answerer.Seen().size());
    }
    EXPECT_EQ(2, Recorded(gStatus, kLiveSetting));
    EXPECT_TRUE(IsWindowEnabled(gInstallButton));
    EXPECT_EQ(gInstallButton, GetFocus());
    CloseHere(window);

    // Every status change is announced: a failed install, then a slow one,
    // which answers a reader's questions while its bar moves.
    LiveRegionListener listener;
    Start(L"\"" + damaged + L"\"");
    Press(Control(ID_PRIMARY_BUTTON));
    HWND box = WaitForBox();
    ASSERT_NE((HWND)NULL, box);
    Answer(box, IDOK);
    ASSERT_TRUE(WaitForText(Controls(run.window)[7].handle, kInstallFailedStatus, 20000));
    EXPECT_EQ(std::vector<std::wstring>({kWorkingStatus, kInstallFailedStatus}), listener.Heard(run.id));
    Press(Control(ID_CANCEL_BUTTON));
    ExpectExitCode(0);

    const std::wstring slow = Path(L"slow.exe");
    ASSERT_TRUE(WriteBytes(slow, PackageFile(ReadBytes(BuildFile(L"setup.exe")), RandomBytes(256u << 20, 39))));
    Start(L"\"" + slow + L"\"");
    HWND status = Controls(run.window)[7].handle;
    HWND bar = Control(ID_PROGRESS_BAR);
    int answered = 0;
    Press(Control(ID_PRIMARY_BUTTON));
    while (TextOf(Control(ID_PRIMARY_BUTTON)) != kOpenButtonText && WaitForSingleObject(run.process, 0) == WAIT_TIMEOUT) {
        // A reading counts while the bar stands part-way, before and after it.
        wchar_t text[256] = {0};
        LRESULT before = SendMessageW(bar, PBM_GETPOS, 0, 0);
        SendMessageW(status, WM_GETTEXT, 256, (LPARAM)text);
        LRESULT after = SendMessageW(bar, PBM_GETPOS, 0, 0);
        if (before > 0 && after < PROGRESS_MAX && before <= after && text == std::wstring(kWorkingStatus)) ++answered;
    }
    EXPECT_GT(answered, 0) << "the window answered nothing while its bar moved";
    std::vector<std::wstring> heard = listener.Heard(run.id);
    ASSERT_EQ(2u, heard.size());
    EXPECT_EQ(kWorkingStatus, heard[0]);
    EXPECT_EQ(0u, heard[1].find(L"Kurulum tamamlandı. "));
    Press(Control(ID_CANCEL_BUTTON));
    ExpectExitCode(0);
}

// Windows' "High Contrast Black": the elements the window and its controls
// draw with.
static const int kElements[] = {COLOR_WINDOW,  COLOR_WINDOWTEXT, COLOR_HIGHLIGHT, COLOR_HIGHLIGHTTEXT,
                                COLOR_BTNFACE, COLOR_BTNTEXT,    COLOR_GRAYTEXT,  COLOR_3DHILIGHT,
                                COLOR_3DLIGHT, COLOR_3DSHADOW,   COLOR_3DDKSHADOW, COLOR_WINDOWFRAME};
static const COLORREF kScheme[] = {RGB(0, 0, 0),       RGB(255, 255, 255), RGB(26, 235, 255),  RGB(0, 0, 0),
                                   RGB(0, 0, 0),       RGB(255, 255, 255), RGB(63, 242, 63),   RGB(255, 255, 255),
                                   RGB(255, 255, 255), RGB(255, 255, 255), RGB(255, 255, 255), RGB(255, 255, 255)};
static const int kElementCount = sizeof kElements / sizeof kElements[0];

// The pixels that are neither a colour of the scheme nor a blend of two of
// them (the edges of smoothed text), as "x,y" for the first few.
static std::string OutsideScheme(const WindowFacts &facts)
{
    std::string outside;
    int count = 0;
    for (LONG y = 0; y < facts.client.cy; ++y) {
        for (LONG x = 0; x < facts.client.cx; ++x) {
            const unsigned char *p = &facts.pixels[((size_t)y * facts.client.cx + x) * 4];
            double pixel[3] = {(double)p[2], (double)p[1], (double)p[0]};
            bool inside = false;
            for (int a = 0; a < kElementCount && !inside; ++a) {
                for (int b = a; b < kElementCount && !inside; ++b) {
                    double from[3] = {(double)GetRValue(kScheme[a]), (double)GetGValue(kScheme[a]), (double)GetBValue(kScheme[a])};
                    double to[3] = {(double)GetRValue(kScheme[b]), (double)GetGValue(kScheme[b]), (double)GetBValue(kScheme[b])};
                    double along = 0, length = 0, distance = 0;
                    for (int c = 0; c < 3; ++c) {
                        along += (pixel[c] - from[c]) * (to[c] - from[c]);
                        length += (to[c] - from[c]) * (to[c] - from[c]);
                    }
                    double t = length > 0 ? along / length : 0;
                    t = t < 0 ? 0 : t > 1 ? 1 : t;
                    for (int c = 0; c < 3; ++c) {
                        double off = pixel[c] - (from[c] + t * (to[c] - from[c]));
                        distance += off * off;
                    }
                    inside = distance <= 8 * 8;
                }
            }
            if (!inside && count++ < 5)
                outside += std::to_string(x) + "," + std::to_string(y) + " (" + std::to_string(p[2]) + "," +
                           std::to_string(p[1]) + "," + std::to_string(p[0]) + ") ";
        }
    }
    return count ? std::to_string(count) + " pixels, first " + outside : "";
}

TEST_F(AccessTest, AHighContrastSchemeColoursTheWholeWindow)
{
    COLORREF before[kElementCount];
    for (int i = 0; i < kElementCount; ++i) before[i] = GetSysColor(kElements[i]);
    struct Restore {
        const COLORREF *colours;
        ~Restore()
        {
            PretendHighContrast(false);
            SetSysColors(kElementCount, kElements, colours);
        }
    } restore = {before};

    // Off: today's colours. Switched on while the window is open: the
    // scheme's everywhere, without a restart.
    HWND window = OpenHere(0);
    ASSERT_NE((HWND)NULL, window);
    PumpUntilDrawn(window);
    EXPECT_EQ(RGB(16, 28, 47), ClientPixel(window, 10, 380));
    PretendHighContrast(true);
    SetSysColors(kElementCount, kElements, kScheme);
    SendMessageW(window, WM_SETTINGCHANGE, SPI_SETHIGHCONTRAST, 0);
    EXPECT_EQ("", OutsideScheme(PumpUntilDrawn(window))) << "switched on while open";
    CloseHere(window);

    // On at start, installing, installed, and the uninstall window.
    window = OpenHere(0);
    ASSERT_NE((HWND)NULL, window);
    EXPECT_EQ("", OutsideScheme(PumpUntilDrawn(window))) << "on at start";
    EXPECT_TRUE(SaveWindowBitmap(window, ArtifactPath(L"install-window-high-contrast.bmp")));
    InstallNow();
    ASSERT_EQ(1, gInstalled);
    EXPECT_EQ("", OutsideScheme(PumpUntilDrawn(window))) << "installed";
    EXPECT_TRUE(SaveWindowBitmap(window, ArtifactPath(L"install-finished-high-contrast.bmp")));
    CloseHere(window);
    window = OpenHere(1);
    ASSERT_NE((HWND)NULL, window);
    EXPECT_EQ("", OutsideScheme(PumpUntilDrawn(window))) << "uninstall window";
    EXPECT_TRUE(SaveWindowBitmap(window, ArtifactPath(L"uninstall-window-high-contrast.bmp")));
    CloseHere(window);
}
