#include "net/tcp/NetIOHandler.h"

TNetIOHandler::TNetIOHandler(TComponent* AOwner)
    : TNetComponent(AOwner)
{
}

TNetIOHandler::~TNetIOHandler()
{
    TNetIOHandler::CloseLink();
}

void TNetIOHandler::AcceptDone() { }

void TNetIOHandler::CloseLink() { }

void TNetIOHandler::ConnectTo(const std::string& AHost, int32_t APort, const std::string& ABoundIP,
    int32_t ABoundPort, int32_t ABoundPortMin, int32_t ABoundPortMax, int32_t ATimeout)
{
    (void)AHost;
    (void)APort;
    (void)ABoundIP;
    (void)ABoundPort;
    (void)ABoundPortMin;
    (void)ABoundPortMax;
    (void)ATimeout;
}

void TNetIOHandler::PrepareLink() { }

int32_t TNetIOHandler::TryReadSome(void* ABuffer, int32_t ALength)
{
    (void)ABuffer;
    (void)ALength;
    return NetNothingToRead;
}

int32_t TNetIOHandler::TryWriteSome(const void* ABuffer, int32_t ALength)
{
    (void)ABuffer;
    (void)ALength;
    return NetNoRoomToWrite;
}

bool TNetIOHandler::CanWrite(int32_t ATimeout)
{
    (void)ATimeout;
    return true;
}
