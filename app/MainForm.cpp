#include "app/MainForm.h"

#include "app/ListFilterBar.h"

#include <QStatusBar>
#include <QTimer>
#include <QVBoxLayout>

// Outside any namespace, as the resource system requires.
static void InitImages()
{
    Q_INIT_RESOURCE(images);
}

namespace {

// The application's icon, as the desktop entry names it, for the window's title bar and task bar.
QIcon ApplicationIcon()
{
    QIcon Icon;
    Icon.addFile(QStringLiteral(":/images/vardex-48.png"), QSize(48, 48));
    Icon.addFile(QStringLiteral(":/images/vardex-256.png"), QSize(256, 256));
    return Icon;
}

} // namespace

void TMainForm::Setup(QMainWindow* AWindow)
{
    // The list paints its row images as it is made.
    InitImages();
    setupUi(AWindow);
    AWindow->setWindowIcon(ApplicationIcon());
    // The filter bar, hidden until asked for, over the list in the list's place.
    auto* ListPanel = new QWidget();
    ListPanel->setObjectName(QStringLiteral("ListPanel"));
    auto* ListLayout = new QVBoxLayout(ListPanel);
    ListLayout->setContentsMargins(0, 0, 0, 0);
    ListLayout->setSpacing(0);
    HistorySplitter->replaceWidget(0, ListPanel);
    ListFilter = new TListFilterBar(ListPanel);
    ListLayout->addWidget(ListFilter);
    ListLayout->addWidget(ServList);
    acFilter = new QAction(QCoreApplication::translate("TfmMain", "Фильтр..."), AWindow);
    acFilter->setObjectName(QStringLiteral("acFilter"));
    acFilter->setShortcut(QKeySequence::Find);
    acSound = new QAction(QCoreApplication::translate("TfmMain", "Звук при сбое"), AWindow);
    acSound->setObjectName(QStringLiteral("acSound"));
    acSound->setCheckable(true);
    ServicesMenu->addSeparator();
    ServicesMenu->addAction(acFilter);
    ServicesMenu->addAction(acSound);
    AWindow->addAction(acFilter);
    // What the form cannot say: the columns' widths and the splitters' first sizes.
    ServConfig->SetColumnWidths(79, 100);
    ServConfig->Clear();
    ServList->setColumnWidth(0, 200);
    ServList->setColumnWidth(1, 150);
    ServList->setColumnWidth(2, 70);
    // The list and, under it, the chart of the selected monitor's history, which can be
    // dragged shut; the left panel and the list keep their places.
    HistorySplitter->setStretchFactor(0, 1);
    HistorySplitter->setCollapsible(0, false);
    HistorySplitter->setSizes({ 480 - 25 - 19 - 170 - 3, 170 });
    // A larger window gives the editor a share of its width too.
    Splitter1->setStretchFactor(0, 1);
    Splitter1->setStretchFactor(1, 3);
    Splitter1->setSizes({ 185, 696 - 185 - 3 });
    Splitter2->setStretchFactor(1, 1);
    Splitter2->setSizes({ 185, 480 - 185 });

    // A message longer than the bar is read whole in its tooltip.
    QObject::connect(AWindow->statusBar(), &QStatusBar::messageChanged, AWindow->statusBar(),
        [Bar = AWindow->statusBar()](const QString& AText) { Bar->setToolTip(AText); });

    ServListPopupMenu = new QMenu(AWindow);
    ServListPopupMenu->setObjectName(QStringLiteral("ServListPopupMenu"));
    ServListPopupMenu->addAction(acMonitorAcknowledge);
    ServListPopupMenu->addAction(acMonitorDelete);
    acOpenInBrowser = new QAction(QCoreApplication::translate("TfmMain", "Открыть в браузере"), AWindow);
    acOpenInBrowser->setObjectName(QStringLiteral("acOpenInBrowser"));
    acCopyTarget = new QAction(QCoreApplication::translate("TfmMain", "Копировать адрес"), AWindow);
    acCopyTarget->setObjectName(QStringLiteral("acCopyTarget"));
    ServListPopupMenu->addSeparator();
    ServListPopupMenu->addAction(acOpenInBrowser);
    ServListPopupMenu->addAction(acCopyTarget);
    tmrCheck = new QTimer(AWindow);
    tmrCheck->setObjectName(QStringLiteral("tmrCheck"));
    tmrCheck->setInterval(1000);
}
