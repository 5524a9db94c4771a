// The main window in-process, offscreen, against the scripted engine.
#include "ui/frmmain.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFontInfo>
#include <QThread>
#include <QFrame>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QScreen>
#include <QSlider>
#include <QTimer>

#include <functional>

#include "fake_engine.h"
#include "playback/station.h"
#include "ui/effectlabel.h"
#include "ui/errorbox.h"
#include "ui/image.h"
#include "ui/pictures.h"
#include "ui/skinregion.h"
#include "widgets/levelbar/levelbar.h"

namespace {

bool WaitFor(const std::function<bool()>& pred, int timeoutMs = 10000) {
    QElapsedTimer timer;
    timer.start();
    while (!pred()) {
        if (timer.elapsed() > timeoutMs) return false;
        QApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(2);
    }
    return true;
}

struct SeenBox {
    bool shown = false;
    QString title, text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QWidget* parent = nullptr;
};

// Answers the next modal box: records it, then lets `answer` close it.
void WhenModalOpens(const std::function<void(QWidget*)>& answer) {
    auto* poll = new QTimer;
    poll->setInterval(10);
    QObject::connect(poll, &QTimer::timeout, [poll, answer] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            poll->stop();
            poll->deleteLater();
            answer(modal);
        }
    });
    poll->start();
}

void RecordBox(SeenBox& seen) {
    WhenModalOpens([&seen](QWidget* modal) {
        auto* box = qobject_cast<QMessageBox*>(modal);
        if (!box) return;
        seen = {true, box->windowTitle(), box->text(), box->icon(), box->parentWidget()};
        box->accept();
    });
}

class MainWindow : public ::testing::Test {
  protected:
    void SetUp() override {
        fake::Reset();
        exitCodes.clear();
        TfrmMain::ExitProcess = [this](int code) { exitCodes.push_back(code); };
        StreamHandle = 0;
    }
    void TearDown() override {
        frm.reset();
        StreamHandle = 0;
    }
    TfrmMain& window() {
        if (!frm) frm = std::make_unique<TfrmMain>();
        return *frm;
    }
    std::vector<int> exitCodes;
    std::unique_ptr<TfrmMain> frm;
};

}  // namespace

TEST_F(MainWindow, ControlsSitWhereTheLayoutPutsThem) {
    TfrmMain& w = window();
    EXPECT_EQ(w.size(), QSize(483, 195));
    EXPECT_TRUE(w.windowFlags() & Qt::FramelessWindowHint);
    struct Place {
        QWidget* control;
        QRect rect;
        bool visible;
    } places[] = {
        {w.Image1, {0, 0, 483, 195}, true},
        {w.btnKapat, {440, 11, 21, 21}, true},
        {w.btnMinimize, {392, 11, 21, 21}, true},
        {w.btnSesAcik, {54, 145, 16, 16}, true},
        {w.btnDur, {36, 145, 16, 16}, true},
        {w.btnPlay, {18, 145, 16, 16}, true},
        {w.btnSesKapali, {271, 143, 16, 16}, false},
        {w.btnBilgi, {416, 11, 21, 21}, true},
        {w.Label4, {69, 51, 302, 36}, false},
        {w.sndBar, {66, 141, 143, 29}, true},
        {w.Label3, {67, 86, 302, 51}, false},
        {w.sLink, {81, 164, 307, 28}, true},
        {w.lKbps, {14, 27, 69, 18}, true},  // widened to the left, same right edge
        {w.lHz, {86, 27, 82, 18}, true},
        {w.lSag, {44, 44, 26, 99}, true},
        {w.lSol, {18, 44, 26, 99}, true},
        {w.pnlinfo, {90, 198, 369, 127}, false},
        {w.Panel1, {1, 1, 367, 23}, true},
        {w.btnInfoKapat, {344, 1, 21, 21}, true},
        {w.Label1, {6, 3, 64, 16}, true},
        {w.Image2, {10, 25, 353, 100}, true},
    };
    for (const Place& p : places) {
        ASSERT_NE(p.control, nullptr);
        EXPECT_EQ(p.control->geometry(), p.rect) << p.control->objectName().toStdString();
        EXPECT_EQ(p.control->isVisibleTo(p.control->parentWidget()), p.visible)
            << p.control->objectName().toStdString();
    }
    EXPECT_EQ(w.sndBar->minimum(), 0);
    EXPECT_EQ(w.sndBar->maximum(), 100);
    EXPECT_EQ(w.TimerKontrol->interval(), 25000);
    EXPECT_EQ(w.tLevel->interval(), 20);
    EXPECT_TRUE(w.TimerKontrol->isActive());
    EXPECT_TRUE(w.tLevel->isActive());
}

