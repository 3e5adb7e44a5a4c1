// A minimal tray host for the D-Bus tray test, in a process of its own as a desktop's is:
// the StatusNotifierWatcher service that items register with, reporting a host present.
// Runs on the session bus of DBUS_SESSION_BUS_ADDRESS until it is killed.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QStringList>

#include <cstdio>

class TStatusNotifierWatcher : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ IsStatusNotifierHostRegistered)
    Q_PROPERTY(int ProtocolVersion READ ProtocolVersion)
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ RegisteredStatusNotifierItems)

public:
    bool IsStatusNotifierHostRegistered() const { return true; }
    int ProtocolVersion() const { return 0; }
    QStringList RegisteredStatusNotifierItems() const { return FItems; }

public slots:
    // An item names its service, or only its path (then the sender is the service).
    void RegisterStatusNotifierItem(const QString& AService, const QDBusMessage& AMessage)
    {
        FItems << (AService.startsWith('/') ? AMessage.service() : AService);
    }
    void RegisterStatusNotifierHost(const QString&) { }

private:
    QStringList FItems;
};

int main(int argc, char** argv)
{
    QCoreApplication App(argc, argv);
    TStatusNotifierWatcher Watcher;
    QDBusConnection Bus = QDBusConnection::sessionBus();
    if (!Bus.registerObject(QStringLiteral("/StatusNotifierWatcher"), &Watcher,
            QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllProperties)
        || !Bus.registerService(QStringLiteral("org.kde.StatusNotifierWatcher"))) {
        std::fprintf(stderr, "cannot register the watcher: %s\n", qPrintable(Bus.lastError().message()));
        return 1;
    }
    return App.exec();
}

#include "StatusNotifierWatcher.moc"
