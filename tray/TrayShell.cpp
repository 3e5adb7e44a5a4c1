#include "tray/TrayShell.h"

#include <QAction>
#include <QCursor>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QGuiApplication>

#include <algorithm>

namespace {

std::function<void(std::exception_ptr)>& ErrorReport()
{
    static std::function<void(std::exception_ptr)> GReport;
    return GReport;
}

void ReportHandlerError(std::exception_ptr AError)
{
    if (ErrorReport()) {
        ErrorReport()(AError);
        return;
    }
    try {
        std::rethrow_exception(AError);
    } catch (const std::exception& E) {
        qWarning("Tray icon event handler failed: %s", E.what());
    } catch (...) {
        qWarning("Tray icon event handler failed");
    }
}

// Shift, Ctrl and Alt as they are when the message is handled, not when it was sent.
TShiftState KeyShiftState()
{
    const Qt::KeyboardModifiers Keys = QGuiApplication::queryKeyboardModifiers();
    TShiftState Result = 0;
    if (Keys & Qt::ShiftModifier)
        Result |= ssShift;
    if (Keys & Qt::ControlModifier)
        Result |= ssCtrl;
    if (Keys & Qt::AltModifier)
        Result |= ssAlt;
    return Result;
}

constexpr int KMaxHintChars = 63;

} // namespace

void SetTrayErrorReport(std::function<void(std::exception_ptr)> AReport)
{
    ErrorReport() = std::move(AReport);
}

// ---- TQtTrayShell ----

TQtTrayShell::TQtTrayShell()
{
    // Asked before Qt makes its first tray icon, as Qt itself does.
    const bool StatusNotifier = IsStatusNotifierTray();
    FTrayIcon = std::make_unique<QSystemTrayIcon>();
    QObject::connect(FTrayIcon.get(), &QSystemTrayIcon::activated, FTrayIcon.get(),
        [this, StatusNotifier](QSystemTrayIcon::ActivationReason AReason) {
            for (TTrayMouseMessage Message : MessagesFor(AReason, StatusNotifier))
                Post(Message);
        });
}

bool TQtTrayShell::IsStatusNotifierTray()
{
    static const bool GStatusNotifier = [] {
        // Only Qt's own platform themes (X11, Wayland) have the D-Bus tray.
        const QString Platform = QGuiApplication::platformName();
        if (Platform != QLatin1String("xcb") && !Platform.startsWith(QLatin1String("wayland")))
            return false;
        QDBusConnection Bus = QDBusConnection::sessionBus();
        const QString Watcher = QStringLiteral("org.kde.StatusNotifierWatcher");
        if (!Bus.isConnected() || !Bus.interface() || !Bus.interface()->isServiceRegistered(Watcher))
            return false;
        QDBusInterface Host(Watcher, QStringLiteral("/StatusNotifierWatcher"), Watcher, Bus);
        return Host.property("IsStatusNotifierHostRegistered").toBool();
    }();
    return GStatusNotifier;
}

TQtTrayShell::~TQtTrayShell() = default;

bool TQtTrayShell::IsAvailable() const
{
    return QSystemTrayIcon::isSystemTrayAvailable();
}

bool TQtTrayShell::Add(const QIcon& AIcon, const QString& ATip)
{
    // Without a notification area show() would only remember the wish; report the refusal
    // so the tray icon knows it is not placed.
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        return false;
    FTrayIcon->setIcon(AIcon);
    FTrayIcon->setToolTip(ATip);
    FTrayIcon->show();
    return FTrayIcon->isVisible();
}

void TQtTrayShell::Modify(const QIcon& AIcon, const QString& ATip)
{
    FTrayIcon->setIcon(AIcon);
    FTrayIcon->setToolTip(ATip);
}

void TQtTrayShell::Remove()
{
    FTrayIcon->hide();
}

bool TQtTrayShell::SetMenu(QMenu* AMenu)
{
    FTrayIcon->setContextMenu(AMenu);
    return true;
}

std::vector<TTrayMouseMessage> TQtTrayShell::MessagesFor(
    QSystemTrayIcon::ActivationReason AReason, bool AStatusNotifier)
{
    using M = TTrayMouseMessage;
    switch (AReason) {
    case QSystemTrayIcon::Trigger:
        if (AStatusNotifier)
            return { M::mmLeftDblClick, M::mmLeftUp };
        return { M::mmLeftDown, M::mmLeftUp };
    case QSystemTrayIcon::DoubleClick:
        return { M::mmLeftDblClick, M::mmLeftUp };
    case QSystemTrayIcon::Context:
        return { M::mmRightDown, M::mmRightUp };
    case QSystemTrayIcon::MiddleClick:
        return { M::mmMiddleDown, M::mmMiddleUp };
    case QSystemTrayIcon::Unknown:
        break;
    }
    return {};
}

