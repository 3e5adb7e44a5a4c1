// The buffered, blocking TCP connection: an input buffer over a transport, reads of lines,
// exact counts, streams and everything until the peer closes (with a read time-out and a line
// length limit), sends of strings, lines, blocks and streams with optional batching, notice
// of a peer that has closed, orderly disconnect with status events, and byte counting through
// the work events.
#pragma once

#include "net/stack/NetClasses.h"
#include "net/stack/NetException.h"
#include "net/tcp/NetComponent.h"
#include "net/tcp/NetIOHandler.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <vector>

inline constexpr const char* RSNotConnected = "Not Connected";
inline constexpr const char* RSReadTimeout = "Read Timeout";
inline constexpr const char* RSWriteTimeout = "Write Timeout";
inline constexpr const char* RSMaxLineLengthExceeded = "Max line length exceeded.";
inline constexpr const char* RSNotEnoughDataInBuffer = "Not enough data in buffer.";
inline constexpr const char* RSNoDataToRead = "No data to read.";
inline constexpr const char* RSFileNotFound = "File \"%s\" not found";
inline constexpr const char* RSAlreadyConnected = "Already connected.";
inline constexpr const char* RSIOHandlerPropInvalid = "IOHandler value is not valid";

VARDEX_NET_EXCEPTION(ENetTCPConnectionError, ENetException);
VARDEX_NET_EXCEPTION(ENetNotConnected, ENetTCPConnectionError);
VARDEX_NET_EXCEPTION(ENetNotEnoughDataInBuffer, ENetTCPConnectionError);
VARDEX_NET_EXCEPTION(ENetNoDataToRead, ENetTCPConnectionError);
VARDEX_NET_EXCEPTION(ENetFileNotFound, ENetTCPConnectionError);
VARDEX_NET_EXCEPTION(ENetIOHandlerPropInvalid, ENetTCPConnectionError);

class TNetIOHandlerSocket;
class TNetTCPConnection;
class TNetSimpleBuffer;

using TNetNotifyEvent = std::function<void(TComponent* Sender)>;
using TNetConsumedEvent = std::function<void(TNetSimpleBuffer* Sender, int32_t AByteCount)>;

enum class TNetMaxLineAction { maException, maSplit };

// A growable memory stream from whose front bytes are taken. Every removal is announced
// through OnConsumed.
class TNetSimpleBuffer : public TMemoryStream {
public:
    // The first ACount unread bytes, removed; raises ENetNotEnoughDataInBuffer when fewer are
    // held.
    virtual std::string TakeString(int32_t ACount);
    // Removes the first ACount unread bytes; raises ENetNotEnoughDataInBuffer when fewer are
    // held.
    virtual void Consume(int32_t ACount);

    TNetConsumedEvent OnConsumed;
};

// A buffer whose consumed prefix stays in memory until CompactThreshold bytes have gathered
// (or everything is consumed), so taking small pieces from the front moves no memory. Sizes
// and positions are logical: Size is the number of unconsumed bytes, position 0 the first of
// them.
class TNetManagedBuffer : public TNetSimpleBuffer {
public:
    TNetManagedBuffer();

    int64_t Seek(int64_t AOffset, TSeekOrigin AOrigin) override;
    int64_t Size() override { return static_cast<int64_t>(FData.size()) - Consumed; }
    void SetSize(int64_t ASize) override;
    std::string TakeString(int32_t ACount) override;
    void Consume(int32_t ACount) override;

    // Moves the unconsumed bytes to the start of the memory.
    void Compact();
    // Drops every byte and releases the memory.
    void Empty();
    const uint8_t* UnreadStart() const { return FData.data() + Consumed; }

    int32_t CompactThreshold = 32768;
    // Length of the consumed prefix still in memory.
    int32_t Consumed = 0;
};

class TNetConnectionIntercept;
using TNetInterceptConnectEvent
    = std::function<void(TNetConnectionIntercept* ASender, TNetTCPConnection* AConnection)>;
