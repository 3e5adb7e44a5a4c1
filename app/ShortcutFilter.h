// How the window's shortcuts and the focused control share the keys.
#pragma once

#include <QList>
#include <QObject>

class QAction;
class QWidget;

// The window's shortcuts come before the focused control: a control that would take the key
// for itself is not asked, so the key runs the command and never reaches the control. The
// keys of ATextKeys (Del, Ctrl+Z and Ctrl+K) are the exceptions: in an edit box (a value, a
// name being renamed) they delete text, undo typing and cut to the line's end, and only where
// no text is being edited do they delete a monitor, bring it back and acknowledge its
// failure. Installed on the application, it sees the key before the control does.
class TShortcutFilter : public QObject {
public:
    TShortcutFilter(QWidget* AWindow, QList<QAction*> ATextKeys);

protected:
    bool eventFilter(QObject* AWatched, QEvent* AEvent) override;

private:
    QWidget* FWindow;
    QList<QAction*> FTextKeys;
};
