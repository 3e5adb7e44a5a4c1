// The window's side of the checks: the timer and the double-click start them through the
// schedule, which decides what is due and starts it on the engine; the verdicts come back
// through Post and are applied here, on the window's thread, where the alarm is worked out.
#include "app/Main.h"

#include "app/Application.h"
#include "app/MainForm.h"
#include "app/MonitorHistory.h"

#include <QElapsedTimer>

bool TfmMain::IsChecking(const TServiceMonitor* AMonitor) const
{
    return FSchedule->IsChecking(AMonitor);
}

void TfmMain::tmrCheckTimer()
{
    UpdateAlarm(FSchedule->Tick(FMonitors));
}

void TfmMain::ServListDblClick()
{
    // A monitor whose check runs is left alone; with every worker busy the click is lost.
    if (QTreeWidgetItem* Row = FForm->ServList->SelectedRow())
        FSchedule->RunCheck(FForm->ServList->MonitorOfRow(Row));
}

// A failure the operator acknowledged no longer counts for the alarm.

void TfmMain::acMonitorAcknowledgeExecute()
{
    const std::shared_ptr<TServiceMonitor> Monitor = FForm->ServList->SelectedMonitor();
    if (!Monitor)
        return;
    if (Monitor->Acknowledged() != 0) {
        Monitor->SetAcknowledged(0);
    } else if (FSchedule->Failing(*Monitor)) {
        Monitor->SetAcknowledged(FClock->WallNow());
        FHistory->Acknowledge(Monitor.get());
    }
    FSchedule->Reassess(*Monitor);
    UpdateMonitorView(Monitor.get());
    UpdateAcknowledgeAction();
    UpdateAlarm(FSchedule->Alarm());
}

void TfmMain::UpdateAcknowledgeAction()
{
    const std::shared_ptr<TServiceMonitor> Monitor = FForm->ServList->SelectedMonitor();
    const bool Acknowledged = Monitor && Monitor->Acknowledged() != 0;
    FForm->acMonitorAcknowledge->setEnabled(Monitor && (Acknowledged || FSchedule->Failing(*Monitor)));
    FForm->acMonitorAcknowledge->setChecked(Acknowledged);
}

void TfmMain::Post(TCheckVerdict AVerdict)
{
    // Runs on a worker. The verdict crosses under FPostedLock, a lock the thread sanitizer
    // sees, not inside a queued functor handed over by Qt's own locks, which it cannot see;
    // and one queued call serves every verdict that arrives before it runs. The call is
    // dropped with this object; the destructor joins the workers before the object goes, so
    // none can post to a window that has gone.
    bool First = false;
    {
        const std::lock_guard Lock(FPostedLock);
        First = FPosted.empty();
        FPosted.push_back(std::move(AVerdict));
    }
    if (First)
        QMetaObject::invokeMethod(this, "ApplyPosted", Qt::QueuedConnection);
}

void TfmMain::ApplyPosted()
{
    std::vector<TCheckVerdict> Batch;
    {
        const std::lock_guard Lock(FPostedLock);
        Batch.swap(FPosted);
    }
    // Monitors started together end together, hundreds at a time: a slice of the batch at a
    // time, and the rest after the events that came meanwhile (paints, timers, input).
    QElapsedTimer Spent;
    Spent.start();
    size_t Applied = 0;
    while (Applied < Batch.size() && (Applied == 0 || Spent.elapsed() < ApplySliceMs)) {
        Guarded([&] { ApplyVerdict(Batch[Applied]); });
        ++Applied;
    }
    if (Applied < Batch.size()) {
        {
            const std::lock_guard Lock(FPostedLock);
            FPosted.insert(FPosted.begin(), std::make_move_iterator(Batch.begin() + ptrdiff_t(Applied)),
                std::make_move_iterator(Batch.end()));
        }
        QMetaObject::invokeMethod(this, "ApplyPosted", Qt::QueuedConnection);
    }
    // Workers are free again: monitors that a full engine left due start now.
    Guarded([this] { FSchedule->Resume(FMonitors); });
}

void TfmMain::ApplyVerdict(const TCheckVerdict& AVerdict)
{
    // The rows are repainted once the history has the check's time too, which they show.
    FHoldRows = true;
    const std::shared_ptr<TServiceMonitor> Monitor = FSchedule->Apply(AVerdict);
    FHoldRows = false;
    if (Monitor) {
        const QTreeWidgetItem* Row = FForm->ServList->RowOf(Monitor.get());
        const std::string Name = Row ? Row->text(0).toStdString() : std::string();
        FHistory->Finished(
            Monitor.get(), Name, Monitor->Status(), AVerdict.Reason, AVerdict.Start, AVerdict.DurationMs);
        UpdateMonitorView(Monitor.get());
        if (Row && Row->isSelected())
            UpdateAcknowledgeAction();
    } else if (const auto Restored = AVerdict.Shortage ? AVerdict.Monitor.lock() : nullptr) {
        UpdateMonitorView(Restored.get());
    }
    UpdateAlarm(FSchedule->Alarm());
}

void TfmMain::UpdateAlarm(bool AAlarm)
{
    if (AAlarm == FAlarm)
        return;
    FAlarm = AAlarm;
    SetTrayAnimated(AAlarm);
    if (AAlarm)
        ShowAndRestore();
}
