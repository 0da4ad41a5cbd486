// Every Turkish text the user sees, in one place; the product's name and
// version come from its facts.
//
// One term for each thing, here, in product.json and in the help:
//   the user's data          "projeleriniz ve sarf kayıtlarınız"
//   the uninstaller          "kaldırma programı"
//   a drive and its room     "sürücü", "boş alan"
//   nothing was changed      "hiçbir değişiklik yapılmadı"
//   the log                  "günlük dosyası"
// What happened comes first, then what to do: "yeniden deneyin" where the
// window stays open for another try. No text says "Lütfen".
#ifndef TARVO_TEXTS_H
#define TARVO_TEXTS_H

#include "product.h"

static const wchar_t kInstallTitle[] = PRODUCT_NAME L" " PRODUCT_VERSION L" Kurulumu";
static const wchar_t kUninstallTitle[] = PRODUCT_NAME L" Kaldırma";

static const wchar_t kBrandText[] = L"tarvo";
static const wchar_t kInstallBandText[] = L"MARKWISE KURULUMU";
static const wchar_t kUninstallBandText[] = L"MARKWISE KALDIRMA";

static const wchar_t kInstallDescription[] =
    PRODUCT_NAME L" " PRODUCT_VERSION L" kullanıcı hesabınıza kurulacak; yönetici izni gerekmez.";
static const wchar_t kReinstallDescription[] =
    PRODUCT_NAME L" " PRODUCT_VERSION L" kurulacak. Mevcut projeleriniz ve sarf kayıtlarınız korunur.";
static const wchar_t kUninstallDescription[] =
    L"Program kaldırılır; projeleriniz ve sarf kayıtlarınız bilgisayarınızda kalır.";

static const wchar_t kFolderLabel[] = L"Kurulum klasörü";
// The progress bar's name for a screen reader.
static const wchar_t kProgressName[] = L"Kurulum ilerlemesi";
static const wchar_t kInformationText[] =
    L"Çalışma biçimi: " PRODUCT_SUMMARY L"; projeleriniz ve sarf kayıtlarınız kendi klasörlerinizde saklanır. "
    L"Program ağ bağlantısı veya hizmet kurmaz, yalnızca siz açtığınızda çalışır.";
static const wchar_t kReadyStatus[] = L"Kuruluma hazır.";

static const wchar_t kInstallButtonText[] = L"Kur";
static const wchar_t kReinstallButtonText[] = L"Yeniden Kur";
static const wchar_t kUninstallButtonText[] = L"Kaldır";
static const wchar_t kCancelButtonText[] = L"Vazgeç";
static const wchar_t kOpenButtonText[] = L"Programı Aç";
static const wchar_t kCloseButtonText[] = L"Kapat";

static const wchar_t kWorkingStatus[] = L"Ana uygulama doğrulanıyor ve kuruluyor...";
static const wchar_t kInstallFailedStatus[] = L"Kurulum tamamlanamadı.";
// The error box: its first sentence, then what happened and what to do.
static const wchar_t kInstallFailedFirst[] = L"Kurulum tamamlanamadı.";
static const wchar_t kApplicationOpenCause[] = L"Tarvo Markwise açıksa kapatıp kurulumu yeniden çalıştırın.";
static const wchar_t kDamagedPackageCause[] =
    L"Kurulum dosyası bozuk veya eksik indirilmiş. Kurulum dosyasını yeniden indirip çalıştırın.";
// The drive, the room needed and the room free.
static const wchar_t kDiskFullCause[] =
    L"%ls sürücüsünde yeterli boş alan yok: kurulum için %ls gerekiyor, %ls boş. Yer açıp yeniden deneyin.";
// A disk that filled while the install wrote, after the room was checked.
static const wchar_t kDiskFilledCause[] =
    L"%ls sürücüsü kurulum sırasında doldu. Yer açıp yeniden deneyin.";
static const wchar_t kFolderCause[] =
    L"Kurulum klasörü oluşturulamadı:\n%ls\n\nBu adda bir dosya olmadığını ve bu konuma yazma izniniz olduğunu "
    L"denetleyip yeniden deneyin.";
static const wchar_t kApplicationElsewhereCause[] =
    L"Tarvo Markwise başka bir oturumunuzda açık ve buradan kapatılamıyor. O oturumda kapatıp yeniden deneyin.";
static const wchar_t kSetupBusyCause[] =
    L"Tarvo Markwise şu anda başka bir pencerede kuruluyor veya kaldırılıyor. O işlem bitince yeniden deneyin.";
// Any other failure: the system's own message of the error with its code,
// or the code alone where the system has no message, then what to do and,
// when there is one, the log.
static const wchar_t kErrorCodeText[] = L"%ls (hata %lu).";
static const wchar_t kUnknownErrorText[] = L"Beklenmeyen bir hata oluştu (hata %lu).";
static const wchar_t kRetryText[] = L"\n\nYeniden deneyin; sorun sürerse Tarvo Sistem desteğine başvurun.";
static const wchar_t kRetryWithLogText[] =
    L"\n\nYeniden deneyin; sorun sürerse şu günlük dosyasını Tarvo Sistem desteğine iletin:\n%ls";
