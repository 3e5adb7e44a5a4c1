#include "net/tcp/NetTCPConnection.h"

#include "net/stack/NetCancel.h"
#include "net/stack/NetSocketHandle.h"
#include "net/stack/NetStack.h"
#include "net/stack/NetStrings.h"
#include "net/tcp/NetAntiFreezeBase.h"
#include "net/tcp/NetIOHandlerSocket.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>
#include <string_view>
#include <sys/stat.h>

// --- buffers ---

std::string TNetSimpleBuffer::TakeString(int32_t ACount)
{
    if (ACount < 0 || ACount > Size())
        throw ENetNotEnoughDataInBuffer(RSNotEnoughDataInBuffer);
    std::string Result(reinterpret_cast<const char*>(FData.data()), static_cast<size_t>(ACount));
    Consume(ACount);
    return Result;
}

void TNetSimpleBuffer::Consume(int32_t ACount)
{
    if (ACount < 0 || ACount > Size())
        throw ENetNotEnoughDataInBuffer(RSNotEnoughDataInBuffer);
    if (ACount == Size()) {
        Clear();
    } else {
        FData.erase(FData.begin(), FData.begin() + ACount);
        FPosition = std::max<int64_t>(0, FPosition - ACount);
    }
    if (OnConsumed)
        OnConsumed(this, ACount);
}

TNetManagedBuffer::TNetManagedBuffer() = default;

int64_t TNetManagedBuffer::Seek(int64_t AOffset, TSeekOrigin AOrigin)
{
    const int64_t Base = AOrigin == TSeekOrigin::soBeginning ? Consumed
        : AOrigin == TSeekOrigin::soCurrent                  ? FPosition
                                                             : static_cast<int64_t>(FData.size());
    FPosition = std::max<int64_t>(Consumed, Base + AOffset);
    return FPosition - Consumed;
}

void TNetManagedBuffer::SetSize(int64_t ASize)
{
    TMemoryStream::SetSize(Consumed + std::max<int64_t>(0, ASize));
    FPosition = std::max<int64_t>(FPosition, Consumed);
}

std::string TNetManagedBuffer::TakeString(int32_t ACount)
{
    if (ACount < 0 || ACount > Size())
        throw ENetNotEnoughDataInBuffer(RSNotEnoughDataInBuffer);
    std::string Result(reinterpret_cast<const char*>(UnreadStart()), static_cast<size_t>(ACount));
    Consume(ACount);
    return Result;
}

void TNetManagedBuffer::Consume(int32_t ACount)
{
    if (ACount < 0 || ACount > Size())
        throw ENetNotEnoughDataInBuffer(RSNotEnoughDataInBuffer);
    if (ACount == Size()) {
        Empty();
    } else {
        Consumed += ACount;
        FPosition = std::max<int64_t>(FPosition, Consumed);
        if (Consumed >= CompactThreshold)
            Compact();
    }
    if (OnConsumed)
        OnConsumed(this, ACount);
}

void TNetManagedBuffer::Compact()
{
    if (Consumed == 0)
        return;
    FData.erase(FData.begin(), FData.begin() + Consumed);
    FPosition -= Consumed;
    Consumed = 0;
}

void TNetManagedBuffer::Empty()
{
    Clear();
    Consumed = 0;
}

// --- intercept ---

TNetConnectionIntercept::TNetConnectionIntercept(TComponent* AOwner)
    : TNetBaseComponent(AOwner)
{
}

void TNetConnectionIntercept::Connect(TNetTCPConnection* AConnection)
{
    FConnection = AConnection;
    if (OnConnect)
        OnConnect(this, AConnection);
    if (FIntercept)
        FIntercept->Connect(AConnection);
}

void TNetConnectionIntercept::Disconnect()
{
    if (FIntercept)
        FIntercept->Disconnect();
    if (OnDisconnect)
        OnDisconnect(this);
    FConnection = nullptr;
}

