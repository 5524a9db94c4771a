#include "ui/errorbox.h"

#include <QGuiApplication>
#include <QMessageBox>

#include "diag/debuglog.h"
#include "text/displaytext.h"

namespace {
TErrorBoxHook& Hook() {
    static TErrorBoxHook hook;
    return hook;
}
}  // namespace

void SetErrorBoxHook(TErrorBoxHook hook) {
    Hook() = std::move(hook);
}

QString ErrorBoxText(const QString& message) {
    return message.endsWith(QLatin1Char('.')) ? message : message + QLatin1Char('.');
}

void ShowErrorBox(const QString& message) {
    const QString caption = QGuiApplication::applicationDisplayName();
    const QString text = ErrorBoxText(message);
    DebugLog("error box: %s", text.toUtf8().constData());
    if (Hook()) {
        Hook()(caption, text);
        return;
    }
    QMessageBox box(QMessageBox::Critical, caption, text, QMessageBox::Ok);
    box.exec();
}

void RunGuarded(const std::function<void()>& handler) {
    try {
        handler();
    } catch (const std::exception& error) {
        ShowErrorBox(ToDisplayText(error.what()));
    }
}
