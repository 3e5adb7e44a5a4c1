#include "app/ValueEdit.h"

#include "app/WindowTexts.h"

#include <limits>

TValueEdit::TValueEdit(QWidget* AParent)
    : QLineEdit(AParent)
{
    setMaxLength(std::numeric_limits<int>::max());
    // Connected first, so that whoever else listens to textEdited sees the clean text.
    connect(this, &QLineEdit::textEdited, this, &TValueEdit::RemoveControls);
}

void TValueEdit::RemoveControls()
{
    const QString Text = text();
    const QString Clean = WithoutControls(Text);
    if (Clean == Text)
        return;
    const int Cursor = static_cast<int>(WithoutControls(Text.left(cursorPosition())).size());
    setText(Clean);
    setCursorPosition(Cursor);
}
