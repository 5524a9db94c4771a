#include "levelbar.h"

#include <QCoreApplication>
#include <QFontMetrics>
#include <QLocale>
#include <QPainter>
#include <QResizeEvent>
#include <QThread>

#include <algorithm>
#include <cstdlib>
#include <cstring>

using namespace LevelBar;

namespace {
constexpr int kDefaultWidth = 64;
constexpr int kDefaultHeight = 16;
constexpr int kDefaultMargin = 2;
constexpr int kThinMargin = 1;
constexpr int kThickBarMinimum = 10;  // thickness from which the margin is 2
constexpr int kRoundCornerSize = 5;
constexpr int kDefaultMaximum = 100;
constexpr TColor kDefaultBackgroundColor = 0xFFFFFF;
constexpr TColor kDefaultBarColor = 0x00FF00;
constexpr TColor kDefaultInactivePosColor = 0x808080;
constexpr TColor kDefaultShapeColor = 0x743C00;
// Inactive positions start after the lit stretch only once it is this long;
// below it they start at kFirstInactiveColumn (a constant, like the blocks).
constexpr int kInactiveAfterLit = 3;
constexpr int kFirstInactiveColumn = 3;
constexpr unsigned long kTerminateDelayMs = 100;

QColor ToQColor(TColor c) {
    return QColor::fromRgb(ToPixel(c));
}
}  // namespace

TLevelBar::TLevelBar(QWidget* parent)
    : QWidget(parent),
      m_backgroundColor(kDefaultBackgroundColor),
      m_startColor(kDefaultBarColor),
      m_finalColor(kDefaultBarColor),
      m_inactivePosColor(kDefaultInactivePosColor),
      m_shapeColor(kDefaultShapeColor),
      m_maximum(kDefaultMaximum),
      m_margin(kDefaultMargin),
      m_inset(2 * kDefaultMargin),
      m_blockMap(1),
      m_cornerSize(kRoundCornerSize) {
    // Qt delivers this first resize when the widget is first shown or
    // rendered, as the creation-time resize notification.
    resize(kDefaultWidth, kDefaultHeight);
    updateLengths();
    buildColorTables();
    buildFrame();
    setEnabled(true);
    setFocusPolicy(Qt::NoFocus);
    // Where the bar sets no pixel the widget's own colour shows; it follows
    // the parent's palette.
    setAutoFillBackground(true);
    update();
    setPosition(0);
}

TLevelBar::~TLevelBar() = default;

// ---- property writes -------------------------------------------------------

void TLevelBar::setOrientation(TBarOrientation value) {
    // The swap below resizes twice; those resizes must not rebuild anything.
    m_resizeLocked = true;
    if (value != m_orientation) {
        const int oldWidth = width(), oldHeight = height();
        const bool swap = (value == boVertical && oldHeight < oldWidth) ||
                          (value == boHorizontal && oldWidth < oldHeight);
        if (swap) {
            setHeight(oldWidth);
            setWidth(oldHeight);
        }
        m_orientation = value;
    }
    const int thickness = m_orientation == boHorizontal ? height() : width();
    m_margin = thickness >= kThickBarMinimum ? kDefaultMargin : kThinMargin;
    updateLengths();
    m_resizeLocked = false;
    buildBlockMap();
    buildColorTables();
    update();
}

void TLevelBar::setBarKind(TBarKind value) {
    m_barKind = value;
    buildColorTables();
    update();
}

void TLevelBar::setBarLook(TBarLook value) {
    m_barLook = value;
    buildColorTables();
    update();
}

void TLevelBar::setRoundCorner(bool value) {
    m_cornerSize = value ? kRoundCornerSize : 0;
    buildFrame();
    update();
}

void TLevelBar::setBackgroundColor(TColor value) {
    m_backgroundColor = value;
    buildFrame();
    update();
}

void TLevelBar::setBarColor(TColor value) {
    m_startColor = value;
    m_finalColor = value;
    buildColorTables();
    update();
}

void TLevelBar::setStartColor(TColor value) {
    m_startColor = value;
    buildColorTables();
    update();
}

void TLevelBar::setFinalColor(TColor value) {
    m_finalColor = value;
    buildColorTables();
    update();
}

void TLevelBar::setShowInactivePos(bool value) {
    m_showInactivePos = value;
    buildColorTables();
    update();
}

