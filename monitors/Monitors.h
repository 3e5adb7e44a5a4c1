// The watched services: the abstract monitor, its ping, web, TCP and DNS kinds, their settings
// lines (Key=Value text shared by the monitor-list file and the window's editor, read and
// written by the kinds' descriptions in MonitorKind.h) and the factory.
// No GUI and no threads here: a probe reads only its own monitor's settings and returns what
// it found, so a check engine can run it on a copy on another thread, and the owner of the
// monitor applies the result.
#pragma once

#include "monitors/MonitorKind.h"
#include "net/stack/NetTime.h"

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

// Settings lines, Key=Value, in order.
using TStringList = std::vector<std::string>;

enum TMonitorStatus : uint8_t { msNone, msChecking, msOK, msError };

// The status as the window's list shows it: "<->", "OK", "ERROR", or empty for msNone.
const char* StatusText(TMonitorStatus AStatus);
// The status as a verdict for scripts (vardex-check): "OK", "ERROR", or "UNKNOWN" for a
// status that is no verdict (msNone, msChecking).
const char* StatusWord(TMonitorStatus AStatus);

class TServiceMonitor;

// When the certificates an https server showed stop being valid, as Unix seconds (UTC);
// 0 where the check did not get that far (plain http, no handshake).
struct TCertificateExpiry {
    // The server's own certificate.
    int64_t Leaf = 0;
    // The earliest of its verified chain, the leaf included: when the check starts failing.
    int64_t Earliest = 0;
    bool operator==(const TCertificateExpiry&) const = default;
};

// Whole days from ANow to ANotAfter (Unix seconds), rounded down: 0 within the last day,
// negative once it has passed. So "fewer than N days left" is exactly DaysLeft < N.
int64_t CertificateDaysLeft(int64_t ANotAfter, int64_t ANow);
// "Certificate expires in 4 days, on 2026-12-12 14:40:00 UTC." (or "expired 2 days ago, on
// ..."), the earliest of AExpiry; says "A certificate of its chain" when that is not the
// server's own. Empty when AExpiry holds nothing.
std::string CertificateExpiryText(const TCertificateExpiry& AExpiry, int64_t ANow);
// "2026-12-16 10:00:00 UTC": the moment AUnix (Unix seconds) as the certificate texts give it.
std::string UtcDateText(int64_t AUnix);
// Unix seconds now.
int64_t UnixNow();

// What one probe found: msOK or msError and, for an error, why; for an https check, when its
// certificates expire.
struct TProbeResult {
    TProbeResult() = default;
    TProbeResult(TMonitorStatus AStatus, std::string AReason, TCertificateExpiry ACertificate = {})
        : Status(AStatus)
        , Reason(std::move(AReason))
        , Certificate(ACertificate)
    {
    }
    // The probe could not get what it runs on (a descriptor, a thread, memory): it found
    // nothing about the service, and Reason says what was short.
    static TProbeResult Short(std::string AReason)
    {
        TProbeResult Result(msError, std::move(AReason));
        Result.Shortage = true;
        return Result;
    }
    TMonitorStatus Status = msError;
    std::string Reason;
    TCertificateExpiry Certificate;
    bool Shortage = false;
};

// The one failure policy for a probe that raised: an error with the exception's text, or a
// shortage when it says that a descriptor, a thread or memory ran out.
TProbeResult ProbeFailure(std::exception_ptr AError);

// Lets a probe end its check on another thread rather than wait on its own. The check engine
// offers one while it runs a probe (CurrentProbeHandOff); a probe run directly has none.
class TProbeHandOff {
public:
    using TFinish = std::function<void(TProbeResult)>;
    // Takes the check over: what the probe returns from then on is ignored, and the check ends
    // when the returned function is called, exactly once, on any thread. ACancel may be
    // called once, on any thread, to ask for an early end; the check is still finished then.
    virtual TFinish HandOff(std::function<void()> ACancel) = 0;

protected:
    ~TProbeHandOff() = default;
};

// The hand-off offered to the probes of the calling thread; nullptr when there is none.
TProbeHandOff* CurrentProbeHandOff();

// Offers AHandOff to the calling thread's probes while it lives.
class TProbeHandOffScope {
public:
    explicit TProbeHandOffScope(TProbeHandOff* AHandOff);
    ~TProbeHandOffScope();
    TProbeHandOffScope(const TProbeHandOffScope&) = delete;
    TProbeHandOffScope& operator=(const TProbeHandOffScope&) = delete;

private:
    TProbeHandOff* FPrevious;
};

