// The tray icon in a real notification area: a virtual X server with a tray host, Qt's
// xcb platform, pictures read back from the screen and double-clicks made by the X test
// extension. Skipped where Xvfb, trayer or xdotool are not installed.
#include "tray/TrayIcons.h"
#include "tray/TrayShell.h"

#include "support/X11Desktop.h"

#include <QApplication>
#include <QtTest>

namespace {

using namespace X11Desktop;

TVirtualDesktop GDesktop;

// The colour at the centre of the placed icon, read from the screen.
QRgb ShownColour(QSystemTrayIcon& AIcon)
{
    return ScreenColour(AIcon.geometry());
}

} // namespace

class TestTrayIconX11 : public QObject {
    Q_OBJECT

private slots:
    void init() { VARDEX_REQUIRE_TRAY(GDesktop); }

    void GreenIconEntersAndLeavesTheTray()
    {
        auto Tray = std::make_unique<TTrayIcon>();
        SetupMainWindowTray(*Tray, nullptr);
        QVERIFY(Tray->IsTrayAvailable());
        QVERIFY(Tray->InTray());
        auto& Icon = dynamic_cast<TQtTrayShell&>(Tray->Shell()).SystemTrayIcon();
        QCOMPARE(Icon.toolTip(), QStringLiteral("Vardex"));
        QTRY_COMPARE_WITH_TIMEOUT(ShownColour(Icon), KTrayGreen, 5000);

        Tray->RemoveFromTray();
        QVERIFY(!Icon.isVisible());
        Tray->AddToTray();
        QVERIFY(Tray->InTray());
        QTRY_COMPARE_WITH_TIMEOUT(ShownColour(Icon), KTrayGreen, 5000);
    }

    void AlarmBlinksAndEnds()
    {
        auto Tray = std::make_unique<TTrayIcon>();
        SetupMainWindowTray(*Tray, nullptr);
        auto& Icon = dynamic_cast<TQtTrayShell&>(Tray->Shell()).SystemTrayIcon();
        QTRY_COMPARE_WITH_TIMEOUT(ShownColour(Icon), KTrayGreen, 5000);
        Tray->SetInterval(300);
        Tray->SetAnimated(true);
        bool SawRed = false;
        bool SawDarkRed = false;
        QTRY_VERIFY_WITH_TIMEOUT((SawRed |= ShownColour(Icon) == KTrayRed,
                                     SawDarkRed |= ShownColour(Icon) == KTrayDarkRed, SawRed && SawDarkRed),
            5000);
        Tray->SetAnimated(false);
        QTRY_COMPARE_WITH_TIMEOUT(ShownColour(Icon), KTrayGreen, 5000);
    }

    void DoubleClickOnTheIcon()
    {
        int Clicks = 0;
        int DblClicks = 0;
        auto Tray = std::make_unique<TTrayIcon>();
        SetupMainWindowTray(*Tray, [&](TTrayIcon*) { ++DblClicks; });
        Tray->OnClick = [&](TTrayIcon*) { ++Clicks; };
        auto& Icon = dynamic_cast<TQtTrayShell&>(Tray->Shell()).SystemTrayIcon();
        QTRY_COMPARE_WITH_TIMEOUT(ShownColour(Icon), KTrayGreen, 5000);
        const QPoint Centre = Icon.geometry().center();
        QVERIFY(XdoTool({ "mousemove", QString::number(Centre.x()), QString::number(Centre.y()) }));
        QVERIFY(XdoTool({ "click", "1" }));
        QTRY_COMPARE_WITH_TIMEOUT(Clicks, 1, 5000);
        QCOMPARE(DblClicks, 0);
        QTest::qWait(700); // well past the double-click time
        QVERIFY(XdoTool({ "click", "--repeat", "2", "--delay", "60", "1" }));
        QTRY_COMPARE_WITH_TIMEOUT(DblClicks, 1, 5000);
        QCOMPARE(Clicks, 2);
    }
};

int main(int argc, char** argv)
{
    return RunOnDesktop<QApplication, TestTrayIconX11>(GDesktop, "320x200x24", argc, argv);
}

#include "TestTrayIconX11.moc"