void TNetConnectionIntercept::Receive(TStream& ABuffer)
{
    if (FIntercept) {
        FIntercept->Receive(ABuffer);
        ABuffer.SetPosition(0);
    }
    if (OnReceive)
        OnReceive(this, ABuffer);
}

void TNetConnectionIntercept::Send(TStream& ABuffer)
{
    if (OnSend)
        OnSend(this, ABuffer);
    if (FIntercept) {
        ABuffer.SetPosition(0);
        FIntercept->Send(ABuffer);
    }
}

void TNetConnectionIntercept::SetIntercept(TNetConnectionIntercept* AValue)
{
    // A chain that leads back to this intercept would pass data round for ever.
    for (TNetConnectionIntercept* I = AValue; I; I = I->FIntercept) {
        if (I == this)
            return;
    }
    SetReference(FIntercept, AValue);
}

void TNetConnectionIntercept::Notification(TComponent* AComponent, TOperation AOperation)
{
    TNetBaseComponent::Notification(AComponent, AOperation);
    if (AOperation == TOperation::opRemove && AComponent == FIntercept)
        FIntercept = nullptr;
}

void TNetRFCReply::Clear()
{
    NumericCode = 0;
    Text.clear();
    TextCode.clear();
}

// --- connection ---

TNetTCPConnection::TNetTCPConnection(TComponent* AOwner)
    : TNetComponent(AOwner)
    , FGreetingReply(std::make_unique<TNetRFCReply>())
    , FInputData(std::make_unique<TNetManagedBuffer>())
    , FLastReply(std::make_unique<TNetRFCReply>())
    , FChunk(std::make_unique<TNetSimpleBuffer>())
{
    FInputData->OnConsumed
        = [this](TNetSimpleBuffer* ASender, int32_t AByteCount) { InputConsumed(ASender, AByteCount); };
}

TNetTCPConnection::~TNetTCPConnection()
{
    DropLink();
    if (FOwnsIOHandler)
        SetIOHandler(nullptr);
}

void TNetTCPConnection::SetIOHandler(TNetIOHandler* AValue)
{
    if (AValue == FIOHandler)
        return;
    TNetIOHandler* Old = FIOHandler;
    FIOHandler = nullptr;
    FSocketHandler = nullptr;
    if (Old) {
        if (FOwnsIOHandler)
            delete Old;
        else
            Old->RemoveFreeNotification(this);
    }
    FOwnsIOHandler = false;
    FIOHandler = AValue;
    FSocketHandler = dynamic_cast<TNetIOHandlerSocket*>(AValue);
    if (FIOHandler)
        FIOHandler->FreeNotification(this);
}

void TNetTCPConnection::SetIntercept(TNetConnectionIntercept* AValue)
{
    SetReference(FIntercept, AValue);
}

void TNetTCPConnection::Notification(TComponent* AComponent, TOperation AOperation)
{
    TNetComponent::Notification(AComponent, AOperation);
    if (AOperation != TOperation::opRemove)
        return;
    if (AComponent == FIOHandler) {
        FIOHandler = nullptr;
        FSocketHandler = nullptr;
        FOwnsIOHandler = false;
    }
    if (AComponent == FIntercept)
        FIntercept = nullptr;
}

void TNetTCPConnection::InputConsumed(TNetSimpleBuffer* ASender, int32_t AByteCount)
{
    (void)ASender;
    StepWork(TWorkMode::wmRead, AByteCount);
}

int32_t TNetTCPConnection::ResolveTimeout(int32_t ATimeout) const
{
    if (ATimeout != -1)
        return ATimeout;
    return ReadTimeout == 0 ? -2 : ReadTimeout;
}

void TNetTCPConnection::SetReadDeadline(int32_t AMilliseconds)
{
    FHasReadDeadline = AMilliseconds > 0;
    if (FHasReadDeadline)
        FReadDeadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(AMilliseconds);
}

int32_t TNetTCPConnection::ReadDeadlineLeft() const
{
    if (!FHasReadDeadline)
        return -1;
    const auto Left
        = std::chrono::ceil<std::chrono::milliseconds>(FReadDeadline - std::chrono::steady_clock::now());
    return static_cast<int32_t>(std::max<int64_t>(0, Left.count()));
}

