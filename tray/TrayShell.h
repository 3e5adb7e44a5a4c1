// The program's icon in the desktop's notification area: a static icon, or an animation
// through a list of frames, with a tooltip and mouse events.
#pragma once

#include "tray/IcoList.h"

#include <QIcon>
#include <QMenu>
#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QString>
#include <QSystemTrayIcon>
#include <QTimer>

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

class TTrayIcon;

// The mouse messages a notification area can report about its icon.
enum class TTrayMouseMessage {
    mmMove,
    mmLeftDown,
    mmLeftUp,
    mmLeftDblClick,
    mmRightDown,
    mmRightUp,
    mmRightDblClick,
    mmMiddleDown,
    mmMiddleUp,
    mmMiddleDblClick
};

enum class TMouseButton { mbLeft, mbRight, mbMiddle };

// Keys held and buttons involved when a mouse event is raised.
enum TShiftFlag : uint32_t {
    ssShift = 1u << 0,
    ssAlt = 1u << 1,
    ssCtrl = 1u << 2,
    ssLeft = 1u << 3,
    ssRight = 1u << 4,
    ssMiddle = 1u << 5,
    ssDouble = 1u << 6
};
using TShiftState = uint32_t;

// The three operations on the notification area, and the channel back for its mouse
// messages. TTrayIcon talks to the desktop only through this, so that another desktop
// facility, or a recording stand-in, can take the place of the Qt one.
class TTrayShell {
public:
    using TMouseHandler = std::function<void(TTrayMouseMessage)>;

    virtual ~TTrayShell() = default;

    // Whether the desktop has a notification area at all right now.
    virtual bool IsAvailable() const = 0;
    // Places the icon; true when the desktop accepted it.
    virtual bool Add(const QIcon& AIcon, const QString& ATip) = 0;
    // Changes the icon and tooltip of the placed icon.
    virtual void Modify(const QIcon& AIcon, const QString& ATip) = 0;
    // Takes the icon away; harmless when it is not placed.
    virtual void Remove() = 0;
    // Hands the icon's context menu (or none) to the desktop. True when the desktop shows
    // it by itself, so that the icon must not show it again on a right click.
    virtual bool SetMenu(QMenu* AMenu)
    {
        (void)AMenu;
        return false;
    }

    // Mouse messages go to AHandler from now on; an empty handler drops them.
    void SetMouseHandler(TMouseHandler AHandler) { FMouseHandler = std::move(AHandler); }

protected:
    // Hands one mouse message to the handler, if there is one.
    void Post(TTrayMouseMessage AMessage)
    {
        if (FMouseHandler)
            FMouseHandler(AMessage);
    }

private:
    TMouseHandler FMouseHandler;
};

// The notification area through QSystemTrayIcon. Qt reports activations, not raw button
// transitions, so each activation is translated into the messages the desktop would have
// sent for it (see MessagesFor); Qt reports neither mouse moves nor right or middle
// double-clicks, so those messages never arrive here.
//
// Qt serves two kinds of tray: the X11 system tray (XEmbed), which reports the clicks
// themselves, and the D-Bus StatusNotifierItem hosts of current desktops (KDE Plasma, GNOME's
// AppIndicator extension, waybar), which report an activation for a click and never a
// double-click, and which show the menu themselves. Qt takes the D-Bus tray where a
// StatusNotifierWatcher with a registered host is on the session bus when the first tray
// icon is made; IsStatusNotifierTray asks the same question at the same moment.
class TQtTrayShell : public TTrayShell {
public:
    TQtTrayShell();
    ~TQtTrayShell() override;

    bool IsAvailable() const override;
    bool Add(const QIcon& AIcon, const QString& ATip) override;
    void Modify(const QIcon& AIcon, const QString& ATip) override;
    void Remove() override;
    // Qt shows the menu itself: on a right click on an X11 tray, and through the host on a
    // D-Bus tray, which gets it exported over D-Bus.
    bool SetMenu(QMenu* AMenu) override;

    // The messages one Qt activation stands for, in the order the desktop sends them:
    // a click is a press and a release; a double-click is the second press, reported as
    // a double-click, and its release. On a D-Bus tray the activation (a click there) is
    // that desktop's way to open the program, which the X11 tray's double-click is: it
    // stands for a double-click.
    static std::vector<TTrayMouseMessage> MessagesFor(
        QSystemTrayIcon::ActivationReason AReason, bool AStatusNotifier = false);

    // Whether Qt uses a D-Bus StatusNotifierItem host in this process (decided once).
    static bool IsStatusNotifierTray();

    QSystemTrayIcon& SystemTrayIcon() { return *FTrayIcon; }

private:
    std::unique_ptr<QSystemTrayIcon> FTrayIcon;
};

