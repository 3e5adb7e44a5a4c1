#include "app/ShortcutFilter.h"

#include <QAction>
#include <QKeyEvent>
#include <QLineEdit>

TShortcutFilter::TShortcutFilter(QWidget* AWindow, QList<QAction*> ATextKeys)
    : QObject(AWindow)
    , FWindow(AWindow)
    , FTextKeys(std::move(ATextKeys))
{
}

bool TShortcutFilter::eventFilter(QObject* AWatched, QEvent* AEvent)
{
    if (AEvent->type() != QEvent::ShortcutOverride)
        return false;
    auto* Widget = qobject_cast<QWidget*>(AWatched);
    if (!Widget || Widget->window() != FWindow)
        return false;
    auto* Key = static_cast<QKeyEvent*>(AEvent);
    const QKeySequence Sequence(QKeyCombination(Key->modifiers() & ~Qt::KeypadModifier, Qt::Key(Key->key())));
    if (qobject_cast<QLineEdit*>(Widget))
        for (const QAction* Action : FTextKeys)
            if (Sequence == Action->shortcut())
                return false;
    for (const QAction* Action : FWindow->actions()) {
        if (Action->isEnabled() && !Action->shortcut().isEmpty() && Action->shortcut() == Sequence) {
            AEvent->ignore();
            return true;
        }
    }
    return false;
}