void TNetTCPConnection::FireDisconnected()
{
    if (OnDisconnected)
        OnDisconnected(this);
}

void TNetTCPConnection::ClearInput()
{
    FInputData->Empty();
    FPeerClosed = false;
}

std::string TNetTCPConnection::ReadAll()
{
    std::string Result;
    StartWork(TWorkMode::wmRead, 0);
    try {
        while (IsConnected())
            Result += TakeAvailable();
    } catch (...) {
        FinishWork(TWorkMode::wmRead);
        throw;
    }
    FinishWork(TWorkMode::wmRead);
    return Result;
}

void TNetTCPConnection::CheckClosed(bool ARaiseIfClosed, bool AIgnoreBuffered)
{
    bool Closed = false;
    if (FPeerClosed || !FIOHandler) {
        if (FIOHandler) {
            if (FIOHandler->LinkOpen()) {
                DropLink();
                ReportStatus(TNetStatus::hsDisconnected);
                FireDisconnected();
            }
            Closed = true;
        }
    } else {
        Closed = !FIOHandler->LinkOpen();
    }
    if (Closed && ARaiseIfClosed && (FInputData->Size() == 0 || AIgnoreBuffered))
        throw ENetConnClosedGracefully(RSConnectionClosedGracefully);
}

void TNetTCPConnection::PollClosed(bool ARaiseIfClosed)
{
    FillInput(ARaiseIfClosed, 1, false);
}

bool TNetTCPConnection::IsConnected()
{
    CheckClosed(false, false);
    // OnDisconnected may have taken the transport away.
    return FIOHandler && FIOHandler->LinkOpen();
}

void TNetTCPConnection::Hangup()
{
    ReportStatus(TNetStatus::hsDisconnecting);
    DropLink();
    if (FOwnsIOHandler)
        SetIOHandler(nullptr);
    FireDisconnected();
    ReportStatus(TNetStatus::hsDisconnected);
}

void TNetTCPConnection::DropLink()
{
    if (!FIOHandler)
        return;
    FPeerClosed = true;
    if (FIntercept)
        FIntercept->Disconnect();
    FIOHandler->CloseLink();
}

int32_t TNetTCPConnection::FillInput(bool ARaiseIfClosed, int32_t ATimeout, bool ARaiseOnTimeout)
{
    const bool Bounded = ATimeout == -1 && FHasReadDeadline;
    ATimeout = ResolveTimeout(ATimeout);
    int32_t Result = 0;
    CheckClosed(ARaiseIfClosed, false);
    if (!IsConnected()) {
        if (ARaiseIfClosed)
            throw ENetNotConnected(RSNotConnected);
        return 0;
    }
    std::optional<int32_t> N;
    do {
        if (Bounded) {
            // Checked before each wait, whether or not data came the last time: a peer that
            // never stops sending must not carry the reader past the deadline either.
            const int32_t Left = ReadDeadlineLeft();
            if (Left == 0) {
                if (ARaiseOnTimeout)
                    throw ENetReadTimeout(RSReadTimeout);
                return -1;
            }
            ATimeout = ATimeout < 0 ? Left : std::min(ATimeout, Left);
        }
        N = ReadOnce(ATimeout);
        if (!N) {
            if (ARaiseOnTimeout)
                throw ENetReadTimeout(RSReadTimeout);
            return -1;
        }
        CheckClosed(ARaiseIfClosed, false);
        Result = *N;
    } while (*N == 0 && IsConnected());
    return Result;
}