// Errors raised by the tray icon's event handlers go here (the application's error
// report). Without a report installed they are written as a Qt warning, since letting an
// exception run through Qt's event dispatch is not allowed.
void SetTrayErrorReport(std::function<void(std::exception_ptr)> AReport);

// The tray icon component. It lives on the GUI thread; so does its animation, which runs
// on a QTimer, so the frame index, the animation flag and the shell are never shared with
// another thread.
//
// Like a component read from a form, a new tray icon is still loading: its properties can
// be set without touching the desktop, and Loaded() ends the loading and, when Active,
// places the icon. The icon so appears once, already with its final icon and tooltip.
class TTrayIcon : public QObject {
    Q_OBJECT

public:
    using TNotifyEvent = std::function<void(TTrayIcon* ASender)>;
    using TMouseEvent
        = std::function<void(TTrayIcon* ASender, TMouseButton AButton, TShiftState AShift, int AX, int AY)>;
    using TMouseMoveEvent = std::function<void(TTrayIcon* ASender, TShiftState AShift, int AX, int AY)>;

    // AShell defaults to the Qt notification area.
    explicit TTrayIcon(QObject* AOwner = nullptr, std::unique_ptr<TTrayShell> AShell = {});
    ~TTrayIcon() override;

    void Loaded();
    bool IsLoading() const { return FLoading; }

    // Published properties.
    bool Active() const { return FActive; }
    void SetActive(bool AValue);
    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool AValue) { FEnabled = AValue; }
    const QString& Hint() const { return FHint; }
    void SetHint(const QString& AValue);
    const QIcon& Icon() const { return FIcon; }
    void SetIcon(const QIcon& AValue);
    TIconList& Icons() { return FIcons; }
    const TIconList& Icons() const { return FIcons; }
    void SetIcons(const TIconList& AValue) { FIcons.Assign(AValue); }
    bool Animated() const { return FAnimated; }
    void SetAnimated(bool AValue);
    uint16_t Interval() const { return FInterval; }
    void SetInterval(uint16_t AValue);
    QMenu* PopupMenu() const { return FPopupMenu; }
    void SetPopupMenu(QMenu* AValue);
    bool ShowDesign() const { return FShowDesign; }
    void SetShowDesign(bool AValue) { FShowDesign = AValue; }

    TNotifyEvent OnClick;
    TNotifyEvent OnDblClick;
    TMouseMoveEvent OnMouseMove;
    TMouseEvent OnMouseDown;
    TMouseEvent OnMouseUp;

    // Whether the desktop offers a notification area; where it does not, nothing could
    // bring back a window hidden to the tray.
    bool IsTrayAvailable() const { return FShell->IsAvailable(); }

    // The icon shown now: the current frame while animated with frames, else Icon.
    QIcon CurrentIcon() const;
    // The tooltip as placed: AHint up to its first "|", at most 63 characters.
    static QString ShortHint(const QString& AHint);

    void AddToTray();
    void RemoveFromTray();
    void RefreshTray();

    bool InTray() const { return FInTray; }
    int32_t FrameIndex() const { return FFrameIndex; }
    bool IsAnimationRunning() const { return FAnimationTimer.isActive(); }
    bool LeftClickPending() const { return FPendingClicks.Left; }
    bool RightClickPending() const { return FPendingClicks.Right; }
    TTrayShell& Shell() { return *FShell; }

private:
    struct TPendingClicks {
        bool Left = false;
        bool Right = false;
    };
    // What was last sent to the notification area.
    struct TNotifyRecord {
        QIcon Icon;
        QString Tip;
    };

    void FillNotifyRecord();
    void AnimationStep();
    void HandleMouseMessage(TTrayMouseMessage AMessage);
    void DoMouseMessage(TTrayMouseMessage AMessage);
    void Click(TMouseButton AButton, QPoint APos);
    void DblClick();
    void MouseDown(TMouseButton AButton, TShiftState AShift, QPoint APos);
    void MouseUp(TMouseButton AButton, TShiftState AShift, QPoint APos);

    std::unique_ptr<TTrayShell> FShell;
    bool FActive = true;
    bool FEnabled = true;
    QString FHint;
    QIcon FIcon;
    TIconList FIcons;
    bool FAnimated = false;
    uint16_t FInterval = 150;
    QPointer<QMenu> FPopupMenu;
    // The shell shows FPopupMenu by itself.
    bool FShellShowsMenu = false;
    bool FShowDesign = false;

    bool FLoading = true;
    bool FDestroying = false;
    bool FInTray = false;
    TPendingClicks FPendingClicks;
    int32_t FFrameIndex = -1;
    TNotifyRecord FNotifyRecord;
    QTimer FAnimationTimer;
};
