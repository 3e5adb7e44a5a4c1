#include "monitors/Monitors.h"

#include "net/stack/NetException.h"

#include <gtest/gtest.h>

namespace {

struct TKeyCase {
    const char* Name;
    TStringList Lines;
    const char* Key;
    bool Found;
    const char* Value;
};

TEST(SettingsKeyRule, Table)
{
    const TKeyCase Cases[] = {
        { "exact", { "Interval=5" }, "Interval", true, "5" },
        { "case ignored", { "interval=5" }, "Interval", true, "5" },
        { "upper case", { "INTERVAL=5" }, "Interval", true, "5" },
        { "blank before = belongs to the name", { "Interval =5" }, "Interval", false, "" },
        { "blank after = belongs to the value", { "Interval= 5" }, "Interval", true, " 5" },
        { "first line wins", { "IP=a", "IP=b" }, "IP", true, "a" },
        { "first = splits", { "URL=http://h/?a=b" }, "URL", true, "http://h/?a=b" },
        { "empty value", { "Name=" }, "Name", true, "" },
        { "line without = never matches", { "Interval", "Interval=7" }, "Interval", true, "7" },
        { "prefix is not a match", { "Intervals=1" }, "Interval", false, "" },
        { "empty list", {}, "Interval", false, "" },
        { "empty name", { "=x" }, "", true, "x" },
    };
    for (const TKeyCase& Case : Cases) {
        std::string Value = "unchanged";
        EXPECT_EQ(FindSettingsValue(Case.Lines, Case.Key, Value), Case.Found) << Case.Name;
        if (Case.Found)
            EXPECT_EQ(Value, Case.Value) << Case.Name;
        else
            EXPECT_EQ(Value, "unchanged") << Case.Name;
    }
}

TEST(Monitors, NewMonitorsWriteTheirDefaults)
{
    EXPECT_EQ(TPingMonitor().GetSettings(), (TStringList { "Interval=0", "IP=127.0.0.1", "Retry=3" }));
    EXPECT_EQ(TWebMonitor().GetSettings(), (TStringList { "Interval=0", "URL=http://127.0.0.1/" }));
    TPingMonitor Ping;
    EXPECT_EQ(Ping.Status(), msNone);
    EXPECT_EQ(Ping.LastCheck(), 0);
    EXPECT_EQ(Ping.LastActivity(), 0);
    EXPECT_EQ(Ping.LastError(), "");
    EXPECT_EQ(Ping.TypeKey(), "PingMonitor");
    EXPECT_EQ(TWebMonitor().TypeKey(), "WebMonitor");
}

TEST(Monitors, NegativeNumbersAreWrittenPlain)
{
    TPingMonitor Ping;
    Ping.SetSettings({ "Interval=-15", "Retry=$10" });
    EXPECT_EQ(Ping.GetSettings(), (TStringList { "Interval=-15", "IP=127.0.0.1", "Retry=16" }));
}

struct TIntCase {
    const char* Text;
    int32_t Interval; // with the unreadable default 0
    int32_t Retry; // with the unreadable default 1
};

TEST(Monitors, IntegerValuesAndTheirDefaults)
{
    const TIntCase Cases[] = {
        { "60", 60, 60 },
        { "  60", 60, 60 },
        { "+7", 7, 7 },
        { "-7", -7, -7 },
        { "$1F", 31, 31 },
        { "x1f", 31, 31 },
        { "X1F", 31, 31 },
        { "0x10", 16, 16 },
        { "-$10", -16, -16 },
        { "2147483647", 2147483647, 2147483647 },
        { "-2147483648", INT32_MIN, INT32_MIN },
        { "2147483648", 0, 1 },
        { "60 ", 0, 1 },
        { "6a", 0, 1 },
        { "abc", 0, 1 },
        { "", 0, 1 },
        { "0", 0, 0 },
    };
    for (const TIntCase& Case : Cases) {
        TPingMonitor Ping;
        Ping.SetSettings({ std::string("Interval=") + Case.Text, std::string("Retry=") + Case.Text });
        EXPECT_EQ(Ping.Interval(), Case.Interval) << '"' << Case.Text << '"';
        EXPECT_EQ(Ping.Retry(), Case.Retry) << '"' << Case.Text << '"';
    }
}

TEST(Monitors, AbsentKeysLeaveFieldsAlone)
{
    TPingMonitor Ping;
    Ping.SetSettings({ "Interval=9", "IP=router", "Retry=5" });
    Ping.SetSettings({ "Name=x", "Other=1" });
    EXPECT_EQ(Ping.Interval(), 9);
    EXPECT_EQ(Ping.IP(), "router");
    EXPECT_EQ(Ping.Retry(), 5);

    TWebMonitor Web;
    Web.SetSettings({ "url=https://example.test/a b ", "Interval=x" });
    EXPECT_EQ(Web.URL(), "https://example.test/a b ");
    EXPECT_EQ(Web.Interval(), 0);
}

TEST(Monitors, TextValuesAreTakenUnchanged)
{
    TPingMonitor Ping;
    Ping.SetSettings({ "IP= host ", "IP=second" });
    EXPECT_EQ(Ping.IP(), " host ");
    Ping.SetSettings({ "IP=" });
    EXPECT_EQ(Ping.IP(), "");
}

struct TFactoryCase {
    const char* Name;
    TStringList Lines;
    const char* Type; // nullptr: no monitor
};

TEST(Monitors, Factory)
{
    const TFactoryCase Cases[] = {
        { "ping", { "Type=PingMonitor" }, "PingMonitor" },
        { "web", { "Type=WebMonitor" }, "WebMonitor" },
        { "tcp", { "Type=TcpMonitor" }, "TcpMonitor" },
        { "dns", { "Type=DnsMonitor" }, "DnsMonitor" },
        { "key case ignored", { "TYPE=WebMonitor" }, "WebMonitor" },
        { "value case counts", { "Type=pingmonitor" }, nullptr },
        { "trailing blank", { "Type=PingMonitor " }, nullptr },
        { "short name", { "Type=Ping" }, nullptr },
        { "no type", { "Name=a", "Interval=5" }, nullptr },
        { "empty block", {}, nullptr },
        { "first type wins", { "Type=Other", "Type=PingMonitor" }, nullptr },
    };
    for (const TFactoryCase& Case : Cases) {
        std::unique_ptr<TServiceMonitor> Monitor = CreateMonitorFromSettings(Case.Lines);
        if (Case.Type == nullptr) {
            EXPECT_EQ(Monitor, nullptr) << Case.Name;
        } else {
            ASSERT_NE(Monitor, nullptr) << Case.Name;
            EXPECT_EQ(Monitor->TypeKey(), Case.Type) << Case.Name;
        }
    }
}

TEST(Monitors, FactoryAppliesTheBlock)
{
    auto Monitor
        = CreateMonitorFromSettings({ "Name=Router", "Type=PingMonitor", "Interval=60", "IP=10.0.0.1" });
    ASSERT_NE(Monitor, nullptr);
    auto* Ping = dynamic_cast<TPingMonitor*>(Monitor.get());
    ASSERT_NE(Ping, nullptr);
    EXPECT_EQ(Ping->Interval(), 60);
    EXPECT_EQ(Ping->IP(), "10.0.0.1");
    EXPECT_EQ(Ping->Retry(), 3);
}

class TClockTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SetNowClock([this] { return FNow; });
    }
    void TearDown() override { SetNowClock({}); }
    TDateTime FNow = EncodeDate(2024, 3, 1) + EncodeTime(12, 0, 0, 200);
};