void TLevelBar::setInvertInactPos(bool value) {
    m_invertInactPos = value;
    buildColorTables();
    update();
}

void TLevelBar::setInactivePosColor(TColor value) {
    m_inactivePosColor = value;
    buildColorTables();
    update();
}

void TLevelBar::setShaped(bool value) {
    m_shaped = value;
    buildFrame();
    update();
}

void TLevelBar::setShapeColor(TColor value) {
    m_shapeColor = value;
    buildFrame();
    update();
}

bool TLevelBar::acceptsBlockLength(int value) const {
    const int length = (m_orientation == boHorizontal ? width() : height()) - 2 * m_margin;
    return std::llabs(static_cast<long long>(value)) <= length;
}

void TLevelBar::setBlockSize(int value) {
    if (!acceptsBlockLength(value)) return;
    m_blockSize = std::abs(value);
    m_blocksOn = m_blockSize > 0 && m_spaceSize > 0;
    if (m_blocksOn) buildBlockMap();
    buildColorTables();
    update();
}

void TLevelBar::setSpaceSize(int value) {
    if (!acceptsBlockLength(value)) return;
    m_spaceSize = std::abs(value);
    m_blocksOn = m_blockSize > 0 && m_spaceSize > 0;
    if (m_blocksOn) buildBlockMap();
    buildColorTables();
    update();
}

void TLevelBar::setShowFullBlock(bool value) {
    m_showFullBlock = value;
    if (value) buildBlockMap();
    buildColorTables();
    update();
}

void TLevelBar::setMaximum(int value) {
    m_maximum = std::max(value, 0);
    update();
}

void TLevelBar::setPosition(int value) {
    const int oldPosition = m_position, oldLit = m_litLength;
    const double oldPercent = m_percent;
    m_position = value;
    if (m_maximum == 0) return;
    const int clamped = std::clamp(value, 0, m_maximum);
    if (value <= 0) {
        m_litLength = 0;
        m_percent = 0;
    } else {
        m_percent = PercentOf(clamped, m_maximum);
        m_litLength = LitLengthFor(m_barLength, m_minLitLength, m_percent);
    }
    refreshHint();
    // The picture depends on the lit length, and on the position only through the automatic
    // caption. The meters are written 50 times a second, mostly with a level that lights the same
    // rows as before: such a write repaints nothing.
    const bool captionChanged = m_autoCaption && (value != oldPosition || m_percent != oldPercent);
    if (m_litLength != oldLit || captionChanged) update();
    if (value > 0 && m_hideOnTerminate && clamped == m_maximum) {
        QThread::msleep(kTerminateDelayMs);
        hide();
    }
}

void TLevelBar::setCaption(const QString& value) {
    m_caption = value;
    placeCaption();
}

void TLevelBar::setCaptionAlign(TAlignment value) {
    m_captionAlign = value;
    placeCaption();
}

void TLevelBar::setAutoCaption(bool value) {
    m_autoCaption = value;
    update();
}

void TLevelBar::setBarSize(int w, int h) {
    const QSize old = size();
    resize(w, h);
    // A hidden widget only queues its resize event; handle it now so that the
    // geometry is current right after the write.
    if (size() != old && testAttribute(Qt::WA_PendingResizeEvent)) {
        setAttribute(Qt::WA_PendingResizeEvent, false);
        QResizeEvent event(size(), old);
        QCoreApplication::sendEvent(this, &event);
    }
}

// ---- derived state ---------------------------------------------------------

int TLevelBar::thicknessCount() const {
    return (m_orientation == boHorizontal ? height() : width()) - m_inset + 1;
}

void TLevelBar::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    handleResize();
}

void TLevelBar::handleResize() {
    updateLengths();  // the margin stays as the last orientation write chose it
    buildFrame();
    if (m_resizeLocked) return;
    if (m_blocksOn) buildBlockMap();
    buildColorTables();
    setPosition(m_position);
    update();  // the tables and the frame changed, even where the position did not
}

void TLevelBar::updateLengths() {
    m_inset = 2 * m_margin;
    m_barLength = (m_orientation == boHorizontal ? width() : height()) - m_inset;
    m_minLitLength = m_inset + 1;
}

