#include "app/Main.h"

#include "app/Application.h"
#include "app/HistoryChart.h"
#include "app/Language.h"
#include "app/MonitorHistory.h"
#include "app/RowTips.h"
#include "notify/DBusNotifier.h"
#include "tray/TrayIcons.h"

#include <QAction>
#include <QCoreApplication>
#include <QDate>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QHeaderView>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QLocale>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QRegularExpression>
#include <QScreen>
#include <QShowEvent>
#include <QSignalBlocker>
#include <QSplitter>
#include <QStatusBar>
#include <QStyledItemDelegate>
#include <QTableWidget>
#include <QTextDocument>
#include <QTime>
#include <QTimer>
#include <QToolTip>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <limits>

// Outside any namespace, as the resource system requires.
static void InitImages()
{
    Q_INIT_RESOURCE(images);
}

namespace {

constexpr const char* DefaultConfigFileName = "default.cfg";

QString ToQString(const std::string& AText)
{
    return QString::fromStdString(AText);
}

// The application's icon, as the desktop entry names it, for the window's title bar and task bar.
QIcon ApplicationIcon()
{
    QIcon Icon;
    Icon.addFile(QStringLiteral(":/images/vardex-48.png"), QSize(48, 48));
    Icon.addFile(QStringLiteral(":/images/vardex-256.png"), QSize(256, 256));
    return Icon;
}

// The name cell's tooltip, which follows the name and the settings as they are typed. It is
// no rename, so the list does not report it as a change of a row (which would refill the
// editor in the middle of the operator's typing).
void SetNameTip(QTreeWidget* AList, QTreeWidgetItem* ARow, const TServiceMonitor& AMonitor)
{
    const QSignalBlocker Block(AList);
    ARow->setToolTip(0, NameTipText(ARow->text(0), AMonitor));
}

// The edit box of a name or a value. The list file is line based: a line break typed or
// pasted into a value would end its line and start another, which the next load reads as a
// key of its own or as the start of another monitor. So control characters never get in:
// each run of them becomes one blank as it is entered. And no length limit: a line edit
// would cut a long URL at 32767 characters as soon as it is shown.
class TValueEdit : public QLineEdit {
public:
    explicit TValueEdit(QWidget* AParent = nullptr)
        : QLineEdit(AParent)
    {
        setMaxLength(std::numeric_limits<int>::max());
        // Connected first, so that whoever else listens to textEdited sees the clean text.
        connect(this, &QLineEdit::textEdited, this, &TValueEdit::RemoveControls);
    }

private:
    void RemoveControls()
    {
        const QString Text = text();
        const QString Clean = WithoutControls(Text);
        if (Clean == Text)
            return;
        const int Cursor = static_cast<int>(WithoutControls(Text.left(cursorPosition())).size());
        setText(Clean);
        setCursorPosition(Cursor);
    }
};

// Renames in a TValueEdit, and hands over the clean text whatever the box holds.
class TCaptionDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    QWidget* createEditor(QWidget* AParent, const QStyleOptionViewItem&, const QModelIndex&) const override
    {
        return new TValueEdit(AParent);
    }
    void setModelData(QWidget* AEditor, QAbstractItemModel* AModel, const QModelIndex& AIndex) const override
    {
        if (auto* Box = qobject_cast<QLineEdit*>(AEditor))
            AModel->setData(AIndex, WithoutControls(Box->text()), Qt::EditRole);
    }
};

// The report list. Its only editable text is the caption: an edit started on any column of
// a row (a click on the selected row, F2) renames the row.
class TServListView : public QTreeWidget {
public:
    explicit TServListView(QWidget* AParent)
        : QTreeWidget(AParent)
    {
        setItemDelegate(new TCaptionDelegate(this));
    }

protected:
    bool edit(const QModelIndex& AIndex, EditTrigger ATrigger, QEvent* AEvent) override
    {
        return QTreeWidget::edit(AIndex.siblingAtColumn(0), ATrigger, AEvent);
    }

    // Tooltips carry what a server sent (a status line, an error text). A tooltip renders
    // any text that looks like HTML, so a server could draw tables and load local images in
    // it; the text is shown as plain text instead.
    bool viewportEvent(QEvent* AEvent) override
    {
        if (AEvent->type() != QEvent::ToolTip)
            return QTreeWidget::viewportEvent(AEvent);
        const auto* Help = static_cast<QHelpEvent*>(AEvent);
        const QModelIndex Index = indexAt(Help->pos());
        const QString Tip = Index.data(Qt::ToolTipRole).toString();
        if (Tip.isEmpty())
            QToolTip::hideText();
        else
            QToolTip::showText(Help->globalPos(), Qt::convertFromPlainText(Tip, Qt::WhiteSpaceNormal),
                viewport(), visualRect(Index));
        return true;
    }
};

// The locale's long time format without a time-zone part. Every row shows a time and is
// repainted at each start and end of its check, so the last answer is kept (on the window's
// thread) rather than worked out with a pattern each time.
QString LongTimeFormat(const QLocale& ALocale)
{
    static QString Given;
    static QString Shortened;
    const QString Format = ALocale.timeFormat(QLocale::LongFormat);
    if (Format != Given || Shortened.isNull()) {
        static const QRegularExpression Zone(QStringLiteral("\\s*t+"));
        Given = Format;
        Shortened = QString(Format).remove(Zone).trimmed();
    }
    return Shortened;
}

} // namespace

QString WithoutControls(const QString& AText)
{
    QString Result;
    Result.reserve(AText.size());
    bool InRun = false;
    for (const QChar C : AText) {
        const bool Control = C.category() == QChar::Other_Control;
        if (!Control)
            Result += C;
        else if (!InRun)
            Result += QLatin1Char(' ');
        InRun = Control;
    }
    return Result;
}

