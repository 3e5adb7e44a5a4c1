// The main window on a Wayland desktop: sway on its headless backend with the software
// renderer, a private session bus with the StatusNotifierWatcher of StatusNotifierWatcher.cpp,
// and this test program as the Wayland client on Qt's wayland platform. What the user would
// see is read from outside: the windows sway maps (swaymsg -t get_tree) and a screenshot
// (grim). Sway refuses to run as root, so as root it runs as nobody in a runtime folder of
// that user's; the client reaches its socket by full path, which root may open.
// Skipped where sway, grim, Qt's wayland platform or dbus-daemon are not installed, or where
// a root test finds no user nobody.
#include "app/Application.h"
#include "app/Main.h"
#include "support/Parts.h"
#include "support/RecordingNotifier.h"
#include "support/TempFolder.h"
#include "tray/TrayShell.h"

#include "support/DBusSession.h"
#include "support/Net.h"
#include "support/SniWatcher.h"
#include "support/X11Desktop.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLibraryInfo>
#include <QProcess>
#include <QTreeWidget>
#include <QtTest>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/prctl.h>

namespace {

using X11Desktop::Stop;
using X11Desktop::TWorkingFolder;

// sway as the compositor of one test program, ended (with the folder) when the object goes.
class TSwayDesktop {
public:
    ~TSwayDesktop() { Stop(FSway); }

    // Starts sway and points Qt at it; false with SkipReason when it cannot run here, false
    // with Failure when it should have and did not.
    bool Start()
    {
        for (const char* Tool : { "sway", "swaymsg", "grim" }) {
            if (QStandardPaths::findExecutable(QLatin1String(Tool)).isEmpty()) {
                SkipReason = QStringLiteral("%1 is not installed").arg(QLatin1String(Tool));
                return false;
            }
        }
        if (!QFile::exists(
                QLibraryInfo::path(QLibraryInfo::PluginsPath) + "/platforms/libqwayland-generic.so")) {
            SkipReason = QStringLiteral("Qt's wayland platform (qt6-wayland) is not installed");
            return false;
        }
        uid_t User = getuid();
        gid_t Group = getgid();
        if (User == 0) {
            const passwd* Nobody = getpwnam("nobody");
            if (!Nobody) {
                SkipReason = QStringLiteral("no user nobody to run sway as");
                return false;
            }
            User = Nobody->pw_uid;
            Group = Nobody->pw_gid;
        }
        // The runtime folder is the user's own, mode 0700, as sway and its clients expect.
        const std::string Runtime = FRuntime.Path();
        if (Runtime.empty() || chown(Runtime.c_str(), User, Group) != 0) {
            Failure = "cannot make sway's runtime folder";
            return false;
        }
        FRuntime.Write("sway.conf", "output HEADLESS-1 resolution 800x600\nxwayland disable\n");
        FSway = SpawnAs(
            User, Group, QStandardPaths::findExecutable(QStringLiteral("sway")).toStdString(), Runtime);
        // Its sockets appear once it runs: wayland-N for clients, sway-ipc.*.sock for swaymsg.
        std::string Display, Ipc;
        for (int Wait = 0; Wait < 100 && (Display.empty() || Ipc.empty()); ++Wait) {
            QThread::msleep(50);
            Display = FindIn(Runtime, "wayland-", "");
            Ipc = FindIn(Runtime, "sway-ipc.", ".sock");
        }
        if (Display.empty() || Ipc.empty()) {
            Failure = "sway did not start: " + testsupport::ReadWholeFile(FRuntime.Path("sway.log"));
            return false;
        }
        setenv("WAYLAND_DISPLAY", (Runtime + "/" + Display).c_str(), 1);
        setenv("SWAYSOCK", (Runtime + "/" + Ipc).c_str(), 1);
        setenv("QT_QPA_PLATFORM", "wayland", 1);
        // sway draws the title bars itself; asking whether Qt could draw them would load the
        // GPU's EGL driver, which this software-rendered desktop never uses.
        setenv("QT_WAYLAND_DISABLE_WINDOWDECORATION", "1", 1);
        unsetenv("DISPLAY");
        return true;
    }

