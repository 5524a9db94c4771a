#include "ui/effectlabel.h"

#include <gtest/gtest.h>

#include <QPainter>

namespace {

QFont crispFont(int px = 20) {
    QFont f("DejaVu Sans");
    f.setPixelSize(px);
    f.setStyleStrategy(QFont::NoAntialias);
    return f;
}

// An opaque black label with left/top text, so copies are easy to find.
void setUpOnBlack(TEffectLabel& label, const QString& text) {
    label.resize(60, 30);
    label.setFont(crispFont());
    label.setTransparent(false);
    label.setColor(Qt::black);
    label.setTextColor(QColor(255, 0, 0));
    label.setAlignment(Qt::AlignLeft | Qt::AlignTop);
    label.setText(text);
}

QRect inkBounds(const QImage& img, QRgb background) {
    QRect r;
    for (int y = 0; y < img.height(); ++y)
        for (int x = 0; x < img.width(); ++x)
            if (img.pixel(x, y) != background) r |= QRect(x, y, 1, 1);
    return r;
}

}  // namespace

TEST(EffectPlan, FunDepthFourToTheRightFadesFromBackgroundToShadow) {
    EffectSettings s;
    s.effect = leFun;
    s.orientation = eoRight;
    s.depth = 4;
    s.background = Qt::black;
    s.shadowedColor = Qt::white;
    s.textColor = Qt::red;
    const EffectPlan plan = PlanEffect(QSize(50, 20), s);
    EXPECT_EQ(plan.textRect, QRect(0, 0, 46, 20));
    ASSERT_EQ(plan.passes.size(), 5u);
    const int xs[] = {4, 3, 2, 1, 0};
    const int greys[] = {63, 127, 191, 255};
    for (int i = 0; i < 5; ++i) EXPECT_EQ(plan.passes[i].offset, QPoint(xs[i], 0)) << i;
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(plan.passes[i].color, QColor(greys[i], greys[i], greys[i]));
    EXPECT_EQ(plan.passes[4].color, QColor(Qt::red));
}

TEST(EffectPlan, FadeTowardsDarkerShadowTruncatesTheWholeValue) {
    EffectSettings s;
    s.effect = leFun;
    s.orientation = eoBottom;
    s.depth = 4;
    s.background = Qt::white;
    s.shadowedColor = Qt::black;
    const EffectPlan plan = PlanEffect(QSize(50, 20), s);
    ASSERT_EQ(plan.passes.size(), 5u);
    EXPECT_EQ(plan.passes[0].offset, QPoint(0, 4));
    EXPECT_EQ(plan.passes[0].color, QColor(191, 191, 191));  // 255 - 63.75
    EXPECT_EQ(plan.passes[3].color, QColor(Qt::black));
    EXPECT_EQ(plan.textRect, QRect(0, 0, 50, 16));
}

TEST(EffectPlan, CoolDiagonalsDrawOneCopyAtFullDepth) {
    EffectSettings s;
    s.effect = leCool;
    s.depth = 3;
    s.shadowedColor = Qt::gray;
    s.textColor = Qt::black;
    struct Case {
        TEffectOrientation o;
        QPoint copy, text;
    } cases[] = {{eoLeftBottom, {0, 3}, {3, 0}}, {eoRightTop, {3, 0}, {0, 3}},
                 {eoLeftTop, {0, 0}, {3, 3}},    {eoRightBottom, {3, 3}, {0, 0}},
                 {eoLeft, {0, 0}, {3, 0}},       {eoTop, {0, 0}, {0, 3}}};
    for (const Case& c : cases) {
        s.orientation = c.o;
        const EffectPlan plan = PlanEffect(QSize(40, 20), s);
        ASSERT_EQ(plan.passes.size(), 2u) << c.o;
        EXPECT_EQ(plan.passes[0].offset, c.copy) << c.o;
        EXPECT_EQ(plan.passes[0].color, QColor(Qt::gray));
        EXPECT_EQ(plan.passes[1].offset, c.text) << c.o;
    }
}