TEST_F(MainWindow, PicturesLieBelowWindowedControlsAndThePanelOnTop) {
    TfrmMain& w = window();
    const QObjectList& kids = w.children();
    auto index = [&](QWidget* c) { return kids.indexOf(c); };
    for (QWidget* image : {static_cast<QWidget*>(w.Image1), static_cast<QWidget*>(w.btnBilgi),
                           static_cast<QWidget*>(w.btnSesKapali)}) {
        for (QWidget* windowed : {static_cast<QWidget*>(w.Label4), static_cast<QWidget*>(w.sndBar),
                                  static_cast<QWidget*>(w.lSol)}) {
            EXPECT_LT(index(image), index(windowed));
        }
    }
    EXPECT_LT(index(w.Image1), index(w.btnKapat));
    EXPECT_LT(index(w.lSag), index(w.lSol));
    qsizetype last = -1;
    for (QObject* o : kids)
        if (o->isWidgetType()) last = std::max(last, index(static_cast<QWidget*>(o)));
    EXPECT_EQ(last, index(w.pnlinfo));
}

TEST_F(MainWindow, HintsCursorsAndLabelLooks) {
    TfrmMain& w = window();
    EXPECT_EQ(w.btnKapat->toolTip(), "Kapat");
    EXPECT_EQ(w.btnMinimize->toolTip(), "Simge Durumu");
    EXPECT_EQ(w.btnBilgi->toolTip(), "Bilgi");
    EXPECT_EQ(w.btnInfoKapat->toolTip(), "Kapat");
    EXPECT_TRUE(w.btnPlay->toolTip().isEmpty());
    EXPECT_TRUE(w.Image1->toolTip().isEmpty());
    for (QWidget* c : {static_cast<QWidget*>(w.btnKapat), static_cast<QWidget*>(w.btnMinimize),
                       static_cast<QWidget*>(w.btnBilgi), static_cast<QWidget*>(w.btnInfoKapat),
                       static_cast<QWidget*>(w.Image2)})
        EXPECT_EQ(c->cursor().shape(), Qt::PointingHandCursor);

    EXPECT_EQ(w.lKbps->text(), "0 kbps aac");
    EXPECT_EQ(w.lHz->text(), "0 Hz");
    EXPECT_EQ(w.lKbps->TextColor(), QColor(0, 128, 192));
    EXPECT_EQ(w.lKbps->Alignment(), Qt::AlignRight | Qt::AlignTop);
    EXPECT_EQ(w.lHz->Alignment(), Qt::AlignLeft | Qt::AlignTop);
    EXPECT_EQ(w.lKbps->font().pixelSize(), 11);
    EXPECT_EQ(w.sLink->LabelEffect(), leCool);
    EXPECT_EQ(w.sLink->Orientation(), eoLeftBottom);
    EXPECT_EQ(w.sLink->Depth(), 1);
    EXPECT_EQ(w.sLink->ShadowedColor(), QColor(166, 166, 166));
    EXPECT_TRUE(w.sLink->font().bold());
    EXPECT_EQ(w.sLink->font().pixelSize(), 19);
    EXPECT_EQ(w.Label4->LabelStyle(), lsLowered);
    EXPECT_EQ(w.Label4->TextColor(), QColor(128, 0, 64));
    EXPECT_EQ(w.Label4->font().pixelSize(), 27);
    EXPECT_TRUE(w.Label4->ShowAccelChar());
    EXPECT_FALSE(w.Label3->ShowAccelChar());
    EXPECT_TRUE(w.Label3->WordWrap());
    EXPECT_EQ(w.Label1->text(), "Hakkımızda");
    EXPECT_FALSE(w.sLink->text().contains("://"));
    EXPECT_TRUE(QString::fromUtf8(DefaultHomeAddress).endsWith(w.sLink->text()));
}

