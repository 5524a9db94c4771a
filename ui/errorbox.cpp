#include "ui/errorbox.h"

#include <QGuiApplication>
#include <QMessageBox>
#include <QScreen>

#include "diag/debuglog.h"
#include "text/displaytext.h"

namespace {
TErrorBoxHook& Hook() {
    static TErrorBoxHook hook;
    return hook;
}
QString& Title() {
    static QString title;
    return title;
}
}  // namespace

void TCentredMessageBox::showEvent(QShowEvent* event) {
    // The box has its final size once its own show handling has run; it is not mapped yet.
    QMessageBox::showEvent(event);
    if (parentWidget() && parentWidget()->isVisible()) return;
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    move(screen.center() - rect().center());
}

void SetApplicationTitle(const QString& title) {
    Title() = title;
}

QString ApplicationTitle() {
    return Title().isEmpty() ? QGuiApplication::applicationName() : Title();
}

void SetErrorBoxHook(TErrorBoxHook hook) {
    Hook() = std::move(hook);
}

QString ErrorBoxText(const QString& message) {
    return message.endsWith(QLatin1Char('.')) ? message : message + QLatin1Char('.');
}

void ShowErrorBox(const QString& message) {
    const QString caption = ApplicationTitle();
    const QString text = ErrorBoxText(message);
    DebugLog("error box: %s", text.toUtf8().constData());
    if (Hook()) {
        Hook()(caption, text);
        return;
    }
    TCentredMessageBox box(QMessageBox::Critical, caption, text, QMessageBox::Ok);
    box.exec();
}

void RunGuarded(const std::function<void()>& handler) {
    try {
        handler();
    } catch (const std::exception& error) {
        ShowErrorBox(ToDisplayText(error.what()));
    }
}