QString BadValueTip(const TBadValue& AValue)
{
    const QString Key = QString::fromStdString(AValue.Key);
    const QString Value = QString::fromStdString(AValue.Value);
    switch (AValue.Kind) {
    case TBadValue::bvNotANumber:
        return QCoreApplication::translate("TfmMain", "%1 «%2» — не число").arg(Key, Value);
    case TBadValue::bvTooSmall:
        return QCoreApplication::translate("TfmMain", "%1 «%2» меньше %3")
            .arg(Key, Value)
            .arg(AValue.Minimum);
    case TBadValue::bvEmpty:
        return QCoreApplication::translate("TfmMain", "%1 не задан").arg(Key);
    case TBadValue::bvNotAURL:
        return QCoreApplication::translate(
            "TfmMain", "%1 «%2» — не адрес вида http://хост/ или https://хост/")
            .arg(Key, Value);
    case TBadValue::bvOutOfRange:
        return QCoreApplication::translate("TfmMain", "%1 «%2» не от %3 до %4")
            .arg(Key, Value)
            .arg(AValue.Minimum)
            .arg(AValue.Maximum);
    case TBadValue::bvNotARecord:
        return QCoreApplication::translate("TfmMain", "%1 «%2» — не A, AAAA, CNAME, MX, NS или TXT")
            .arg(Key, Value);
    case TBadValue::bvNotAnAddress:
        return QCoreApplication::translate("TfmMain", "%1 «%2» — не IP-адрес с необязательным портом")
            .arg(Key, Value);
    }
    return Key;
}

QString NotCheckedText(const TServiceMonitor& AMonitor)
{
    if (!AMonitor.BadValues().empty())
        return QCoreApplication::translate("TfmMain", "Не проверяется: %1")
            .arg(BadValueTip(AMonitor.BadValues().front()));
    if (AMonitor.Interval() <= 0)
        return QCoreApplication::translate("TfmMain", "Не проверяется: Interval равен %1")
            .arg(AMonitor.Interval());
    return {};
}

QString DateTimeText(TDateTime AValue)
{
    if (AValue == 0)
        return {};
    int Year, Month, Day, Hour, Min, Sec, MSec;
    DecodeDate(AValue, Year, Month, Day);
    DecodeTime(AValue, Hour, Min, Sec, MSec);
    const QLocale Locale;
    QString Text = Locale.toString(QDate(Year, Month, Day), FullYearDateFormat(Locale));
    if (Hour != 0 || Min != 0 || Sec != 0 || MSec != 0)
        Text += ' ' + Locale.toString(QTime(Hour, Min, Sec), LongTimeFormat(Locale));
    return Text;
}

TfmMain::TfmMain(QWidget* AParent, std::unique_ptr<TTrayShell> ATrayShell, TEngineOptions AEngine)
    : QMainWindow(AParent)
    , FClock(AEngine.Clock ? std::move(AEngine.Clock) : std::make_shared<TSystemCheckClock>())
{
    InitImages();
    FEngine = std::make_unique<TCheckEngine>(
        *this, *FClock, AEngine.Workers, AEngine.Probe ? std::move(AEngine.Probe) : RunMonitorProbe);
    FSchedule = std::make_unique<TCheckSchedule>(*FEngine, *FClock);
    CreateParts(std::move(ATrayShell));
    FSchedule->OnShortage
        = [this](const std::string& AText) { statusBar()->showMessage(QString::fromStdString(AText)); };
    FNotifier = AEngine.Notifier ? std::move(AEngine.Notifier) : std::make_shared<TDBusNotifier>();
    // The history keeps time by the checks' clocks, so its records, its retention and the
    // notifications' minute agree with the verdicts.
    TMonitorHistory::TOptions History;
    History.WallMs
        = [Clock = FClock] { return std::llround(LocalDateTimeToUnix(Clock->WallNow()) * 1000.0); };
    History.MonotonicMs = [Clock = FClock] { return Clock->MonotonicMs(); };
    History.Settings = AEngine.History ? std::move(*AEngine.History) : HistorySettingsFromEnvironment();
    const std::string Problem = History.Settings.Problem;
    FHistory = new TMonitorHistory(HistoryChart, *FNotifier, std::move(History), this);
    // Said once, in the status bar: the checks go on whatever happens to the history.
    connect(FHistory, &TMonitorHistory::HistoryOff, this,
        [this](const QString& AReason) { statusBar()->showMessage(AReason); });
    if (!Problem.empty())
        statusBar()->showMessage(QString::fromStdString(Problem));
    SetMonitorObserver(this);
    qApp->installEventFilter(this);
    try {
        FormCreate();
    } catch (...) {
        TApplication::HandleException();
    }
}

TfmMain::~TfmMain()
{
    // Checks waiting on silent servers are woken and their threads joined here, so the
    // process ends at once and no thread outlives the window; their verdicts are dropped.
    FEngine->Shutdown();
    tmrCheck->stop();
    // What was recorded is written before the program ends.
    delete FHistory;
    FHistory = nullptr;
    delete ApplicationEvents;
    ApplicationEvents = nullptr;
    // The list reports its rows going while the base class frees it, when this object is
    // no longer a window to report to.
    ServList->blockSignals(true);
    // An edit box that has the focus finishes its edit as the window closes, when this
    // object is no longer a window to refill.
    for (int Row = 0; Row < ServConfig->rowCount(); ++Row)
        if (QLineEdit* Box = EditorValueBox(Row))
            Box->disconnect(this);
    qApp->removeEventFilter(this);
    if (MonitorObserver() == this)
        SetMonitorObserver(nullptr);
    FormDestroy();
    // The icon leaves the notification area with the window, and no tray event can reach
    // this object once it is half destroyed.
    delete TrayIcon;
    TrayIcon = nullptr;
}