// ---- TTrayIcon ----

TTrayIcon::TTrayIcon(QObject* AOwner, std::unique_ptr<TTrayShell> AShell)
    : QObject(AOwner)
    , FShell(AShell ? std::move(AShell) : std::make_unique<TQtTrayShell>())
{
    FShell->SetMouseHandler([this](TTrayMouseMessage AMessage) { HandleMouseMessage(AMessage); });
    FIcons.OnChange = [this] { RefreshTray(); };
    FAnimationTimer.setTimerType(Qt::PreciseTimer);
    FAnimationTimer.setInterval(FInterval);
    connect(&FAnimationTimer, &QTimer::timeout, this, &TTrayIcon::AnimationStep);
}

TTrayIcon::~TTrayIcon()
{
    FShell->SetMouseHandler(nullptr);
    if (FPopupMenu)
        FShell->SetMenu(nullptr);
    FIcons.OnChange = nullptr;
    // From here RefreshTray does nothing: switching the animation off must not put the
    // static icon back, or even add it, just before the icon goes.
    FDestroying = true;
    SetAnimated(false);
    RemoveFromTray();
}

void TTrayIcon::Loaded()
{
    if (!FLoading)
        return;
    FLoading = false;
    if (FActive)
        AddToTray();
}

void TTrayIcon::SetActive(bool AValue)
{
    if (FActive == AValue)
        return;
    FActive = AValue;
    if (FLoading)
        return;
    if (FActive)
        AddToTray();
    else
        RemoveFromTray();
}

void TTrayIcon::SetPopupMenu(QMenu* AValue)
{
    FPopupMenu = AValue;
    FShellShowsMenu = FShell->SetMenu(AValue);
}

void TTrayIcon::SetHint(const QString& AValue)
{
    FHint = AValue;
    RefreshTray();
}

void TTrayIcon::SetIcon(const QIcon& AValue)
{
    FIcon = AValue;
    RefreshTray();
}

void TTrayIcon::SetAnimated(bool AValue)
{
    const bool Effective = AValue && FIcons.Count() > 0;
    if (Effective == FAnimated)
        return;
    if (Effective) {
        FAnimated = true;
        FAnimationTimer.setInterval(FInterval);
        // Out of the tray the animation waits; AddToTray starts it.
        if (FInTray)
            FAnimationTimer.start();
    } else {
        FAnimated = false;
        FAnimationTimer.stop();
    }
    FFrameIndex = 0;
    RefreshTray();
}

void TTrayIcon::SetInterval(uint16_t AValue)
{
    FInterval = AValue;
    // A running animation takes the new period from now on (setInterval restarts it).
    FAnimationTimer.setInterval(FInterval);
}

QIcon TTrayIcon::CurrentIcon() const
{
    if (FAnimated && FIcons.Count() > 0)
        return FIcons[std::clamp(FFrameIndex, 0, FIcons.Count() - 1)];
    return FIcon;
}

QString TTrayIcon::ShortHint(const QString& AHint)
{
    const qsizetype Bar = AHint.indexOf(QLatin1Char('|'));
    QString Result = Bar < 0 ? AHint : AHint.left(Bar);
    // Count characters, not UTF-16 units, and never split a surrogate pair.
    qsizetype Pos = 0;
    for (int Chars = 0; Pos < Result.size() && Chars < KMaxHintChars; ++Chars) {
        if (Result[Pos].isHighSurrogate() && Pos + 1 < Result.size() && Result[Pos + 1].isLowSurrogate())
            Pos += 2;
        else
            ++Pos;
    }
    Result.truncate(Pos);
    return Result;
}

void TTrayIcon::FillNotifyRecord()
{
    FNotifyRecord.Icon = CurrentIcon();
    FNotifyRecord.Tip = ShortHint(FHint);
}

void TTrayIcon::AddToTray()
{
    RemoveFromTray();
    if (CurrentIcon().isNull())
        return;
    FPendingClicks = {};
    FillNotifyRecord();
    FInTray = FShell->Add(FNotifyRecord.Icon, FNotifyRecord.Tip);
    if (FAnimated)
        FAnimationTimer.start();
}

