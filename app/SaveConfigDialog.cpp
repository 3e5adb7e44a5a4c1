#include "app/SaveConfigDialog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>

TSaveConfigDialog::TSaveConfigDialog(QWidget* AParent)
    : QFileDialog(AParent, tr("Сохранение конфигурации..."))
{
    setAcceptMode(QFileDialog::AcceptSave);
    setFileMode(QFileDialog::AnyFile);
    setNameFilters({ QStringLiteral("Service List Files (*.cfg)"), QStringLiteral("All Files (*)") });
    setDefaultSuffix(QStringLiteral("cfg"));
    setOption(QFileDialog::DontConfirmOverwrite, false);
}

void TSaveConfigDialog::accept()
{
    // A name in a folder that does not exist is refused here, where it can still be
    // corrected; a save into it could only fail.
    const QStringList Files = selectedFiles();
    if (!Files.isEmpty() && !QFileInfo(Files.first()).dir().exists()) {
        const QString Folder = QDir::toNativeSeparators(QFileInfo(Files.first()).path());
        if (FolderMissingHook) {
            FolderMissingHook(Folder);
        } else {
            QMessageBox Box(QMessageBox::Warning, windowTitle(), tr("Папка не существует:\n%1").arg(Folder),
                QMessageBox::Ok, this);
            Box.setTextFormat(Qt::PlainText);
            Box.exec();
        }
        return;
    }
    QFileDialog::accept();
}

bool TSaveConfigDialog::Ask(QWidget* AParent, std::string& AFileName)
{
    TSaveConfigDialog Dialog(AParent);
    // The list's own file is offered: a first save goes where the next start reads.
    if (!AFileName.empty())
        Dialog.selectFile(QFileInfo(QFile::decodeName(AFileName.c_str())).absoluteFilePath());
    if (Dialog.exec() != QDialog::Accepted || Dialog.selectedFiles().isEmpty())
        return false;
    AFileName = QFile::encodeName(Dialog.selectedFiles().first()).toStdString();
    return !AFileName.empty();
}
