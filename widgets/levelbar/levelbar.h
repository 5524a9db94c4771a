#pragma once
// TLevelBar: a self-drawn segmented bar that shows a value between 0 and
// maximum, optionally cut into blocks, with a colour gradient along it and a
// cylinder shading across it. Every property write stores its value,
// recomputes the cached geometry and colour tables it affects and schedules a
// repaint (a position write that leaves the picture as it is schedules none);
// painting only copies precomputed pixels.

#include "levelbar_colors.h"
#include "levelbar_geometry.h"
#include "levelbar_types.h"

#include <QFont>
#include <QImage>
#include <QString>
#include <QWidget>

class TLevelBar : public QWidget {
    Q_OBJECT
    Q_PROPERTY(LevelBar::TBarOrientation orientation READ orientation WRITE setOrientation)
    Q_PROPERTY(LevelBar::TBarKind barKind READ barKind WRITE setBarKind)
    Q_PROPERTY(LevelBar::TBarLook barLook READ barLook WRITE setBarLook)
    Q_PROPERTY(bool roundCorner READ roundCorner WRITE setRoundCorner)
    Q_PROPERTY(TColor backgroundColor READ backgroundColor WRITE setBackgroundColor)
    Q_PROPERTY(TColor barColor READ barColor WRITE setBarColor)
    Q_PROPERTY(TColor startColor READ startColor WRITE setStartColor)
    Q_PROPERTY(TColor finalColor READ finalColor WRITE setFinalColor)
    Q_PROPERTY(bool showInactivePos READ showInactivePos WRITE setShowInactivePos)
    Q_PROPERTY(bool invertInactPos READ invertInactPos WRITE setInvertInactPos)
    Q_PROPERTY(TColor inactivePosColor READ inactivePosColor WRITE setInactivePosColor)
    Q_PROPERTY(bool shaped READ shaped WRITE setShaped)
    Q_PROPERTY(TColor shapeColor READ shapeColor WRITE setShapeColor)
    Q_PROPERTY(int blockSize READ blockSize WRITE setBlockSize)
    Q_PROPERTY(int spaceSize READ spaceSize WRITE setSpaceSize)
    Q_PROPERTY(bool showFullBlock READ showFullBlock WRITE setShowFullBlock)
    Q_PROPERTY(int maximum READ maximum WRITE setMaximum)
    Q_PROPERTY(int position READ position WRITE setPosition)
    Q_PROPERTY(bool hideOnTerminate READ hideOnTerminate WRITE setHideOnTerminate)
    Q_PROPERTY(QString caption READ caption WRITE setCaption)
    Q_PROPERTY(LevelBar::TAlignment captionAlign READ captionAlign WRITE setCaptionAlign)
    Q_PROPERTY(QFont font READ font WRITE setFont)
    Q_PROPERTY(bool AutoCaption READ AutoCaption WRITE setAutoCaption)
    Q_PROPERTY(bool AutoHint READ AutoHint WRITE setAutoHint)
    Q_PROPERTY(bool ShowPosAsPct READ ShowPosAsPct WRITE setShowPosAsPct)
    Q_PROPERTY(int width READ width WRITE setWidth)
    Q_PROPERTY(int height READ height WRITE setHeight)

  public:
    explicit TLevelBar(QWidget* parent = nullptr);
    ~TLevelBar() override;

    // Published properties.
    LevelBar::TBarOrientation orientation() const { return m_orientation; }
    void setOrientation(LevelBar::TBarOrientation value);
    LevelBar::TBarKind barKind() const { return m_barKind; }
    void setBarKind(LevelBar::TBarKind value);
    LevelBar::TBarLook barLook() const { return m_barLook; }
    void setBarLook(LevelBar::TBarLook value);
    bool roundCorner() const { return m_cornerSize > 0; }
    void setRoundCorner(bool value);
    TColor backgroundColor() const { return m_backgroundColor; }
    void setBackgroundColor(TColor value);
    TColor barColor() const { return m_startColor; }
    void setBarColor(TColor value);
    TColor startColor() const { return m_startColor; }
    void setStartColor(TColor value);
    TColor finalColor() const { return m_finalColor; }
    void setFinalColor(TColor value);
    bool showInactivePos() const { return m_showInactivePos; }
    void setShowInactivePos(bool value);
    bool invertInactPos() const { return m_invertInactPos; }
    void setInvertInactPos(bool value);
    TColor inactivePosColor() const { return m_inactivePosColor; }
    void setInactivePosColor(TColor value);
    bool shaped() const { return m_shaped; }
    void setShaped(bool value);
    TColor shapeColor() const { return m_shapeColor; }
    void setShapeColor(TColor value);
    int blockSize() const { return m_blockSize; }
    void setBlockSize(int value);
    int spaceSize() const { return m_spaceSize; }
    void setSpaceSize(int value);
    bool showFullBlock() const { return m_showFullBlock; }
    void setShowFullBlock(bool value);
    int maximum() const { return m_maximum; }
    void setMaximum(int value);
    int position() const { return m_position; }
    void setPosition(int value);
    bool hideOnTerminate() const { return m_hideOnTerminate; }
    void setHideOnTerminate(bool value) { m_hideOnTerminate = value; }
    QString caption() const { return m_caption; }
    void setCaption(const QString& value);
    LevelBar::TAlignment captionAlign() const { return m_captionAlign; }
    void setCaptionAlign(LevelBar::TAlignment value);
    // The bar's own caption font (QWidget's font is not used for drawing).
    // ownFont() gives the object itself: changes to it take effect at the next
    // caption placement or paint.
    QFont font() const { return m_font; }
    void setFont(const QFont& value) { m_font = value; }
    QFont& ownFont() { return m_font; }
    bool AutoCaption() const { return m_autoCaption; }
    void setAutoCaption(bool value);
    bool AutoHint() const { return m_autoHint; }
    void setAutoHint(bool value) { m_autoHint = value; }
    bool ShowPosAsPct() const { return m_showPosAsPct; }
    void setShowPosAsPct(bool value) { m_showPosAsPct = value; }

