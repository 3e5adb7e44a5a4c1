#include "net/stack/NetStack.h"
#include "net/stack/NetStackLinux.h"
#include "net/tcp/NetAntiFreezeBase.h"
#include "net/tcp/NetComponent.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// A stack class that counts how often it is made, freed and asked to start the sockets.
std::atomic<int> GStacksMade { 0 };
std::atomic<int> GStacksFreed { 0 };
std::atomic<int> GStartups { 0 };
std::atomic<bool> GStartupFails { false };

class TCountingStack : public TNetStackLinux {
public:
    TCountingStack() { ++GStacksMade; }
    ~TCountingStack() override { ++GStacksFreed; }
    int32_t StartupSockets() override
    {
        ++GStartups;
        return GStartupFails ? 1 : TNetStackLinux::StartupSockets();
    }
};

// Installs the counting stack class for one test.
class TCountingClass {
public:
    TCountingClass()
    {
        GStacksMade = 0;
        GStacksFreed = 0;
        GStartups = 0;
        GStartupFails = false;
        GSocketStackClass = &NetStackClassOf<TCountingStack>;
    }
    ~TCountingClass() { GSocketStackClass = FOld; }

private:
    TNetStackClass FOld = GSocketStackClass;
};

// Records the stack it sees while being destroyed.
class TStackWitness : public TNetComponent {
public:
    TStackWitness(TComponent* AOwner, TNetStack** ASeen)
        : TNetComponent(AOwner)
        , FSeen(ASeen)
    {
    }
    ~TStackWitness() override { *FSeen = GSocketStack; }

private:
    TNetStack** FSeen;
};

} // namespace

TEST(NetComponentLifetime, TwoComponentsShareOneStack)
{
    TCountingClass Counting;
    ASSERT_EQ(GSocketStack, nullptr);
    ASSERT_EQ(GSocketStackUsers, 0);
    const bool WasStarted = GSocketsStarted;
    auto* A = new TNetComponent();
    TNetStack* First = GSocketStack;
    ASSERT_NE(First, nullptr);
    EXPECT_NE(dynamic_cast<TCountingStack*>(First), nullptr);
    auto* B = new TNetComponent();
    EXPECT_EQ(GSocketStack, First);
    EXPECT_EQ(GSocketStackUsers, 2);
    EXPECT_EQ(GStacksMade, 1);
    delete A;
    EXPECT_EQ(GSocketStack, First);
    EXPECT_EQ(GSocketStackUsers, 1);
    delete B;
    EXPECT_EQ(GSocketStack, nullptr);
    EXPECT_EQ(GSocketStackUsers, 0);
    EXPECT_EQ(GStacksFreed, 1);

    {
        TNetComponent C;
        EXPECT_NE(GSocketStack, nullptr);
        EXPECT_EQ(GStacksMade, 2);
    }
    EXPECT_EQ(GStacksFreed, 2);
    // The start-up ran with the first stack of the process, never again.
    EXPECT_TRUE(GSocketsStarted);
    EXPECT_EQ(GStartups, WasStarted ? 0 : 1);
}

TEST(NetComponentLifetime, OwnedComponentsGoWhileTheStackIsAlive)
{
    TNetStack* Seen = nullptr;
    auto* Owner = new TNetComponent();
    new TStackWitness(Owner, &Seen);
    EXPECT_EQ(GSocketStackUsers, 2);
    TNetStack* Stack = GSocketStack;
    delete Owner;
    EXPECT_EQ(Seen, Stack);
    EXPECT_EQ(GSocketStack, nullptr);
    EXPECT_EQ(GSocketStackUsers, 0);
}