TEST_F(MainWindow, FormCreateStartsTheEngineInOrderAndCutsTheSkin) {
    TfrmMain& w = window();
    ASSERT_TRUE(w.FormCreate());
    EXPECT_TRUE(exitCodes.empty());
    const std::vector<std::string> expected = {
        "AE_Init(-1,44100,0)",  "AE_PluginLoad(aewma,1)", "AE_PluginLoad(aeaac,1)",
        "AE_SetConfig(21,1)",   "AE_SetConfig(0,500)",    "AE_SetConfig(12,2000)",
        "AE_SetConfig(15,100)", "AE_SetConfig(11,20000)", "AE_SetConfig(24,4)",
    };
    const std::vector<std::string> calls = fake::Calls();
    ASSERT_GE(calls.size(), expected.size() + 1);
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(calls[i], expected[i]);
    EXPECT_EQ(calls[expected.size()].rfind("AE_SetConfigPtr(16,VELMORA", 0), 0u);

    QImage skin = WindowPicture("skin.bmp");
    EXPECT_EQ(w.mask(), CreateSkinRegion(skin).region);
    EXPECT_TRUE(w.mask().contains(QPoint(240, 100)));
    EXPECT_FALSE(w.mask().contains(QPoint(0, 0)));
    EXPECT_FALSE(w.mask().contains(QPoint(482, 194)));
}

TEST_F(MainWindow, WrongEngineVersionShowsTheBoxAndEnds) {
    for (uint32_t version : {0x02050000u, 0x02030000u}) {
        fake::Reset();
        fake::SetVersion(version);
        exitCodes.clear();
        frm.reset();
        SeenBox seen;
        RecordBox(seen);
        EXPECT_FALSE(window().FormCreate());
        EXPECT_TRUE(seen.shown);
        EXPECT_EQ(seen.text, "Ses motoru kütüphanesi bulunamadı..");
        EXPECT_TRUE(seen.title.isEmpty());
        EXPECT_EQ(seen.icon, QMessageBox::Critical);
        EXPECT_EQ(seen.parent, nullptr);
        EXPECT_EQ(exitCodes, std::vector<int>{0});
        EXPECT_EQ(fake::FindCall("AE_Init"), -1);
        EXPECT_FALSE(window().isVisible());
    }
}

TEST_F(MainWindow, EngineStartFailureShowsCodeAndEnds) {
    fake::SetInitResult(false, AE_ERROR_NO_SERVER);
    SeenBox seen;
    RecordBox(seen);
    EXPECT_FALSE(window().FormCreate());
    EXPECT_EQ(seen.text, "Cant initialize device\n(error code: 3)");
    EXPECT_EQ(seen.icon, QMessageBox::NoIcon);
    EXPECT_TRUE(seen.title.isEmpty());
    EXPECT_EQ(seen.parent, &window());
    EXPECT_EQ(exitCodes, std::vector<int>{0});
    EXPECT_EQ(fake::FindCall("AE_PluginLoad"), -1);
}

TEST_F(MainWindow, FirstShowTitlesPlacesAndOpensOnce) {
    TfrmMain& w = window();
    ASSERT_TRUE(w.FormCreate());
    fake::SetVolumeValue(0.375f);
    w.show();
    ASSERT_TRUE(WaitFor([&] { return fake::FindCall("AE_Start") >= 0; }));
    EXPECT_EQ(ApplicationTitle(), "VARNO ZIVAV");
    EXPECT_EQ(w.windowTitle(), "VARNO ZIVAV");
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    EXPECT_EQ(w.pos(), QPoint(screen.width() - 488, screen.height() - 237));
    EXPECT_EQ(w.sndBar->value(), 38);  // halves to even
    EXPECT_EQ(fake::CountCalls("AE_Stop"), 1);
    w.hide();
    w.show();
    QApplication::processEvents();
    QApplication::processEvents();
    EXPECT_EQ(fake::CountCalls("AE_Stop"), 1);
}

