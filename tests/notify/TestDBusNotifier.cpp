// The notifier against a real bus: a private dbus-daemon with a notification service of the
// test's own (tests/notify/notification_service.py) that writes down what it is sent. Also a
// bus without that service, and no bus at all: nothing may fail or hang.
#include "notify/DBusNotifier.h"
#include "support/DBusSession.h"
#include "support/RecordingNotifier.h"

#include <QDBusConnectionInterface>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTest>

#include <memory>

class TestDBusNotifier : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<TPrivateSessionBus> FBus;
    QString FRecord;

    QDBusConnection Connect(const QString& AName)
    {
        return QDBusConnection::connectToBus(QString::fromStdString(FBus->Address()), AName);
    }

    // Starts the stand-in service with ACapabilities and waits until it owns its name.
    void StartService(
        QDBusConnection& ABus, const QString& ACapabilities, std::unique_ptr<QProcess>& AService)
    {
        AService = std::make_unique<QProcess>();
        QProcess* Service = AService.get();
        Service->setProcessChannelMode(QProcess::ForwardedChannels);
        Service->start(QStringLiteral(VARDEX_SYSTEM_PYTHON),
            { QStringLiteral(VARDEX_NOTIFICATION_SERVICE), QString::fromStdString(FBus->Address()), FRecord,
                ACapabilities });
        QVERIFY(Service->waitForStarted(5000));
        QTRY_VERIFY_WITH_TIMEOUT(
            ABus.interface()->isServiceRegistered(QStringLiteral("org.freedesktop.Notifications")).value(),
            10000);
    }

    static void StopService(QProcess& AService)
    {
        AService.terminate();
        if (!AService.waitForFinished(5000)) {
            AService.kill();
            AService.waitForFinished(5000);
        }
    }

    QList<QJsonObject> Recorded() const
    {
        QList<QJsonObject> Result;
        QFile File(FRecord);
        if (!File.open(QIODevice::ReadOnly))
            return Result;
        for (const QByteArray& Line : File.readAll().split('\n'))
            if (!Line.isEmpty())
                Result.append(QJsonDocument::fromJson(Line).object());
        return Result;
    }

