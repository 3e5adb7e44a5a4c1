#include "net/http/NetURI.h"

#include "net/stack/NetStrings.h"

#include <algorithm>
#include <cctype>
#include <string_view>
#include <vector>

namespace {

constexpr std::string_view Mask = "***";

// Where the authority that starts at AStart ends: at the path, the query or the fragment,
// whichever comes first. Parse and MaskURL both go by it.
size_t AuthorityEnd(std::string_view W, size_t AStart)
{
    return std::min(W.find_first_of("/?#", AStart), W.size());
}

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
        // The authority ends at the path, or at a query or fragment right after the host or
        // port. The fragment is never part of what is asked for, and may hold "/" and "?".
        const size_t End = AuthorityEnd(W, 0);
        std::string Authority = W.substr(0, End);
        W.erase(0, End);
        SplitFragment(W, Fragment);
        if (!W.empty() && W[0] == '/')
            W.erase(0, 1);
        size_t At = Authority.rfind('@');
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

namespace {

// AText with every "%XX" decoded.
std::string PercentDecoded(std::string_view AText)
{
    std::string Result;
    for (size_t I = 0; I < AText.size(); ++I) {
        if (AText[I] == '%' && I + 2 < AText.size() && std::isxdigit(static_cast<unsigned char>(AText[I + 1]))
            && std::isxdigit(static_cast<unsigned char>(AText[I + 2]))) {
            Result += static_cast<char>(std::stoi(std::string(AText.substr(I + 1, 2)), nullptr, 16));
            I += 2;
        } else {
            Result += AText[I];
        }
    }
    return Result;
}

bool IsPortNumber(std::string_view AText)
{
    if (AText.empty() || AText.size() > 5 || AText.find_first_not_of("0123456789") != std::string_view::npos)
        return false;
    return std::stoi(std::string(AText)) <= 65535;
}

// Where the text after a scheme starts, in the text with backslashes as slashes.
size_t AfterScheme(std::string_view W)
{
    const size_t P = W.find("://");
    return P == std::string_view::npos ? 0 : P + 3;
}

// Whether the authority [AStart, AEnd) of W has a port that is no port number, so that what
// looks like a port is the start of a password cut off by an unencoded delimiter.
bool PortIsNoNumber(std::string_view W, size_t AStart, size_t AEnd)
{
    std::string_view Authority = W.substr(AStart, AEnd - AStart);
    if (!Authority.empty() && Authority[0] == '[') {
        const size_t Close = Authority.find(']');
        if (Close == std::string_view::npos)
            return false;
        Authority.remove_prefix(Close + 1);
    }
    const size_t Colon = Authority.find(':');
    return Colon != std::string_view::npos && !IsPortNumber(Authority.substr(Colon + 1));
}

// The user information is taken for cut off where the authority has no "@", its port is no
// number and an "@" comes later.
bool UserInfoCutOff(std::string_view W, size_t AStart, size_t AEnd)
{
    const std::string_view Authority = W.substr(AStart, AEnd - AStart);
    return Authority.find('@') == std::string_view::npos && W.find('@', AEnd) != std::string_view::npos
        && PortIsNoNumber(W, AStart, AEnd);
}

// The values of the "&"- or ";"-separated parameters in AText[AFrom, ATo) whose names are
// secret, as "***".
void MaskParameters(std::string& AText, size_t AFrom, size_t ATo)
{
    std::string Result;
    size_t Start = AFrom;
    while (Start <= ATo) {
        size_t End = std::min(AText.find_first_of("&;", Start), ATo);
        const std::string_view Item(AText.data() + Start, End - Start);
        const size_t Eq = Item.find('=');
        if (Eq != std::string_view::npos && Eq + 1 < Item.size() && IsSecretParameter(Item.substr(0, Eq))) {
            Result.append(Item.substr(0, Eq + 1));
            Result.append(Mask);
        } else {
            Result.append(Item);
        }
        if (End < ATo)
            Result += AText[End];
        Start = End + 1;
    }
    AText.replace(AFrom, ATo - AFrom, Result);
}

} // namespace

bool IsSecretParameter(std::string_view AName)
{
    const std::string Name = PercentDecoded(AName);
    // Words: runs of letters and digits, a capital after a small letter starting a new one.
    std::vector<std::string> Words(1);
    std::string Joined;
    for (size_t I = 0; I < Name.size(); ++I) {
        const unsigned char C = static_cast<unsigned char>(Name[I]);
        if (!std::isalnum(C)) {
            if (!Words.back().empty())
                Words.emplace_back();
            continue;
        }
        if (std::isupper(C) && I > 0 && std::islower(static_cast<unsigned char>(Name[I - 1])))
            Words.emplace_back();
        Words.back() += static_cast<char>(std::tolower(C));
        Joined += static_cast<char>(std::tolower(C));
    }
    static constexpr std::string_view Parts[] = { "token", "secret", "passw", "passwd", "pwd", "auth",
        "signature", "session", "sessid", "credential", "apikey", "accesskey", "privatekey" };
    for (const std::string_view Part : Parts)
        if (Joined.find(Part) != std::string::npos)
            return true;
    static constexpr std::string_view Whole[] = { "key", "pass", "sig", "sid", "jwt" };
    for (const std::string& Word : Words)
        for (const std::string_view One : Whole)
            if (Word == One)
                return true;
    return false;
}

std::string URIUserInfoFault(std::string_view AURL)
{
    std::string W(AURL);
    std::replace(W.begin(), W.end(), '\\', '/');
    const size_t P = W.find("://");
    if (P == std::string::npos || !UserInfoCutOff(W, P + 3, AuthorityEnd(W, P + 3)))
        return {};
    return "The URL's port is not a number: a \"/\", \"?\" or \"#\" in a password must be written as %2F, "
           "%3F or %23.";
}

std::string MaskURL(std::string_view AURL, TNetURIMask AMask)
{
    std::string Result(AURL);
    // Positions are found as Parse finds them, with backslashes as slashes; the text shown
    // keeps its own.
    std::string W(AURL);
    std::replace(W.begin(), W.end(), '\\', '/');
    const size_t Start = AfterScheme(W);
    size_t End = AuthorityEnd(W, Start);
    const size_t At = W.rfind('@', End == 0 ? 0 : End - 1);
    if (At != std::string::npos && At >= Start) {
        const size_t Colon = W.find(':', Start);
        if (Colon < At) {
            Result.replace(Colon + 1, At - Colon - 1, Mask);
            W.replace(Colon + 1, At - Colon - 1, Mask);
            End = AuthorityEnd(W, Start);
        }
    } else if (UserInfoCutOff(W, Start, End)) {
        const size_t Colon = W.find(':', Start);
        const size_t Last = W.rfind('@');
        Result.replace(Colon + 1, Last - Colon - 1, Mask);
        W.replace(Colon + 1, Last - Colon - 1, Mask);
        End = AuthorityEnd(W, Colon + 1 + Mask.size());
    }
    const size_t Query = W.find_first_of("?#", End);
    if (Query == std::string::npos)
        return Result;
    if (AMask == umLabel)
        return Result.erase(Query);
    const size_t Hash = W.find('#', Query);
    if (Hash != std::string::npos)
        MaskParameters(Result, Hash + 1, Result.size());
    if (W[Query] == '?')
        MaskParameters(Result, Query + 1, std::min(Hash, Result.size()));
    return Result;
}