std::optional<int32_t> TNetTCPConnection::ReadOnce(int32_t ATimeout)
{
    // Where the bytes go: the area of a bulk read, or straight behind the bytes already
    // buffered; only an intercept, which rewrites whole chunks, needs a chunk of its own.
    uint8_t* Into = FDirectInto;
    int32_t Length = FDirectLength;
    TMemoryStream* Grown = nullptr;
    int64_t Keep = 0;
    if (!Into) {
        Length = std::max<int32_t>(1, RecvBufferSize);
        Grown = FIntercept ? static_cast<TMemoryStream*>(FChunk.get()) : FInputData.get();
        if (FIntercept)
            FChunk->SetSize(0);
        Keep = Grown->Size();
        Into = Grown->Extend(Length);
    }
    // The room taken for the read goes again however the read ends.
    struct TCutBack {
        TMemoryStream* Stream;
        int64_t Size;
        void Now()
        {
            if (Stream)
                Stream->SetSize(Size);
            Stream = nullptr;
        }
        ~TCutBack() { Now(); }
    } Cut { Grown, Keep };
    const std::optional<int32_t> Read = ReceiveSome(Into, Length, ATimeout);
    if (!Read)
        return std::nullopt;
    int32_t N = *Read;
    Cut.Size = Keep + std::max<int32_t>(N, 0);
    Cut.Now();
    FPeerClosed = N == 0;
    if (N != 0 && GSocketStack->CheckSocketResult(N, { NetErrShutdown, NetErrConnectionAborted })) {
        // Closing the link may fail too; the error to report is the receive's.
        const int32_t Code = GSocketStack->LastSocketError();
        N = 0;
        DropLink();
        if (FInputData->Size() == 0)
            GSocketStack->ThrowSocketError(Code);
    }
    if (N > 0)
        N = TakeReceived(Into, N);
    return N;
}

std::optional<int32_t> TNetTCPConnection::ReceiveSome(uint8_t* AInto, int32_t ALength, int32_t ATimeout)
{
    // The read is tried first and waited for only when nothing is there: a transfer that
    // keeps the socket filled then costs one call per read. The cancel of a probe is looked
    // at before each read, as the wait would.
    CheckCancelled();
    // Right after a send, the answer to it is not there yet: a look would be one call more.
    const bool Look = !FSentLast;
    FSentLast = false;
    const int32_t N = Look ? FIOHandler->TryReadSome(AInto, ALength) : NetNothingToRead;
    if (N != NetNothingToRead) {
        // No wait let the application run; a transfer that never waits does it here.
        TNetAntiFreezeBase::YieldToApplication(false, false);
        return N;
    }
    if (!FIOHandler->CanRead(ATimeout))
        return std::nullopt;
    return FIOHandler->ReadSome(AInto, ALength);
}

int32_t TNetTCPConnection::TakeReceived(uint8_t* AInto, int32_t ACount)
{
    if (FIntercept && !FDirectInto) {
        FChunk->SetPosition(0);
        FIntercept->Receive(*FChunk);
        ACount = static_cast<int32_t>(FChunk->Size());
        AInto = FChunk->Memory();
    }
    if (ASCIIFilter) {
        for (int32_t I = 0; I < ACount; ++I)
            AInto[I] &= 0x7F;
    }
    if (!FDirectInto) {
        FInputData->Seek(0, TSeekOrigin::soEnd);
        if (FIntercept)
            FInputData->WriteBuffer(AInto, ACount);
    }
    return ACount;
}