void TfmMain::CreateParts(std::unique_ptr<TTrayShell> ATrayShell)
{
    setWindowTitle(QStringLiteral("Vardex"));
    setWindowIcon(ApplicationIcon());
    QFont Font = font();
    Font.setPointSize(8);
    setFont(Font);
    resize(696, 480);

    const QPixmap States[] = { QPixmap(), QPixmap(QStringLiteral(":/images/checking.png")),
        QPixmap(QStringLiteral(":/images/ok.png")), QPixmap(QStringLiteral(":/images/error.png")) };
    const QPixmap Bulb(QStringLiteral(":/images/bulb.png"));
    for (int I = 0; I < 6; ++I) {
        QPixmap Image(24, 12);
        Image.fill(Qt::transparent);
        QPainter Painter(&Image);
        if (I < 4 && !States[I].isNull()) {
            Painter.drawPixmap(0, 0, States[I]);
        } else if (I == NotCheckedIcon) {
            // A hollow grey square: a state, but no verdict.
            Painter.setPen(QColor(128, 128, 128));
            Painter.drawRect(2, 2, 7, 7);
        } else if (I == AcknowledgedIcon) {
            // The red square faded, with a dark tick: still failing, and known to be.
            Painter.setOpacity(0.4);
            Painter.drawPixmap(0, 0, States[msError]);
            Painter.setOpacity(1);
            Painter.setPen(QPen(QColor(40, 40, 40), 1.5));
            Painter.setRenderHint(QPainter::Antialiasing);
            Painter.drawPolyline(QPolygonF({ QPointF(2, 6), QPointF(5, 9), QPointF(10, 2) }));
        }
        Painter.drawPixmap(12, 0, Bulb);
        Painter.end();
        FRowIcons[I] = QIcon(Image);
    }

    CreateActions();

    menuBar()->setFixedHeight(25);
    menuBar()->setStyleSheet(QStringLiteral("QMenuBar { border-bottom: 1px solid #a0a0a0; }"
                                            "QMenuBar::item:selected { background: rgb(226, 225, 219); }"));
    QMenu* MonitorMenu = menuBar()->addMenu(tr("Монитор"));
    MonitorMenu->addAction(acConfigLoad);
    MonitorMenu->addAction(acConfigSave);
    MonitorMenu->addAction(acConfigSaveAs);
    MonitorMenu->addSeparator();
    MonitorMenu->addAction(acMonitorExit);
    QMenu* ServicesMenu = menuBar()->addMenu(tr("Сервисы"));
    QMenu* CreateMenu = ServicesMenu->addMenu(tr("Создать"));
    CreateMenu->addAction(acCreatePing);
    CreateMenu->addAction(acCreateWeb);
    CreateMenu->addAction(acCreateTcp);
    CreateMenu->addAction(acCreateDns);
    ServicesMenu->addAction(acMonitorDelete);
    ServicesMenu->addAction(acMonitorUndoDelete);
    ServicesMenu->addSeparator();
    ServicesMenu->addAction(acMonitorAcknowledge);

    statusBar()->setFixedHeight(19);

    Splitter1 = new QSplitter(Qt::Horizontal, this);
    Splitter1->setHandleWidth(3);
    Splitter1->setChildrenCollapsible(false);

    Panel1 = new QWidget(Splitter1);
    auto* PanelLayout = new QVBoxLayout(Panel1);
    PanelLayout->setContentsMargins(0, 0, 0, 0);
    Splitter2 = new QSplitter(Qt::Vertical, Panel1);
    Splitter2->setHandleWidth(3);
    Splitter2->setChildrenCollapsible(false);
    PanelLayout->addWidget(Splitter2);

    TreeView1 = new QTreeWidget(Splitter2);
    TreeView1->setHeaderHidden(true);
    TreeView1->setIndentation(19);
    TreeView1->setColumnCount(1);
    new QTreeWidgetItem(TreeView1, QStringList { tr("Сервисы") });

    ServConfig = new QTableWidget(1, 2, Splitter2);
    ServConfig->setHorizontalHeaderLabels({ QStringLiteral("Key"), QStringLiteral("Value") });
    ServConfig->verticalHeader()->hide();
    ServConfig->verticalHeader()->setMinimumSectionSize(1);
    ServConfig->verticalHeader()->setDefaultSectionSize(16);
    ServConfig->setColumnWidth(0, 79);
    ServConfig->setColumnWidth(1, 100);
    ServConfig->setSelectionMode(QAbstractItemView::NoSelection);
    ServConfig->setEditTriggers(QAbstractItemView::NoEditTriggers);
    SetEditorLines({});

    // The list and, under it, the chart of the selected monitor's history, which can be
    // dragged shut; the left panel and the list keep their places.
    HistorySplitter = new QSplitter(Qt::Vertical, Splitter1);
    HistorySplitter->setHandleWidth(3);
    ServList = new TServListView(HistorySplitter);
    ServList->setColumnCount(3);
    ServList->setHeaderLabels({ tr("Имя сервиса"), tr("Посл. активность"), tr("Статус") });
    ServList->headerItem()->setToolTip(0, tr("Имя монитора; подсказка строки показывает, что он проверяет"));
    ServList->headerItem()->setToolTip(1, tr("Время последней успешной проверки"));
    ServList->headerItem()->setToolTip(2, tr("Итог последней проверки; подсказка называет причину ошибки"));
    ServList->header()->setStretchLastSection(false);
    ServList->setColumnWidth(0, 200);
    ServList->setColumnWidth(1, 150);
    ServList->setColumnWidth(2, 70);
    ServList->setRootIsDecorated(false);
    ServList->setItemsExpandable(false);
    ServList->setUniformRowHeights(true);
    ServList->setSelectionMode(QAbstractItemView::SingleSelection);
    ServList->setSelectionBehavior(QAbstractItemView::SelectRows);
    ServList->setEditTriggers(QAbstractItemView::SelectedClicked | QAbstractItemView::EditKeyPressed);
    ServList->setIconSize(QSize(24, 12));
    QPalette ListPalette = ServList->palette();
    ListPalette.setColor(QPalette::Base, QColor(0, 255, 255));
    ServList->setPalette(ListPalette);

    HistoryChart = new THistoryChart(HistorySplitter);
    HistorySplitter->setStretchFactor(0, 1);
    HistorySplitter->setCollapsible(0, false);
    HistorySplitter->setSizes({ 480 - 25 - 19 - 170 - 3, 170 });

    Splitter1->addWidget(Panel1);
    Splitter1->addWidget(HistorySplitter);
    Splitter1->setStretchFactor(1, 1);
    Splitter1->setSizes({ 185, 696 - 185 - 3 });
    Splitter2->setStretchFactor(1, 1);
    Splitter2->setSizes({ 185, 480 - 185 });
    setCentralWidget(Splitter1);

    connect(ServList, &QTreeWidget::itemSelectionChanged, this,
        [this] { Guarded([this] { ServListChange(); }); });
    // Only a caption edited in place (a rename, always of the selected row) is a change of the
    // list here: the rows' other cells and images change at every start and end of a check,
    // and the editor and the chart need nothing from those.
    connect(ServList, &QTreeWidget::itemChanged, this, [this](QTreeWidgetItem* ARow, int AColumn) {
        if (AColumn == 0 && ARow->isSelected())
            Guarded([this] { ServListChange(); });
    });
    connect(
        ServList, &QTreeWidget::itemDoubleClicked, this, [this] { Guarded([this] { ServListDblClick(); }); });
    ServListPopupMenu = new QMenu(this);
    ServListPopupMenu->addAction(acMonitorAcknowledge);
    ServListPopupMenu->addAction(acMonitorDelete);
    ServList->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(ServList, &QWidget::customContextMenuRequested, this, [this](const QPoint& APos) {
        // The menu acts on the selected row, so the row under the pointer is selected first.
        if (QTreeWidgetItem* Row = ServList->itemAt(APos))
            ServList->setCurrentItem(Row);
        if (!SelectedRow())
            return;
        UpdateAcknowledgeAction();
        ServListPopupMenu->popup(ServList->viewport()->mapToGlobal(APos));
    });

    // Ticks from the moment the window exists; QTimer never stacks missed ticks.
    tmrCheck = new QTimer(this);
    tmrCheck->setInterval(1000);
    connect(tmrCheck, &QTimer::timeout, this, [this] { Guarded([this] { tmrCheckTimer(); }); });
    tmrCheck->start();

    // Placed once, green and with its tooltip, before the window is first shown. The menu
    // is the way back, and the way out, on trays that offer no double-click.
    TrayIcon = new TTrayIcon(this, std::move(ATrayShell));
    TrayPopupMenu = new QMenu(this);
    TrayPopupMenu->addAction(acTrayShow);
    TrayPopupMenu->addAction(acMonitorExit);
    TrayIcon->SetPopupMenu(TrayPopupMenu);
    SetupMainWindowTray(*TrayIcon, [this](TTrayIcon*) { TrayIconDblClick(); });

    ApplicationEvents = new TApplicationEvents(this);
    ApplicationEvents->OnMinimize = [this] { ApplicationEventsMinimize(); };

    const std::pair<QObject*, const char*> Names[] = { { acMonitorExit, "acMonitorExit" },
        { ServList, "ServList" }, { Splitter1, "Splitter1" }, { Panel1, "Panel1" },
        { TreeView1, "TreeView1" }, { Splitter2, "Splitter2" }, { ServConfig, "ServConfig" },
        { tmrCheck, "tmrCheck" }, { acConfigLoad, "acConfigLoad" }, { acConfigSave, "acConfigSave" },
        { acConfigSaveAs, "acConfigSaveAs" }, { acCreatePing, "acCreatePing" },
        { acCreateWeb, "acCreateWeb" }, { acCreateTcp, "acCreateTcp" }, { acCreateDns, "acCreateDns" },
        { acMonitorDelete, "acMonitorDelete" }, { acMonitorUndoDelete, "acMonitorUndoDelete" },
        { acMonitorAcknowledge, "acMonitorAcknowledge" }, { ServListPopupMenu, "ServListPopupMenu" },
        { TrayIcon, "TrayIcon" }, { TrayPopupMenu, "TrayPopupMenu" }, { acTrayShow, "acTrayShow" },
        { ApplicationEvents, "ApplicationEvents" }, { HistorySplitter, "HistorySplitter" },
        { HistoryChart, "HistoryChart" } };
    for (const auto& [Part, Name] : Names)
        Part->setObjectName(QLatin1String(Name));
}

