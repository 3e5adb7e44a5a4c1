#include "app/AlarmSound.h"

#include <canberra.h>

TCanberraPlayer::~TCanberraPlayer()
{
    if (FContext)
        ca_context_destroy(FContext);
}

void TCanberraPlayer::Play(TAlarmSound ASound)
{
    if (!FContext && !FFailed)
        FFailed = ca_context_create(&FContext) != CA_SUCCESS;
    if (!FContext)
        return;
    const bool Failure = ASound == TAlarmSound::asFailure;
    // Played on libcanberra's own thread; a desktop without a sound server only makes it
    // return an error, which there is nobody to tell.
    ca_context_play(FContext, 0, CA_PROP_EVENT_ID,
        Failure ? "network-connectivity-lost" : "network-connectivity-established", CA_PROP_EVENT_DESCRIPTION,
        Failure ? "A monitored service failed" : "A monitored service is back", CA_PROP_APPLICATION_NAME,
        "Vardex", nullptr);
}

TAlarmSoundNotifier::TAlarmSoundNotifier(TDesktopNotifier& ANotifier, std::shared_ptr<TSoundPlayer> APlayer,
    TSoundPolicy::TClock AClock, QObject* AParent)
    : QObject(AParent)
    , FNotifier(ANotifier)
    , FPlayer(std::move(APlayer))
    , FClock(std::move(AClock))
    , FPolicy(std::make_unique<TSoundPolicy>(FClock))
{
    FTimer.setSingleShot(true);
    connect(&FTimer, &QTimer::timeout, this, &TAlarmSoundNotifier::Poll);
}

void TAlarmSoundNotifier::Show(const TNotification& ANotification)
{
    FNotifier.Show(ANotification);
    if (FEnabled)
        Play(FPolicy->Notified(ANotification.OK));
}

void TAlarmSoundNotifier::SetEnabled(bool AEnabled)
{
    FEnabled = AEnabled;
    if (!AEnabled) {
        FTimer.stop();
        FPolicy = std::make_unique<TSoundPolicy>(FClock);
    }
}

void TAlarmSoundNotifier::Poll()
{
    Play(FPolicy->Due());
}

void TAlarmSoundNotifier::Play(std::optional<TAlarmSound> ASound)
{
    if (ASound)
        FPlayer->Play(*ASound);
    const int64_t Next = FPolicy->NextDueMs();
    if (Next >= 0)
        FTimer.start(static_cast<int>(std::max<int64_t>(0, Next - FClock())));
}
