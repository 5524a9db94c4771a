// Draws Velmora's pictures with QPainter and writes them to a folder:
//   make-assets <folder>
// skin.bmp (482 x 194, 24-bit, magenta key), seven button bitmaps (24-bit,
// magenta background), about.png (349 x 100 with alpha), icon.bmp and icon.png.
//   make-assets --icons <folder>
// the icon with alpha in every size of the hicolor theme, as <folder>/NxN/apps/velmora.png.
//
// Antialiased edges are blended against a colour close to what lies behind
// the picture, never against magenta, and only pixels that the shape does not
// touch at all get the exact key colour, so no pinkish fringe survives keying.
#include <QDir>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <cmath>
#include <cstdio>

namespace {

const QColor kKey(255, 0, 255);
// One palette, taken from the meters: deep blue to ice blue, amber for accents.
const QColor kDeepBlue(0, 64, 128);
const QColor kIceBlue(204, 230, 255);
const QColor kAmber(249, 217, 108);
const QColor kNight(0, 30, 64);
const QColor kSilverTop(250, 252, 255);
const QColor kSilverBottom(214, 226, 240);
const QColor kInk(22, 44, 72);

constexpr int kSkinWidth = 482;
constexpr int kSkinHeight = 194;

QString gFolder;

bool save(const QImage& image, const QString& name) {
    const QString path = gFolder + "/" + name;
    if (!image.save(path)) {
        std::fprintf(stderr, "make-assets: cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

// Puts `art` (drawn with antialiasing over `edge`) where `shape` covers the
// picture, and the exact key colour where it covers nothing. 24-bit result.
QImage keyed(const QImage& art, const QPainterPath& shape, const QColor& edge) {
    QImage coverage(art.size(), QImage::Format_Alpha8);
    coverage.fill(0);
    {
        QPainter p(&coverage);
        p.setRenderHint(QPainter::Antialiasing);
        p.fillPath(shape, Qt::black);
    }
    QImage out(art.size(), QImage::Format_RGB888);
    for (int y = 0; y < art.height(); ++y) {
        const uchar* cov = coverage.constScanLine(y);
        for (int x = 0; x < art.width(); ++x) {
            if (cov[x] == 0) {
                out.setPixelColor(x, y, kKey);
                continue;
            }
            const QColor c = art.pixelColor(x, y);
            const double a = cov[x] / 255.0;
            auto mix = [a](int fg, int bg) { return int(std::lround(fg * a + bg * (1 - a))); };
            out.setPixelColor(x, y,
                              QColor(mix(c.red(), edge.red()), mix(c.green(), edge.green()),
                                     mix(c.blue(), edge.blue())));
        }
    }
    return out;
}

QLinearGradient vertical(double top, double bottom, const QColor& a, const QColor& b) {
    QLinearGradient g(0, top, 0, bottom);
    g.setColorAt(0, a);
    g.setColorAt(1, b);
    return g;
}

// A sunken well with a soft inner shadow and a light lower lip.
void drawWell(QPainter& p, const QRectF& r, double radius, const QColor& top,
              const QColor& bottom) {
    QPainterPath path;
    path.addRoundedRect(r, radius, radius);
    p.fillPath(path, vertical(r.top(), r.bottom(), top, bottom));
    p.setPen(QPen(QColor(0, 40, 90, 90), 1));
    p.drawPath(path);
    QPainterPath lip;
    lip.addRoundedRect(r.adjusted(-1, -1, 1, 1), radius + 1, radius + 1);
    p.setPen(QPen(QColor(255, 255, 255, 200), 1));
    p.save();
    p.setClipRect(QRectF(r.left() - 2, r.center().y(), r.width() + 4, r.height()));
    p.drawPath(lip);
    p.restore();
}

QPainterPath skinShape() {
    QPainterPath panel;
    panel.addRoundedRect(QRectF(5, 21, 475, 152), 16, 16);
    QPainterPath tab;
    tab.addRoundedRect(QRectF(384, 7, 84, 30), 9, 9);
    QPainterPath strip;
    strip.addRoundedRect(QRectF(80, 150, 309, 41), 10, 10);
    return panel.united(tab).united(strip).simplified();
}

void drawDial(QPainter& p, const QRectF& r) {
    // A tuning scale from 88 to 108 MHz with the station's needle at 96.2.
    constexpr double kLow = 88.0, kHigh = 108.0, kStation = 96.2;
    auto xAt = [&](double mhz) { return r.left() + (mhz - kLow) / (kHigh - kLow) * r.width(); };
    QFont small("DejaVu Sans");
    small.setPixelSize(8);
    p.setFont(small);
    for (int mhz = 88; mhz <= 108; ++mhz) {
        const double x = xAt(mhz);
        const bool major = mhz % 4 == 0;
        p.setPen(QPen(QColor(204, 230, 255, major ? 200 : 110), 1));
        p.drawLine(QPointF(x, r.bottom() - (major ? 7 : 4)), QPointF(x, r.bottom()));
        if (major) {
            p.setPen(QColor(204, 230, 255, 170));
            p.drawText(QRectF(x - 12, r.top() - 1, 24, 10), Qt::AlignCenter, QString::number(mhz));
        }
    }
    const double nx = xAt(kStation);
    QLinearGradient glow(nx - 6, 0, nx + 6, 0);
    glow.setColorAt(0, QColor(249, 217, 108, 0));
    glow.setColorAt(0.5, QColor(249, 217, 108, 90));
    glow.setColorAt(1, QColor(249, 217, 108, 0));
    p.fillRect(QRectF(nx - 6, r.top() + 8, 12, r.height() - 6), glow);
    p.setPen(QPen(kAmber, 2));
    p.drawLine(QPointF(nx, r.top() + 8), QPointF(nx, r.bottom() + 2));
}

void drawDisplay(QPainter& p, const QRectF& r) {
    QPainterPath path;
    path.addRoundedRect(r, 10, 10);
    p.fillPath(path, vertical(r.top(), r.bottom(), QColor(0, 72, 140), kNight));
    // Gloss across the upper half.
    QPainterPath gloss;
    gloss.addRoundedRect(QRectF(r.left() + 2, r.top() + 2, r.width() - 4, r.height() * 0.45), 9, 9);
    p.fillPath(gloss, vertical(r.top(), r.top() + r.height() * 0.45, QColor(255, 255, 255, 60),
                               QColor(255, 255, 255, 8)));
    p.setPen(QPen(QColor(0, 28, 60), 1.2));
    p.drawPath(path);

    QFont name("DejaVu Sans");
    name.setPixelSize(24);
    name.setBold(true);
    name.setLetterSpacing(QFont::AbsoluteSpacing, 1.5);
    p.setFont(name);
    const QRectF nameBox(r.left() + 16, r.top() + 8, r.width() - 110, 32);
    p.setPen(QColor(0, 20, 45, 160));
    p.drawText(nameBox.translated(1, 1), Qt::AlignLeft | Qt::AlignVCenter, "VARNO ZIVAV");
    p.setPen(kIceBlue);
    p.drawText(nameBox, Qt::AlignLeft | Qt::AlignVCenter, "VARNO ZIVAV");

    QFont freq("DejaVu Sans");
    freq.setPixelSize(26);
    freq.setBold(true);
    p.setFont(freq);
    const QRectF freqBox(r.right() - 104, r.top() + 8, 74, 32);
    p.setPen(kAmber);
    p.drawText(freqBox, Qt::AlignRight | Qt::AlignVCenter, "96.2");
    QFont fm("DejaVu Sans");
    fm.setPixelSize(9);
    fm.setBold(true);
    p.setFont(fm);
    p.drawText(QRectF(r.right() - 28, r.top() + 14, 22, 20), Qt::AlignLeft | Qt::AlignBottom, "FM");

    QFont tag("DejaVu Sans");
    tag.setPixelSize(9);
    tag.setLetterSpacing(QFont::AbsoluteSpacing, 2.5);
    p.setFont(tag);
    p.setPen(QColor(204, 230, 255, 150));
    p.drawText(QRectF(r.left() + 17, r.top() + 38, 200, 12), Qt::AlignLeft | Qt::AlignVCenter,
               "LIVE INTERNET RADIO");

    drawDial(p, QRectF(r.left() + 18, r.bottom() - 26, r.width() - 36, 18));
}

QImage makeSkin() {
    const QPainterPath shape = skinShape();
    QImage art(kSkinWidth, kSkinHeight, QImage::Format_RGB32);
    art.fill(QColor(60, 82, 110));  // edge colour behind the antialiased outline
    QPainter p(&art);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);

    // Body: brushed silver with a cool blue cast, a soft top highlight.
    p.fillPath(shape, vertical(7, 191, kSilverTop, kSilverBottom));
    QPainterPath sheen;
    sheen.addRoundedRect(QRectF(9, 24, 467, 60), 13, 13);
    p.fillPath(sheen.intersected(shape),
               vertical(24, 84, QColor(255, 255, 255, 150), QColor(255, 255, 255, 0)));
    // Outline, with an inner white bevel.
    p.setPen(QPen(QColor(40, 70, 110), 1.6));
    p.drawPath(shape);
    QPainterPath inner;
    inner.addRoundedRect(QRectF(7.5, 23.5, 470, 147), 14, 14);
    p.setPen(QPen(QColor(255, 255, 255, 170), 1));
    p.drawPath(inner);

    // Window buttons' tab: a slightly darker cap under the three buttons.
    QPainterPath cap;
    cap.addRoundedRect(QRectF(388, 9, 76, 25), 7, 7);
    p.fillPath(cap, vertical(9, 34, QColor(224, 234, 246), QColor(200, 214, 232)));
    p.setPen(QPen(QColor(120, 146, 180, 160), 1));
    p.drawPath(cap);

    // Format read-out behind lKbps and lHz.
    drawWell(p, QRectF(13.5, 25.5, 158, 20), 6, QColor(255, 255, 255), QColor(236, 243, 250));
    // Meter bay behind lSol and lSag.
    drawWell(p, QRectF(14.5, 40.5, 59, 102), 7, QColor(226, 234, 243), QColor(242, 246, 251));

    // Brand mark between the read-out and the tab.
    QFont brand("DejaVu Sans");
    brand.setPixelSize(11);
    brand.setBold(true);
    brand.setLetterSpacing(QFont::AbsoluteSpacing, 3);
    p.setFont(brand);
    p.setPen(QColor(255, 255, 255, 220));
    p.drawText(QRectF(185, 27, 190, 16), Qt::AlignCenter, "VELMORA");
    p.setPen(QColor(0, 64, 128, 150));
    p.drawText(QRectF(185, 26, 190, 16), Qt::AlignCenter, "VELMORA");

    drawDisplay(p, QRectF(84, 48, 384, 88));

    // Transport and volume tray.
    drawWell(p, QRectF(14.5, 144.5, 198, 23), 8, QColor(232, 239, 247), QColor(250, 252, 255));
    // A quiet groove to the right of the tray.
    for (int i = 0; i < 3; ++i) {
        p.setPen(QPen(QColor(120, 146, 180, 90), 1));
        p.drawLine(QPointF(228, 147.5 + i * 5), QPointF(466, 147.5 + i * 5));
        p.setPen(QPen(QColor(255, 255, 255, 200), 1));
        p.drawLine(QPointF(228, 148.5 + i * 5), QPointF(466, 148.5 + i * 5));
    }
    p.end();
    return keyed(art, shape, QColor(60, 82, 110));
}

// Glossy round-cornered face for the 21-pixel window buttons.
QImage windowButton(const QColor& top, const QColor& bottom, void (*glyph)(QPainter&)) {
    constexpr int kSize = 21;
    QPainterPath shape;
    shape.addRoundedRect(QRectF(0.5, 0.5, kSize - 1, kSize - 1), 5, 5);
    QImage art(kSize, kSize, QImage::Format_RGB32);
    const QColor edge(212, 224, 238);  // the tab's colour around the button
    art.fill(edge);
    QPainter p(&art);
    p.setRenderHint(QPainter::Antialiasing);
    p.fillPath(shape, vertical(0, kSize, top, bottom));
    QPainterPath gloss;
    gloss.addRoundedRect(QRectF(2, 1.5, kSize - 4, 8), 4, 4);
    p.fillPath(gloss, vertical(1, 10, QColor(255, 255, 255, 130), QColor(255, 255, 255, 20)));
    p.setPen(QPen(bottom.darker(150), 1));
    p.drawPath(shape);
    glyph(p);
    p.end();
    return keyed(art, shape, edge);
}

void crossGlyph(QPainter& p) {
    p.setPen(QPen(Qt::white, 2.2, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(6.5, 6.5), QPointF(14.5, 14.5));
    p.drawLine(QPointF(14.5, 6.5), QPointF(6.5, 14.5));
}
void dashGlyph(QPainter& p) {
    p.setPen(QPen(Qt::white, 2.4, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(6.5, 14), QPointF(14.5, 14));
}
void infoGlyph(QPainter& p) {
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawEllipse(QPointF(10.5, 6.2), 1.6, 1.6);
    p.drawRoundedRect(QRectF(9.1, 8.8, 2.8, 7.6), 1, 1);
}

// Glossy round face for the 16-pixel transport buttons.
QImage roundButton(void (*glyph)(QPainter&), const QColor& top, const QColor& bottom) {
    constexpr int kSize = 16;
    QPainterPath shape;
    shape.addEllipse(QRectF(0.5, 0.5, kSize - 1, kSize - 1));
    QImage art(kSize, kSize, QImage::Format_RGB32);
    const QColor edge(236, 242, 249);  // the tray behind the buttons
    art.fill(edge);
    QPainter p(&art);
    p.setRenderHint(QPainter::Antialiasing);
    QRadialGradient face(QPointF(8, 5), 11);
    face.setColorAt(0, top);
    face.setColorAt(1, bottom);
    p.fillPath(shape, face);
    p.setPen(QPen(bottom.darker(140), 0.9));
    p.drawPath(shape);
    QPainterPath gloss;
    gloss.addEllipse(QRectF(3, 1.5, 10, 6));
    p.fillPath(gloss, vertical(1.5, 7.5, QColor(255, 255, 255, 140), QColor(255, 255, 255, 10)));
    glyph(p);
    p.end();
    return keyed(art, shape, edge);
}

void playGlyph(QPainter& p) {
    QPainterPath tri;
    tri.moveTo(6.2, 4.6);
    tri.lineTo(11.8, 8);
    tri.lineTo(6.2, 11.4);
    tri.closeSubpath();
    p.fillPath(tri, Qt::white);
}
void stopGlyph(QPainter& p) {
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawRect(QRectF(5.2, 4.8, 2.2, 6.4));
    p.drawRect(QRectF(8.6, 4.8, 2.2, 6.4));
}
void speaker(QPainter& p) {
    QPainterPath body;
    body.moveTo(3.8, 6.4);
    body.lineTo(5.8, 6.4);
    body.lineTo(8.4, 4.2);
    body.lineTo(8.4, 11.8);
    body.lineTo(5.8, 9.6);
    body.lineTo(3.8, 9.6);
    body.closeSubpath();
    p.fillPath(body, Qt::white);
}
void soundOnGlyph(QPainter& p) {
    speaker(p);
    p.setPen(QPen(Qt::white, 1.1, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(6.8, 5.6, 4.8, 4.8), -50 * 16, 100 * 16);
    p.drawArc(QRectF(5.6, 3.8, 8, 8.4), -50 * 16, 100 * 16);
}
void mutedGlyph(QPainter& p) {
    speaker(p);
    p.setPen(QPen(kAmber, 1.6, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(3.5, 12.5), QPointF(12.5, 3.5));
}

void drawEmblem(QPainter& p, const QPointF& c, double r) {
    QRadialGradient face(c - QPointF(r * 0.3, r * 0.4), r * 1.4);
    face.setColorAt(0, QColor(40, 120, 200));
    face.setColorAt(1, kNight);
    p.setPen(QPen(QColor(0, 30, 70), 1));
    p.setBrush(face);
    p.drawEllipse(c, r, r);
    // Broadcast waves in amber around a white mast dot.
    p.setBrush(Qt::NoBrush);
    for (int i = 1; i <= 3; ++i) {
        const double w = r * 0.22 * i;
        QColor amber = kAmber;
        amber.setAlpha(255 - i * 45);
        p.setPen(QPen(amber, r * 0.09, Qt::SolidLine, Qt::RoundCap));
        p.drawArc(QRectF(c.x() - w, c.y() - w, 2 * w, 2 * w), -45 * 16, 90 * 16);
        p.drawArc(QRectF(c.x() - w, c.y() - w, 2 * w, 2 * w), 135 * 16, 90 * 16);
    }
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::white);
    p.drawEllipse(c, r * 0.12, r * 0.12);
    QPainterPath gloss;
    gloss.addEllipse(QRectF(c.x() - r * 0.7, c.y() - r * 0.92, r * 1.4, r * 0.8));
    p.fillPath(gloss, vertical(c.y() - r * 0.92, c.y() - r * 0.1, QColor(255, 255, 255, 110),
                               QColor(255, 255, 255, 0)));
}

QImage makeAbout() {
    QImage img(349, 100, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    // Soft card with a faint shadow.
    QPainterPath card;
    card.addRoundedRect(QRectF(3, 3, 342, 92), 12, 12);
    p.fillPath(card.translated(0, 2), QColor(0, 40, 90, 30));
    p.fillPath(card, vertical(3, 95, QColor(255, 255, 255, 250), QColor(232, 241, 251, 250)));
    p.setPen(QPen(QColor(0, 64, 128, 70), 1));
    p.drawPath(card);

    drawEmblem(p, QPointF(50, 49), 32);

    QFont station("DejaVu Sans");
    station.setPixelSize(22);
    station.setBold(true);
    p.setFont(station);
    p.setPen(kDeepBlue);
    p.drawText(QRectF(96, 12, 245, 30), Qt::AlignLeft | Qt::AlignVCenter, "VARNO ZIVAV");
    QFont freq = station;
    freq.setPixelSize(22);
    p.setFont(freq);
    p.setPen(QColor(214, 160, 30));
    p.drawText(QRectF(96, 12, 240, 30), Qt::AlignRight | Qt::AlignVCenter, "96.2");

    p.setPen(QPen(QColor(0, 64, 128, 60), 1));
    p.drawLine(QPointF(97, 47.5), QPointF(336, 47.5));

    QFont name("DejaVu Sans");
    name.setPixelSize(16);
    name.setBold(true);
    name.setLetterSpacing(QFont::AbsoluteSpacing, 1);
    p.setFont(name);
    p.setPen(QColor(30, 60, 95));
    p.drawText(QRectF(96, 52, 240, 20), Qt::AlignLeft | Qt::AlignVCenter, "Velmora");
    QFont line("DejaVu Sans");
    line.setPixelSize(10);
    p.setFont(line);
    p.setPen(QColor(90, 110, 135));
    p.drawText(QRectF(96, 72, 240, 14), Qt::AlignLeft | Qt::AlignVCenter,
               "Internet radio player  \u00b7  v1.0");
    p.end();
    return img.convertToFormat(QImage::Format_ARGB32);
}

// The icon is drawn on a 48 px grid and scaled to `size`.
QImage makeIcon(bool withAlpha, int size = 48) {
    constexpr int kSize = 48;
    QImage img(size, size, QImage::Format_ARGB32_Premultiplied);
    img.fill(withAlpha ? QColor(Qt::transparent) : kNight);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(double(size) / kSize, double(size) / kSize);
    QPainterPath tile;
    if (withAlpha) {
        tile.addRoundedRect(QRectF(1, 1, kSize - 2, kSize - 2), 10, 10);
    } else {
        tile.addRect(QRectF(0, 0, kSize, kSize));
    }
    p.fillPath(tile, vertical(0, kSize, QColor(16, 96, 176), kNight));
    drawEmblem(p, QPointF(24, 25), 19);
    p.end();
    return withAlpha ? img.convertToFormat(QImage::Format_ARGB32)
                     : img.convertToFormat(QImage::Format_RGB888);
}

}  // namespace

// The sizes a desktop's menus, launchers and software centres ask the icon theme for.
constexpr int kThemeIconSizes[] = {16, 24, 32, 48, 64, 128, 256};

bool saveThemeIcons(const QString& folder) {
    bool ok = true;
    for (int size : kThemeIconSizes) {
        gFolder = QStringLiteral("%1/%2x%2/apps").arg(folder).arg(size);
        QDir().mkpath(gFolder);
        ok &= save(makeIcon(true, size), "velmora.png");
    }
    return ok;
}

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (argc == 3 && QByteArray(argv[1]) == "--icons")
        return saveThemeIcons(QString::fromLocal8Bit(argv[2])) ? 0 : 1;
    if (argc != 2) {
        std::fprintf(stderr, "usage: make-assets <folder> | make-assets --icons <folder>\n");
        return 2;
    }
    gFolder = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(gFolder);

    const QColor red(236, 84, 72), redDark(168, 26, 22);
    const QColor blue(70, 150, 220), blueDark(0, 64, 128);
    const QColor lightBlue(110, 180, 240);
    bool ok = save(makeSkin(), "skin.bmp");
    ok &= save(windowButton(red, redDark, crossGlyph), "close.bmp");
    ok &= save(windowButton(blue, blueDark, dashGlyph), "minimize.bmp");
    ok &= save(windowButton(blue, blueDark, infoGlyph), "about.bmp");
    ok &= save(roundButton(playGlyph, lightBlue, blueDark), "play.bmp");
    ok &= save(roundButton(stopGlyph, lightBlue, blueDark), "stop.bmp");
    ok &= save(roundButton(soundOnGlyph, lightBlue, blueDark), "soundon.bmp");
    ok &= save(roundButton(mutedGlyph, QColor(150, 160, 175), QColor(70, 80, 96)), "muted.bmp");
    ok &= save(makeAbout(), "about.png");
    ok &= save(makeIcon(false), "icon.bmp");
    ok &= save(makeIcon(true), "icon.png");
    return ok ? 0 : 1;
}
