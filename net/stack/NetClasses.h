// The class-library pieces the networking layer is built on: components with an owner and
// free notification, and byte streams (memory, string, file, and one that keeps nothing).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

enum class TOperation { opInsert, opRemove };

// A component may have an owner, which frees it when the owner goes. Other components can
// ask to be told (Notification with opRemove) when this one is destroyed, so they can drop
// their references to it.
class TComponent {
public:
    explicit TComponent(TComponent* AOwner = nullptr);
    virtual ~TComponent();
    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;

    TComponent* Owner() const { return FOwner; }
    const std::vector<TComponent*>& Components() const { return FComponents; }

    // AComponent is told when this component is destroyed (mutual, as in the class library:
    // each side forgets the other when either goes).
    void FreeNotification(TComponent* AComponent);
    void RemoveFreeNotification(TComponent* AComponent);

protected:
    virtual void Notification(TComponent* AComponent, TOperation AOperation);
    // Points AField at AValue, moving this component's free notification from the old
    // target to the new one, so the field is cleared when its target is destroyed.
    template <class T> void SetReference(T*& AField, T* AValue)
    {
        if (AField == AValue)
            return;
        if (AField)
            AField->RemoveFreeNotification(this);
        AField = AValue;
        if (AField)
            AField->FreeNotification(this);
    }
    // Frees the owned components now; derived destructors that must outlive their children
    // call it first. The base destructor calls it too (a second call finds nothing).
    void DestroyComponents();

private:
    void InsertComponent(TComponent* AComponent);
    void RemoveComponent(TComponent* AComponent);

    TComponent* FOwner = nullptr;
    std::vector<TComponent*> FComponents;
    std::vector<TComponent*> FFreeNotifies;
    bool FDestroying = false;
};

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

class TStream {
public:
    virtual ~TStream() = default;
    // Reads up to ACount bytes; returns how many were read.
    virtual int64_t Read(void* ABuffer, int64_t ACount) = 0;
    // Writes ACount bytes; returns how many were written.
    virtual int64_t Write(const void* ABuffer, int64_t ACount) = 0;
    virtual int64_t Seek(int64_t AOffset, TSeekOrigin AOrigin) = 0;

    int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
    void SetPosition(int64_t APos) { Seek(APos, TSeekOrigin::soBeginning); }
    virtual int64_t Size();
    virtual void SetSize(int64_t ASize) = 0;

    // Raise ENetException ("Stream read error" / "Stream write error") when short.
    void ReadBuffer(void* ABuffer, int64_t ACount);
    void WriteBuffer(const void* ABuffer, int64_t ACount);
    void WriteString(const std::string& AText)
    {
        WriteBuffer(AText.data(), static_cast<int64_t>(AText.size()));
    }
    // Copies ACount bytes from ASource (0 = all of it from its start); returns the count.
    int64_t CopyFrom(TStream& ASource, int64_t ACount);
};

// Storage for bytes that grows without clearing what it adds: the bytes are written over at
// once (a copy or a receive), so zeroing them first would only touch the memory twice.
template <class T> struct TUninitialisedAllocator : std::allocator<T> {
    template <class U> struct rebind {
        using other = TUninitialisedAllocator<U>;
    };
    using std::allocator<T>::allocator;
    template <class U> void construct(U* APlace) noexcept { ::new (static_cast<void*>(APlace)) U; }
    template <class U, class... TArgs> void construct(U* APlace, TArgs&&... AArgs)
    {
        ::new (static_cast<void*>(APlace)) U(std::forward<TArgs>(AArgs)...);
    }
};
using TByteStore = std::vector<uint8_t, TUninitialisedAllocator<uint8_t>>;

// Bytes in memory; SetSize grows (with zeros) or cuts, keeping the position unless it is past
// the end.
class TMemoryStream : public TStream {
public:
    int64_t Read(void* ABuffer, int64_t ACount) override;
    int64_t Write(const void* ABuffer, int64_t ACount) override;
    int64_t Seek(int64_t AOffset, TSeekOrigin AOrigin) override;
    int64_t Size() override { return static_cast<int64_t>(FData.size()); }
    void SetSize(int64_t ASize) override;
    void Clear();
    // Takes room for ACount more bytes at the end without changing the size or the position.
    void Reserve(int64_t ACount);
    // Adds ACount bytes at the end, not initialised, for the caller to fill at once, and
    // returns where they start; the position stays. What the caller does not fill it cuts
    // off with SetSize.
    uint8_t* Extend(int64_t ACount);

    const uint8_t* Memory() const { return FData.data(); }
    uint8_t* Memory() { return FData.data(); }
    // The whole content as a string of bytes.
    std::string DataString() const { return std::string(FData.begin(), FData.end()); }

protected:
    TByteStore FData;
    int64_t FPosition = 0;
};

class TStringStream : public TMemoryStream {
public:
    explicit TStringStream(const std::string& AText = {});
};

// Counts what is written and keeps nothing: for bodies that are read only to be dropped.
// Reads give nothing; Size and Position behave as for a stream whose bytes are all zero.
class TNullStream : public TStream {
public:
    int64_t Read(void* ABuffer, int64_t ACount) override;
    int64_t Write(const void* ABuffer, int64_t ACount) override;
    int64_t Seek(int64_t AOffset, TSeekOrigin AOrigin) override;
    int64_t Size() override { return FSize; }
    void SetSize(int64_t ASize) override;
    int64_t BytesWritten() const { return FWritten; }

private:
    int64_t FSize = 0;
    int64_t FPosition = 0;
    int64_t FWritten = 0;
};

// A file opened for reading (AWrite false) or created anew for writing (AWrite true).
// Raises ENetException with the system's text when the file cannot be opened.
class TFileStream : public TStream {
public:
    TFileStream(const std::string& AFileName, bool AWrite);
    ~TFileStream() override;
    int64_t Read(void* ABuffer, int64_t ACount) override;
    int64_t Write(const void* ABuffer, int64_t ACount) override;
    int64_t Seek(int64_t AOffset, TSeekOrigin AOrigin) override;
    void SetSize(int64_t ASize) override;

private:
    int FHandle = -1;
};