    // The windows of process APid that sway shows: its views in the tree that are visible.
    static int ShownWindows(qint64 APid)
    {
        QProcess Msg;
        Msg.start(QStringLiteral("swaymsg"),
            { QStringLiteral("-r"), QStringLiteral("-t"), QStringLiteral("get_tree") });
        if (!Msg.waitForFinished(5000))
            return -1;
        return CountShown(QJsonDocument::fromJson(Msg.readAllStandardOutput()).object(), APid);
    }

    // What the output shows now; a null image when grim fails.
    static QImage Screenshot()
    {
        QProcess Grim;
        Grim.start(QStringLiteral("grim"), { QStringLiteral("-") });
        if (!Grim.waitForFinished(5000))
            return {};
        return QImage::fromData(Grim.readAllStandardOutput(), "PNG");
    }

    QString SkipReason;
    std::string Failure;

private:
    // sway with its own environment, as AUser, dying with this process. The parent-death
    // signal is set after the change of user, which clears it.
    static pid_t SpawnAs(uid_t AUser, gid_t AGroup, const std::string& ASway, const std::string& ARuntime)
    {
        const std::string Config = ARuntime + "/sway.conf";
        const char* Argv[] = { ASway.c_str(), "-c", Config.c_str(), nullptr };
        const std::string Env[] = { "XDG_RUNTIME_DIR=" + ARuntime, "WLR_BACKENDS=headless",
            "WLR_RENDERER=pixman", "WLR_LIBINPUT_NO_DEVICES=1", "HOME=" + ARuntime, "PATH=/usr/bin:/bin" };
        const char* Envp[] = { Env[0].c_str(), Env[1].c_str(), Env[2].c_str(), Env[3].c_str(), Env[4].c_str(),
            Env[5].c_str(), nullptr };
        const int Log = open((ARuntime + "/sway.log").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        const bool Root = getuid() == 0;
        const pid_t Parent = getpid();
        const pid_t Pid = fork();
        if (Pid != 0) {
            close(Log);
            return Pid;
        }
        if (Root && (setgroups(0, nullptr) != 0 || setgid(AGroup) != 0 || setuid(AUser) != 0))
            _exit(126);
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != Parent)
            _exit(1);
        dup2(Log, 1);
        dup2(Log, 2);
        execve(Argv[0], const_cast<char* const*>(Argv), const_cast<char* const*>(Envp));
        _exit(127);
    }

    // The name in AFolder that begins with APrefix and ends with ASuffix; empty when none.
    static std::string FindIn(
        const std::string& AFolder, const std::string& APrefix, const std::string& ASuffix)
    {
        std::string Found;
        if (DIR* Dir = opendir(AFolder.c_str())) {
            while (const dirent* Entry = readdir(Dir)) {
                const std::string Name = Entry->d_name;
                if (Name.rfind(APrefix, 0) == 0 && Name.size() >= ASuffix.size()
                    && Name.compare(Name.size() - ASuffix.size(), ASuffix.size(), ASuffix) == 0
                    && Name.find(".lock") == std::string::npos)
                    Found = Name;
            }
            closedir(Dir);
        }
        return Found;
    }

    static int CountShown(const QJsonObject& ANode, qint64 APid)
    {
        int Count = ANode.value(QStringLiteral("pid")).toInteger(-1) == APid
            && ANode.value(QStringLiteral("visible")).toBool();
        for (const char* Children : { "nodes", "floating_nodes" }) {
            for (const QJsonValue Child : ANode.value(QLatin1String(Children)).toArray())
                Count += CountShown(Child.toObject(), APid);
        }
        return Count;
    }

    testsupport::TTempFolder FRuntime { "vardex-sway" };
    pid_t FSway = -1;
};

TSwayDesktop GDesktop;
std::unique_ptr<TPrivateSessionBus> GBus;
pid_t GWatcher = -1;

// The share of AShot's pixels that differ from ABackground.
double CoveredShare(const QImage& AShot, QRgb ABackground)
{
    if (AShot.isNull())
        return 0;
    qint64 Other = 0;
    for (int Y = 0; Y < AShot.height(); ++Y) {
        for (int X = 0; X < AShot.width(); ++X)
            Other += AShot.pixel(X, Y) != ABackground;
    }
    return double(Other) / (double(AShot.width()) * AShot.height());
}

} // namespace

