// The D-Bus tray host as the tray tests see it: the suite's StatusNotifierWatcher
// (StatusNotifierWatcher.cpp) started in a process of its own on the session bus, the items
// registered with it, and calls that leave the event loop running, since the item a test
// calls may be served by the test program itself.
#pragma once

#include "support/X11Desktop.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>
#include <QtTest>

#include <string>

namespace SniWatcher {

inline const QString KWatcher = QStringLiteral("org.kde.StatusNotifierWatcher");

// Calls AMethod without blocking the event loop; an invalid message when no reply came.
inline QDBusMessage Call(const QString& AService, const QString& APath, const QString& AInterface,
    const QString& AMethod, const QVariantList& AArgs)
{
    QDBusMessage Message = QDBusMessage::createMethodCall(AService, APath, AInterface, AMethod);
    Message.setArguments(AArgs);
    QDBusPendingCallWatcher Pending(QDBusConnection::sessionBus().asyncCall(Message, 5000));
    if (!QTest::qWaitFor([&] { return Pending.isFinished(); }, 6000))
        return {};
    return Pending.reply();
}

// Starts the watcher program AProgram; its process, with ARegistered telling whether its name
// came on the session bus within 10 s.
inline pid_t Start(const std::string& AProgram, bool& ARegistered)
{
    const pid_t Pid = X11Desktop::Spawn({ AProgram });
    ARegistered = QTest::qWaitFor(
        [] { return QDBusConnection::sessionBus().interface()->isServiceRegistered(KWatcher).value(); },
        10000);
    return Pid;
}

// The items registered with the watcher.
inline QStringList RegisteredItems()
{
    const QDBusMessage Reply = Call(KWatcher, QStringLiteral("/StatusNotifierWatcher"),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"),
        { KWatcher, QStringLiteral("RegisteredStatusNotifierItems") });
    if (Reply.type() != QDBusMessage::ReplyMessage || Reply.arguments().isEmpty())
        return {};
    return Reply.arguments()[0].value<QDBusVariant>().variant().toStringList();
}

} // namespace SniWatcher
