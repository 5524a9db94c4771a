// The player's main window.
#pragma once

#include <QWidget>
#include <cstdint>
#include <string>

#include "playback/windowhandle.h"

class QLabel;
class QSlider;
class QTimer;

class TfrmMain : public QWidget, public TPlayerWindow {
    Q_OBJECT

  public:
    explicit TfrmMain(QWidget* parent = nullptr);
    ~TfrmMain() override;

    // Controls the player's logic uses.
    QLabel* Label4 = nullptr;   // status and station line (hidden)
    QLabel* Label3 = nullptr;   // caption and song line (hidden)
    QLabel* lKbps = nullptr;    // bitrate and codec
    QLabel* lHz = nullptr;      // sample rate and channels
    QSlider* sndBar = nullptr;  // volume, 0..100
    QWidget* btnPlay = nullptr;
    QWidget* btnDur = nullptr;
    QTimer* TimerKontrol = nullptr;  // 25 s watchdog

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

  private:
    void OpenLocationUnguarded(const std::string& location);
    // sndBar := engine volume x 100, halves to even; the slider's change handler does not run.
    void ReadVolumeIntoSlider();
    QLabel* PlayerLabel(TPlayerLabel label) const;
    void SetLabelBytes(TPlayerLabel label, const std::string& bytes);

    bool formDestroyed_ = false;
};
