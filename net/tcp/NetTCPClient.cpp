#include "net/tcp/NetTCPClient.h"

#include "net/tcp/NetIOHandlerSocket.h"

TNetTCPClient::TNetTCPClient(TComponent* AOwner)
    : TNetTCPConnection(AOwner)
{
}

void TNetTCPClient::SetHost(const std::string& AValue)
{
    FHost = AValue;
}

void TNetTCPClient::SetPort(int32_t AValue)
{
    FPort = AValue;
}

void TNetTCPClient::FireConnected()
{
    if (OnConnected)
        OnConnected(this);
}

void TNetTCPClient::Establish(int32_t ATimeout)
{
    if (!FIOHandler) {
        auto* Handler = new TNetIOHandlerSocket(this);
        SetIOHandler(Handler);
        Handler->OnStatus = OnStatus;
        FOwnsIOHandler = true;
    } else if (FIOHandler->LinkOpen()) {
        throw ENetAlreadyConnected(RSAlreadyConnected);
    }
    try {
        FIOHandler->PrepareLink();
        ClearInput();
        FIOHandler->ConnectTo(FHost, FPort, BoundIP, BoundPort, BoundPortLow, BoundPortHigh, ATimeout);
        if (FIntercept)
            FIntercept->Connect(this);
        ReportStatus(TNetStatus::hsConnected, { FHost });
        FireConnected();
    } catch (...) {
        DropLink();
        throw;
    }
}

std::string TNetTCPClient::FetchAll()
{
    std::string Result;
    try {
        Establish(-1);
        Result = ReadAll();
    } catch (...) {
        Hangup();
        throw;
    }
    Hangup();
    return Result;
}
