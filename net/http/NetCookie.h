// Cookies as servers set them (Set-Cookie and Set-Cookie2 values) and the collection that
// keeps them by domain and name.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

class TNetCookies;
class TNetCookieRFC2109;

// Many readers or one writer. The writing thread may take write (or read) access again
// while it holds write access: destroying a cookie takes write access, and cookies are
// destroyed while the clean-up already holds it. Read access is not re-entrant.
class TNetMultiReadSingleWriteLock {
public:
    void BeginRead();
    void EndRead();
    void BeginWrite();
    void EndWrite();

private:
    std::mutex FLock;
    std::condition_variable FChanged;
    int32_t FReaders = 0;
    int32_t FWaitingWriters = 0;
    std::thread::id FWriter;
    int32_t FWriteDepth = 0; // write and nested read entries of FWriter
};

class TNetReadGuard {
public:
    explicit TNetReadGuard(TNetMultiReadSingleWriteLock& ALock)
        : FLock(ALock)
    {
        FLock.BeginRead();
    }
    ~TNetReadGuard() { FLock.EndRead(); }
    TNetReadGuard(const TNetReadGuard&) = delete;
    TNetReadGuard& operator=(const TNetReadGuard&) = delete;

private:
    TNetMultiReadSingleWriteLock& FLock;
};

class TNetWriteGuard {
public:
    explicit TNetWriteGuard(TNetMultiReadSingleWriteLock& ALock)
        : FLock(ALock)
    {
        FLock.BeginWrite();
    }
    ~TNetWriteGuard() { FLock.EndWrite(); }
    TNetWriteGuard(const TNetWriteGuard&) = delete;
    TNetWriteGuard& operator=(const TNetWriteGuard&) = delete;

private:
    TNetMultiReadSingleWriteLock& FLock;
};

// A cookie of the original kind (Name=Value with path, expires, domain and secure). Created
// with a collection it belongs to it: the collection frees it, and freeing it takes it out
// of the collection and of its domain's list.
class TNetNetscapeCookie {
public:
    explicit TNetNetscapeCookie(TNetCookies* ACollection = nullptr);
    virtual ~TNetNetscapeCookie();
    TNetNetscapeCookie(const TNetNetscapeCookie&) = delete;
    TNetNetscapeCookie& operator=(const TNetNetscapeCookie&) = delete;

    // Reads a Set-Cookie style value; the same text as last time changes nothing.
    // Raises ENetConvertError for a bad Set-Cookie2 port list.
    void ParseText(const std::string& AText);
    // The cookie as a server would send it.
    virtual std::string ServerText() const;
    virtual void AssignExpires(const std::string& AText);
    std::string CookieText() const { return ServerText(); }
    // Name=Value, as sent in a Cookie header.
    virtual std::string ClientText() const;
    // Reads the attributes: items "NAME=value" (names upper-cased) and flags "NAME".
    virtual void LoadAttributes(const std::vector<std::string>& AAttributes);
    // Whether this cookie's Domain may be set by AHost.
    virtual bool MatchesServer(const std::string& AHost) const;
    // Takes over ASource: parses its ServerText and copies its Kind and its Expires.
    void Assign(const TNetCookieRFC2109& ASource);

    const std::string& Expires() const { return FExpires; }
    const std::string& SourceText() const { return FSourceText; }
    // 0 original, 1 RFC 2109, 2 RFC 2965.
    int32_t Kind() const { return FKind; }
    TNetCookies* Collection() const { return FCollection; }
    // Stored cookies count up in the order they were stored (a replaced one keeps its place);
    // 0 for one that is not stored.
    uint64_t Sequence() const { return FSequence; }

    std::string Name;
    std::string Value;
    std::string Path;
    std::string Domain;
    bool Secure = false;

protected:
    std::string FExpires;
    std::string FSourceText;
    int32_t FKind = 0;

private:
    friend class TNetCookies;
    TNetCookies* FCollection = nullptr;
    size_t FItemIndex = 0; // the place in the collection's item list
    uint64_t FSequence = 0; // when it was stored, counted per collection
};