static const wchar_t kLogPathTooLongText[] =
    L"Günlük dosyasının yolu 259 karakterden uzun olduğu için hiçbir değişiklik yapılmadı. Daha kısa bir günlük "
    L"dosyası yolu seçip programı yeniden çalıştırın.";
static const wchar_t kUninstallFailedFirst[] = L"Tarvo Markwise kaldırılamadı.";
static const wchar_t kInstalledStatus[] = L"Kurulum tamamlandı. Projeleriniz korundu.";

// The installed version, this one, then both again.
static const wchar_t kReplaceNewerQuestion[] =
    L"Bu bilgisayarda Tarvo Markwise %ls kurulu; bu kurulum dosyası daha eski olan %ls sürümünü kurar.\n\n"
    L"Tarvo Markwise %ls, %ls ile değiştirilsin mi?";
static const wchar_t kServiceAccountText[] =
    L"Bu program bir hizmet hesabıyla (ör. SYSTEM, LocalService, NetworkService) çalıştırıldı; hiçbir değişiklik "
    L"yapılmadı. Tarvo Markwise her kullanıcının kendi hesabına kurulur: programı o kullanıcının oturumunda "
    L"çalıştırın.";
// Elevated as another account: the program (kSetupNoun or kUninstallerNoun),
// the account it runs as, the signed-in user, the program again, the user
// again.
static const wchar_t kSetupNoun[] = L"Kurulum";
static const wchar_t kUninstallerNoun[] = L"Kaldırma programı";
static const wchar_t kOtherAccountInstallQuestion[] =
    L"%ls %ls hesabıyla yönetici olarak çalışıyor; bu masaüstünde ise %ls oturum açmış. Tarvo Markwise her "
    L"kullanıcının kendi hesabına kurulur.\n\n%ls, %ls için yönetici izni olmadan yeniden başlatılsın mı?";
static const wchar_t kOtherAccountUninstallQuestion[] =
    L"%ls %ls hesabıyla yönetici olarak çalışıyor; bu masaüstünde ise %ls oturum açmış. Tarvo Markwise her "
    L"kullanıcının kendi hesabından kaldırılır.\n\n%ls, %ls için yönetici izni olmadan yeniden başlatılsın mı?";
// Elevated where the desktop's shell cannot be told whose it is: the program.
static const wchar_t kShellUnreadableText[] =
    L"%ls yönetici olarak çalışıyor, ancak bu masaüstünde kimin oturum açtığı okunamadı; hiçbir değişiklik "
    L"yapılmadı. Programı kendi oturumunuzda, yönetici olarak değil, çalıştırın.";
// The program, the signed-in user, the user again.
static const wchar_t kOtherAccountNotStartedText[] =
    L"%ls %ls için yeniden başlatılamadı; hiçbir değişiklik yapılmadı. Programı %ls oturumunda, yönetici olarak "
    L"değil, çalıştırın.";
// The application could not be started, and is not started elevated.
static const wchar_t kOpenFromStartMenuStatus[] = L"Tarvo Markwise buradan açılamadı. Başlat menüsünden açın.";
static const wchar_t kUninstallQuestion[] =
    L"Tarvo Markwise kaldırılsın mı?\n\nProjeleriniz ve sarf kayıtlarınız silinmez.";
static const wchar_t kUninstalledText[] =
    L"Tarvo Markwise kaldırıldı. Projeleriniz ve sarf kayıtlarınız silinmedi.";
// After the completion text: the links that could not be deleted, one a line.
static const wchar_t kShortcutsKeptText[] = L"\n\nŞu kısayollar silinemedi; bunları kendiniz silebilirsiniz:\n%ls";
static const wchar_t kApplicationRunningText[] =
    L"Tarvo Markwise şu anda açık olduğu için kaldırılamadı. Tarvo Markwise'ı kapatıp yeniden deneyin.";
static const wchar_t kApplicationElsewhereText[] =
    L"Tarvo Markwise başka bir oturumunuzda açık olduğu için kaldırılamadı. O oturumda kapatıp yeniden deneyin.";
// The argument as it was given, then the switch as it is written.
static const wchar_t kRefusedSwitchText[] =
    L"“%ls” seçeneği tanınmıyor; hiçbir değişiklik yapılmadı. Kaldırmak için %ls yazın.";
static const wchar_t kCloseApplicationQuestion[] =
    L"Tarvo Markwise şu anda açık; devam etmek için kapatılması gerekiyor. Kaydedilmemiş çalışmanız varsa Tarvo "
    L"Markwise, kapanmadan önce onu kaydetmek isteyip istemediğinizi size soracak.\n\nTarvo Markwise kapatılsın mı?";
static const wchar_t kWaitingForApplicationStatus[] = L"Tarvo Markwise'ın kapanması bekleniyor...";
static const wchar_t kSetupBusyText[] =
    L"Tarvo Markwise şu anda başka bir pencerede kuruluyor veya kaldırılıyor. O işlem bitince yeniden deneyin.";

// The help box: the file that runs, then one switch a line, its
// description indented below it, then the exit codes.
static const wchar_t kHelpUsage[] = L"Kullanım: %ls [seçenekler]\n\n%ls";

#endif