TEST_F(TClockTest, SetStatusStoresStamps)
{
    TWebMonitor Web;
    Web.SetStatus(msChecking);
    EXPECT_EQ(Web.LastActivity(), 0);
    Web.SetStatus(msOK);
    EXPECT_EQ(Web.Status(), msOK);
    EXPECT_EQ(Web.LastActivity(), FNow);
}

TEST_F(TClockTest, LastActivitySurvivesLaterErrors)
{
    TPingMonitor Ping;
    Ping.SetStatus(msOK);
    const TDateTime Seen = FNow;
    FNow += 1.0;
    Ping.SetLastError("Request timed out");
    Ping.SetStatus(msError);
    Ping.SetStatus(msChecking);
    Ping.SetStatus(msError);
    EXPECT_EQ(Ping.Status(), msError);
    EXPECT_EQ(Ping.LastActivity(), Seen);
    EXPECT_EQ(Ping.LastError(), "Request timed out");
    Ping.SetStatus(msOK);
    EXPECT_EQ(Ping.LastActivity(), FNow);
    EXPECT_EQ(Ping.LastError(), "");
}

} // namespace

// Verification of an https server is on unless a list turns it off; only the way out is
// written, so a list without the key saves as it was read. The editor shows the key always.
TEST(Monitors, VerifyTLSKey)
{
    struct Row {
        const char* Name;
        TStringList Lines;
        bool Verify;
        TStringList Saved;
    };
    const Row Rows[] = {
        { "absent", { "URL=http://h/" }, true, { "Interval=0", "URL=http://h/" } },
        { "off", { "URL=http://h/", "VerifyTLS=0" }, false,
            { "Interval=0", "URL=http://h/", "VerifyTLS=0" } },
        { "off, any case", { "verifytls=00" }, false,
            { "Interval=0", "URL=http://127.0.0.1/", "VerifyTLS=0" } },
        { "on", { "VerifyTLS=1" }, true, { "Interval=0", "URL=http://127.0.0.1/" } },
        { "unreadable stays on", { "VerifyTLS=no" }, true, { "Interval=0", "URL=http://127.0.0.1/" } },
        { "emptied stays on", { "VerifyTLS=" }, true, { "Interval=0", "URL=http://127.0.0.1/" } },
    };
    for (const Row& R : Rows) {
        TWebMonitor Monitor;
        Monitor.SetSettings(R.Lines);
        EXPECT_EQ(Monitor.VerifyTLS(), R.Verify) << R.Name;
        EXPECT_EQ(Monitor.GetSettings(), R.Saved) << R.Name;
        TStringList Editor = R.Saved;
        if (R.Verify)
            Editor.push_back("VerifyTLS=1");
        Editor.insert(Editor.end(), { "CertExpiryDays=0", "Retry=1", "Timeout=10", "Expect=" });
        EXPECT_EQ(Monitor.EditorSettings(), Editor) << R.Name;
    }
    // A ping monitor has no such key.
    EXPECT_EQ(TPingMonitor().EditorSettings(), TPingMonitor().GetSettings());
}