// A Set-Cookie value: adds Max-Age, Comment and Version.
class TNetCookieRFC2109 : public TNetNetscapeCookie {
public:
    explicit TNetCookieRFC2109(TNetCookies* ACollection = nullptr);

    std::string ServerText() const override;
    // Also sets MaxAge to the whole seconds from now to that date (errors ignored).
    void AssignExpires(const std::string& AText) override;
    void LoadAttributes(const std::vector<std::string>& AAttributes) override;

    int64_t MaxAge = -1; // seconds; -1 = none
    std::string Comment;
    std::string Version;
};

// A Set-Cookie2 value: adds CommentURL, Discard and the port list.
class TNetCookieRFC2965 : public TNetCookieRFC2109 {
public:
    explicit TNetCookieRFC2965(TNetCookies* ACollection = nullptr);

    void LoadAttributes(const std::vector<std::string>& AAttributes) override;
    // Stores at AIndex, which may be one past the end (the list grows by one); any other
    // index outside the list raises ENetException "Index out of range.".
    void SetPort(int32_t AIndex, int32_t AValue);

    std::string CommentUrl;
    bool Discard = false;
    std::vector<int32_t> Ports;
};

// The cookies of one domain: names (compared in any letter case) with their cookies. A name
// is found through an index, so that storing a cookie costs the same however many a domain
// holds; deleting moves the last entry into the gap (the order of the entries is no promise).
class TNetCookieList {
public:
    size_t Count() const { return FItems.size(); }
    const std::string& NameAt(size_t AIndex) const { return FItems.at(AIndex).first; }
    TNetCookieRFC2109* CookieAt(size_t AIndex) const { return FItems.at(AIndex).second; }
    ptrdiff_t IndexOfName(const std::string& AName) const;
    ptrdiff_t IndexOfCookie(const TNetNetscapeCookie* ACookie) const;
    void Add(const std::string& AName, TNetCookieRFC2109* ACookie);
    void Delete(size_t AIndex);

private:
    std::vector<std::pair<std::string, TNetCookieRFC2109*>> FItems;
    // Upper-cased name to its index in FItems.
    std::unordered_map<std::string, size_t> FIndex;
};

// Owns every cookie created with it, and indexes the stored ones by domain and name. The
// domain index and the lists are guarded by Lock(): read access to look, write access to
// change; the operations here take it themselves.
class TNetCookies {
public:
    TNetCookies() = default;
    ~TNetCookies();
    TNetCookies(const TNetCookies&) = delete;
    TNetCookies& operator=(const TNetCookies&) = delete;

    // Stores ACookie (a cookie of this collection) under its Domain and Name. When that
    // name is taken, the stored cookie takes over ACookie and ACookie is freed.
    void AddCookie(TNetCookieRFC2109* ACookie);

    // Every cookie of the collection, stored or not (hold the lock while looking).
    size_t Count() const { return FItems.size(); }
    TNetNetscapeCookie* Items(size_t AIndex) const { return FItems.at(AIndex); }
    // The domain index (hold the lock while looking).
    size_t DomainCount() const { return FDomains.size(); }
    const std::string& DomainAt(size_t AIndex) const { return FDomains.at(AIndex).first; }
    TNetCookieList& CookieListAt(size_t AIndex) const { return *FDomains.at(AIndex).second; }
    // The list of ADomain in any letter case; none when the domain has no entry.
    TNetCookieList* FindCookieList(const std::string& ADomain) const;

    TNetMultiReadSingleWriteLock& Lock() { return FLock; }

private:
    friend class TNetNetscapeCookie;
    void Insert(TNetNetscapeCookie* ACookie);
    void Remove(TNetNetscapeCookie* ACookie);

    // Each cookie knows its place here (FItemIndex), so that freeing one does not search.
    std::vector<TNetNetscapeCookie*> FItems;
    std::vector<std::pair<std::string, std::unique_ptr<TNetCookieList>>> FDomains;
    uint64_t FStored = 0;
    TNetMultiReadSingleWriteLock FLock;
};