private slots:
    void initTestCase()
    {
        FBus = std::make_unique<TPrivateSessionBus>();
        QVERIFY2(!FBus->Address().empty(), "dbus-daemon did not start (scripts/deps.sh installs it)");
    }

    void init()
    {
        FRecord
            = QString::fromStdString(FBus->Folder()) + "/record-" + QTest::currentTestFunction() + ".jsonl";
    }

    void cleanupTestCase() { FBus.reset(); }

    void NotificationsReachTheService()
    {
        QDBusConnection Bus = Connect(QStringLiteral("reach"));
        QVERIFY(Bus.isConnected());
        std::unique_ptr<QProcess> Service;
        StartService(Bus, QStringLiteral("body,body-markup"), Service);
        if (QTest::currentTestFailed())
            return;
        TDBusNotifier Notifier(Bus);
        Notifier.Show({ "web", false, "HTTP/1.1 503 <b>Down</b> & out", 1 });
        Notifier.Show({ "web", true, "", 4, 312500 });
        QTRY_COMPARE_WITH_TIMEOUT(Recorded().size(), 2, 10000);
        const QList<QJsonObject> Got = Recorded();
        QCOMPARE(Got[0]["app_name"].toString(), QStringLiteral("Vardex"));
        QCOMPARE(Got[0]["summary"].toString(), QStringLiteral("web: ERROR"));
        // The server reads markup: a server's text must not become markup.
        QCOMPARE(Got[0]["body"].toString(), QStringLiteral("HTTP/1.1 503 &lt;b&gt;Down&lt;/b&gt; &amp; out"));
        QCOMPARE(Got[0]["urgency"].toInt(), 2);
        QCOMPARE(Got[0]["desktop_entry"].toString(), QStringLiteral("vardex"));
        QCOMPARE(Got[0]["expire_timeout"].toInt(), -1);
        QCOMPARE(Got[0]["replaces_id"].toInt(), 0);
        QCOMPARE(Got[1]["summary"].toString(), QStringLiteral("web: OK"));
        QCOMPARE(
            Got[1]["body"].toString(), QStringLiteral("Был недоступен: 5 мин 12 с\nИзменений за минуту: 4"));
        QCOMPARE(Got[1]["urgency"].toInt(), 1);
        StopService(*Service);
    }

    void APlainTextServerGetsTheTextAsItIs()
    {
        QDBusConnection Bus = Connect(QStringLiteral("plain"));
        std::unique_ptr<QProcess> Service;
        StartService(Bus, QStringLiteral("body"), Service);
        if (QTest::currentTestFailed())
            return;
        TDBusNotifier Notifier(Bus);
        Notifier.Show({ "a<b", false, "Socket Error # 10061\r\nConnection refused. x < y & z", 1 });
        QTRY_COMPARE_WITH_TIMEOUT(Recorded().size(), 1, 10000);
        QCOMPARE(Recorded()[0]["summary"].toString(), QStringLiteral("a<b: ERROR"));
        QCOMPARE(Recorded()[0]["body"].toString(),
            QStringLiteral("Socket Error # 10061 Connection refused. x < y & z"));
        StopService(*Service);
    }

    // No service on the bus: the notifications are dropped; one that starts later gets the
    // next ones.
    void WithoutAServiceNothingFailsAndALaterServiceIsFound()
    {
        QDBusConnection Bus = Connect(QStringLiteral("later"));
        TDBusNotifier Notifier(Bus);
        QElapsedTimer Took;
        Took.start();
        for (int I = 0; I < 50; ++I)
            Notifier.Show({ "web", I % 2 == 0, "refused", 1 });
        QVERIFY(Took.elapsed() < 1000);
        QTest::qWait(300);
        std::unique_ptr<QProcess> Service;
        StartService(Bus, QStringLiteral("body"), Service);
        if (QTest::currentTestFailed())
            return;
        Notifier.Show({ "ping", false, "no reply", 1 });
        QTRY_COMPARE_WITH_TIMEOUT(Recorded().size(), 1, 10000);
        QCOMPARE(Recorded()[0]["summary"].toString(), QStringLiteral("ping: ERROR"));
        StopService(*Service);
    }

    void WithoutABusNothingFails()
    {
        QDBusConnection Bus = QDBusConnection::connectToBus(
            QStringLiteral("unix:path=%1/no-such-bus").arg(QString::fromStdString(FBus->Folder())), "none");
        QVERIFY(!Bus.isConnected());
        TDBusNotifier Notifier(Bus);
        Notifier.Show({ "web", false, "refused", 1 });
        QTest::qWait(50);
    }

    // The policy's held notifications come out when their minute is over: the timer is set
    // for that moment and shows them.
    void TheTimerShowsHeldNotifications()
    {
        TRecordingNotifier Recorder;
        int64_t Now = 1000;
        TDesktopNotifications Notifications(Recorder, [&] { return Now; });
        const int Monitor = 0;
        Notifications.Verdict(&Monitor, "web", false, "a");
        QVERIFY(!Notifications.TimerActive());
        Now = 21000;
        Notifications.Verdict(&Monitor, "web", true, "");
        QCOMPARE(Recorder.Shown.size(), size_t(1));
        QVERIFY(Notifications.TimerActive());
        QCOMPARE(Notifications.TimerInterval(), 40000);
        Now = 61000;
        Notifications.Poll();
        QCOMPARE(Recorder.Shown.size(), size_t(2));
        QCOMPARE(Recorder.Shown[1], (TNotification { "web", true, "", 1 }));
        QVERIFY(!Notifications.TimerActive());
    }
};

QTEST_GUILESS_MAIN(TestDBusNotifier)
#include "TestDBusNotifier.moc"
