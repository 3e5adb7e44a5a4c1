#include "net/stack/NetClasses.h"

#include "net/stack/NetException.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

TComponent::TComponent(TComponent* AOwner)
{
    if (AOwner)
        AOwner->InsertComponent(this);
}

TComponent::~TComponent()
{
    FDestroying = true;
    // Tell everyone who holds a reference to this component, last subscriber first.
    while (!FFreeNotifies.empty()) {
        TComponent* C = FFreeNotifies.back();
        FFreeNotifies.pop_back();
        auto& Other = C->FFreeNotifies;
        Other.erase(std::remove(Other.begin(), Other.end(), this), Other.end());
        C->Notification(this, TOperation::opRemove);
    }
    DestroyComponents();
    if (FOwner)
        FOwner->RemoveComponent(this);
}

void TComponent::FreeNotification(TComponent* AComponent)
{
    if (!AComponent || AComponent == this)
        return;
    if (std::find(FFreeNotifies.begin(), FFreeNotifies.end(), AComponent) == FFreeNotifies.end())
        FFreeNotifies.push_back(AComponent);
    auto& Other = AComponent->FFreeNotifies;
    if (std::find(Other.begin(), Other.end(), this) == Other.end())
        Other.push_back(this);
}

void TComponent::RemoveFreeNotification(TComponent* AComponent)
{
    if (!AComponent)
        return;
    FFreeNotifies.erase(
        std::remove(FFreeNotifies.begin(), FFreeNotifies.end(), AComponent), FFreeNotifies.end());
    auto& Other = AComponent->FFreeNotifies;
    Other.erase(std::remove(Other.begin(), Other.end(), this), Other.end());
}

void TComponent::Notification(TComponent* AComponent, TOperation AOperation)
{
    (void)AComponent;
    (void)AOperation;
}

void TComponent::DestroyComponents()
{
    while (!FComponents.empty()) {
        TComponent* C = FComponents.back();
        // The child removes itself from FComponents in its destructor.
        delete C;
    }
}

void TComponent::InsertComponent(TComponent* AComponent)
{
    FComponents.push_back(AComponent);
    AComponent->FOwner = this;
}

void TComponent::RemoveComponent(TComponent* AComponent)
{
    FComponents.erase(std::remove(FComponents.begin(), FComponents.end(), AComponent), FComponents.end());
    AComponent->FOwner = nullptr;
}

int64_t TStream::Size()
{
    int64_t Pos = Seek(0, TSeekOrigin::soCurrent);
    int64_t End = Seek(0, TSeekOrigin::soEnd);
    Seek(Pos, TSeekOrigin::soBeginning);
    return End;
}

void TStream::ReadBuffer(void* ABuffer, int64_t ACount)
{
    if (ACount != 0 && Read(ABuffer, ACount) != ACount)
        throw ENetException("Stream read error");
}

void TStream::WriteBuffer(const void* ABuffer, int64_t ACount)
{
    if (ACount != 0 && Write(ABuffer, ACount) != ACount)
        throw ENetException("Stream write error");
}

int64_t TStream::CopyFrom(TStream& ASource, int64_t ACount)
{
    if (ACount == 0) {
        ASource.SetPosition(0);
        ACount = ASource.Size();
    }
    int64_t Result = ACount;
    std::vector<uint8_t> Buf(static_cast<size_t>(std::min<int64_t>(ACount, 65536)) + 1);
    while (ACount > 0) {
        int64_t N = std::min<int64_t>(ACount, static_cast<int64_t>(Buf.size()));
        ASource.ReadBuffer(Buf.data(), N);
        WriteBuffer(Buf.data(), N);
        ACount -= N;
    }
    return Result;
}

int64_t TMemoryStream::Read(void* ABuffer, int64_t ACount)
{
    int64_t Avail = static_cast<int64_t>(FData.size()) - FPosition;
    int64_t N = std::max<int64_t>(0, std::min(ACount, Avail));
    if (N > 0) {
        std::memcpy(ABuffer, FData.data() + FPosition, static_cast<size_t>(N));
        FPosition += N;
    }
    return N;
}

int64_t TMemoryStream::Write(const void* ABuffer, int64_t ACount)
{
    if (ACount <= 0)
        return 0;
    int64_t End = FPosition + ACount;
    if (End > static_cast<int64_t>(FData.size()))
        FData.resize(static_cast<size_t>(End));
    std::memcpy(FData.data() + FPosition, ABuffer, static_cast<size_t>(ACount));
    FPosition = End;
    return ACount;
}