using TNetInterceptNotifyEvent = std::function<void(TNetConnectionIntercept* ASender)>;
using TNetInterceptDataEvent = std::function<void(TNetConnectionIntercept* ASender, TStream& ABuffer)>;

// A filter between a connection and its transport. The data operations get a stream holding
// one received chunk or one outgoing block, rewound, and may rewrite it; a nested intercept
// sees received data before, and outgoing data after, its parent.
class TNetConnectionIntercept : public TNetBaseComponent {
public:
    explicit TNetConnectionIntercept(TComponent* AOwner = nullptr);

    virtual void Connect(TNetTCPConnection* AConnection);
    virtual void Disconnect();
    virtual void Receive(TStream& ABuffer);
    virtual void Send(TStream& ABuffer);

    TNetTCPConnection* Connection() const { return FConnection; }
    TNetConnectionIntercept* Intercept() const { return FIntercept; }
    void SetIntercept(TNetConnectionIntercept* AValue);

    TNetInterceptConnectEvent OnConnect;
    TNetInterceptNotifyEvent OnDisconnect;
    TNetInterceptDataEvent OnReceive;
    TNetInterceptDataEvent OnSend;

protected:
    void Notification(TComponent* AComponent, TOperation AOperation) override;

private:
    TNetTCPConnection* FConnection = nullptr;
    TNetConnectionIntercept* FIntercept = nullptr;
};

// A numeric reply: a three-digit code and its text lines.
class TNetRFCReply {
public:
    void Clear();

    int32_t NumericCode = 0;
    std::vector<std::string> Text;
    // The code as it was received.
    std::string TextCode;
};

// Raises the exception of a reply error; RaiseReplyError takes one to choose the class.
using TNetReplyErrorClass = void (*)(int32_t ACode, const std::string& AMessage);
template <class E> [[noreturn]] void NetRaiseReplyErrorAs(int32_t ACode, const std::string& AMessage)
{
    throw E(ACode, AMessage);
}

class TNetTCPConnection : public TNetComponent {
public:
    explicit TNetTCPConnection(TComponent* AOwner = nullptr);
    // Closes the link and frees a transport the connection created itself.
    ~TNetTCPConnection() override;

    // Raises OnDisconnected when assigned.
    virtual void FireDisconnected();
    // Empties InputData and clears PeerClosed.
    virtual void ClearInput();
    // Everything until the peer closes.
    virtual std::string ReadAll();
    // Closes a transport whose peer was seen closing (hsDisconnected, OnDisconnected). With
    // ARaiseIfClosed a closed link raises ENetConnClosedGracefully when nothing is buffered,
    // or whatever is buffered when AIgnoreBuffered.
    virtual void CheckClosed(bool ARaiseIfClosed, bool AIgnoreBuffered);
    // A 1 ms look that takes pending data and notices a peer that has closed.
    virtual void PollClosed(bool ARaiseIfClosed);
    // Raises the reply error unless LastReply's code is one of AAllowed (none: any is).
    virtual void CheckReplyCode(const std::vector<int32_t>& AAllowed);
    virtual bool IsConnected();
    // Closes and tells: hsDisconnecting, the link closed, a transport of our own freed,
    // OnDisconnected, hsDisconnected.
    virtual void Hangup();
    // Closes the link silently.
    virtual void DropLink();
    // Reads a numeric reply (continuation lines have "-" after the code) into AReply and
    // returns its code.
    virtual int32_t ReadReply(TNetRFCReply& AReply);
    virtual void RaiseReplyError();
    virtual void RaiseReplyError(TNetReplyErrorClass AClass);
    // Waits for data and appends it to InputData. Returns the count appended, 0 when the link
    // is closed, -1 on time-out when ARaiseOnTimeout is false. ATimeout -1: ReadTimeout.
    virtual int32_t FillInput(bool ARaiseIfClosed, int32_t ATimeout = -1, bool ARaiseOnTimeout = true);
    // One line without its terminator (LF also takes a CR before it). An explicit ATimeout
    // sets the length of each wait and never raises; the default one raises ENetReadTimeout.
    // AMaxLineLength -1: MaxLineLength (0 = no limit).
    virtual std::string ReceiveLine(
        const std::string& ATerminator = "\n", int32_t ATimeout = -1, int32_t AMaxLineLength = -1);
    // Sends AOut as a line, reads the reply into LastReply and checks its code.
    virtual int32_t SendCommand(const std::string& AOut, const std::vector<int32_t>& AResponse);
    virtual void SendText(const std::string& S);
    // S followed by CR LF.
    virtual void SendLine(const std::string& S);
    // From the start when AAll; ASize bytes from the position, or up to the end when 0; with
    // AWriteByteCount a 4-byte count in network order first.
    virtual void SendStream(
        TStream& AStream, bool AAll = true, bool AWriteByteCount = false, int32_t ASize = 0);
    // Sends the whole file and returns its size; raises ENetFileNotFound for a missing file.
    virtual int64_t SendFile(const std::string& AFileName, bool AEnableFastPath = false);

