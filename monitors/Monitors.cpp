#include "monitors/Monitors.h"

#include "net/stack/NetStrings.h"

#include "net/http/NetURI.h"

#include <algorithm>
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

TMonitorObserver* GMonitorObserver = nullptr;

// Repaint, then one pass of the observer's event loop.
void Notify(TServiceMonitor* AMonitor)
{
    if (TMonitorObserver* Observer = GMonitorObserver) {
        Observer->UpdateMonitorView(AMonitor);
        Observer->ProcessMessages();
    }
}

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

} // namespace

void SetMonitorObserver(TMonitorObserver* AObserver)
{
    GMonitorObserver = AObserver;
}

TMonitorObserver* MonitorObserver()
{
    return GMonitorObserver;
}

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

void TServiceMonitor::Check()
{
    SetStatus(msChecking);
    ApplyResult(Probe(), Now());
}

void TServiceMonitor::SetStatus(TMonitorStatus AStatus)
{
    FStatus = AStatus;
    if (AStatus == msOK) {
        FLastActivity = Now();
        FLastError.clear();
    }
    Notify(this);
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
    Notify(this);
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
        return AValue.empty() ? std::optional(TBadValue { "IP", AValue, TBadValue::bvEmpty }) : std::nullopt;
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
    return Lines;
}

std::optional<TBadValue> TWebMonitor::CheckValue(std::string_view AKey, const std::string& AValue) const
{
    if (SameText(AKey, "URL")) {
        if (AValue.empty())
            return TBadValue { "URL", AValue, TBadValue::bvEmpty };
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
    else
        return nullptr;
    Monitor->SetSettings(ALines);
    return Monitor;
}
