#include "net/http/NetHeaderList.h"
#include "net/stack/NetException.h"
#include "net/stack/NetStrings.h"

#include <gtest/gtest.h>

namespace {

TNetHeaderList ListOf(std::initializer_list<const char*> ALines)
{
    TNetHeaderList L;
    for (const char* Line : ALines)
        L.Add(Line);
    return L;
}

std::vector<std::string> LinesOf(const TNetHeaderList& AList)
{
    return AList.Lines();
}

} // namespace

TEST(NetHeaderList, NamesAndValuesOfLines)
{
    struct Row {
        const char* Line;
        const char* Name;
        const char* Value;
    };
    const Row Rows[] = {
        { "Content-Type: text/html", "CONTENT-TYPE", "text/html" },
        { "Host:h", "HOST", "h" },
        { "X-Empty:", "X-EMPTY", "" },
        { "X-Spaces:    a  b   ", "X-SPACES", "a  b" },
        { "Name: a: b", "NAME", "a: b" },
        { "no separator", "", "o separator" }, // the name is empty and one character is skipped
        { ": only value", "", "only value" },
    };
    for (const Row& R : Rows) {
        TNetHeaderList L = ListOf({ R.Line });
        EXPECT_EQ(L.NameAt(0), R.Name) << R.Line;
        EXPECT_EQ(L.ValueAt(0), R.Value) << R.Line;
    }
    TNetHeaderList L = ListOf({ "Content-Type: x" });
    L.CaseSensitiveNames = true;
    EXPECT_EQ(L.NameAt(0), "Content-Type");
    EXPECT_EQ(L.NameAt(1), "");
    EXPECT_EQ(L.ValueAt(1), "");
    EXPECT_EQ(L.ValueAt(static_cast<size_t>(-1)), "");
}

TEST(NetHeaderList, LookupIgnoresCaseAndLinesWithoutSeparator)
{
    TNetHeaderList L
        = ListOf({ "garbage", "Set-Cookie: a=1", "set-cookie: b=2", "Other: x", "SET-COOKIE: c=3" });
    EXPECT_EQ(L.IndexOfHeader("SET-cookie"), 1);
    EXPECT_EQ(L.IndexOfHeader("garbage"), -1);
    EXPECT_EQ(L.IndexOfHeader("Missing"), -1);
    EXPECT_EQ(L.ValueOf("Missing"), "");
    EXPECT_EQ(L.ValueOf("other"), "x");
    std::vector<std::string> Values;
    L.CollectValues("Set-cookie", &Values);
    EXPECT_EQ(Values, (std::vector<std::string> { "a=1", "b=2", "c=3" }));
    TNetHeaderList Dest;
    L.CollectValues("set-COOKIE", &Dest);
    EXPECT_EQ(LinesOf(Dest), Values);
    L.CollectValues("Set-cookie", static_cast<std::vector<std::string>*>(nullptr)); // nothing happens
}

TEST(NetHeaderList, UnfoldsContinuationLines)
{
    TNetHeaderList L = ListOf({ "A: one  ", "   two", "\tthree ", "B: x", " y" });
    EXPECT_EQ(L.ValueOf("A"), "one two three");
    EXPECT_EQ(L.ValueOf("B"), "x y");
    L.UnfoldValues = false;
    EXPECT_EQ(L.ValueOf("A"), "one");
    L.UnfoldValues = true;
    L.RemoveContinuations(0);
    EXPECT_EQ(LinesOf(L), (std::vector<std::string> { "A: one  ", "B: x", " y" }));
    L.RemoveContinuations(2); // the last line: nothing follows
    EXPECT_EQ(L.Count(), 3u);
}

TEST(NetHeaderList, SettingANameTwiceKeepsItsPlace)
{
    TNetHeaderList L;
    L.SetValueOf("Host", "first");
    L.SetValueOf("Accept", "a");
    L.SetValueOf("Host", "second");
    EXPECT_EQ(LinesOf(L), (std::vector<std::string> { "Host: second", "Accept: a" }));
    L.SetValueOf("host", "");
    EXPECT_EQ(LinesOf(L), (std::vector<std::string> { "Accept: a" }));
    L.SetValueOf("Missing", ""); // deleting what is not there changes nothing
    EXPECT_EQ(L.Count(), 1u);
}

TEST(NetHeaderList, FoldsLongValuesAtWidth78)
{
    std::string Value;
    for (int I = 0; I < 30; ++I)
        Value += "word" + std::to_string(I) + " ";
    Value.pop_back();
    ASSERT_GT(Value.size(), 78u);
    TNetHeaderList L;
    L.SetValueOf("Before", "b");
    L.SetValueOf("X-Long", Value);
    L.SetValueOf("After", "a");
    ASSERT_GT(L.Count(), 4u);
    EXPECT_EQ(L[0], "Before: b");
    EXPECT_EQ(L[1].rfind("X-Long: word0 ", 0), 0u);
    for (size_t I = 1; I < L.Count() - 1; ++I) {
        EXPECT_LE(L[I].size(), 78u) << L[I];
        if (I > 1) {
            EXPECT_EQ(L[I][0], ' ');
            EXPECT_NE(L[I][1], ' ');
        }
    }
    EXPECT_EQ(L[L.Count() - 1], "After: a");
    EXPECT_EQ(L.ValueOf("x-long"), Value);

    // Setting it again replaces the whole folded value in its place.
    L.SetValueOf("X-Long", "short");
    EXPECT_EQ(LinesOf(L), (std::vector<std::string> { "Before: b", "X-Long: short", "After: a" }));
    // Without folding the line is stored whole.
    L.FoldOnWrite = false;
    L.SetValueOf("X-Long", Value);
    EXPECT_EQ(L.Count(), 3u);
    EXPECT_EQ(L[1], "X-Long: " + Value);
}

