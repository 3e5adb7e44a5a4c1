#include "app/ListFile.h"

#include "app/Application.h"
#include "app/MonitorHistory.h"
#include "app/WindowTexts.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QMessageBox>
#include <QStatusBar>
#include <QStringList>
#include <QToolButton>

#include <algorithm>
#include <cerrno>
#include <unistd.h>
#include <utility>
#include <vector>

TListFile::TListFile(QStatusBar& AStatusBar, TMonitorHistory& AHistory, std::function<void()> AListChanged)
    : FStatusBar(AStatusBar)
    , FHistory(AHistory)
    , FListChanged(std::move(AListChanged))
{
}

void TListFile::Load(TMonitorList& AMonitors)
{
    FListExtras = {};
    try {
        if (!LoadMonitorList(FConfigFileName, AMonitors, &FListExtras)) {
            const QFileInfo File(QString::fromStdString(FConfigFileName));
            if (!File.exists())
                ShowListHint(File.absoluteFilePath());
            FConfigFileName.clear();
        }
    } catch (...) {
        // A list that was refused or not read to its end must not be replaced by what the
        // window holds at the next Ctrl+S: the save asks for a name instead.
        FConfigFileName.clear();
        SetHistoryList();
        throw;
    }
    SetHistoryList();
    std::vector<std::pair<TServiceMonitor*, std::string>> Restored;
    for (const TMonitorEntry& Entry : AMonitors)
        if (Entry.Monitor)
            Restored.emplace_back(Entry.Monitor.get(), Entry.Name);
    FHistory.Restore(Restored);
    ShowLoaded(AMonitors);
    ShowProblems();
}

void TListFile::ShowProblems()
{
    // Said in the status bar, never in a box that stops the start: a button there stands for
    // the problems of this start, its tooltip and its dialog list them all.
    if (FListExtras.Problems.empty())
        return;
    QStringList Lines;
    for (const TListProblem& Problem : FListExtras.Problems)
        Lines << QString::fromStdString(ListProblemText(FConfigFileName, Problem));
    if (!FProblems) {
        FProblems = new QToolButton(&FStatusBar);
        FProblems->setObjectName(QStringLiteral("ListProblems"));
        FProblems->setAutoRaise(true);
        FStatusBar.addPermanentWidget(FProblems);
        QObject::connect(FProblems, &QToolButton::clicked, FProblems, [this] {
            QMessageBox Box(QMessageBox::Information, TApplication::Title(), FProblems->text(),
                QMessageBox::Close, FStatusBar.window());
            Box.setDetailedText(FProblems->toolTip());
            Box.exec();
        });
    }
    const auto Count = static_cast<int>(Lines.size());
    FProblems->setText(QCoreApplication::translate("TfmMain", "Проблем в списке %1: %n", nullptr, Count)
                           .arg(QString::fromStdString(FConfigFileName)));
    FProblems->setToolTip(Lines.join(QLatin1Char('\n')));
    FProblems->show();
    if (FStatusBar.currentMessage().isEmpty())
        FStatusBar.showMessage(Lines.first());
}

void TListFile::ShowLoaded(const TMonitorList& AMonitors)
{
    QStringList Named;
    for (const TMonitorEntry& Entry : AMonitors)
        if (Entry.Monitor && !Entry.Monitor->BadValues().empty())
            Named << QStringLiteral("«%1»: %2")
                         .arg(QString::fromStdString(Entry.Name),
                             BadValueTip(Entry.Monitor->BadValues().front()));
    if (!Named.isEmpty()) {
        QString Text
            = QCoreApplication::translate("TfmMain", "Не проверяются, пока значение не исправлено: %1")
                  .arg(Named.first());
        if (Named.size() > 1)
            Text += QCoreApplication::translate("TfmMain", " и ещё %1").arg(Named.size() - 1);
        FStatusBar.showMessage(Text);
    }
    if (FListExtras.Windows1251Count > 0) {
        // Said beside what else the load found, not over it.
        const QString Lines = QCoreApplication::translate("TfmMain",
            "Строк файла %1, прочитанных как Windows-1251: %n", nullptr, FListExtras.Windows1251Count)
                                  .arg(QString::fromStdString(FConfigFileName));
        const QString Shown = FStatusBar.currentMessage();
        FStatusBar.showMessage(Shown.isEmpty() ? Lines : Shown + QStringLiteral("; ") + Lines);
    }
}

bool TListFile::Save(const TMonitorList& AMonitors, const std::function<bool(std::string& AFileName)>& AAsk)
{
    if (FConfigFileName.empty()) {
        std::string FileName = FListPath;
        if (!AAsk(FileName))
            return false;
        FConfigFileName = FileName;
    }
    SaveMonitorList(FConfigFileName, AMonitors, &FListExtras);
    FListPath = FConfigFileName;
    SetHistoryList();
    RemoveRecovery();
    const auto Count = static_cast<int>(std::count_if(
        AMonitors.begin(), AMonitors.end(), [](const TMonitorEntry& AEntry) { return AEntry.Monitor; }));
    FStatusBar.showMessage(
        QCoreApplication::translate("TfmMain", "Список сохранён в %1, мониторов: %n", nullptr, Count)
            .arg(QFileInfo(QString::fromStdString(FConfigFileName)).absoluteFilePath()));
    return true;
}

bool TListFile::HasRecovery() const
{
    return QFileInfo(QString::fromStdString(RecoveryName())).isFile();
}

void TListFile::SaveRecovery(const TMonitorList& AMonitors) const
{
    SaveMonitorList(RecoveryName(), AMonitors, &FListExtras);
}

void TListFile::LoadRecovery(TMonitorList& AMonitors)
{
    TMonitorList Read;
    TMonitorListExtras Extras;
    if (!LoadMonitorList(RecoveryName(), Read, &Extras))
        throw EInOutError::FromErrno(ENOENT);
    AMonitors = std::move(Read);
    FListExtras = std::move(Extras);
    // Saved where the list lives, not into the recovery file.
    FConfigFileName = FListPath;
    SetHistoryList();
    std::vector<std::pair<TServiceMonitor*, std::string>> Restored;
    for (const TMonitorEntry& Entry : AMonitors)
        if (Entry.Monitor)
            Restored.emplace_back(Entry.Monitor.get(), Entry.Name);
    FHistory.Restore(Restored);
}

void TListFile::RemoveRecovery() const
{
    ::unlink(RecoveryName().c_str());
}

void TListFile::ShowListHint(const QString& APath)
{
    // A first start: the operator learns where the list lives and how it is filled. Whatever
    // the status bar already says (a history that could not start) stays.
    if (!FStatusBar.currentMessage().isEmpty())
        return;
    FListHint = QCoreApplication::translate("TfmMain",
        "Файла %1 нет, список пуст. Монитор добавляется через Сервисы › Создать; "
        "Ctrl+S спросит имя файла, а при запуске читается %1.")
                    .arg(APath);
    FStatusBar.showMessage(FListHint);
}

void TListFile::SetHistoryList()
{
    // A list not loaded (no file yet, or one refused) is kept under the name it started from
    // until it is saved under a name of its own.
    const std::string List = FConfigFileName.empty() ? std::string(DefaultName) : FConfigFileName;
    if (List == FHistoryList)
        return;
    FHistoryList = List;
    FHistory.SetList(List);
    if (FListChanged)
        FListChanged();
}
