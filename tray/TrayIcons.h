// The tray's pictures and the values the main window gives its tray icon.
#pragma once

#include "tray/TrayShell.h"

#include <QIcon>

// 16 x 16 squares: green while all is well, bright red and dark red for the alarm frames.
QIcon TrayIconGreen();
QIcon TrayIconRed();
QIcon TrayIconDarkRed();

// Gives ATrayIcon the main window's values (Hint "Vardex", the green Icon, the red and
// dark red frames, Interval 500, OnDblClick) and ends its loading, so that it enters the
// notification area once, with its final icon and tooltip.
void SetupMainWindowTray(TTrayIcon& ATrayIcon, TTrayIcon::TNotifyEvent AOnDblClick);
