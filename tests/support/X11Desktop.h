// A real desktop for tests: a virtual X server with a tray host, Qt's xcb platform, colours
// read back from the screen and mouse clicks made by the X test extension. Tests that use it
// skip themselves where Xvfb, trayer or xdotool are not installed.
#pragma once

#include "support/Tray.h"

#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QProcess>
#include <QRect>
#include <QScreen>
#include <QStandardPaths>
#include <QString>
#include <QStringList>
#include <QSystemTrayIcon>
#include <QTemporaryDir>
#include <QtTest>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace X11Desktop {

// A helper program that dies with this test process even when the test crashes.
inline pid_t Spawn(const std::vector<std::string>& AArgs, int AOutFd = -1)
{
    const pid_t Parent = getpid();
    const pid_t Pid = fork();
    if (Pid != 0)
        return Pid;
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (getppid() != Parent)
        _exit(1);
    if (AOutFd >= 0 && AOutFd != 3) {
        dup2(AOutFd, 3);
        close(AOutFd);
    }
    std::vector<char*> Argv;
    for (const std::string& Arg : AArgs)
        Argv.push_back(const_cast<char*>(Arg.c_str()));
    Argv.push_back(nullptr);
    execvp(Argv[0], Argv.data());
    _exit(127);
}

// Spawns AArgs with descriptor 3 on a pipe and returns the first line the program writes
// there (empty when none comes within 10 s): how Xvfb and dbus-daemon say where they are.
inline std::string SpawnAndReadLine(const std::vector<std::string>& AArgs, pid_t& APid)
{
    int Pipe[2];
    if (pipe(Pipe) != 0)
        return {};
    APid = Spawn(AArgs, Pipe[1]);
    close(Pipe[1]);
    std::string Line;
    pollfd Wait { Pipe[0], POLLIN, 0 };
    char Ch;
    while (poll(&Wait, 1, 10000) > 0 && read(Pipe[0], &Ch, 1) == 1 && Ch != '\n')
        Line += Ch;
    close(Pipe[0]);
    return Line;
}

inline void Stop(pid_t& APid)
{
    if (APid <= 0)
        return;
    kill(APid, SIGTERM);
    waitpid(APid, nullptr, 0);
    APid = -1;
}

// Xvfb on a free display (it reports the number itself) with a tray host at the top right,
// clear of a centred window. Stopped when the object goes.
class TVirtualDesktop {
public:
    ~TVirtualDesktop()
    {
        Stop(FTrayer);
        Stop(FXvfb);
    }

    // Starts the desktop and points Qt at it; false (with SkipReason) when it cannot run.
    bool Start(const char* AScreen)
    {
        for (const char* Tool : { "Xvfb", "trayer", "xdotool" }) {
            if (QStandardPaths::findExecutable(QString::fromLatin1(Tool)).isEmpty()) {
                SkipReason = QStringLiteral("%1 is not installed").arg(QLatin1String(Tool));
                return false;
            }
        }
        const std::string Display = SpawnAndReadLine(
            { "Xvfb", "-displayfd", "3", "-screen", "0", AScreen, "-nolisten", "tcp" }, FXvfb);
        if (Display.empty()) {
            SkipReason = QStringLiteral("Xvfb did not start");
            Stop(FXvfb);
            return false;
        }
        setenv("DISPLAY", (":" + Display).c_str(), 1);
        setenv("QT_QPA_PLATFORM", "xcb", 1);
        FTrayer = Spawn({ "trayer", "--edge", "top", "--align", "right", "--widthtype", "request", "--height",
            "24", "--SetDockType", "true", "--transparent", "false", "--tint", "0xcccccc" });
        return true;
    }

    QString SkipReason;

private:
    pid_t FXvfb = -1;
    pid_t FTrayer = -1;
};

// A temporary folder as the working folder while it lives, so a window's default list
// file lands there.
class TWorkingFolder {
public:
    TWorkingFolder() { QDir::setCurrent(FDir.path()); }
    ~TWorkingFolder() { QDir::setCurrent(FOld); }
    TWorkingFolder(const TWorkingFolder&) = delete;
    TWorkingFolder& operator=(const TWorkingFolder&) = delete;

private:
    QString FOld = QDir::currentPath();
    QTemporaryDir FDir;
};

// The colour at the centre of AArea on the screen (0 for an empty area).
inline QRgb ScreenColour(const QRect& AArea)
{
    if (AArea.isEmpty())
        return 0;
    const QImage Shot = QGuiApplication::primaryScreen()
                            ->grabWindow(0, AArea.x(), AArea.y(), AArea.width(), AArea.height())
                            .toImage();
    return Shot.pixel(Shot.width() / 2, Shot.height() / 2) | 0xFF000000u;
}

// Runs xdotool; false when it fails or hangs. AOutput receives what it printed.
inline bool XdoTool(const QStringList& AArgs, QString* AOutput = nullptr)
{
    QProcess Tool;
    Tool.start(QStringLiteral("xdotool"), AArgs);
    if (!Tool.waitForFinished(5000))
        return false;
    if (AOutput)
        *AOutput = QString::fromLatin1(Tool.readAllStandardOutput());
    return Tool.exitStatus() == QProcess::NormalExit && Tool.exitCode() == 0;
}

// libxkbcommon-x11 hands strndup a buffer without a terminator, bounded by its length;
// ASan's strict string checking reports that harmless read when Qt's xcb platform starts.
// The flag can only be set at start, so the program starts itself once more without it.
inline void WithoutStrictStringChecks(char** argv)
{
    const char* Options = getenv("ASAN_OPTIONS");
    if (!Options || !strstr(Options, "strict_string_checks=1") || getenv("VARDEX_X11_TEST_REEXEC"))
        return;
    setenv("ASAN_OPTIONS", (std::string(Options) + ":strict_string_checks=0").c_str(), 1);
    setenv("VARDEX_X11_TEST_REEXEC", "1", 1);
    execv("/proc/self/exe", argv);
}

// Skips the test without a desktop, and fails it when the tray host does not come up.
#define VARDEX_REQUIRE_TRAY(ADesktop)                                                                        \
    do {                                                                                                     \
        if (!(ADesktop).SkipReason.isEmpty())                                                                \
            QSKIP(qPrintable((ADesktop).SkipReason));                                                        \
        QTRY_VERIFY_WITH_TIMEOUT(QSystemTrayIcon::isSystemTrayAvailable(), 10000);                           \
    } while (false)

// Runs the Qt Test class TTest under the application class TApp on a virtual desktop, or
// offscreen where none can start (the tests then skip themselves with ADesktop.SkipReason).
template <class TApp, class TTest>
int RunOnDesktop(TVirtualDesktop& ADesktop, const char* AScreen, int argc, char** argv)
{
    WithoutStrictStringChecks(argv);
    if (!ADesktop.Start(AScreen))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    TApp App(argc, argv);
    TTest Test;
    return QTest::qExec(&Test, argc, argv);
}

} // namespace X11Desktop
