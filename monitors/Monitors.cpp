#include "monitors/Monitors.h"

#include "net/stack/NetStrings.h"

#include "net/http/NetURI.h"
#include "net/stack/NetException.h"
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

thread_local TProbeHandOff* GProbeHandOff = nullptr;

} // namespace

TProbeResult ProbeFailure(std::exception_ptr AError)
{
    try {
        std::rethrow_exception(AError);
    } catch (const std::exception& E) {
        if (std::string Short = ResourceShortage(E); !Short.empty())
            return TProbeResult::Short(std::move(Short));
        return { msError, E.what() };
    } catch (...) {
        return { msError, "Unknown error." };
    }
}

TProbeHandOff* CurrentProbeHandOff()
{
    return GProbeHandOff;
}

TProbeHandOffScope::TProbeHandOffScope(TProbeHandOff* AHandOff)
    : FPrevious(GProbeHandOff)
{
    GProbeHandOff = AHandOff;
}

TProbeHandOffScope::~TProbeHandOffScope()
{
    GProbeHandOff = FPrevious;
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

// Decimal digits, a "-" before them allowed, between AMinimum and AMaximum: a port is never
// written "0x16", "$16", "+22" or " 22", whatever else reads such text as a number.
std::optional<TBadValue> CheckRange(
    std::string_view AKey, const std::string& AValue, int32_t AMinimum, int32_t AMaximum)
{
    const std::string_view Digits = std::string_view(AValue).substr(AValue.starts_with('-') ? 1 : 0);
    if (Digits.empty() || Digits.find_first_not_of("0123456789") != std::string_view::npos)
        return TBadValue { std::string(AKey), AValue, TBadValue::bvNotANumber };
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

std::vector<TServiceMonitor::TKeyField> TServiceMonitor::Fields() const
{
    // Only read through where this monitor is const.
    auto* Self = const_cast<TServiceMonitor*>(this);
    std::vector<TKeyField> Result { &Self->FInterval };
    std::vector<TKeyField> Own = Self->OwnFields();
    Result.insert(Result.end(), Own.begin(), Own.end());
    return Result;
}

namespace {

std::string FieldText(const std::variant<int32_t*, bool*, std::string*>& AField)
{
    if (const auto* Number = std::get_if<int32_t*>(&AField))
        return IntToStr(**Number);
    if (const auto* Switch = std::get_if<bool*>(&AField))
        return **Switch ? "1" : "0";
    return *std::get<std::string*>(AField);
}

} // namespace

TStringList TServiceMonitor::EditorSettings() const
{
    const std::span<const TKeyDescription> Keys = Kind().Keys;
    const std::vector<TKeyField> Values = Fields();
    TStringList Lines;
    for (size_t I = 0; I < Keys.size(); ++I)
        Lines.push_back(std::string(Keys[I].Name) + "=" + FieldText(Values[I]));
    return Lines;
}

TStringList TServiceMonitor::GetSettings() const
{
    const std::span<const TKeyDescription> Keys = Kind().Keys;
    const TStringList All = EditorSettings();
    TStringList Lines;
    for (size_t I = 0; I < Keys.size(); ++I) {
        const std::string_view Value = std::string_view(All[I]).substr(Keys[I].Name.size() + 1);
        // Only the exception is written: a list made before such a key existed saves as it was.
        if (Keys[I].Written == kwUnlessDefault && Value == Keys[I].Default)
            continue;
        if (Keys[I].Written == kwWhileOn) {
            std::string Switch;
            if (FindSettingsValue(All, Keys[I].OnlyWith, Switch) && Switch == "0")
                continue;
        }
        Lines.push_back(All[I]);
    }
    return Lines;
}

void TServiceMonitor::SetSettings(const TStringList& ALines)
{
    const std::span<const TKeyDescription> Keys = Kind().Keys;
    const std::vector<TKeyField> Values = Fields();
    for (size_t I = 0; I < Keys.size(); ++I) {
        const TKeyDescription& Key = Keys[I];
        std::string Value;
        if (!FindSettingsValue(ALines, Key.Name, Value))
            continue;
        std::optional<TBadValue> Bad = CheckValue(Key.Name, Value);
        const bool IsBad = Bad.has_value();
        NoteBadValue(Key.Name, std::move(Bad));
        if (std::string* const* Text = std::get_if<std::string*>(&Values[I])) {
            **Text = std::move(Value);
            continue;
        }
        if (Key.Rule == krVerifySwitch) {
            *std::get<bool*>(Values[I]) = StrToIntDef(Value, 1) != 0;
            continue;
        }
        // A number its key cannot take gives the key's fallback, as it always has; a number
        // that is merely too small is not taken either.
        int32_t Number = 0;
        if (IsBad || !TryStrToInt(Value, Number)) {
            if (Key.KeepsField)
                continue;
            Number = Key.Fallback;
        }
        if (int32_t* const* Field = std::get_if<int32_t*>(&Values[I]))
            **Field = Number;
        else
            *std::get<bool*>(Values[I]) = Number != 0;
    }
}

std::optional<TBadValue> TServiceMonitor::CheckValue(std::string_view AKey, const std::string& AValue) const
{
    const TKeyDescription* Key = Kind().FindKey(AKey);
    if (!Key)
        return std::nullopt;
    const std::string Name(Key->Name);
    switch (Key->Rule) {
    case krNumber:
        if (Key->Maximum < INT32_MAX)
            return CheckRange(Name, AValue, Key->Minimum, Key->Maximum);
        return CheckInteger(Name, AValue, Key->Minimum);
    case krSwitch:
        // A typo never turns a setting on or off.
        return CheckInteger(Name, AValue, INT32_MIN);
    case krChoice:
        for (const std::string_view Choice : Key->Choices)
            if (SameText(Choice, AValue))
                return std::nullopt;
        return TBadValue { Name, AValue, TBadValue::bvNotARecord };
    case krURL: {
        if (std::optional<TBadValue> Empty = CheckEmpty(Name, AValue))
            return Empty;
        // The same parse the check makes; another scheme (ftp://) is the check's to refuse.
        const TNetURI URI(AValue);
        if (AValue.find("://") == std::string::npos || URI.Protocol.empty() || URI.Host.empty())
            return TBadValue { Name, AValue, TBadValue::bvNotAURL };
        return std::nullopt;
    }
    case krHost:
        return CheckEmpty(Name, AValue);
    case krAddress:
        if (IsServerAddress(AValue))
            return std::nullopt;
        return TBadValue { Name, AValue, TBadValue::bvNotAnAddress };
    case krVerifySwitch:
    case krText:
        break;
    }
    return std::nullopt;
}

void TServiceMonitor::NoteBadValue(std::string_view AKey, std::optional<TBadValue> ABad)
{
    const auto Found = std::find_if(FBadValues.begin(), FBadValues.end(),
        [AKey](const TBadValue& AOld) { return SameText(AOld.Key, AKey); });
    if (Found != FBadValues.end()) {
        if (ABad)
            *Found = std::move(*ABad);
        else
            FBadValues.erase(Found);
    } else if (ABad) {
        FBadValues.push_back(std::move(*ABad));
    }
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
    const TMonitorKind* Kind = FindMonitorKind(Type);
    if (!Kind)
        return nullptr;
    std::unique_ptr<TServiceMonitor> Monitor = Kind->Create();
    Monitor->SetSettings(ALines);
    return Monitor;
}