// The certificate warning is off unless a list sets it, and written only while it is set.
TEST(Monitors, CertExpiryDaysKey)
{
    struct Row {
        const char* Name;
        TStringList Lines;
        int32_t Days;
        TStringList Saved;
        TStringList Editor;
    };
    const std::string URL = "URL=https://h/";
    const Row Rows[] = {
        { "absent", { URL }, 0, { "Interval=0", URL },
            { "Interval=0", URL, "VerifyTLS=1", "CertExpiryDays=0" } },
        { "set", { URL, "certexpirydays=14" }, 14, { "Interval=0", URL, "CertExpiryDays=14" },
            { "Interval=0", URL, "VerifyTLS=1", "CertExpiryDays=14" } },
        { "beside VerifyTLS=0", { "CertExpiryDays=7", URL, "VerifyTLS=0" }, 7,
            { "Interval=0", URL, "VerifyTLS=0", "CertExpiryDays=7" },
            { "Interval=0", URL, "VerifyTLS=0", "CertExpiryDays=7" } },
        { "zero", { URL, "CertExpiryDays=0" }, 0, { "Interval=0", URL },
            { "Interval=0", URL, "VerifyTLS=1", "CertExpiryDays=0" } },
        { "unreadable is off", { URL, "CertExpiryDays=soon" }, 0, { "Interval=0", URL },
            { "Interval=0", URL, "VerifyTLS=1", "CertExpiryDays=0" } },
    };
    for (const Row& R : Rows) {
        TWebMonitor Monitor;
        Monitor.SetSettings(R.Lines);
        EXPECT_EQ(Monitor.CertExpiryDays(), R.Days) << R.Name;
        EXPECT_EQ(Monitor.GetSettings(), R.Saved) << R.Name;
        TStringList Editor = R.Editor;
        Editor.insert(Editor.end(), { "Retry=1", "Timeout=10", "Expect=" });
        EXPECT_EQ(Monitor.EditorSettings(), Editor) << R.Name;
    }
}