std::string TNetTCPConnection::ReceiveLine(
    const std::string& ATerminator, int32_t ATimeout, int32_t AMaxLineLength)
{
    if (AMaxLineLength == -1)
        AMaxLineLength = MaxLineLength;
    const std::string_view Terminator
        = ATerminator.empty() ? std::string_view("\n") : std::string_view(ATerminator);
    const int64_t TermLength = static_cast<int64_t>(Terminator.size());
    FLineSplit = false;
    FLineCutShort = false;
    int64_t Found = 0;
    int64_t Scanned = 0;
    for (;;) {
        const int64_t Size = FInputData->Size();
        if (Size > 0 && Found == 0) {
            // Only new bytes are searched, but a terminator of several bytes may have begun
            // among the old ones.
            const int64_t From = std::max<int64_t>(0, Scanned - (TermLength - 1));
            const std::string_view Data(
                reinterpret_cast<const char*>(FInputData->UnreadStart()), static_cast<size_t>(Size));
            const size_t At = Data.find(Terminator, static_cast<size_t>(From));
            if (At != std::string_view::npos)
                Found = static_cast<int64_t>(At) + 1;
            Scanned = Size;
        }
        if (AMaxLineLength > 0
            && ((Found > 0 && Found - 1 > AMaxLineLength) || (Found == 0 && Scanned > AMaxLineLength))) {
            if (MaxLineAction == TNetMaxLineAction::maException)
                throw ENetReadLnMaxLineLengthExceeded(RSMaxLineLengthExceeded);
            FLineSplit = true;
            return FInputData->TakeString(AMaxLineLength);
        }
        if (Found == 0) {
            CheckClosed(true, true);
            // A fill that ends in the close leaves an unfinished line: that is no empty line.
            // The next pass's closed check raises and the partial line stays in InputData.
            if (FillInput(true, ATimeout, ATimeout == -1) == 0)
                FLineCutShort = true;
            continue;
        }
        std::string Line = FInputData->TakeString(static_cast<int32_t>(Found + TermLength - 1));
        Line.resize(Line.size() - Terminator.size());
        if (Terminator == "\n" && !Line.empty() && Line.back() == '\r')
            Line.pop_back();
        return Line;
    }
}

std::string TNetTCPConnection::ReadNonEmptyLine(int32_t AFailCount)
{
    for (int32_t I = 0; I < AFailCount; ++I) {
        std::string Line = Trim(ReceiveLine());
        if (!Line.empty())
            return Line;
    }
    return {};
}

void TNetTCPConnection::ReadExact(void* ABuffer, int32_t ACount)
{
    if (ACount <= 0 || !ABuffer)
        return;
    while (FInputData->Size() < ACount) {
        FillInput(true, -1, true);
        CheckClosed(true, true);
    }
    std::memcpy(ABuffer, FInputData->UnreadStart(), static_cast<size_t>(ACount));
    FInputData->Consume(ACount);
}

int32_t TNetTCPConnection::ReadInt32(bool AConvert)
{
    uint32_t Value = 0;
    ReadExact(&Value, 4);
    if (AConvert)
        Value = GSocketStack->NetToHostLong(Value);
    return static_cast<int32_t>(Value);
}

namespace {

// The count comes from the peer: a stream kept in memory is sized for what is likely to come
// soon, not for whatever was announced, and grows as the rest arrives. Memory only takes the
// room: the bytes are written over as they come, clearing them first would be lost work.
void PresizeFor(TStream& AStream, int32_t AByteCount)
{
    constexpr int64_t PresizeLimit = 1 << 20;
    const int64_t Position = AStream.Position();
    const int64_t Wanted = Position + std::min<int64_t>(AByteCount, PresizeLimit);
    if (auto* Memory = dynamic_cast<TMemoryStream*>(&AStream)) {
        Memory->Reserve(Wanted - Memory->Size());
    } else if (AStream.Size() < Wanted) {
        AStream.SetSize(Wanted);
        AStream.SetPosition(Position);
    }
}

// What a read into AStream left beyond its position goes.
void CutAtPosition(TStream& AStream)
{
    if (AStream.Size() > AStream.Position())
        AStream.SetSize(AStream.Position());
}

} // namespace

