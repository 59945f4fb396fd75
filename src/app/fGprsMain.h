#pragma once

#include "connection/ui/ConnectionWindow.h"
#include "platform/rasapi/ras.h"
#include "platform/registry/Registry.h"
#include "platform/system/WindowMessages.h"

#include <QPointer>
#include <QWidget>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class QAction;
class QCheckBox;
class QFrame;
class QLabel;
class QListWidget;
class QMenu;
class QScrollArea;
class QScrollBar;
class QSystemTrayIcon;
class QTimer;

namespace sp {

class TBalanceAction;
class TGPRSButton;
class TGraphPanel;
class THistoryWatch;
class TfrmTrafficStats;
class TLinkLabel;
class TStatThread;
class TTransPanel;

// How SetTrayState treats the tray icon.
enum class TTrayMode : uint8_t { On, Off, Unchanged };

// The application's title: the main window's caption, what a second start
// looks for, and the caption of the plain message dialog.
inline constexpr const char* kApplicationTitle = "Зентора Skyportal";
// The window class a second start looks for; the main window is also the
// application window.
inline constexpr const char* kMainWindowClass = "TfrmGprsMain";
// The copy folder of the installation.
inline constexpr const char* kCopyFolder = "C:\\Zentora\\";

// The FileVersion of a file's version information; "" when it has none or
// anything fails.
[[nodiscard]] std::string GetFileVersionString(const std::string& fileName);
// The first two dot-separated components: 1.2.3.4 gives 1.2, 7 gives 7,
// 1.2 gives 1 (the last two components go, where there are dots).
[[nodiscard]] std::string TwoComponentVersion(std::string fileVersion);

// Whether the desktop has a system tray; tests choose the answer.
[[nodiscard]] bool TrayAvailable();
void SetTrayAvailableForTests(std::optional<bool> available);

// The operator's addresses on the About page.
inline constexpr const char* kOperatorHost = "www.zentora.ru";
inline constexpr const char* kSupportMail = "skyportal@zentora.ru";

// The program's main window: a first-start wizard (agreement, installation),
// then the main page with the connection button and the session's
// statistics, a settings page and an About page. Its state and its
// components are owned by the window and touched only on the main thread;
// the one exception is FConn, which the statistics thread reads.
class TfrmGprsMain : public QWidget, public IConnectionHost {
    Q_OBJECT

public:
    explicit TfrmGprsMain(QWidget* parent = nullptr);
    ~TfrmGprsMain() override;

    // Initialisation once the window exists (settings, first page by stage,
    // modem list, log line), then the window shows itself.
    void FormCreate();
    // Before the window closes: true lets it close.
    bool FormCloseQuery();
    // As it closes: the settings are saved unless the agreement was never
    // accepted, and the statistics thread is told to stop.
    void FormClose();
    // An exception that reached the event loop: logged, then dropped after
    // 10 ms.
    void AppException(const std::string& what);
    // FVersion from the running program's FileVersion.
    void InitVersion();

    // Pages and stages (fGprsMain.cpp).
    void SetPage(uint8_t page);
    void UpdatePage();
    void FillModemList();
    bool RefreshModemList();
    // The page panel on top of the stack, the one a person sees.
    [[nodiscard]] QWidget* TopPage() const;
    void BringToFront(QWidget* page);
    void SendToBack(QWidget* page);

    void btnAgreeClick();
    void btnDisagreeClick();
    void aNextExecute();
    void aSvcOKExecute();
    void lblSettingsClick();
    void lblAboutClick();
    void lblAgreementClick();
    void Label12Click();
    void Label40Click();
    void lbConnectionsDblClick();
    void scrollUAChange();
    void sbUAMouseUp();
    void sbUAMouseWheel(int wheelDelta);

    // The installation actions behind "Далее"; false when one of them failed
    // (the wizard then stays where it is).
    bool RunInstallActions();
    void CreateShortcut(const std::string& target, const std::string& args, const std::string& description,
                        int folder);
    void lblWWWClick();
    void lblMailClick();

    // Connection control and messages (fGprsMainConnection.cpp).
    void aConnectExecute();
    HRASCONN Connect();
    bool Disconnect();
    void ShowDisconnected();
    void StartStatistics(bool resetTotals);
    LRESULT WndProc(UINT msg, WPARAM wParam, LPARAM lParam);
    [[nodiscard]] HWND Handle() const;

    // IConnectionHost.
    [[nodiscard]] bool APNUpdated() const override { return FAPNUpdated; }
    void SetAPNUpdated(bool value) override { FAPNUpdated = value; }
    [[nodiscard]] std::string GetAPNVersionString() const override;
    void SetAPNVersion(const std::string& version) override;
    [[nodiscard]] QWidget* ProgressOwner() const override;

