// The window's texts made from values: times, refused values and why a monitor is not
// checked, and the one rule for what a name or a value may hold.
#pragma once

#include "monitors/Monitors.h"

#include <QString>

#include <vector>

// A date-time in the locale's short date and long time format; the time is left out at
// exactly midnight, and 0 (never) gives an empty text.
QString DateTimeText(TDateTime AValue);

// What a value that its key cannot take is, for the status bar and the tooltip.
QString BadValueTip(const TBadValue& AValue);
// Why the timer leaves AMonitor alone ("Не проверяется: Interval равен 0"); empty while it
// is checked.
QString NotCheckedText(const TServiceMonitor& AMonitor);

// One monitor in error, for the summary: its name and whether the operator acknowledged it.
struct TDownMonitor {
    QString Name;
    bool Acknowledged = false;
};

// "Vardex: в сбое 2 из 12: Billing, Shop ✓" (an acknowledged failure with a tick): the
// monitors in error among AChecked that the timer checks, named as far as AMaxChars allows
// (0: all of them), the rest as "…"; "Vardex" while none is in error.
QString DownSummaryText(const std::vector<TDownMonitor>& ADown, int AChecked, int AMaxChars);

// AText with every run of control characters (line breaks, tabs, ...) replaced by one blank:
// what a name or a value may hold, since the list file gives every Key=Value its own line.
QString WithoutControls(const QString& AText);