void TLevelBar::buildBlockMap() {
    if (m_blockSize == 0 || m_spaceSize == 0) return;
    m_blockMap = BuildBlockMap(m_orientation, m_barLength, m_inset, m_blockSize, m_spaceSize);
}

void TLevelBar::endUpdate() {
    if (m_updateDepth == 0 || --m_updateDepth > 0 || !m_tablesStale) return;
    buildColorTables();
    update();
}

void TLevelBar::buildColorTables() {
    if (m_resizeLocked) return;
    if (m_updateDepth > 0) {
        m_tablesStale = true;
        return;
    }
    m_tablesStale = false;
    const int n = std::max(thicknessCount(), 0);
    const int rows = std::max(m_barLength + 1, 0);
    const bool cylinder = m_barKind == bkCylinder;

    m_rowColors.assign(rows, TColorArray());
    for (int i = 0; i < rows; ++i) {
        const TColor c = GradientColor(m_startColor, m_finalColor, i, m_barLength);
        m_rowColors[i] = cylinder ? ShadeAcross(c, n, m_barLook) : TColorArray(n, c);
    }
    if (cylinder) {
        m_inactiveColors = ShadeAcross(m_inactivePosColor, n, m_barLook);
        if (m_invertInactPos)
            for (TColor& e : m_inactiveColors) e = InvertLuminance(e);
    } else {
        m_inactiveColors.assign(n, m_inactivePosColor);
    }

    m_pixelStride = n;
    m_rowPixels.resize(size_t(rows) * n);
    for (int i = 0; i < rows; ++i)
        std::transform(m_rowColors[i].begin(), m_rowColors[i].end(),
                       m_rowPixels.begin() + size_t(i) * n, ToPixel);
    m_inactivePixels.resize(n);
    std::transform(m_inactiveColors.begin(), m_inactiveColors.end(), m_inactivePixels.begin(),
                   ToPixel);
}

void TLevelBar::buildFrame() {
    if (width() <= 0 || height() <= 0) {
        m_frame = QImage();
        m_surface = QImage();
        return;
    }
    m_frame = QImage(size(), QImage::Format_ARGB32_Premultiplied);
    m_frame.fill(Qt::transparent);
    m_surface = QImage(size(), QImage::Format_ARGB32_Premultiplied);
    if (!m_shaped) return;
    QPainter painter(&m_frame);
    painter.setPen(QPen(ToQColor(m_shapeColor), 1));
    painter.setBrush(ToQColor(m_backgroundColor));
    // Outline on the outermost pixels: right and bottom edges exclusive.
    const QRect outline(0, 0, width() - 1, height() - 1);
    if (m_cornerSize > 0)
        painter.drawRoundedRect(outline, m_cornerSize / 2.0, m_cornerSize / 2.0, Qt::AbsoluteSize);
    else
        painter.drawRect(outline);
}

void TLevelBar::placeCaption() {
    m_captionShown = !m_caption.isEmpty();
    if (!m_captionShown) return;
    const QFontMetrics metrics(m_font);
    m_captionY = (height() - metrics.size(Qt::TextSingleLine, QStringLiteral("Pg")).height()) / 2;
    const int captionWidth = metrics.horizontalAdvance(m_caption);
    switch (m_captionAlign) {
        case taLeftJustify:
            m_captionX = 0;
            break;
        case taCenter:
            m_captionX = (width() - captionWidth) / 2;
            break;
        case taRightJustify:
            m_captionX = width() - captionWidth - 1;
            break;
    }
}

void TLevelBar::refreshHint() {
    if (!m_autoHint) return;
    setToolTip(m_showPosAsPct ? FormatPercent(m_percent, QLocale::system().decimalPoint()) +
                                    QStringLiteral(" %")
                              : QString::number(m_position));
}

void TLevelBar::refreshAutoCaption() {
    if (!m_autoCaption) return;
    m_caption = m_showPosAsPct
                    ? FormatPercent(m_percent, QLocale::system().decimalPoint()) + QLatin1Char('%')
                    : QString::number(m_position);
    placeCaption();
}

// ---- painting --------------------------------------------------------------

void TLevelBar::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    paintBar(painter);
}

