#include "net/http/NetCookie.h"

#include "net/http/NetGlobal.h"
#include "net/stack/NetStrings.h"

#include <algorithm>
#include <cmath>

// ---- lock ----

void TNetMultiReadSingleWriteLock::BeginRead()
{
    std::unique_lock<std::mutex> L(FLock);
    if (FWriteDepth > 0 && FWriter == std::this_thread::get_id()) {
        ++FWriteDepth;
        return;
    }
    // Waiting writers go first, so a stream of readers cannot starve them.
    FChanged.wait(L, [this] { return FWriteDepth == 0 && FWaitingWriters == 0; });
    ++FReaders;
}

void TNetMultiReadSingleWriteLock::EndRead()
{
    std::lock_guard<std::mutex> L(FLock);
    if (FWriteDepth > 0 && FWriter == std::this_thread::get_id()) {
        if (--FWriteDepth == 0) {
            FWriter = {};
            FChanged.notify_all();
        }
        return;
    }
    if (--FReaders == 0)
        FChanged.notify_all();
}

void TNetMultiReadSingleWriteLock::BeginWrite()
{
    std::unique_lock<std::mutex> L(FLock);
    std::thread::id Me = std::this_thread::get_id();
    if (FWriteDepth > 0 && FWriter == Me) {
        ++FWriteDepth;
        return;
    }
    ++FWaitingWriters;
    FChanged.wait(L, [this] { return FWriteDepth == 0 && FReaders == 0; });
    --FWaitingWriters;
    FWriter = Me;
    FWriteDepth = 1;
}

void TNetMultiReadSingleWriteLock::EndWrite()
{
    std::lock_guard<std::mutex> L(FLock);
    if (--FWriteDepth == 0) {
        FWriter = {};
        FChanged.notify_all();
    }
}

// ---- attribute lists ----

namespace {

// The value of the first item "NAME=value" whose name is AName in any letter case.
std::string AttributeValue(const std::vector<std::string>& AItems, const char* AName)
{
    for (const std::string& Item : AItems) {
        size_t Eq = Item.find('=');
        if (Eq != std::string::npos && SameText(std::string_view(Item).substr(0, Eq), AName))
            return Item.substr(Eq + 1);
    }
    return {};
}

bool HasFlag(const std::vector<std::string>& AItems, const char* AName)
{
    for (const std::string& Item : AItems)
        if (SameText(Item, AName))
            return true;
    return false;
}

void AddAttribute(std::string& AText, const char* AName, const std::string& AValue)
{
    if (AValue.empty())
        return;
    if (!AText.empty())
        AText += "; ";
    AText += AName;
    AText += '=';
    AText += AValue;
}

// Lines split at CR LF, CR or LF; a final line break starts no empty line.
std::vector<std::string> SplitLines(const std::string& AText)
{
    std::vector<std::string> Lines;
    size_t Start = 0;
    size_t I = 0;
    while (I < AText.size()) {
        char C = AText[I];
        if (C == '\r' || C == '\n') {
            Lines.push_back(AText.substr(Start, I - Start));
            if (C == '\r' && I + 1 < AText.size() && AText[I + 1] == '\n')
                ++I;
            Start = ++I;
        } else {
            ++I;
        }
    }
    if (Start < AText.size())
        Lines.push_back(AText.substr(Start));
    return Lines;
}

// A dotted IPv4 address: the first four dot-separated parts are decimal numbers 0..255.
bool IsDottedAddress(const std::string& AText)
{
    size_t I = 0;
    for (int Part = 0; Part < 4; ++Part) {
        if (Part > 0) {
            if (I >= AText.size() || AText[I] != '.')
                return false;
            ++I;
        }
        size_t Start = I;
        int Value = 0;
        while (I < AText.size() && AText[I] >= '0' && AText[I] <= '9') {
            Value = std::min(Value * 10 + (AText[I] - '0'), 1000);
            ++I;
        }
        if (I == Start || Value > 255)
            return false;
        if (Part == 3 && I < AText.size() && AText[I] != '.')
            return false;
    }
    return true;
}

// The host from its first "." on; the whole host when it has none.
std::string DomainPart(const std::string& AHost)
{
    size_t Dot = AHost.find('.');
    return Dot == std::string::npos ? AHost : AHost.substr(Dot);
}

// Whole seconds of a span computed from date-times, which carry rounding errors far below a
// millisecond: 59.9999999 seconds is a minute.
int64_t WholeSeconds(double ASeconds)
{
    if (ASeconds != ASeconds)
        return 0;
    if (ASeconds < -9.0e15)
        return static_cast<int64_t>(-9.0e15);
    if (ASeconds > 9.0e15)
        return static_cast<int64_t>(9.0e15);
    return static_cast<int64_t>(std::trunc(std::round(ASeconds * 1000.0) / 1000.0));
}

} // namespace