    // The first line that is not empty once trimmed, trying up to AFailCount lines; empty
    // when none was.
    std::string ReadNonEmptyLine(int32_t AFailCount);
    void ReadExact(void* ABuffer, int32_t ACount);
    int32_t ReadInt32(bool AConvert = true);
    // AByteCount bytes; -1 without AReadUntilClose reads a 4-byte count in network order
    // first; with AReadUntilClose everything until the peer closes.
    void ReadToStream(TStream& AStream, int32_t AByteCount = -1, bool AReadUntilClose = false);
    // One wait for data when connected, then everything buffered.
    std::string TakeAvailable();
    void SendBytes(const void* ABuffer, int32_t ACount, bool AWriteNow = false);
    void SendInt32(int32_t AValue, bool AConvert = true);

    // Bounds a whole exchange however the peer paces its bytes. From now on every read that
    // waits the default time (ReadTimeout) waits at most until AMilliseconds have passed and
    // then raises ENetReadTimeout, as it would for a silent peer: a peer that sends one byte
    // just before each ReadTimeout runs out, or data without end, cannot hold the reader for
    // ever. 0 or less removes the bound. Reads with a time-out of their own are not bound.
    // Sends are bound too: a peer that takes no more bytes makes a send raise ENetWriteTimeout
    // at the deadline, so a request that is never read cannot hold the sender either.
    void SetReadDeadline(int32_t AMilliseconds);
    // Milliseconds left before the deadline (0 once it has passed); -1 when there is none.
    int32_t ReadDeadlineLeft() const;

    // Sends collect in a batch until EndBatch; a positive AThreshold sends that many bytes
    // whenever the batch reaches it.
    void BeginBatch(int32_t AThreshold);
    // Sends the batch and stops batching.
    void EndBatch();
    // Sends the first ACount batched bytes when that many are held, otherwise all of them.
    void FlushBatch(int32_t ACount);
    void DiscardBatch();
    bool Batching() const { return FBatch != nullptr; }

    TNetIOHandler* IOHandler() const { return FIOHandler; }
    // Frees the current transport when it is our own; the new one is referred to until it is
    // destroyed.
    void SetIOHandler(TNetIOHandler* AValue);
    // The transport when it is a socket transport (or a descendant), otherwise nullptr.
    TNetIOHandlerSocket* SocketHandler() const { return FSocketHandler; }
    TNetConnectionIntercept* Intercept() const { return FIntercept; }
    void SetIntercept(TNetConnectionIntercept* AValue);

    // Largest read of a bulk transfer (see ReadToStream): large enough that reading a long
    // body takes few calls, small enough to stay in the processor's caches.
    static constexpr int32_t BulkReadBytes = 256 * 1024;

    TNetManagedBuffer& InputData() { return *FInputData; }
    bool PeerClosed() const { return FPeerClosed; }
    bool OwnsIOHandler() const { return FOwnsIOHandler; }
    bool LineSplit() const { return FLineSplit; }
    bool LineCutShort() const { return FLineCutShort; }
    TNetRFCReply& GreetingReply() { return *FGreetingReply; }
    TNetRFCReply& LastReply() { return *FLastReply; }