QAction* TfmMain::NewAction(
    const QString& ACaption, const QKeySequence& AShortcut, void (TfmMain::*AHandler)())
{
    auto* Action = new QAction(ACaption, this);
    Action->setShortcut(AShortcut);
    Action->setShortcutContext(Qt::WindowShortcut);
    if (AHandler)
        connect(Action, &QAction::triggered, this,
            [this, AHandler] { Guarded([this, AHandler] { (this->*AHandler)(); }); });
    addAction(Action);
    return Action;
}

void TfmMain::CreateActions()
{
    acMonitorExit = NewAction(tr("Выход"), QKeySequence(Qt::ALT | Qt::Key_X), &TfmMain::acMonitorExitExecute);
    // Loading another list while running is not offered: the item is there, always disabled.
    acConfigLoad = NewAction(tr("Загрузить..."), QKeySequence(Qt::CTRL | Qt::Key_L), nullptr);
    acConfigLoad->setEnabled(false);
    acConfigSave
        = NewAction(tr("Сохранить"), QKeySequence(Qt::CTRL | Qt::Key_S), &TfmMain::acConfigSaveExecute);
    acConfigSaveAs = NewAction(tr("Сохранить как..."), QKeySequence(), &TfmMain::acConfigSaveAsExecute);
    acCreatePing = NewAction(QStringLiteral("&PingMonitor"), QKeySequence(), &TfmMain::acCreatePingExecute);
    acCreateWeb = NewAction(QStringLiteral("WebMonitor"), QKeySequence(), &TfmMain::acCreateWebExecute);
    acCreateTcp = NewAction(QStringLiteral("TcpMonitor"), QKeySequence(), &TfmMain::acCreateTcpExecute);
    acCreateDns = NewAction(QStringLiteral("DnsMonitor"), QKeySequence(), &TfmMain::acCreateDnsExecute);
    acMonitorDelete
        = NewAction(tr("Удалить"), QKeySequence(Qt::Key_Delete), &TfmMain::acMonitorDeleteExecute);
    acTrayShow = NewAction(tr("Показать"), QKeySequence(), &TfmMain::acTrayShowExecute);
    acMonitorUndoDelete = NewAction(
        tr("Вернуть удалённый"), QKeySequence(Qt::CTRL | Qt::Key_Z), &TfmMain::acMonitorUndoDeleteExecute);
    acMonitorUndoDelete->setEnabled(false);
    acMonitorAcknowledge = NewAction(
        tr("Подтвердить сбой"), QKeySequence(Qt::CTRL | Qt::Key_K), &TfmMain::acMonitorAcknowledgeExecute);
    acMonitorAcknowledge->setCheckable(true);
    acMonitorAcknowledge->setEnabled(false);
}

