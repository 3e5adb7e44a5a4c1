#include "net/http/NetURI.h"

#include "net/stack/NetStrings.h"

#include <string_view>

namespace {

// Fills Path, Resource and Query from what follows the authority (or from a relative
// reference). A "=" stands in for a missing "?", so "a=b" without "?" puts "=b" in Query.
void SplitPathPart(
    const std::string& W, std::string& APath, std::string& AResource, std::string& AQuery, bool AAbsolute)
{
    size_t Q = W.find('?');
    if (Q == std::string::npos)
        Q = W.find('=');
    // Length of the directory part: up to and including the last "/" before the query.
    size_t S = 0;
    size_t Slash = Q == std::string::npos ? W.rfind('/') : (Q == 0 ? std::string::npos : W.rfind('/', Q - 1));
    if (Slash != std::string::npos)
        S = Slash + 1;
    APath = W.substr(0, S);
    if (AAbsolute)
        APath.insert(APath.begin(), '/');
    if (Q == std::string::npos) {
        AResource = W.substr(S);
    } else {
        AResource = W.substr(S, Q - S);
        AQuery = W.substr(Q);
    }
}

void SplitFragment(std::string& AFrom, std::string& AFragment)
{
    size_t H = AFrom.find('#');
    if (H != std::string::npos) {
        AFragment = AFrom.substr(H + 1);
        AFrom.erase(H);
    }
}

} // namespace

TNetURI::TNetURI(const std::string& AText)
{
    if (!AText.empty())
        Parse(AText);
}

void TNetURI::Parse(const std::string& AText)
{
    // Bytes of a UTF-8 sequence are never 0x5C, so every backslash is a real one.
    Text = AText;
    for (char& C : Text)
        if (C == '\\')
            C = '/';
    Protocol.clear();
    Username.clear();
    Password.clear();
    Host.clear();
    Port.clear();
    Path.clear();
    Resource.clear();
    Query.clear();
    Fragment.clear();

    std::string W = Text;
    size_t P = W.find("://");
    if (P == std::string::npos) {
        SplitFragment(W, Fragment);
        SplitPathPart(W, Path, Resource, Query, false);
    } else {
        Protocol = W.substr(0, P);
        W.erase(0, P + 3);
        // The fragment is never part of what is asked for, and may hold "/" and "?" itself.
        SplitFragment(W, Fragment);
        // The authority ends at the path, or at a query right after the host or port.
        const size_t AuthorityEnd = W.find_first_of("/?");
        std::string Authority = W.substr(0, AuthorityEnd);
        W.erase(0, AuthorityEnd == std::string::npos ? W.size() : AuthorityEnd);
        if (!W.empty() && W[0] == '/')
            W.erase(0, 1);
        size_t At = Authority.find('@');
        if (At != std::string::npos) {
            std::string UserInfo = Authority.substr(0, At);
            Authority.erase(0, At + 1);
            Username = Fetch(UserInfo, ":");
            Password = UserInfo;
            if (Username.empty())
                Password.clear();
        }
        if (!Authority.empty() && Authority[0] == '[') {
            // An IPv6 address stands in brackets, its colons being no port's. A zone is
            // written "%25" in a URL and kept as "%" in Host, the form the stack reads.
            const size_t Close = Authority.find(']');
            if (Close == std::string::npos) {
                Host = Authority;
            } else {
                Host = Authority.substr(1, Close - 1);
                if (const size_t Zone = Host.find("%25"); Zone != std::string::npos)
                    Host.erase(Zone + 1, 2);
                Port = Authority.substr(Close + 1);
                if (!Port.empty() && Port[0] == ':')
                    Port.erase(0, 1);
            }
        } else {
            Host = Fetch(Authority, ":");
            Port = Authority;
        }
        SplitPathPart(W, Path, Resource, Query, true);
    }
    if (Fragment.empty())
        SplitFragment(Query, Fragment);
}

