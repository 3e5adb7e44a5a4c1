// Notifications through the desktop's notification service (org.freedesktop.Notifications
// on the session bus), and the glue that feeds the policy's decisions to a notifier on the
// window's thread.
#pragma once

#include "notify/Notifications.h"

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QTimer>

#include <deque>
#include <memory>

// Every call is asynchronous, so a slow or hung service never stalls the window. Where no
// bus or no service runs, notifications are dropped without a word: the window and the tray
// still show every status.
//
// A body may be read as markup by servers that say so ("body-markup"), and a reason can hold
// any text a server sent; so the capabilities are asked first, and the body escaped only for
// such servers. Notifications wait for that answer in a short queue; when the service does not
// answer they are dropped, and the next one asks again (a service may start later).
class TDBusNotifier : public QObject, public TDesktopNotifier {
    Q_OBJECT

public:
    static constexpr size_t QueueLimit = 16;

    explicit TDBusNotifier(QDBusConnection ABus = QDBusConnection::sessionBus(), QObject* AParent = nullptr);

    void Show(const TNotification& ANotification) override;

    // "NAME: ERROR" or "NAME: OK".
    static QString Summary(const TNotification& ANotification);
    // The reason (escaped when AMarkup), and for folded changes how many there were.
    static QString Body(const TNotification& ANotification, bool AMarkup);
    // How long an outage lasted, in the two largest units: "5 мин 12 с".
    static QString DurationText(int64_t AMs);

private:
    enum class TCapabilities { cpUnknown, cpAsking, cpKnown };

    void AskCapabilities();
    void Send(const TNotification& ANotification);

    QDBusConnection FBus;
    TCapabilities FCapabilities = TCapabilities::cpUnknown;
    bool FMarkup = false;
    std::deque<TNotification> FWaiting;
};

// The policy on the window's thread: verdicts in, notifications out to a notifier, with a
// timer for the notifications a minute holds back.
class TDesktopNotifications : public QObject, public TNotificationFeed {
    Q_OBJECT

public:
    // ANotifier must outlive this object. AClock: monotonic milliseconds.
    TDesktopNotifications(
        TDesktopNotifier& ANotifier, TNotificationPolicy::TClock AClock, QObject* AParent = nullptr);

    void Verdict(const void* AKey, const std::string& AName, bool AOK, const std::string& AReason,
        int64_t AStartMs = -1) override;
    void Forget(const void* AKey) override { FPolicy.Forget(AKey); }
    void Restore(const void* AKey, const std::string& AName, bool AOK, int64_t ADownSinceMs) override
    {
        FPolicy.Restore(AKey, AName, AOK, ADownSinceMs);
    }
    void Acknowledge(const void* AKey) override
    {
        FPolicy.Acknowledge(AKey);
        Arm();
    }
    // Shows what is due now and sets the timer for the next; the timer calls it.
    void Poll();

    bool TimerActive() const { return FTimer.isActive(); }
    int TimerInterval() const { return FTimer.interval(); }

private:
    void Arm();

    TDesktopNotifier& FNotifier;
    TNotificationPolicy::TClock FClock;
    TNotificationPolicy FPolicy;
    QTimer FTimer;
};
