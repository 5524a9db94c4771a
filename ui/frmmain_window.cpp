// The main window's layout, start-up and chrome: the controls and their places, FormCreate and
// FormShow, moving by the skin, the window buttons, the about panel, the links and the hidden
// information box; the volume, mute and level meters.
#include <QApplication>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QFile>
#include <QFontDatabase>
#include <QFrame>
#include <QInputDialog>
#include <QLabel>
#include <QMessageBox>
#include <QMouseEvent>
#include <QScreen>
#include <QSignalBlocker>
#include <QSlider>
#include <QTimer>
#include <QUrl>
#include <QWindow>

#include <unistd.h>

#include <cstdio>

#include "audioengine.h"
#include "diag/debuglog.h"
#include "playback/station.h"
#include "ui/effectlabel.h"
#include "ui/errorbox.h"
#include "ui/frmmain.h"
#include "ui/image.h"
#include "ui/pictures.h"
#include "ui/skinregion.h"
#include "ui/translucency.h"
#include "ui/windowsystem.h"
#include "widgets/levelbar/levelbar.h"
#include "widgets/levelbar/meter_settings.h"

namespace {

constexpr int kClientWidth = 483;
constexpr int kClientHeight = 195;
constexpr int kLevelIntervalMs = 20;
constexpr int kWatchdogIntervalMs = 25000;
constexpr int kTranslucencyPercent = 10;
constexpr int kInfoPanelTop = 35;
constexpr int kHiddenClicks = 20;  // clicks on the format labels before the box opens
// Distance of the window from the screen's right and bottom edges, beyond its own size.
constexpr int kRightGap = 5;
constexpr int kBottomGap = 42;
constexpr uint32_t kEngineApiVersion = 0x0204;
constexpr uint32_t kPluginFlags = 1;

// The window's colour numbers (0x00BBGGRR) as colours.
QColor FromTColor(uint32_t c) {
    return QColor(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF);
}

const char* const kWineFonts[] = {"/usr/share/wine/fonts/tahoma.ttf",
                                  "/usr/share/wine/fonts/tahomabd.ttf",
                                  "/usr/share/wine/fonts/ms_sans_serif.ttf"};

QFont PixelFont(const char* family, int pixels, bool bold = false) {
    QFont font(QString::fromLatin1(family));
    font.setPixelSize(pixels);
    font.setBold(bold);
    return font;
}

TImage* MakeImage(QWidget* parent, const char* name, QRect geometry, const char* picture,
                  bool keyBottomLeft) {
    auto* image = new TImage(parent);
    image->setObjectName(QString::fromLatin1(name));
    image->setGeometry(geometry);
    image->setPicture(WindowPicture(QString::fromLatin1(picture)), keyBottomLeft);
    return image;
}

// A window button: 21 x 21, hand cursor, hint.
TImage* MakeWindowButton(QWidget* parent, const char* name, QPoint at, const char* picture,
                         const QString& hint) {
    TImage* button = MakeImage(parent, name, QRect(at, QSize(21, 21)), picture, true);
    button->setCursor(Qt::PointingHandCursor);
    button->setToolTip(hint);
    return button;
}

// A transport button: the 16 x 16 picture stretched to the control.
TImage* MakeSmallButton(QWidget* parent, const char* name, QPoint at, const char* picture) {
    TImage* button = MakeImage(parent, name, QRect(at, QSize(16, 16)), picture, true);
    button->setStretch(true);
    return button;
}

struct LabelLook {
    const char* family;
    int pixels;
    bool bold;
    uint32_t textColor;
    Qt::Alignment alignment;
    TLabelEffect effect;
    TLabelStyle style;
    TEffectOrientation orientation;
    std::uint16_t depth;
    uint32_t shadowedColor;
    bool wordWrap;
    bool showAccelChar;
};

constexpr uint32_t kWhite = 0xFFFFFF;
constexpr uint32_t kBlack = 0x000000;
constexpr uint32_t kPlumText = 4194432;     // RGB 128, 0, 64
constexpr uint32_t kFormatText = 12615680;  // RGB 0, 128, 192
constexpr uint32_t kLinkShadow = 10921638;  // grey 166
constexpr uint32_t kInfoBackground = 16514043;
constexpr uint32_t kSilver = 0xC0C0C0;
constexpr uint32_t kInfoTitleText = 8404992;  // RGB 0, 64, 128

// The five labels' settings.
const LabelLook kLabel4Look{
    .family = "Verdana",
    .pixels = 27,
    .bold = true,
    .textColor = kPlumText,
    .alignment = Qt::AlignCenter,
    .effect = leFun,
    .style = lsLowered,
    .orientation = eoRightBottom,
    .depth = 0,
    .shadowedColor = kWhite,
    .wordWrap = false,
    .showAccelChar = true,
};
const LabelLook kLabel3Look{
    .family = "Verdana",
    .pixels = 21,
    .bold = true,
    .textColor = kPlumText,
    .alignment = Qt::AlignCenter,
    .effect = leFun,
    .style = lsLowered,
    .orientation = eoRightBottom,
    .depth = 0,
    .shadowedColor = kWhite,
    .wordWrap = true,
    .showAccelChar = false,
};
const LabelLook kLinkLook{
    .family = "Tahoma",
    .pixels = 19,
    .bold = true,
    .textColor = kBlack,
    .alignment = Qt::AlignCenter,
    .effect = leCool,
    .style = lsNormal,
    .orientation = eoLeftBottom,
    .depth = 1,
    .shadowedColor = kLinkShadow,
    .wordWrap = false,
    .showAccelChar = true,
};
const LabelLook kKbpsLook{
    .family = "Tahoma",
    .pixels = 11,
    .bold = false,
    .textColor = kFormatText,
    .alignment = Qt::AlignRight | Qt::AlignTop,
    .effect = leFun,
    .style = lsNormal,
    .orientation = eoRight,
    .depth = 0,
    .shadowedColor = kBlack,
    .wordWrap = true,
    .showAccelChar = true,
};
const LabelLook kHzLook{
    .family = "Tahoma",
    .pixels = 11,
    .bold = false,
    .textColor = kFormatText,
    .alignment = Qt::AlignLeft | Qt::AlignTop,
    .effect = leFun,
    .style = lsNormal,
    .orientation = eoRight,
    .depth = 0,
    .shadowedColor = kBlack,
    .wordWrap = true,
    .showAccelChar = true,
};

TEffectLabel* MakeEffectLabel(QWidget* parent, const char* name, QRect geometry,
                              const LabelLook& look, const QString& text) {
    auto* label = new TEffectLabel(parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setGeometry(geometry);
    label->setFont(PixelFont(look.family, look.pixels, look.bold));
    label->setTextColor(FromTColor(look.textColor));
    label->setTransparent(true);
    label->setAlignment(look.alignment);
    label->setLabelEffect(look.effect);
    label->setLabelStyle(look.style);
    label->setOrientation(look.orientation);
    label->setDepth(look.depth);
    label->setShadowedColor(FromTColor(look.shadowedColor));
    label->setWordWrap(look.wordWrap);
    label->setShowAccelChar(look.showAccelChar);
    label->setText(text);
    return label;
}

// The volume slider drawn in the skin's palette: a slim groove, blue where it is filled.
const char* const kSliderStyle = R"(
QSlider { background: transparent; }
QSlider::groove:horizontal { height: 4px; border-radius: 2px; margin: 0 6px;
  background: #c9d8e8; border: 1px solid #9fb6cf; }
QSlider::sub-page:horizontal { border-radius: 2px; margin: 0 0 0 6px;
  background: qlineargradient(x1:0, y1:0, x2:1, y2:0, stop:0 #004080, stop:1 #4b96dc);
  border: 1px solid #003366; }
QSlider::handle:horizontal { width: 12px; height: 12px; margin: -5px -6px; border-radius: 6px;
  background: qradialgradient(cx:0.4, cy:0.35, radius:0.8, fx:0.4, fy:0.3,
    stop:0 #ffffff, stop:0.6 #ccE6ff, stop:1 #7aa8d6);
  border: 1px solid #004080; }
)";

const char* ButtonName(Qt::MouseButton button) {
    switch (button) {
        case Qt::LeftButton:
            return "left";
        case Qt::MiddleButton:
            return "middle";
        case Qt::RightButton:
            return "right";
        default:
            return "other";
    }
}

}  // namespace

// Ends the process at once: nothing of the half-started program is torn down.
std::function<void(int)> TfrmMain::ExitProcess = [](int code) {
    std::fflush(nullptr);
    ::_exit(code);
};

void TfrmMain::RegisterWindowFonts() {
    static const bool done = [] {
        for (const char* path : kWineFonts) {
            if (QFile::exists(QString::fromLatin1(path)))
                QFontDatabase::addApplicationFont(QString::fromLatin1(path));
        }
        return true;
    }();
    (void)done;
}

std::string TfrmMain::FirstArgument() {
    // The bytes as given: a playlist's name need not be valid text in the locale's encoding.
    QFile cmdline(QStringLiteral("/proc/self/cmdline"));
    if (cmdline.open(QIODevice::ReadOnly)) {
        const QList<QByteArray> argv = cmdline.readAll().split('\0');
        return argv.size() > 1 ? argv.at(1).toStdString() : std::string();
    }
    const QStringList args = QCoreApplication::arguments();
    return args.size() > 1 ? args.at(1).toLocal8Bit().toStdString() : std::string();
}

QString TfrmMain::HomeAddressText() {
    const QString address = QString::fromUtf8(DefaultHomeAddress);
    const int scheme = address.indexOf(QLatin1String("://"));
    return scheme < 0 ? address : address.mid(scheme + 3);
}

void TfrmMain::CreateControls() {
    RegisterWindowFonts();
    InitWindowResources();
    setObjectName(QStringLiteral("frmMain"));
    // Without a minimise function in its hints a window manager may refuse to iconify it.
    setWindowFlags(Qt::Window | Qt::FramelessWindowHint | Qt::WindowMinimizeButtonHint);
    setFixedSize(kClientWidth, kClientHeight);
    setFont(PixelFont("MS Sans Serif", 11));
    QPalette pal = palette();
    pal.setColor(QPalette::Window, QApplication::palette().color(QPalette::Button));
    setPalette(pal);
    setAutoFillBackground(true);
    setWindowIcon(QIcon(QPixmap::fromImage(WindowPicture(QStringLiteral("icon.bmp")))));

    // Pictures first: they lie beneath every other control, later ones over earlier ones.
    Image1 = MakeImage(this, "Image1", QRect(0, 0, kClientWidth, kClientHeight), "skin.bmp", false);
    btnKapat = MakeWindowButton(this, "btnKapat", {440, 11}, "close.bmp", QStringLiteral("Kapat"));
    btnMinimize = MakeWindowButton(this, "btnMinimize", {392, 11}, "minimize.bmp",
                                   QStringLiteral("Simge Durumu"));
    btnSesAcik = MakeSmallButton(this, "btnSesAcik", {54, 145}, "soundon.bmp");
    btnDur = MakeSmallButton(this, "btnDur", {36, 145}, "stop.bmp");
    btnPlay = MakeSmallButton(this, "btnPlay", {18, 145}, "play.bmp");
    btnSesKapali = MakeSmallButton(this, "btnSesKapali", {271, 143}, "muted.bmp");
    btnSesKapali->hide();
    btnBilgi = MakeWindowButton(this, "btnBilgi", {416, 11}, "about.bmp", QStringLiteral("Bilgi"));

    Label4 = MakeEffectLabel(this, "Label4", QRect(69, 51, 302, 36), kLabel4Look, QString());
    Label4->hide();  // for the whole run
    sndBar = new QSlider(Qt::Horizontal, this);
    sndBar->setObjectName(QStringLiteral("sndBar"));
    sndBar->setRange(0, 100);
    sndBar->setTickPosition(QSlider::NoTicks);
    sndBar->setGeometry(66, 141, 143, 29);
    sndBar->setStyleSheet(QString::fromLatin1(kSliderStyle));
    sndBar->setFocusPolicy(Qt::NoFocus);
    Label3 = MakeEffectLabel(this, "Label3", QRect(67, 86, 302, 51), kLabel3Look, QString());
    Label3->hide();  // for the whole run
    sLink = MakeEffectLabel(this, "sLink", QRect(81, 164, 307, 28), kLinkLook, HomeAddressText());
    // The layout's 66 pixels from 17 on wrap "128 kbps mp3". The format box's border leaves
    // three free pixels to the left, and the label takes them: its right edge and right alignment
    // stay, so every text that fitted before draws on the same pixels.
    lKbps = MakeEffectLabel(this, "lKbps", QRect(14, 27, 69, 18), kKbpsLook,
                            QStringLiteral("0 kbps aac"));
    lHz = MakeEffectLabel(this, "lHz", QRect(86, 27, 82, 18), kHzLook, QStringLiteral("0 Hz"));
    lSag = new TLevelBar(this);
    lSag->setObjectName(QStringLiteral("lSag"));
    ApplyMeterSettings(*lSag);
    lSag->move(44, 44);
    lSol = new TLevelBar(this);
    lSol->setObjectName(QStringLiteral("lSol"));
    ApplyMeterSettings(*lSol);
    lSol->move(18, 44);
    CreateInfoPanel();

    TimerKontrol = new QTimer(this);
    TimerKontrol->setInterval(kWatchdogIntervalMs);
    tLevel = new QTimer(this);
    tLevel->setInterval(kLevelIntervalMs);
    ConnectHandlers();
    TimerKontrol->start();
    tLevel->start();
}

void TfrmMain::CreateInfoPanel() {
    pnlinfo = new QFrame(this);
    pnlinfo->setObjectName(QStringLiteral("pnlinfo"));
    pnlinfo->setGeometry(90, 198, 369, 127);
    pnlinfo->setFrameStyle(QFrame::Panel | QFrame::Raised);
    pnlinfo->setLineWidth(1);
    QPalette info = pnlinfo->palette();
    info.setColor(QPalette::Window, FromTColor(kInfoBackground));
    pnlinfo->setPalette(info);
    pnlinfo->setAutoFillBackground(true);
    pnlinfo->hide();

    Panel1 = new QFrame(pnlinfo);
    Panel1->setObjectName(QStringLiteral("Panel1"));
    Panel1->setGeometry(1, 1, 367, 23);
    Panel1->setFrameStyle(QFrame::NoFrame);
    QPalette title = Panel1->palette();
    title.setColor(QPalette::Window, FromTColor(kSilver));
    Panel1->setPalette(title);
    Panel1->setAutoFillBackground(true);
    btnInfoKapat =
        MakeWindowButton(Panel1, "btnInfoKapat", {344, 1}, "close.bmp", QStringLiteral("Kapat"));
    Label1 = new QLabel(QStringLiteral("Hakkımızda"), Panel1);
    Label1->setObjectName(QStringLiteral("Label1"));
    Label1->setGeometry(6, 3, 64, 16);
    Label1->setFont(PixelFont("Tahoma", 13));
    QPalette label = Label1->palette();
    label.setColor(QPalette::WindowText, FromTColor(kInfoTitleText));
    Label1->setPalette(label);

    Image2 = MakeImage(pnlinfo, "Image2", QRect(10, 25, 353, 100), "about.png", false);
    Image2->setCursor(Qt::PointingHandCursor);
}

void TfrmMain::ConnectHandlers() {
    connect(Image1, &TImage::mouseDown, this, &TfrmMain::Image1MouseDown);
    Image1->installEventFilter(this);
    connect(btnKapat, &TImage::clicked, this, &TfrmMain::btnKapatClick);
    connect(btnMinimize, &TImage::clicked, this, &TfrmMain::btnMinimizeClick);
    connect(btnBilgi, &TImage::clicked, this, &TfrmMain::btnBilgiClick);
    connect(btnInfoKapat, &TImage::clicked, this, &TfrmMain::btnInfoKapatClick);
    connect(Image2, &TImage::clicked, this, &TfrmMain::Image2Click);
    connect(static_cast<TImage*>(btnPlay), &TImage::clicked, this, &TfrmMain::btnPlayClick);
    connect(static_cast<TImage*>(btnDur), &TImage::clicked, this, &TfrmMain::btnDurClick);
    connect(btnSesAcik, &TImage::clicked, this, &TfrmMain::btnSesAcikClick);
    connect(btnSesKapali, &TImage::clicked, this, &TfrmMain::btnSesKapaliClick);
    connect(sLink, &TEffectLabel::clicked, this, &TfrmMain::sLinkClick);
    connect(sLink, &TEffectLabel::mouseEnter, this, &TfrmMain::sLinkMouseEnter);
    connect(sLink, &TEffectLabel::mouseLeave, this, &TfrmMain::sLinkMouseLeave);
    connect(lKbps, &TEffectLabel::clicked, this, &TfrmMain::lKbpsClick);
    connect(lHz, &TEffectLabel::clicked, this, &TfrmMain::lKbpsClick);
    connect(sndBar, &QSlider::valueChanged, this, &TfrmMain::sndBarPropertiesChange);
    connect(TimerKontrol, &QTimer::timeout, this, &TfrmMain::TimerKontrolTimer);
    connect(tLevel, &QTimer::timeout, this, &TfrmMain::tLevelTimer);
}

bool TfrmMain::FormCreate() {
    if (formCreated_) return *formCreated_;
    formCreated_ = StartUp();
    return *formCreated_;
}

bool TfrmMain::StartUp() {
    SetTranslucency(this, kTranslucencyPercent);
    // The native window exists from here on, still hidden.
    winId();
    QCoreApplication::processEvents();
    // MainWindowHandle was bound by the constructor, before anything could use it.

    if ((AE_GetVersion() >> 16) != kEngineApiVersion) {
        const QString text = QStringLiteral("Ses motoru kütüphanesi bulunamadı..");
        DebugLog("engine box: %s", text.toUtf8().constData());
        TCentredMessageBox box(QMessageBox::Critical, QString(), text, QMessageBox::Ok);
        box.exec();
        ExitProcess(0);
        return false;
    }
    if (!AE_Init(-1, 44100, 0, reinterpret_cast<void*>(winId()), nullptr)) {
        ShowEngineError(QStringLiteral("Cant initialize device"));
        ExitProcess(0);
        return false;
    }
    AE_PluginLoad("aewma", kPluginFlags);
    AE_PluginLoad("aeaac", kPluginFlags);
    AE_SetConfig(AE_CONFIG_NET_PLAYLIST, 1);
    AE_SetConfig(AE_CONFIG_BUFFER, 500);
    AE_SetConfig(AE_CONFIG_NET_BUFFER, 2000);
    AE_SetConfig(AE_CONFIG_NET_PREBUF, 100);
    AE_SetConfig(AE_CONFIG_NET_TIMEOUT, 20000);
    AE_SetConfig(AE_CONFIG_UPDATETHREADS, 4);
    AE_SetConfigPtr(AE_CONFIG_NET_AGENT, "VELMORA");

    QImage skin = Image1->picture();
    skinRegion_ = CreateSkinRegion(skin);
    // Where the compositor shows the window's alpha, the mask only limits where the window takes
    // input: the outline must be in the pixels too.
    setMask(skinRegion_.region);
    if (WindowShownWithItsAlpha())
        Image1->setPicture(ClipToRegion(Image1->picture(), skinRegion_.region), false);
    return true;
}

void TfrmMain::ShowEngineError(const QString& text) {
    const QString message =
        text + QStringLiteral("\n(error code: ") + QString::number(AE_ErrorGetCode()) + ')';
    DebugLog("engine box: %s", message.toUtf8().constData());
    TCentredMessageBox box(QMessageBox::NoIcon, QString(), message, QMessageBox::Ok, this);
    box.exec();
}

void TfrmMain::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!formShown_ && !event->spontaneous()) QTimer::singleShot(0, this, &TfrmMain::FormShow);
}

void TfrmMain::FormShow() {
    if (formShown_) return;
    formShown_ = true;
    const QString title = QString::fromUtf8(DefaultStationName);
    SetApplicationTitle(title);
    setWindowTitle(title);
    raise();
    activateWindow();
    sLink->setText(HomeAddressText());
    // The bottom-right corner of the primary screen, which need not start at the desktop's
    // origin when there are several monitors.
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    move(screen.x() + screen.width() - (width() + kRightGap),
         screen.y() + screen.height() - (height() + kBottomGap));
    OpenLocation(FirstArgument());
    ReadVolumeIntoSlider();
}

void TfrmMain::Image1MouseDown(QMouseEvent* event) {
    const Qt::MouseButton button = event->button();
    // An X11 window manager ends its move when button 1 is released, whichever button began it,
    // so only a left press is handed to it. A Wayland compositor ends it when no button is held,
    // and a client cannot move its own window there at all.
    if (button == Qt::LeftButton || WindowShownWithItsAlpha()) {
        // A move the window manager starts after the button is up would never end.
        if (!PointerButtonHeld(button)) return;
        QWindow* window = windowHandle();
        if (window && window->startSystemMove()) {
            DebugLog("move: by the window manager");
            return;
        }
    }
    // Other buttons, or no window manager that moves windows: follow the pointer until this
    // button is released.
    DebugLog("move: following the pointer (%s button)", ButtonName(button));
    dragButton_ = button;
    dragOffset_ = event->globalPosition().toPoint() - pos();
}

bool TfrmMain::eventFilter(QObject* watched, QEvent* event) {
    if (watched == Image1 && dragButton_ != Qt::NoButton) {
        if (event->type() == QEvent::MouseMove) {
            auto* move = static_cast<QMouseEvent*>(event);
            // A release that never reached the window (a grab elsewhere) ends the move too.
            if (!(move->buttons() & dragButton_)) {
                dragButton_ = Qt::NoButton;
                return false;
            }
            this->move(move->globalPosition().toPoint() - dragOffset_);
            return true;
        }
        if (event->type() == QEvent::MouseButtonRelease &&
            static_cast<QMouseEvent*>(event)->button() == dragButton_)
            dragButton_ = Qt::NoButton;
    }
    return QWidget::eventFilter(watched, event);
}

void TfrmMain::btnKapatClick() {
    close();
}

void TfrmMain::btnMinimizeClick() {
    showMinimized();
}

void TfrmMain::btnBilgiClick() {
    pnlinfo->move(pnlinfo->x(), kInfoPanelTop);
    pnlinfo->show();
    pnlinfo->raise();
}

void TfrmMain::btnInfoKapatClick() {
    pnlinfo->hide();
}

void TfrmMain::sLinkClick() {
    QDesktopServices::openUrl(QUrl(QString::fromUtf8(DefaultHomeAddress)));
}

void TfrmMain::Image2Click() {
    QDesktopServices::openUrl(QUrl(QString::fromUtf8(VendorAddress)));
}

void TfrmMain::sLinkMouseEnter() {
    if (handCursor_) return;
    handCursor_ = true;
    QApplication::setOverrideCursor(Qt::PointingHandCursor);
}

void TfrmMain::sLinkMouseLeave() {
    if (!handCursor_) return;
    handCursor_ = false;
    QApplication::restoreOverrideCursor();
}

void TfrmMain::lKbpsClick() {
    ++Tag;
    if (Tag <= kHiddenClicks) return;
    QInputDialog::getText(this, QStringLiteral("Bilgi"), QStringLiteral("Yayın Adresi :"),
                          QLineEdit::Normal,
                          QString::fromUtf8(DefaultStreamAddress) + QStringLiteral(" - "));
}

void TfrmMain::sndBarPropertiesChange() {
    AE_SetVolume(float(sndBar->value()) / 100.0f);
    NotifyPlayerChanged();
}

void TfrmMain::btnSesAcikClick() {
    btnSesKapali->move(btnSesAcik->pos());
    btnSesKapali->show();
    btnSesAcik->hide();
    AE_SetVolume(0);
}

void TfrmMain::btnSesKapaliClick() {
    btnSesKapali->hide();
    btnSesAcik->show();
    AE_SetVolume(float(sndBar->value()) / 100.0f);
}

MeterLevels LevelsFromEngine(uint32_t active, uint32_t level) {
    constexpr uint32_t kNotPlaying = 0xFFFFFFFFu;
    if (active != AE_ACTIVE_PLAYING || level == kNotPlaying) return {0, 0};
    return {int(level & 0xFFFF) * 2, int(level >> 16) * 2};
}

void TfrmMain::tLevelTimer() {
    const AE_HANDLE stream = StreamHandle.load();
    const uint32_t active = AE_ChannelIsActive(stream);
    const uint32_t level = active == AE_ACTIVE_PLAYING ? AE_ChannelGetLevel(stream) : 0;
    const MeterLevels levels = LevelsFromEngine(active, level);
    lSol->setPosition(levels.left);
    lSag->setPosition(levels.right);
}
