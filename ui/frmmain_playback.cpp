// The main window's part in playback: opening a station, play, stop, the watchdog, and the
// handling of the workers' status messages and label writes.
#include <QSignalBlocker>
#include <QSlider>
#include <QTimer>
#include <cmath>
#include <exception>

#include "playback/record.h"
#include "audioengine.h"
#include "playback/connectworker.h"
#include "playback/errors.h"
#include "diag/debuglog.h"
#include "text/displaytext.h"
#include "playback/playerstatus.h"
#include "playback/playlists.h"
#include "playback/station.h"
#include "ui/effectlabel.h"
#include "ui/errorbox.h"
#include "ui/frmmain.h"

namespace {

const char* LabelName(TPlayerLabel label) {
    switch (label) {
        case TPlayerLabel::Label4:
            return "Label4";
        case TPlayerLabel::Label3:
            return "Label3";
        case TPlayerLabel::Kbps:
            return "lKbps";
        case TPlayerLabel::Hz:
            return "lHz";
    }
    return "?";
}

}  // namespace

TEffectLabel* TfrmMain::PlayerLabel(TPlayerLabel label) const {
    switch (label) {
        case TPlayerLabel::Label4:
            return Label4;
        case TPlayerLabel::Label3:
            return Label3;
        case TPlayerLabel::Kbps:
            return lKbps;
        case TPlayerLabel::Hz:
            return lHz;
    }
    return nullptr;
}

void TfrmMain::SetLabelBytes(TPlayerLabel which, const std::string& bytes) {
    TEffectLabel* label = PlayerLabel(which);
    const QString text = ToDisplayText(bytes);
    if (DebugLogEnabled() && label->text() != text)
        DebugLog("%s := \"%s\"", LabelName(which), text.toUtf8().constData());
    label->setText(text);
}

void TfrmMain::SetPlayerLabel(TPlayerLabel label, const std::string& bytes) {
    SetLabelBytes(label, bytes);
    // The worker writes the title label after settling the station title.
    if (label == TPlayerLabel::Label4) NotifyPlayerChanged();
}

void TfrmMain::NotifyPlayerChanged() {
    if (playerWatcher_) playerWatcher_->PlayerChanged();
}

void TfrmMain::WMPlayerStatus(uint32_t code, intptr_t lParam) {
    if (DebugLogEnabled()) {
        if (StatusCarriesText(code) && lParam)
            DebugLog("status %u: \"%s\"", code,
                     ToDisplayText(reinterpret_cast<const char*>(lParam)).toUtf8().constData());
        else
            DebugLog("status %u: %d", code, static_cast<int>(lParam));
    }
    const std::string station = StationTitle, song = SongTitle;
    const TStatusEffect effect = PlayerStatusTransition(code, lParam, StationTitle, SongTitle);
    if (effect.label3) SetLabelBytes(TPlayerLabel::Label3, *effect.label3);
    if (effect.label4) SetLabelBytes(TPlayerLabel::Label4, *effect.label4);
    if (effect.repaintLabel4) Label4->repaint();
    if (StationTitle != station || SongTitle != song) NotifyPlayerChanged();
}

void TfrmMain::Readini() {
    ::Readini();
}

void TfrmMain::plsurl(const std::string& location, std::string& title, std::string& address) {
    ::plsurl(location, title, address);
}

void TfrmMain::OpenLocation(const std::string& location) {
    RunGuarded([&] { OpenLocationUnguarded(location); });
}

void TfrmMain::WMOpenLocation(const std::string& location) {
    OpenLocation(location);
}

void TfrmMain::OpenLocationUnguarded(const std::string& location) {
    std::exception_ptr recordError;
    if (!location.empty()) {
        StationTitle.clear();
        StreamAddress.clear();
        // Any other extension, a stream address among them, leaves both strings empty; the
        // worker then reports no service.
        switch (PlaylistKindOf(location)) {
            case TPlaylistKind::Pls:
                plsurl(location, StationTitle, StreamAddress);
                break;
            case TPlaylistKind::Asx:
                asxurl(location, StationTitle, StreamAddress);
                break;
            case TPlaylistKind::M3u:
                m3uurl(location, StationTitle, StreamAddress);
                break;
            case TPlaylistKind::None:
                break;
        }
    } else {
        // A record file that cannot be read is reported once the built-in station is on its
        // way: without a station the watchdog would retry an empty address for ever.
        try {
            Readini();
        } catch (const EInOutError&) {
            recordError = std::current_exception();
            StationTitle.clear();
            StreamAddress.clear();
            HomeAddress.clear();
        }
        if (HomeAddress.empty()) HomeAddress = DefaultHomeAddress;
        if (StationTitle.empty()) StationTitle = DefaultStationName;
        if (StreamAddress.empty()) StreamAddress = DefaultStreamAddress;
        SetLabelBytes(TPlayerLabel::Label4, StationTitle);
        SetLabelBytes(TPlayerLabel::Label3, DefaultStationCaption);
    }
    AE_Stop();
    AE_StreamFree(StreamHandle.load());
    StartConnectWorker(StreamAddress);
    AE_Start();
    ReadVolumeIntoSlider();
    if (recordError) std::rethrow_exception(recordError);
}

void TfrmMain::ReadVolumeIntoSlider() {
    // nearbyint rounds halves to the even neighbour in the default rounding mode. The engine
    // keeps its exact volume: the read-back does not run the slider's change handler.
    const double position = std::nearbyint(double(AE_GetVolume()) * 100.0);
    {
        const QSignalBlocker blocker(sndBar);
        sndBar->setValue(static_cast<int>(position));
    }
    NotifyPlayerChanged();
}

void TfrmMain::btnPlayClick() {
    AE_Stop();
    StartConnectWorker(StreamAddress);
    AE_Start();
    ReadVolumeIntoSlider();
    // Enabling a running watchdog keeps its current countdown.
    if (!TimerKontrol->isActive()) TimerKontrol->start();
}

void TfrmMain::btnDurClick() {
    TimerKontrol->stop();
    AE_Stop();
}

void TfrmMain::TimerKontrolTimer() {
    if (AE_ChannelIsActive(StreamHandle.load()) == AE_ACTIVE_PLAYING) return;
    DebugLog("watchdog: not playing, restarting");
    SetLabelBytes(TPlayerLabel::Label4, kTextNoService);
    Label4->repaint();
    btnPlayClick();
}

void TfrmMain::FormDestroy() {
    if (formDestroyed_) return;
    formDestroyed_ = true;
    MainWindowHandle.close();
    AE_Free();
}