void TNetTCPConnection::ReadToStream(TStream& AStream, int32_t AByteCount, bool AReadUntilClose)
{
    if (AByteCount == -1 && !AReadUntilClose)
        AByteCount = ReadInt32(true);
    if (AByteCount >= 0)
        PresizeFor(AStream, AByteCount);
    // Reading until the close has no length of its own: a body past 2 GiB is read whole.
    int64_t Remaining;
    if (AReadUntilClose) {
        Remaining = std::numeric_limits<int64_t>::max();
        StartWork(TWorkMode::wmRead, 0);
    } else {
        Remaining = std::max<int32_t>(0, AByteCount);
        StartWork(TWorkMode::wmRead, AByteCount);
    }
    try {
        Remaining -= MoveBuffered(AStream, Remaining);
        const int32_t PieceSize
            = static_cast<int32_t>(std::min<int64_t>(Remaining, std::max<int32_t>(1, RecvBufferSize)));
        TBulkArea Bulk;
        while (Remaining > 0 && IsConnected()) {
            // A bulk read with nothing buffered and at least a piece to go; else a piece
            // through the buffer.
            if (FInputData->Size() == 0 && !FIntercept && Remaining >= std::max<int32_t>(1, RecvBufferSize))
                Remaining -= ReadBulk(AStream, Remaining, Bulk, AReadUntilClose);
            else
                Remaining -= ReadPiece(
                    AStream, static_cast<int32_t>(std::min<int64_t>(Remaining, PieceSize)), AReadUntilClose);
        }
    } catch (...) {
        FinishWork(TWorkMode::wmRead);
        CutAtPosition(AStream);
        throw;
    }
    FinishWork(TWorkMode::wmRead);
    CutAtPosition(AStream);
}

int64_t TNetTCPConnection::MoveBuffered(TStream& AStream, int64_t AMost)
{
    const int64_t Count = std::min<int64_t>(FInputData->Size(), AMost);
    if (Count > 0) {
        AStream.WriteBuffer(FInputData->UnreadStart(), Count);
        FInputData->Consume(static_cast<int32_t>(Count));
    }
    return std::max<int64_t>(Count, 0);
}

int32_t TNetTCPConnection::ReadBulk(
    TStream& AStream, int64_t ARemaining, TBulkArea& ABulk, bool AReadUntilClose)
{
    // The bytes are received into an area of their own, in reads of up to BulkReadBytes, and
    // written to the stream from there; they pass through no buffer in between. The area is
    // made on first use.
    if (!ABulk.Bytes) {
        ABulk.Size = static_cast<int32_t>(
            std::min<int64_t>(ARemaining, std::max<int32_t>(BulkReadBytes, RecvBufferSize)));
        ABulk.Bytes.reset(new uint8_t[static_cast<size_t>(ABulk.Size)]);
    }
    int32_t N = 0;
    try {
        const TDirectRead Direct(
            *this, ABulk.Bytes.get(), static_cast<int32_t>(std::min<int64_t>(ARemaining, ABulk.Size)));
        N = FillInput(true, -1, true);
    } catch (const ENetConnClosedGracefully&) {
        // Nothing came with the close; without AReadUntilClose it is an error.
        if (!AReadUntilClose)
            throw;
        return 0;
    }
    if (N <= 0)
        return 0;
    AStream.WriteBuffer(ABulk.Bytes.get(), N);
    StepWork(TWorkMode::wmRead, N);
    return N;
}

int32_t TNetTCPConnection::ReadPiece(TStream& AStream, int32_t ACount, bool AReadUntilClose)
{
    // Taken once it is complete.
    try {
        while (FInputData->Size() < ACount) {
            FillInput(true, -1, true);
            CheckClosed(true, true);
        }
    } catch (const ENetConnClosedGracefully&) {
        // What came before the close goes to the stream either way; without AReadUntilClose
        // the close is still an error for the caller.
        const int64_t Taken = MoveBuffered(AStream, ACount);
        if (!AReadUntilClose)
            throw;
        return static_cast<int32_t>(Taken);
    }
    return static_cast<int32_t>(MoveBuffered(AStream, ACount));
}

std::string TNetTCPConnection::TakeAvailable()
{
    if (IsConnected())
        FillInput(false, -1, true);
    return FInputData->TakeString(static_cast<int32_t>(FInputData->Size()));
}

