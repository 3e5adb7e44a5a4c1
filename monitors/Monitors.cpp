#include "monitors/Monitors.h"

#include "net/stack/NetStrings.h"

#include "net/http/NetURI.h"
#include "net/stack/NetStack.h"

#include <algorithm>
#include <arpa/inet.h>
#include <climits>
#include <ctime>

const char* StatusText(TMonitorStatus AStatus)
{
    switch (AStatus) {
    case msChecking:
        return "<->";
    case msOK:
        return "OK";
    case msError:
        return "ERROR";
    case msNone:
        break;
    }
    return "";
}

const char* StatusWord(TMonitorStatus AStatus)
{
    switch (AStatus) {
    case msOK:
        return "OK";
    case msError:
        return "ERROR";
    case msNone:
    case msChecking:
        break;
    }
    return "UNKNOWN";
}

namespace {

// Integer text, and at least AMinimum.
std::optional<TBadValue> CheckInteger(std::string_view AKey, const std::string& AValue, int32_t AMinimum)
{
    int32_t Number = 0;
    if (!TryStrToInt(AValue, Number))
        return TBadValue { std::string(AKey), AValue, TBadValue::bvNotANumber };
    if (Number < AMinimum)
        return TBadValue { std::string(AKey), AValue, TBadValue::bvTooSmall, AMinimum };
    return std::nullopt;
}

std::optional<TBadValue> CheckEmpty(std::string_view AKey, const std::string& AValue)
{
    if (AValue.empty())
        return TBadValue { std::string(AKey), AValue, TBadValue::bvEmpty };
    return std::nullopt;
}

// "0" and "1" and any other integer text (anything but 0 is on); not a number is refused, so
// a typo never turns a setting on or off.
std::optional<TBadValue> CheckSwitch(std::string_view AKey, const std::string& AValue)
{
    return CheckInteger(AKey, AValue, INT32_MIN);
}

// Integer text between AMinimum and AMaximum.
std::optional<TBadValue> CheckRange(
    std::string_view AKey, const std::string& AValue, int32_t AMinimum, int32_t AMaximum)
{
    if (std::optional<TBadValue> Bad = CheckInteger(AKey, AValue, INT32_MIN))
        return Bad;
    const int32_t Number = StrToIntDef(AValue, 0);
    if (Number < AMinimum || Number > AMaximum)
        return TBadValue { std::string(AKey), AValue, TBadValue::bvOutOfRange, AMinimum, AMaximum };
    return std::nullopt;
}

// An IPv4 or IPv6 address with an optional port: "192.0.2.1", "192.0.2.1:53", "2001:db8::1",
// "[2001:db8::1]:53". Empty is sound too: the system's resolvers.
bool IsServerAddress(const std::string& AValue)
{
    if (AValue.empty())
        return true;
    std::string Address = AValue;
    std::string Port;
    if (Address.front() == '[') {
        const size_t Close = Address.find(']');
        if (Close == std::string::npos)
            return false;
        if (Close + 1 < Address.size()) {
            if (Address[Close + 1] != ':')
                return false;
            Port = Address.substr(Close + 2);
            if (Port.empty())
                return false;
        }
        Address = Address.substr(1, Close - 1);
        if (!TNetStack::IsIPv6Address(Address))
            return false;
    } else if (!TNetStack::IsIPv6Address(Address)) {
        const size_t Colon = Address.find(':');
        if (Colon != std::string::npos) {
            Port = Address.substr(Colon + 1);
            Address.resize(Colon);
            if (Port.empty())
                return false;
        }
        // Four decimal numbers and nothing else: what the resolver library reads (a blank, a
        // sign or a hexadecimal part passes the list's integer rule but not the check).
        in_addr Bytes {};
        if (inet_pton(AF_INET, Address.c_str(), &Bytes) != 1)
            return false;
    }
    int32_t Number = 0;
    return Port.empty()
        || (Port.find_first_not_of("0123456789") == std::string::npos && TryStrToInt(Port, Number)
            && Number >= 1 && Number <= 65535);
}

} // namespace

