// The edit box of a name or a value, shared by the monitor list (renames) and the settings
// editor (values).
#pragma once

#include <QLineEdit>

// The list file is line based: a line break typed or pasted into a value would end its line
// and start another, which the next load reads as a key of its own or as the start of
// another monitor. So control characters never get in: each run of them becomes one blank
// as it is entered. And no length limit: a line edit would cut a long URL at 32767
// characters as soon as it is shown.
class TValueEdit : public QLineEdit {
public:
    explicit TValueEdit(QWidget* AParent = nullptr);

private:
    void RemoveControls();
};