std::string TNetURI::FullText(TNetURIFields AFields) const
{
    if (Protocol.empty())
        throw ENetURIException("Protocol field is empty");
    std::string Result = Protocol + "://";
    if ((AFields & ufUserInfo) && !Username.empty()) {
        Result += Username;
        if (!Password.empty())
            Result += ":" + Password;
        Result += "@";
    }
    if (Host.empty())
        throw ENetURIException("Host field is empty");
    Result += URIHost(Host);
    if (!Port.empty())
        Result += ":" + Port;
    Result += Path + Resource + Query;
    if ((AFields & ufFragment) && !Fragment.empty())
        Result += "#" + Fragment;
    return Result;
}

std::string TNetURI::URIText()
{
    Text = FullText(ufUserInfo | ufFragment);
    return FullText();
}

std::string TNetURI::MergePath(
    const std::string& ABasePath, const std::string& APath, const std::string& ADelimiter)
{
    const std::string& D = ADelimiter;
    if (D.empty())
        return ABasePath + APath;
    auto StartsWith = [&D](const std::string& S, size_t At) { return S.compare(At, D.size(), D) == 0; };
    auto EndsWith = [&D](const std::string& S) {
        return S.size() >= D.size() && S.compare(S.size() - D.size(), D.size(), D) == 0;
    };
    if (StartsWith(APath, 0))
        return APath;
    bool KeepTrailing = APath.empty() || EndsWith(APath);
    std::string W = ABasePath;
    if (!W.empty() && !EndsWith(W))
        W += D;
    W += APath;

    std::string R;
    size_t I = 0;
    while (I < W.size()) {
        if (StartsWith(W, I)) {
            if (I == 0)
                R = D;
            else if (!EndsWith(R))
                R += D;
            I += D.size();
        } else if (W[I] == '.' && I + 1 < W.size() && W[I + 1] == '.' && !R.empty() && EndsWith(R)) {
            // ".." drops the segment before it; at the root R empties and the next
            // delimiter starts it again.
            R.erase(R.size() - D.size());
            while (!R.empty() && !EndsWith(R))
                R.pop_back();
            I += 2;
        } else {
            R += W[I];
            ++I;
        }
    }
    if (R != D && EndsWith(R) && !KeepTrailing)
        R.erase(R.size() - D.size());
    return R;
}

std::string URIHost(const std::string& AHost)
{
    if (AHost.find(':') == std::string::npos)
        return AHost;
    std::string Result = "[" + AHost.substr(0, AHost.find('%'));
    if (AHost.find('%') != std::string::npos)
        Result += "%25" + AHost.substr(AHost.find('%') + 1);
    return Result + "]";
}

std::string EncodeRequestTarget(const std::string& ATarget)
{
    auto IsHex
        = [](char C) { return (C >= '0' && C <= '9') || (C >= 'A' && C <= 'F') || (C >= 'a' && C <= 'f'); };
    // What RFC 3986 allows in a path and a query: unreserved characters, sub-delimiters,
    // ":", "@", "/", "?" and percent-encoded bytes.
    auto Allowed = [](unsigned char C) {
        return (C >= 'a' && C <= 'z') || (C >= 'A' && C <= 'Z') || (C >= '0' && C <= '9')
            || std::string_view("-._~!$&'()*+,;=:@/?").find(static_cast<char>(C)) != std::string_view::npos;
    };
    static const char Hex[] = "0123456789ABCDEF";
    std::string Result;
    Result.reserve(ATarget.size());
    for (size_t I = 0; I < ATarget.size(); ++I) {
        const unsigned char C = static_cast<unsigned char>(ATarget[I]);
        if (Allowed(C)
            || (C == '%' && I + 2 < ATarget.size() && IsHex(ATarget[I + 1]) && IsHex(ATarget[I + 2]))) {
            Result += static_cast<char>(C);
        } else {
            Result += '%';
            Result += Hex[C >> 4];
            Result += Hex[C & 15];
        }
    }
    return Result;
}
