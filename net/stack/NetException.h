// The root of every networking error and the errors the socket stack raises itself.
// Each class carries a fixed English message; other layers add their own descendants.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <utility>

class ENetException : public std::exception {
public:
    explicit ENetException(std::string AMessage = {})
        : FMessage(std::move(AMessage))
    {
    }
    const char* what() const noexcept override { return FMessage.c_str(); }
    const std::string& Message() const noexcept { return FMessage; }

private:
    std::string FMessage;
};

// Declares an exception class that only passes its message on.
#define VARDEX_NET_EXCEPTION(Name, Parent)                                                                   \
    class Name : public Parent {                                                                             \
    public:                                                                                                  \
        explicit Name(std::string AMessage = {})                                                             \
            : Parent(std::move(AMessage))                                                                    \
        {                                                                                                    \
        }                                                                                                    \
    }

// A text that should have been a number (the runtime's conversion error).
VARDEX_NET_EXCEPTION(ENetConvertError, ENetException);

VARDEX_NET_EXCEPTION(ENetSilentException, ENetException);
VARDEX_NET_EXCEPTION(ENetConnClosedGracefully, ENetSilentException);
VARDEX_NET_EXCEPTION(ENetAlreadyConnected, ENetException);
VARDEX_NET_EXCEPTION(ENetClosedSocket, ENetException);
VARDEX_NET_EXCEPTION(ENetReadTimeout, ENetException);
VARDEX_NET_EXCEPTION(ENetWriteTimeout, ENetException);
VARDEX_NET_EXCEPTION(ENetReadLnMaxLineLengthExceeded, ENetException);
VARDEX_NET_EXCEPTION(ENetConnectTimeout, ENetException);
VARDEX_NET_EXCEPTION(ENetConnectException, ENetException);
VARDEX_NET_EXCEPTION(ENetInvalidServiceName, ENetException);
VARDEX_NET_EXCEPTION(ENetInvalidSocket, ENetException);

// No socket could be made for want of a descriptor or of kernel memory: a fault of the
// machine that runs the check, not of the peer. Cause says which ("Too many open files.").
class ENetOutOfResources : public ENetInvalidSocket {
public:
    ENetOutOfResources(std::string AMessage, std::string ACause)
        : ENetInvalidSocket(std::move(AMessage))
        , Cause(std::move(ACause))
    {
    }
    std::string Cause;
};

// Whether AError says that this process ran short of descriptors, threads or memory (no
// descriptor, no eventfd, no thread, no socket buffer), so that what failed says nothing about
// the peer. Empty when it is anything else; otherwise the shortage as one sentence ("Too many
// open files.").
std::string ResourceShortage(const std::exception& AError);
VARDEX_NET_EXCEPTION(ENetIcmpException, ENetException);

class ENetProtocolReplyError : public ENetException {
public:
    ENetProtocolReplyError(int32_t ACode, std::string AMessage)
        : ENetException(std::move(AMessage))
        , ReplyErrorCode(ACode)
    {
    }
    int32_t ReplyErrorCode;
};

class ENetSSLProtocolReplyError : public ENetProtocolReplyError {
public:
    using ENetProtocolReplyError::ENetProtocolReplyError;
};

VARDEX_NET_EXCEPTION(ENetSocksError, ENetException);
VARDEX_NET_EXCEPTION(ENetSocksRequestFailed, ENetSocksError);
VARDEX_NET_EXCEPTION(ENetSocksRequestServerFailed, ENetSocksError);
VARDEX_NET_EXCEPTION(ENetSocksRequestIdentFailed, ENetSocksError);
VARDEX_NET_EXCEPTION(ENetSocksUnknownError, ENetSocksError);
VARDEX_NET_EXCEPTION(ENetSocksServerRespondError, ENetSocksError);
VARDEX_NET_EXCEPTION(ENetSocksAuthMethodError, ENetSocksError);
VARDEX_NET_EXCEPTION(ENetSocksAuthError, ENetSocksError);
VARDEX_NET_EXCEPTION(ENetSocksServerGeneralError, ENetSocksError);
VARDEX_NET_EXCEPTION(ENetSocksServerPermissionError, ENetSocksError);
VARDEX_NET_EXCEPTION(ENetSocksServerNetUnreachableError, ENetSocksError);
VARDEX_NET_EXCEPTION(ENetSocksServerHostUnreachableError, ENetSocksError);
VARDEX_NET_EXCEPTION(ENetSocksServerConnectionRefusedError, ENetSocksError);
VARDEX_NET_EXCEPTION(ENetSocksServerTTLExpiredError, ENetSocksError);
VARDEX_NET_EXCEPTION(ENetSocksServerCommandError, ENetSocksError);
VARDEX_NET_EXCEPTION(ENetSocksServerAddressError, ENetSocksError);

class ENetSocketError : public ENetException {
public:
    ENetSocketError(int32_t ACode, std::string AMessage)
        : ENetException(std::move(AMessage))
        , ErrorCode(ACode)
    {
    }
    int32_t ErrorCode;
};

// Kept for completeness of the family: the socket functions are bound at build time
// on this platform, so the loader that raised it never fails.
class ENetWS2StubError : public ENetException {
public:
    ENetWS2StubError(std::string ATitle, uint32_t ACode, std::string ASystemText)
        : ENetException(ACode == 0 ? ATitle : ATitle + ": " + ASystemText)
        , SystemErrorCode(ACode)
        , SystemErrorText(std::move(ASystemText))
        , Title(std::move(ATitle))
    {
    }
    uint32_t SystemErrorCode;
    std::string SystemErrorText;
    std::string Title;
};

VARDEX_NET_EXCEPTION(ENetStackError, ENetException);
VARDEX_NET_EXCEPTION(ENetStackInitializationFailed, ENetStackError);
VARDEX_NET_EXCEPTION(ENetStackSetSizeExceeded, ENetStackError);

VARDEX_NET_EXCEPTION(ENetSocketHandleError, ENetException);
VARDEX_NET_EXCEPTION(ENetPackageSizeTooBig, ENetSocketHandleError);
VARDEX_NET_EXCEPTION(ENetNotAllBytesSent, ENetSocketHandleError);
VARDEX_NET_EXCEPTION(ENetCouldNotBindSocket, ENetSocketHandleError);
VARDEX_NET_EXCEPTION(ENetCanNotBindPortInRange, ENetSocketHandleError);
VARDEX_NET_EXCEPTION(ENetInvalidPortRange, ENetSocketHandleError);