// Values their keys cannot take: the field gets what an unreadable value has always given, the
// line's text is kept, and the monitor is not checked until a sound value mends it.
TEST(Monitors, BadValuesAndWebRetryAndTimeout)
{
    struct Row {
        const char* Name;
        const char* Type;
        TStringList Lines;
        std::vector<TBadValue> Bad;
        TStringList Saved;
    };
    const std::string URL = "URL=http://h/";
    using B = TBadValue;
    const Row Rows[] = {
        { "web attempts and time-out", "WebMonitor", { "Interval=5", URL, "Retry=3", "timeout=4" }, {},
            { "Interval=5", URL, "Retry=3", "Timeout=4" } },
        { "their defaults are not written", "WebMonitor", { "Interval=5", URL, "Retry=1", "Timeout=10" }, {},
            { "Interval=5", URL } },
        { "interval of letters", "WebMonitor", { "Interval=abc", URL },
            { { "Interval", "abc", B::bvNotANumber } }, { "Interval=0", URL } },
        { "time-out of 0", "WebMonitor", { "Interval=5", URL, "Timeout=0" },
            { { "Timeout", "0", B::bvTooSmall, 1 } }, { "Interval=5", URL } },
        { "empty URL", "WebMonitor", { "Interval=5", "URL=" }, { { "URL", "", B::bvEmpty } },
            { "Interval=5", "URL=" } },
        { "URL without a scheme", "WebMonitor", { "Interval=5", "URL=127.0.0.1:8080/x" },
            { { "URL", "127.0.0.1:8080/x", B::bvNotAURL } }, { "Interval=5", "URL=127.0.0.1:8080/x" } },
        { "another scheme is the check's to refuse", "WebMonitor", { "Interval=5", "URL=ftp://h/" }, {},
            { "Interval=5", "URL=ftp://h/" } },
        { "two at once, in key order", "WebMonitor", { "Interval=5", URL, "Timeout=x", "Retry=y" },
            { { "Retry", "y", B::bvNotANumber }, { "Timeout", "x", B::bvNotANumber } },
            { "Interval=5", URL } },
        { "ping retry of letters", "PingMonitor", { "Interval=5", "Retry=abc" },
            { { "Retry", "abc", B::bvNotANumber } }, { "Interval=5", "IP=127.0.0.1", "Retry=1" } },
        { "empty host", "PingMonitor", { "Interval=5", "IP=" }, { { "IP", "", B::bvEmpty } },
            { "Interval=5", "IP=", "Retry=3" } },
        { "web text to expect", "WebMonitor", { "Interval=5", URL, "Expect=Add to cart" }, {},
            { "Interval=5", URL, "Expect=Add to cart" } },
        { "tcp with TLS", "TcpMonitor", { "Interval=5", "Host=db", "Port=5432", "TLS=1", "CertExpiryDays=9" },
            {},
            { "Interval=5", "Host=db", "Port=5432", "Timeout=10", "TLS=1", "VerifyTLS=1",
                "CertExpiryDays=9" } },
        { "tcp port out of range, empty host, time-out and TLS unreadable", "TcpMonitor",
            { "Interval=5", "Host=", "Port=65536", "Timeout=0", "TLS=yes" },
            { { "Host", "", B::bvEmpty }, { "Port", "65536", B::bvOutOfRange, 1, 65535 },
                { "Timeout", "0", B::bvTooSmall, 1 }, { "TLS", "yes", B::bvNotANumber } },
            { "Interval=5", "Host=", "Port=80", "Timeout=10", "TLS=0" } },
        { "tcp port 0", "TcpMonitor", { "Port=0" }, { { "Port", "0", B::bvOutOfRange, 1, 65535 } },
            { "Interval=0", "Host=127.0.0.1", "Port=80", "Timeout=10", "TLS=0" } },
        { "tcp port \"0x16\" is not decimal", "TcpMonitor", { "Port=0x16" },
            { { "Port", "0x16", B::bvNotANumber } },
            { "Interval=0", "Host=127.0.0.1", "Port=80", "Timeout=10", "TLS=0" } },
        { "tcp port \"$16\" is not decimal", "TcpMonitor", { "Port=$16" },
            { { "Port", "$16", B::bvNotANumber } },
            { "Interval=0", "Host=127.0.0.1", "Port=80", "Timeout=10", "TLS=0" } },
        { "tcp port \"+22\" is not decimal", "TcpMonitor", { "Port=+22" },
            { { "Port", "+22", B::bvNotANumber } },
            { "Interval=0", "Host=127.0.0.1", "Port=80", "Timeout=10", "TLS=0" } },
        { "tcp port \" 22\" is not decimal", "TcpMonitor", { "Port= 22" },
            { { "Port", " 22", B::bvNotANumber } },
            { "Interval=0", "Host=127.0.0.1", "Port=80", "Timeout=10", "TLS=0" } },
        { "tcp port \"22 \" is not decimal", "TcpMonitor", { "Port=22 " },
            { { "Port", "22 ", B::bvNotANumber } },
            { "Interval=0", "Host=127.0.0.1", "Port=80", "Timeout=10", "TLS=0" } },
        { "tcp port below 0", "TcpMonitor", { "Port=-22" }, { { "Port", "-22", B::bvOutOfRange, 1, 65535 } },
            { "Interval=0", "Host=127.0.0.1", "Port=80", "Timeout=10", "TLS=0" } },
        { "dns server port \"0x16\" is not decimal", "DnsMonitor", { "Server=127.0.0.1:0x16" },
            { { "Server", "127.0.0.1:0x16", B::bvNotAnAddress } },
            { "Interval=0", "Query=example.com", "Record=A", "Server=127.0.0.1:0x16", "Timeout=5" } },
        { "dns server port \"+22\" is not decimal", "DnsMonitor", { "Server=127.0.0.1:+22" },
            { { "Server", "127.0.0.1:+22", B::bvNotAnAddress } },
            { "Interval=0", "Query=example.com", "Record=A", "Server=127.0.0.1:+22", "Timeout=5" } },
        { "dns server port \" 22\" is not decimal", "DnsMonitor", { "Server=127.0.0.1: 22" },
            { { "Server", "127.0.0.1: 22", B::bvNotAnAddress } },
            { "Interval=0", "Query=example.com", "Record=A", "Server=127.0.0.1: 22", "Timeout=5" } },
        { "dns in full", "DnsMonitor",
            { "Interval=5", "Query=shop.test", "Record=aaaa", "Server=[::1]:5353", "Expect=::1",
                "Timeout=1" },
            {},
            { "Interval=5", "Query=shop.test", "Record=aaaa", "Server=[::1]:5353", "Expect=::1",
                "Timeout=1" } },
        { "dns empty query, unknown record, no address", "DnsMonitor",
            { "Interval=5", "Query=", "Record=SRV", "Server=ns.test:53", "Timeout=x" },
            { { "Query", "", B::bvEmpty }, { "Record", "SRV", B::bvNotARecord },
                { "Server", "ns.test:53", B::bvNotAnAddress }, { "Timeout", "x", B::bvNotANumber } },
            { "Interval=5", "Query=", "Record=SRV", "Server=ns.test:53", "Timeout=5" } },
        { "dns server port out of range", "DnsMonitor", { "Server=127.0.0.1:0" },
            { { "Server", "127.0.0.1:0", B::bvNotAnAddress } },
            { "Interval=0", "Query=example.com", "Record=A", "Server=127.0.0.1:0", "Timeout=5" } },
    };
    for (const Row& R : Rows) {
        TStringList Lines = R.Lines;
        Lines.push_back(std::string("Type=") + R.Type);
        const std::unique_ptr<TServiceMonitor> Monitor = CreateMonitorFromSettings(Lines);
        ASSERT_TRUE(Monitor) << R.Name;
        EXPECT_EQ(Monitor->BadValues(), R.Bad) << R.Name;
        EXPECT_EQ(Monitor->NotChecked(), !R.Bad.empty()) << R.Name;
        EXPECT_EQ(Monitor->GetSettings(), R.Saved) << R.Name;
        // A sound value given again mends the monitor.
        for (const TBadValue& Bad : R.Bad)
            Monitor->SetSettings({ Bad.Key + "="
                + (Bad.Key == "URL"                                                  ? "http://h/"
                        : Bad.Key == "IP" || Bad.Key == "Host" || Bad.Key == "Query" ? "h"
                        : Bad.Key == "Record"                                        ? "MX"
                        : Bad.Key == "Server"                                        ? "192.0.2.53"
                                                                                     : "2") });
        EXPECT_TRUE(Monitor->BadValues().empty()) << R.Name;
    }
    EXPECT_EQ(BadValueText({ "Timeout", "0", TBadValue::bvTooSmall, 1 }), "Timeout \"0\" is less than 1.");
    EXPECT_EQ(BadValueText({ "Port", "0", TBadValue::bvOutOfRange, 1, 65535 }),
        "Port \"0\" is not between 1 and 65535.");
    EXPECT_EQ(TTcpMonitor().EditorSettings(),
        (TStringList { "Interval=0", "Host=127.0.0.1", "Port=80", "Timeout=10", "TLS=0", "VerifyTLS=1",
            "CertExpiryDays=0" }));
    EXPECT_EQ(TDnsMonitor().EditorSettings(),
        (TStringList { "Interval=0", "Query=example.com", "Record=A", "Server=", "Expect=", "Timeout=5" }));
}

