// The player's main window.
#pragma once

#include <QPoint>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "playback/windowhandle.h"
#include "ui/playerwatcher.h"
#include "ui/skinregion.h"

class QFrame;
class QLabel;
class QMouseEvent;
class QSlider;
class QTimer;
class TEffectLabel;
class TImage;
class TLevelBar;

// Meter positions for one level tick.
struct MeterLevels {
    int left = 0;
    int right = 0;
    bool operator==(const MeterLevels&) const = default;
};
// Pure: the meters' positions from the stream's activity state and level word (left in the low
// 16 bits, right in the high 16 bits, each doubled); 0 and 0 unless it is playing.
MeterLevels LevelsFromEngine(uint32_t active, uint32_t level);

class TfrmMain : public QWidget, public TPlayerWindow {
    Q_OBJECT

  public:
    explicit TfrmMain(QWidget* parent = nullptr);
    ~TfrmMain() override;

    // Controls the player's logic uses.
    TEffectLabel* Label4 = nullptr;  // status and station line (hidden)
    TEffectLabel* Label3 = nullptr;  // caption and song line (hidden)
    TEffectLabel* lKbps = nullptr;   // bitrate and codec
    TEffectLabel* lHz = nullptr;     // sample rate and channels
    QSlider* sndBar = nullptr;       // volume, 0..100
    QWidget* btnPlay = nullptr;
    QWidget* btnDur = nullptr;
    QTimer* TimerKontrol = nullptr;  // 25 s watchdog

    // The rest of the window, in the order of creation: pictures first (they lie beneath every
    // other control), then the windowed controls; pnlinfo lies on top.
    TImage* Image1 = nullptr;  // the skin; a press of any button on it moves the window
    TImage* btnKapat = nullptr;
    TImage* btnMinimize = nullptr;
    TImage* btnSesAcik = nullptr;    // mute
    TImage* btnSesKapali = nullptr;  // unmute, hidden until muted
    TImage* btnBilgi = nullptr;
    TEffectLabel* sLink = nullptr;  // the station's web address
    TLevelBar* lSag = nullptr;
    TLevelBar* lSol = nullptr;
    QFrame* pnlinfo = nullptr;  // about panel
    QFrame* Panel1 = nullptr;
    TImage* btnInfoKapat = nullptr;
    QLabel* Label1 = nullptr;
    TImage* Image2 = nullptr;  // about picture
    QTimer* tLevel = nullptr;  // 20 ms level timer
    int Tag = 0;               // clicks on the format labels, never reset

    // Start-up, once, after construction and before the first show; a second call only returns
    // the first result. When the engine cannot be used it shows why and calls ExitProcess(0); it
    // then returns false (tests replace ExitProcess).
    bool FormCreate();
    // On the first showing: title, to the front, placement, the command line's station.
    void FormShow();
    // The engine's error box: the text, a line break and "(error code: N)".
    void ShowEngineError(const QString& text);
    static std::function<void(int)> ExitProcess;

    // Chrome.
    void Image1MouseDown(QMouseEvent* event);
    void btnKapatClick();
    void btnMinimizeClick();
    void btnBilgiClick();
    void btnInfoKapatClick();
    void sLinkClick();
    void sLinkMouseEnter();
    void sLinkMouseLeave();
    void Image2Click();
    void lKbpsClick();

    // Volume, mute and meters.
    void sndBarPropertiesChange();
    void btnSesAcikClick();
    void btnSesKapaliClick();
    void tLevelTimer();

    // Opening a station and the transport controls. OpenLocation and WMOpenLocation show an
    // error that escapes them (a record or playlist file that cannot be read) in the error box.
    void OpenLocation(const std::string& location);
    void WMOpenLocation(const std::string& location);
    void btnPlayClick();
    void btnDurClick();
    void TimerKontrolTimer();
    // Closes MainWindowHandle (so workers and callbacks cannot block), then releases the engine.
    // Runs once; the destructor calls it when nobody did before.
    void FormDestroy();

    // Station record and .pls reader, as methods of the window.
    void Readini();
    void plsurl(const std::string& location, std::string& title, std::string& address);

    // WM_PLAYER_STATUS, on the window thread.
    void WMPlayerStatus(uint32_t code, intptr_t lParam) override;
    // A worker's label writes, on the window thread.
    void SetPlayerLabel(TPlayerLabel label, const std::string& bytes) override;

    // Told of every change of the song title, the station or the volume; nullptr: nobody.
    void SetPlayerWatcher(TPlayerWatcher* watcher) { playerWatcher_ = watcher; }

  protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    static void RegisterWindowFonts();
    static QString HomeAddressText();
    // The first command-line argument, empty when there is none.
    static std::string FirstArgument();
    void CreateControls();
    bool StartUp();
    void CreateInfoPanel();
    void ConnectHandlers();

    std::optional<bool> formCreated_;  // FormCreate's result once it has run
    bool formShown_ = false;
    // The button whose drag the window follows itself; NoButton while there is none.
    Qt::MouseButton dragButton_ = Qt::NoButton;
    QPoint dragOffset_;
    bool handCursor_ = false;
    SkinRegion skinRegion_;

    void OpenLocationUnguarded(const std::string& location);
    // sndBar := engine volume x 100, halves to even; the slider's change handler does not run.
    void ReadVolumeIntoSlider();
    TEffectLabel* PlayerLabel(TPlayerLabel label) const;
    void SetLabelBytes(TPlayerLabel label, const std::string& bytes);

    void NotifyPlayerChanged();

    bool formDestroyed_ = false;
    TPlayerWatcher* playerWatcher_ = nullptr;
};