// A value in a monitor's settings that its key cannot take. Reading a list still applies
// what an unreadable value has always meant (a number falls back to its key's default), but
// the monitor keeps the line's text and is not checked by the timer until it is mended: a
// typo must not pass for a monitor that is watched.
struct TBadValue {
    enum TKind : uint8_t {
        bvNotANumber, // not integer text
        bvTooSmall, // a number below Minimum
        bvEmpty, // nothing where a host or a URL belongs
        bvNotAURL, // no "scheme://host"
        bvOutOfRange, // a number outside Minimum..Maximum
        bvNotARecord, // not a record type a DNS monitor asks for
        bvNotAnAddress, // not an address with an optional port
    };
    std::string Key; // as the key table writes it ("Interval")
    std::string Value; // the value as it was read
    TKind Kind = bvNotANumber;
    int32_t Minimum = 0;
    int32_t Maximum = 0;

    bool operator==(const TBadValue&) const = default;
};

// `Retry "abc" is not a number.` and the like, for vardex-check and logs.
std::string BadValueText(const TBadValue& AValue);

// The key rule: the name of a line is its text before the first "=" (a line without "="
// has none); the first line whose name equals AKey, ignoring ASCII letter case and nothing
// else, wins; its value is everything after that "=", untrimmed. False when no line matches.
bool FindSettingsValue(const TStringList& ALines, std::string_view AKey, std::string& AValue);

// A monitor starts with every field zero; the concrete kinds set their own defaults.
class TServiceMonitor {
public:
    TServiceMonitor() = default;
    virtual ~TServiceMonitor() = default;
    TServiceMonitor(const TServiceMonitor&) = delete;
    TServiceMonitor& operator=(const TServiceMonitor&) = delete;

    // Runs one probe on this monitor's settings and returns its outcome; changes nothing,
    // so it may run on any thread while the monitor itself is left alone. Raises only when
    // the probe could not even start.
    virtual TProbeResult Probe() const = 0;
    // What kind of monitor this is: its keys, its target, its type name.
    virtual const TMonitorKind& Kind() const = 0;
    // The lines a list carries for this monitor, in the order of Kind().Keys: every key but
    // those whose description says to leave them out now.
    virtual TStringList GetSettings() const;
    // Applies the keys of Kind() that ALines has; absent keys leave their fields alone.
    virtual void SetSettings(const TStringList& ALines);
    // The lines the settings editor shows: every key of Kind(), those a list leaves out while
    // they hold their defaults included, so that the operator can find and change them.
    TStringList EditorSettings() const;
    // The type key written after "Type=": the class name without its leading letter.
    std::string TypeKey() const { return std::string(Kind().TypeKey); }
    // What the monitor checks, said in AForm (Kind().Target).
    std::string Target(TTargetForm AForm) const { return Kind().Target(*this, AForm); }
    // What is wrong with AValue for the key AKey of this kind (its rule in Kind().Keys);
    // nothing for a value the key takes, and for a key this kind does not have.
    std::optional<TBadValue> CheckValue(std::string_view AKey, const std::string& AValue) const;

    // The values of the last SetSettings that their keys could not take, in key order; a key
    // given again with a sound value leaves this list.
    const std::vector<TBadValue>& BadValues() const { return FBadValues; }
    // Whether the timer leaves this monitor alone: its interval is 0 or less, or a value of
    // its settings could not be read.
    bool NotChecked() const { return FInterval <= 0 || !FBadValues.empty(); }

    // When the operator acknowledged the failure of this monitor (local time), 0 when not:
    // the monitor stays in error but no longer raises the alarm. A success ends it.
    TDateTime Acknowledged() const { return FAcknowledged; }
    void SetAcknowledged(TDateTime AWhen) { FAcknowledged = AWhen; }

    // Stores the status; msOK stamps FLastActivity with the current time and clears the
    // reason.
    void SetStatus(TMonitorStatus AStatus);
    // Applies a finished check: its status, its reason (cleared on success), its certificate
    // expiry and, on msOK, AFinished as the last activity.
    void ApplyResult(const TProbeResult& AResult, TDateTime AFinished);