// The window's shortcuts come before the focused control: a control that would take the key
// for itself is not asked, so the key runs the command and never reaches the control. Del,
// Ctrl+Z and Ctrl+K are the exceptions: in an edit box (a value, a name being renamed) they
// delete text, undo typing and cut to the line's end, and only where no text is being edited
// do they delete a monitor, bring it back and acknowledge its failure.
bool TfmMain::eventFilter(QObject* AWatched, QEvent* AEvent)
{
    if (AEvent->type() == QEvent::ShortcutOverride) {
        auto* Widget = qobject_cast<QWidget*>(AWatched);
        if (Widget && Widget->window() == this) {
            auto* Key = static_cast<QKeyEvent*>(AEvent);
            const QKeySequence Sequence(
                QKeyCombination(Key->modifiers() & ~Qt::KeypadModifier, Qt::Key(Key->key())));
            if (qobject_cast<QLineEdit*>(Widget)
                && (Sequence == acMonitorDelete->shortcut() || Sequence == acMonitorUndoDelete->shortcut()
                    || Sequence == acMonitorAcknowledge->shortcut()))
                return QMainWindow::eventFilter(AWatched, AEvent);
            for (QAction* Action : actions()) {
                if (Action->isEnabled() && !Action->shortcut().isEmpty() && Action->shortcut() == Sequence) {
                    AEvent->ignore();
                    return true;
                }
            }
        }
    }
    return QMainWindow::eventFilter(AWatched, AEvent);
}

void TfmMain::showEvent(QShowEvent* AEvent)
{
    QMainWindow::showEvent(AEvent);
    // Spontaneous show events come from the window system (a restore after a minimise);
    // only becoming visible counts as showing the window.
    if (AEvent->spontaneous())
        return;
    if (!FCentred) {
        FCentred = true;
        if (QScreen* Screen = screen())
            move(Screen->availableGeometry().center() - frameGeometry().center() + pos());
    }
    Guarded([this] { FormShow(); });
}

void TfmMain::FormCreate()
{
    FMonitors.clear();
    FAlarm = false;
    FConfigFileName = DefaultConfigFileName;
    LoadConfig();
}

void TfmMain::FormShow()
{
    RefreshList();
}

void TfmMain::FormDestroy()
{
    FMonitors.clear();
}

void TfmMain::UpdateMonitorView(TServiceMonitor* AMonitor)
{
    if (FHoldRows)
        return;
    const auto [First, Last] = FRows.equal_range(AMonitor);
    for (auto Row = First; Row != Last; ++Row)
        UpdateListItem(Row->second.Row);
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
        const auto Row = FRows.find(Monitor.get());
        const std::string Name = Row == FRows.end() ? std::string() : Row->second.Row->text(0).toStdString();
        FHistory->Finished(
            Monitor.get(), Name, Monitor->Status(), AVerdict.Reason, AVerdict.Start, AVerdict.DurationMs);
        UpdateMonitorView(Monitor.get());
        if (Row != FRows.end() && Row->second.Row->isSelected())
            UpdateAcknowledgeAction();
    } else if (const auto Restored = AVerdict.Shortage ? AVerdict.Monitor.lock() : nullptr) {
        UpdateMonitorView(Restored.get());
    }
    UpdateAlarm(FSchedule->Alarm());
}

void TfmMain::RefreshList()
{
    ServList->clear();
    FRows.clear();
    FRows.reserve(FMonitors.size());
    for (const TMonitorEntry& Entry : FMonitors) {
        auto* Row = new QTreeWidgetItem(ServList);
        Row->setFlags(Row->flags() | Qt::ItemIsEditable);
        Row->setData(0, Qt::UserRole, QVariant::fromValue(reinterpret_cast<quintptr>(Entry.Monitor.get())));
        Row->setText(0, ToQString(Entry.Name));
        if (Entry.Monitor)
            FRows.emplace(Entry.Monitor.get(), TRowOf { Row, Entry.Monitor });
        UpdateListItem(Row);
    }
    ServList->clearSelection();
    ServList->setCurrentItem(nullptr, 0, QItemSelectionModel::NoUpdate);
}

void TfmMain::UpdateListItem(QTreeWidgetItem* ARow)
{
    const std::shared_ptr<TServiceMonitor> Monitor = MonitorOfRow(ARow);
    if (!Monitor)
        return;
    const TMonitorStatus Status = Monitor->Status();
    ARow->setText(2, QString::fromLatin1(StatusText(Status)));
    // Why the last check failed, on the status cell, while the monitor is in error; the time
    // the last check took; and, after an https check, when the server's certificate expires.
    QString Tip = StatusTipText(
        Status, Monitor->LastError(), FHistory ? FHistory->LastResponseMs(Monitor.get()) : -1);
    const int64_t Now = UnixNow();
    const QString Expiry = QString::fromStdString(CertificateExpiryText(Monitor->Certificate(), Now));
    const auto AddLine
        = [&Tip](const QString& ALine) { Tip += (Tip.isEmpty() ? QString() : QStringLiteral("\n")) + ALine; };
    if (!Expiry.isEmpty() && Status != msChecking
        && !Tip.contains(Expiry.left(Expiry.indexOf(QLatin1Char(',')))))
        AddLine(CertificateTipText(Monitor->Certificate(), Now));
    const bool Acknowledged = Monitor->Acknowledged() != 0;
    if (Acknowledged)
        AddLine(tr("Сбой подтверждён: %1").arg(DateTimeText(Monitor->Acknowledged())));
    // A monitor the timer leaves alone never shows a verdict as if it were current.
    const QString NotChecked = NotCheckedText(*Monitor);
    if (!NotChecked.isEmpty())
        AddLine(NotChecked);
    ARow->setToolTip(2, Tip);
    SetNameTip(ServList, ARow, *Monitor);
    int Icon = Status <= msError ? Status : msNone;
    if (Acknowledged && Status != msOK)
        Icon = AcknowledgedIcon;
    else if (Status == msNone && !NotChecked.isEmpty())
        Icon = NotCheckedIcon;
    ARow->setIcon(0, FRowIcons[Icon]);
    const QBrush Muted = Icon >= NotCheckedIcon ? QBrush(QColor(110, 110, 110)) : QBrush();
    for (int Column = 0; Column < 3; ++Column)
        ARow->setForeground(Column, Muted);
    ARow->setText(1, DateTimeText(Monitor->LastActivity()));
}

