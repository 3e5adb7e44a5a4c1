// One check of a monitor on the test's own thread, run the way a front end runs one on the
// engine, so that a test sees what the operator would see without an engine or a window.
#pragma once

#include "monitors/Monitors.h"

#include <string>
#include <vector>

namespace testsupport {

// msChecking while the probe runs, then the probe's result applied with the time the check
// ended. Returns the statuses the monitor showed, in order. What Probe raises passes on, with
// the monitor left at msChecking.
// AOfferHandOff: the probe is offered a hand-off as the engine offers one, and a check handed
// off is waited for (up to 15 s) on this thread.
std::vector<TMonitorStatus> CheckNow(TServiceMonitor& AMonitor, bool AOfferHandOff = false);
// The same statuses as numbers: "1,3" for msChecking, then msError.
std::string StatusesText(const std::vector<TMonitorStatus>& AStatuses);

} // namespace testsupport
