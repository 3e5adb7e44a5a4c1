#include "support/Icmp.h"

namespace icmptest {

uint16_t Checksum(const TBytes& AData)
{
    uint32_t Sum = 0;
    for (size_t I = 0; I + 1 < AData.size(); I += 2)
        Sum += static_cast<uint32_t>(AData[I] << 8 | AData[I + 1]);
    if (AData.size() % 2)
        Sum += static_cast<uint32_t>(AData.back() << 8);
    while (Sum >> 16)
        Sum = (Sum & 0xFFFF) + (Sum >> 16);
    return static_cast<uint16_t>(~Sum);
}

void SetChecksum(TBytes& AIcmp)
{
    AIcmp[2] = AIcmp[3] = 0;
    uint16_t Sum = Checksum(AIcmp);
    AIcmp[2] = static_cast<uint8_t>(Sum >> 8);
    AIcmp[3] = static_cast<uint8_t>(Sum);
}

TBytes EchoMessage(uint8_t AType, uint16_t AId, uint16_t ASeq, const std::string& AData)
{
    TBytes M(20 + AData.size(), 0);
    std::copy(AData.begin(), AData.end(), M.begin() + 20);
    M[0] = AType;
    M[4] = static_cast<uint8_t>(AId);
    M[5] = static_cast<uint8_t>(AId >> 8);
    M[6] = static_cast<uint8_t>(ASeq);
    M[7] = static_cast<uint8_t>(ASeq >> 8);
    SetChecksum(M);
    return M;
}

TBytes IPPacket(const uint8_t (&ASource)[4], const uint8_t (&ADest)[4], uint8_t ATTL, const TBytes& APayload,
    int AOptions, uint8_t AProtocol)
{
    const int Length = 20 + AOptions;
    const size_t Total = static_cast<size_t>(Length) + APayload.size();
    TBytes P(Total, 0);
    std::copy(APayload.begin(), APayload.end(), P.begin() + Length);
    P[0] = static_cast<uint8_t>(0x40 | Length / 4);
    P[2] = static_cast<uint8_t>(Total >> 8);
    P[3] = static_cast<uint8_t>(Total);
    P[8] = ATTL;
    P[9] = AProtocol;
    for (int I = 0; I < 4; ++I) {
        P[static_cast<size_t>(12 + I)] = ASource[I];
        P[static_cast<size_t>(16 + I)] = ADest[I];
    }
    for (int I = 20; I < Length; ++I)
        P[static_cast<size_t>(I)] = 1; // no operation
    return P;
}

TBytes ErrorMessage(uint8_t AType, uint8_t ACode, const TBytes& AQuoted)
{
    TBytes M(8 + AQuoted.size(), 0);
    std::copy(AQuoted.begin(), AQuoted.end(), M.begin() + 8);
    M[0] = AType;
    M[1] = ACode;
    SetChecksum(M);
    return M;
}

std::string ReadProcFile(const std::string& APath)
{
    std::ifstream In(APath);
    std::stringstream S;
    S << In.rdbuf();
    std::string Text = S.str();
    while (!Text.empty() && (Text.back() == '\n' || Text.back() == ' '))
        Text.pop_back();
    return Text;
}

bool WriteProcFile(const std::string& APath, const std::string& AText)
{
    std::ofstream Out(APath);
    Out << AText << "\n";
    Out.close();
    return Out.good();
}

int RawSocketRefusal()
{
    int Fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
    if (Fd < 0)
        return errno;
    ::close(Fd);
    return 0;
}

bool DropNetRaw()
{
    __user_cap_header_struct Header { _LINUX_CAPABILITY_VERSION_3, 0 };
    __user_cap_data_struct Data[2] = {};
    if (syscall(SYS_capget, &Header, Data) != 0)
        return false;
    const uint32_t Bit = 1u << CAP_NET_RAW;
    Data[0].effective &= ~Bit;
    Data[0].permitted &= ~Bit;
    Data[0].inheritable &= ~Bit;
    return syscall(SYS_capset, &Header, Data) == 0 && RawSocketRefusal() != 0;
}

bool AllowDatagramPing(bool AAllow)
{
    const std::string Gid = std::to_string(getgid());
    return WriteProcFile("/proc/sys/net/ipv4/ping_group_range", AAllow ? Gid + " " + Gid : "1 0");
}

bool IgnoreEchoRequests(bool AIgnore)
{
    return WriteProcFile("/proc/sys/net/ipv4/icmp_echo_ignore_all", AIgnore ? "1" : "0");
}

bool UseKind(TKind AKind)
{
    if (AKind == TKind::Raw)
        return RawSocketRefusal() == 0;
    return AllowDatagramPing(true) && DropNetRaw();
}

const char* KindName(TKind AKind)
{
    return AKind == TKind::Raw ? "Raw" : "Datagram";
}

bool RunProgram(std::vector<std::string> AArgs)
{
    std::vector<char*> Argv;
    for (std::string& Arg : AArgs)
        Argv.push_back(Arg.data());
    Argv.push_back(nullptr);
    pid_t Child = 0;
    if (posix_spawnp(&Child, Argv[0], nullptr, nullptr, Argv.data(), environ) != 0)
        return false;
    int Status = 0;
    while (waitpid(Child, &Status, 0) < 0 && errno == EINTR) { }
    return WIFEXITED(Status) && WEXITSTATUS(Status) == 0;
}

bool UseSystemFile(const std::string& APath, const std::string& ALines)
{
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return false;
    const testsupport::TTempFolder Dir("vardex-etc");
    const std::string File = Dir.Path("file");
    return !Dir.Path().empty() && WriteProcFile(File, ALines)
        && mount(File.c_str(), APath.c_str(), nullptr, MS_BIND, nullptr) == 0;
}

bool UseHostsFile(const std::string& ALines)
{
    return UseSystemFile("/etc/hosts", ALines);
}

bool AddLoopbackAddresses6(const std::vector<std::string>& AAddresses)
{
    for (const std::string& A : AAddresses) {
        if (!RunProgram({ "ip", "-6", "addr", "add", A + "/128", "dev", "lo", "nodad" }))
            return false;
        sockaddr_in6 Address {};
        Address.sin6_family = AF_INET6;
        if (inet_pton(AF_INET6, A.c_str(), &Address.sin6_addr) != 1)
            return false;
        bool Usable = false;
        for (int Try = 0; Try < 200 && !Usable; ++Try) {
            nettest::TFd Probe(socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0));
            Usable = bind(Probe.Get(), reinterpret_cast<sockaddr*>(&Address), sizeof Address) == 0;
            if (!Usable)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        if (!Usable)
            return false;
    }
    return true;
}

bool SentTo(const TBytes& ADatagram, const uint8_t (&AAddress)[4])
{
    return ADatagram.size() >= 20 && std::equal(AAddress, AAddress + 4, ADatagram.begin() + 16);
}

TBytes ReplyTo(const TBytes& ARequest)
{
    const size_t Header = (ARequest[0] & 0x0F) * 4u;
    TBytes Icmp(ARequest.begin() + static_cast<long>(Header), ARequest.end());
    Icmp[0] = 0;
    SetChecksum(Icmp);
    const uint8_t From[4] = { ARequest[16], ARequest[17], ARequest[18], ARequest[19] };
    const uint8_t To[4] = { ARequest[12], ARequest[13], ARequest[14], ARequest[15] };
    return IPPacket(From, To, 64, Icmp);
}

} // namespace icmptest
