// The settings editor of the window (ServConfig): the selected monitor's Key=Value lines, a
// key and an edit box for its value per row, and the rule for which typed values a monitor
// takes.
#pragma once

#include "monitors/Monitors.h"

#include <QTableWidget>

#include <string>

class QLineEdit;
class QStatusBar;

class TSettingsEditor : public QTableWidget {
    Q_OBJECT

public:
    explicit TSettingsEditor(QWidget* AParent = nullptr);

    // Shows ALines, one row each (one empty row for none). An edit box that already shows its
    // value is left alone, so that a refill while the operator types keeps the cursor.
    void SetLines(const TStringList& ALines);
    // The content as Key=Value lines; rows with neither a key nor a value are left out.
    TStringList Lines() const;
    // The value edit box of a row.
    QLineEdit* ValueBox(int ARow) const;
    // Shows the row's name (ACaption) and AMonitor's settings (none without a monitor). A
    // value the list held that its key cannot take is shown as it was written, where the
    // operator can mend it, rather than as what it fell back to.
    void ShowMonitor(const QString& ACaption, const TServiceMonitor* AMonitor);
    // The lines AMonitor can take. ARefused says which values were left out and what the
    // monitor keeps instead; it is empty when every value is taken.
    TStringList AcceptedLines(const TServiceMonitor& AMonitor, QString& ARefused) const;
    // Says ARefused in AStatusBar, or takes back the last refusal said there once a value is
    // taken (ARefused empty).
    void ShowRefused(QStatusBar& AStatusBar, const QString& ARefused);

signals:
    // The operator changed a value.
    void Typed();
    // The operator left a value box.
    void Finished();

private:
    // The status bar's text of the last refused value.
    QString FRefusedMessage;
};
