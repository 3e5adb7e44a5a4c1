#include "monitors/Monitors.h"

#include "net/stack/NetStrings.h"

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

// Unreadable numbers fall back to a per-key default, never to an error.
void ReadInteger(const TStringList& ALines, std::string_view AKey, int32_t ADefault, int32_t& AField)
{
    std::string Value;
    if (FindSettingsValue(ALines, AKey, Value))
        AField = StrToIntDef(Value, ADefault);
}

void ReadText(const TStringList& ALines, std::string_view AKey, std::string& AField)
{
    std::string Value;
    if (FindSettingsValue(ALines, AKey, Value))
        AField = std::move(Value);
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

TStringList TServiceMonitor::GetSettings() const
{
    return { "Interval=" + IntToStr(FInterval) };
}

void TServiceMonitor::SetSettings(const TStringList& ALines)
{
    ReadInteger(ALines, "Interval", 0, FInterval);
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
    return Lines;
}

TStringList TWebMonitor::EditorSettings() const
{
    TStringList Lines = GetSettings();
    // In the order GetSettings writes them, whichever of them a list leaves out.
    if (FVerifyTLS)
        Lines.insert(Lines.begin() + 2, "VerifyTLS=1");
    if (FCertExpiryDays == 0)
        Lines.push_back("CertExpiryDays=0");
    return Lines;
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

std::string CertificateExpiryText(const TCertificateExpiry& AExpiry, int64_t ANow)
{
    if (AExpiry.Earliest == 0)
        return {};
    const time_t When = static_cast<time_t>(AExpiry.Earliest);
    struct tm Parts { };
    gmtime_r(&When, &Parts);
    char Date[32];
    std::strftime(Date, sizeof Date, "%Y-%m-%d %H:%M:%S UTC", &Parts);
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
