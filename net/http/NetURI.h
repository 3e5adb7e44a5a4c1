// A URL split into its parts, and the parts put back together. The URL is taken as the
// caller wrote it: nothing is percent-encoded or decoded here (EncodeRequestTarget does that
// for the request line).
#pragma once

#include "net/stack/NetException.h"

#include <cstdint>
#include <string>
#include <string_view>

VARDEX_NET_EXCEPTION(ENetURIException, ENetException);

// What FullText adds besides scheme, host, port, path, resource and query.
enum TNetURIField : uint32_t {
    ufUserInfo = 1u << 0, // "user:password@" before the host
    ufFragment = 1u << 1, // "#fragment" at the end
};
using TNetURIFields = uint32_t;

class TNetURI {
public:
    TNetURI() = default;
    explicit TNetURI(const std::string& AText);

    // Replaces every part with the parts of AText; never fails.
    void Parse(const std::string& AText);
    // Raises ENetURIException when Protocol or Host is empty.
    std::string FullText(TNetURIFields AFields = 0) const;
    // Stores the full text (with user information and fragment) in Text and returns the
    // URL without them: the request target for a plain proxy.
    std::string URIText();
    // ABasePath and APath joined by ADelimiter, with ".." dropping the segment before it.
    // An APath that starts with ADelimiter is returned as it is.
    static std::string MergePath(
        const std::string& ABasePath, const std::string& APath, const std::string& ADelimiter = "/");

    std::string Text;
    std::string Protocol;
    // The user information ends at the last "@" of the authority, so "u:p@ss@h" is user u,
    // password "p@ss" at host h: where the masking and the connect look for the host alike.
    std::string Username;
    std::string Password;
    std::string Host; // an IPv6 address without its brackets, a zone after "%"
    std::string Port;
    std::string Path; // ends in "/"; starts with "/" when the URL has an authority
    std::string Resource; // the last segment, without query and fragment
    std::string Query; // with its leading "?"
    std::string Fragment; // without "#"
};

// AHost as a URL and a Host header write it: an IPv6 address in brackets with its zone as
// "%25" ("[fe80::1%25eth0]"), any other host as it is.
std::string URIHost(const std::string& AHost);

// ATarget (path and query) with every byte that a request target may not hold written as
// "%XX": blanks, quotes, angle brackets, braces and the like, and bytes above 127. A "%"
// that starts no "%XX" of its own is encoded too; everything else stays as it is, so a target
// that is valid already comes out unchanged.
std::string EncodeRequestTarget(const std::string& ATarget);

// How much of a URL may be shown where it leaves the check: printed, logged, exported.
enum TNetURIMask : uint32_t {
    umText, // lines, JSON, tooltips: the password and secret query values as "***"
    umLabel, // metric labels: the password as "***", no query and no fragment at all
};

// AURL as it may be shown. The user information is found the way Parse finds it, so the
// password that a connect would send is the one hidden. Query and fragment values under
// secret names (IsSecretParameter) become "***". A URL that the connect refuses because its
// user information holds an unencoded "/", "?" or "#" (URIUserInfoFault) is hidden from the
// first ":" after the scheme to the last "@", since where its password ends is a guess.
std::string MaskURL(std::string_view AURL, TNetURIMask AMask = umText);

// Whether a query parameter so named carries a secret: a name that holds token, secret,
// password, passwd, pwd, auth, signature, session, credential or api key, or has key, pass,
// sig or sid as a word of its own, in any letter case and after percent-decoding.
bool IsSecretParameter(std::string_view AName);

// Why the connect refuses AURL, or empty: its port is not a number and an "@" follows the
// authority, the sign of a password that holds an unencoded "/", "?" or "#", which would
// otherwise connect to the user name as host. The text names no part of the URL.
std::string URIUserInfoFault(std::string_view AURL);
