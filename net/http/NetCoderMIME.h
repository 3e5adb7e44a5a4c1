// Base64 (the MIME alphabet with "=" fill characters, no line breaks), for the Basic
// authentication header value.
#pragma once

#include "net/stack/NetClasses.h"

#include <cstdint>
#include <string>

class TNetEncoder : public TComponent {
public:
    explicit TNetEncoder(TComponent* AOwner = nullptr)
        : TComponent(AOwner)
    {
    }
    // Encodes ACount bytes from the current position of ASource; -1 means all that remain.
    virtual std::string Encode(TStream& ASource, int64_t ACount = -1) = 0;
    // Encodes all bytes of AText.
    std::string Encode(const std::string& AText);
};

// Every group of 3 bytes becomes 4 characters of CodingTable; a short last group is padded
// with FillChar.
class TNetEncoder3to4 : public TNetEncoder {
public:
    using TNetEncoder::Encode;
    explicit TNetEncoder3to4(TComponent* AOwner = nullptr)
        : TNetEncoder(AOwner)
    {
    }
    // A count other than -1 must be a multiple of 3 ("Uneven size in Encode.").
    std::string Encode(TStream& ASource, int64_t ACount = -1) override;

    const std::string& CodingTable() const { return FCodingTable; }
    char FillChar() const { return FFillChar; }

protected:
    std::string FCodingTable; // 64 characters
    char FFillChar = '=';
};

class TNetEncoderMIME : public TNetEncoder3to4 {
public:
    explicit TNetEncoderMIME(TComponent* AOwner = nullptr);
    // The base64 text of all bytes of AText, through a temporary encoder.
    static std::string EncodeText(const std::string& AText);
};

class TNetDecoder : public TComponent {
public:
    explicit TNetDecoder(TComponent* AOwner = nullptr)
        : TComponent(AOwner)
    {
    }
    virtual void DecodeToStream(const std::string& AText, TStream& ADest) = 0;
    std::string DecodeString(const std::string& AText);
};

// Every group of 4 characters gives 3 bytes, 1 when the third is the fill character and 2
// when the fourth is. Raises ENetException for a length that is not a multiple of 4
// ("Uneven size in DecodeToStream.") and for a character that is neither in the alphabet
// nor a fill character in the third or fourth place of its group (line breaks included);
// nothing is written for such input.
class TNetDecoder4to3 : public TNetDecoder {
public:
    // Without a table every character is outside the alphabet.
    explicit TNetDecoder4to3(TComponent* AOwner = nullptr)
        : TNetDecoder(AOwner)
    {
        InitTable({}, '=');
    }
    void DecodeToStream(const std::string& AText, TStream& ADest) override;

protected:
    // Builds the reverse table from ACodingTable (64 characters).
    void InitTable(const std::string& ACodingTable, char AFillChar);

    int8_t FDecodeTable[256] = {};
    char FFillChar = '=';
};

class TNetDecoderMIME : public TNetDecoder4to3 {
public:
    explicit TNetDecoderMIME(TComponent* AOwner = nullptr);
    static std::string DecodeText(const std::string& AText);
};
