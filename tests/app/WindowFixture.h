// What the window tests share: a working folder of their own with a default.cfg, the error
// report and the save dialog hooked so that nothing blocks, clocks the test moves, scripted
// probes for test monitors (real ones for the others), and a notification area that records
// what the tray icon does with it. The history goes to a file in the working folder and the
// notifications to a recorder.
#pragma once

#include "app/AlarmSound.h"
#include "app/Application.h"
#include "app/Main.h"
#include "support/Parts.h"
#include "support/RecordingNotifier.h"
#include "support/TestClock.h"
#include "support/TestMonitor.h"
#include "support/Tray.h"
#include "tray/TrayShell.h"

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QSettings>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QTreeWidget>

#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

// Sounds asked for, kept instead of played.
struct TRecordingSound final : TSoundPlayer {
    void Play(TAlarmSound ASound) override { Played.push_back(ASound); }
    std::vector<TAlarmSound> Played;
};

struct TReport {
    QString Caption;
    QString Text;
};

class TWindowFixture {
public:
    // AConfig: the default.cfg to start with; nullptr for none. ATrayAvailable: whether the
    // desktop has a notification area. APrepare: runs in the working folder before the window
    // is made. AWorkers: the engine's pool.
    // The alarm's sounds are recorded in Sounds.
    explicit TWindowFixture(const char* AConfig, bool ATrayAvailable = true,
        const std::function<void(const std::string& AFolder)>& APrepare = {}, size_t AWorkers = 4)
    {
        Tray->Available = ATrayAvailable;
        FOldDir = QDir::currentPath();
        QDir::setCurrent(FDir.path());
        if (AConfig)
            WriteFile("default.cfg", AConfig);
        if (APrepare)
            APrepare(FDir.path().toStdString());
        FWorkers = AWorkers;
        Open();
    }

    // A window as the program makes one at start, with AListFile as its list.
    void Open(const std::string& AListFile = TListFile::DefaultName)
    {
        TApplication::SetErrorReportHook([this](const QString& ACaption, const QString& AText) {
            Reports.push_back({ ACaption, AText });
        });
        // The process-wide clock too, for statuses set directly (SetStatus).
        SetNowClock([this] { return Clock.WallNow(); });
        auto Shell = std::make_unique<TRecordingTrayShell>(Tray);
        TrayShell = Shell.get();
        TEngineOptions Engine;
        Engine.Workers = FWorkers;
        Engine.Clock = std::shared_ptr<const TCheckClock>(&Clock, [](const TCheckClock*) {});
        // Test monitors run their script; real monitors their real probe.
        Engine.Probe = [this](const TCheckRequest& ARequest) {
            if (ARequest.Type != "TestMonitor")
                return RunMonitorProbe(ARequest);
            const TProbeResult Result = Probes.Run(ARequest);
            std::string Took;
            FindSettingsValue(ARequest.Settings, "TookMs", Took);
            Clock.Pass(static_cast<double>(std::stoll(Took)) / MSecsPerDay);
            return Result;
        };
        Engine.History = THistorySettings { true, 30, HistoryFile(), {} };
        Engine.Notifier = Notifications;
        Engine.Sound = Sounds;
        // What the window remembers stays in the test's folder.
        Engine.Settings = std::make_shared<QSettings>(FDir.path() + "/settings.ini", QSettings::IniFormat);
        Window = std::make_unique<TfmMain>(nullptr, std::move(Shell), std::move(Engine), AListFile);
        // Ticks are driven by the tests; the timer's own path has a test of its own.
        Part<QTimer>(*Window, "tmrCheck")->stop();
        Window->SaveDialogHook = [this](std::string& AFileName) {
            ++Dialogs;
            Offered = AFileName;
            if (NextFileName.empty())
                return false;
            AFileName = NextFileName;
            return true;
        };
        Window->TrayAnimatedHook = [this](bool AAnimated) { Animations.push_back(AAnimated); };
        Window->QuestionHook = [this](const QString& AText) {
            Questions << AText;
            return NextAnswer;
        };
    }

