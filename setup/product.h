// Facts about the product that the program, its help box and the release's
// package manifest all use: each has one home here, so they cannot drift
// apart. tools/make_manifest.py reads this file.
#ifndef TARVO_PRODUCT_H
#define TARVO_PRODUCT_H

#define PRODUCT_NAME L"Tarvo Markwise"
#define PRODUCT_VERSION L"1.0.2"
#define PRODUCT_PUBLISHER L"Tarvo Sistem Ltd. Şti."
// The name of the uninstall entry's key, under
// HKCU\Software\Microsoft\Windows\CurrentVersion\Uninstall.
#define PRODUCT_ENTRY_KEY L"TarvoMarkwise"

// Switches, compared without regard to case. The first of each list is the
// program's own spelling; the others are those administrators reach for.
#define SILENT_SWITCHES {L"--silent", L"/S", L"/VERYSILENT", L"/quiet", L"/qn"}
#define PASSIVE_SWITCHES {L"--passive", L"/SILENT", L"/passive"}
#define HELP_SWITCHES {L"--help", L"/?"}
// A running Tarvo Markwise is closed, with the user's leave in the window,
// and opened again after an unattended install; these keep it open (the run
// then ends with 32) or closed.
#define NO_CLOSE_SWITCHES {L"--no-close", L"/NOCLOSEAPPLICATIONS"}
#define NO_REOPEN_SWITCHES {L"--no-reopen", L"/NORESTARTAPPLICATIONS"}
// A newer installed version is replaced only with the user's leave in the
// window; these give it for every mode.
#define ALLOW_DOWNGRADE_SWITCHES {L"--allow-downgrade", L"/ALLOWDOWNGRADE"}
// Followed by the log file's path as the next argument, or joined to it.
#define LOG_SWITCH L"--log"
#define LOG_SWITCH_JOINED L"/LOG="

// Exit codes of silent and passive runs: the code, its name in the program,
// the response a package manager gives it, and its meaning as the help box
// tells it. Windows error codes, so that deployment tools recognise them.
#define SETUP_EXIT_CODES(X)                                                                          \
    X(0, EXIT_DONE, "", L"başarılı")                                                                 \
    X(32, EXIT_APPLICATION_RUNNING, "packageInUse", L"Tarvo Markwise açık; kapatıp yeniden deneyin") \
    X(82, EXIT_FOLDER_NOT_MADE, "contactSupport", L"kurulum klasörü oluşturulamadı")                \
    X(87, EXIT_BAD_LOG_PATH, "invalidParameter", L"günlük dosyasının yolu 259 karakterden uzun; hiçbir şey yapılmadı") \
    X(112, EXIT_DISK_FULL, "diskFull", L"diskte yeterli yer yok")                                    \
    X(1603, EXIT_FAILED, "contactSupport", L"başka bir hata; ayrıntılar günlükte")                  \
    X(1618, EXIT_BUSY, "installInProgress", L"başka bir kurulum veya kaldırma sürüyor; sonra yeniden deneyin") \
    X(1620, EXIT_PACKAGE_DAMAGED, "contactSupport", L"kurulum dosyası bozuk veya eksik; yeniden indirin") \
    X(1625, EXIT_SERVICE_ACCOUNT, "blockedByPolicy", L"bir hizmet hesabıyla (SYSTEM) çalıştırıldı; kullanıcının oturumunda çalıştırın") \
    X(1638, EXIT_NEWER_INSTALLED, "downgrade", L"daha yeni bir sürüm kurulu; hiçbir şey değiştirilmedi")

#define SETUP_EXIT_CODE_ENUM(code, name, response, meaning) name = code,
enum SetupExitCode { SETUP_EXIT_CODES(SETUP_EXIT_CODE_ENUM) };
#undef SETUP_EXIT_CODE_ENUM

#endif