bool FindSettingsValue(const TStringList& ALines, std::string_view AKey, std::string& AValue)
{
    for (const std::string& Line : ALines) {
        const size_t Eq = Line.find('=');
        if (Eq == std::string::npos)
            continue;
        if (SameText(std::string_view(Line).substr(0, Eq), AKey)) {
            AValue = Line.substr(Eq + 1);
            return true;
        }
    }
    return false;
}

std::string BadValueText(const TBadValue& AValue)
{
    const std::string Head = AValue.Key + " \"" + AValue.Value + "\" ";
    switch (AValue.Kind) {
    case TBadValue::bvNotANumber:
        return Head + "is not a number.";
    case TBadValue::bvTooSmall:
        return Head + "is less than " + IntToStr(AValue.Minimum) + ".";
    case TBadValue::bvEmpty:
        return AValue.Key + " is empty.";
    case TBadValue::bvNotAURL:
        return Head + "is not a URL: it must start with http:// or https:// and name a host.";
    case TBadValue::bvOutOfRange:
        return Head + "is not between " + IntToStr(AValue.Minimum) + " and " + IntToStr(AValue.Maximum) + ".";
    case TBadValue::bvNotARecord:
        return Head + "is not one of A, AAAA, CNAME, MX, NS, TXT.";
    case TBadValue::bvNotAnAddress:
        return Head
            + "is not an IP address with an optional port (192.0.2.53, 192.0.2.53:5353, [2001:db8::53]:53).";
    }
    return Head + "cannot be read.";
}

TStringList TServiceMonitor::GetSettings() const
{
    return { "Interval=" + IntToStr(FInterval) };
}

void TServiceMonitor::SetSettings(const TStringList& ALines)
{
    ReadInteger(ALines, "Interval", 0, FInterval);
}

std::optional<TBadValue> TServiceMonitor::CheckValue(std::string_view AKey, const std::string& AValue) const
{
    if (SameText(AKey, "Interval"))
        return CheckInteger("Interval", AValue, INT32_MIN);
    return std::nullopt;
}

void TServiceMonitor::NoteValue(std::string_view AKey, const std::string& AValue)
{
    std::optional<TBadValue> Bad = CheckValue(AKey, AValue);
    const auto Found = std::find_if(FBadValues.begin(), FBadValues.end(),
        [AKey](const TBadValue& AOld) { return SameText(AOld.Key, AKey); });
    if (Found != FBadValues.end()) {
        if (Bad)
            *Found = std::move(*Bad);
        else
            FBadValues.erase(Found);
    } else if (Bad) {
        FBadValues.push_back(std::move(*Bad));
    }
}

void TServiceMonitor::ReadInteger(
    const TStringList& ALines, std::string_view AKey, int32_t ADefault, int32_t& AField)
{
    std::string Value;
    if (!FindSettingsValue(ALines, AKey, Value))
        return;
    NoteValue(AKey, Value);
    // Unreadable numbers fall back to a per-key default, as they always have; a number that
    // is merely too small is not taken either.
    int32_t Number = 0;
    AField = CheckValue(AKey, Value) || !TryStrToInt(Value, Number) ? ADefault : Number;
}

void TServiceMonitor::ReadText(const TStringList& ALines, std::string_view AKey, std::string& AField)
{
    std::string Value;
    if (!FindSettingsValue(ALines, AKey, Value))
        return;
    NoteValue(AKey, Value);
    AField = std::move(Value);
}

void TServiceMonitor::SetStatus(TMonitorStatus AStatus)
{
    FStatus = AStatus;
    if (AStatus == msOK) {
        FLastActivity = Now();
        FLastError.clear();
    }
}

void TServiceMonitor::ApplyResult(const TProbeResult& AResult, TDateTime AFinished)
{
    FStatus = AResult.Status;
    FCertificate = AResult.Certificate;
    if (AResult.Status == msOK) {
        FLastActivity = AFinished;
        FLastError.clear();
        // The service is back: its next failure is a new one, worth an alarm.
        FAcknowledged = 0;
    } else {
        FLastError = AResult.Reason;
    }
}

TStringList TPingMonitor::GetSettings() const
{
    TStringList Lines = TServiceMonitor::GetSettings();
    Lines.push_back("IP=" + FIP);
    Lines.push_back("Retry=" + IntToStr(FRetry));
    return Lines;
}

