#include "net/http/NetHeaderList.h"

#include "net/stack/NetException.h"
#include "net/stack/NetStrings.h"

#include <algorithm>

std::string WrapText(
    const std::string& AText, const std::string& ASeparator, const std::string& ABreakChars, size_t AWidth)
{
    // UTF-8 sequences hold no ASCII bytes, so a break (always after an ASCII break
    // character) never splits a character.
    auto IsBreak = [&ABreakChars](char C) { return ABreakChars.find(C) != std::string::npos; };
    std::string Result;
    Result.reserve(AText.size());
    size_t Start = 0;
    size_t Break = std::string::npos; // the position after the latest break character
    bool InQuote = false;
    size_t I = 0;
    while (I < AText.size()) {
        char C = AText[I];
        if (C == '"')
            InQuote = !InQuote;
        else if (!InQuote && IsBreak(C))
            Break = I + 1;
        ++I;
        if (I - Start > AWidth && Break != std::string::npos && Break > Start) {
            Result.append(AText, Start, Break - Start);
            size_t J = Break;
            while (J < AText.size() && IsBreak(AText[J]))
                ++J;
            if (J < AText.size())
                Result += ASeparator;
            Start = J;
            Break = std::string::npos;
            // Nothing between the break point and I was a break character outside quotes,
            // so the quote state at I still holds and the scan goes on from there.
            if (I < J)
                I = J;
        }
    }
    if (Start < AText.size())
        Result.append(AText, Start, std::string::npos);
    return Result;
}

TNetHeaderList& TNetHeaderList::operator=(const TNetHeaderList& ASource)
{
    if (this != &ASource)
        FLines = ASource.FLines;
    return *this;
}

void TNetHeaderList::CheckIndex(size_t AIndex, size_t ALimit) const
{
    if (AIndex >= ALimit)
        throw ENetException(FormatStr("List index out of bounds (%zu)", AIndex));
}

size_t TNetHeaderList::Add(const std::string& ALine)
{
    FLines.push_back(ALine);
    return FLines.size() - 1;
}

void TNetHeaderList::Insert(size_t AIndex, const std::string& ALine)
{
    CheckIndex(AIndex, FLines.size() + 1);
    FLines.insert(FLines.begin() + static_cast<ptrdiff_t>(AIndex), ALine);
}

void TNetHeaderList::Delete(size_t AIndex)
{
    CheckIndex(AIndex, FLines.size());
    FLines.erase(FLines.begin() + static_cast<ptrdiff_t>(AIndex));
}

const std::string& TNetHeaderList::operator[](size_t AIndex) const
{
    CheckIndex(AIndex, FLines.size());
    return FLines[AIndex];
}

std::string& TNetHeaderList::operator[](size_t AIndex)
{
    CheckIndex(AIndex, FLines.size());
    return FLines[AIndex];
}

std::string TNetHeaderList::Text() const
{
    std::string Result;
    for (const std::string& L : FLines)
        Result += L + "\r\n";
    return Result;
}

std::string_view TNetHeaderList::NameView(size_t AIndex) const
{
    if (AIndex >= FLines.size())
        return {};
    const std::string_view Line = FLines[AIndex];
    std::string_view Sep = ValueSeparator;
    while (!Sep.empty() && static_cast<unsigned char>(Sep.back()) <= 32)
        Sep.remove_suffix(1);
    if (Sep.empty() || Sep.size() > Line.size())
        return {};
    // The separator is looked for as NameAt would find it in the upper-cased line; a
    // separator without letters is found the same in either.
    const bool HasLetters
        = std::any_of(Sep.begin(), Sep.end(), [](char C) { return (C | 32) >= 'a' && (C | 32) <= 'z'; });
    if (CaseSensitiveNames || !HasLetters) {
        const size_t P = Line.find(Sep);
        return P == std::string_view::npos ? std::string_view() : Line.substr(0, P);
    }
    auto Folded = [](char C) { return C >= 'a' && C <= 'z' ? static_cast<char>(C - 32) : C; };
    for (size_t P = 0; P + Sep.size() <= Line.size(); ++P) {
        size_t K = 0;
        while (K < Sep.size() && Folded(Line[P + K]) == Sep[K])
            ++K;
        if (K == Sep.size())
            return Line.substr(0, P);
    }
    return {};
}

std::string TNetHeaderList::NameAt(size_t AIndex) const
{
    const std::string_view Name = NameView(AIndex);
    return CaseSensitiveNames ? std::string(Name) : UpperCase(Name);
}