namespace {
// A text drawn as the format labels draw it, on a transparent picture of `size`.
QImage DrawnText(const TEffectLabel& label, QSize size, int flags, const QString& text) {
    QImage picture(size, QImage::Format_ARGB32_Premultiplied);
    picture.fill(Qt::transparent);
    QPainter painter(&picture);
    painter.setFont(label.font());
    painter.setPen(label.TextColor());
    painter.drawText(QRect(QPoint(0, 0), size), flags, text);
    return picture;
}
}  // namespace

// The format line: the texts the player sets never show a wrapped line cut off by the label's
// bottom; three-digit MP3 rates fit whole; a short text draws on the window's same pixels as
// in the layout's 66-pixel label.
TEST_F(MainWindow, FormatLabelsDrawOnlyWholeLines) {
    TfrmMain& w = window();
    const QFontMetrics metrics(w.lKbps->font());
    const int firstLineBottom = metrics.ascent() + metrics.descent();
    struct Case {
        TEffectLabel* label;
        const char* text;
    } cases[] = {{w.lKbps, "128 kbps mp3"},
                 {w.lKbps, "320 kbps mp3"},
                 {w.lKbps, "128 kbps wma"},
                 {w.lHz, "44100 Hz Stereo "}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        c.label->setText(QString::fromLatin1(c.text));
        const QImage& picture = c.label->picture();
        bool onFirstLine = false, below = false;
        for (int y = 0; y < picture.height(); ++y) {
            for (int x = 0; x < picture.width(); ++x) {
                if (qAlpha(picture.pixel(x, y)) != 0)
                    (y < firstLineBottom ? onFirstLine : below) = true;
            }
        }
        EXPECT_TRUE(onFirstLine);
        EXPECT_FALSE(below);
    }

    const int flags = Qt::AlignRight | Qt::AlignTop | Qt::TextWordWrap | Qt::TextShowMnemonic;
    for (const char* text : {"128 kbps mp3", "320 kbps mp3"}) {
        w.lKbps->setText(QString::fromLatin1(text));
        EXPECT_TRUE(w.lKbps->picture() == DrawnText(*w.lKbps, w.lKbps->size(),
                                                    flags & ~Qt::TextWordWrap,
                                                    QString::fromLatin1(text)))
            << text;
    }

    const QString idle = QStringLiteral("0 kbps aac");
    w.lKbps->setText(idle);
    constexpr int kLayoutLeft = 17, kLayoutWidth = 66;
    const int left = kLayoutLeft - w.lKbps->x();
    EXPECT_TRUE(w.lKbps->picture().copy(left, 0, kLayoutWidth, w.lKbps->height()) ==
                DrawnText(*w.lKbps, QSize(kLayoutWidth, w.lKbps->height()), flags, idle));
    EXPECT_TRUE(w.lKbps->picture().copy(0, 0, left, w.lKbps->height()) ==
                DrawnText(*w.lKbps, QSize(left, w.lKbps->height()), flags, QString()));
}

TEST_F(MainWindow, MuteSwapsButtonsAndSilencesUnmuteRestoresSlider) {
    TfrmMain& w = window();
    w.sndBar->setValue(37);
    EXPECT_EQ(fake::Calls().back(), "AE_SetVolume(0.37)");
    w.btnSesAcikClick();
    EXPECT_FALSE(w.btnSesAcik->isVisibleTo(&w));
    EXPECT_TRUE(w.btnSesKapali->isVisibleTo(&w));
    EXPECT_EQ(w.btnSesKapali->pos(), QPoint(54, 145));
    EXPECT_EQ(fake::Calls().back(), "AE_SetVolume(0)");
    // Moving the slider while muted sets the volume at once.
    w.sndBar->setValue(50);
    EXPECT_EQ(fake::Calls().back(), "AE_SetVolume(0.5)");
    EXPECT_TRUE(w.btnSesKapali->isVisibleTo(&w));
    w.btnSesKapaliClick();
    EXPECT_TRUE(w.btnSesAcik->isVisibleTo(&w));
    EXPECT_FALSE(w.btnSesKapali->isVisibleTo(&w));
    EXPECT_EQ(fake::Calls().back(), "AE_SetVolume(0.5)");
}