    // Statistics view (fGprsMainStats.cpp).
    // WM_STAT_UPDATE: the thread's speed and time with the session counts.
    void StatUpdate(uint32_t received, uint32_t transmitted);
    void ShowSample(uint32_t received, uint32_t transmitted, uint32_t speed, double connTime);
    void gpnlStatMouseMove(int x, int y);
    void gpnlStatMouseDown(Qt::MouseButton button, Qt::MouseButtons buttons, Qt::KeyboardModifiers modifiers,
                           int x, int y);
    // Whether the graph shows its own hints (off while the own hint window is up).
    [[nodiscard]] bool GraphShowHint() const { return FGraphShowHint; }
    [[nodiscard]] uint32_t RememberedMaxSpeed() const { return FMaxSpeed; }

    // Frame, hints and tray (fGprsMainFrame.cpp).
    void SetTrayState(TTrayMode mode, const QString& hint);
    void ShowHintText(QWidget* control, int x, const QString& text, int y);
    void hintTimerTimer();
    void AppRestore();
    void AppMinimize();
    void AppActivate();
    void FormActivate();
    // Minimises the application: into the tray where there is one.
    void MinimizeApplication();
    // Brings it back from the tray or the taskbar in normal state.
    void RestoreApplication();
    void Image1Click(QPoint screenPos);
    void Image1MouseDown(Qt::MouseButton button, Qt::MouseButtons buttons, int x, int y);
    void Image1MouseMove(Qt::MouseButtons buttons, Qt::KeyboardModifiers modifiers, int x, int y);
    void Image1MouseUp(Qt::MouseButtons buttons);
    void rxTrayIconClick();
    void rxTrayIconDblClick();
    void aRestoreExecute();
    [[nodiscard]] QString TrayHint() const { return FTrayHint; }
    [[nodiscard]] QLabel* HintWnd() const { return FHintWnd; }

    // Traffic history (fGprsMainHistory.cpp): the window "Статистика
    // трафика" and the limit warnings, from what the service counts.
    void aTrafficStatsExecute();
    // A lost link that the service hung up at the subscriber's limit: the
    // message has been shown and there is nothing to restore.
    bool LinkEndedAtLimit();
    [[nodiscard]] TfrmTrafficStats* TrafficStats() const;
    [[nodiscard]] THistoryWatch* HistoryWatch() const { return FHistoryWatch; }
    // The tray's hint with what the modem last said of its operator and
    // signal, asked of the service (not of the modem) every 30 s.
    void RefreshModemHint();

    // Settings store (fGprsMainSettings.cpp): the five values under
    // HKEY_LOCAL_MACHINE\Software\Zentora\Skyportal, enciphered unless
    // argument 2 is "/r".

    // Defaults first, then what is stored. False when the key could not be
    // opened for reading (the first start).
    bool LoadSettings();
    // Writes all five values; when the key is not writable nothing is
    // written and nothing is reported.
    void SaveSettings();
    // Single values of the key that LoadSettings or SaveSettings has open;
    // outside them they read nothing and write nothing.
    [[nodiscard]] std::string ReadValue(std::string_view name);
    void WriteValue(std::string_view name, std::string_view text);

    // Settings (texts UTF-8).
    std::string FModem;      // RAS device name, or "Unknown"
    std::string FConnection; // phonebook entry in use
    std::vector<std::string> FAPNs{"internet"};
    std::string FAPNVersion{"0"};
    uint8_t FStage = 3; // 3 agreement, 0 installation, 2 done

    // Run-time state.
    uint8_t FPage = 3;
    std::atomic<HRASCONN> FConn{0}; // read by the statistics thread
    std::shared_ptr<TStatThread> FStatThread;
    bool FAPNUpdated = false;
    std::string FVersion;
    bool FDragging = false;
    int32_t FDragX = 0;
    int32_t FDragY = 0;
    bool FFirstStart = false;
    bool FConfigErrorShown = false;
    uint32_t FBaseRecv = 0;
    uint32_t FBaseXmit = 0;
    // The running program as a Windows path; the copy box depends on it.
    std::string FProgramFile;

    // Components, owned through their Qt parents; reachable by name like the
    // published fields of a form.
    QLabel* Image1 = nullptr;
    TTransPanel* pnlMain = nullptr;
    TTransPanel* pnlAgreement = nullptr;
    TTransPanel* pnlAbout = nullptr;
    TTransPanel* pnlSettings = nullptr;
    TLinkLabel* lblAbout = nullptr;
    TLinkLabel* lblAgreement = nullptr;

    QLabel* imgConnect = nullptr;
    TGraphPanel* gpnlStat = nullptr;
    QFrame* Bevel1 = nullptr;
    QLabel* lblConnStatus = nullptr;
    TGPRSButton* btnConnect = nullptr;
    QLabel* lblSettingsNote = nullptr;
    TLinkLabel* lblSettings = nullptr;
    QLabel* lblSpeedGroup = nullptr;
    QLabel* lblMaxSpeedCaption = nullptr;
    QLabel* lblMaxSpeed = nullptr;
    QLabel* lblTrafficGroup = nullptr;
    QLabel* lblReceivedCaption = nullptr;
    QLabel* lblReceived = nullptr;
    QLabel* lblTransmittedCaption = nullptr;
    QLabel* lblTransmitted = nullptr;
    QLabel* lblTotalCaption = nullptr;
    QLabel* lblTotal = nullptr;
    QLabel* lblTimeGroup = nullptr;
    QLabel* lblTime = nullptr;

