#include "app/MainTray.h"

#include "app/Application.h"
#include "tray/TrayIcons.h"

#include <QMainWindow>
#include <QMenu>

TMainTray::TMainTray(QMainWindow& AWindow, std::unique_ptr<TTrayShell> AShell, QAction* AShow, QAction* AExit,
    std::function<void()> AOnDblClick)
    : FWindow(AWindow)
{
    // Placed once, green and with its tooltip, before the window is first shown. The menu
    // is the way back, and the way out, on trays that offer no double-click.
    TrayIcon = new TTrayIcon(&AWindow, std::move(AShell));
    TrayIcon->setObjectName(QStringLiteral("TrayIcon"));
    TrayPopupMenu = new QMenu(&AWindow);
    TrayPopupMenu->setObjectName(QStringLiteral("TrayPopupMenu"));
    TrayPopupMenu->addAction(AShow);
    TrayPopupMenu->addAction(AExit);
    TrayIcon->SetPopupMenu(TrayPopupMenu);
    SetupMainWindowTray(*TrayIcon, [AOnDblClick = std::move(AOnDblClick)](TTrayIcon*) { AOnDblClick(); });

    ApplicationEvents = new TApplicationEvents(&AWindow);
    ApplicationEvents->setObjectName(QStringLiteral("ApplicationEvents"));
    ApplicationEvents->OnMinimize = [this] {
        if (OnMinimize)
            OnMinimize();
    };
}

TMainTray::~TMainTray()
{
    delete ApplicationEvents;
    delete TrayIcon;
}

void TMainTray::SetAnimated(bool AAnimated)
{
    TrayIcon->SetAnimated(AAnimated);
}

void TMainTray::SetHint(const QString& AHint)
{
    TrayIcon->SetHint(AHint);
}

// A window hidden to the tray comes back only through the tray icon (or an alarm). Where
// there is no notification area, or the icon could not be placed in it, minimising leaves
// an ordinary minimised window that the desktop can restore.
void TMainTray::HideWindow()
{
    if (!TrayIcon->IsTrayAvailable())
        return;
    // A tray host that appeared after start has not got the icon yet.
    if (!TrayIcon->InTray() && TrayIcon->Active())
        TrayIcon->AddToTray();
    if (TrayIcon->InTray())
        FWindow.hide();
}

void TMainTray::ShowWindow()
{
    if (FWindow.isMinimized())
        FWindow.showNormal();
    else
        FWindow.show();
    FWindow.raise();
    FWindow.activateWindow();
}
