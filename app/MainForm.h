// The main window's parts: the form's (Main.ui) and the few a form cannot hold.
#pragma once

#include "ui_Main.h"

class QTimer;
class TListFilterBar;

// Each part carries its form name as its object name, by which tests find it (findChild).
class TMainForm : public Ui::TfmMain {
public:
    // The one-second check timer, not yet started.
    QTimer* tmrCheck = nullptr;
    // The list's context menu: acknowledge and delete.
    QMenu* ServListPopupMenu = nullptr;
    // The bar over the list that filters its rows, and the command that shows it (Ctrl+F).
    TListFilterBar* ListFilter = nullptr;
    QAction* acFilter = nullptr;
    // The selected row's target: opened in the browser (a web address) or copied.
    QAction* acOpenInBrowser = nullptr;
    QAction* acCopyTarget = nullptr;
    // "Звук при сбое": whether the alarm is heard as well.
    QAction* acSound = nullptr;

    // Builds AWindow's parts, sized as the window first shows them.
    void Setup(QMainWindow* AWindow);
};
