// What the window tests share: a working folder of their own with a default.cfg, the error
// report and the save dialog hooked so that nothing blocks, clocks the test moves, scripted
// probes for test monitors (real ones for the others), and a notification area that records
// what the tray icon does with it.
#pragma once

#include "TestMonitor.h"
#include "app/Application.h"
#include "app/Main.h"
#include "engine/TestClock.h"
#include "tray/TrayShell.h"

#include <QApplication>
#include <QDir>
#include <QImage>
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

struct TReport {
    QString Caption;
    QString Text;
};

const QRgb KTrayGreen = qRgb(0, 176, 0);
const QRgb KTrayRed = qRgb(255, 0, 0);
const QRgb KTrayDarkRed = qRgb(128, 0, 0);

// An icon's fill colour (the centre pixel); 0 for an empty icon.
inline QRgb ColourOf(const QIcon& AIcon)
{
    return AIcon.isNull() ? 0 : AIcon.pixmap(16, 16).toImage().pixel(8, 8);
}

struct TTrayCall {
    enum TKind { ckAdd, ckModify, ckRemove, ckNote };
    TKind Kind;
    QRgb Colour = 0;
    QString Tip;
    // Whether any window was on screen when the call was made.
    bool WindowShown = false;
};

// What the notification area was asked to do, kept beyond the window's life.
struct TTrayLog {
    std::vector<TTrayCall> Calls;
    bool Available = true;

    int CountOf(TTrayCall::TKind AKind) const
    {
        int Result = 0;
        for (const TTrayCall& Call : Calls)
            Result += Call.Kind == AKind;
        return Result;
    }
    // The colour last sent by an add or a modify; 0 when none was.
    QRgb Shown() const
    {
        for (auto Call = Calls.rbegin(); Call != Calls.rend(); ++Call)
            if (Call->Kind == TTrayCall::ckAdd || Call->Kind == TTrayCall::ckModify)
                return Call->Colour;
        return 0;
    }
    // The colours sent by modify calls from position AFrom on.
    std::vector<QRgb> ModifiedColours(size_t AFrom = 0) const
    {
        std::vector<QRgb> Result;
        for (size_t I = AFrom; I < Calls.size(); ++I)
            if (Calls[I].Kind == TTrayCall::ckModify)
                Result.push_back(Calls[I].Colour);
        return Result;
    }
    void Note(const QString& AText) { Calls.push_back({ TTrayCall::ckNote, 0, AText, false }); }
};

inline bool AnyWindowShown()
{
    for (QWidget* Widget : QApplication::topLevelWidgets())
        if (Widget->isVisible())
            return true;
    return false;
}

// A notification area that accepts the icon while the log says there is one, and passes
// mouse messages from the test to the tray icon.
class TRecordingTrayShell : public TTrayShell {
public:
    explicit TRecordingTrayShell(std::shared_ptr<TTrayLog> ALog)
        : FLog(std::move(ALog))
    {
    }
    bool IsAvailable() const override { return FLog->Available; }
    bool Add(const QIcon& AIcon, const QString& ATip) override
    {
        FLog->Calls.push_back({ TTrayCall::ckAdd, ColourOf(AIcon), ATip, AnyWindowShown() });
        return FLog->Available;
    }
    void Modify(const QIcon& AIcon, const QString& ATip) override
    {
        FLog->Calls.push_back({ TTrayCall::ckModify, ColourOf(AIcon), ATip, AnyWindowShown() });
    }
    void Remove() override { FLog->Calls.push_back({ TTrayCall::ckRemove, 0, QString(), AnyWindowShown() }); }
    void Send(TTrayMouseMessage AMessage) { Post(AMessage); }

private:
    std::shared_ptr<TTrayLog> FLog;
};

class TWindowFixture {
public:
    // AConfig: the default.cfg to start with; nullptr for none. ATrayAvailable: whether the
    // desktop has a notification area. APrepare: runs in the working folder before the window
    // is made. AWorkers: the engine's pool.
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
        TApplication::SetErrorReportHook([this](const QString& ACaption, const QString& AText) {
            Reports.push_back({ ACaption, AText });
        });
        // The process-wide clock too, for statuses set directly (SetStatus).
        SetNowClock([this] { return Clock.WallNow(); });
        auto Shell = std::make_unique<TRecordingTrayShell>(Tray);
        TrayShell = Shell.get();
        TEngineOptions Engine;
        Engine.Workers = AWorkers;
        Engine.Clock = std::shared_ptr<const TCheckClock>(&Clock, [](const TCheckClock*) {});
        // Test monitors run their script; real monitors their real probe.
        Engine.Probe = [this](const TCheckRequest& ARequest) {
            return ARequest.Type == "TestMonitor" ? Probes.Run(ARequest) : RunMonitorProbe(ARequest);
        };
        Window = std::make_unique<TfmMain>(nullptr, std::move(Shell), std::move(Engine));
        // Ticks are driven by the tests; the timer's own path has a test of its own.
        Window->tmrCheck->stop();
        Window->SaveDialogHook = [this](std::string& AFileName) {
            ++Dialogs;
            if (NextFileName.empty())
                return false;
            AFileName = NextFileName;
            return true;
        };
        Window->TrayAnimatedHook = [this](bool AAnimated) { Animations.push_back(AAnimated); };
    }

    ~TWindowFixture()
    {
        Window.reset();
        SetNowClock({});
        TApplication::SetErrorReportHook({});
        QDir::setCurrent(FOldDir);
    }

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
        Window->tmrCheckTimer();
        Settle();
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

    QTreeWidget* List() const { return Window->ServList; }
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
    std::vector<TReport> Reports;
    std::vector<bool> Animations;
    int Dialogs = 0;
    std::string NextFileName;
};
