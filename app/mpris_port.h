// The main window as seen by the desktop media controls.
#pragma once

#include "app/mpris.h"
#include "ui/playerwatcher.h"

class TfrmMain;

// Play and stop are the window's buttons, the volume is its slider, the titles are the
// current-station strings. Everything runs on the window's thread.
class MprisWindowPort : public MprisPort {
  public:
    explicit MprisWindowPort(TfrmMain& window) : window_(window) {}

    void play() override;
    void stop() override;
    void raise() override;
    void quit() override;
    bool isPlaying() const override;
    int volumePercent() const override;
    void setVolumePercent(int percent) override;
    QString songTitle() const override;
    QString stationTitle() const override;
    QString streamAddress() const override;
    QString iconFile() const override;

  private:
    TfrmMain& window_;
};

// The media controls of one window: create after the window, destroy before it. The window
// tells them of each change of the song, the station or the volume, which they announce at once.
class MediaControls : public TPlayerWatcher {
  public:
    explicit MediaControls(TfrmMain& window);
    ~MediaControls() override;
    void PlayerChanged() override { mpris_.refresh(); }

  private:
    TfrmMain& window_;
    MprisWindowPort port_;
    Mpris mpris_;
};