// ---- Netscape ----

TNetNetscapeCookie::TNetNetscapeCookie(TNetCookies* ACollection)
    : FCollection(ACollection)
{
    if (FCollection)
        FCollection->Insert(this);
}

TNetNetscapeCookie::~TNetNetscapeCookie()
{
    if (FCollection)
        FCollection->Remove(this);
}

void TNetNetscapeCookie::ParseText(const std::string& AText)
{
    if (AText == FSourceText)
        return;
    FSourceText = AText;
    std::vector<std::string> Items;
    if (AText.find(';') != std::string::npos) {
        size_t Start = 0;
        for (size_t Semi = AText.find(';'); Semi != std::string::npos; Semi = AText.find(';', Start)) {
            Items.push_back(Trim(std::string_view(AText).substr(Start, Semi - Start)));
            Start = Semi + 1;
        }
        std::string Rest = Trim(std::string_view(AText).substr(Start));
        if (!Rest.empty())
            Items.push_back(std::move(Rest));
    } else {
        Items = SplitLines(AText);
    }
    Name.clear();
    Value.clear();
    if (!Items.empty()) {
        const std::string& First = Items.front();
        size_t Eq = First.find('=');
        if (Eq != std::string::npos) {
            Name = First.substr(0, Eq);
            Value = First.substr(Eq + 1);
        }
        Items.erase(Items.begin());
    }
    for (std::string& Item : Items) {
        size_t Eq = Item.find('=');
        if (Eq == std::string::npos)
            Item = UpperCase(Item);
        else
            Item = UpperCase(std::string_view(Item).substr(0, Eq)) + Item.substr(Eq);
    }
    LoadAttributes(Items);
}

std::string TNetNetscapeCookie::ServerText() const
{
    std::string Result = Name + "=" + Value;
    AddAttribute(Result, "path", Path);
    if (FKind == 0)
        AddAttribute(Result, "expires", FExpires);
    AddAttribute(Result, "domain", Domain);
    if (Secure)
        Result += "; secure";
    return Result;
}

void TNetNetscapeCookie::AssignExpires(const std::string& AText)
{
    FExpires = AText;
}

std::string TNetNetscapeCookie::ClientText() const
{
    return Name + "=" + Value;
}

void TNetNetscapeCookie::LoadAttributes(const std::vector<std::string>& AAttributes)
{
    Path = AttributeValue(AAttributes, "PATH");
    if (!Path.empty() && Path.front() == '"')
        Path.erase(0, 1);
    if (!Path.empty() && Path.back() == '"')
        Path.pop_back();
    AssignExpires(AttributeValue(AAttributes, "EXPIRES"));
    Domain = AttributeValue(AAttributes, "DOMAIN");
    Secure = HasFlag(AAttributes, "SECURE");
}

bool TNetNetscapeCookie::MatchesServer(const std::string& AHost) const
{
    if (IsDottedAddress(AHost))
        return Domain == AHost;
    // A domain of one label after its dot (".test", ".com") would hand the cookie to every
    // host under a top-level domain, other people's servers included.
    if (!Domain.empty() && Domain[0] == '.' && Domain.find('.', 1) == std::string::npos)
        return false;
    if (AHost.empty() || AHost[0] != '.') {
        if ((Domain.empty() || Domain[0] != '.') && !IsDottedAddress(Domain))
            return Domain == AHost;
        return Domain == DomainPart(AHost);
    }
    return SameText(Domain, DomainPart(AHost));
}

