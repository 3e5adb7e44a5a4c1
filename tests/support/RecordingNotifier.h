// A notifier that keeps what it is asked to show, in order, instead of showing it.
#pragma once

#include "notify/Notifications.h"

#include <vector>

struct TRecordingNotifier : TDesktopNotifier {
    std::vector<TNotification> Shown;
    void Show(const TNotification& ANotification) override { Shown.push_back(ANotification); }
};