TEST_F(MainWindow, LevelsFromEngineSplitAndDouble) {
    EXPECT_EQ(LevelsFromEngine(AE_ACTIVE_PLAYING, 0x40002000u), (MeterLevels{0x4000, 0x8000}));
    EXPECT_EQ(LevelsFromEngine(AE_ACTIVE_PLAYING, 0x80008000u), (MeterLevels{65536, 65536}));
    EXPECT_EQ(LevelsFromEngine(AE_ACTIVE_PLAYING, 0xFFFFFFFFu), (MeterLevels{0, 0}));
    for (uint32_t state : {AE_ACTIVE_STOPPED, AE_ACTIVE_STALLED, AE_ACTIVE_PAUSED})
        EXPECT_EQ(LevelsFromEngine(state, 0x10001000u), (MeterLevels{0, 0}));
}

TEST_F(MainWindow, MetersFollowTheStreamAndFallWithinATick) {
    fake::StreamScript script;
    script.handle = 77;
    script.level = 0x30001000u;
    fake::Script("http://meter.test/a", script);
    TfrmMain& w = window();
    ASSERT_TRUE(w.FormCreate());
    const AE_HANDLE h = AE_StreamCreateURL("http://meter.test/a", 0, 0, nullptr, nullptr);
    ASSERT_EQ(h, 77u);
    AE_ChannelPlay(h, 0);
    StreamHandle = h;
    // The running 20 ms timer feeds the meters.
    EXPECT_TRUE(WaitFor([&] { return w.lSol->position() == 0x2000; }));
    EXPECT_EQ(w.lSag->position(), 0x6000);
    // One tick after the stream stalls, both meters read 0.
    fake::SetActive(h, AE_ACTIVE_STALLED);
    w.tLevelTimer();
    EXPECT_EQ(w.lSol->position(), 0);
    EXPECT_EQ(w.lSag->position(), 0);
    fake::SetActive(h, AE_ACTIVE_PLAYING);
    w.tLevelTimer();
    EXPECT_EQ(w.lSol->position(), 0x2000);
    StreamHandle = 0;  // no stream at all
    w.tLevelTimer();
    EXPECT_EQ(w.lSag->position(), 0);
}

namespace {
// Counts the paint events that reach a window or any of its controls.
class WindowPaints : public QObject {
  public:
    explicit WindowPaints(QWidget* window) : window_(window) { qApp->installEventFilter(this); }
    ~WindowPaints() override { qApp->removeEventFilter(this); }
    int count = 0;

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        // Widgets first: the player's worker threads post wake-ups to a plain object, and
        // Qt's posted-event queue orders them in locks ThreadSanitizer cannot see.
        if (watched->isWidgetType() && event->type() == QEvent::Paint) {
            auto* widget = static_cast<QWidget*>(watched);
            if (widget == window_ || window_->isAncestorOf(widget)) ++count;
        }
        return false;
    }

  private:
    QWidget* window_;
};
}  // namespace

