// Draws the picture of the window that the README shows: a list of six monitors with a made-up
// history of 30 days (a check a minute over the last day, every ten minutes before), one of
// them selected so that its chart is shown. Nothing is checked: the timer is stopped and the
// statuses are set from the history's last checks. Runs in a temporary folder of its own
// (list file and history), on whatever platform Qt is given (scripts/screenshot uses the
// offscreen one), and writes the PNG named on its command line. Given more names, it also
// draws the same window with its list filtered to what fails, and writes the status page of
// vardex-check --serve for the same list and history as HTML (scripts/screenshot shows it in
// a browser at a phone's width).
//
//   vardex_screenshot OUTPUT.png [FILTERED.png STATUS.html]
#include "app/Application.h"
#include "app/Main.h"
#include "history/History.h"
#include "tools/Heartbeat.h"
#include "tools/StatusPage.h"

#include <QAction>
#include <QCheckBox>

#include <QTemporaryDir>
#include <QTimer>
#include <QTreeWidget>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <utility>
#include <vector>

namespace {

constexpr int64_t Minute = 60000;
constexpr int64_t Day = 1440 * Minute;

struct TScripted {
    const char* Name;
    const char* Settings;
    // Typical response time, its daily swing, and outages as [start, end) minutes ago.
    double Ms;
    double Swing;
    std::vector<std::pair<int64_t, int64_t>> Outages;
};

const std::vector<TScripted> Monitors = {
    { "gateway", "Type=PingMonitor\r\nInterval=60\r\nIP=192.0.2.1\r\nRetry=3", 1.2, 0.4, {} },
    { "dns", "Type=PingMonitor\r\nInterval=60\r\nIP=192.0.2.53\r\nRetry=3", 2.5, 1, { { 4000, 4030 } } },
    { "shop (https)", "Type=WebMonitor\r\nInterval=60\r\nURL=https://shop.example/", 180, 60,
        { { 170, 152 }, { 120, 117 }, { 40, 37 }, { 9000, 8900 } } },
    { "wiki", "Type=WebMonitor\r\nInterval=60\r\nURL=http://wiki.example/", 45, 15, {} },
    { "mail", "Type=PingMonitor\r\nInterval=60\r\nIP=192.0.2.25\r\nRetry=3", 3, 1, { { 3, 0 } } },
    { "backup", "Type=WebMonitor\r\nInterval=60\r\nURL=http://backup.example/health", 90, 30, {} },
};

struct TNoNotifier : TDesktopNotifier {
    void Show(const TNotification&) override { }
};

bool Down(const TScripted& AMonitor, int64_t AMinutesAgo)
{
    for (const auto& [From, To] : AMonitor.Outages)
        if (AMinutesAgo < From && AMinutesAgo >= To)
            return true;
    return false;
}

// The made-up history of the monitors up to ANow in the file AHistory.
void RecordHistory(const std::string& AHistory, int64_t ANow)
{
    THistoryRecorder Recorder(AHistory, [ANow] { return ANow; });
    Recorder.SetQueueLimit(1000000);
    Recorder.Start();
    const std::string Key = HistoryListKey("default.cfg");
    for (const TScripted& Monitor : Monitors) {
        for (int64_t Ago = 30 * 1440; Ago >= 1; Ago -= Ago > 1440 ? 10 : 1) {
            const int64_t At = ANow - Ago * Minute;
            const double Phase = 2 * M_PI * double(At % Day) / double(Day);
            // A daily swing, a little noise, and slower answers around each outage.
            double Ms = Monitor.Ms + Monitor.Swing * std::sin(Phase)
                + Monitor.Swing * 0.3 * std::sin(double(Ago) * 1.7);
            if (Down(Monitor, Ago - 10) || Down(Monitor, Ago + 10))
                Ms *= 3;
            const bool OK = !Down(Monitor, Ago);
            Recorder.Record({ Key, Monitor.Name, At, OK, std::llround(std::max(Ms, 0.5)),
                OK ? std::string() : std::string("Request timed out.") });
        }
    }
    Recorder.Stop();
}

// vardex-check's status page for the window's monitors, its bars from the history AHistory, as
// HTML in AFileName.
bool WriteStatusPage(TfmMain& AWindow, const std::string& AHistory, int64_t ANow, const char* AFileName)
{
    // The status page of the same list, its bars from the same history.
    THeartbeat Beats([ANow] { return ANow; });
    THistoryReader Reader(AHistory);
    std::vector<std::string> Names;
    for (const TScripted& Monitor : Monitors)
        Names.push_back(Monitor.Name);
    Beats.Load(Reader, HistoryListKey("default.cfg"), Names);
    TMetricsSnapshot Snapshot;
    Snapshot.ListName = "/etc/vardex/services.cfg";
    for (const TMonitorEntry& Entry : AWindow.Monitors()) {
        TMonitorSample Sample;
        Sample.Name = Entry.Name;
        Sample.Kind = Entry.Monitor->TypeKey();
        Sample.Target = Entry.Monitor->Target(tfMasked);
        Sample.Up = Entry.Monitor->Status() == msOK;
        Sample.Reason = Entry.Monitor->LastError();
        Sample.StatusSince = double(ANow) / 1000 - (Sample.Up ? 86400 * 3 : 240);
        Sample.Uptime24h = Reader.Counts(HistoryListKey("default.cfg"), Entry.Name, ANow - Day).Uptime();
        Sample.Heartbeat = Beats.Cells(Entry.Name);
        if (Sample.Heartbeat && !Sample.Heartbeat->empty())
            Sample.DurationSeconds = double(std::max<int64_t>(Sample.Heartbeat->back().MedianMs, 0)) / 1000;
        Snapshot.Monitors.push_back(std::move(Sample));
    }
    Snapshot.Listed = Snapshot.Monitors.size();
    std::ofstream Page(AFileName, std::ios::binary);
    Page << StatusPage(Snapshot, double(ANow) / 1000);
    return bool(Page);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2 && argc != 4) {
        std::fprintf(stderr, "usage: vardex_screenshot OUTPUT.png [FILTERED.png STATUS.html]\n");
        return 2;
    }
    const QString Output = QString::fromLocal8Bit(argv[1]);
    QTemporaryDir Folder;
    if (!Folder.isValid() || !QDir::setCurrent(Folder.path()))
        return 1;
    const std::string History = Folder.filePath(QStringLiteral("history.sqlite")).toStdString();

