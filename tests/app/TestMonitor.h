// A monitor whose check is scripted, for the window tests: it never touches the network.
#pragma once

#include "monitors/Monitors.h"

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

// Check runs msChecking, then Work (which may run nested handlers, move the clock or throw),
// then Result.
class TTestMonitor : public TServiceMonitor {
public:
    ~TTestMonitor() override
    {
        if (OnFree)
            OnFree();
    }
    void Check() override
    {
        ++Checks;
        ++Depth;
        MaxDepth = std::max(MaxDepth, Depth);
        struct TLeave {
            int& Depth;
            ~TLeave() { --Depth; }
        } Leave { Depth };
        if (Order)
            Order->push_back(Tag);
        SetStatus(msChecking);
        if (Work)
            Work(*this);
        SetStatus(Result);
    }
    std::string TypeKey() const override { return "TestMonitor"; }

    std::function<void(TTestMonitor&)> Work;
    std::function<void()> OnFree;
    TMonitorStatus Result = msOK;
    int Checks = 0;
    int Depth = 0;
    int MaxDepth = 0;
    std::string Tag;
    std::vector<std::string>* Order = nullptr;
};
