// The main window on a D-Bus tray (StatusNotifierItem), as current desktops have it: a
// private session bus, a virtual X server, a minimal StatusNotifierWatcher of our own in a
// process of its own (StatusNotifierWatcher.cpp), and the test in the host's part: it
// activates the registered item and clicks the entries of the menu the item exports.
// Skipped where dbus-daemon, Xvfb, trayer or xdotool are not installed.
#include "app/Application.h"
#include "app/Main.h"
#include "support/Parts.h"
#include "tray/TrayShell.h"

#include "support/DBusSession.h"
#include "support/SniWatcher.h"
#include "support/X11Desktop.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QtTest>

#include <map>

namespace {

using namespace X11Desktop;
using SniWatcher::Call;
using SniWatcher::RegisteredItems;

TVirtualDesktop GDesktop;
std::unique_ptr<TPrivateSessionBus> GBus;
pid_t GWatcher = -1;
QString GSkipReason;

// A private session bus; its address goes to DBUS_SESSION_BUS_ADDRESS.
bool StartSessionBus()
{
    GBus = std::make_unique<TPrivateSessionBus>();
    if (GBus->Address().empty()) {
        GSkipReason = QStringLiteral("dbus-daemon is not installed or did not start");
        return false;
    }
    setenv("DBUS_SESSION_BUS_ADDRESS", GBus->Address().c_str(), 1);
    return true;
}

const QString KItemInterface = QStringLiteral("org.kde.StatusNotifierItem");
const QString KItemPath = QStringLiteral("/StatusNotifierItem");

} // namespace

class TestMainDBusTray : public QObject {
    Q_OBJECT

    static void ReadLayout(const QDBusArgument& AItem, std::map<QString, int>& AIds)
    {
        int Id = 0;
        QVariantMap Properties;
        AItem.beginStructure();
        AItem >> Id >> Properties;
        AIds[Properties.value(QStringLiteral("label")).toString()] = Id;
        AItem.beginArray();
        while (!AItem.atEnd()) {
            QDBusVariant Child;
            AItem >> Child;
            ReadLayout(Child.variant().value<QDBusArgument>(), AIds);
        }
        AItem.endArray();
        AItem.endStructure();
    }

    // The exported menu's entries by label, read as a host reads them before showing it.
    static std::map<QString, int> MenuIds(const QString& AService, const QString& AMenuPath)
    {
        const QString Menu = QStringLiteral("com.canonical.dbusmenu");
        Call(AService, AMenuPath, Menu, QStringLiteral("AboutToShow"), { 0 });
        const QDBusMessage Reply
            = Call(AService, AMenuPath, Menu, QStringLiteral("GetLayout"), { 0, -1, QStringList() });
        std::map<QString, int> Ids;
        if (Reply.type() == QDBusMessage::ReplyMessage && Reply.arguments().size() == 2)
            ReadLayout(Reply.arguments()[1].value<QDBusArgument>(), Ids);
        return Ids;
    }

    static void Click(const QString& AService, const QString& AMenuPath, int AId)
    {
        Call(AService, AMenuPath, QStringLiteral("com.canonical.dbusmenu"), QStringLiteral("Event"),
            { AId, QStringLiteral("clicked"), QVariant::fromValue(QDBusVariant(0)), 0u });
    }

    static void MinimiseToTray(TfmMain& AWindow)
    {
        AWindow.showMinimized();
        QTRY_VERIFY_WITH_TIMEOUT(!AWindow.isVisible(), 5000);
    }

private slots:
    void initTestCase()
    {
        if (!GSkipReason.isEmpty())
            QSKIP(qPrintable(GSkipReason));
        if (!GDesktop.SkipReason.isEmpty())
            QSKIP(qPrintable(GDesktop.SkipReason));
        // The tray host is there before the first tray icon is made, as on a desktop.
        bool Registered = false;
        GWatcher = SniWatcher::Start(VARDEX_SNI_WATCHER_PATH, Registered);
        QVERIFY(Registered);
        TApplication::SetErrorReportHook(
            [](const QString&, const QString& AText) { QFAIL(qPrintable("Error report: " + AText)); });
    }
    void cleanupTestCase() { TApplication::SetErrorReportHook({}); }

    void ActivationAndMenuBringTheWindowBack()
    {
        const TWorkingFolder Folder;

        TfmMain W;
        QVERIFY(TQtTrayShell::IsStatusNotifierTray());
        QStringList Items;
        QTRY_COMPARE_WITH_TIMEOUT((Items = RegisteredItems()).size(), 1, 5000);
        const QString Item = Items.first();
        QVERIFY(Part<TTrayIcon>(W, "TrayIcon")->InTray());
        W.show();
        QVERIFY(QTest::qWaitForWindowExposed(&W));

        // A host's click is an activation: hidden or not, the window comes back restored.
        MinimiseToTray(W);
        Call(Item, KItemPath, KItemInterface, QStringLiteral("Activate"), { 0, 0 });
        QTRY_VERIFY_WITH_TIMEOUT(W.isVisible() && !W.isMinimized(), 5000);
        Call(Item, KItemPath, KItemInterface, QStringLiteral("Activate"), { 0, 0 });
        QTRY_VERIFY_WITH_TIMEOUT(W.isVisible() && !W.isMinimized(), 5000);

        // The menu the host shows: "Показать", and "Выход", which ends the program.
        const QDBusMessage MenuPath = Call(Item, KItemPath, QStringLiteral("org.freedesktop.DBus.Properties"),
            QStringLiteral("Get"), { KItemInterface, QStringLiteral("Menu") });
        QCOMPARE(MenuPath.type(), QDBusMessage::ReplyMessage);
        const QString Menu
            = MenuPath.arguments()[0].value<QDBusVariant>().variant().value<QDBusObjectPath>().path();
        const std::map<QString, int> Ids = MenuIds(Item, Menu);
        QVERIFY(Ids.count(QStringLiteral("Показать")));
        QVERIFY(Ids.count(QStringLiteral("Выход")));

        MinimiseToTray(W);
        Click(Item, Menu, Ids.at(QStringLiteral("Показать")));
        QTRY_VERIFY_WITH_TIMEOUT(W.isVisible() && !W.isMinimized(), 5000);

        // Chosen while the window is in the tray, it still ends the event loop (the program).
        MinimiseToTray(W);
        QTimer::singleShot(0, [&] { Click(Item, Menu, Ids.at(QStringLiteral("Выход"))); });
        QTimer::singleShot(10000, [] { QCoreApplication::exit(99); });
        QCOMPARE(QCoreApplication::exec(), 0);
        QVERIFY(!W.isVisible());
    }
};

int main(int argc, char** argv)
{
    WithoutStrictStringChecks(argv);
    if (!StartSessionBus() || !GDesktop.Start("800x600x24"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    int Result;
    {
        TApplication App(argc, argv);
        TestMainDBusTray Test;
        Result = QTest::qExec(&Test, argc, argv);
    }
    Stop(GWatcher);
    GBus.reset();
    return Result;
}

#include "TestMainDBusTray.moc"
