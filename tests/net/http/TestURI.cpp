#include "net/http/NetURI.h"

#include <gtest/gtest.h>

#include <random>

TEST(NetURI, SplitsUrlForms)
{
    struct Row {
        const char* Name;
        const char* Text;
        const char* Protocol;
        const char* Username;
        const char* Password;
        const char* Host;
        const char* Port;
        const char* Path;
        const char* Resource;
        const char* Query;
        const char* Fragment;
    };
    const Row Rows[] = {
        { "all parts", "http://h/dir/page.html?x=1#f", "http", "", "", "h", "", "/dir/", "page.html", "?x=1",
            "f" },
        { "scheme and host only", "http://h", "http", "", "", "h", "", "/", "", "", "" },
        { "root", "http://h/", "http", "", "", "h", "", "/", "", "", "" },
        { "user and password", "http://user:secret@h:8080/a", "http", "user", "secret", "h", "8080", "/", "a",
            "", "" },
        { "user without password", "http://user@h/", "http", "user", "", "h", "", "/", "", "", "" },
        { "empty user drops password", "http://:secret@h/", "http", "", "", "h", "", "/", "", "", "" },
        { "empty password", "http://u:@h/", "http", "u", "", "h", "", "/", "", "", "" },
        { "colon in password", "http://u:p:q@h/", "http", "u", "p:q", "h", "", "/", "", "", "" },
        { "second at sign", "http://u:p@ss@h/", "http", "u", "p@ss", "h", "", "/", "", "", "" },
        { "at sign in the path", "http://h:81/a@b", "http", "", "", "h", "81", "/", "a@b", "", "" },
        { "https with port", "https://h:443/a/b/c?q", "https", "", "", "h", "443", "/a/b/", "c", "?q", "" },
        { "backslashes", "http:\\\\h\\dir\\x.html", "http", "", "", "h", "", "/dir/", "x.html", "", "" },
        { "equals stands for ?", "http://h/dir/a=b", "http", "", "", "h", "", "/dir/", "a", "=b", "" },
        { "slash inside query", "http://h/dir/a?x=/y", "http", "", "", "h", "", "/dir/", "a", "?x=/y", "" },
        { "fragment in resource", "http://h/a#f", "http", "", "", "h", "", "/", "a", "", "f" },
        { "port that is no number", "ftp://h:x/", "ftp", "", "", "h", "x", "/", "", "", "" },
        { "dot segments stay", "http://h/a/./b/../c", "http", "", "", "h", "", "/a/./b/../", "c", "", "" },
        { "relative path", "/dir/page?x", "", "", "", "", "", "/dir/", "page", "?x", "" },
        { "relative resource", "page.html", "", "", "", "", "", "", "page.html", "", "" },
        { "relative with equals", "dir/a=b", "", "", "", "", "", "dir/", "a", "=b", "" },
        { "relative query fragment", "p?q#frag", "", "", "", "", "", "", "p", "?q", "frag" },
        { "query only", "?a/b", "", "", "", "", "", "", "", "?a/b", "" },
        { "empty", "", "", "", "", "", "", "", "", "", "" },
        { "IPv6 with port", "http://[::1]:8080/p", "http", "", "", "::1", "8080", "/", "p", "", "" },
        { "IPv6 without port", "https://[fd00::1]/", "https", "", "", "fd00::1", "", "/", "", "", "" },
        { "IPv6 with user", "http://u:p@[::1]:81", "http", "u", "p", "::1", "81", "/", "", "", "" },
        { "IPv6 before query", "http://[::1]?q", "http", "", "", "::1", "", "/", "", "?q", "" },
        { "IPv6 zone", "http://[fe80::1%25eth0]:80/", "http", "", "", "fe80::1%eth0", "80", "/", "", "", "" },
        { "IPv6 unclosed", "http://[::1:80/", "http", "", "", "[::1:80", "", "/", "", "", "" },
        { "IPv6 junk after", "http://[::1]x/", "http", "", "", "::1", "x", "/", "", "", "" },
    };
    for (const Row& R : Rows) {
        TNetURI U(R.Text);
        SCOPED_TRACE(R.Name);
        EXPECT_EQ(U.Protocol, R.Protocol);
        EXPECT_EQ(U.Username, R.Username);
        EXPECT_EQ(U.Password, R.Password);
        EXPECT_EQ(U.Host, R.Host);
        EXPECT_EQ(U.Port, R.Port);
        EXPECT_EQ(U.Path, R.Path);
        EXPECT_EQ(U.Resource, R.Resource);
        EXPECT_EQ(U.Query, R.Query);
        EXPECT_EQ(U.Fragment, R.Fragment);
    }
}

