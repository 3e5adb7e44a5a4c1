// The dialog that asks where the monitor list is saved.
#pragma once

#include <QFileDialog>

#include <functional>
#include <string>

// "Сохранение конфигурации...", the list filters, "cfg" added to a name without a suffix, a
// question before an existing file is replaced, and no name accepted in a folder that does
// not exist.
class TSaveConfigDialog : public QFileDialog {
    Q_OBJECT

public:
    explicit TSaveConfigDialog(QWidget* AParent = nullptr);
    void accept() override;

    // Asks for a name over AParent, offering AFileName when it holds one; false for a cancel,
    // else the chosen name in AFileName (in the file system's encoding).
    static bool Ask(QWidget* AParent, std::string& AFileName);

    // Test hook: called with the folder instead of the message that it does not exist.
    std::function<void(const QString& AFolder)> FolderMissingHook;
};
