#include "net/http/NetCookieManager.h"

#include <atomic>
#include <chrono>
#include <future>
#include <gtest/gtest.h>
#include <thread>

using namespace std::chrono_literals;

TEST(CookieLock, WriterReentersOnItsOwnThread)
{
    TNetMultiReadSingleWriteLock L;
    L.BeginWrite();
    L.BeginWrite();
    L.BeginRead(); // looking while writing
    L.EndRead();
    L.EndWrite();
    // Still held once: another thread must wait.
    std::atomic<bool> Got { false };
    auto Other = std::async(std::launch::async, [&] {
        L.BeginWrite();
        Got = true;
        L.EndWrite();
    });
    EXPECT_EQ(Other.wait_for(100ms), std::future_status::timeout);
    EXPECT_FALSE(Got);
    L.EndWrite();
    ASSERT_EQ(Other.wait_for(5s), std::future_status::ready);
    EXPECT_TRUE(Got);
}

TEST(CookieLock, WriterExcludesReadersAndReadersShare)
{
    TNetMultiReadSingleWriteLock L;
    L.BeginWrite();
    std::atomic<int> Reading { 0 };
    auto Reader = std::async(std::launch::async, [&] {
        L.BeginRead();
        ++Reading;
        L.EndRead();
    });
    EXPECT_EQ(Reader.wait_for(100ms), std::future_status::timeout);
    EXPECT_EQ(Reading, 0);
    L.EndWrite();
    ASSERT_EQ(Reader.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(Reading, 1);

    // Two readers inside at once: each waits (bounded) for the other to arrive.
    std::atomic<int> Inside { 0 };
    auto Both = [&] {
        L.BeginRead();
        ++Inside;
        auto Until = std::chrono::steady_clock::now() + 5s;
        while (Inside < 2 && std::chrono::steady_clock::now() < Until)
            std::this_thread::yield();
        bool Met = Inside >= 2;
        L.EndRead();
        return Met;
    };
    auto A = std::async(std::launch::async, Both);
    auto B = std::async(std::launch::async, Both);
    EXPECT_TRUE(A.get());
    EXPECT_TRUE(B.get());
}

TEST(CookieLock, ManagerUsedFromSeveralThreads)
{
    TNetCookieManager M;
    const int Threads = 4;
    const int Rounds = 150;
    std::vector<std::future<int>> Workers;
    for (int T = 0; T < Threads; ++T) {
        Workers.push_back(std::async(std::launch::async, [&M, T] {
            int Headers = 0;
            TNetURI Uri("http://www.h.org/a/b/");
            for (int I = 0; I < Rounds; ++I) {
                std::string Name = "n" + std::to_string((I + T) % 7);
                M.AddSetCookie(Name + "=" + std::to_string(I) + "; path=/a/", "www.h.org");
                if (I % 5 == 0) // already expired: goes at the next clean-up
                    M.AddSetCookie(
                        "old" + std::to_string(T) + "=1; path=/; expires=Thu, 01 Jan 1970 00:00:00 GMT",
                        "www.h.org");
                if (!M.CookieHeaderFor(Uri, false).empty())
                    ++Headers;
                if (I % 10 == 0)
                    M.RemoveExpired();
            }
            return Headers;
        }));
    }
    for (auto& W : Workers)
        EXPECT_EQ(W.get(), Rounds);
    std::string Header = M.CookieHeaderFor(TNetURI("http://www.h.org/a/"), false);
    EXPECT_EQ(M.CookieCollection().Count(), 7u) << Header;
    for (int N = 0; N < 7; ++N)
        EXPECT_NE(Header.find("n" + std::to_string(N) + "="), std::string::npos) << Header;
    EXPECT_EQ(Header.find("old"), std::string::npos) << Header;
}
