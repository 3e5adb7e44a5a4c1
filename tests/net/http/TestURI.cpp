#include "net/http/NetURI.h"

#include <gtest/gtest.h>

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
