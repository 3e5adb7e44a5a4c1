// The alarm heard: the sound theme's events played with the desktop's notifications of a
// failure and a recovery, when the operator turned it on ("Звук при сбое").
#pragma once

#include "notify/Notifications.h"
#include "notify/SoundPolicy.h"

#include <QObject>
#include <QTimer>

#include <memory>

// What plays a sound; the system's sound theme through libcanberra, tests a stand-in.
class TSoundPlayer {
public:
    virtual ~TSoundPlayer() = default;
    // Never blocks and never raises: where no sound can be played, nothing is heard.
    virtual void Play(TAlarmSound ASound) = 0;
};

// The freedesktop sound theme's "network-connectivity-lost" for a failure and
// "network-connectivity-established" for a recovery, played by libcanberra through the
// desktop's sound server. Its context is made at the first sound, so a window that is never
// asked for one opens no connection to a sound server.
class TCanberraPlayer final : public TSoundPlayer {
public:
    TCanberraPlayer() = default;
    ~TCanberraPlayer() override;
    TCanberraPlayer(const TCanberraPlayer&) = delete;
    TCanberraPlayer& operator=(const TCanberraPlayer&) = delete;

    void Play(TAlarmSound ASound) override;

private:
    struct ca_context* FContext = nullptr;
    bool FFailed = false;
};

// Shows every notification through ANotifier and, while turned on, has APlayer sound it by
// the rules of TSoundPolicy (a timer plays what a gap held back). Acknowledged failures are
// not notified, so they are not heard either.
class TAlarmSoundNotifier final : public QObject, public TDesktopNotifier {
    Q_OBJECT

public:
    // ANotifier must outlive this object. AClock: monotonic milliseconds.
    TAlarmSoundNotifier(TDesktopNotifier& ANotifier, std::shared_ptr<TSoundPlayer> APlayer,
        TSoundPolicy::TClock AClock, QObject* AParent = nullptr);

    void Show(const TNotification& ANotification) override;

    bool Enabled() const { return FEnabled; }
    // Off: nothing is heard, and what a gap held back is dropped.
    void SetEnabled(bool AEnabled);

private:
    void Play(std::optional<TAlarmSound> ASound);
    void Poll();

    TDesktopNotifier& FNotifier;
    std::shared_ptr<TSoundPlayer> FPlayer;
    TSoundPolicy::TClock FClock;
    std::unique_ptr<TSoundPolicy> FPolicy;
    QTimer FTimer;
    bool FEnabled = false;
};
