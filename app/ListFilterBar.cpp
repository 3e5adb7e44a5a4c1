#include "app/ListFilterBar.h"

#include <QCheckBox>
#include <QCoreApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>

TListFilterBar::TListFilterBar(QWidget* AParent)
    : QWidget(AParent)
{
    setObjectName(QStringLiteral("ListFilterBar"));
    auto* Layout = new QHBoxLayout(this);
    Layout->setContentsMargins(2, 2, 2, 2);
    FilterBox = new QLineEdit(this);
    FilterBox->setObjectName(QStringLiteral("FilterBox"));
    FilterBox->setClearButtonEnabled(true);
    FilterBox->setPlaceholderText(QCoreApplication::translate("TfmMain", "Имя, адрес или причина"));
    FilterBox->installEventFilter(this);
    OnlyFailing = new QCheckBox(QCoreApplication::translate("TfmMain", "Только сбои"), this);
    OnlyFailing->setObjectName(QStringLiteral("OnlyFailing"));
    FilterCount = new QLabel(this);
    FilterCount->setObjectName(QStringLiteral("FilterCount"));
    Layout->addWidget(FilterBox, 1);
    Layout->addWidget(OnlyFailing);
    Layout->addWidget(FilterCount);
    const auto Changed = [this] { emit FilterChanged(FilterBox->text(), OnlyFailing->isChecked()); };
    connect(FilterBox, &QLineEdit::textChanged, this, Changed);
    connect(OnlyFailing, &QCheckBox::toggled, this, Changed);
    hide();
}

void TListFilterBar::Open()
{
    show();
    FilterBox->setFocus(Qt::ShortcutFocusReason);
    FilterBox->selectAll();
}

void TListFilterBar::Close()
{
    FilterBox->clear();
    OnlyFailing->setChecked(false);
    hide();
}

void TListFilterBar::SetCount(int AShown, int AAll)
{
    FilterCount->setText(QCoreApplication::translate("TfmMain", "%1 из %2").arg(AShown).arg(AAll));
}

bool TListFilterBar::eventFilter(QObject* AWatched, QEvent* AEvent)
{
    // Esc in the box ends the filtering, as in a browser's find bar.
    if (AWatched == FilterBox && AEvent->type() == QEvent::KeyPress
        && static_cast<QKeyEvent*>(AEvent)->key() == Qt::Key_Escape) {
        Close();
        return true;
    }
    return QWidget::eventFilter(AWatched, AEvent);
}
