// An ordered list of header lines ("Name: value"), looked up by name without regard to
// letter case, with long values folded into continuation lines (lines that start with a
// space or a TAB) and unfolded again when read.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// AText with ASeparator inserted at break points (after a character of ABreakChars outside
// double quotes) so that pieces stay within AWidth where a break point allows it.
std::string WrapText(
    const std::string& AText, const std::string& ASeparator, const std::string& ABreakChars, size_t AWidth);

class TNetHeaderList {
public:
    TNetHeaderList() = default;
    TNetHeaderList(const TNetHeaderList&) = default;
    // Copies the lines only; the settings of the target stay as they are.
    TNetHeaderList& operator=(const TNetHeaderList& ASource);
    void Assign(const TNetHeaderList& ASource) { *this = ASource; }

    // The list's own string operations; an index outside the list raises ENetException.
    size_t Add(const std::string& ALine);
    void Insert(size_t AIndex, const std::string& ALine);
    void Delete(size_t AIndex);
    size_t Count() const { return FLines.size(); }
    bool Empty() const { return FLines.empty(); }
    void Clear() { FLines.clear(); }
    const std::string& operator[](size_t AIndex) const;
    std::string& operator[](size_t AIndex);
    const std::vector<std::string>& Lines() const { return FLines; }
    // All lines, each ended by CR LF.
    std::string Text() const;

    // The name of the line at AIndex: the text before the separator (upper-cased unless
    // CaseSensitiveNames); empty for a line without a separator or an index outside.
    std::string NameAt(size_t AIndex) const;
    // The value of the line at AIndex with its continuation lines joined by single spaces
    // (when UnfoldValues); empty for an index outside the list.
    std::string ValueAt(size_t AIndex) const;
    // First line whose name equals AName in any letter case; -1 when there is none.
    ptrdiff_t IndexOfHeader(std::string_view AName) const;
    std::string ValueOf(std::string_view AName) const;
    // Sets the value of the first line named AName in its place (a new line at the end when
    // there is none); an empty value deletes that line.
    void SetValueOf(const std::string& AName, const std::string& AValue);
    // Appends the value of every line named AName to ADest, in list order.
    void CollectValues(std::string_view AName, std::vector<std::string>* ADest) const;
    void CollectValues(std::string_view AName, TNetHeaderList* ADest) const;
    // Deletes the continuation lines that follow the line at AIndex.
    void RemoveContinuations(size_t AIndex);
    // ALine folded at FoldWidth: the first piece, then continuation pieces that start with
    // one space.
    std::vector<std::string> WrapLine(const std::string& ALine) const;
    // The pieces of WrapLine(ALine) in place of the line at AIndex.
    void PutWrapped(const std::string& ALine, size_t AIndex);

    std::string ValueSeparator = ": ";
    bool CaseSensitiveNames = false;
    bool UnfoldValues = true;
    bool FoldOnWrite = true;
    size_t FoldWidth = 78;

private:
    static bool IsContinuation(const std::string& ALine)
    {
        return !ALine.empty() && (ALine[0] == ' ' || ALine[0] == '\t');
    }
    void CheckIndex(size_t AIndex, size_t ALimit) const;
    // The name of the line at AIndex as written (NameAt without its upper-casing).
    std::string_view NameView(size_t AIndex) const;

    std::vector<std::string> FLines;
};