void TTrayIcon::RemoveFromTray()
{
    FShell->Remove();
    FInTray = false;
    FPendingClicks = {};
    if (FAnimated && FAnimationTimer.isActive())
        FAnimationTimer.stop();
}

void TTrayIcon::RefreshTray()
{
    if (FLoading || FDestroying)
        return;
    if (FIcons.Count() == 0)
        SetAnimated(false);
    if (FInTray) {
        if (CurrentIcon().isNull()) {
            RemoveFromTray();
        } else {
            FillNotifyRecord();
            FShell->Modify(FNotifyRecord.Icon, FNotifyRecord.Tip);
        }
    }
    if (!FInTray && FActive)
        AddToTray();
}

void TTrayIcon::AnimationStep()
{
    // The frames may have gone inside a batch of changes that has not ended yet.
    if (!FAnimated || FIcons.Count() == 0)
        return;
    if (++FFrameIndex >= FIcons.Count())
        FFrameIndex = 0;
    RefreshTray();
}

void TTrayIcon::HandleMouseMessage(TTrayMouseMessage AMessage)
{
    if (!FEnabled)
        return;
    try {
        DoMouseMessage(AMessage);
    } catch (...) {
        ReportHandlerError(std::current_exception());
    }
}

void TTrayIcon::DoMouseMessage(TTrayMouseMessage AMessage)
{
    using M = TTrayMouseMessage;
    const QPoint Pos = QCursor::pos();
    const TShiftState Shift = KeyShiftState();
    switch (AMessage) {
    case M::mmMove:
        if (OnMouseMove)
            OnMouseMove(this, Shift, Pos.x(), Pos.y());
        break;
    case M::mmLeftDown:
        MouseDown(TMouseButton::mbLeft, Shift | ssLeft, Pos);
        FPendingClicks.Left = true;
        break;
    case M::mmLeftUp:
        if (FPendingClicks.Left) {
            FPendingClicks.Left = false;
            Click(TMouseButton::mbLeft, Pos);
        }
        MouseUp(TMouseButton::mbLeft, Shift | ssLeft, Pos);
        break;
    case M::mmLeftDblClick:
        DblClick();
        MouseDown(TMouseButton::mbLeft, Shift | ssLeft | ssDouble, Pos);
        break;
    case M::mmRightDown:
        MouseDown(TMouseButton::mbRight, Shift | ssRight, Pos);
        FPendingClicks.Right = true;
        break;
    case M::mmRightUp:
        if (FPendingClicks.Right) {
            FPendingClicks.Right = false;
            Click(TMouseButton::mbRight, Pos);
        }
        MouseUp(TMouseButton::mbRight, Shift | ssRight, Pos);
        break;
    case M::mmRightDblClick:
        MouseDown(TMouseButton::mbRight, Shift | ssRight | ssDouble, Pos);
        break;
    case M::mmMiddleDown:
        MouseDown(TMouseButton::mbMiddle, Shift | ssMiddle, Pos);
        break;
    case M::mmMiddleUp:
        MouseUp(TMouseButton::mbMiddle, Shift | ssMiddle, Pos);
        break;
    case M::mmMiddleDblClick:
        MouseDown(TMouseButton::mbMiddle, Shift | ssMiddle | ssDouble, Pos);
        break;
    }
}

void TTrayIcon::Click(TMouseButton AButton, QPoint APos)
{
    // A popup menu has no switch for popping up by itself here: one that is assigned is
    // shown on the right click, by the desktop where it shows menus itself.
    if (AButton == TMouseButton::mbRight && FPopupMenu) {
        if (!FShellShowsMenu)
            FPopupMenu->popup(APos);
        return;
    }
    if (OnClick)
        OnClick(this);
}

void TTrayIcon::DblClick()
{
    QAction* Default = FPopupMenu ? FPopupMenu->defaultAction() : nullptr;
    if (Default && Default->isEnabled()) {
        Default->trigger();
        return;
    }
    if (OnDblClick)
        OnDblClick(this);
}

void TTrayIcon::MouseDown(TMouseButton AButton, TShiftState AShift, QPoint APos)
{
    if (OnMouseDown)
        OnMouseDown(this, AButton, AShift, APos.x(), APos.y());
}

void TTrayIcon::MouseUp(TMouseButton AButton, TShiftState AShift, QPoint APos)
{
    if (OnMouseUp)
        OnMouseUp(this, AButton, AShift, APos.x(), APos.y());
}