std::string TNetHeaderList::ValueAt(size_t AIndex) const
{
    if (AIndex >= FLines.size())
        return {};
    const std::string& Line = FLines[AIndex];
    // One separator character is skipped; the blank after ": " goes with the final trim.
    size_t From = NameView(AIndex).size() + 1;
    const std::string_view Own
        = From < Line.size() ? std::string_view(Line).substr(From) : std::string_view();
    const bool Folded = UnfoldValues && AIndex + 1 < FLines.size() && IsContinuation(FLines[AIndex + 1]);
    if (!Folded)
        return Trim(Own);
    // Joining as trim(value so far) + " " + trim(continuation): leading blanks are left to
    // the final trim, so the value is not copied once per line.
    std::string Result(Own);
    for (size_t I = AIndex + 1; I < FLines.size() && IsContinuation(FLines[I]); ++I) {
        while (!Result.empty() && static_cast<unsigned char>(Result.back()) <= 32)
            Result.pop_back();
        Result += ' ';
        Result += Trim(FLines[I]);
    }
    return Trim(Result);
}

ptrdiff_t TNetHeaderList::IndexOfHeader(std::string_view AName) const
{
    for (size_t I = 0; I < FLines.size(); ++I) {
        const std::string& Line = FLines[I];
        // Only a line that starts with the name can carry it; NameView settles the rest.
        if (Line.size() >= AName.size() && SameText(std::string_view(Line).substr(0, AName.size()), AName)
            && SameText(NameView(I), AName))
            return static_cast<ptrdiff_t>(I);
    }
    return -1;
}

std::string TNetHeaderList::ValueOf(std::string_view AName) const
{
    ptrdiff_t I = IndexOfHeader(AName);
    return I < 0 ? std::string() : ValueAt(static_cast<size_t>(I));
}

void TNetHeaderList::SetValueOf(const std::string& AName, const std::string& AValue)
{
    ptrdiff_t Found = IndexOfHeader(AName);
    if (!AValue.empty()) {
        size_t I = Found < 0 ? Add(std::string()) : static_cast<size_t>(Found);
        if (FoldOnWrite) {
            RemoveContinuations(I);
            PutWrapped(AName + ValueSeparator + AValue, I);
        } else {
            FLines[I] = AName + ValueSeparator + AValue;
        }
    } else if (Found >= 0) {
        if (FoldOnWrite)
            RemoveContinuations(static_cast<size_t>(Found));
        Delete(static_cast<size_t>(Found));
    }
}

void TNetHeaderList::CollectValues(std::string_view AName, std::vector<std::string>* ADest) const
{
    if (!ADest)
        return;
    for (size_t I = 0; I < FLines.size(); ++I)
        if (SameText(NameView(I), AName))
            ADest->push_back(ValueAt(I));
}

void TNetHeaderList::CollectValues(std::string_view AName, TNetHeaderList* ADest) const
{
    if (!ADest)
        return;
    for (size_t I = 0; I < FLines.size(); ++I)
        if (SameText(NameView(I), AName))
            ADest->Add(ValueAt(I));
}

void TNetHeaderList::RemoveContinuations(size_t AIndex)
{
    size_t End = AIndex + 1;
    while (End < FLines.size() && IsContinuation(FLines[End]))
        ++End;
    if (End > AIndex + 1)
        FLines.erase(FLines.begin() + static_cast<ptrdiff_t>(AIndex + 1),
            FLines.begin() + static_cast<ptrdiff_t>(End));
}

std::vector<std::string> TNetHeaderList::WrapLine(const std::string& ALine) const
{
    std::string Wrapped = WrapText(ALine, "\r\n ", "\t ,", FoldWidth);
    std::vector<std::string> Pieces;
    size_t From = 0;
    for (;;) {
        size_t P = Wrapped.find("\r\n", From);
        if (P == std::string::npos) {
            // A final CR LF ends the last piece rather than starting an empty one.
            if (From < Wrapped.size() || Pieces.empty())
                Pieces.push_back(TrimRight(std::string_view(Wrapped).substr(From)));
            break;
        }
        Pieces.push_back(TrimRight(std::string_view(Wrapped).substr(From, P - From)));
        From = P + 2;
    }
    return Pieces;
}

void TNetHeaderList::PutWrapped(const std::string& ALine, size_t AIndex)
{
    CheckIndex(AIndex, FLines.size());
    // A line within the width and of one line only stays as it is: the common case, without
    // the copies of a wrap.
    if (ALine.size() <= FoldWidth && ALine.find("\r\n") == std::string::npos) {
        FLines[AIndex] = TrimRight(ALine);
        return;
    }
    std::vector<std::string> Pieces = WrapLine(ALine);
    FLines[AIndex] = std::move(Pieces.back());
    Pieces.pop_back();
    FLines.insert(FLines.begin() + static_cast<ptrdiff_t>(AIndex), Pieces.begin(), Pieces.end());
}
