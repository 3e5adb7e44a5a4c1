#include "app/Application.h"
#include "support/Net.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <poll.h>
#include <stdexcept>
#include <vector>

namespace {

// An object whose event handler fails.
class TFailingObject : public QObject {
public:
    bool event(QEvent* AEvent) override
    {
        if (AEvent->type() == QEvent::User)
            throw std::runtime_error("Handler failed");
        return QObject::event(AEvent);
    }
};

} // namespace

class TTestApplication : public QObject {
    Q_OBJECT

private slots:
    void cleanup() { TApplication::SetErrorReportHook({}); }

    // The program's name, not the executable's file name (this test program's is "TestApplication").
    void TitleOfThisProgram() { QCOMPARE(TApplication::Title(), QStringLiteral("Vardex")); }

    void FullStopRule_data()
    {
        QTest::addColumn<QString>("Message");
        QTest::addColumn<QString>("Shown");
        QTest::newRow("letter") << "Disk full"
                                << "Disk full.";
        QTest::newRow("digit") << "I/O error 21"
                               << "I/O error 21.";
        QTest::newRow("slash sorts after the dot") << "a/"
                                                   << "a/.";
        QTest::newRow("full stop") << "Done."
                                   << "Done.";
        QTest::newRow("comma sorts before") << "a,"
                                            << "a,";
        QTest::newRow("blank") << "a "
                               << "a ";
        QTest::newRow("closing bracket") << "(x)"
                                         << "(x)";
        QTest::newRow("question mark sorts after") << "Why?"
                                                   << "Why?.";
        QTest::newRow("Cyrillic") << "Ошибка"
                                  << "Ошибка.";
        QTest::newRow("empty") << ""
                               << "";
    }
    void FullStopRule()
    {
        QFETCH(QString, Message);
        QFETCH(QString, Shown);
        QCOMPARE(ErrorReportText(Message.toStdString()), Shown);
    }

    void EscapingExceptionsReachTheReport()
    {
        QStringList Seen;
        QString Caption;
        TApplication::SetErrorReportHook([&](const QString& ACaption, const QString& AText) {
            Caption = ACaption;
            Seen << AText;
        });
        TFailingObject Object;
        QCoreApplication::postEvent(&Object, new QEvent(QEvent::User));
        QCoreApplication::sendPostedEvents(&Object, QEvent::User);
        QCOMPARE(Seen, QStringList { QStringLiteral("Handler failed.") });
        QCOMPARE(Caption, QStringLiteral("Vardex"));

        Guarded([] { throw std::runtime_error("Guarded"); });
        QCOMPARE(Seen.size(), 2);
        QCOMPARE(Seen.last(), QStringLiteral("Guarded."));
    }

    void AReportOnScreenIsNotOpenedTwice()
    {
        QStringList Seen;
        TApplication::SetErrorReportHook([&](const QString&, const QString& AText) {
            Seen << AText;
            // While this one shows, the same error comes again and a different one comes.
            if (Seen.size() == 1) {
                TApplication::ShowErrorReport("Same");
                TApplication::ShowErrorReport("Other");
            }
        });
        TApplication::ShowErrorReport("Same");
        QCOMPARE(Seen, (QStringList { "Same.", "Other." }));
        // Closed, it may come again.
        TApplication::ShowErrorReport("Same");
        QCOMPARE(Seen.size(), 3);
    }

    // The program itself, started from the build: a broken pipe must not end it.
    void TheProgramOutlivesABrokenPipe()
    {
        const QString Program = qEnvironmentVariable("VARDEX_BINARY_DIR") + QStringLiteral("/app/vardex");
        if (!QFile::exists(Program))
            QSKIP("the program is not built");
        QTemporaryDir Dir;
        QProcess Vardex;
        Vardex.setWorkingDirectory(Dir.path());
        Vardex.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        Vardex.start(Program, {});
        QVERIFY(Vardex.waitForStarted(5000));
        struct TEnd {
            QProcess& Process;
            ~TEnd()
            {
                Process.kill();
                Process.waitForFinished(5000);
            }
        } End { Vardex };
        // Sent once the program has set up its signals, before or after its window is up.
        const QString Status = QStringLiteral("/proc/%1/status").arg(Vardex.processId());
        const auto PipeIgnored = [&] {
            QFile File(Status);
            if (!File.open(QIODevice::ReadOnly))
                return false;
            for (const QByteArray& Line : File.readAll().split('\n'))
                if (Line.startsWith("SigIgn:"))
                    return (Line.mid(7).trimmed().toULongLong(nullptr, 16) >> (SIGPIPE - 1) & 1) != 0;
            return false;
        };
        QTRY_VERIFY_WITH_TIMEOUT(PipeIgnored(), 10000);
        kill(static_cast<pid_t>(Vardex.processId()), SIGPIPE);
        QVERIFY(!Vardex.waitForFinished(300));
        QCOMPARE(Vardex.state(), QProcess::Running);
        Vardex.terminate();
        QVERIFY(Vardex.waitForFinished(5000));
    }

