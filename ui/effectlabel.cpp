#include "ui/effectlabel.h"

#include <QApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QPalette>
#include <QTextLayout>

#include <cmath>
#include <vector>

namespace {

constexpr int kLargeFontPoints = 12;  // from here on the engraved style steps 2 pixels
constexpr double kLayoutDpi = 96.0;
constexpr double kPointsPerInch = 72.0;

bool pointsRight(TEffectOrientation o) {
    return o == eoRight || o == eoRightTop || o == eoRightBottom;
}
bool pointsDown(TEffectOrientation o) {
    return o == eoBottom || o == eoLeftBottom || o == eoRightBottom;
}
bool horizontalAxis(TEffectOrientation o) {
    return o != eoTop && o != eoBottom;
}
bool verticalAxis(TEffectOrientation o) {
    return o != eoLeft && o != eoRight;
}

int sign(int v) {
    return (v > 0) - (v < 0);
}

// Channel by channel from `from` towards `to`, step i of n, truncated.
QColor fade(const QColor& from, const QColor& to, int i, int n) {
    auto channel = [&](int a, int b) {
        return static_cast<int>(std::trunc(a + double(i) * (b - a) / n));
    };
    return QColor(channel(from.red(), to.red()), channel(from.green(), to.green()),
                  channel(from.blue(), to.blue()));
}

// The text as QPainter lays it out when it shows accelerator marks: "&x" draws "x", "&&" draws
// one ampersand.
QString WithoutMnemonics(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] == QLatin1Char('&') && i + 1 < text.size()) ++i;
        out += text[i];
    }
    return out;
}

}  // namespace

QRect WholeLinesBand(const QFont& font, QSize size, int flags, const QString& text) {
    const QRect whole(QPoint(0, 0), size);
    if (!(flags & Qt::TextWordWrap) || text.isEmpty()) return whole;

    // Lines placed as QPainter places them: each after the font's leading (none before the
    // first), on a whole pixel.
    struct Line {
        qreal top, bottom;
    };
    std::vector<Line> lines;
    QTextLayout layout(flags & Qt::TextShowMnemonic ? WithoutMnemonics(text) : text, font);
    QTextOption option;
    option.setWrapMode(QTextOption::WordWrap);
    layout.setTextOption(option);
    const qreal leading = QFontMetricsF(font).leading();
    qreal height = -leading;
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(qMax<qreal>(0, size.width()));
        height = std::ceil(height + leading);
        lines.push_back({height, height + line.ascent() + line.descent()});
        height = lines.back().bottom;
    }
    layout.endLayout();
    if (lines.size() < 2) return whole;

    qreal offset = 0;
    if (flags & Qt::AlignBottom) {
        offset = size.height() - height;
    } else if (flags & Qt::AlignVCenter) {
        offset = (size.height() - height) / 2;
    }
    int first = -1, last = -1;
    for (int i = 0; i < int(lines.size()); ++i) {
        if (lines[i].top + offset >= 0 && lines[i].bottom + offset <= size.height()) {
            if (first < 0) first = i;
            last = i;
        }
    }
    if (first < 0) return {};
    // A font with a negative leading overlaps its lines by a row or two; a line's ink keeps to
    // its own ascent and descent, so the band ends with the last whole line's descent.
    const int top = int(std::floor(lines[first].top + offset));
    const int bottom = int(std::ceil(lines[last].bottom + offset));
    return QRect(0, top, size.width(), bottom - top);
}

EffectPlan PlanEffect(QSize size, const EffectSettings& s) {
    EffectPlan plan;
    const bool effectOn = s.effect != leNormal;
    const int ex = effectOn && horizontalAxis(s.orientation) ? s.depth : 0;
    const int ey = effectOn && verticalAxis(s.orientation) ? s.depth : 0;
    plan.textRect = QRect(0, 0, size.width() - ex, size.height() - ey);

    int styleOffset = 0;
    if (s.style == lsLowered) styleOffset = s.pointSize < kLargeFontPoints ? 1 : 2;

    QPoint p(0, 0);
    int dx = ex, dy = ey;
    if (effectOn && s.depth != 0) {
        if (pointsRight(s.orientation)) {
            p.rx() += styleOffset + ex;
            dx = -ex;
        }
        if (pointsDown(s.orientation)) {
            p.ry() += styleOffset + ey;
            dy = -ey;
        }
        if (s.effect == leFun) {
            dx = sign(dx);
            dy = sign(dy);
        }
        const int stride = dx != 0 ? std::abs(dx) : std::abs(dy);
        const int n = stride != 0 ? s.depth / stride : 0;
        for (int i = 1; i <= n; ++i) {
            const QColor color =
                s.effect == leCool ? s.shadowedColor : fade(s.background, s.shadowedColor, i, n);
            plan.passes.push_back({p, color});
            p += QPoint(dx, dy);
        }
        if (dx < 0) p.rx() -= styleOffset;
        if (dy < 0) p.ry() -= styleOffset;
    }

    if (s.style == lsNormal) {
        plan.passes.push_back({p, s.textColor});
    } else {
        if (s.pointSize >= kLargeFontPoints) plan.passes.push_back({p, s.btnShadow});
        plan.passes.push_back({p + QPoint(2, 2), s.btnHighlight});
        plan.passes.push_back({p + QPoint(1, 1), s.textColor});
    }
    return plan;
}

