// The window's side of the checks: the timer and the double-click start them on the
// monitoring core, which decides what is due and runs it on its engine; the verdicts are
// applied here, on the window's thread, and the core tells the window and the history.
#include "app/Main.h"

#include "app/Application.h"
#include "app/MainForm.h"
#include "app/MainTray.h"
#include "app/MonitorHistory.h"

#include <QStatusBar>

bool TfmMain::IsChecking(const TServiceMonitor* AMonitor) const
{
    return AMonitor && FMonitoring->IsChecking(*AMonitor);
}

void TfmMain::tmrCheckTimer()
{
    FMonitoring->Tick();
}

void TfmMain::ServListDblClick()
{
    // A monitor whose check runs is left alone; with every worker busy the click is lost.
    if (QTreeWidgetItem* Row = FForm->ServList->SelectedRow())
        FMonitoring->RunCheck(FForm->ServList->MonitorOfRow(Row));
}

// A failure the operator acknowledged no longer counts for the alarm.

void TfmMain::acMonitorAcknowledgeExecute()
{
    const std::shared_ptr<TServiceMonitor> Monitor = FForm->ServList->SelectedMonitor();
    if (!Monitor)
        return;
    if (Monitor->Acknowledged() != 0) {
        Monitor->SetAcknowledged(0);
    } else if (FMonitoring->Failing(*Monitor)) {
        Monitor->SetAcknowledged(FMonitoring->Clock().WallNow());
        FHistory->Acknowledge(Monitor.get());
    }
    UpdateMonitorView(Monitor.get());
    UpdateAcknowledgeAction();
    FMonitoring->Reassess(*Monitor);
}

void TfmMain::UpdateAcknowledgeAction()
{
    const std::shared_ptr<TServiceMonitor> Monitor = FForm->ServList->SelectedMonitor();
    const bool Acknowledged = Monitor && Monitor->Acknowledged() != 0;
    FForm->acMonitorAcknowledge->setEnabled(Monitor && (Acknowledged || FMonitoring->Failing(*Monitor)));
    FForm->acMonitorAcknowledge->setChecked(Acknowledged);
}

void TfmMain::ApplyPosted()
{
    // Monitors started together end together, hundreds at a time: a slice of them at a time,
    // and the rest after the events that came meanwhile (paints, timers, input).
    Guarded([this] { FMonitoring->ApplyVerdicts(ApplySlice); });
    if (FMonitoring->WaitForVerdicts(std::chrono::milliseconds(0)))
        QMetaObject::invokeMethod(this, "ApplyPosted", Qt::QueuedConnection);
}

void TfmMain::Finished(const TServiceMonitor& AMonitor, const std::string&, const TCheckVerdict&)
{
    // The history heard of the check first, so the row shows the time it took.
    UpdateMonitorView(&AMonitor);
    if (const QTreeWidgetItem* Row = FForm->ServList->RowOf(&AMonitor); Row && Row->isSelected())
        UpdateAcknowledgeAction();
}

void TfmMain::Changed(const TServiceMonitor& AMonitor, bool)
{
    UpdateMonitorView(&AMonitor);
}

void TfmMain::AlarmChanged(bool AAlarm)
{
    SetTrayAnimated(AAlarm);
    if (AAlarm)
        FTray->ShowWindow();
}

void TfmMain::Shortage(const std::string& AText)
{
    statusBar()->showMessage(QString::fromStdString(AText));
}