    // SIGTERM while checks wait on a server that never answers: the checks are cancelled and
    // the program ends cleanly at once, not after the checks' 10 s time-out.
    void SigtermWhileChecksWaitEndsAtOnce()
    {
        const QString Program = qEnvironmentVariable("VARDEX_BINARY_DIR") + QStringLiteral("/app/vardex");
        if (!QFile::exists(Program))
            QSKIP("the program is not built");
        nettest::TFd Silent = nettest::Listener();
        const int Port = nettest::LocalPort(Silent.Get());
        QTemporaryDir Dir;
        QFile List(Dir.filePath(QStringLiteral("default.cfg")));
        QVERIFY(List.open(QIODevice::WriteOnly));
        for (int I = 0; I < 3; ++I)
            List.write(QStringLiteral(
                "Name=silent %1\r\nType=WebMonitor\r\nInterval=1\r\nURL=http://127.0.0.1:%2/\r\n\r\n")
                           .arg(I)
                           .arg(Port)
                           .toUtf8());
        List.close();
        QProcess Vardex;
        Vardex.setWorkingDirectory(Dir.path());
        Vardex.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        Vardex.start(Program, { QStringLiteral("--jobs"), QStringLiteral("2") });
        QVERIFY(Vardex.waitForStarted(5000));
        // Both jobs connect (the listener's queue takes them) and wait for an answer.
        std::vector<nettest::TFd> Taken;
        for (int Round = 0; Round < 100 && Taken.size() < 2; ++Round) {
            pollfd Wait { Silent.Get(), POLLIN, 0 };
            if (poll(&Wait, 1, 100) == 1)
                Taken.emplace_back(accept4(Silent.Get(), nullptr, nullptr, SOCK_CLOEXEC));
        }
        QCOMPARE(Taken.size(), size_t(2));
        QTest::qWait(200);
        QElapsedTimer Took;
        Took.start();
        Vardex.terminate();
        QVERIFY(Vardex.waitForFinished(5000));
        QVERIFY2(Took.elapsed() < 1000, qPrintable(QString::number(Took.elapsed())));
        QCOMPARE(Vardex.exitStatus(), QProcess::NormalExit);
        QCOMPARE(Vardex.exitCode(), 0);
    }

    // Help, version and refusals come before the application object: they need no display,
    // and a wrong option opens no window.
    void TheCommandLineWithoutADisplay()
    {
        const QString Program = qEnvironmentVariable("VARDEX_BINARY_DIR") + QStringLiteral("/app/vardex");
        if (!QFile::exists(Program))
            QSKIP("the program is not built");
        struct TCase {
            QStringList Arguments;
            int Exit;
            QByteArray Out;
            QByteArray Error;
        };
        const TCase Cases[] = {
            { { "--help" }, 0, "Usage: vardex [OPTION]... [FILE]\n", "" },
            { { "-h", "list.cfg" }, 0, "Usage: vardex [OPTION]... [FILE]\n", "" },
            { { "--version" }, 0, "vardex ", "" },
            { { "--bogus" }, 2, "", "vardex: unknown option --bogus; try vardex --help\n" },
            { { "a.cfg", "b.cfg" }, 2, "", "vardex: only one list file can be given\n" },
            { { "--jobs", "0" }, 2, "", "vardex: --jobs needs a number from 1 to 1024\n" },
            { { "--jobs" }, 2, "", "vardex: --jobs needs a number from 1 to 1024\n" },
        };
        QProcessEnvironment Environment = QProcessEnvironment::systemEnvironment();
        for (const char* Name : { "QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY" })
            Environment.remove(QString::fromLatin1(Name));
        for (const TCase& Case : Cases) {
            QProcess Vardex;
            Vardex.setProcessEnvironment(Environment);
            Vardex.start(Program, Case.Arguments);
            QVERIFY(Vardex.waitForFinished(5000));
            QCOMPARE(Vardex.exitStatus(), QProcess::NormalExit);
            QCOMPARE(Vardex.exitCode(), Case.Exit);
            QVERIFY2(
                Vardex.readAllStandardOutput().startsWith(Case.Out), qPrintable(Case.Arguments.join(' ')));
            QCOMPARE(Vardex.readAllStandardError(), Case.Error);
        }
    }
};

int main(int argc, char** argv)
{
    TApplication Application(argc, argv);
    TTestApplication Test;
    return QTest::qExec(&Test, argc, argv);
}

#include "TestApplication.moc"
