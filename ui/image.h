// A picture control: draws a picture on its parent and takes mouse clicks.
#pragma once

#include <QImage>
#include <QWidget>

// Pure: the picture as it is drawn. With `keyBottomLeft`, every pixel of the
// colour of the picture's bottom-left pixel becomes fully transparent (the
// rule of the 24-bit button pictures); otherwise the picture keeps its own
// alpha channel, if any.
QImage PictureForDrawing(const QImage& picture, bool keyBottomLeft);

class TImage : public QWidget {
    Q_OBJECT
  public:
    explicit TImage(QWidget* parent = nullptr);

    // keyBottomLeft: see PictureForDrawing.
    void setPicture(const QImage& picture, bool keyBottomLeft);
    const QImage& picture() const { return picture_; }
    // Stretched to the control, or drawn unscaled from its top-left corner.
    void setStretch(bool on);
    bool stretch() const { return stretch_; }

  signals:
    void clicked();
    // Any mouse button pressed on the picture.
    void mouseDown(QMouseEvent* event);

  protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

  private:
    QImage picture_;
    QImage drawn_;
    bool stretch_ = false;
    bool pressed_ = false;
};
