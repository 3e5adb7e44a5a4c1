#include "net/http/NetCoderMIME.h"
#include "net/stack/NetException.h"

#include <gtest/gtest.h>

TEST(CoderMIME, Rfc4648Vectors)
{
    struct Row {
        const char* Plain;
        const char* Encoded;
    };
    const Row Rows[] = { { "", "" }, { "f", "Zg==" }, { "fo", "Zm8=" }, { "foo", "Zm9v" },
        { "foob", "Zm9vYg==" }, { "fooba", "Zm9vYmE=" }, { "foobar", "Zm9vYmFy" }, { "abc", "YWJj" } };
    for (const Row& R : Rows) {
        EXPECT_EQ(TNetEncoderMIME::EncodeText(R.Plain), R.Encoded) << R.Plain;
        EXPECT_EQ(TNetDecoderMIME::DecodeText(R.Encoded), R.Plain) << R.Encoded;
    }
}

TEST(CoderMIME, OneTwoAndThreeBytesGiveFourCharacters)
{
    EXPECT_EQ(TNetEncoderMIME::EncodeText(std::string("\xFF", 1)), "/w==");
    EXPECT_EQ(TNetEncoderMIME::EncodeText(std::string("\xFF\xFE", 2)), "//4=");
    EXPECT_EQ(TNetEncoderMIME::EncodeText(std::string("\xFF\xFE\xFD", 3)), "//79");
    EXPECT_EQ(TNetEncoderMIME::EncodeText(std::string("\0", 1)), "AA==");
}

TEST(CoderMIME, EveryByteValueRoundTripsWithoutLineBreaks)
{
    std::string All;
    for (int I = 0; I < 256; ++I)
        All += static_cast<char>(I);
    for (size_t Len = 0; Len <= All.size(); Len += 37) {
        std::string Part = All.substr(0, Len);
        std::string Encoded = TNetEncoderMIME::EncodeText(Part);
        EXPECT_EQ(Encoded.size(), (Len + 2) / 3 * 4);
        EXPECT_EQ(Encoded.find_first_of("\r\n"), std::string::npos);
        EXPECT_EQ(TNetDecoderMIME::DecodeText(Encoded), Part);
    }
}

TEST(CoderMIME, EncodesACountFromTheStreamPosition)
{
    TStringStream S("0123456789");
    S.SetPosition(1);
    TNetEncoderMIME E;
    EXPECT_EQ(E.Encode(S, 3), TNetEncoderMIME::EncodeText("123"));
    EXPECT_EQ(S.Position(), 4);
    EXPECT_EQ(E.Encode(S, 30), TNetEncoderMIME::EncodeText("456789")); // only what is there
    EXPECT_EQ(E.Encode(S, -1), "");
    try {
        S.SetPosition(0);
        E.Encode(S, 4);
        FAIL() << "no exception";
    } catch (const ENetException& Ex) {
        EXPECT_STREQ(Ex.what(), "Uneven size in Encode.");
    }
    EXPECT_EQ(E.CodingTable().size(), 64u);
    EXPECT_EQ(E.FillChar(), '=');
}

TEST(CoderMIME, DecoderRefusesWhatIsNotBase64)
{
    struct Row {
        const char* Text;
        const char* Message;
    };
    const Row Rows[] = {
        { "abc", "Uneven size in DecodeToStream." },
        { "Zm9v\r\n", "Uneven size in DecodeToStream." },
        { "Zm9v!!!!", "Character outside the base64 alphabet in DecodeToStream." },
        { "=AAA", "Character outside the base64 alphabet in DecodeToStream." },
        { "A=AA", "Character outside the base64 alphabet in DecodeToStream." },
        { "Zm 9", "Character outside the base64 alphabet in DecodeToStream." },
        { "Zm9\xC3", "Character outside the base64 alphabet in DecodeToStream." },
    };
    for (const Row& R : Rows) {
        TStringStream Out;
        TNetDecoderMIME D;
        try {
            D.DecodeToStream(R.Text, Out);
            ADD_FAILURE() << R.Text << ": no exception";
        } catch (const ENetException& E) {
            EXPECT_STREQ(E.what(), R.Message) << R.Text;
        }
        EXPECT_EQ(Out.Size(), 0) << R.Text;
    }
    // A fill character in the third place ends the group whatever the fourth is.
    EXPECT_EQ(TNetDecoderMIME::DecodeText("Zg=A"), "f");
    EXPECT_EQ(TNetDecoderMIME::DecodeText("Zg==Zg=="), "ff");
    // Without a table nothing is in the alphabet.
    TNetDecoder4to3 Bare;
    TStringStream Out;
    EXPECT_THROW(Bare.DecodeToStream("Zm9v", Out), ENetException);
}
