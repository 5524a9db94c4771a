// A text label with a depth effect (stepped copies of the text) and an
// engraved style, drawn over whatever lies beneath it.
#pragma once

#include <QColor>
#include <QImage>
#include <QRect>
#include <QString>
#include <QWidget>

#include <cstdint>
#include <vector>

enum TLabelEffect { leNormal, leFun, leCool };
enum TLabelStyle { lsNormal, lsLowered };
enum TEffectOrientation {
    eoLeft,
    eoRight,
    eoTop,
    eoBottom,
    eoLeftTop,
    eoLeftBottom,
    eoRightTop,
    eoRightBottom
};

// One drawing of the text: where (relative to the text rectangle) and in which colour.
struct EffectPass {
    QPoint offset;
    QColor color;
};

// Everything needed to draw a label: the text rectangle and the passes, back to front.
struct EffectPlan {
    QRect textRect;
    std::vector<EffectPass> passes;
};

struct EffectSettings {
    TLabelEffect effect = leNormal;
    TLabelStyle style = lsNormal;
    TEffectOrientation orientation = eoRightBottom;
    std::uint16_t depth = 0;
    int pointSize = 8;  // decides the engraved style's offsets
    QColor background;  // the label's own colour: where leFun's fade starts
    QColor textColor;
    QColor shadowedColor;
    QColor btnShadow;
    QColor btnHighlight;
};

// Pure: the copies and the text that a label of `size` draws.
EffectPlan PlanEffect(QSize size, const EffectSettings& s);

// Pure: the rows of a rectangle of `size` that QPainter::drawText with `flags` fills with the
// text's lines that lie whole within the rectangle's height, as a band across its full width.
// The whole rectangle when the text is one line or the flags do not word-wrap; empty when no
// line fits. A wrapped line cut off by the rectangle's edge is never drawn.
QRect WholeLinesBand(const QFont& font, QSize size, int flags, const QString& text);

// Points of a font at 96 pixels per inch, rounded as the layout does (27 px -> 20 pt).
int FontPointSize(const QFont& font);

class TEffectLabel : public QWidget {
    Q_OBJECT
  public:
    explicit TEffectLabel(QWidget* parent = nullptr);

    void setText(const QString& text);
    QString text() const { return text_; }

    QColor TextColor() const { return settings_.textColor; }
    void setTextColor(const QColor& color);
    QColor Color() const { return settings_.background; }
    void setColor(const QColor& color);
    bool Transparent() const { return transparent_; }
    void setTransparent(bool on);
    Qt::Alignment Alignment() const { return alignment_; }
    void setAlignment(Qt::Alignment alignment);
    bool WordWrap() const { return wordWrap_; }
    void setWordWrap(bool on);
    bool ShowAccelChar() const { return showAccelChar_; }
    void setShowAccelChar(bool on);
    TLabelEffect LabelEffect() const { return settings_.effect; }
    void setLabelEffect(TLabelEffect effect);
    TLabelStyle LabelStyle() const { return settings_.style; }
    void setLabelStyle(TLabelStyle style);
    TEffectOrientation Orientation() const { return settings_.orientation; }
    void setOrientation(TEffectOrientation orientation);
    std::uint16_t Depth() const { return settings_.depth; }
    void setDepth(std::uint16_t depth);
    QColor ShadowedColor() const { return settings_.shadowedColor; }
    void setShadowedColor(const QColor& color);

    // The finished picture, as the last paint showed it (for tests and grabs).
    const QImage& picture() const { return picture_; }

  signals:
    void clicked();
    void mouseEnter();
    void mouseLeave();

  protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

  private:
    // Recomputes the plan and the off-screen picture, then schedules a repaint.
    void rebuild();
    // A property write: a value equal to the current one changes nothing and repaints nothing
    // (the player writes the same texts again and again).
    template <class T>
    void assign(T& field, const T& value) {
        if (field == value) return;
        field = value;
        rebuild();
    }
    int textFlags() const;

    QString text_;
    EffectSettings settings_;
    bool transparent_ = true;
    Qt::Alignment alignment_ = Qt::AlignLeft | Qt::AlignTop;
    bool wordWrap_ = false;
    bool showAccelChar_ = true;
    bool pressed_ = false;
    QImage picture_;
};
