// The watched services: the abstract monitor, its ping and web kinds, their settings lines
// (Key=Value text shared by the monitor-list file and the window's editor) and the factory.
// No GUI here: the window reaches in through TMonitorObserver.
#pragma once

#include "net/stack/NetTime.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// Settings lines, Key=Value, in order.
using TStringList = std::vector<std::string>;

enum TMonitorStatus : uint8_t { msNone, msChecking, msOK, msError };

class TServiceMonitor;

// What a monitor needs from the window while a check runs: repaint its rows, and one pass
// of the event loop so the window stays alive during a long probe.
class TMonitorObserver {
public:
    virtual ~TMonitorObserver() = default;
    virtual void UpdateMonitorView(TServiceMonitor* AMonitor) = 0;
    virtual void ProcessMessages() = 0;
};

// One observer for the whole process (the main window); nullptr removes it.
void SetMonitorObserver(TMonitorObserver* AObserver);
TMonitorObserver* MonitorObserver();

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

    // Runs one probe; every outcome goes through SetStatus. An exception escapes only when
    // the probe could not even start.
    virtual void Check() = 0;
    // A new list of this monitor's settings lines, base class first.
    virtual TStringList GetSettings() const;
    // Applies the keys this class knows; absent keys leave their fields alone.
    virtual void SetSettings(const TStringList& ALines);
    // The lines the settings editor shows: GetSettings, and the keys a list leaves out while
    // they hold their defaults, so that the operator can find and change them.
    virtual TStringList EditorSettings() const { return GetSettings(); }
    // The type key written after "Type=": the class name without its leading letter.
    virtual std::string TypeKey() const = 0;

    // The only way the status changes: store it, stamp FLastActivity on msOK, then tell the
    // observer (repaint the rows, run pending events once).
    void SetStatus(TMonitorStatus AStatus);

    int32_t Interval() const { return FInterval; }
    void SetInterval(int32_t AValue) { FInterval = AValue; }
    TDateTime LastCheck() const { return FLastCheck; }
    // Written by whoever starts a check, never by the monitor itself.
    void SetLastCheck(TDateTime AValue) { FLastCheck = AValue; }
    TDateTime LastActivity() const { return FLastActivity; }
    TMonitorStatus Status() const { return FStatus; }
    // Why the last check failed; empty at creation and after a success.
    const std::string& LastError() const { return FLastError; }
    void SetLastError(std::string AText) { FLastError = std::move(AText); }

private:
    int32_t FInterval = 0;
    TDateTime FLastCheck = 0;
    TDateTime FLastActivity = 0;
    TMonitorStatus FStatus = msNone;
    std::string FLastError;
};

// ICMP echo to a host, up to FRetry attempts.
class TPingMonitor : public TServiceMonitor {
public:
    void Check() override;
    TStringList GetSettings() const override;
    void SetSettings(const TStringList& ALines) override;
    std::string TypeKey() const override { return "PingMonitor"; }

    const std::string& IP() const { return FIP; }
    void SetIP(std::string AValue) { FIP = std::move(AValue); }
    int32_t Retry() const { return FRetry; }
    void SetRetry(int32_t AValue) { FRetry = AValue; }

private:
    std::string FIP = "127.0.0.1";
    int32_t FRetry = 3;
};

// One HTTP or HTTPS GET of FURL; a 2xx answer is success.
class TWebMonitor : public TServiceMonitor {
public:
    void Check() override;
    TStringList GetSettings() const override;
    void SetSettings(const TStringList& ALines) override;
    std::string TypeKey() const override { return "WebMonitor"; }

    TStringList EditorSettings() const override;

    const std::string& URL() const { return FURL; }
    void SetURL(std::string AValue) { FURL = std::move(AValue); }
    // Whether an https URL's server must show a certificate that the system trusts, issued
    // for the URL's host. Key "VerifyTLS": 1 (the default, not written to a list) or 0.
    bool VerifyTLS() const { return FVerifyTLS; }
    void SetVerifyTLS(bool AValue) { FVerifyTLS = AValue; }

private:
    std::string FURL = "http://127.0.0.1/";
    bool FVerifyTLS = true;
};

// Builds the monitor that the "Type" line of ALines names ("PingMonitor" or "WebMonitor",
// letter case counting, nothing trimmed) and applies ALines to it; nullptr for a missing or
// unknown type. The "Name" line is not read here.
std::unique_ptr<TServiceMonitor> CreateMonitorFromSettings(const TStringList& ALines);
