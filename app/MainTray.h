// The window's place in the notification area.
#pragma once

#include "tray/TrayShell.h"

#include <QString>

#include <functional>
#include <memory>

class QAction;
class QMainWindow;
class QMenu;
class TApplicationEvents;

// The tray icon (green; red frames while an alarm stands) with its menu, and the window
// hidden there when it is minimised.
class TMainTray {
public:
    // AShell: the notification area; Qt's when empty. AShow and AExit: the menu's commands.
    // AOnDblClick: what a double-click on the icon does.
    TMainTray(QMainWindow& AWindow, std::unique_ptr<TTrayShell> AShell, QAction* AShow, QAction* AExit,
        std::function<void()> AOnDblClick);
    // The icon leaves the notification area, and no tray event reaches the window after.
    ~TMainTray();

    void SetAnimated(bool AAnimated);
    // The icon's tooltip: "Vardex", and what is down while anything is.
    void SetHint(const QString& AHint);
    // Hides the window to the tray, where there is one to come back from.
    void HideWindow();
    // Makes the window visible, brings it to the front and undoes a minimise.
    void ShowWindow();

    // Called when the application is minimised.
    std::function<void()> OnMinimize;

private:
    QMainWindow& FWindow;
    TTrayIcon* TrayIcon = nullptr;
    // The tray icon's menu: "Показать" and "Выход".
    QMenu* TrayPopupMenu = nullptr;
    TApplicationEvents* ApplicationEvents = nullptr;
};
