// The settings editor of the window (ServConfig): the selected monitor's Key=Value lines, a
// key and an edit box for its value per row, and the rule for which typed values a monitor
// takes. A typed value is only a draft until it is committed (Enter, leaving the box, or
// whatever the window commits it for): a half-typed port or interval must never be checked.
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

    // Shows ALines, one row each (one empty row for none), as values not yet edited. An edit
    // box that already shows its value is left alone, so that a refill keeps the cursor.
    void SetLines(const TStringList& ALines);
    // The columns' starting widths: the key's while every key fits, the value's at least.
    void SetColumnWidths(int AKey, int AValue);
    // Shows no monitor: one empty row that takes no typing.
    void Clear();
    // Whether a value was typed since the lines were last shown or committed.
    bool Modified() const { return FModified; }
    void SetModified(bool AModified) { FModified = AModified; }
    // The value box of the first of AKeys (in their order) that the editor shows; none when
    // it shows none of them.
    QLineEdit* FirstValueBoxOf(const QStringList& AKeys) const;
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
    // The operator committed typed values: Enter, or a value box left after typing.
    void Committed();

private:
    bool FModified = false;
    int FKeyWidth = 79;
    int FValueWidth = 100;
    void FitValueColumn();

protected:
    void resizeEvent(QResizeEvent* AEvent) override;

private:
    // Sets every value box read-only or not.
    void SetReadOnly(bool AReadOnly);
    // The status bar's text of the last refused value.
    QString FRefusedMessage;
};
