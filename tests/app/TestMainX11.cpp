// The main window on a real desktop: a virtual X server with a tray host, Qt's xcb
// platform, the real check timer and the real notification area. The tray icon is read back
// from the screen, the window's map state from the X server, and double-clicks are made by
// the X test extension. Skipped where Xvfb, trayer or xdotool are not installed.
#include "app/Application.h"
#include "app/Main.h"
#include "support/Parts.h"
#include "support/TestMonitor.h"
#include "tray/TrayShell.h"

#include "support/X11Desktop.h"

#include <QtTest>

namespace {

using namespace X11Desktop;

TVirtualDesktop GDesktop;

// Whether the X server has AWindow mapped and viewable, asked of the server itself.
bool IsMappedOnScreen(QWidget& AWindow)
{
    QString Found;
    XdoTool({ "search", "--onlyvisible", "--name", " - Vardex$" }, &Found);
    return Found.split('\n', Qt::SkipEmptyParts).contains(QString::number(AWindow.winId()));
}

void DoubleClickAt(const QPoint& APoint)
{
    XdoTool({ "mousemove", QString::number(APoint.x()), QString::number(APoint.y()) });
    XdoTool({ "click", "--repeat", "2", "--delay", "60", "1" });
}

} // namespace

class TestMainX11 : public QObject {
    Q_OBJECT

private slots:
    void init()
    {
        VARDEX_REQUIRE_TRAY(GDesktop);
        TApplication::SetErrorReportHook(
            [](const QString&, const QString& AText) { QFAIL(qPrintable("Error report: " + AText)); });
    }
    void cleanup() { TApplication::SetErrorReportHook({}); }

    void TrayIconAlarmAndWayBack()
    {
        const TWorkingFolder Folder;

        TScriptedProbes Probes;
        TEngineOptions Engine;
        Engine.Probe = Probes.Probe();
        auto Window = std::make_unique<TfmMain>(nullptr, nullptr, std::move(Engine));
        TfmMain& W = *Window;
        auto Monitor = std::make_shared<TTestMonitor>();
        Monitor->SetInterval(1);
        Monitor->Tag = "forced";
        W.Monitors().push_back({ "forced", Monitor });
        QVERIFY(Part<TTrayIcon>(W, "TrayIcon")->InTray());
        QSystemTrayIcon& Icon
            = dynamic_cast<TQtTrayShell&>(Part<TTrayIcon>(W, "TrayIcon")->Shell()).SystemTrayIcon();
        QCOMPARE(Icon.toolTip(), QStringLiteral("Vardex"));
        QVERIFY(Icon.isVisible());

        // Green in the tray, before the window is shown and while all is well.
        QTRY_COMPARE_WITH_TIMEOUT(ScreenColour(Icon.geometry()), KTrayGreen, 5000);
        W.show();
        QTRY_VERIFY_WITH_TIMEOUT(IsMappedOnScreen(W), 5000);
        QTRY_VERIFY_WITH_TIMEOUT(Probes.ChecksOf("forced") >= 2, 5000);
        QCOMPARE(ScreenColour(Icon.geometry()), KTrayGreen);
        QVERIFY(!W.Alarm());

        // Minimised to the tray, and back by a double-click on the icon.
        W.showMinimized();
        QTRY_VERIFY_WITH_TIMEOUT(!W.isVisible(), 5000);
        QTRY_VERIFY_WITH_TIMEOUT(!IsMappedOnScreen(W), 5000);
        DoubleClickAt(Icon.geometry().center());
        QTRY_VERIFY_WITH_TIMEOUT(IsMappedOnScreen(W), 5000);
        QVERIFY(W.isVisible());
        QVERIFY(!W.isMinimized());

        // Away again; the monitor fails: the icon blinks and the window comes back.
        W.showMinimized();
        QTRY_VERIFY_WITH_TIMEOUT(!IsMappedOnScreen(W), 5000);
        Monitor->Result = msError;
        QTRY_VERIFY_WITH_TIMEOUT(W.Alarm(), 5000);
        bool SawRed = false;
        bool SawDarkRed = false;
        QTRY_VERIFY_WITH_TIMEOUT(
            (SawRed |= ScreenColour(Icon.geometry()) == KTrayRed,
                SawDarkRed |= ScreenColour(Icon.geometry()) == KTrayDarkRed, SawRed && SawDarkRed),
            5000);
        QTRY_VERIFY_WITH_TIMEOUT(IsMappedOnScreen(W), 5000);
        QVERIFY(!W.isMinimized());

        // Well again: green, and the window stays.
        Monitor->Result = msOK;
        QTRY_VERIFY_WITH_TIMEOUT(!W.Alarm(), 5000);
        QTRY_COMPARE_WITH_TIMEOUT(ScreenColour(Icon.geometry()), KTrayGreen, 5000);
        QVERIFY(IsMappedOnScreen(W));

        // At exit the icon leaves the tray: its place no longer shows green.
        const QRect Place = Icon.geometry();
        Monitor.reset();
        Window.reset();
        QTRY_VERIFY_WITH_TIMEOUT(ScreenColour(Place) != KTrayGreen, 5000);
    }
};

int main(int argc, char** argv)
{
    return RunOnDesktop<TApplication, TestMainX11>(GDesktop, "800x600x24", argc, argv);
}

#include "TestMainX11.moc"