TEST(NetHeaderList, WrapText)
{
    struct Row {
        const char* Text;
        size_t Width;
        const char* Expected;
    };
    const Row Rows[] = {
        { "aaa bbb ccc", 5, "aaa |bbb |ccc" },
        { "aaa bbb ccc", 20, "aaa bbb ccc" },
        { "aaaaaaaaaa bb", 4, "aaaaaaaaaa |bb" }, // no break point inside the width: grows on
        { "aa,bb,cc", 3, "aa,|bb,|cc" },
        { "aa   bb", 3, "aa  |bb" }, // the rest of the run of blanks is skipped
        { "aa \"b c d e\" f", 4, "aa |\"b c d e\" |f" }, // no break inside quotes
        { "aaaa ", 3, "aaaa " }, // no separator at the very end
        { "", 3, "" },
    };
    for (const Row& R : Rows)
        EXPECT_EQ(WrapText(R.Text, "|", " ,", R.Width), R.Expected) << R.Text;
    EXPECT_EQ(WrapText("a b c", "|", " ", SIZE_MAX), "a b c");
    EXPECT_EQ(WrapText("a b c", "|", " ", 0), "a |b |c");
}

TEST(NetHeaderList, WrapLineAndPutWrapped)
{
    TNetHeaderList L;
    L.FoldWidth = 10;
    EXPECT_EQ(L.WrapLine("Name: aaaa bbbb cccc"), (std::vector<std::string> { "Name: aaaa", " bbbb cccc" }));
    EXPECT_EQ(L.WrapLine(""), (std::vector<std::string> { "" }));
    L.Add("A: 1");
    L.Add("old");
    L.Add("Z: 26");
    L.PutWrapped("Name: aaaa bbbb cccc", 1);
    EXPECT_EQ(LinesOf(L), (std::vector<std::string> { "A: 1", "Name: aaaa", " bbbb cccc", "Z: 26" }));
    EXPECT_THROW(L.PutWrapped("x", 4), ENetException);
    // A short line is trimmed on the right; one holding CR LF still becomes its lines.
    L.PutWrapped("A: 1  ", 0);
    L.PutWrapped("Z: 2\r\nY: 3", 3);
    EXPECT_EQ(LinesOf(L), (std::vector<std::string> { "A: 1", "Name: aaaa", " bbbb cccc", "Z: 2", "Y: 3" }));
}

TEST(NetHeaderList, StringOperationsAndAssignment)
{
    TNetHeaderList L;
    EXPECT_EQ(L.Add("b"), 0u);
    L.Insert(0, "a");
    L.Insert(2, "c");
    EXPECT_EQ(LinesOf(L), (std::vector<std::string> { "a", "b", "c" }));
    L.Delete(1);
    EXPECT_EQ(LinesOf(L), (std::vector<std::string> { "a", "c" }));
    EXPECT_THROW(L.Delete(2), ENetException);
    EXPECT_THROW(L.Insert(3, "x"), ENetException);
    EXPECT_THROW(L[5], ENetException);
    EXPECT_EQ(L.Text(), "a\r\nc\r\n");

    TNetHeaderList Wide;
    Wide.FoldWidth = 1024;
    Wide.ValueSeparator = "=";
    Wide = L;
    EXPECT_EQ(LinesOf(Wide), LinesOf(L));
    EXPECT_EQ(Wide.FoldWidth, 1024u);
    EXPECT_EQ(Wide.ValueSeparator, "=");
    L.Clear();
    EXPECT_TRUE(L.Empty());
    EXPECT_EQ(Wide.Count(), 2u);
}

TEST(NetHeaderList, OtherSeparator)
{
    TNetHeaderList L;
    L.ValueSeparator = "=";
    L.SetValueOf("Key", "v1");
    EXPECT_EQ(L[0], "Key=v1");
    EXPECT_EQ(L.NameAt(0), "KEY");
    EXPECT_EQ(L.ValueOf("key"), "v1");

    // The separator is found in the upper-cased line unless names keep their case.
    struct Row {
        const char* Separator;
        bool CaseSensitive;
        const char* Line;
        const char* Name;
    };
    const Row Rows[] = {
        { "X ", false, "keyxvalue", "KEY" },
        { "x", false, "keyxvalue", "" },
        { "x", true, "keyxvalue", "key" },
        { "X", true, "keyxvalue", "" },
        { ":: ", false, "a:b::c", "A:B" },
    };
    for (const Row& R : Rows) {
        TNetHeaderList Other = ListOf({ R.Line });
        Other.ValueSeparator = R.Separator;
        Other.CaseSensitiveNames = R.CaseSensitive;
        EXPECT_EQ(Other.NameAt(0), R.Name) << R.Separator << " " << R.Line;
        EXPECT_EQ(Other.IndexOfHeader("KEY"), SameText(R.Name, "key") ? 0 : -1)
            << R.Separator << " " << R.Line;
    }
}