void TNetTCPConnection::SendBytes(const void* ABuffer, int32_t ACount, bool AWriteNow)
{
    if (ACount <= 0 || !ABuffer)
        return;
    CheckClosed(true, true);
    if (!IsConnected())
        throw ENetNotConnected(RSNotConnected);
    if (!AWriteNow && FBatch) {
        FBatch->Seek(0, TSeekOrigin::soEnd);
        FBatch->WriteBuffer(ABuffer, ACount);
        if (FBatchThreshold > 0 && FBatch->Size() >= FBatchThreshold)
            FlushBatch(FBatchThreshold);
        return;
    }
    const uint8_t* Data = static_cast<const uint8_t*>(ABuffer);
    // An intercept may rewrite the block, so it gets a copy; without one the caller's bytes
    // go out as they are.
    TNetSimpleBuffer Rewritten;
    if (FIntercept) {
        Rewritten.WriteBuffer(ABuffer, ACount);
        Rewritten.SetPosition(0);
        FIntercept->Send(Rewritten);
        ACount = static_cast<int32_t>(Rewritten.Size());
        Data = Rewritten.Memory();
    }
    int32_t Pos = 0;
    while (Pos < ACount) {
        // OnDisconnected, raised by a closed check below, may have taken the transport away.
        if (!FIOHandler)
            throw ENetNotConnected(RSNotConnected);
        // A peer that reads nothing fills its window and then ours: the exchange's deadline
        // bounds this wait as it bounds every read.
        const int32_t Left = FHasReadDeadline ? ReadDeadlineLeft() : -2;
        if (Left == 0)
            throw ENetWriteTimeout(RSWriteTimeout);
        // The send is tried first and waited for only when the socket has no room: a request
        // into an empty socket then costs one call. The cancel is looked at as the wait would.
        CheckCancelled();
        int32_t S = FIOHandler->TryWriteSome(Data + Pos, ACount - Pos);
        if (S == NetNoRoomToWrite) {
            if (!FIOHandler->CanWrite(Left))
                throw ENetWriteTimeout(RSWriteTimeout);
            S = FIOHandler->WriteSome(Data + Pos, ACount - Pos);
            if (S < 0 && GSocketStack->LastSocketError() == NetErrWouldBlock)
                continue;
        }
        TNetAntiFreezeBase::YieldToApplication(false, false);
        FPeerClosed = S == 0;
        CheckClosed(true, false);
        if (GSocketStack->CheckSocketResult(
                S, { NetErrShutdown, NetErrConnectionAborted, NetErrConnectionReset })) {
            // Closing the link may fail too; the error to report is the send's.
            const int32_t Code = GSocketStack->LastSocketError();
            DropLink();
            GSocketStack->ThrowSocketError(Code);
        }
        if (S < 0)
            GSocketStack->ThrowSocketError(GSocketStack->LastSocketError());
        StepWork(TWorkMode::wmWrite, S);
        Pos += S;
        FSentLast = true;
    }
}

void TNetTCPConnection::SendText(const std::string& S)
{
    if (!S.empty())
        SendBytes(S.data(), static_cast<int32_t>(S.size()));
}

void TNetTCPConnection::SendLine(const std::string& S)
{
    SendText(S + "\r\n");
}

void TNetTCPConnection::SendInt32(int32_t AValue, bool AConvert)
{
    uint32_t Value = static_cast<uint32_t>(AValue);
    if (AConvert)
        Value = GSocketStack->HostToNetLong(Value);
    SendBytes(&Value, 4);
}

void TNetTCPConnection::SendStream(TStream& AStream, bool AAll, bool AWriteByteCount, int32_t ASize)
{
    if (AAll)
        AStream.SetPosition(0);
    const int64_t Start = AStream.Position();
    const int64_t End = ASize != 0 ? Start + ASize : AStream.Size();
    if (AWriteByteCount)
        SendInt32(static_cast<int32_t>(End - Start), true);
    StartWork(TWorkMode::wmWrite, static_cast<int32_t>(End - Start));
    try {
        const int32_t PieceSize = std::max<int32_t>(1, SendBufferSize);
        std::vector<uint8_t> Piece(static_cast<size_t>(PieceSize));
        for (;;) {
            int64_t N = std::min<int64_t>(End - AStream.Position(), PieceSize);
            if (N <= 0)
                break;
            N = AStream.Read(Piece.data(), N);
            if (N <= 0)
                throw ENetNoDataToRead(RSNoDataToRead);
            SendBytes(Piece.data(), static_cast<int32_t>(N));
        }
    } catch (...) {
        FinishWork(TWorkMode::wmWrite);
        throw;
    }
    FinishWork(TWorkMode::wmWrite);
}