// A process of its own, so that the sockets are not yet started when the test begins.
TEST(NetComponentLifetimeDeathTest, StartupOncePerProcessAndItsFailure)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            TCountingClass Counting;
            GStartupFails = true;
            bool Raised = false;
            try {
                TNetComponent Failing;
            } catch (const ENetStackInitializationFailed& E) {
                Raised = std::string(E.what()) == "Winsock Initialization Error.";
            }
            bool Clean = !GSocketsStarted && GSocketStack == nullptr && GSocketStackUsers == 0
                && GStacksMade == 1 && GStacksFreed == 1;
            GStartupFails = false;
            for (int I = 0; I < 3; ++I)
                TNetComponent Check;
            _exit(Raised && Clean && GStartups == 2 && GSocketsStarted && GStacksMade == 4 ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(NetComponentLifetime, ComponentsOnManyThreads)
{
    TCountingClass Counting;
    std::vector<std::thread> Threads;
    std::atomic<int> Missing { 0 };
    for (int T = 0; T < 4; ++T) {
        Threads.emplace_back([&] {
            for (int I = 0; I < 200; ++I) {
                TNetComponent C;
                TNetComponent D(&C);
                std::lock_guard<std::mutex> Guard(GSocketStackLock);
                if (!GSocketStack || GSocketStackUsers < 2)
                    ++Missing;
            }
        });
    }
    for (std::thread& T : Threads)
        T.join();
    EXPECT_EQ(Missing, 0);
    EXPECT_EQ(GSocketStack, nullptr);
    EXPECT_EQ(GSocketStackUsers, 0);
    EXPECT_EQ(GStacksMade, GStacksFreed);
}

namespace {

struct TStatusSeen {
    TComponent* Sender = nullptr;
    TNetStatus Status = TNetStatus::ftpAborted;
    std::string Text;
    int Calls = 0;
};

} // namespace

TEST(NetComponentStatus, FormatsAndArguments)
{
    TNetComponent C;
    // Unassigned: nothing happens, whatever is passed.
    C.ReportStatus(TNetStatus::hsResolving);
    C.ReportStatus(TNetStatus::hsConnecting, { "a", "b" });

    TStatusSeen Seen;
    C.OnStatus = [&](TComponent* ASender, TNetStatus AStatus, const std::string& AText) {
        Seen.Sender = ASender;
        Seen.Status = AStatus;
        Seen.Text = AText;
        ++Seen.Calls;
    };
    struct Row {
        TNetStatus Status;
        std::vector<std::string> Args; // empty: the one-argument form
        const char* Text;
    };
    const Row Rows[] = {
        { TNetStatus::hsResolving, {}, "Resolving hostname ." },
        { TNetStatus::hsResolving, { "example.org" }, "Resolving hostname example.org." },
        { TNetStatus::hsConnecting, { "127.0.0.1" }, "Connecting to 127.0.0.1." },
        { TNetStatus::hsConnecting, { "127.0.0.1", "extra" }, "Connecting to 127.0.0.1." },
        { TNetStatus::hsConnected, { "host" }, "Connected." },
        { TNetStatus::hsConnected, {}, "Connected." },
        { TNetStatus::hsDisconnecting, {}, "Disconnecting." },
        { TNetStatus::hsDisconnected, {}, "Disconnected." },
        { TNetStatus::hsStatusText, {}, "" },
        { TNetStatus::hsStatusText, { "50% done %s" }, "50% done %s" },
        { TNetStatus::ftpTransfer, { "t" }, "t" },
        { TNetStatus::ftpReady, { "r" }, "r" },
        { TNetStatus::ftpAborted, { "x" }, "x" },
    };
    for (const Row& R : Rows) {
        if (R.Args.empty())
            C.ReportStatus(R.Status);
        else if (R.Args.size() == 1)
            C.ReportStatus(R.Status, { R.Args[0] });
        else
            C.ReportStatus(R.Status, { R.Args[0], R.Args[1] });
        EXPECT_EQ(Seen.Text, R.Text);
        EXPECT_EQ(Seen.Status, R.Status);
        EXPECT_EQ(Seen.Sender, &C);
    }
    EXPECT_EQ(Seen.Calls, static_cast<int>(std::size(Rows)));
    EXPECT_STREQ(StatusFormats[static_cast<size_t>(TNetStatus::hsResolving)], "Resolving hostname %s.");
}

namespace {

struct TWorkLog {
    std::vector<std::string> Events;
    void Attach(TNetComponent& C)
    {
        C.OnWorkBegin = [this](TComponent*, TWorkMode M, int32_t Max) {
            Events.push_back(Name(M) + " begin " + std::to_string(Max));
        };
        C.OnWork = [this](TComponent*, TWorkMode M, int32_t Count) {
            Events.push_back(Name(M) + " " + std::to_string(Count));
        };
        C.OnWorkEnd = [this](TComponent*, TWorkMode M) { Events.push_back(Name(M) + " end"); };
    }
    static std::string Name(TWorkMode M) { return M == TWorkMode::wmRead ? "read" : "write"; }
};

} // namespace

TEST(NetComponentWork, NestingCountingAndIndependentModes)
{
    TNetComponent C;
    // No handlers: bookkeeping only.
    C.StartWork(TWorkMode::wmRead, 10);
    C.StepWork(TWorkMode::wmRead, 4);
    EXPECT_EQ(C.WorkInfo(TWorkMode::wmRead).Count, 4);
    C.FinishWork(TWorkMode::wmRead);
    EXPECT_EQ(C.WorkInfo(TWorkMode::wmRead).Level, 0);

    TWorkLog Log;
    Log.Attach(C);
    // A step with no open phase is ignored.
    C.StepWork(TWorkMode::wmWrite, 5);
    EXPECT_EQ(C.WorkInfo(TWorkMode::wmWrite).Count, 0);
    EXPECT_TRUE(Log.Events.empty());

    C.StartWork(TWorkMode::wmRead, 100);
    C.StepWork(TWorkMode::wmRead, 30);
    C.StartWork(TWorkMode::wmRead, 7); // inner: only the level changes
    EXPECT_EQ(C.WorkInfo(TWorkMode::wmRead).CountMax, 100);
    EXPECT_EQ(C.WorkInfo(TWorkMode::wmRead).Level, 2);
    C.StepWork(TWorkMode::wmRead, 20);
    C.StartWork(TWorkMode::wmWrite, 0);
    C.StepWork(TWorkMode::wmWrite, 3);
    C.FinishWork(TWorkMode::wmWrite);
    C.FinishWork(TWorkMode::wmRead);
    C.StepWork(TWorkMode::wmRead, 1);
    C.FinishWork(TWorkMode::wmRead);
    const std::vector<std::string> Expected = { "read begin 100", "read 30", "read 50", "write begin 0",
        "write 3", "write end", "read 51", "read end" };
    EXPECT_EQ(Log.Events, Expected);
    EXPECT_EQ(C.WorkInfo(TWorkMode::wmRead).Level, 0);
    EXPECT_EQ(C.WorkInfo(TWorkMode::wmRead).Count, 51);

    // A new outermost phase starts counting afresh.
    C.StartWork(TWorkMode::wmRead, 0);
    EXPECT_EQ(C.WorkInfo(TWorkMode::wmRead).Count, 0);
    // More than 2 GiB in one phase wraps the 32-bit count instead of overflowing.
    C.StepWork(TWorkMode::wmRead, INT32_MAX);
    C.StepWork(TWorkMode::wmRead, 2);
    EXPECT_EQ(C.WorkInfo(TWorkMode::wmRead).Count, INT32_MIN + 1);
    C.FinishWork(TWorkMode::wmRead);
}

namespace {

class TCountingAntiFreeze : public TNetAntiFreezeBase {
public:
    using TNetAntiFreezeBase::TNetAntiFreezeBase;
    void Pump() override { ++Pumps; }
    int Pumps = 0;
};

} // namespace

TEST(NetAntiFreeze, DefaultsAndTheOneInForce)
{
    EXPECT_EQ(TNetAntiFreezeBase::CurrentAntiFreeze(), nullptr);
    EXPECT_FALSE(TNetAntiFreezeBase::IsInForce());
    TNetAntiFreezeBase::YieldToApplication(); // nothing to pump, nothing happens
    {
        TCountingAntiFreeze A;
        EXPECT_TRUE(A.Active);
        EXPECT_TRUE(A.ApplicationHasPriority);
        EXPECT_EQ(A.IdleTimeOut, 250);
        EXPECT_TRUE(A.OnlyWhenIdle);
        EXPECT_EQ(TNetAntiFreezeBase::CurrentAntiFreeze(), &A);
        EXPECT_TRUE(TNetAntiFreezeBase::IsInForce());
        {
            TCountingAntiFreeze B;
            EXPECT_EQ(TNetAntiFreezeBase::CurrentAntiFreeze(), &B);
        }
        // Destroying any anti-freeze leaves none in force.
        EXPECT_EQ(TNetAntiFreezeBase::CurrentAntiFreeze(), nullptr);
        EXPECT_FALSE(TNetAntiFreezeBase::IsInForce());
    }
    TCountingAntiFreeze C;
    C.Active = false;
    EXPECT_FALSE(TNetAntiFreezeBase::IsInForce());
    TNetAntiFreezeBase::YieldToApplication(true, true);
    EXPECT_EQ(C.Pumps, 0);
}

TEST(NetAntiFreeze, YieldRules)
{
    TCountingAntiFreeze A;
    struct Row {
        bool OnlyWhenIdle, Idle, Override;
        int Pumps;
    };
    const Row Rows[] = {
        { true, true, false, 1 },
        { true, false, false, 0 },
        { true, false, true, 1 },
        { false, false, false, 1 },
        { false, true, false, 1 },
        { true, true, true, 1 },
    };
    for (const Row& R : Rows) {
        A.Pumps = 0;
        A.OnlyWhenIdle = R.OnlyWhenIdle;
        TNetAntiFreezeBase::YieldToApplication(R.Idle, R.Override);
        EXPECT_EQ(A.Pumps, R.Pumps) << R.OnlyWhenIdle << R.Idle << R.Override;
    }
}

TEST(NetAntiFreeze, NeverInForceOnOtherThreads)
{
    TCountingAntiFreeze A;
    ASSERT_TRUE(TNetAntiFreezeBase::IsInForce());
    bool InForce = true;
    std::thread([&] {
        InForce = TNetAntiFreezeBase::IsInForce();
        TNetAntiFreezeBase::YieldToApplication(true, true);
    }).join();
    EXPECT_FALSE(InForce);
    EXPECT_EQ(A.Pumps, 0);
}