// A stopped player's window stays still: the level ticks write the meters' own values again,
// and a label written with the text it shows is left as it is, so nothing is repainted.
TEST_F(MainWindow, StoppedWindowRepaintsNothing) {
    TfrmMain& w = window();
    ASSERT_TRUE(w.FormCreate());
    WindowPaints paints(&w);
    w.show();
    ASSERT_TRUE(WaitFor([&] { return fake::FindCall("AE_Start") >= 0; }));
    w.btnDurClick();
    int ticks = 0;
    QObject::connect(w.tLevel, &QTimer::timeout, [&] { ++ticks; });
    // The first paint of the shown window, and a few ticks that bring the meters to rest.
    ASSERT_TRUE(WaitFor([&] { return paints.count > 0 && ticks >= 3; }));
    paints.count = 0;
    ticks = 0;
    w.SetPlayerLabel(TPlayerLabel::Kbps, w.lKbps->text().toStdString());
    w.SetPlayerLabel(TPlayerLabel::Hz, w.lHz->text().toStdString());
    ASSERT_TRUE(WaitFor([&] { return ticks >= 10; }));
    EXPECT_EQ(paints.count, 0);
    // A change still shows.
    w.SetPlayerLabel(TPlayerLabel::Hz, "44100 Hz Stereo");
    EXPECT_TRUE(WaitFor([&] { return paints.count > 0; }));
}

TEST_F(MainWindow, AboutPanelShowsAtTop35AndHides) {
    TfrmMain& w = window();
    w.btnBilgiClick();
    EXPECT_TRUE(w.pnlinfo->isVisibleTo(&w));
    EXPECT_EQ(w.pnlinfo->geometry(), QRect(90, 35, 369, 127));
    w.btnBilgiClick();
    EXPECT_EQ(w.pnlinfo->pos(), QPoint(90, 35));
    w.btnInfoKapatClick();
    EXPECT_FALSE(w.pnlinfo->isVisibleTo(&w));
    EXPECT_EQ(w.pnlinfo->pos(), QPoint(90, 35));
    w.btnBilgiClick();
    EXPECT_TRUE(w.pnlinfo->isVisibleTo(&w));
}

TEST_F(MainWindow, TwentyFirstClickOnTheFormatLabelsOpensTheBox) {
    TfrmMain& w = window();
    int opened = 0;
    QString title, prompt, text;
    auto watch = [&] {
        WhenModalOpens([&](QWidget* modal) {
            auto* dialog = qobject_cast<QInputDialog*>(modal);
            if (!dialog) return;
            ++opened;
            title = dialog->windowTitle();
            prompt = dialog->labelText();
            text = dialog->textValue();
            dialog->reject();
        });
    };
    for (int i = 0; i < 10; ++i) {
        emit w.lKbps->clicked();
        emit w.lHz->clicked();
    }
    EXPECT_EQ(w.Tag, 20);
    QApplication::processEvents();
    EXPECT_EQ(opened, 0);
    watch();
    emit w.lHz->clicked();
    EXPECT_EQ(opened, 1);
    EXPECT_EQ(title, "Bilgi");
    EXPECT_EQ(prompt, "Yayın Adresi :");
    EXPECT_EQ(text, QString::fromUtf8(DefaultStreamAddress) + " - ");
    watch();
    emit w.lKbps->clicked();
    EXPECT_EQ(opened, 2);
    EXPECT_EQ(w.Tag, 22);
}

TEST_F(MainWindow, HandCursorOverTheLinkOnly) {
    TfrmMain& w = window();
    ASSERT_EQ(QApplication::overrideCursor(), nullptr);
    emit w.sLink->mouseEnter();
    ASSERT_NE(QApplication::overrideCursor(), nullptr);
    EXPECT_EQ(QApplication::overrideCursor()->shape(), Qt::PointingHandCursor);
    emit w.sLink->mouseLeave();
    EXPECT_EQ(QApplication::overrideCursor(), nullptr);
}

TEST_F(MainWindow, WindowFontsComeFromWineWhenInstalled) {
    if (!QFile::exists("/usr/share/wine/fonts/tahoma.ttf")) GTEST_SKIP() << "fonts-wine missing";
    TfrmMain& w = window();
    EXPECT_EQ(QFontInfo(w.lKbps->font()).family(), "Tahoma");
    EXPECT_EQ(QFontInfo(w.sLink->font()).family(), "Tahoma");
    EXPECT_TRUE(QFontInfo(w.sLink->font()).bold());
    EXPECT_EQ(QFontInfo(w.Label1->font()).family(), "Tahoma");
    EXPECT_EQ(QFontInfo(w.font()).family(), "MS Sans Serif");
}