int64_t TMemoryStream::Seek(int64_t AOffset, TSeekOrigin AOrigin)
{
    int64_t Base = AOrigin == TSeekOrigin::soBeginning ? 0
        : AOrigin == TSeekOrigin::soCurrent            ? FPosition
                                                       : static_cast<int64_t>(FData.size());
    FPosition = std::max<int64_t>(0, Base + AOffset);
    return FPosition;
}

void TMemoryStream::SetSize(int64_t ASize)
{
    FData.resize(static_cast<size_t>(std::max<int64_t>(0, ASize)), 0);
    if (FPosition > ASize)
        FPosition = std::max<int64_t>(0, ASize);
}

void TMemoryStream::Reserve(int64_t ACount)
{
    if (ACount > 0)
        FData.reserve(FData.size() + static_cast<size_t>(ACount));
}

uint8_t* TMemoryStream::Extend(int64_t ACount)
{
    const size_t Old = FData.size();
    FData.resize(Old + static_cast<size_t>(std::max<int64_t>(0, ACount)));
    return FData.data() + Old;
}

void TMemoryStream::Clear()
{
    FData.clear();
    FData.shrink_to_fit();
    FPosition = 0;
}

TStringStream::TStringStream(const std::string& AText)
{
    FData.assign(AText.begin(), AText.end());
}

int64_t TNullStream::Read(void* ABuffer, int64_t ACount)
{
    int64_t N = std::max<int64_t>(0, std::min(ACount, FSize - FPosition));
    if (N > 0)
        std::memset(ABuffer, 0, static_cast<size_t>(N));
    FPosition += N;
    return N;
}

int64_t TNullStream::Write(const void* ABuffer, int64_t ACount)
{
    (void)ABuffer;
    if (ACount <= 0)
        return 0;
    FPosition += ACount;
    FWritten += ACount;
    FSize = std::max(FSize, FPosition);
    return ACount;
}

int64_t TNullStream::Seek(int64_t AOffset, TSeekOrigin AOrigin)
{
    int64_t Base = AOrigin == TSeekOrigin::soBeginning ? 0
        : AOrigin == TSeekOrigin::soCurrent            ? FPosition
                                                       : FSize;
    FPosition = std::max<int64_t>(0, Base + AOffset);
    return FPosition;
}

void TNullStream::SetSize(int64_t ASize)
{
    FSize = std::max<int64_t>(0, ASize);
    if (FPosition > FSize)
        FPosition = FSize;
}

TFileStream::TFileStream(const std::string& AFileName, bool AWrite)
{
    FHandle = AWrite ? ::open(AFileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666)
                     : ::open(AFileName.c_str(), O_RDONLY | O_CLOEXEC);
    if (FHandle < 0)
        throw ENetException("Cannot open file \"" + AFileName + "\". " + std::strerror(errno));
}

TFileStream::~TFileStream()
{
    if (FHandle >= 0)
        ::close(FHandle);
}

int64_t TFileStream::Read(void* ABuffer, int64_t ACount)
{
    int64_t Done = 0;
    while (Done < ACount) {
        ssize_t N = ::read(FHandle, static_cast<char*>(ABuffer) + Done, static_cast<size_t>(ACount - Done));
        if (N < 0 && errno == EINTR)
            continue;
        if (N <= 0)
            break;
        Done += N;
    }
    return Done;
}

int64_t TFileStream::Write(const void* ABuffer, int64_t ACount)
{
    int64_t Done = 0;
    while (Done < ACount) {
        ssize_t N
            = ::write(FHandle, static_cast<const char*>(ABuffer) + Done, static_cast<size_t>(ACount - Done));
        if (N < 0 && errno == EINTR)
            continue;
        if (N <= 0)
            break;
        Done += N;
    }
    return Done;
}

int64_t TFileStream::Seek(int64_t AOffset, TSeekOrigin AOrigin)
{
    int Whence = AOrigin == TSeekOrigin::soBeginning ? SEEK_SET
        : AOrigin == TSeekOrigin::soCurrent          ? SEEK_CUR
                                                     : SEEK_END;
    off_t R = ::lseek(FHandle, static_cast<off_t>(AOffset), Whence);
    return R < 0 ? 0 : static_cast<int64_t>(R);
}

void TFileStream::SetSize(int64_t ASize)
{
    if (::ftruncate(FHandle, static_cast<off_t>(ASize)) != 0)
        throw ENetException("Stream write error");
}