    ~TWindowFixture()
    {
        Window.reset();
        SetNowClock({});
        TApplication::SetErrorReportHook({});
        QDir::setCurrent(FOldDir);
    }

    std::string HistoryFile() const { return Path("state/history.sqlite"); }
    std::string Path(const std::string& AName) const { return (FDir.path() + "/").toStdString() + AName; }

    void WriteFile(const std::string& AName, const std::string& AText) const
    {
        std::ofstream File(Path(AName), std::ios::binary | std::ios::trunc);
        File << AText;
    }

    std::string ReadFile(const std::string& AName) const
    {
        std::ifstream File(Path(AName), std::ios::binary);
        std::stringstream Text;
        Text << File.rdbuf();
        return Text.str();
    }

    // One tick, then the events that bring its verdicts back, until none is in flight.
    void Tick()
    {
        Fire(*Window, "tmrCheck");
        Settle();
    }
    // A test monitor named AName checked every AInterval seconds, listed and shown.
    std::shared_ptr<TTestMonitor> Add(const std::string& AName, int32_t AInterval)
    {
        auto Monitor = std::make_shared<TTestMonitor>();
        Monitor->SetInterval(AInterval);
        Monitor->Tag = AName;
        Window->Monitors().push_back({ AName, Monitor });
        Window->RefreshList();
        return Monitor;
    }
    // Runs events until no check is in flight (5 s at most).
    void Settle() { QTRY_VERIFY_WITH_TIMEOUT(Window->ChecksInFlight() == 0, 5000); }
    int ChecksOf(const std::string& ATag) const { return Probes.ChecksOf(ATag); }

    bool ShowActive()
    {
        Window->show();
        Window->activateWindow();
        return QTest::qWaitForWindowActive(Window.get());
    }

    QTreeWidget* List() const { return Part<QTreeWidget>(*Window, "ServList"); }
    QStringList Captions() const
    {
        QStringList Names;
        for (int I = 0; I < List()->topLevelItemCount(); ++I)
            Names << List()->topLevelItem(I)->text(0);
        return Names;
    }
    QRect RowRect(int ARow, int AColumn = 0) const
    {
        return List()
            ->visualItemRect(List()->topLevelItem(ARow))
            .intersected(List()->visualRect(List()->model()->index(ARow, AColumn)));
    }
    void ClickRow(int ARow, int AColumn = 0) const
    {
        QTest::mouseClick(List()->viewport(), Qt::LeftButton, {}, RowRect(ARow, AColumn).center());
    }

    QTemporaryDir FDir;
    QString FOldDir;
    TTestCheckClock Clock;
    TScriptedProbes Probes;
    std::shared_ptr<TTrayLog> Tray = std::make_shared<TTrayLog>();
    TRecordingTrayShell* TrayShell = nullptr;
    std::unique_ptr<TfmMain> Window;
    std::shared_ptr<TRecordingNotifier> Notifications = std::make_shared<TRecordingNotifier>();
    std::shared_ptr<TRecordingSound> Sounds = std::make_shared<TRecordingSound>();
    std::vector<TReport> Reports;
    std::vector<bool> Animations;
    int Dialogs = 0;
    // The name the last save dialog offered.
    std::string Offered;
    std::string NextFileName;
    // The window's questions, and the answer the next one gets.
    QStringList Questions;
    QMessageBox::StandardButton NextAnswer = QMessageBox::Cancel;
    size_t FWorkers = 4;
};

// A window made with the fixture's arguments, shown and active, as F, with W the window itself.
#define SHOWN_WINDOW(...)                                                                                    \
    TWindowFixture F(__VA_ARGS__);                                                                           \
    TfmMain& W = *F.Window;                                                                                  \
    QVERIFY(F.ShowActive())
