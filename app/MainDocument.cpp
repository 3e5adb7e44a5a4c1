// The window's list as a document: its file, its title with unsaved changes marked, the
// questions before it is left, and the recovery file for an end that cannot ask.
#include "app/Application.h"
#include "app/ListFile.h"
#include "app/Main.h"
#include "app/MainForm.h"
#include "app/SaveConfigDialog.h"

#include <QCloseEvent>
#include <QFileInfo>
#include <QMessageBox>

void TfmMain::closeEvent(QCloseEvent* AEvent)
{
    ServConfigStringsChange();
    if (FClosingUnasked || AgreeToLeave())
        AEvent->accept();
    else
        AEvent->ignore();
}

void TfmMain::CloseWithoutAsking()
{
    Guarded([this] {
        ServConfigStringsChange();
        if (Modified())
            FListFile->SaveRecovery(Monitors());
    });
    FClosingUnasked = true;
    close();
}

bool TfmMain::AgreeToLeave()
{
    if (!Modified())
        return true;
    const QMessageBox::StandardButton Answer
        = Ask(tr("В списке %1 есть несохранённые изменения. Сохранить их?").arg(ListFileText()),
            QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel, QMessageBox::Save);
    if (Answer == QMessageBox::Discard) {
        SetModified(false);
        return true;
    }
    if (Answer != QMessageBox::Save)
        return false;
    bool Saved = false;
    Guarded([this, &Saved] { Saved = SaveConfig(); });
    return Saved;
}

void TfmMain::OfferRecovery()
{
    if (!FListFile->HasRecovery())
        return;
    const QString Recovery = QFileInfo(QString::fromStdString(FListFile->RecoveryName())).absoluteFilePath();
    const QMessageBox::StandardButton Answer
        = Ask(tr("Vardex был остановлен с несохранёнными изменениями списка %1; они записаны в %2. "
                 "Восстановить их? Иначе файл %2 удаляется.")
                  .arg(ListFileText(), Recovery),
            QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes);
    if (Answer != QMessageBox::Yes) {
        FListFile->RemoveRecovery();
        return;
    }
    FEditedMonitor.reset();
    FListFile->LoadRecovery(Monitors());
    RefreshList();
    SetModified(true);
    UpdateTitle();
}

QMessageBox::StandardButton TfmMain::Ask(
    const QString& AText, QMessageBox::StandardButtons AButtons, QMessageBox::StandardButton ADefault)
{
    if (QuestionHook)
        return QuestionHook(AText);
    QMessageBox Box(QMessageBox::Question, TApplication::Title(), AText, AButtons, this);
    Box.setDefaultButton(ADefault);
    return static_cast<QMessageBox::StandardButton>(Box.exec());
}

QString TfmMain::ListFileText() const
{
    return QFileInfo(QString::fromStdString(FListFile->ListPath())).absoluteFilePath();
}

void TfmMain::SetModified(bool AModified)
{
    setWindowModified(AModified);
}

void TfmMain::UpdateTitle()
{
    const QString Title = QStringLiteral("%1[*] - %2")
                              .arg(QFileInfo(QString::fromStdString(FListFile->ListPath())).fileName(),
                                  TApplication::Title());
    // While anything is down, the title says so first, as the tray's tooltip does.
    setWindowTitle(FDownTitle.isEmpty() ? Title : FDownTitle + QStringLiteral(" \u2014 ") + Title);
}

void TfmMain::LoadConfig()
{
    FListFile->Load(Monitors());
}

bool TfmMain::SaveConfig()
{
    const bool Saved = FListFile->Save(Monitors(), [this](std::string& AFileName) {
        return SaveDialogHook ? SaveDialogHook(AFileName) : TSaveConfigDialog::Ask(this, AFileName);
    });
    if (Saved)
        SetModified(false);
    UpdateTitle();
    return Saved;
}