void TNetNetscapeCookie::Assign(const TNetCookieRFC2109& ASource)
{
    if (static_cast<const TNetNetscapeCookie*>(&ASource) == this)
        return;
    ParseText(ASource.ServerText());
    FKind = ASource.Kind();
    // The server text leaves out an Expires that came with the cookie itself; without it
    // the replaced cookie would never expire.
    if (FExpires != ASource.Expires())
        AssignExpires(ASource.Expires());
}

// ---- RFC 2109 ----

TNetCookieRFC2109::TNetCookieRFC2109(TNetCookies* ACollection)
    : TNetNetscapeCookie(ACollection)
{
    FKind = 1;
}

std::string TNetCookieRFC2109::ServerText() const
{
    std::string Result = TNetNetscapeCookie::ServerText();
    if (MaxAge >= 0 && FExpires.empty())
        AddAttribute(Result, "max-age", IntToStr(MaxAge));
    AddAttribute(Result, "comment", Comment);
    AddAttribute(Result, "version", Version);
    return Result;
}

void TNetCookieRFC2109::AssignExpires(const std::string& AText)
{
    try {
        MaxAge = WholeSeconds((InternetDateToLocal(AText) - Now()) * SecsPerDay);
    } catch (const std::exception&) {
        // The text is stored all the same; MaxAge keeps its value.
    }
    TNetNetscapeCookie::AssignExpires(AText);
}

void TNetCookieRFC2109::LoadAttributes(const std::vector<std::string>& AAttributes)
{
    TNetNetscapeCookie::LoadAttributes(AAttributes);
    MaxAge = StrToInt64Def(AttributeValue(AAttributes, "MAX-AGE"), -1);
    Version = AttributeValue(AAttributes, "VERSION");
    Comment = AttributeValue(AAttributes, "COMMENT");
    if (FExpires.empty()) {
        FKind = 0;
        if (MaxAge >= 0)
            AssignExpires(FormatInternetDate(Now() + static_cast<double>(MaxAge) * 1000.0 / MSecsPerDay));
    }
}

// ---- RFC 2965 ----

TNetCookieRFC2965::TNetCookieRFC2965(TNetCookies* ACollection)
    : TNetCookieRFC2109(ACollection)
{
    FKind = 2;
}

void TNetCookieRFC2965::SetPort(int32_t AIndex, int32_t AValue)
{
    if (AIndex < 0 || static_cast<size_t>(AIndex) > Ports.size())
        throw ENetException("Index out of range.");
    if (static_cast<size_t>(AIndex) == Ports.size())
        Ports.push_back(AValue);
    else
        Ports[static_cast<size_t>(AIndex)] = AValue;
}

void TNetCookieRFC2965::LoadAttributes(const std::vector<std::string>& AAttributes)
{
    TNetCookieRFC2109::LoadAttributes(AAttributes);
    CommentUrl = AttributeValue(AAttributes, "COMMENTURL");
    Discard = HasFlag(AAttributes, "DISCARD");
    std::string Port = AttributeValue(AAttributes, "PORT");
    if (Port.empty()) {
        Ports.assign(1, 80);
    } else if (Port.size() >= 2 && Port.front() == '"' && Port.back() == '"') {
        std::string List = Port.substr(1, Port.size() - 2);
        if (Trim(List).empty()) {
            Ports.assign(1, 80);
            return;
        }
        // A new list replaces the old one whole. A list with an entry that is no number reads
        // as no list at all: the attribute decides nothing the client does, so it must not
        // fail the answer that carried it.
        Ports.clear();
        int32_t Index = 0;
        size_t Start = 0;
        for (;;) {
            size_t Comma = List.find(',', Start);
            std::string Entry = Trim(std::string_view(List).substr(
                Start, Comma == std::string::npos ? std::string::npos : Comma - Start));
            int32_t Number;
            if (!TryStrToInt(Entry, Number)) {
                Ports.assign(1, 80);
                return;
            }
            SetPort(Index++, Number);
            if (Comma == std::string::npos)
                break;
            Start = Comma + 1;
        }
    }
    // A value without quotes leaves the ports as they were.
}

