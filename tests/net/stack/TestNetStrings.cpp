#include "net/stack/NetException.h"
#include "net/stack/NetStrings.h"
#include "net/stack/NetTime.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <unistd.h>

TEST(NetStrings, IntegerTextRule)
{
    struct Row {
        const char* Text;
        bool Ok;
        int32_t Value;
    };
    const Row Rows[] = {
        { "0", true, 0 },
        { "120", true, 120 },
        { "  7", true, 7 },
        { "+5", true, 5 },
        { "-5", true, -5 },
        { "$1F", true, 31 },
        { "x10", true, 16 },
        { "X10", true, 16 },
        { "0x10", true, 16 },
        { "0X1f", true, 31 },
        { "-$10", true, -16 },
        { "2147483647", true, 2147483647 },
        { "-2147483648", true, INT32_MIN },
        { "2147483648", false, 0 },
        { "", false, 0 },
        { "7 ", false, 0 },
        { "abc", false, 0 },
        { "1a", false, 0 },
        { "$", false, 0 },
        { "0x", false, 0 },
        { "--1", false, 0 },
        { "\t7", false, 0 },
        { "$FFFFFFFF", true, -1 },
        { "$100000000", false, 0 },
    };
    for (const Row& R : Rows) {
        int32_t V = 12345;
        EXPECT_EQ(TryStrToInt(R.Text, V), R.Ok) << R.Text;
        if (R.Ok) {
            EXPECT_EQ(V, R.Value) << R.Text;
        }
    }
    EXPECT_EQ(StrToIntDef("zz", 42), 42);
    EXPECT_THROW(StrToInt("zz"), ENetConvertError);
}

TEST(NetStrings, TrimFetchAndCase)
{
    EXPECT_EQ(Trim(std::string("\x01  a b \t\r\n", 10)), "a b");
    EXPECT_EQ(TrimLeft("  a "), "a ");
    EXPECT_EQ(TrimRight("  a "), "  a");
    std::string S = "one two three";
    EXPECT_EQ(Fetch(S), "one");
    EXPECT_EQ(S, "two three");
    EXPECT_EQ(Fetch(S, "x"), "two three");
    EXPECT_EQ(S, "");
    EXPECT_TRUE(SameText("Interval", "iNTERVAL"));
    EXPECT_FALSE(SameText("Interval ", "Interval"));
    EXPECT_EQ(Pos("b", "abcb"), 2u);
    EXPECT_EQ(Pos("b", "abcb", 3), 4u);
    EXPECT_EQ(Pos("z", "abcb"), 0u);
}

TEST(NetTime, EncodeDecodeRoundTrip)
{
    EXPECT_EQ(EncodeDate(1899, 12, 30), 0.0);
    EXPECT_EQ(EncodeDate(2000, 1, 1), 36526.0);
    int Y, M, D;
    DecodeDate(EncodeDate(2024, 2, 29), Y, M, D);
    EXPECT_EQ(Y * 10000 + M * 100 + D, 20240229);
    DecodeDate(EncodeDate(1980, 12, 31), Y, M, D);
    EXPECT_EQ(Y * 10000 + M * 100 + D, 19801231);
    TDateTime X;
    EXPECT_FALSE(TryEncodeDate(2023, 2, 29, X));
    int H, Mi, S, Ms;
    DecodeTime(EncodeTime(12, 0, 5, 200), H, Mi, S, Ms);
    EXPECT_EQ(H * 10000000 + Mi * 100000 + S * 1000 + Ms, 120005200);
    EXPECT_EQ(DayOfWeek(EncodeDate(2026, 12, 7)), 2); // a Monday
}

TEST(NetTime, ReplaceableClock)
{
    SetNowClock([] { return 1000.5; });
    EXPECT_EQ(Now(), 1000.5);
    SetNowClock({});
    EXPECT_GT(Now(), 40000.0);
    double U = 1700000000.25;
    EXPECT_NEAR(LocalDateTimeToUnix(UnixToLocalDateTime(U)), U, 0.002);
}

// Local time back to Unix time in zones with an offset and daylight saving time, every hour of
// a year: exact, but for the hour that a change to winter time repeats, which may come back
// either way.
TEST(NetTime, LocalTimeToUnixInZonesWithOffsets)
{
    const char* Zones[] = { "Europe/Berlin", "America/St_Johns", "Asia/Kolkata" };
    for (const char* Zone : Zones)
        if (access((std::string("/usr/share/zoneinfo/") + Zone).c_str(), R_OK) != 0)
            GTEST_SKIP() << "no time-zone data for " << Zone;
    const char* Old = std::getenv("TZ");
    const std::string Saved = Old ? Old : "";
    for (const char* Zone : Zones) {
        setenv("TZ", Zone, 1);
        tzset();
        for (int64_t U = 1767225600; U < 1767225600 + 365 * 86400; U += 3600 + 7) {
            const TDateTime Local = UnixToLocalDateTime(double(U) + 0.25);
            const bool Repeated = Local == UnixToLocalDateTime(double(U + 3600) + 0.25)
                || Local == UnixToLocalDateTime(double(U - 3600) + 0.25);
            if (!Repeated) {
                ASSERT_NEAR(LocalDateTimeToUnix(Local), double(U) + 0.25, 0.002) << Zone << " at " << U;
            }
        }
    }
    if (Old)
        setenv("TZ", Saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

#include "net/stack/NetClasses.h"

namespace {
class TProbe : public TComponent {
public:
    explicit TProbe(TComponent* AOwner, int* ADestroyed = nullptr)
        : TComponent(AOwner)
        , FDestroyed(ADestroyed)
    {
    }
    ~TProbe() override
    {
        if (FDestroyed)
            ++*FDestroyed;
    }
    TComponent* Ref = nullptr;

protected:
    void Notification(TComponent* AComponent, TOperation AOperation) override
    {
        if (AOperation == TOperation::opRemove && AComponent == Ref)
            Ref = nullptr;
    }

private:
    int* FDestroyed;
};
} // namespace

TEST(NetClasses, OwnerFreesChildrenAndReferencesAreCleared)
{
    int Destroyed = 0;
    auto* Owner = new TProbe(nullptr);
    new TProbe(Owner, &Destroyed);
    auto* Child = new TProbe(Owner, &Destroyed);
    TProbe Watcher(nullptr);
    Watcher.Ref = Child;
    Child->FreeNotification(&Watcher);
    delete Child;
    EXPECT_EQ(Watcher.Ref, nullptr);
    EXPECT_EQ(Owner->Components().size(), 1u);
    delete Owner;
    EXPECT_EQ(Destroyed, 2);
}

TEST(NetClasses, Streams)
{
    TMemoryStream M;
    M.WriteString("hello");
    M.SetSize(3);
    EXPECT_EQ(M.DataString(), "hel");
    EXPECT_EQ(M.Position(), 3);
    TStringStream S("abc");
    EXPECT_EQ(S.Position(), 0);
    char B[4] = {};
    EXPECT_EQ(S.Read(B, 4), 3);
    EXPECT_EQ(std::string(B), "abc");
    TNullStream N;
    N.SetSize(1000);
    N.WriteString("xy");
    EXPECT_EQ(N.Position(), 2);
    N.SetSize(N.Position());
    EXPECT_EQ(N.Size(), 2);
    EXPECT_EQ(N.BytesWritten(), 2);
}