TEST(NetURI, ParseReplacesEveryPartAndKeepsNormalisedText)
{
    TNetURI U("http://u:p@h:81/a/b?c#d");
    U.Parse("x\\y");
    EXPECT_EQ(U.Text, "x/y");
    EXPECT_EQ(U.Protocol, "");
    EXPECT_EQ(U.Username, "");
    EXPECT_EQ(U.Password, "");
    EXPECT_EQ(U.Host, "");
    EXPECT_EQ(U.Port, "");
    EXPECT_EQ(U.Path, "x/");
    EXPECT_EQ(U.Resource, "y");
    EXPECT_EQ(U.Query, "");
    EXPECT_EQ(U.Fragment, "");
}

TEST(NetURI, FullTextAndURIText)
{
    TNetURI U("http://u:p@h:8080/dir/page.html?x=1#f");
    EXPECT_EQ(U.FullText(), "http://h:8080/dir/page.html?x=1");
    EXPECT_EQ(U.FullText(ufUserInfo), "http://u:p@h:8080/dir/page.html?x=1");
    EXPECT_EQ(U.FullText(ufFragment), "http://h:8080/dir/page.html?x=1#f");
    EXPECT_EQ(U.FullText(ufUserInfo | ufFragment), "http://u:p@h:8080/dir/page.html?x=1#f");

    U.Text = "something else";
    EXPECT_EQ(U.URIText(), "http://h:8080/dir/page.html?x=1");
    EXPECT_EQ(U.Text, "http://u:p@h:8080/dir/page.html?x=1#f");

    TNetURI NoPassword("http://u@h/");
    EXPECT_EQ(NoPassword.FullText(ufUserInfo), "http://u@h/");
}

TEST(NetURI, FullTextNeedsProtocolAndHost)
{
    TNetURI U("/just/a/path");
    try {
        U.FullText();
        FAIL() << "no exception";
    } catch (const ENetURIException& E) {
        EXPECT_STREQ(E.what(), "Protocol field is empty");
    }
    U.Protocol = "http";
    try {
        U.URIText();
        FAIL() << "no exception";
    } catch (const ENetURIException& E) {
        EXPECT_STREQ(E.what(), "Host field is empty");
    }
}

TEST(NetURI, MergePath)
{
    struct Row {
        const char* Base;
        const char* Path;
        const char* Expected;
    };
    const Row Rows[] = {
        { "/a/b/", "c/../d", "/a/b/d" },
        { "/a/b/", "/x/../y", "/x/../y" },
        { "/a/", "", "/a/" },
        { "/a", "b", "/a/b" },
        { "/a/b/", "c/d/", "/a/b/c/d/" },
        { "/a/b/", "./c", "/a/b/./c" },
        { "/a//b/", "c", "/a/b/c" },
        { "/a/b/", "../../../x", "/x" },
        { "/a/", "b/..", "/a" },
        { "/a/b/", "../", "/a/" },
        { "/", "", "/" },
        { "", "", "" },
        { "", "a/b", "a/b" },
        { "", "../x", "../x" },
        { "/a/", "..x", "/x" },
    };
    for (const Row& R : Rows)
        EXPECT_EQ(TNetURI::MergePath(R.Base, R.Path, "/"), R.Expected) << R.Base << " + " << R.Path;
    EXPECT_EQ(TNetURI::MergePath("a::b::", "c::..::d", "::"), "a::b::d");
}

TEST(NetURI, IPv6HostsAreWrittenInBrackets)
{
    const struct {
        const char* Host;
        const char* Written;
    } Rows[] = {
        { "::1", "[::1]" },
        { "fe80::1%eth0", "[fe80::1%25eth0]" },
        { "127.0.0.1", "127.0.0.1" },
        { "example.test", "example.test" },
    };
    for (const auto& R : Rows) {
        SCOPED_TRACE(R.Host);
        EXPECT_EQ(URIHost(R.Host), R.Written);
        TNetURI U;
        U.Protocol = "http";
        U.Host = R.Host;
        U.Port = "8080";
        U.Path = "/";
        EXPECT_EQ(U.FullText(), "http://" + std::string(R.Written) + ":8080/");
        EXPECT_EQ(TNetURI(U.FullText()).Host, R.Host);
    }
}