std::optional<TBadValue> TPingMonitor::CheckValue(std::string_view AKey, const std::string& AValue) const
{
    if (SameText(AKey, "IP"))
        return CheckEmpty("IP", AValue);
    // 0 or less is read as it is: the check then says that nothing is sent.
    if (SameText(AKey, "Retry"))
        return CheckInteger("Retry", AValue, INT32_MIN);
    return TServiceMonitor::CheckValue(AKey, AValue);
}

void TPingMonitor::SetSettings(const TStringList& ALines)
{
    TServiceMonitor::SetSettings(ALines);
    ReadText(ALines, "IP", FIP);
    // 1, not the 3 of a new monitor: an unreadable count still makes one attempt.
    ReadInteger(ALines, "Retry", 1, FRetry);
}

TStringList TWebMonitor::GetSettings() const
{
    TStringList Lines = TServiceMonitor::GetSettings();
    Lines.push_back("URL=" + FURL);
    // Only the exception is written: a list made before the key existed saves as it was.
    if (!FVerifyTLS)
        Lines.push_back("VerifyTLS=0");
    if (FCertExpiryDays != 0)
        Lines.push_back("CertExpiryDays=" + IntToStr(FCertExpiryDays));
    if (FRetry != 1)
        Lines.push_back("Retry=" + IntToStr(FRetry));
    if (FTimeout != 10)
        Lines.push_back("Timeout=" + IntToStr(FTimeout));
    if (!FExpect.empty())
        Lines.push_back("Expect=" + FExpect);
    return Lines;
}

TStringList TWebMonitor::EditorSettings() const
{
    // Every key, in the order GetSettings writes them, whichever of them a list leaves out.
    TStringList Lines = TServiceMonitor::GetSettings();
    Lines.push_back("URL=" + FURL);
    Lines.push_back(FVerifyTLS ? "VerifyTLS=1" : "VerifyTLS=0");
    Lines.push_back("CertExpiryDays=" + IntToStr(FCertExpiryDays));
    Lines.push_back("Retry=" + IntToStr(FRetry));
    Lines.push_back("Timeout=" + IntToStr(FTimeout));
    Lines.push_back("Expect=" + FExpect);
    return Lines;
}

std::optional<TBadValue> TWebMonitor::CheckValue(std::string_view AKey, const std::string& AValue) const
{
    if (SameText(AKey, "URL")) {
        if (std::optional<TBadValue> Empty = CheckEmpty("URL", AValue))
            return Empty;
        // The same parse the check makes; another scheme (ftp://) is the check's to refuse.
        const TNetURI URI(AValue);
        if (AValue.find("://") == std::string::npos || URI.Protocol.empty() || URI.Host.empty())
            return TBadValue { "URL", AValue, TBadValue::bvNotAURL };
        return std::nullopt;
    }
    if (SameText(AKey, "Retry"))
        return CheckInteger("Retry", AValue, INT32_MIN);
    if (SameText(AKey, "Timeout"))
        return CheckInteger("Timeout", AValue, 1);
    if (SameText(AKey, "CertExpiryDays"))
        return CheckInteger("CertExpiryDays", AValue, INT32_MIN);
    return TServiceMonitor::CheckValue(AKey, AValue);
}

void TWebMonitor::SetSettings(const TStringList& ALines)
{
    TServiceMonitor::SetSettings(ALines);
    ReadText(ALines, "URL", FURL);
    // Anything but a readable 0 keeps verification on: a typo must not switch it off.
    std::string Value;
    if (FindSettingsValue(ALines, "VerifyTLS", Value))
        FVerifyTLS = StrToIntDef(Value, 1) != 0;
    ReadInteger(ALines, "CertExpiryDays", 0, FCertExpiryDays);
    ReadInteger(ALines, "Retry", 1, FRetry);
    ReadInteger(ALines, "Timeout", 10, FTimeout);
    ReadText(ALines, "Expect", FExpect);
}