    // Clear the top bit of every received byte.
    bool ASCIIFilter = false;
    int32_t MaxLineLength = 16384;
    TNetMaxLineAction MaxLineAction = TNetMaxLineAction::maException;
    // Milliseconds a read waits for data; 0 = no limit.
    int32_t ReadTimeout = 0;
    // Bytes asked of the transport per receive; also the piece size of ReadToStream.
    int32_t RecvBufferSize = 32768;
    // Piece size of SendStream.
    int32_t SendBufferSize = 32768;
    TNetNotifyEvent OnDisconnected;

protected:
    void Notification(TComponent* AComponent, TOperation AOperation) override;
    void InputConsumed(TNetSimpleBuffer* ASender, int32_t AByteCount);
    // ATimeout -1 becomes ReadTimeout, and a ReadTimeout of 0 the unlimited wait.
    int32_t ResolveTimeout(int32_t ATimeout) const;

    bool FPeerClosed = false;
    std::unique_ptr<TNetRFCReply> FGreetingReply;
    bool FOwnsIOHandler = false;
    std::unique_ptr<TNetManagedBuffer> FInputData;
    TNetConnectionIntercept* FIntercept = nullptr;
    TNetIOHandler* FIOHandler = nullptr;
    std::unique_ptr<TNetRFCReply> FLastReply;
    bool FLineSplit = false;
    bool FLineCutShort = false;
    std::unique_ptr<TNetSimpleBuffer> FChunk;
    TNetIOHandlerSocket* FSocketHandler = nullptr;
    std::unique_ptr<TNetSimpleBuffer> FBatch;
    int32_t FBatchThreshold = 0;
    bool FHasReadDeadline = false;
    std::chrono::steady_clock::time_point FReadDeadline;
    // The last transfer was a send: the next read waits before it reads (see ReceiveSome).
    bool FSentLast = false;

private:
    // While set, FillInput receives into this area instead of InputData (a bulk read of
    // ReadToStream, which takes the bytes from there).
    uint8_t* FDirectInto = nullptr;
    int32_t FDirectLength = 0;
    struct TDirectRead {
        TDirectRead(TNetTCPConnection& AConnection, uint8_t* AInto, int32_t ALength)
            : Connection(AConnection)
        {
            Connection.FDirectInto = AInto;
            Connection.FDirectLength = ALength;
        }
        ~TDirectRead()
        {
            Connection.FDirectInto = nullptr;
            Connection.FDirectLength = 0;
        }
        TDirectRead(const TDirectRead&) = delete;
        TDirectRead& operator=(const TDirectRead&) = delete;
        TNetTCPConnection& Connection;
    };

    // The phases of FillInput: one read, into the buffer or the bulk area, the room it took
    // cut back to what came (nullopt: the wait ran out); its receive (tried, then waited
    // for); what an intercept and the ASCII filter make of what came.
    std::optional<int32_t> ReadOnce(int32_t ATimeout);
    std::optional<int32_t> ReceiveSome(uint8_t* AInto, int32_t ALength, int32_t ATimeout);
    int32_t TakeReceived(uint8_t* AInto, int32_t ACount);

    // The phases of ReadToStream. The area of its bulk reads, made on first use.
    struct TBulkArea {
        std::unique_ptr<uint8_t[]> Bytes;
        int32_t Size = 0;
    };
    // Up to AMost buffered bytes into AStream; how many.
    int64_t MoveBuffered(TStream& AStream, int64_t AMost);
    // One bulk read into AStream; the bytes it took (0 after a close that AReadUntilClose
    // allows).
    int32_t ReadBulk(TStream& AStream, int64_t ARemaining, TBulkArea& ABulk, bool AReadUntilClose);
    // ACount bytes through the buffer into AStream; fewer only when the peer closes first.
    int32_t ReadPiece(TStream& AStream, int32_t ACount, bool AReadUntilClose);
};
