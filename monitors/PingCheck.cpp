#include "monitors/Monitors.h"

#include "net/stack/NetException.h"

void TPingMonitor::Check()
{
    throw ENetException("The ping probe is not built yet");
}
