#include "ui/translucency.h"

#include <algorithm>

#include <QChildEvent>
#include <QGuiApplication>
#include <QPaintEvent>
#include <QPainter>
#include <QWidget>

#include "ui/windowsystem.h"

namespace {

// The topmost child of a window that the compositor shows with its alpha: its paint multiplies
// every pixel already painted beneath it by the window's opacity, so each repaint of any part
// of the window leaves that part translucent. It takes no mouse input, follows the window's
// size, and goes back on top whenever a sibling is raised or added.
class AlphaLayer : public QWidget {
  public:
    AlphaLayer(QWidget* window, int alpha) : QWidget(window), alpha_(alpha) {
        setObjectName(QStringLiteral("alphaLayer"));
        setAttribute(Qt::WA_TransparentForMouseEvents);
        setGeometry(window->rect());
        window->installEventFilter(this);
        for (QObject* sibling : window->children())
            if (sibling != this) sibling->installEventFilter(this);
        raise();
        show();
    }

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == parent()) {
            if (event->type() == QEvent::Resize) setGeometry(parentWidget()->rect());
            if (event->type() == QEvent::ChildAdded) {
                QObject* child = static_cast<QChildEvent*>(event)->child();
                if (child != this) {
                    child->installEventFilter(this);
                    raise();
                }
            }
        } else if (event->type() == QEvent::ZOrderChange) {
            raise();
        }
        return false;
    }
    void paintEvent(QPaintEvent* event) override {
        QPainter painter(this);
        painter.setCompositionMode(QPainter::CompositionMode_DestinationIn);
        painter.fillRect(event->rect(), QColor(0, 0, 0, alpha_));
    }

  private:
    int alpha_;
};

}  // namespace

int TranslucencyAlpha(std::uint8_t percent) {
    constexpr long double kStep = 2.55L;
    constexpr int kFull = 100;
    const int opaque = kFull - std::min<int>(percent, kFull);
    const long double product = static_cast<long double>(opaque) * kStep;
    return static_cast<int>(product);  // truncation, not rounding
}

bool WindowOpacitySupported() {
    const QString platform = QGuiApplication::platformName();
    if (platform == QLatin1String("xcb")) return true;  // _NET_WM_WINDOW_OPACITY
    // Qt's Wayland and other platform plug-ins ignore a window's opacity.
    return false;
}

void SetTranslucency(QWidget* window, std::uint8_t percent) {
    if (!window) return;
    if (WindowOpacitySupported()) {
        window->setWindowOpacity(TranslucencyAlpha(percent) / 255.0);
    } else if (WindowShownWithItsAlpha()) {
        window->setAttribute(Qt::WA_TranslucentBackground);
        window->setAutoFillBackground(false);
        new AlphaLayer(window, TranslucencyAlpha(percent));
    }
}