// Days left round down, so "fewer than N days" is DaysLeft < N; the text says which
// certificate and when.
TEST(Monitors, CertificateDaysAndText)
{
    const int64_t Now = 1'800'000'000; // 2027-01-15 08:00:00 UTC
    const int64_t Day = 86400;
    EXPECT_EQ(CertificateDaysLeft(Now + 5 * Day, Now), 5);
    EXPECT_EQ(CertificateDaysLeft(Now + 5 * Day - 1, Now), 4);
    EXPECT_EQ(CertificateDaysLeft(Now + 1, Now), 0);
    EXPECT_EQ(CertificateDaysLeft(Now - 1, Now), -1);
    EXPECT_EQ(CertificateDaysLeft(Now - Day, Now), -1);
    EXPECT_EQ(CertificateDaysLeft(Now - Day - 1, Now), -2);
    EXPECT_EQ(CertificateExpiryText({}, Now), "");
    EXPECT_EQ(CertificateExpiryText({ Now + Day, Now + Day }, Now),
        "Certificate expires in 1 day, on 2027-01-16 08:00:00 UTC.");
    EXPECT_EQ(CertificateExpiryText({ Now + 400 * Day, Now + 3 * Day }, Now),
        "A certificate of its chain expires in 3 days, on 2027-01-18 08:00:00 UTC.");
    EXPECT_EQ(CertificateExpiryText({ Now - 2 * Day, Now - 2 * Day }, Now),
        "Certificate expired 2 days ago, on 2027-01-13 08:00:00 UTC.");
}