TEST(EffectPlan, LoweredStyleAddsShadowOnlyFromTwelvePoints) {
    EffectSettings s;
    s.effect = leFun;
    s.style = lsLowered;
    s.btnShadow = Qt::darkGray;
    s.btnHighlight = Qt::white;
    s.textColor = Qt::blue;
    s.pointSize = 20;
    EffectPlan plan = PlanEffect(QSize(300, 36), s);
    ASSERT_EQ(plan.passes.size(), 3u);
    EXPECT_EQ(plan.passes[0].offset, QPoint(0, 0));
    EXPECT_EQ(plan.passes[0].color, QColor(Qt::darkGray));
    EXPECT_EQ(plan.passes[1].offset, QPoint(2, 2));
    EXPECT_EQ(plan.passes[2].offset, QPoint(1, 1));
    EXPECT_EQ(plan.passes[2].color, QColor(Qt::blue));
    s.pointSize = 11;
    plan = PlanEffect(QSize(300, 36), s);
    ASSERT_EQ(plan.passes.size(), 2u);
    EXPECT_EQ(plan.passes[0].color, QColor(Qt::white));
    // With depth the style offset moves the start and is taken back after the copies.
    s.depth = 2;
    s.orientation = eoRight;
    plan = PlanEffect(QSize(300, 36), s);
    ASSERT_EQ(plan.passes.size(), 4u);
    EXPECT_EQ(plan.passes[0].offset, QPoint(3, 0));
    EXPECT_EQ(plan.passes[1].offset, QPoint(2, 0));
    EXPECT_EQ(plan.passes[2].offset, QPoint(2, 2));  // (1 - 1) + (2, 2)
}

TEST(EffectPlan, FontPointsAt96Dpi) {
    QFont f;
    f.setPixelSize(27);
    EXPECT_EQ(FontPointSize(f), 20);
    f.setPixelSize(21);
    EXPECT_EQ(FontPointSize(f), 16);
    f.setPixelSize(11);
    EXPECT_EQ(FontPointSize(f), 8);
}

TEST(EffectLabel, FunDepthFourDrawsGreyCopiesRightOfTheText) {
    TEffectLabel label;
    setUpOnBlack(label, "I");
    label.setLabelEffect(leFun);
    label.setOrientation(eoRight);
    label.setShadowedColor(Qt::white);
    label.setDepth(4);
    const QImage img = label.picture().convertToFormat(QImage::Format_RGB32);
    // Find a row through the glyph's stem and the end of its red run.
    const QRect ink = inkBounds(img, qRgb(0, 0, 0));
    const int y = ink.center().y();
    int x = 0;
    while (x < img.width() && img.pixel(x, y) != qRgb(255, 0, 0)) ++x;
    ASSERT_LT(x, img.width());
    while (img.pixel(x, y) == qRgb(255, 0, 0)) ++x;
    EXPECT_EQ(img.pixel(x, y), qRgb(255, 255, 255));
    EXPECT_EQ(img.pixel(x + 1, y), qRgb(191, 191, 191));
    EXPECT_EQ(img.pixel(x + 2, y), qRgb(127, 127, 127));
    EXPECT_EQ(img.pixel(x + 3, y), qRgb(63, 63, 63));
    EXPECT_EQ(img.pixel(x + 4, y), qRgb(0, 0, 0));

    // The text itself stands where a plain label puts it.
    TEffectLabel plain;
    setUpOnBlack(plain, "I");
    const QImage ref = plain.picture().convertToFormat(QImage::Format_RGB32);
    EXPECT_EQ(inkBounds(ref, qRgb(0, 0, 0)).left(), ink.left());
}

TEST(EffectLabel, CoolDepthThreeLeftBottomShadowsThreeLowerAndLeft) {
    TEffectLabel plain;
    setUpOnBlack(plain, "H");
    const QImage ref = plain.picture().convertToFormat(QImage::Format_RGB32);
    const QRect glyph = inkBounds(ref, qRgb(0, 0, 0));

    TEffectLabel label;
    setUpOnBlack(label, "H");
    label.setLabelEffect(leCool);
    label.setOrientation(eoLeftBottom);
    label.setShadowedColor(QColor(0, 255, 0));
    label.setDepth(3);
    const QImage img = label.picture().convertToFormat(QImage::Format_RGB32);
    for (int y = glyph.top(); y <= glyph.bottom(); ++y) {
        for (int x = glyph.left(); x <= glyph.right(); ++x) {
            if (ref.pixel(x, y) != qRgb(255, 0, 0)) continue;
            EXPECT_EQ(img.pixel(x + 3, y), qRgb(255, 0, 0)) << x << "," << y;
            const QRgb under = img.pixel(x, y + 3);
            EXPECT_TRUE(under == qRgb(0, 255, 0) || under == qRgb(255, 0, 0)) << x << "," << y;
        }
    }
}

