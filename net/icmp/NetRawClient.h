// The raw-socket component with its receive time-out open to its users.
#pragma once

#include "net/icmp/NetRawBase.h"

class TNetRawClient : public TNetRawBase {
public:
    explicit TNetRawClient(TComponent* AOwner = nullptr);

    using TNetRawBase::ReceiveTimeout;
};