TStringList TTcpMonitor::GetSettings() const
{
    TStringList Lines = TServiceMonitor::GetSettings();
    Lines.push_back("Host=" + FHost);
    Lines.push_back("Port=" + IntToStr(FPort));
    Lines.push_back("Timeout=" + IntToStr(FTimeout));
    Lines.push_back(FTLS ? "TLS=1" : "TLS=0");
    // The certificate keys mean something only with a handshake.
    if (FTLS) {
        Lines.push_back(FVerifyTLS ? "VerifyTLS=1" : "VerifyTLS=0");
        Lines.push_back("CertExpiryDays=" + IntToStr(FCertExpiryDays));
    }
    return Lines;
}

TStringList TTcpMonitor::EditorSettings() const
{
    TStringList Lines = TServiceMonitor::GetSettings();
    Lines.push_back("Host=" + FHost);
    Lines.push_back("Port=" + IntToStr(FPort));
    Lines.push_back("Timeout=" + IntToStr(FTimeout));
    Lines.push_back(FTLS ? "TLS=1" : "TLS=0");
    Lines.push_back(FVerifyTLS ? "VerifyTLS=1" : "VerifyTLS=0");
    Lines.push_back("CertExpiryDays=" + IntToStr(FCertExpiryDays));
    return Lines;
}

std::optional<TBadValue> TTcpMonitor::CheckValue(std::string_view AKey, const std::string& AValue) const
{
    if (SameText(AKey, "Host"))
        return CheckEmpty("Host", AValue);
    if (SameText(AKey, "Port"))
        return CheckRange("Port", AValue, 1, 65535);
    if (SameText(AKey, "Timeout"))
        return CheckInteger("Timeout", AValue, 1);
    if (SameText(AKey, "TLS"))
        return CheckSwitch("TLS", AValue);
    if (SameText(AKey, "CertExpiryDays"))
        return CheckInteger("CertExpiryDays", AValue, INT32_MIN);
    return TServiceMonitor::CheckValue(AKey, AValue);
}

void TTcpMonitor::SetSettings(const TStringList& ALines)
{
    TServiceMonitor::SetSettings(ALines);
    ReadText(ALines, "Host", FHost);
    ReadInteger(ALines, "Port", FPort, FPort);
    ReadInteger(ALines, "Timeout", 10, FTimeout);
    int32_t Switch = FTLS ? 1 : 0;
    ReadInteger(ALines, "TLS", Switch, Switch);
    FTLS = Switch != 0;
    // As on a web monitor: anything but a readable 0 keeps verification on.
    std::string Value;
    if (FindSettingsValue(ALines, "VerifyTLS", Value))
        FVerifyTLS = StrToIntDef(Value, 1) != 0;
    ReadInteger(ALines, "CertExpiryDays", 0, FCertExpiryDays);
}

std::string TTcpMonitor::Target() const
{
    if (FHost.find(':') != std::string::npos && FHost.front() != '[')
        return "[" + FHost + "]:" + IntToStr(FPort);
    return FHost + ":" + IntToStr(FPort);
}

const std::vector<std::string>& TDnsMonitor::RecordTypes()
{
    static const std::vector<std::string> Types { "A", "AAAA", "CNAME", "MX", "NS", "TXT" };
    return Types;
}

TStringList TDnsMonitor::GetSettings() const
{
    TStringList Lines = TServiceMonitor::GetSettings();
    Lines.push_back("Query=" + FQuery);
    Lines.push_back("Record=" + FRecord);
    // Left out while empty: the system's resolvers, any answer.
    if (!FServer.empty())
        Lines.push_back("Server=" + FServer);
    if (!FExpect.empty())
        Lines.push_back("Expect=" + FExpect);
    Lines.push_back("Timeout=" + IntToStr(FTimeout));
    return Lines;
}

TStringList TDnsMonitor::EditorSettings() const
{
    TStringList Lines = TServiceMonitor::GetSettings();
    Lines.push_back("Query=" + FQuery);
    Lines.push_back("Record=" + FRecord);
    Lines.push_back("Server=" + FServer);
    Lines.push_back("Expect=" + FExpect);
    Lines.push_back("Timeout=" + IntToStr(FTimeout));
    return Lines;
}

