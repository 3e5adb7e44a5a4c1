// The socket stack over the Linux socket interface, bound at build time.
#pragma once

#include "net/stack/NetStack.h"

#include <array>
#include <cerrno>

class TNetStackLinux : public TNetStack {
public:
    TNetStackLinux() = default;

    void RefreshLocalAddresses() override;
    std::string LocalAddress() override;
    const std::vector<std::string>& LocalAddresses() override;
    int AcceptConnection(int ASocket, std::string& AIP, int32_t& APort) override;
    int32_t BindSocket(int ASocket, int32_t AFamily, const std::string& AIP, int32_t APort) override;
    int32_t CloseSocketHandle(int ASocket) override;
    int32_t ConnectSocket(int ASocket, int32_t AFamily, const std::string& AIP, int32_t APort) override;
    std::string HostByName(const std::string& AHostName) override;
    std::vector<TNetHostAddress> HostAddresses(const std::string& AHostName, int32_t ATimeout) override;
    std::string HostName() override;
    std::string HostByAddress(const std::string& AAddress) override;
    int32_t ServicePort(const std::string& AService) override;
    std::vector<std::string> ServiceNames(int32_t APort) override;
    uint16_t HostToNetShort(uint16_t AValue) override;
    int32_t ListenSocket(int ASocket, int32_t ABacklog) override;
    uint16_t NetToHostShort(uint16_t AValue) override;
    uint32_t HostToNetLong(uint32_t AValue) override;
    uint32_t NetToHostLong(uint32_t AValue) override;
    int32_t ReceiveData(int ASocket, void* ABuffer, int32_t AFlags, int32_t ALength) override;
    int32_t ReceiveDataFrom(int ASocket, void* ABuffer, int32_t ALength, int32_t AFlags, std::string& AIP,
        int32_t& APort) override;
    int32_t SelectSockets(
        TNetSocketList* ARead, TNetSocketList* AWrite, TNetSocketList* AError, int32_t ATimeout) override;
    int32_t SendData(int ASocket, const void* ABuffer, int32_t AFlags, int32_t ALength) override;
    int32_t SendDataTo(int ASocket, const void* ABuffer, int32_t AFlags, int32_t ALength,
        const std::string& AIP, int32_t APort) override;
    int32_t SetSocketOption(
        int ASocket, int32_t ALevel, int32_t AOption, const void* AValue, int32_t ALength) override;
    int OpenSocket(int32_t AFamily, int32_t AType, int32_t AProtocol) override;
    int32_t ShutdownSocket(int ASocket, int32_t AHow) override;
    std::string SocketErrorText(int32_t ACode) override;
    int32_t LastSocketError() override;
    void PeerAddress(int ASocket, int32_t& AFamily, std::string& AIP, int32_t& APort) override;
    void SocketAddress(int ASocket, int32_t& AFamily, std::string& AIP, int32_t& APort) override;
    int32_t GetSocketOption(
        int ASocket, int32_t ALevel, int32_t AOption, void* AValue, int32_t& ALength) override;
    std::string AddressToString(const TNetAddressBytes& AAddress) override;
    TNetAddressBytes StringToAddressBytes(const std::string& AText) override;
    int32_t StartupSockets() override;

    // The one translation from errno values to the stack's error codes.
    static int32_t ErrnoToSocketError(int AErrno);
    // The same for the resolver's results (getaddrinfo, getnameinfo); AErrno is consulted for
    // EAI_SYSTEM.
    static int32_t ResolverErrorToSocketError(int AResult, int AErrno);
    // Makes errno the calling thread's last socket error, for code that fails a transfer of
    // its own on a socket (a TLS read or write) and is then judged by CheckSocketResult.
    static void RecordErrno() { SetLastSocketError(ErrnoToSocketError(errno)); }

protected:
    // Sets the calling thread's last socket error, as a failed call does (for stack classes
    // that add their own operations or simulate faults).
    static void SetLastSocketError(int32_t ACode);
};

// At most 64 handles, as one wait takes; removal moves the last handle into the gap.
class TNetSocketListLinux : public TNetSocketList {
public:
    int Item(int32_t AIndex) const override;
    void Add(int AHandle) override;
    void Remove(int AHandle) override;
    int32_t Count() const override { return FCount; }

private:
    int32_t FCount = 0;
    std::array<int, MaxHandles> FHandles {};
};