TEST(EffectLabel, CoolTextRectangleIsDepthNarrowerAndShorter) {
    // Right/bottom aligned text shows the smaller rectangle: the text ends 3 pixels earlier.
    TEffectLabel plain;
    setUpOnBlack(plain, "H");
    plain.setAlignment(Qt::AlignRight | Qt::AlignBottom);
    TEffectLabel cool;
    setUpOnBlack(cool, "H");
    cool.setAlignment(Qt::AlignRight | Qt::AlignBottom);
    cool.setLabelEffect(leCool);
    cool.setOrientation(eoLeftBottom);
    cool.setShadowedColor(QColor(255, 0, 0));  // same colour as the text: one shape
    cool.setDepth(3);
    const QRect a = inkBounds(plain.picture().convertToFormat(QImage::Format_RGB32), qRgb(0, 0, 0));
    const QRect b = inkBounds(cool.picture().convertToFormat(QImage::Format_RGB32), qRgb(0, 0, 0));
    // Text at (3, 0) inside a rectangle 3 narrower: its right edge stays, the copy reaches 3 left.
    EXPECT_EQ(b.right(), a.right());
    EXPECT_EQ(b.left(), a.left() - 3);
    EXPECT_EQ(b.top(), a.top() - 3);
    EXPECT_EQ(b.bottom(), a.bottom());
}

TEST(EffectLabel, DepthZeroLooksPlain) {
    TEffectLabel plain;
    setUpOnBlack(plain, "Velmora 128 kbps");
    TEffectLabel fun;
    setUpOnBlack(fun, "Velmora 128 kbps");
    fun.setLabelEffect(leFun);
    fun.setOrientation(eoRight);
    fun.setShadowedColor(Qt::white);
    EXPECT_EQ(fun.picture(), plain.picture());
    fun.setDepth(2);
    EXPECT_NE(fun.picture(), plain.picture());
}

TEST(EffectLabel, AcceleratorMarkHiddenOnlyWhenShown) {
    TEffectLabel accel;
    setUpOnBlack(accel, "&&A");
    TEffectLabel literal;
    setUpOnBlack(literal, "&A");
    literal.setShowAccelChar(false);
    // "&&" draws one ampersand: both show "&A".
    EXPECT_EQ(accel.picture(), literal.picture());

    TEffectLabel marked;
    setUpOnBlack(marked, "&A");
    const QRect markedInk =
        inkBounds(marked.picture().convertToFormat(QImage::Format_RGB32), qRgb(0, 0, 0));
    const QRect literalInk =
        inkBounds(literal.picture().convertToFormat(QImage::Format_RGB32), qRgb(0, 0, 0));
    EXPECT_LT(markedInk.width(), literalInk.width());  // no ampersand drawn
}

TEST(EffectLabel, TransparentLabelShowsItsParent) {
    QWidget parent;
    parent.resize(60, 30);
    parent.setAutoFillBackground(true);
    QPalette pal;
    pal.setColor(QPalette::Window, QColor(10, 200, 30));
    parent.setPalette(pal);
    TEffectLabel label(&parent);
    label.setGeometry(0, 0, 60, 30);
    label.setFont(crispFont());
    label.setTextColor(QColor(255, 0, 0));
    label.setText("I");
    const QImage shot = parent.grab().toImage().convertToFormat(QImage::Format_RGB32);
    const QRect ink = inkBounds(shot, qRgb(10, 200, 30));
    EXPECT_FALSE(ink.isEmpty());
    EXPECT_EQ(shot.pixel(ink.center()), qRgb(255, 0, 0));
    EXPECT_EQ(shot.pixel(55, 25), qRgb(10, 200, 30));
}
