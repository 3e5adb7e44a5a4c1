#include "tools/RequestHead.h"

#include <cstring>
#include <strings.h>

namespace {

bool IsTokenChar(unsigned char C)
{
    return (C >= '0' && C <= '9') || (C >= 'a' && C <= 'z') || (C >= 'A' && C <= 'Z')
        || (C != 0 && std::strchr("!#$%&'*+-.^_`|~", C) != nullptr);
}

bool IsBlank(char C)
{
    return C == ' ' || C == '\t';
}

bool SameName(std::string_view A, const char* B)
{
    return A.size() == std::strlen(B) && ::strncasecmp(A.data(), B, A.size()) == 0;
}

std::string_view Trimmed(std::string_view AText)
{
    while (!AText.empty() && IsBlank(AText.front()))
        AText.remove_prefix(1);
    while (!AText.empty() && IsBlank(AText.back()))
        AText.remove_suffix(1);
    return AText;
}

TRequestHead Refused(std::string AWhy)
{
    TRequestHead Head;
    Head.State = TRequestHead::rhRefused;
    Head.Refusal = std::move(AWhy);
    return Head;
}

// Why ALine (without its line end) cannot be a request line, or cannot begin one when it is
// not whole yet; empty when it is sound so far.
std::string RequestLineFault(std::string_view ALine, bool AWhole)
{
    static constexpr std::string_view Version = "HTTP/D.D";
    int Part = 0;
    size_t Start = 0;
    for (size_t I = 0; I < ALine.size(); ++I) {
        const unsigned char C = static_cast<unsigned char>(ALine[I]);
        if (C == ' ' && Part < 2) {
            if (I == Start)
                return "an empty part in the request line";
            ++Part;
            Start = I + 1;
        } else if (Part == 0 && !IsTokenChar(C)) {
            return "bytes that cannot begin a request";
        } else if (Part == 1 && (C <= ' ' || C >= 0x7F)) {
            return "a control character or a non-ASCII byte in the target";
        } else if (Part == 2) {
            const size_t At = I - Start;
            const bool Fits
                = At < Version.size() && (Version[At] == 'D' ? C >= '0' && C <= '9' : C == Version[At]);
            if (!Fits)
                return "a version that is not HTTP/<digit>.<digit>";
        }
    }
    if (AWhole && (Part < 2 || ALine.size() - Start != Version.size()))
        return Part < 2 ? "a request line without a target and a version"
                        : "a version that is not HTTP/<digit>.<digit>";
    return {};
}

// The path of ATarget for AMethod, without its query; empty when the target has no form
// this method may use.
std::string TargetPath(std::string_view AMethod, std::string_view ATarget)
{
    std::string_view Path;
    if (ATarget.front() == '/') {
        Path = ATarget;
    } else if (ATarget.size() > 7 && ::strncasecmp(ATarget.data(), "http://", 7) == 0) {
        Path = ATarget.substr(7);
    } else if (ATarget.size() > 8 && ::strncasecmp(ATarget.data(), "https://", 8) == 0) {
        Path = ATarget.substr(8);
    } else if (ATarget == "*") {
        return AMethod == "OPTIONS" ? "*" : "";
    } else {
        // The authority form belongs to CONNECT, which is refused as a method later.
        return AMethod == "CONNECT" ? std::string(ATarget) : "";
    }
    if (Path.data() != ATarget.data()) {
        // The absolute form: an authority, then the path (which may be empty: "/").
        const size_t End = Path.find_first_of("/?");
        if (End == 0)
            return "";
        Path = End == std::string_view::npos ? std::string_view() : Path.substr(End);
    }
    Path = Path.substr(0, Path.find('?'));
    return Path.empty() ? "/" : std::string(Path);
}

// What the header lines said so far that counts only once all are read.
struct TFieldsSeen {
    int Hosts = 0;
    int Lengths = 0;
    bool CloseToken = false;
    bool KeepAliveToken = false;
};

// Reads a header line into AHead and ASeen; false with ARefusal set when the line is not sound.
bool ReadField(std::string_view ALine, TRequestHead& AHead, TFieldsSeen& ASeen, std::string& ARefusal)
{
    if (IsBlank(ALine.front())) {
        ARefusal = "a folded header line";
        return false;
    }
    const size_t Colon = ALine.find(':');
    if (Colon == std::string_view::npos) {
        ARefusal = "a header line without a colon";
        return false;
    }
    const std::string_view Name = ALine.substr(0, Colon);
    for (const char C : Name)
        if (!IsTokenChar(static_cast<unsigned char>(C))) {
            ARefusal
                = IsBlank(C) ? "whitespace before a header's colon" : "a header name that is not a token";
            return false;
        }
    if (Name.empty()) {
        ARefusal = "a header line without a name";
        return false;
    }
    const std::string_view Value = Trimmed(ALine.substr(Colon + 1));
    for (const char C : Value)
        if ((static_cast<unsigned char>(C) < ' ' && C != '\t') || C == 0x7F) {
            ARefusal = "a control character in a header value";
            return false;
        }
    if (SameName(Name, "Transfer-Encoding")) {
        ARefusal = "a request body (Transfer-Encoding), which this server does not take";
    } else if (SameName(Name, "Content-Length")) {
        if (++ASeen.Lengths > 1)
            ARefusal = "Content-Length given more than once";
        else if (Value.empty() || Value.find_first_not_of("0123456789") != std::string_view::npos)
            ARefusal = "a Content-Length that is not a number";
        else if (Value.find_first_not_of('0') != std::string_view::npos)
            ARefusal = "a request body, which this server does not take";
    } else if (SameName(Name, "Host")) {
        if (++ASeen.Hosts > 1)
            ARefusal = "Host given more than once";
        else if (Value.find_first_of(" \t") != std::string_view::npos)
            ARefusal = "a Host with whitespace in it";
    } else if (SameName(Name, "Connection")) {
        for (size_t Start = 0; Start <= Value.size();) {
            const size_t Comma = std::min(Value.find(',', Start), Value.size());
            const std::string_view Token = Trimmed(Value.substr(Start, Comma - Start));
            ASeen.CloseToken = ASeen.CloseToken || SameName(Token, "close");
            ASeen.KeepAliveToken = ASeen.KeepAliveToken || SameName(Token, "keep-alive");
            Start = Comma + 1;
        }
    } else if (SameName(Name, "Accept")) {
        AHead.Accept += (AHead.Accept.empty() ? "" : ",") + std::string(Value);
    }
    return ARefusal.empty();
}

} // namespace