    QLabel* imgUA = nullptr;
    QScrollArea* sbUA = nullptr;
    QLabel* lblUAText = nullptr;
    QScrollBar* scrollUA = nullptr;
    TGPRSButton* btnDisagree = nullptr;
    TGPRSButton* btnAgree = nullptr;
    TLinkLabel* lblUAReturn = nullptr;

    QLabel* imgAbout = nullptr;
    QLabel* lblAboutText = nullptr;
    QLabel* lblVersion = nullptr;
    TLinkLabel* lblWWW = nullptr;
    QLabel* lblMailNote = nullptr;
    TLinkLabel* lblMail = nullptr;
    QLabel* lblOwner = nullptr;
    TLinkLabel* Label12 = nullptr;

    QLabel* imgStart = nullptr;
    QLabel* imgService = nullptr;
    QLabel* lblChooseModem = nullptr;
    TLinkLabel* Label40 = nullptr;
    TLinkLabel* Label41 = nullptr;
    QFrame* pnlModemFrame = nullptr;
    QListWidget* lbConnections = nullptr;
    QLabel* lblModemNote = nullptr;
    QCheckBox* chbDesktop = nullptr;
    QCheckBox* chbAutorun = nullptr;
    QCheckBox* chbCopy = nullptr;
    TLinkLabel* lblDesktop = nullptr;
    TLinkLabel* lblAutorun = nullptr;
    TLinkLabel* lblCopy = nullptr;
    TGPRSButton* btnSvcOK = nullptr;
    TGPRSButton* btnNext = nullptr;

    // ActionList1.
    QAction* aNext = nullptr;
    QAction* aExit = nullptr;
    QAction* aConnect = nullptr;
    QAction* aRestore = nullptr;
    QAction* aSvcOK = nullptr;
    QAction* aTrafficStats = nullptr;
    TBalanceAction* aBalance = nullptr;
    TLinkLabel* lblTrafficStats = nullptr;

    QTimer* hintTimer = nullptr;
    QSystemTrayIcon* rxTrayIcon = nullptr;
    QMenu* pmMain = nullptr;
    QAction* pmBlank = nullptr; // the hidden fourth item

signals:
    // The window has closed (FormClose ran); the message loop may end.
    void Closed();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void CreateComponents();
    void CreateMainPage();
    void CreateAgreementPage();
    void CreateAboutPage();
    void CreateSettingsPage();
    void CreateActions();
    void CreateFrame();
    void CreateHistory();
    bool Image1Event(QEvent* event);
    void CheckAgreementScrolled();
    [[nodiscard]] bool RunsFromCopyFolder() const;
    [[nodiscard]] std::string SelectedModem() const;
    void SetLabelsWidth();
    void ActionList1Update();
    // The settings page as the link "Настройки" opens it.
    void OpenSettingsPage();

    // The saved page of the agreement and About panels (their tags).
    uint8_t FAgreementReturnPage = 2;
    uint8_t FAboutReturnPage = 2;
    uint32_t FMaxSpeed = 0; // lblMaxSpeed's tag
    bool FGraphShowHint = true;
    QString FTrayHint;
    QLabel* FHintWnd = nullptr; // the own hint window, owned by the window
    bool FUpdatingPage = false;
    // The application handlers run from step 9 of FormCreate on.
    bool FAppHandlers = false;
    // A restore that happened while hidden runs AppRestore once shown.
    bool FRestorePending = false;
    bool FImage1Pressed = false;

    // What is under way, nested: connect and disconnect operations (they
    // also disable the main panel) and the window's modal questions. While
    // anything is, the connection action stays disabled, a second connect or
    // disconnect does nothing and a request to close waits for the end.
    class TBusyScope {
    public:
        TBusyScope(TfrmGprsMain& window, bool connection);
        ~TBusyScope();
        TBusyScope(const TBusyScope&) = delete;
        TBusyScope& operator=(const TBusyScope&) = delete;

    private:
        TfrmGprsMain& FWindow;
        bool FConnection;
    };
    int FBusy = 0;
    int FConnectionOps = 0;
    bool FCloseRequested = false;
    bool FClosed = false; // FormClose has run
    THistoryWatch* FHistoryWatch = nullptr;       // owned by the window
    QPointer<TfrmTrafficStats> FTrafficStats; // deletes itself when closed
    QTimer* FModemHintTimer = nullptr;
    QString FModemLine; // the modem's operator and signal, for the tray's hint

    std::unique_ptr<TMessageWindow> FWindow;
    // The settings key, open only while LoadSettings or SaveSettings runs.
    std::unique_ptr<TRegistry> FSettingsKey;
};

} // namespace sp