std::optional<TBadValue> TDnsMonitor::CheckValue(std::string_view AKey, const std::string& AValue) const
{
    if (SameText(AKey, "Query"))
        return CheckEmpty("Query", AValue);
    if (SameText(AKey, "Record")) {
        for (const std::string& Type : RecordTypes())
            if (SameText(Type, AValue))
                return std::nullopt;
        return TBadValue { "Record", AValue, TBadValue::bvNotARecord };
    }
    if (SameText(AKey, "Server"))
        return IsServerAddress(AValue)
            ? std::nullopt
            : std::optional(TBadValue { "Server", AValue, TBadValue::bvNotAnAddress });
    if (SameText(AKey, "Timeout"))
        return CheckInteger("Timeout", AValue, 1);
    return TServiceMonitor::CheckValue(AKey, AValue);
}

void TDnsMonitor::SetSettings(const TStringList& ALines)
{
    TServiceMonitor::SetSettings(ALines);
    ReadText(ALines, "Query", FQuery);
    ReadText(ALines, "Record", FRecord);
    ReadText(ALines, "Server", FServer);
    ReadText(ALines, "Expect", FExpect);
    ReadInteger(ALines, "Timeout", 5, FTimeout);
}

std::string TDnsMonitor::Target() const
{
    std::string Text = FQuery + " " + FRecord;
    if (!FServer.empty())
        Text += " @" + FServer;
    return Text;
}

int64_t UnixNow()
{
    return static_cast<int64_t>(std::time(nullptr));
}

int64_t CertificateDaysLeft(int64_t ANotAfter, int64_t ANow)
{
    const int64_t Seconds = ANotAfter - ANow;
    // Rounded towards minus infinity, so a certificate that expired an hour ago is at -1.
    return Seconds >= 0 ? Seconds / 86400 : -((-Seconds + 86399) / 86400);
}

std::string UtcDateText(int64_t AUnix)
{
    const time_t When = static_cast<time_t>(AUnix);
    struct tm Parts { };
    gmtime_r(&When, &Parts);
    char Date[32];
    std::strftime(Date, sizeof Date, "%Y-%m-%d %H:%M:%S UTC", &Parts);
    return Date;
}

TProbeResult WithCertificate(TProbeResult AResult, TCertificateExpiry AExpiry, int32_t AWarnDays)
{
    AResult.Certificate = AExpiry;
    if (AResult.Status == msOK && AWarnDays > 0 && AExpiry.Earliest != 0) {
        const int64_t Now = UnixNow();
        if (CertificateDaysLeft(AExpiry.Earliest, Now) < AWarnDays)
            return { msError,
                CertificateExpiryText(AExpiry, Now) + " CertExpiryDays is " + std::to_string(AWarnDays) + ".",
                AExpiry };
    }
    return AResult;
}

std::string CertificateExpiryText(const TCertificateExpiry& AExpiry, int64_t ANow)
{
    if (AExpiry.Earliest == 0)
        return {};
    const std::string Date = UtcDateText(AExpiry.Earliest);
    const int64_t Days = CertificateDaysLeft(AExpiry.Earliest, ANow);
    const auto DaysText = [](int64_t ACount) { return IntToStr(ACount) + (ACount == 1 ? " day" : " days"); };
    std::string Text = AExpiry.Earliest < AExpiry.Leaf ? "A certificate of its chain" : "Certificate";
    if (AExpiry.Earliest < ANow)
        Text += " expired " + DaysText(-Days) + " ago, on ";
    else
        Text += " expires in " + DaysText(Days) + ", on ";
    return Text + Date + ".";
}

std::unique_ptr<TServiceMonitor> CreateMonitorFromSettings(const TStringList& ALines)
{
    std::string Type;
    if (!FindSettingsValue(ALines, "Type", Type))
        return nullptr;
    std::unique_ptr<TServiceMonitor> Monitor;
    if (Type == "PingMonitor")
        Monitor = std::make_unique<TPingMonitor>();
    else if (Type == "WebMonitor")
        Monitor = std::make_unique<TWebMonitor>();
    else if (Type == "TcpMonitor")
        Monitor = std::make_unique<TTcpMonitor>();
    else if (Type == "DnsMonitor")
        Monitor = std::make_unique<TDnsMonitor>();
    else
        return nullptr;
    Monitor->SetSettings(ALines);
    return Monitor;
}
