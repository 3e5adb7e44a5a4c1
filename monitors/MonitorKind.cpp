#include "monitors/MonitorKind.h"

#include "monitors/Monitors.h"
#include "net/http/NetURI.h"
#include "net/stack/NetStrings.h"

#include <algorithm>
#include <array>

namespace {

// Every kind has it first; the base class holds its field.
constexpr TKeyDescription IntervalKey { .Name = "Interval",
    .Rule = krNumber,
    .Default = "0",
    .Unit = "seconds",
    .Meaning
    = "seconds between checks; 0 or less: never checked on its own (a double-click still checks it)" };

const std::array PingKeys {
    IntervalKey,
    TKeyDescription { .Name = "IP",
        .Rule = krHost,
        .Default = "127.0.0.1",
        .Meaning = "the host to ping: an IPv4 or IPv6 address or a name" },
    // 0 or less is taken as it is: the check then says that nothing is sent. An unreadable
    // count makes one attempt, not the 3 of a new monitor.
    TKeyDescription { .Name = "Retry",
        .Rule = krNumber,
        .Default = "3",
        .Unit = "echo requests",
        .Meaning = "echo requests sent at most, each waited for 1 s; the first reply ends the check",
        .Fallback = 1 },
};

const std::array WebKeys {
    IntervalKey,
    TKeyDescription { .Name = "URL",
        .Rule = krURL,
        .Default = "http://127.0.0.1/",
        .Meaning = "the `http://` or `https://` URL fetched with GET; a 2xx answer is success" },
    TKeyDescription { .Name = "VerifyTLS",
        .Rule = krVerifySwitch,
        .Default = "1",
        .Meaning = "`0` turns off the verification of an https server's certificate",
        .Written = kwUnlessDefault },
    TKeyDescription { .Name = "CertExpiryDays",
        .Rule = krNumber,
        .Default = "0",
        .Unit = "days",
        .Meaning = "days: an https check fails while fewer are left before a certificate expires; 0 is off",
        .Written = kwUnlessDefault },
    TKeyDescription { .Name = "Retry",
        .Rule = krNumber,
        .Default = "1",
        .Unit = "attempts",
        .Meaning = "attempts in one check, a second apart; the check fails only when every attempt fails",
        .Written = kwUnlessDefault,
        .Fallback = 1 },
    TKeyDescription { .Name = "Timeout",
        .Rule = krNumber,
        .Default = "10",
        .Unit = "seconds",
        .Meaning = "seconds the connect (with its TLS handshake) and each read may wait; 1 or more",
        .Written = kwUnlessDefault,
        .Minimum = 1,
        .Fallback = 10 },
    TKeyDescription { .Name = "Expect",
        .Rule = krText,
        .Meaning
        = "text the body of a 2xx answer must hold within its first MiB, letter case counting; empty asks "
          "for nothing",
        .Written = kwUnlessDefault },
};

const std::array TcpKeys {
    IntervalKey,
    TKeyDescription { .Name = "Host",
        .Rule = krHost,
        .Default = "127.0.0.1",
        .Meaning = "a name, an IPv4 or an IPv6 address (`::1`, or `[::1]`)" },
    // An unreadable port or switch leaves the field as it was.
    TKeyDescription { .Name = "Port",
        .Rule = krNumber,
        .Default = "80",
        .Meaning = "1 to 65535",
        .Minimum = 1,
        .Maximum = 65535,
        .KeepsField = true },
    TKeyDescription { .Name = "Timeout",
        .Rule = krNumber,
        .Default = "10",
        .Unit = "seconds",
        .Meaning = "seconds, 1 or more, for the lookup, the connect and the handshake together",
        .Minimum = 1,
        .Fallback = 10 },
    TKeyDescription { .Name = "TLS",
        .Rule = krSwitch,
        .Default = "0",
        .Meaning = "1: a TLS handshake follows the connect, and the check succeeds only when it does",
        .KeepsField = true },
    // The certificate keys mean something only with a handshake.
    TKeyDescription { .Name = "VerifyTLS",
        .Rule = krVerifySwitch,
        .Default = "1",
        .Meaning = "with `TLS=1`, as on web monitors: the chain and the name (`Host`) are verified",
        .Written = kwWhileOn,
        .OnlyWith = "TLS" },
    TKeyDescription { .Name = "CertExpiryDays",
        .Rule = krNumber,
        .Default = "0",
        .Unit = "days",
        .Meaning = "with `TLS=1`, as on web monitors",
        .Written = kwWhileOn,
        .OnlyWith = "TLS" },
};

constexpr std::array<std::string_view, 6> RecordTypes { "A", "AAAA", "CNAME", "MX", "NS", "TXT" };

const std::array DnsKeys {
    IntervalKey,
    TKeyDescription {
        .Name = "Query", .Rule = krHost, .Default = "example.com", .Meaning = "the name to ask for" },
    TKeyDescription { .Name = "Record",
        .Rule = krChoice,
        .Default = "A",
        .Meaning = "`A`, `AAAA`, `CNAME`, `MX`, `NS` or `TXT` (any letter case)",
        .Choices = RecordTypes },
    // Left out while empty: the system's resolvers, any answer.
    TKeyDescription { .Name = "Server",
        .Rule = krAddress,
        .Meaning = "the server to ask: `192.0.2.53`, `192.0.2.53:5353`, `2001:db8::53` or "
                   "`[2001:db8::53]:5353`; empty "
                   "asks the system's resolvers (`/etc/resolv.conf`)",
        .Written = kwUnlessDefault },
    TKeyDescription { .Name = "Expect",
        .Rule = krText,
        .Meaning
        = "a value that must be among the answers: an address (in any spelling of it), a name (letter case "
          "and a final dot do not count; for `MX` the mail host), or a TXT record's text (its strings "
          "joined)",
        .Written = kwUnlessDefault },
    TKeyDescription { .Name = "Timeout",
        .Rule = krNumber,
        .Default = "5",
        .Unit = "seconds",
        .Meaning = "seconds, 1 or more, for the whole question, however many servers are tried",
        .Minimum = 1,
        .Fallback = 5 },
};

template <class TKindClass> std::unique_ptr<TServiceMonitor> Create()
{
    return std::make_unique<TKindClass>();
}

// "host:port", an IPv6 address in brackets.
std::string TcpTarget(const TServiceMonitor& AMonitor, TTargetForm)
{
    const auto& Tcp = static_cast<const TTcpMonitor&>(AMonitor);
    const std::string& Host = Tcp.Host();
    if (Host.find(':') != std::string::npos && Host.front() != '[')
        return "[" + Host + "]:" + IntToStr(Tcp.Port());
    return Host + ":" + IntToStr(Tcp.Port());
}

// "Query Record", with " @Server" when one is set.
std::string DnsTarget(const TServiceMonitor& AMonitor, TTargetForm)
{
    const auto& Dns = static_cast<const TDnsMonitor&>(AMonitor);
    std::string Text = Dns.Query() + " " + Dns.Record();
    if (!Dns.Server().empty())
        Text += " @" + Dns.Server();
    return Text;
}

std::string WebTarget(const TServiceMonitor& AMonitor, TTargetForm AForm)
{
    const std::string& URL = static_cast<const TWebMonitor&>(AMonitor).URL();
    switch (AForm) {
    case tfFull:
        return URL;
    case tfMasked:
        return MaskURL(URL);
    case tfLabel:
        // A label is kept by the time-series database for good; a query there would also
        // make a new series of each of its changes.
        return MaskURL(URL, umLabel);
    }
    return MaskURL(URL);
}

const TMonitorKind PingKind { .TypeKey = "PingMonitor",
    .Word = "ping",
    .MenuText = "&PingMonitor",
    .Caption = VARDEX_WINDOW_TEXT("TfmMain", "Ping-монитор: %1"),
    .Keys = PingKeys,
    .Create = Create<TPingMonitor>,
    .Target = [](const TServiceMonitor& AMonitor, TTargetForm) {
        return static_cast<const TPingMonitor&>(AMonitor).IP();
    } };

const TMonitorKind WebKind { .TypeKey = "WebMonitor",
    .Word = "web",
    .MenuText = "WebMonitor",
    .Caption = VARDEX_WINDOW_TEXT("TfmMain", "Веб-монитор: %1"),
    .Keys = WebKeys,
    .Create = Create<TWebMonitor>,
    .Target = WebTarget };

const TMonitorKind TcpKind { .TypeKey = "TcpMonitor",
    .Word = "TCP",
    .MenuText = "TcpMonitor",
    .Caption = VARDEX_WINDOW_TEXT("TfmMain", "TCP-монитор: %1"),
    .Keys = TcpKeys,
    .Create = Create<TTcpMonitor>,
    .Target = TcpTarget };

const TMonitorKind DnsKind { .TypeKey = "DnsMonitor",
    .Word = "DNS",
    .MenuText = "DnsMonitor",
    .Caption = VARDEX_WINDOW_TEXT("TfmMain", "DNS-монитор: %1"),
    .Keys = DnsKeys,
    .Create = Create<TDnsMonitor>,
    .Target = DnsTarget };

} // namespace

const TMonitorKind& TPingMonitor::Kind() const
{
    return PingKind;
}

const TMonitorKind& TWebMonitor::Kind() const
{
    return WebKind;
}

const TMonitorKind& TTcpMonitor::Kind() const
{
    return TcpKind;
}

const TMonitorKind& TDnsMonitor::Kind() const
{
    return DnsKind;
}

const std::vector<const TMonitorKind*>& MonitorKinds()
{
    static const std::vector<const TMonitorKind*> Kinds { &PingKind, &WebKind, &TcpKind, &DnsKind };
    return Kinds;
}

const TMonitorKind* FindMonitorKind(std::string_view ATypeKey)
{
    for (const TMonitorKind* Kind : MonitorKinds())
        if (Kind->TypeKey == ATypeKey)
            return Kind;
    return nullptr;
}

const TKeyDescription* TMonitorKind::FindKey(std::string_view AName) const
{
    const auto Found = std::find_if(Keys.begin(), Keys.end(),
        [AName](const TKeyDescription& AKey) { return SameText(AKey.Name, AName); });
    return Found == Keys.end() ? nullptr : &*Found;
}