void TfmMain::SelectHistory()
{
    QTreeWidgetItem* Row = SelectedRow();
    const std::shared_ptr<TServiceMonitor> Monitor = Row ? MonitorOfRow(Row) : nullptr;
    FHistory->Select(Monitor.get(), Monitor ? Row->text(0).toStdString() : std::string());
}

void TfmMain::SetHistoryList()
{
    // A list not loaded (no file yet, or one refused) is kept under the name it started from
    // until it is saved under a name of its own.
    const std::string Name = FConfigFileName.empty() ? std::string(DefaultConfigFileName) : FConfigFileName;
    if (Name == FHistoryList)
        return;
    FHistoryList = Name;
    FHistory->SetList(Name);
    SelectHistory();
}

QTreeWidgetItem* TfmMain::SelectedRow() const
{
    const QList<QTreeWidgetItem*> Rows = ServList->selectedItems();
    return Rows.isEmpty() ? nullptr : Rows.first();
}

std::shared_ptr<TServiceMonitor> TfmMain::MonitorOfRow(const QTreeWidgetItem* ARow) const
{
    const quintptr Key = ARow->data(0, Qt::UserRole).value<quintptr>();
    if (Key == 0)
        return nullptr;
    const auto [First, Last] = FRows.equal_range(reinterpret_cast<const TServiceMonitor*>(Key));
    for (auto Found = First; Found != Last; ++Found)
        if (Found->second.Row == ARow)
            return Found->second.Monitor.lock();
    return nullptr;
}

bool TfmMain::IsChecking(const TServiceMonitor* AMonitor) const
{
    return FSchedule->IsChecking(AMonitor);
}

QLineEdit* TfmMain::EditorValueBox(int ARow) const
{
    return qobject_cast<QLineEdit*>(ServConfig->cellWidget(ARow, 1));
}

void TfmMain::SetEditorLines(const TStringList& ALines)
{
    const int Rows = std::max<int>(1, static_cast<int>(ALines.size()));
    const int OldRows = ServConfig->rowCount();
    ServConfig->setRowCount(Rows);
    for (int Row = 0; Row < Rows; ++Row) {
        if (Row >= OldRows || !ServConfig->item(Row, 0)) {
            auto* Key = new QTableWidgetItem;
            Key->setFlags(Qt::ItemIsEnabled);
            ServConfig->setItem(Row, 0, Key);
        }
        if (!EditorValueBox(Row)) {
            auto* Box = new TValueEdit;
            Box->setFrame(false);
            connect(Box, &QLineEdit::textEdited, this,
                [this] { Guarded([this] { ServConfigStringsChange(true); }); });
            // A refused value leaves the box when the operator moves on: it shows what the
            // monitor kept.
            connect(Box, &QLineEdit::editingFinished, this, [this] {
                Guarded([this] {
                    if (SelectedRow())
                        ServListChange();
                });
            });
            ServConfig->setCellWidget(Row, 1, Box);
        }
        QString Key, Value;
        if (Row < static_cast<int>(ALines.size())) {
            const std::string& Line = ALines[static_cast<size_t>(Row)];
            const size_t Eq = Line.find('=');
            Key = ToQString(Line.substr(0, Eq));
            if (Eq != std::string::npos)
                Value = ToQString(Line.substr(Eq + 1));
        }
        ServConfig->item(Row, 0)->setText(Key);
        // An edit box that already shows the value is left alone, so that a refill while the
        // operator types keeps the cursor where it is.
        QLineEdit* Box = EditorValueBox(Row);
        if (Box->text() != Value)
            Box->setText(Value);
    }
}

TStringList TfmMain::EditorLines() const
{
    TStringList Lines;
    for (int Row = 0; Row < ServConfig->rowCount(); ++Row) {
        const QTableWidgetItem* KeyItem = ServConfig->item(Row, 0);
        const QString Key = KeyItem ? KeyItem->text() : QString();
        const QLineEdit* Box = EditorValueBox(Row);
        const QString Value = Box ? Box->text() : QString();
        if (Key.isEmpty() && Value.isEmpty())
            continue;
        Lines.push_back(Key.toStdString() + "=" + Value.toStdString());
    }
    return Lines;
}

void TfmMain::ServListChange()
{
    QTreeWidgetItem* Row = SelectedRow();
    if (!Row) {
        SelectHistory();
        return;
    }
    TStringList Lines { "Name=" + Row->text(0).toStdString() };
    if (const std::shared_ptr<TServiceMonitor> Monitor = MonitorOfRow(Row)) {
        TStringList Settings = Monitor->EditorSettings();
        // A value the list held that its key cannot take is shown as it was written, where
        // the operator can mend it, rather than as what it fell back to.
        for (const TBadValue& Bad : Monitor->BadValues())
            for (std::string& Line : Settings)
                if (Line.starts_with(Bad.Key + "=")) {
                    Line = Bad.Key + "=" + Bad.Value;
                    break;
                }
        Lines.insert(Lines.end(), Settings.begin(), Settings.end());
    }
    SetEditorLines(Lines);
    UpdateAcknowledgeAction();
    // A rename is taken first, so that the chart goes on with the history it carried along.
    ServConfigStringsChange();
    SelectHistory();
}

TStringList TfmMain::AcceptedEditorLines(const TServiceMonitor& AMonitor, bool ATyped)
{
    TStringList Lines = EditorLines();
    QStringList Refused;
    std::erase_if(Lines, [&](const std::string& ALine) {
        const size_t Eq = ALine.find('=');
        if (Eq == std::string::npos)
            return false;
        const std::optional<TBadValue> Bad = AMonitor.CheckValue(ALine.substr(0, Eq), ALine.substr(Eq + 1));
        if (!Bad)
            return false;
        // What the monitor keeps, as the editor would show it.
        std::string Kept;
        FindSettingsValue(AMonitor.EditorSettings(), Bad->Key, Kept);
        Refused << tr("%1; остаётся %2").arg(BadValueTip(*Bad), QString::fromStdString(Kept));
        return true;
    });
    if (ATyped) {
        if (!Refused.isEmpty()) {
            FRefusedMessage = tr("Значение не принято: %1").arg(Refused.join(QStringLiteral("; ")));
            statusBar()->showMessage(FRefusedMessage);
        } else if (!FRefusedMessage.isEmpty() && statusBar()->currentMessage() == FRefusedMessage) {
            statusBar()->clearMessage();
        }
    }
    return Lines;
}