TRequestHead ParseRequestHead(std::string_view ABytes)
{
    // Empty lines before a request line are skipped, as a client may send them after a body.
    size_t At = 0;
    while (At < ABytes.size()
        && (ABytes[At] == '\n' || (ABytes[At] == '\r' && At + 1 < ABytes.size() && ABytes[At + 1] == '\n')))
        At += ABytes[At] == '\r' ? 2 : 1;
    TRequestHead Head;
    TFieldsSeen Seen;
    bool First = true;
    while (At < ABytes.size()) {
        const size_t End = ABytes.find('\n', At);
        std::string_view Line
            = ABytes.substr(At, End == std::string_view::npos ? ABytes.size() - At : End - At);
        // A CR ends a line only right before its LF: one anywhere else is refused, as two
        // readers could split the head differently at it. The last byte so far may be a CR
        // whose LF is yet to come.
        const bool Whole = End != std::string_view::npos;
        if (!Line.empty() && Line.back() == '\r')
            Line.remove_suffix(1);
        if (Line.find('\r') != std::string_view::npos)
            return Refused("a CR without its LF");
        if (First) {
            if (std::string Fault = RequestLineFault(Line, Whole); !Fault.empty())
                return Refused(std::move(Fault));
            if (!Whole)
                return Head;
            const size_t Space1 = Line.find(' ');
            const size_t Space2 = Line.find(' ', Space1 + 1);
            Head.Method = Line.substr(0, Space1);
            Head.Path = TargetPath(Head.Method, Line.substr(Space1 + 1, Space2 - Space1 - 1));
            if (Head.Path.empty())
                return Refused("a target that is neither a path nor an absolute URL");
            if (Line[Space2 + 6] != '1')
                return Refused(
                    "HTTP/" + std::string(Line.substr(Space2 + 6)) + ", which this server does not speak");
            Head.Minor = Line[Space2 + 8] == '0' ? 0 : 1;
            First = false;
        } else if (!Whole) {
            return Head;
        } else if (Line.empty()) {
            if (Head.Minor == 1 && Seen.Hosts == 0)
                return Refused("HTTP/1.1 without Host");
            Head.Close = Seen.CloseToken || (Head.Minor == 0 && !Seen.KeepAliveToken);
            Head.State = TRequestHead::rhComplete;
            Head.Length = End + 1;
            return Head;
        } else if (std::string Why; !ReadField(Line, Head, Seen, Why)) {
            return Refused(std::move(Why));
        }
        At = End + 1;
    }
    return Head;
}