    // A run of property writes: the colour tables are rebuilt once, when the outermost
    // endUpdate() is reached, instead of after every write. In between they are stale.
    void beginUpdate() { ++m_updateDepth; }
    void endUpdate();

    // Size writes. They resize the widget and handle the resize at once, also
    // while the widget is hidden (Qt would otherwise defer the resize event
    // until it is shown).
    void setWidth(int value) { setBarSize(value, height()); }
    void setHeight(int value) { setBarSize(width(), value); }
    void setBarSize(int w, int h);

    // Internal state, read-only.
    int margin() const { return m_margin; }
    int inset() const { return m_inset; }
    int barLength() const { return m_barLength; }
    int minLitLength() const { return m_minLitLength; }
    int litLength() const { return m_litLength; }
    double percent() const { return m_percent; }
    int thicknessCount() const;
    bool blocksOn() const { return m_blocksOn; }
    const LevelBar::TBlockMap& blockMap() const { return m_blockMap; }
    const std::vector<TColorArray>& rowColors() const { return m_rowColors; }
    const TColorArray& inactiveColors() const { return m_inactiveColors; }
    int cornerSize() const { return m_cornerSize; }
    int captionX() const { return m_captionX; }
    int captionY() const { return m_captionY; }
    bool captionShown() const { return m_captionShown; }

    // The paint handler's drawing, onto any painter whose origin is the
    // widget's top left (paintEvent passes the widget's own).
    void paintBar(QPainter& painter);

  protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

  private:
    void handleResize();
    void updateLengths();
    void buildBlockMap();
    void buildColorTables();
    void buildFrame();
    void placeCaption();
    void refreshHint();
    void refreshAutoCaption();
    bool acceptsBlockLength(int value) const;
    void composeBar();
    void composeHorizontal();
    void composeVertical();

    // Properties.
    LevelBar::TBarOrientation m_orientation = LevelBar::boHorizontal;
    LevelBar::TBarKind m_barKind = LevelBar::bkFlat;
    LevelBar::TBarLook m_barLook = LevelBar::blMetal;
    TColor m_backgroundColor;
    TColor m_startColor;
    TColor m_finalColor;
    bool m_showInactivePos = false;
    bool m_invertInactPos = false;
    TColor m_inactivePosColor;
    bool m_shaped = true;
    TColor m_shapeColor;
    int m_blockSize = 0;
    int m_spaceSize = 0;
    bool m_showFullBlock = false;
    int m_maximum;
    int m_position = 0;
    bool m_hideOnTerminate = false;
    QString m_caption;
    LevelBar::TAlignment m_captionAlign = LevelBar::taLeftJustify;
    QFont m_font;
    bool m_autoCaption = false;
    bool m_autoHint = false;
    bool m_showPosAsPct = false;

    // Geometry and tables derived from the properties and the size.
    int m_margin;
    int m_inset;
    int m_barLength = 0;
    int m_minLitLength = 0;
    int m_litLength = 0;
    double m_percent = 0;
    bool m_blocksOn = false;
    LevelBar::TBlockMap m_blockMap;
    std::vector<TColorArray> m_rowColors;
    TColorArray m_inactiveColors;
    int m_cornerSize;
    int m_captionX = 0;
    int m_captionY = 0;
    bool m_captionShown = false;
    bool m_resizeLocked = false;
    int m_updateDepth = 0;
    bool m_tablesStale = false;  // a rebuild was held back by beginUpdate()

    // What painting copies: the tables as opaque pixels (rows flattened,
    // thickness entries per row), the frame drawn once per size and look, and
    // the surface the bar is composed on before it reaches the screen.
    std::vector<QRgb> m_rowPixels;
    std::vector<QRgb> m_inactivePixels;
    int m_pixelStride = 0;
    QImage m_frame;
    QImage m_surface;
};
