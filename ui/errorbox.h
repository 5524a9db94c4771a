// The application's error box: errors that escape a window handler are caught at the handler's
// edge and shown; the program goes on.
#pragma once

#include <QMessageBox>
#include <QString>
#include <exception>
#include <functional>

// Shows the box instead of the default modal QMessageBox (tests record what would be shown).
using TErrorBoxHook = std::function<void(const QString& caption, const QString& text)>;
void SetErrorBoxHook(TErrorBoxHook hook);

// The text as the box shows it: a period is added when it does not end in one.
QString ErrorBoxText(const QString& message);

// A message box that, without a visible owner, shows centred on the screen. (Qt places a box
// before it has taken its final size, and centres it on an owner even when that is hidden.)
class TCentredMessageBox : public QMessageBox {
    Q_OBJECT
  public:
    using QMessageBox::QMessageBox;

  protected:
    void showEvent(QShowEvent* event) override;
};

// The application's title (the taskbar's text for the player); the application's name until
// it is set. Qt's display name is left unset on purpose: Qt appends it to every other window's
// title, and the boxes must show their own captions exactly.
void SetApplicationTitle(const QString& title);
QString ApplicationTitle();

// Critical icon, the application title as caption, OK.
void ShowErrorBox(const QString& message);

// Runs a handler; an exception that leaves it is shown in the error box.
void RunGuarded(const std::function<void()>& handler);