void TfmMain::ServConfigStringsChange(bool ATyped)
{
    QTreeWidgetItem* Row = SelectedRow();
    if (!Row)
        return;
    const std::shared_ptr<TServiceMonitor> Monitor = MonitorOfRow(Row);
    if (!Monitor)
        return;
    // The name comes from the row's caption (renamed in place), never from the editor.
    const std::string Caption = Row->text(0).toStdString();
    for (TMonitorEntry& Entry : FMonitors)
        if (Entry.Monitor == Monitor && Entry.Name != Caption) {
            FHistory->Renamed(Monitor.get(), Entry.Name, Caption);
            Entry.Name = Caption;
        }
    const bool WasChecked = !Monitor->NotChecked();
    Monitor->SetSettings(AcceptedEditorLines(*Monitor, ATyped));
    SetNameTip(ServList, Row, *Monitor);
    // A monitor the timer no longer checks shows no verdict as if it were current.
    if (WasChecked && Monitor->NotChecked() && !IsChecking(Monitor.get()) && Monitor->Status() != msNone) {
        Monitor->SetAcknowledged(0);
        Monitor->SetStatus(msNone);
        FSchedule->Reassess(*Monitor);
        UpdateAlarm(FSchedule->Alarm());
    } else if (WasChecked != !Monitor->NotChecked()) {
        UpdateMonitorView(Monitor.get());
    }
}