void TLevelBar::paintBar(QPainter& painter) {
    // The automatic caption follows the position at every paint.
    refreshAutoCaption();
    if (m_surface.size() != size()) buildFrame();  // a size Qt has not reported yet
    if (!m_surface.isNull()) {
        composeBar();
        painter.drawImage(0, 0, m_surface);
    }
    if (m_captionShown) {
        painter.setFont(m_font);
        painter.setPen(palette().color(QPalette::WindowText));
        painter.drawText(m_captionX, m_captionY + QFontMetrics(m_font).ascent(), m_caption);
    }
}

// Frame first, then every bar pixel from the tables: the surface reaches the
// screen in one piece, so the bar never flickers.
void TLevelBar::composeBar() {
    std::memcpy(m_surface.bits(), m_frame.constBits(), m_frame.sizeInBytes());
    if (m_orientation == boHorizontal)
        composeHorizontal();
    else
        composeVertical();
}

void TLevelBar::composeHorizontal() {
    const int lit = std::min(m_litLength, m_barLength);  // an orientation write may leave it long
    const int y0 = std::max(m_inset - 1, 0);
    const int y1 = std::min({height() - m_inset, m_pixelStride - 1, height() - 1});
    const int xMax = std::min(m_barLength, width() - 1);
    uchar* bits = m_surface.bits();
    const qsizetype stride = m_surface.bytesPerLine();
    auto pixel = [&](int x, int y) -> QRgb& {
        return reinterpret_cast<QRgb*>(bits + y * stride)[x];
    };
    auto paintInactive = [&](int x) {
        for (int y = y0; y <= y1; ++y) pixel(x, y) = m_inactivePixels[y];
    };
    const bool useBlocks = m_blocksOn && int(m_blockMap.size()) > m_barLength;

    for (int x = std::max(m_inset - 1, 0); x <= std::min(lit, xMax); ++x) {
        if (useBlocks) {
            const TBlockEntry& entry = m_blockMap[x];
            if (!entry.active) continue;
            if (m_showFullBlock && entry.blockEnd > lit) {
                if (m_showInactivePos) paintInactive(x);
                continue;
            }
        }
        const QRgb* row = m_rowPixels.data() + size_t(x) * m_pixelStride;
        for (int y = y0; y <= y1; ++y) pixel(x, y) = row[y];
    }
    if (!m_showInactivePos) return;
    const int first = lit >= kInactiveAfterLit ? lit + 1 : kFirstInactiveColumn;
    for (int x = first; x <= xMax; ++x) {
        if (useBlocks && !m_blockMap[x].active) continue;
        paintInactive(x);
    }
}

void TLevelBar::composeVertical() {
    const int h = height();
    const int lit = std::min(m_litLength, m_barLength);  // an orientation write may leave it long
    const int x0 = std::max(m_inset - 1, 0);
    const int x1 = std::min({width() - m_inset, m_pixelStride - 1, width() - 1});
    const int yMax = std::min(m_barLength, h - 1);
    if (x1 < x0) return;
    const size_t count = size_t(x1 - x0 + 1);
    const bool useBlocks = m_blocksOn && int(m_blockMap.size()) > m_barLength;
    uchar* bits = m_surface.bits();
    const qsizetype stride = m_surface.bytesPerLine();
    auto line = [&](int y) { return reinterpret_cast<QRgb*>(bits + y * stride); };
    auto paintInactive = [&](int y) {
        std::memcpy(line(y) + x0, m_inactivePixels.data() + x0, count * sizeof(QRgb));
    };

    if (lit > 0) {
        const int top = std::max(h - lit, 0);
        for (int y = std::min(m_barLength - 1, yMax); y >= top; --y) {
            if (useBlocks) {
                const TBlockEntry& entry = m_blockMap[y];
                if (!entry.active) continue;
                if (m_showFullBlock && entry.blockEnd < h - lit) {
                    if (m_showInactivePos) paintInactive(y);
                    continue;
                }
            }
            std::memcpy(line(y) + x0, m_rowPixels.data() + size_t(y) * m_pixelStride + x0,
                        count * sizeof(QRgb));
        }
    }
    if (!m_showInactivePos) return;
    const int first = lit >= kInactiveAfterLit ? h - lit - 1 : m_barLength;
    for (int y = std::min(first, yMax); y >= std::max(m_inset, 0); --y) {
        if (useBlocks && !m_blockMap[y].active) continue;
        paintInactive(y);
    }
}
