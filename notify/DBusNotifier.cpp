#include "notify/DBusNotifier.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QRegularExpression>
#include <QStringList>
#include <QVariantMap>

#include <algorithm>

namespace {

const QString Service = QStringLiteral("org.freedesktop.Notifications");
const QString Path = QStringLiteral("/org/freedesktop/Notifications");
const QString Interface = QStringLiteral("org.freedesktop.Notifications");

// The urgency hint: a failure stays until the operator sees it on servers that keep
// critical notifications; a recovery is normal.
constexpr uchar UrgencyNormal = 1;
constexpr uchar UrgencyCritical = 2;

} // namespace

TDBusNotifier::TDBusNotifier(QDBusConnection ABus, QObject* AParent)
    : QObject(AParent)
    , FBus(std::move(ABus))
{
}

QString TDBusNotifier::Summary(const TNotification& ANotification)
{
    return QString::fromStdString(ANotification.Monitor)
        + (ANotification.OK ? QStringLiteral(": OK") : QStringLiteral(": ERROR"));
}

QString TDBusNotifier::Body(const TNotification& ANotification, bool AMarkup)
{
    // The networking layer's reasons break their lines with CR LF ("Socket Error # 10061",
    // CR LF, "Connection refused."): one line of a notification, whose lines are the body's.
    QString Reason = QString::fromStdString(ANotification.Reason);
    static const QRegularExpression LineBreaks(QStringLiteral("[\\r\\n]+"));
    Reason.replace(LineBreaks, QStringLiteral(" "));
    if (AMarkup)
        Reason = Reason.toHtmlEscaped();
    QStringList Lines;
    if (!Reason.isEmpty())
        Lines << Reason;
    if (ANotification.OK && ANotification.DownMs >= 0)
        Lines << tr("Был недоступен: %1").arg(DurationText(ANotification.DownMs));
    if (ANotification.Changes > 1)
        Lines << tr("Изменений за минуту: %1").arg(ANotification.Changes);
    return Lines.join(QLatin1Char('\n'));
}

QString TDBusNotifier::DurationText(int64_t AMs)
{
    // Two units at most, the larger first: "2 ч 5 мин", "5 мин 12 с", "40 с".
    const int64_t Seconds = AMs / 1000;
    const int64_t Days = Seconds / 86400, Hours = Seconds / 3600 % 24, Minutes = Seconds / 60 % 60;
    if (Days > 0)
        return tr("%1 д %2 ч").arg(Days).arg(Hours);
    if (Hours > 0)
        return tr("%1 ч %2 мин").arg(Hours).arg(Minutes);
    if (Minutes > 0)
        return tr("%1 мин %2 с").arg(Minutes).arg(Seconds % 60);
    return tr("%1 с").arg(Seconds);
}

void TDBusNotifier::Show(const TNotification& ANotification)
{
    if (!FBus.isConnected())
        return;
    if (FCapabilities == TCapabilities::cpKnown) {
        Send(ANotification);
        return;
    }
    if (FWaiting.size() >= QueueLimit)
        FWaiting.pop_front();
    FWaiting.push_back(ANotification);
    if (FCapabilities == TCapabilities::cpUnknown)
        AskCapabilities();
}

void TDBusNotifier::AskCapabilities()
{
    FCapabilities = TCapabilities::cpAsking;
    const QDBusMessage Call
        = QDBusMessage::createMethodCall(Service, Path, Interface, QStringLiteral("GetCapabilities"));
    auto* Watcher = new QDBusPendingCallWatcher(FBus.asyncCall(Call), this);
    connect(Watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* AWatcher) {
        AWatcher->deleteLater();
        const QDBusPendingReply<QStringList> Reply = *AWatcher;
        std::deque<TNotification> Waiting;
        Waiting.swap(FWaiting);
        if (Reply.isError()) {
            // No service now: what waited is dropped, the next notification asks again.
            FCapabilities = TCapabilities::cpUnknown;
            return;
        }
        FCapabilities = TCapabilities::cpKnown;
        FMarkup = Reply.value().contains(QStringLiteral("body-markup"));
        for (const TNotification& One : Waiting)
            Send(One);
    });
}

void TDBusNotifier::Send(const TNotification& ANotification)
{
    QDBusMessage Call = QDBusMessage::createMethodCall(Service, Path, Interface, QStringLiteral("Notify"));
    QVariantMap Hints;
    Hints.insert(
        QStringLiteral("urgency"), QVariant::fromValue(ANotification.OK ? UrgencyNormal : UrgencyCritical));
    Hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("vardex"));
    Call << QStringLiteral("Vardex") << uint(0) << QString() << Summary(ANotification)
         << Body(ANotification, FMarkup) << QStringList() << Hints << int(-1);
    // The id in the reply is not needed: each change is a notification of its own. A service
    // that went away meanwhile answers with an error, which is dropped with the call.
    auto* Watcher = new QDBusPendingCallWatcher(FBus.asyncCall(Call), this);
    connect(Watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* AWatcher) {
        AWatcher->deleteLater();
        if (AWatcher->isError())
            FCapabilities = TCapabilities::cpUnknown;
    });
}

// ---------------------------------------------------------------------------------------
// TDesktopNotifications

TDesktopNotifications::TDesktopNotifications(
    TDesktopNotifier& ANotifier, TNotificationPolicy::TClock AClock, QObject* AParent)
    : QObject(AParent)
    , FNotifier(ANotifier)
    , FClock(AClock)
    , FPolicy(std::move(AClock))
{
    FTimer.setSingleShot(true);
    connect(&FTimer, &QTimer::timeout, this, &TDesktopNotifications::Poll);
}

void TDesktopNotifications::Verdict(
    const void* AKey, const std::string& AName, bool AOK, const std::string& AReason, int64_t AStartMs)
{
    for (const TNotification& One : FPolicy.Verdict(AKey, AName, AOK, AReason, AStartMs))
        FNotifier.Show(One);
    Arm();
}

void TDesktopNotifications::Poll()
{
    for (const TNotification& One : FPolicy.Due())
        FNotifier.Show(One);
    Arm();
}

void TDesktopNotifications::Arm()
{
    const int64_t Next = FPolicy.NextDueMs();
    if (Next < 0) {
        FTimer.stop();
        return;
    }
    const int64_t Wait = std::clamp<int64_t>(Next - FClock(), 0, TNotificationPolicy::MinGapMs);
    FTimer.start(static_cast<int>(Wait));
}