int64_t TNetTCPConnection::SendFile(const std::string& AFileName, bool AEnableFastPath)
{
    // No whole-file fast path: a TLS transport is a socket transport too, and handing its
    // socket to the kernel would send the file unencrypted.
    (void)AEnableFastPath;
    struct stat Info { };
    if (::stat(AFileName.c_str(), &Info) != 0 || S_ISDIR(Info.st_mode))
        throw ENetFileNotFound(FormatStr(RSFileNotFound, AFileName.c_str()));
    TFileStream File(AFileName, false);
    SendStream(File, true, false, 0);
    return File.Size();
}

void TNetTCPConnection::BeginBatch(int32_t AThreshold)
{
    // Bytes of a batch that is still open are kept, not dropped.
    if (!FBatch)
        FBatch = std::make_unique<TNetSimpleBuffer>();
    FBatchThreshold = AThreshold;
}

void TNetTCPConnection::EndBatch()
{
    try {
        FlushBatch(-1);
    } catch (...) {
        FBatch.reset();
        throw;
    }
    FBatch.reset();
}

void TNetTCPConnection::FlushBatch(int32_t ACount)
{
    if (!FBatch || FBatch->Size() == 0)
        return;
    if (ACount != -1 && ACount >= 0 && FBatch->Size() >= ACount) {
        SendBytes(FBatch->Memory(), ACount, true);
        FBatch->Consume(ACount);
    } else {
        SendBytes(FBatch->Memory(), static_cast<int32_t>(FBatch->Size()), true);
        FBatch->Clear();
    }
}

void TNetTCPConnection::DiscardBatch()
{
    if (FBatch)
        FBatch->Clear();
}

// --- numeric replies ---

int32_t TNetTCPConnection::ReadReply(TNetRFCReply& AReply)
{
    AReply.Clear();
    std::string Line = ReadNonEmptyLine(1);
    AReply.TextCode = Line.substr(0, 3);
    AReply.NumericCode = StrToIntDef(AReply.TextCode, 0);
    bool More = Line.size() > 3 && Line[3] == '-';
    AReply.Text.push_back(Line.size() > 4 ? Line.substr(4) : std::string());
    while (More) {
        Line = ReceiveLine();
        const bool SameCode = Line.compare(0, 3, AReply.TextCode) == 0;
        More = !(SameCode && (Line.size() == 3 || Line[3] == ' '));
        AReply.Text.push_back(SameCode && Line.size() > 4 ? Line.substr(4) : Line);
    }
    return AReply.NumericCode;
}

void TNetTCPConnection::CheckReplyCode(const std::vector<int32_t>& AAllowed)
{
    if (!AAllowed.empty()
        && std::find(AAllowed.begin(), AAllowed.end(), FLastReply->NumericCode) == AAllowed.end())
        RaiseReplyError();
}

void TNetTCPConnection::RaiseReplyError()
{
    RaiseReplyError(&NetRaiseReplyErrorAs<ENetProtocolReplyError>);
}

void TNetTCPConnection::RaiseReplyError(TNetReplyErrorClass AClass)
{
    std::string Message;
    for (const std::string& Line : FLastReply->Text) {
        if (!Message.empty())
            Message += "\r\n";
        Message += Line;
    }
    AClass(FLastReply->NumericCode, Message);
    throw ENetProtocolReplyError(FLastReply->NumericCode, Message);
}

int32_t TNetTCPConnection::SendCommand(const std::string& AOut, const std::vector<int32_t>& AResponse)
{
    SendLine(AOut);
    ReadReply(*FLastReply);
    CheckReplyCode(AResponse);
    return FLastReply->NumericCode;
}