int FontPointSize(const QFont& font) {
    if (font.pixelSize() > 0) {
        return static_cast<int>(std::lround(font.pixelSize() * kPointsPerInch / kLayoutDpi));
    }
    return static_cast<int>(std::lround(font.pointSizeF()));
}

TEffectLabel::TEffectLabel(QWidget* parent) : QWidget(parent) {
    const QPalette pal = QApplication::palette();
    settings_.background = pal.color(QPalette::Button);
    settings_.textColor = pal.color(QPalette::WindowText);
    settings_.shadowedColor = pal.color(QPalette::Disabled, QPalette::Text);
    settings_.btnShadow = pal.color(QPalette::Dark);
    settings_.btnHighlight = pal.color(QPalette::Light);
    settings_.pointSize = FontPointSize(font());
    rebuild();
}

void TEffectLabel::setText(const QString& text) {
    assign(text_, text);
}
void TEffectLabel::setTextColor(const QColor& color) {
    assign(settings_.textColor, color);
}
void TEffectLabel::setColor(const QColor& color) {
    assign(settings_.background, color);
}
void TEffectLabel::setTransparent(bool on) {
    assign(transparent_, on);
}
void TEffectLabel::setAlignment(Qt::Alignment alignment) {
    assign(alignment_, alignment);
}
void TEffectLabel::setWordWrap(bool on) {
    assign(wordWrap_, on);
}
void TEffectLabel::setShowAccelChar(bool on) {
    assign(showAccelChar_, on);
}
void TEffectLabel::setLabelEffect(TLabelEffect effect) {
    assign(settings_.effect, effect);
}
void TEffectLabel::setLabelStyle(TLabelStyle style) {
    assign(settings_.style, style);
}
void TEffectLabel::setOrientation(TEffectOrientation orientation) {
    assign(settings_.orientation, orientation);
}
void TEffectLabel::setDepth(std::uint16_t depth) {
    assign(settings_.depth, depth);
}
void TEffectLabel::setShadowedColor(const QColor& color) {
    assign(settings_.shadowedColor, color);
}

int TEffectLabel::textFlags() const {
    int flags = int(alignment_);
    if (wordWrap_) flags |= Qt::TextWordWrap;
    // Without a mnemonic flag QPainter draws ampersands as they are.
    if (showAccelChar_) flags |= Qt::TextShowMnemonic;
    return flags;
}

void TEffectLabel::rebuild() {
    const QSize sz = size();
    if (sz.isEmpty()) {
        picture_ = QImage();
        update();
        return;
    }
    const EffectPlan plan = PlanEffect(sz, settings_);
    picture_ = QImage(sz, QImage::Format_ARGB32_Premultiplied);
    picture_.fill(transparent_ ? QColor(Qt::transparent) : settings_.background);
    QPainter painter(&picture_);
    painter.setFont(font());
    const int flags = textFlags();
    const QRect band = WholeLinesBand(font(), plan.textRect.size(), flags, text_);
    const bool clipped = band != QRect(QPoint(0, 0), plan.textRect.size());
    for (const EffectPass& pass : plan.passes) {
        painter.setPen(pass.color);
        // Every copy keeps to the rows of the lines that fit, wherever its offset puts it.
        if (clipped)
            painter.setClipRect(
                QRect(0, band.top() + pass.offset.y(), picture_.width(), band.height()));
        painter.drawText(plan.textRect.translated(pass.offset), flags, text_);
    }
    painter.end();
    update();
}

void TEffectLabel::paintEvent(QPaintEvent*) {
    // The whole picture reaches the screen in one copy.
    QPainter painter(this);
    painter.drawImage(0, 0, picture_);
}

void TEffectLabel::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    rebuild();
}

void TEffectLabel::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        settings_.pointSize = FontPointSize(font());
        rebuild();
    }
}

void TEffectLabel::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) pressed_ = true;
}

void TEffectLabel::mouseReleaseEvent(QMouseEvent* event) {
    const bool wasPressed = pressed_;
    pressed_ = false;
    if (wasPressed && event->button() == Qt::LeftButton &&
        rect().contains(event->position().toPoint())) {
        emit clicked();
    }
}

void TEffectLabel::enterEvent(QEnterEvent* event) {
    QWidget::enterEvent(event);
    emit mouseEnter();
}

void TEffectLabel::leaveEvent(QEvent* event) {
    QWidget::leaveEvent(event);
    emit mouseLeave();
}
