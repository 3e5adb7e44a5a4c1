// The bar over the monitor list that Ctrl+F shows: a filter text, "only failing", and how many
// rows are shown of all. It only says what the operator asks for; the list view does the rest.
#pragma once

#include <QWidget>

class QCheckBox;
class QLabel;
class QLineEdit;

class TListFilterBar : public QWidget {
    Q_OBJECT

public:
    explicit TListFilterBar(QWidget* AParent = nullptr);

    // Shows the bar with the cursor in its text box.
    void Open();
    // Empties and hides the bar: every row is shown again.
    void Close();
    Q_SLOT void SetCount(int AShown, int AAll);

    QLineEdit* FilterBox = nullptr;
    QCheckBox* OnlyFailing = nullptr;
    QLabel* FilterCount = nullptr;

signals:
    void FilterChanged(const QString& AText, bool AOnlyFailing);

protected:
    bool eventFilter(QObject* AWatched, QEvent* AEvent) override;
};
