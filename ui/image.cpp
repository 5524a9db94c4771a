#include "ui/image.h"

#include <QMouseEvent>
#include <QPainter>

QImage PictureForDrawing(const QImage& picture, bool keyBottomLeft) {
    if (picture.isNull()) return QImage();
    QImage out = picture.convertToFormat(QImage::Format_ARGB32);
    if (!keyBottomLeft) return out;
    const QRgb key = out.pixel(0, out.height() - 1);
    for (int y = 0; y < out.height(); ++y) {
        auto* row = reinterpret_cast<QRgb*>(out.scanLine(y));
        for (int x = 0; x < out.width(); ++x) {
            if (row[x] == key) row[x] = qRgba(0, 0, 0, 0);
        }
    }
    return out;
}

TImage::TImage(QWidget* parent) : QWidget(parent) {}

void TImage::setPicture(const QImage& picture, bool keyBottomLeft) {
    picture_ = picture;
    // Converted once, here, to the format painters blend from directly: a picture in another
    // format is converted again at every paint.
    drawn_ = PictureForDrawing(picture, keyBottomLeft)
                 .convertToFormat(QImage::Format_ARGB32_Premultiplied);
    update();
}

void TImage::setStretch(bool on) {
    stretch_ = on;
    update();
}

void TImage::paintEvent(QPaintEvent*) {
    if (drawn_.isNull()) return;
    QPainter painter(this);
    if (stretch_) {
        painter.drawImage(rect(), drawn_);
    } else {
        painter.drawImage(0, 0, drawn_);
    }
}

void TImage::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) pressed_ = true;
    emit mouseDown(event);
}

void TImage::mouseReleaseEvent(QMouseEvent* event) {
    const bool wasPressed = pressed_;
    pressed_ = false;
    if (wasPressed && event->button() == Qt::LeftButton &&
        rect().contains(event->position().toPoint())) {
        emit clicked();
    }
}