void TfmMain::LoadConfig()
{
    FListExtras = {};
    try {
        if (!LoadMonitorList(FConfigFileName, FMonitors, &FListExtras)) {
            if (!QFileInfo::exists(ToQString(FConfigFileName)))
                ShowListHint(QFileInfo(ToQString(FConfigFileName)).absoluteFilePath());
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
    for (const TMonitorEntry& Entry : FMonitors)
        if (Entry.Monitor)
            Restored.emplace_back(Entry.Monitor.get(), Entry.Name);
    FHistory->Restore(Restored);
    ShowBadValues();
    if (FListExtras.Windows1251Count > 0) {
        // Said beside what else the load found, not over it.
        const QString Lines
            = tr("Строк файла %1, прочитанных как Windows-1251: %n", nullptr, FListExtras.Windows1251Count)
                  .arg(ToQString(FConfigFileName));
        const QString Shown = statusBar()->currentMessage();
        statusBar()->showMessage(Shown.isEmpty() ? Lines : Shown + QStringLiteral("; ") + Lines);
    }
    if (FListExtras.UnreadCount > 0)
        TApplication::ShowWarning(
            tr("В файле %1 не понято блоков: %n; они сохраняются и записываются вместе со списком", nullptr,
                FListExtras.UnreadCount)
                .arg(ToQString(FConfigFileName))
                .toStdString());
}

void TfmMain::ShowBadValues()
{
    QStringList Named;
    for (const TMonitorEntry& Entry : FMonitors)
        if (Entry.Monitor && !Entry.Monitor->BadValues().empty())
            Named << QStringLiteral("«%1»: %2")
                         .arg(QString::fromStdString(Entry.Name),
                             BadValueTip(Entry.Monitor->BadValues().front()));
    if (Named.isEmpty())
        return;
    QString Text = tr("Не проверяются, пока значение не исправлено: %1").arg(Named.first());
    if (Named.size() > 1)
        Text += tr(" и ещё %1").arg(Named.size() - 1);
    statusBar()->showMessage(Text);
}

void TfmMain::SaveConfig()
{
    if (FConfigFileName.empty()) {
        std::string FileName;
        if (!ExecuteSaveDialog(FileName))
            return;
        FConfigFileName = FileName;
    }
    SaveMonitorList(FConfigFileName, FMonitors, &FListExtras);
    SetHistoryList();
    if (!FListHint.isEmpty() && statusBar()->currentMessage() == FListHint)
        statusBar()->clearMessage();
}

void TfmMain::ShowListHint(const QString& APath)
{
    // A first start: the operator learns where the list lives and how it is filled. Whatever
    // the status bar already says (a history that could not start) stays.
    if (!statusBar()->currentMessage().isEmpty())
        return;
    FListHint = tr("Файла %1 нет, список пуст. Монитор добавляется через Сервисы › Создать; "
                   "Ctrl+S спросит имя файла, а при запуске читается %1.")
                    .arg(APath);
    statusBar()->showMessage(FListHint);
}

TSaveConfigDialog::TSaveConfigDialog(QWidget* AParent)
    : QFileDialog(AParent, tr("Сохранение конфигурации..."))
{
    setAcceptMode(QFileDialog::AcceptSave);
    setFileMode(QFileDialog::AnyFile);
    setNameFilters({ QStringLiteral("Service List Files (*.cfg)"), QStringLiteral("All Files (*)") });
    setDefaultSuffix(QStringLiteral("cfg"));
    setOption(QFileDialog::DontConfirmOverwrite, false);
}

void TSaveConfigDialog::accept()
{
    // A name in a folder that does not exist is refused here, where it can still be
    // corrected; a save into it could only fail.
    const QStringList Files = selectedFiles();
    if (!Files.isEmpty() && !QFileInfo(Files.first()).dir().exists()) {
        const QString Folder = QDir::toNativeSeparators(QFileInfo(Files.first()).path());
        if (FolderMissingHook) {
            FolderMissingHook(Folder);
        } else {
            QMessageBox Box(QMessageBox::Warning, windowTitle(), tr("Папка не существует:\n%1").arg(Folder),
                QMessageBox::Ok, this);
            Box.setTextFormat(Qt::PlainText);
            Box.exec();
        }
        return;
    }
    QFileDialog::accept();
}

bool TfmMain::ExecuteSaveDialog(std::string& AFileName)
{
    if (SaveDialogHook)
        return SaveDialogHook(AFileName);
    TSaveConfigDialog SaveConfigDialog(this);
    if (SaveConfigDialog.exec() != QDialog::Accepted || SaveConfigDialog.selectedFiles().isEmpty())
        return false;
    AFileName = QFile::encodeName(SaveConfigDialog.selectedFiles().first()).toStdString();
    return !AFileName.empty();
}

void TfmMain::acConfigSaveExecute()
{
    SaveConfig();
}

void TfmMain::acConfigSaveAsExecute()
{
    FConfigFileName.clear();
    SaveConfig();
}

void TfmMain::acMonitorExitExecute()
{
    // Closing a window that is hidden in the tray does not end Qt's event loop (only the
    // last visible window's closing does), and the tray menu offers this command exactly
    // then; so the program is ended here once the window has agreed to close.
    if (close())
        QCoreApplication::quit();
}

void TfmMain::acCreatePingExecute()
{
    FMonitors.push_back({ "New PingMonitor", std::make_shared<TPingMonitor>() });
    RefreshList();
}

void TfmMain::acCreateWebExecute()
{
    FMonitors.push_back({ "New WebMonitor", std::make_shared<TWebMonitor>() });
    RefreshList();
}

void TfmMain::acCreateTcpExecute()
{
    FMonitors.push_back({ "New TcpMonitor", std::make_shared<TTcpMonitor>() });
    RefreshList();
}

void TfmMain::acCreateDnsExecute()
{
    FMonitors.push_back({ "New DnsMonitor", std::make_shared<TDnsMonitor>() });
    RefreshList();
}

void TfmMain::acMonitorDeleteExecute()
{
    QTreeWidgetItem* Row = SelectedRow();
    if (!Row)
        return;
    const quintptr Key = Row->data(0, Qt::UserRole).value<quintptr>();
    const auto Entry = std::find_if(FMonitors.begin(), FMonitors.end(), [Key](const TMonitorEntry& AEntry) {
        return reinterpret_cast<quintptr>(AEntry.Monitor.get()) == Key;
    });
    // Held until the rows are rebuilt, so no row ever points at a freed monitor. A check of
    // it that runs is cancelled; it works on a copy, and its verdict will find no monitor.
    std::shared_ptr<TServiceMonitor> Deleted;
    if (Entry != FMonitors.end()) {
        Deleted = Entry->Monitor;
        FSchedule->Forget(Deleted.get());
        FHistory->Deleted(Deleted.get());
        // Kept, settings, status and all, for Ctrl+Z while the program runs.
        FDeleted.push_back({ size_t(Entry - FMonitors.begin()), *Entry });
        FMonitors.erase(Entry);
        acMonitorUndoDelete->setEnabled(true);
        UpdateAlarm(FSchedule->Alarm());
    }
    RefreshList();
    // The editor shows nothing of a monitor that has gone.
    SetEditorLines({});
    UpdateAcknowledgeAction();
}

void TfmMain::acMonitorUndoDeleteExecute()
{
    if (FDeleted.empty())
        return;
    TDeleted Last = std::move(FDeleted.back());
    FDeleted.pop_back();
    acMonitorUndoDelete->setEnabled(!FDeleted.empty());
    const std::shared_ptr<TServiceMonitor> Monitor = Last.Entry.Monitor;
    // A check cut short by the delete left no verdict: the monitor is checked again at once.
    if (Monitor->Status() == msChecking) {
        Monitor->SetStatus(msNone);
        Monitor->ResetLastCheck();
    }
    const size_t Index = std::min(Last.Index, FMonitors.size());
    FMonitors.insert(FMonitors.begin() + ptrdiff_t(Index), Last.Entry);
    FHistory->Undeleted(Monitor.get(), Last.Entry.Name);
    RefreshList();
    ServList->setCurrentItem(ServList->topLevelItem(int(Index)));
    FSchedule->Reassess(*Monitor);
    UpdateAlarm(FSchedule->Alarm());
}

void TfmMain::acMonitorAcknowledgeExecute()
{
    QTreeWidgetItem* Row = SelectedRow();
    const std::shared_ptr<TServiceMonitor> Monitor = Row ? MonitorOfRow(Row) : nullptr;
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
    QTreeWidgetItem* Row = SelectedRow();
    const std::shared_ptr<TServiceMonitor> Monitor = Row ? MonitorOfRow(Row) : nullptr;
    const bool Acknowledged = Monitor && Monitor->Acknowledged() != 0;
    acMonitorAcknowledge->setEnabled(Monitor && (Acknowledged || FSchedule->Failing(*Monitor)));
    acMonitorAcknowledge->setChecked(Acknowledged);
}

// Check scheduling: TCheckSchedule decides what is due and starts it on the engine; the
// verdicts come back through Post. Rows carry their monitor's address only as a key that is
// looked up in FRows, so nothing here touches a monitor once it is deleted.

void TfmMain::tmrCheckTimer()
{
    UpdateAlarm(FSchedule->Tick(FMonitors));
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

void TfmMain::ServListDblClick()
{
    QTreeWidgetItem* Row = SelectedRow();
    if (!Row)
        return;
    // A monitor whose check runs is left alone; with every worker busy the click is lost.
    FSchedule->RunCheck(MonitorOfRow(Row));
}

void TfmMain::SetTrayAnimated(bool AAnimated)
{
    TrayIcon->SetAnimated(AAnimated);
    if (TrayAnimatedHook)
        TrayAnimatedHook(AAnimated);
}

void TfmMain::TrayIconDblClick()
{
    ShowAndRestore();
}

void TfmMain::acTrayShowExecute()
{
    ShowAndRestore();
}

// A window hidden to the tray comes back only through the tray icon (or an alarm). Where
// there is no notification area, or the icon could not be placed in it, minimising leaves
// an ordinary minimised window that the desktop can restore.
void TfmMain::ApplicationEventsMinimize()
{
    if (!TrayIcon->IsTrayAvailable())
        return;
    // A tray host that appeared after start has not got the icon yet.
    if (!TrayIcon->InTray() && TrayIcon->Active())
        TrayIcon->AddToTray();
    if (TrayIcon->InTray())
        hide();
}

void TfmMain::ShowAndRestore()
{
    if (isMinimized())
        showNormal();
    else
        show();
    raise();
    activateWindow();
}
