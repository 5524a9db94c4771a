// A main window that records the status messages it receives, over the scripted engine.
#pragma once

#include <QLabel>
#include <QSlider>
#include <QTimer>
#include <memory>

#include "playback/record.h"
#include "fake_engine.h"
#include "playback/station.h"
#include "test_support.h"
#include "ui/errorbox.h"
#include "ui/effectlabel.h"
#include "ui/frmmain.h"

namespace test {

struct Received {
    uint32_t code;
    intptr_t number;
    std::string text;
};

class RecordingForm : public TfrmMain {
  public:
    std::vector<Received> received;
    void WMPlayerStatus(uint32_t code, intptr_t lParam) override {
        received.push_back(
            {code, lParam,
             StatusCarriesText(code) && lParam ? reinterpret_cast<const char*>(lParam) : ""});
        TfrmMain::WMPlayerStatus(code, lParam);
    }
    std::vector<uint32_t> codes() const {
        std::vector<uint32_t> result;
        for (const auto& r : received) result.push_back(r.code);
        return result;
    }
    std::vector<intptr_t> percentages() const {
        std::vector<intptr_t> result;
        for (const auto& r : received)
            if (r.code == 2) result.push_back(r.number);
        return result;
    }
    std::vector<std::string> texts(uint32_t code) const {
        std::vector<std::string> result;
        for (const auto& r : received)
            if (r.code == code) result.push_back(r.text);
        return result;
    }
};

inline AE_CHANNELINFO Mp3Info() {
    return {44100, 2, 0, AE_CTYPE_STREAM_MP3, 0, 0, 0, nullptr};
}

// A stream that connects and is buffered at once: 90 % at the first pass.
inline fake::StreamScript Playable(AE_HANDLE handle) {
    fake::StreamScript script;
    script.handle = handle;
    script.positions[AE_FILEPOS_END] = {1000};
    script.positions[AE_FILEPOS_DOWNLOAD] = {900};
    script.positions[AE_FILEPOS_CURRENT] = {0};
    script.info = Mp3Info();
    return script;
}

class PlayerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::Reset();
        StationTitle.clear();
        StreamAddress.clear();
        HomeAddress.clear();
        SongTitle.clear();
        StreamHandle = 0;
        IsWmaStream = false;
        SetStationRecordPath(dir.file("none.dta"));
        SetErrorBoxHook([this](const QString& caption, const QString& text) {
            errorBoxes.push_back({caption.toStdString(), text.toStdString()});
        });
        form = std::make_unique<RecordingForm>();
    }
    void TearDown() override {
        EXPECT_TRUE(WaitForWorkers());
        form.reset();
        SetErrorBoxHook(nullptr);
        SetStationRecordPath("");
    }
    // Opens a .pls naming the address (and a title when given) and waits for its worker.
    void openPls(const std::string& address, const std::string& title = "") {
        std::string bytes = "[playlist]\nFile1=" + address + "\n";
        if (!title.empty()) bytes += "Title1=" + title + "\n";
        form->OpenLocation(dir.write("station.pls", bytes));
        ASSERT_TRUE(WaitForWorkers());
    }

    TempFolder dir;
    std::unique_ptr<RecordingForm> form;
    std::vector<std::pair<std::string, std::string>> errorBoxes;
};

}  // namespace test
