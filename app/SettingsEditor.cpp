#include "app/SettingsEditor.h"

#include "app/ValueEdit.h"
#include "app/WindowTexts.h"

#include <QCoreApplication>
#include <QStatusBar>
#include <QStringList>

#include <algorithm>
#include <optional>

TSettingsEditor::TSettingsEditor(QWidget* AParent)
    : QTableWidget(AParent)
{
}

void TSettingsEditor::SetColumnWidths(int AKey, int AValue)
{
    FKeyWidth = AKey;
    FValueWidth = AValue;
    setColumnWidth(0, AKey);
    FitValueColumn();
}

QLineEdit* TSettingsEditor::ValueBox(int ARow) const
{
    return qobject_cast<QLineEdit*>(cellWidget(ARow, 1));
}

void TSettingsEditor::SetLines(const TStringList& ALines)
{
    const int Rows = std::max<int>(1, static_cast<int>(ALines.size()));
    const int OldRows = rowCount();
    setRowCount(Rows);
    for (int Row = 0; Row < Rows; ++Row) {
        if (Row >= OldRows || !item(Row, 0)) {
            auto* Key = new QTableWidgetItem;
            Key->setFlags(Qt::ItemIsEnabled);
            setItem(Row, 0, Key);
        }
        if (!ValueBox(Row)) {
            auto* Edit = new TValueEdit;
            Edit->setFrame(false);
            connect(Edit, &QLineEdit::textEdited, this, [this] { FModified = true; });
            connect(Edit, &QLineEdit::editingFinished, this, [this] {
                if (FModified)
                    emit Committed();
            });
            setCellWidget(Row, 1, Edit);
        }
        QString Key, Value;
        if (Row < static_cast<int>(ALines.size())) {
            const std::string& Line = ALines[static_cast<size_t>(Row)];
            const size_t Eq = Line.find('=');
            Key = QString::fromStdString(Line.substr(0, Eq));
            if (Eq != std::string::npos)
                Value = QString::fromStdString(Line.substr(Eq + 1));
        }
        item(Row, 0)->setText(Key);
        QLineEdit* Edit = ValueBox(Row);
        if (Edit->text() != Value)
            Edit->setText(Value);
        // The start of a long URL says more than its end.
        Edit->setCursorPosition(Edit->hasFocus() ? Edit->cursorPosition() : 0);
    }
    FModified = false;
    SetReadOnly(false);
    // A key is never cut: its column widens to the longest, and the value takes the rest.
    setColumnWidth(0, std::max(FKeyWidth, sizeHintForColumn(0)));
    FitValueColumn();
}

void TSettingsEditor::resizeEvent(QResizeEvent* AEvent)
{
    QTableWidget::resizeEvent(AEvent);
    FitValueColumn();
}

void TSettingsEditor::FitValueColumn()
{
    // The value takes what the editor has beyond the key, keeping the small margin the
    // starting layout leaves (79 + 100 in 183), and never less than its starting width.
    constexpr int Margin = 4;
    setColumnWidth(1, std::max(FValueWidth, viewport()->width() - columnWidth(0) - Margin));
}

void TSettingsEditor::Clear()
{
    SetLines({});
    SetReadOnly(true);
}

void TSettingsEditor::SetReadOnly(bool AReadOnly)
{
    for (int Row = 0; Row < rowCount(); ++Row)
        if (QLineEdit* Edit = ValueBox(Row))
            Edit->setReadOnly(AReadOnly);
}

QLineEdit* TSettingsEditor::FirstValueBoxOf(const QStringList& AKeys) const
{
    for (const QString& Key : AKeys)
        for (int Row = 0; Row < rowCount(); ++Row)
            if (item(Row, 0) && item(Row, 0)->text().compare(Key, Qt::CaseInsensitive) == 0)
                return ValueBox(Row);
    return nullptr;
}

TStringList TSettingsEditor::Lines() const
{
    TStringList Lines;
    for (int Row = 0; Row < rowCount(); ++Row) {
        const QTableWidgetItem* KeyItem = item(Row, 0);
        const QString Key = KeyItem ? KeyItem->text() : QString();
        const QLineEdit* Edit = ValueBox(Row);
        const QString Value = Edit ? Edit->text() : QString();
        if (Key.isEmpty() && Value.isEmpty())
            continue;
        Lines.push_back(Key.toStdString() + "=" + Value.toStdString());
    }
    return Lines;
}

void TSettingsEditor::ShowMonitor(const QString& ACaption, const TServiceMonitor* AMonitor)
{
    TStringList Lines { "Name=" + ACaption.toStdString() };
    if (AMonitor) {
        TStringList Settings = AMonitor->EditorSettings();
        for (const TBadValue& Bad : AMonitor->BadValues())
            for (std::string& Line : Settings)
                if (Line.starts_with(Bad.Key + "=")) {
                    Line = Bad.Key + "=" + Bad.Value;
                    break;
                }
        Lines.insert(Lines.end(), Settings.begin(), Settings.end());
    }
    SetLines(Lines);
}

TStringList TSettingsEditor::AcceptedLines(const TServiceMonitor& AMonitor, QString& ARefused) const
{
    TStringList Lines = this->Lines();
    QStringList Refused;
    std::erase_if(Lines, [&](const std::string& ALine) {
        const size_t Eq = ALine.find('=');
        if (Eq == std::string::npos)
            return false;
        const std::optional<TBadValue> Bad = AMonitor.CheckValue(ALine.substr(0, Eq), ALine.substr(Eq + 1));
        if (!Bad)
            return false;
        // What the monitor keeps, as the editor would show it.
        std::string Kept;
        FindSettingsValue(AMonitor.EditorSettings(), Bad->Key, Kept);
        Refused << QCoreApplication::translate("TfmMain", "%1; остаётся %2")
                       .arg(BadValueTip(*Bad), QString::fromStdString(Kept));
        return true;
    });
    ARefused = Refused.isEmpty() ? QString()
                                 : QCoreApplication::translate("TfmMain", "Значение не принято: %1")
                                       .arg(Refused.join(QStringLiteral("; ")));
    return Lines;
}

void TSettingsEditor::ShowRefused(QStatusBar& AStatusBar, const QString& ARefused)
{
    if (!ARefused.isEmpty()) {
        FRefusedMessage = ARefused;
        AStatusBar.showMessage(FRefusedMessage);
    } else if (!FRefusedMessage.isEmpty() && AStatusBar.currentMessage() == FRefusedMessage) {
        AStatusBar.clearMessage();
    }
}