    {
        std::ofstream List("default.cfg", std::ios::binary);
        for (const TScripted& Monitor : Monitors)
            List << "Name=" << Monitor.Name << "\r\n" << Monitor.Settings << "\r\n\r\n\r\n";
    }
    const int64_t Now = HistoryNowMs();
    RecordHistory(History, Now);

    TApplication Application(argc, argv);
    TEngineOptions Options;
    Options.History = THistorySettings { true, 30, History, {} };
    Options.Notifier = std::make_shared<TNoNotifier>();
    TfmMain Window(nullptr, {}, std::move(Options));
    Window.findChild<QTimer*>(QStringLiteral("tmrCheck"))->stop();
    for (size_t I = 0; I < Monitors.size(); ++I) {
        const bool OK = !Down(Monitors[I], 0) && !Down(Monitors[I], 1);
        const TDateTime LastOK = UnixToLocalDateTime(double(Now - (OK ? 1 : 4) * Minute) / 1000);
        Window.Monitors()[I].Monitor->ApplyResult(
            { OK ? msOK : msError, OK ? std::string() : std::string("Request timed out.") }, LastOK);
    }
    Window.show();
    Window.RefreshList();
    auto* List = Window.findChild<QTreeWidget*>(QStringLiteral("ServList"));
    List->setCurrentItem(List->topLevelItem(2));
    QCoreApplication::processEvents();
    if (!Window.grab().save(Output)) {
        std::fprintf(stderr, "cannot write %s\n", argv[1]);
        return 1;
    }
    if (argc == 2)
        return 0;

    // Ctrl+F and "only failing".
    Window.findChild<QAction*>(QStringLiteral("acFilter"))->trigger();
    Window.findChild<QCheckBox*>(QStringLiteral("OnlyFailing"))->setChecked(true);
    for (int I = 0; I < List->topLevelItemCount(); ++I)
        if (!List->topLevelItem(I)->isHidden()) {
            List->setCurrentItem(List->topLevelItem(I));
            break;
        }
    QCoreApplication::processEvents();
    if (!Window.grab().save(QString::fromLocal8Bit(argv[2]))) {
        std::fprintf(stderr, "cannot write %s\n", argv[2]);
        return 1;
    }

    return WriteStatusPage(Window, History, Now, argv[3]) ? 0 : 1;
}
