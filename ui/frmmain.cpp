#include "ui/frmmain.h"

// The controls, their look and handlers: frmmain_window.cpp; playback: frmmain_playback.cpp.
TfrmMain::TfrmMain(QWidget* parent) : QWidget(parent) {
    CreateControls();
    MainWindowHandle.attach(this);
}

TfrmMain::~TfrmMain() {
    FormDestroy();
}