class TestMainWayland : public QObject {
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (!GDesktop.SkipReason.isEmpty())
            QSKIP(qPrintable(GDesktop.SkipReason));
        QVERIFY2(GDesktop.Failure.empty(), GDesktop.Failure.c_str());
        if (!GBus || GBus->Address().empty())
            QSKIP("dbus-daemon is not installed or did not start");
        bool Registered = false;
        GWatcher = SniWatcher::Start(VARDEX_SNI_WATCHER_PATH, Registered);
        QVERIFY(Registered);
        TApplication::SetErrorReportHook(
            [](const QString&, const QString& AText) { QFAIL(qPrintable("Error report: " + AText)); });
    }
    void cleanupTestCase() { TApplication::SetErrorReportHook({}); }

    void TheAlarmBringsBackTheWindowHiddenToTheTray()
    {
        QCOMPARE(QGuiApplication::platformName(), QStringLiteral("wayland"));
        const TWorkingFolder Folder;
        nettest::TFd Service = nettest::Listener();
        QFile List(QStringLiteral("default.cfg"));
        QVERIFY(List.open(QIODevice::WriteOnly));
        List.write(
            QStringLiteral("Name=Service\nType=TcpMonitor\nInterval=1\nHost=127.0.0.1\nPort=%1\nTimeout=1\n")
                .arg(nettest::LocalPort(Service.Get()))
                .toUtf8());
        List.close();
        const QImage Empty = TSwayDesktop::Screenshot();
        QVERIFY(!Empty.isNull());
        const QRgb Background = Empty.pixel(0, 0);
        QCOMPARE(CoveredShare(Empty, Background), 0.0);

        TEngineOptions Engine;
        Engine.Notifier = std::make_shared<TRecordingNotifier>();
        TfmMain W(nullptr, {}, std::move(Engine));
        const qint64 Self = QCoreApplication::applicationPid();
        W.show();
        QTRY_COMPARE_WITH_TIMEOUT(TSwayDesktop::ShownWindows(Self), 1, 5000);
        QTRY_VERIFY_WITH_TIMEOUT(SniWatcher::RegisteredItems().size() == 1, 5000);
        QTRY_VERIFY_WITH_TIMEOUT(Part<TTrayIcon>(W, "TrayIcon")->InTray(), 5000);
        const QTreeWidget* Rows = Part<QTreeWidget>(W, "ServList");
        QTRY_COMPARE_WITH_TIMEOUT(Rows->topLevelItem(0)->text(2), QStringLiteral("OK"), 5000);
        // sway tiles the only window over the whole output.
        QTRY_VERIFY_WITH_TIMEOUT(CoveredShare(TSwayDesktop::Screenshot(), Background) > 0.9, 5000);

        // Minimised, the window goes to the tray: sway no longer shows it. Sway cannot minimise
        // a window, and no Wayland compositor tells a client it did: the window's own minimise,
        // which Qt's title bar button makes where the client draws it, is the way here.
        W.showMinimized();
        QTRY_VERIFY_WITH_TIMEOUT(!W.isVisible(), 5000);
        QTRY_COMPARE_WITH_TIMEOUT(TSwayDesktop::ShownWindows(Self), 0, 5000);

        // The service goes away: the alarm begins and the window is mapped again.
        Service.Reset();
        QTRY_COMPARE_WITH_TIMEOUT(TSwayDesktop::ShownWindows(Self), 1, 8000);
        QCOMPARE(Rows->topLevelItem(0)->text(2), QStringLiteral("ERROR"));
        QVERIFY(!W.isMinimized());
    }
};

int main(int argc, char** argv)
{
    int Result;
    {
        if (GDesktop.Start()) {
            GBus = std::make_unique<TPrivateSessionBus>();
            setenv("DBUS_SESSION_BUS_ADDRESS", GBus->Address().c_str(), 1);
        } else {
            setenv("QT_QPA_PLATFORM", "offscreen", 1);
        }
        TApplication App(argc, argv);
        TestMainWayland Test;
        Result = QTest::qExec(&Test, argc, argv);
    }
    Stop(GWatcher);
    GBus.reset();
    return Result;
}

#include "TestMainWayland.moc"
