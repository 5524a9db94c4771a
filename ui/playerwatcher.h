// What the window tells those who follow what it shows (the desktop media controls). The window
// knows them only through this.
#pragma once

class TPlayerWatcher {
  public:
    virtual ~TPlayerWatcher() = default;
    // On the window's thread, right after the song title, the station or the volume changed.
    virtual void PlayerChanged() = 0;
};
