#include "tray/TrayIcons.h"

#include <QString>

// The pictures are compiled into this static library; its resource registration is not
// referenced from anywhere else, so the linker would drop it unless called for. The
// registration function is declared at global scope by the macro, so this stays outside
// any namespace.
static int InitTrayResources()
{
    Q_INIT_RESOURCE(tray);
    return 0;
}

namespace {

QIcon LoadIcon(const char* AName)
{
    static const int GResourcesReady = InitTrayResources();
    (void)GResourcesReady;
    return QIcon(QStringLiteral(":/tray/") + QLatin1String(AName));
}

} // namespace

QIcon TrayIconGreen()
{
    return LoadIcon("green.png");
}

QIcon TrayIconRed()
{
    return LoadIcon("red.png");
}

QIcon TrayIconDarkRed()
{
    return LoadIcon("darkred.png");
}

void SetupMainWindowTray(TTrayIcon& ATrayIcon, TTrayIcon::TNotifyEvent AOnDblClick)
{
    ATrayIcon.SetHint(QStringLiteral("Vardex"));
    ATrayIcon.SetIcon(TrayIconGreen());
    TIconList& Frames = ATrayIcon.Icons();
    Frames.BeginUpdate();
    Frames.Clear();
    Frames.Add(TrayIconRed());
    Frames.Add(TrayIconDarkRed());
    Frames.EndUpdate();
    ATrayIcon.SetInterval(500);
    ATrayIcon.OnDblClick = std::move(AOnDblClick);
    ATrayIcon.Loaded();
}