// ---- lists ----

ptrdiff_t TNetCookieList::IndexOfName(const std::string& AName) const
{
    const auto It = FIndex.find(UpperCase(AName));
    return It == FIndex.end() ? -1 : static_cast<ptrdiff_t>(It->second);
}

ptrdiff_t TNetCookieList::IndexOfCookie(const TNetNetscapeCookie* ACookie) const
{
    const ptrdiff_t ByName = IndexOfName(ACookie->Name);
    if (ByName >= 0 && FItems[static_cast<size_t>(ByName)].second == ACookie)
        return ByName;
    // Its Name may have changed since it was stored.
    for (size_t I = 0; I < FItems.size(); ++I)
        if (FItems[I].second == ACookie)
            return static_cast<ptrdiff_t>(I);
    return -1;
}

void TNetCookieList::Add(const std::string& AName, TNetCookieRFC2109* ACookie)
{
    FIndex.emplace(UpperCase(AName), FItems.size());
    FItems.emplace_back(AName, ACookie);
}

void TNetCookieList::Delete(size_t AIndex)
{
    FIndex.erase(UpperCase(FItems.at(AIndex).first));
    if (AIndex + 1 != FItems.size()) {
        FItems[AIndex] = std::move(FItems.back());
        FIndex[UpperCase(FItems[AIndex].first)] = AIndex;
    }
    FItems.pop_back();
}

TNetCookies::~TNetCookies()
{
    // The cookies go without looking themselves up in the lists.
    FDomains.clear();
    std::vector<TNetNetscapeCookie*> Items;
    Items.swap(FItems);
    for (TNetNetscapeCookie* C : Items) {
        C->FCollection = nullptr;
        delete C;
    }
}

TNetCookieList* TNetCookies::FindCookieList(const std::string& ADomain) const
{
    for (const auto& D : FDomains)
        if (SameText(D.first, ADomain))
            return D.second.get();
    return nullptr;
}

void TNetCookies::Insert(TNetNetscapeCookie* ACookie)
{
    TNetWriteGuard G(FLock);
    ACookie->FItemIndex = FItems.size();
    FItems.push_back(ACookie);
}

void TNetCookies::Remove(TNetNetscapeCookie* ACookie)
{
    TNetWriteGuard G(FLock);
    TNetCookieList* List = FindCookieList(ACookie->Domain);
    ptrdiff_t I = List ? List->IndexOfCookie(ACookie) : -1;
    if (I < 0) {
        // Its Domain may have changed since it was stored.
        for (auto& D : FDomains) {
            I = D.second->IndexOfCookie(ACookie);
            if (I >= 0) {
                List = D.second.get();
                break;
            }
        }
    }
    if (I >= 0)
        List->Delete(static_cast<size_t>(I));
    const size_t At = ACookie->FItemIndex;
    if (At < FItems.size() && FItems[At] == ACookie) {
        FItems[At] = FItems.back();
        FItems[At]->FItemIndex = At;
        FItems.pop_back();
    }
}

void TNetCookies::AddCookie(TNetCookieRFC2109* ACookie)
{
    TNetWriteGuard G(FLock);
    TNetCookieList* List = FindCookieList(ACookie->Domain);
    if (!List) {
        FDomains.emplace_back(ACookie->Domain, std::make_unique<TNetCookieList>());
        List = FDomains.back().second.get();
    }
    ptrdiff_t I = List->IndexOfName(ACookie->Name);
    if (I < 0) {
        // A cookie that is over already would only wait for the next clean-up; a server that
        // sends thousands of them must not make every later store and look-up pay for them.
        if (!ACookie->Expires().empty() && InternetDateToLocal(ACookie->Expires()) < Now()) {
            delete ACookie;
            return;
        }
        ACookie->FSequence = ++FStored;
        List->Add(ACookie->Name, ACookie);
        return;
    }
    // Freed also when taking over fails, so a refused cookie never stays behind.
    std::unique_ptr<TNetCookieRFC2109> Replaced(ACookie);
    List->CookieAt(static_cast<size_t>(I))->Assign(*ACookie);
}
