#include "net/icmp/NetRawClient.h"

TNetRawClient::TNetRawClient(TComponent* AOwner)
    : TNetRawBase(AOwner)
{
}
