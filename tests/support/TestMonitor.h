// A monitor whose check is scripted, for the window and schedule tests, and the probe that
// runs it on the engine: it never touches the network. The monitor writes its script into
// its settings lines, so the probe sees it through the snapshot like any other setting.
#pragma once

#include "engine/CheckEngine.h"
#include "monitors/Monitors.h"
#include "net/stack/NetCancel.h"

#include <chrono>
#include <mutex>
#include <poll.h>
#include <string>
#include <vector>

class TTestMonitor : public TServiceMonitor {
public:
    ~TTestMonitor() override
    {
        if (OnFree)
            OnFree();
    }
    TProbeResult Probe() const override { return { Result, Result == msError ? Reason : std::string() }; }
    TStringList GetSettings() const override
    {
        TStringList Lines = TServiceMonitor::GetSettings();
        Lines.push_back("Tag=" + Tag);
        Lines.push_back(std::string("Result=") + (Result == msOK ? "OK" : "ERROR"));
        Lines.push_back("Reason=" + Reason);
        Lines.push_back(std::string("Hang=") + (Hang ? "1" : "0"));
        Lines.push_back("Cert=" + std::to_string(CertNotAfter));
        Lines.push_back("TookMs=" + std::to_string(TookMs));
        return Lines;
    }
    const TMonitorKind& Kind() const override
    {
        static const TKeyDescription Keys[] { { .Name = "Interval", .Rule = krNumber, .Default = "0" } };
        static const TMonitorKind Kind { .TypeKey = "TestMonitor",
            .Keys = Keys,
            .Target = [](const TServiceMonitor& AMonitor, TTargetForm) {
                return static_cast<const TTestMonitor&>(AMonitor).Host;
            } };
        return Kind;
    }

    // What it checks, as its target says (the schedule tells servers apart by it).
    std::string Host;
    std::function<void()> OnFree;
    TMonitorStatus Result = msOK;
    std::string Reason = "Scripted failure.";
    // The probe waits until the test releases it, or its check is cancelled.
    bool Hang = false;
    std::string Tag;
    // When the server's certificate expires (Unix seconds), as an https check reports it.
    int64_t CertNotAfter = 0;
    // How long the check takes on the test's clock (the window fixture moves it on).
    int64_t TookMs = 0;
};

// Runs the checks of test monitors from their snapshot: notes each tag in the order the
// probes start, and holds a hanging one until Release or a cancel (10 s at most).
class TScriptedProbes {
public:
    TProbeResult Run(const TCheckRequest& ARequest)
    {
        std::string Tag, Result, Reason, Hang, Cert;
        FindSettingsValue(ARequest.Settings, "Tag", Tag);
        FindSettingsValue(ARequest.Settings, "Result", Result);
        FindSettingsValue(ARequest.Settings, "Reason", Reason);
        FindSettingsValue(ARequest.Settings, "Hang", Hang);
        FindSettingsValue(ARequest.Settings, "Cert", Cert);
        {
            std::lock_guard<std::mutex> Guard(FLock);
            FStarted.push_back(Tag);
            ++FRunning;
        }
        bool Cancelled = false;
        if (Hang == "1") {
            const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
            std::unique_lock<std::mutex> Guard(FLock);
            while (!FReleased && std::chrono::steady_clock::now() < Deadline) {
                Guard.unlock();
                pollfd Cancel { CurrentCancelToken()->Fd(), POLLIN, 0 };
                Cancelled = ::poll(&Cancel, 1, 5) > 0;
                Guard.lock();
                if (Cancelled)
                    break;
            }
            FCancelled += Cancelled;
        }
        std::lock_guard<std::mutex> Guard(FLock);
        --FRunning;
        if (Cancelled)
            return { msError, "Cancelled." };
        const int64_t NotAfter = Cert.empty() ? 0 : std::stoll(Cert);
        return { Result == "OK" ? msOK : msError, Result == "OK" ? std::string() : Reason,
            { NotAfter, NotAfter } };
    }
    TCheckProbe Probe()
    {
        return [this](const TCheckRequest& ARequest) { return Run(ARequest); };
    }

    void Release()
    {
        std::lock_guard<std::mutex> Guard(FLock);
        FReleased = true;
    }
    // Hanging probes that start from now on wait again (call it once the released ones ended).
    void Hold()
    {
        std::lock_guard<std::mutex> Guard(FLock);
        FReleased = false;
    }
    std::vector<std::string> Started() const
    {
        std::lock_guard<std::mutex> Guard(FLock);
        return FStarted;
    }
    int ChecksOf(const std::string& ATag) const
    {
        std::lock_guard<std::mutex> Guard(FLock);
        int Count = 0;
        for (const std::string& Tag : FStarted)
            Count += Tag == ATag;
        return Count;
    }
    int Running() const
    {
        std::lock_guard<std::mutex> Guard(FLock);
        return FRunning;
    }
    int Cancelled() const
    {
        std::lock_guard<std::mutex> Guard(FLock);
        return FCancelled;
    }

private:
    mutable std::mutex FLock;
    std::vector<std::string> FStarted;
    bool FReleased = false;
    int FRunning = 0;
    int FCancelled = 0;
};