    int32_t Interval() const { return FInterval; }
    void SetInterval(int32_t AValue) { FInterval = AValue; }
    TDateTime LastCheck() const { return FLastCheck; }
    // Written by whoever starts a check, never by the monitor itself.
    void SetLastCheck(TDateTime AValue) { FLastCheck = AValue; }
    // The same start on a clock that never steps (milliseconds), which the due rule counts
    // intervals on; empty until the first check.
    std::optional<int64_t> LastCheckTick() const { return FLastCheckTick; }
    void SetLastCheckTick(std::optional<int64_t> AValue) { FLastCheckTick = AValue; }
    // Forgets when the last check started, so that the monitor is due at once.
    void ResetLastCheck()
    {
        FLastCheck = 0;
        FLastCheckTick.reset();
    }
    TDateTime LastActivity() const { return FLastActivity; }
    // A last success known from elsewhere (the history of an earlier run).
    void SetLastActivity(TDateTime AValue) { FLastActivity = AValue; }
    TMonitorStatus Status() const { return FStatus; }
    // Why the last check failed; empty at creation and after a success.
    const std::string& LastError() const { return FLastError; }
    void SetLastError(std::string AText) { FLastError = std::move(AText); }
    // What the last finished check read of the server's certificates.
    const TCertificateExpiry& Certificate() const { return FCertificate; }

private:
    int32_t FInterval = 0;
    TDateTime FLastCheck = 0;
    std::optional<int64_t> FLastCheckTick;
    TDateTime FLastActivity = 0;
    TMonitorStatus FStatus = msNone;
    std::string FLastError;
    TCertificateExpiry FCertificate;
    TDateTime FAcknowledged = 0;
    std::vector<TBadValue> FBadValues;

protected:
    // Where the value of a key lives.
    using TKeyField = std::variant<int32_t*, bool*, std::string*>;
    // The fields behind Kind().Keys after Interval, in the same order and of the key's sort:
    // a number, a switch or a text.
    virtual std::vector<TKeyField> OwnFields() { return {}; }

private:
    // The fields of every key of Kind(), Interval first.
    std::vector<TKeyField> Fields() const;
    // Notes or clears the bad value of AKey: ABad is what CheckValue said of its value.
    void NoteBadValue(std::string_view AKey, std::optional<TBadValue> ABad);
};

// ICMP echo to a host, up to FRetry attempts.
class TPingMonitor : public TServiceMonitor {
public:
    // Up to Retry echo exchanges; a Retry of 0 or less is an error at once (nothing is sent).
    // Offered a hand-off, it waits for an answer that is not there at once on the shared
    // socket's parking thread, not on its own.
    TProbeResult Probe() const override;
    const TMonitorKind& Kind() const override;

    const std::string& IP() const { return FIP; }
    void SetIP(std::string AValue) { FIP = std::move(AValue); }
    int32_t Retry() const { return FRetry; }
    void SetRetry(int32_t AValue) { FRetry = AValue; }

private:
    std::vector<TKeyField> OwnFields() override { return { &FIP, &FRetry }; }

    std::string FIP = "127.0.0.1";
    int32_t FRetry = 3;
};

class TNetHTTP;
class TNetURI;

// One HTTP or HTTPS GET of FURL; a 2xx answer is success.
class TWebMonitor : public TServiceMonitor {
public:
    TProbeResult Probe() const override;
    const TMonitorKind& Kind() const override;

    // The pause between two attempts of one check, in milliseconds.
    static constexpr int RetryPauseMs = 1000;

    const std::string& URL() const { return FURL; }
    void SetURL(std::string AValue) { FURL = std::move(AValue); }
    // Whether an https URL's server must show a certificate that the system trusts, issued
    // for the URL's host. Key "VerifyTLS": 1 (the default, not written to a list) or 0.
    bool VerifyTLS() const { return FVerifyTLS; }
    void SetVerifyTLS(bool AValue) { FVerifyTLS = AValue; }
    // A successful https check whose certificates expire within this many days is an error
    // that says so. Key "CertExpiryDays": 0 (the default, not written to a list) turns it off,
    // and so does a negative number.
    int32_t CertExpiryDays() const { return FCertExpiryDays; }
    void SetCertExpiryDays(int32_t AValue) { FCertExpiryDays = AValue; }
    // Attempts in one check, as a ping monitor's Retry: the check fails only when every one
    // fails. Key "Retry": 1 (the default, not written to a list).
    int32_t Retry() const { return FRetry; }
    void SetRetry(int32_t AValue) { FRetry = AValue; }
    // How long the connect and each read may wait, in seconds (1 or more). Key "Timeout": 10
    // (the default, not written to a list).
    int32_t Timeout() const { return FTimeout; }
    void SetTimeout(int32_t AValue) { FTimeout = AValue; }
    // Text that a 2xx body must hold within its first ExpectLimit bytes: a plain substring of
    // the body's bytes, letter case counting. Key "Expect": empty (the default, not written to
    // a list) asks for nothing.
    const std::string& Expect() const { return FExpect; }
    void SetExpect(std::string AValue) { FExpect = std::move(AValue); }
    static constexpr int64_t ExpectLimit = 1024 * 1024;

private:
    std::vector<TKeyField> OwnFields() override
    {
        return { &FURL, &FVerifyTLS, &FCertExpiryDays, &FRetry, &FTimeout, &FExpect };
    }
    // One attempt: the GET and the verdict on its answer and the certificates.
    TProbeResult Attempt() const;
    // The GET through AClient, with the verdict on its answer alone.
    // ATarget is URL() parsed.
    TProbeResult Fetch(TNetHTTP* AClient, const TNetURI& ATarget) const;

