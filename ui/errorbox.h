// The application's error box: errors that escape a window handler are caught at the handler's
// edge and shown; the program goes on.
#pragma once

#include <QString>
#include <exception>
#include <functional>

// Shows the box instead of the default modal QMessageBox (tests record what would be shown).
using TErrorBoxHook = std::function<void(const QString& caption, const QString& text)>;
void SetErrorBoxHook(TErrorBoxHook hook);

// The text as the box shows it: a period is added when it does not end in one.
QString ErrorBoxText(const QString& message);

// Critical icon, the application title as caption, OK.
void ShowErrorBox(const QString& message);

// Runs a handler; an exception that leaves it is shown in the error box.
void RunGuarded(const std::function<void()>& handler);
