#include "net/http/NetCoderMIME.h"

#include "net/stack/NetException.h"

#include <vector>

namespace {

const char* const GCodeTableMIME = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

} // namespace

std::string TNetEncoder::Encode(const std::string& AText)
{
    TStringStream Source(AText);
    return Encode(Source, -1);
}

std::string TNetEncoder3to4::Encode(TStream& ASource, int64_t ACount)
{
    if (ACount != -1 && ACount % 3 != 0)
        throw ENetException("Uneven size in Encode.");
    int64_t Available = ASource.Size() - ASource.Position();
    if (ACount < 0 || ACount > Available)
        ACount = Available;
    if (ACount <= 0)
        return {};
    if (FCodingTable.size() != 64)
        throw ENetException("The coding table must hold 64 characters.");
    std::vector<uint8_t> In(static_cast<size_t>(ACount));
    size_t N = static_cast<size_t>(ASource.Read(In.data(), ACount));
    const char* T = FCodingTable.data();
    std::string Out;
    Out.reserve((N + 2) / 3 * 4);
    size_t I = 0;
    for (; I + 3 <= N; I += 3) {
        uint32_t B1 = In[I], B2 = In[I + 1], B3 = In[I + 2];
        Out += T[B1 >> 2];
        Out += T[((B1 << 4) & 63) | (B2 >> 4)];
        Out += T[((B2 << 2) & 63) | (B3 >> 6)];
        Out += T[B3 & 63];
    }
    if (N - I == 1) {
        uint32_t B1 = In[I];
        Out += T[B1 >> 2];
        Out += T[(B1 << 4) & 63];
        Out += FFillChar;
        Out += FFillChar;
    } else if (N - I == 2) {
        uint32_t B1 = In[I], B2 = In[I + 1];
        Out += T[B1 >> 2];
        Out += T[((B1 << 4) & 63) | (B2 >> 4)];
        Out += T[(B2 << 2) & 63];
        Out += FFillChar;
    }
    return Out;
}

TNetEncoderMIME::TNetEncoderMIME(TComponent* AOwner)
    : TNetEncoder3to4(AOwner)
{
    FCodingTable = GCodeTableMIME;
    FFillChar = '=';
}

std::string TNetEncoderMIME::EncodeText(const std::string& AText)
{
    TNetEncoderMIME Encoder;
    return Encoder.Encode(AText);
}

std::string TNetDecoder::DecodeString(const std::string& AText)
{
    TStringStream Dest;
    DecodeToStream(AText, Dest);
    return Dest.DataString();
}

void TNetDecoder4to3::InitTable(const std::string& ACodingTable, char AFillChar)
{
    for (int8_t& V : FDecodeTable)
        V = -1;
    for (size_t I = 0; I < ACodingTable.size() && I < 64; ++I)
        FDecodeTable[static_cast<uint8_t>(ACodingTable[I])] = static_cast<int8_t>(I);
    FFillChar = AFillChar;
}

void TNetDecoder4to3::DecodeToStream(const std::string& AText, TStream& ADest)
{
    if (AText.size() % 4 != 0)
        throw ENetException("Uneven size in DecodeToStream.");
    std::string Out;
    Out.reserve(AText.size() / 4 * 3);
    for (size_t I = 0; I < AText.size(); I += 4) {
        int V[4];
        for (int K = 0; K < 4; ++K) {
            char C = AText[I + static_cast<size_t>(K)];
            V[K] = FDecodeTable[static_cast<uint8_t>(C)];
            if (V[K] < 0) {
                if (C != FFillChar || K < 2)
                    throw ENetException("Character outside the base64 alphabet in DecodeToStream.");
                V[K] = 0;
            }
        }
        bool Fill3 = AText[I + 2] == FFillChar;
        bool Fill4 = AText[I + 3] == FFillChar;
        Out += static_cast<char>((V[0] << 2) | (V[1] >> 4));
        if (!Fill3) {
            Out += static_cast<char>(((V[1] & 15) << 4) | (V[2] >> 2));
            if (!Fill4)
                Out += static_cast<char>(((V[2] & 3) << 6) | V[3]);
        }
    }
    ADest.WriteString(Out);
}

TNetDecoderMIME::TNetDecoderMIME(TComponent* AOwner)
    : TNetDecoder4to3(AOwner)
{
    InitTable(GCodeTableMIME, '=');
}

std::string TNetDecoderMIME::DecodeText(const std::string& AText)
{
    TNetDecoderMIME Decoder;
    return Decoder.DecodeString(AText);
}