    std::string FURL = "http://127.0.0.1/";
    bool FVerifyTLS = true;
    int32_t FCertExpiryDays = 0;
    int32_t FRetry = 1;
    int32_t FTimeout = 10;
    std::string FExpect;
};

// A TCP connect to Host:Port within Timeout, with a TLS handshake after it when TLS is on:
// "is the database listening", "does the mail server still show a valid certificate".
class TTcpMonitor : public TServiceMonitor {
public:
    TProbeResult Probe() const override;
    const TMonitorKind& Kind() const override;

    // A name or an address, IPv4 or IPv6 (brackets around an IPv6 address are allowed).
    const std::string& Host() const { return FHost; }
    void SetHost(std::string AValue) { FHost = std::move(AValue); }
    int32_t Port() const { return FPort; }
    void SetPort(int32_t AValue) { FPort = AValue; }
    // Seconds for the lookup, the connect and the handshake together; 1 or more.
    int32_t Timeout() const { return FTimeout; }
    void SetTimeout(int32_t AValue) { FTimeout = AValue; }
    // Whether a TLS handshake follows the connect; VerifyTLS and CertExpiryDays then work as
    // a web monitor's.
    bool TLS() const { return FTLS; }
    void SetTLS(bool AValue) { FTLS = AValue; }
    bool VerifyTLS() const { return FVerifyTLS; }
    void SetVerifyTLS(bool AValue) { FVerifyTLS = AValue; }
    int32_t CertExpiryDays() const { return FCertExpiryDays; }
    void SetCertExpiryDays(int32_t AValue) { FCertExpiryDays = AValue; }

private:
    std::vector<TKeyField> OwnFields() override
    {
        return { &FHost, &FPort, &FTimeout, &FTLS, &FVerifyTLS, &FCertExpiryDays };
    }

    std::string FHost = "127.0.0.1";
    int32_t FPort = 80;
    int32_t FTimeout = 10;
    bool FTLS = false;
    bool FVerifyTLS = true;
    int32_t FCertExpiryDays = 0;
};

// One DNS query for Query's records of type Record, to Server or the system's resolvers.
// Success is at least one record of that type in the answer, and Expect among them when set.
class TDnsMonitor : public TServiceMonitor {
public:
    TProbeResult Probe() const override;
    const TMonitorKind& Kind() const override;

    const std::string& Query() const { return FQuery; }
    void SetQuery(std::string AValue) { FQuery = std::move(AValue); }
    // A, AAAA, CNAME, MX, NS or TXT, in any letter case.
    const std::string& Record() const { return FRecord; }
    void SetRecord(std::string AValue) { FRecord = std::move(AValue); }
    // "address" or "address:port" ("[v6address]:port"); empty: the system's resolvers.
    const std::string& Server() const { return FServer; }
    void SetServer(std::string AValue) { FServer = std::move(AValue); }
    // A value that must be among the answers; empty: any answer will do.
    const std::string& Expect() const { return FExpect; }
    void SetExpect(std::string AValue) { FExpect = std::move(AValue); }
    // Seconds for the whole query; 1 or more.
    int32_t Timeout() const { return FTimeout; }
    void SetTimeout(int32_t AValue) { FTimeout = AValue; }

private:
    std::vector<TKeyField> OwnFields() override
    {
        return { &FQuery, &FRecord, &FServer, &FExpect, &FTimeout };
    }

    std::string FQuery = "example.com";
    std::string FRecord = "A";
    std::string FServer;
    std::string FExpect;
    int32_t FTimeout = 5;
};

// AResult with the certificates a handshake showed; a success whose earliest certificate ends
// within AWarnDays whole days (CertExpiryDays; 0 or less is off) becomes an error that says so.
TProbeResult WithCertificate(TProbeResult AResult, TCertificateExpiry AExpiry, int32_t AWarnDays);

// Builds the monitor of the kind that the "Type" line of ALines names (FindMonitorKind: letter
// case counting, nothing trimmed) and applies ALines to it; nullptr for a missing or unknown
// type. The "Name" line is not read here.
std::unique_ptr<TServiceMonitor> CreateMonitorFromSettings(const TStringList& ALines);
