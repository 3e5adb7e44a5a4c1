#include "monitors/Monitors.h"

#include "net/stack/NetException.h"

void TWebMonitor::Check()
{
    throw ENetException("The web probe is not built yet");
}
