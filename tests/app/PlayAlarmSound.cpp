// Plays the alarm's failure sound through the real player and waits for it to be heard: the
// program tests/app/alarm_sound.sh runs against a sound server of its own.
#include "app/AlarmSound.h"

#include <chrono>
#include <thread>

int main()
{
    TCanberraPlayer Player;
    Player.Play(TAlarmSound::asFailure);
    // libcanberra plays on a thread of its own; the sound lasts about a second.
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    return 0;
}