TEST(NetURI, MaskURL)
{
    const struct {
        const char* Name;
        const char* URL;
        const char* Text;
        const char* Label;
    } Rows[] = {
        { "password", "http://user:secret@h/a", "http://user:***@h/a", "http://user:***@h/a" },
        { "second at sign", "http://u:a@b@h/", "http://u:***@h/", "http://u:***@h/" },
        { "at sign in the path", "http://h:8080/a@b", "http://h:8080/a@b", "http://h:8080/a@b" },
        { "at sign in the query", "http://h?x=a:b@c", "http://h?x=a:b@c", "http://h" },
        { "hash in the password", "http://u:p#ss@h/x#f", "http://u:***@h/x#f", "http://u:***@h/x" },
        { "slash and query", "http://u:p/s?s@h/x?token=1", "http://u:***@h/x?token=***", "http://u:***@h/x" },
        { "no scheme", "u:p/x@h", "u:***@h", "u:***@h" },
        { "backslashes", "http:\\\\u:pw@h\\x", "http:\\\\u:***@h\\x", "http:\\\\u:***@h\\x" },
        { "secret names", "http://h/?access_token=a&x=1;API-Key=b&apiKey=c&keyword=d&Sig=e&X-Amz-Signature=f",
            "http://h/?access_token=***&x=1;API-Key=***&apiKey=***&keyword=d&Sig=***&X-Amz-Signature=***",
            "http://h/" },
        { "encoded name, no value",
            "http://h?pass%77ord=x&token&pwd=", "http://h?pass%77ord=***&token&pwd=", "http://h" },
        { "fragment", "http://h/#id_token=t&state=s", "http://h/#id_token=***&state=s", "http://h/" },
        { "query value with slashes", "http://h?session=a/b=c#x", "http://h?session=***#x", "http://h" },
    };
    for (const auto& R : Rows) {
        EXPECT_EQ(MaskURL(R.URL), R.Text) << R.Name;
        EXPECT_EQ(MaskURL(R.URL, umLabel), R.Label) << R.Name;
    }
    // The connect refuses what the masking had to guess at, saying no part of it.
    for (const char* Cut : { "http://u:p#ss@h/", "http://u:p/ss@h/", "https://u:p?s@h", "http://[::1]:p/@h" })
        EXPECT_NE(URIUserInfoFault(Cut), "") << Cut;
    for (const char* Sound : { "http://h:8080/a@b", "http://h:x/", "http://u:p@h:x/", "h:p/@x" })
        EXPECT_EQ(URIUserInfoFault(Sound), "") << Sound;
}

// Whatever the URL, the masked text holds neither the password that the connect would send
// nor the password that was meant, delimiters and all.
TEST(NetURI, MaskingNeverShowsThePassword)
{
    std::mt19937 Random(27);
    const auto Pick = [&Random](const std::string& AFrom, size_t AMin, size_t AMax) {
        std::string Result(std::uniform_int_distribution<size_t>(AMin, AMax)(Random), ' ');
        for (char& C : Result)
            C = AFrom[std::uniform_int_distribution<size_t>(0, AFrom.size() - 1)(Random)];
        return Result;
    };
    const std::string Word = "abcxyz019-._~";
    const std::string Any = Word + "@:#?/\\%&=;+![]";
    for (int I = 0; I < 8000; ++I) {
        const std::string Meant = Pick("abcQZ", 1, 1) + Pick(Any, 5, 12);
        std::string URL = Pick("hH", 1, 1) + "ttp" + (I % 7 == 0 ? ":\\\\" : "://") + Pick(Word, 0, 4) + ":"
            + Meant + "@" + Pick(Word, 1, 6) + (I % 3 ? ":" + Pick("0123456789", 1, 5) : "") + "/"
            + Pick(Word + "@/", 0, 8);
        if (I % 2)
            URL += "?" + Pick(Word, 1, 4) + "=" + Pick(Word + "@/:", 0, 6) + "&token=" + Pick(Any, 1, 8);
        if (I % 5 == 0)
            URL += "#" + Pick(Any, 0, 8);
        // The meant password whole, and every four characters of the one the connect sends.
        std::vector<std::string> Secrets { Meant };
        const std::string Sent = TNetURI(URL).Password;
        for (size_t At = 0; URIUserInfoFault(URL).empty() && At + 4 <= Sent.size(); ++At)
            Secrets.push_back(Sent.substr(At, 4));
        for (const std::string& Secret : Secrets) {
            if (URL.find(Secret) != URL.rfind(Secret))
                continue;
            for (const TNetURIMask Mask : { umText, umLabel })
                ASSERT_EQ(MaskURL(URL, Mask).find(Secret), std::string::npos) << URL << " shows " << Secret;
        }
    }
}
