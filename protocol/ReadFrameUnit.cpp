// SPDX-License-Identifier: GPL-3.0-or-later
#include "protocol/ReadFrameUnit.h"

#include "link/ConnectionUnit.h"
#include "link/LinkSignal.h"
#include "protocol/MainThreadCallList.h"
#include "protocol/Messages.h"
#include "protocol/ProtocolLog.h"

#include <QDeadlineTimer>

#include <algorithm>
#include <array>
#include <cstring>

namespace {

// What a handler receives from the frame.
enum TPasses
{
    _pa_value, // b2 + 256 * b3
    _pa_b2,    // b2 alone
    _pa_b2b3   // b2 and b3 as two numbers
};

enum TDelivery
{
    _dl_queued, // the reader goes on at once
    _dl_waits   // the reader waits until the handler has run
};

struct TMessageEntry
{
    TMessageId Id;
    TPasses Passes;
    TDelivery Delivery;
    TSyncProc1P Proc1;
    TSyncProc2P Proc2;
};

using H = TVarnelMessageHandlers;
using M = TMessageId;

// Every message the controller sends. Messages 2 and 73 carry nothing the
// console uses: their checksum is tested (a bad one still counts) and then
// they are dropped, which is all a handler that does nothing would achieve.
constexpr std::array<TMessageEntry, 30> MessageTable = {{
    {M::ScopeSample, _pa_value, _dl_waits, &H::HandleScopeSample, nullptr},
    {M::Unnamed2, _pa_b2b3, _dl_queued, nullptr, nullptr},
    {M::DeviceStatus, _pa_b2b3, _dl_waits, nullptr, &H::HandleDeviceStatus},
    {M::TuningMirrorPosition, _pa_b2, _dl_queued, &H::HandleTuningMirrorPosition, nullptr},
    {M::StabilizationMirrorPosition, _pa_b2, _dl_queued, &H::HandleStabilizationMirrorPosition,
     nullptr},
    {M::DeviceEvent, _pa_b2b3, _dl_queued, nullptr, &H::HandleDeviceEvent},
    {M::CFTTemperature, _pa_value, _dl_queued, &H::HandleCFTTemperature, nullptr},
    {M::ServiceSample, _pa_value, _dl_queued, &H::HandleServiceSample, nullptr},
    {M::PeakId, _pa_b2, _dl_waits, &H::HandlePeakId, nullptr},
    {M::PhaseValue, _pa_value, _dl_queued, &H::HandlePhaseValue, nullptr},
    {M::DelayValue, _pa_value, _dl_queued, &H::HandleDelayValue, nullptr},
    {M::PathGainValue, _pa_value, _dl_queued, &H::HandlePathGainValue, nullptr},
    {M::CFTValue, _pa_value, _dl_queued, &H::HandleCFTValue, nullptr},
    {M::PValue, _pa_value, _dl_queued, &H::HandlePValue, nullptr},
    {M::IValue, _pa_value, _dl_queued, &H::HandleIValue, nullptr},
    {M::DValue, _pa_value, _dl_queued, &H::HandleDValue, nullptr},
    {M::PIDGainValue, _pa_value, _dl_queued, &H::HandlePIDGainValue, nullptr},
    {M::ExpectedPeaksValue, _pa_value, _dl_queued, &H::HandleExpectedPeaksValue, nullptr},
    {M::ScopeScaleValue, _pa_value, _dl_queued, &H::HandleScopeScaleValue, nullptr},
    {M::Unnamed73, _pa_value, _dl_queued, nullptr, nullptr},
    {M::SetPointValue, _pa_b2, _dl_queued, &H::HandleSetPointValue, nullptr},
    {M::HarmonicValue, _pa_value, _dl_queued, &H::HandleHarmonicValue, nullptr},
    {M::CFTTemp10Value, _pa_value, _dl_queued, &H::HandleCFTTemp10Value, nullptr},
    {M::CFTTemp40Value, _pa_value, _dl_queued, &H::HandleCFTTemp40Value, nullptr},
    {M::CFTOffsetValue, _pa_value, _dl_queued, &H::HandleCFTOffsetValue, nullptr},
    {M::CFTRawValue, _pa_value, _dl_queued, &H::HandleCFTRawValue, nullptr},
    {M::ModulationValue, _pa_value, _dl_queued, &H::HandleModulationValue, nullptr},
    {M::FOffsetValue, _pa_value, _dl_queued, &H::HandleFOffsetValue, nullptr},
    {M::LifetimeHigh, _pa_value, _dl_queued, &H::HandleLifetimeHigh, nullptr},
    {M::LifetimeLow, _pa_value, _dl_queued, &H::HandleLifetimeLow, nullptr},
}};

// Message id -> entry of MessageTable, or nullptr for an id outside it.
const std::array<const TMessageEntry*, 256> MessageById = [] {
    std::array<const TMessageEntry*, 256> byId{};
    for (const TMessageEntry& entry : MessageTable)
        byId[MessageIdByte(entry.Id)] = &entry;
    return byId;
}();

} // namespace

// The handler calls of one read pass, in arrival order, as values. Filled by
// the reader, run by the main thread; a pass is filled again only once the
// main thread is done with it.
class TReadPass
{
public:
    // A handler call: Proc1 or Proc2, or neither for a checksum-error notice.
    struct TCall
    {
        TSyncProc1P Proc1;
        TSyncProc2P Proc2;
        uint32_t P1;
        uint32_t P2;
    };

    // The calls go to handlers while handlersAlive lives; the checksum-error
    // notices only while readerAlive lives too.
    TReadPass(TVarnelMessageHandlers& handlers, TMainThreadCallOwner::TToken handlersAlive,
              TMainThreadCallOwner::TToken readerAlive)
        : FHandlers(handlers), FHandlersAlive(std::move(handlersAlive)),
          FReaderAlive(std::move(readerAlive))
    {
        FCalls.reserve(64);
    }

    void Add(const TCall& call) { FCalls.push_back(call); }
    void SetWaits() { FWaits = true; }
    // Whether a call in it must have run before the reader reads again.
    bool Waits() const { return FWaits; }
    bool Empty() const { return FCalls.empty(); }
    void Clear()
    {
        FCalls.clear();
        FNext = 0;
        FWaits = false;
    }

    // Main thread: runs the calls in order.
    void Run()
    {
        // A handler that runs the main thread's pending calls (a nested event
        // loop, a reader stopped and waited for) would otherwise see a later
        // pass before the rest of its own: the rest goes first.
        TReadPass* const outer = FRunning;
        if (outer != nullptr)
            outer->RunRest();
        FRunning = this;
        RunRest();
        FRunning = outer;
    }

    // The main thread is done with the pass: it ran, or it was dropped with
    // its handlers. Wakes a reader waiting for it.
    void Finish()
    {
        Done.store(true, std::memory_order_release);
        Done.notify_all();
    }
    // Reader: blocks until Finish.
    void AwaitFinish() const { Done.wait(false, std::memory_order_acquire); }

    // False from the hand-over until Finish.
    std::atomic<bool> Done{true};

private:
    void RunRest()
    {
        while (FNext < FCalls.size()) {
            // A handler may end its own window.
            if (FHandlersAlive.expired())
                return;
            const TCall& call = FCalls[FNext++];
            if (call.Proc2 != nullptr)
                (FHandlers.*call.Proc2)(call.P1, call.P2);
            else if (call.Proc1 != nullptr)
                (FHandlers.*call.Proc1)(call.P1);
            else if (!FReaderAlive.expired())
                FHandlers.HandleCRCError();
        }
    }

    // The pass whose calls run on the main thread, if any.
    static inline TReadPass* FRunning = nullptr;

    TVarnelMessageHandlers& FHandlers;
    const TMainThreadCallOwner::TToken FHandlersAlive;
    const TMainThreadCallOwner::TToken FReaderAlive;
    std::vector<TCall> FCalls;
    std::size_t FNext = 0;
    bool FWaits = false;
};

namespace {

// What the posted call holds: the pass goes back to its reader once the call
// is done with, run or dropped.
class TPassHandle
{
public:
    explicit TPassHandle(std::shared_ptr<TReadPass> pass) : FPass(std::move(pass)) {}
    ~TPassHandle() { FPass->Finish(); }
    TPassHandle(const TPassHandle&) = delete;
    TPassHandle& operator=(const TPassHandle&) = delete;

    void Run() const { FPass->Run(); }

private:
    std::shared_ptr<TReadPass> FPass;
};

} // namespace

bool TReadVarnelFrame::Decode(const uint8_t* frameBuffer, uint32_t frameBufferSize,
                              int& DecodedBytesCount)
{
    DecodedBytesCount = 0;
    if (frameBufferSize < 5)
        return false;
    FFrame = frameBuffer;
    DecodedBytesCount = ReadFrame(FFrame[1]);
    FFrame = nullptr;
    return true;
}

int TReadVarnelFrame::ReadFrame(uint8_t id)
{
    constexpr int consumed = 5;
    if (!IsChecksumOK(FFrame[4])) {
        FSink.QueueCRCError();
        return consumed;
    }
    const TMessageEntry* entry = MessageById[id];
    if (entry == nullptr)
        return consumed;

    const uint32_t b2 = FFrame[2];
    const uint32_t b3 = FFrame[3];
    if (entry->Proc2 != nullptr) {
        if (entry->Delivery == _dl_waits)
            FSink.Synchronize(entry->Proc2, b2, b3);
        else
            FSink.Queue(entry->Proc2, b2, b3);
    } else if (entry->Proc1 != nullptr) {
        const uint32_t p1 = entry->Passes == _pa_b2 ? b2 : b2 + 256 * b3;
        if (entry->Delivery == _dl_waits)
            FSink.Synchronize(entry->Proc1, p1);
        else
            FSink.Queue(entry->Proc1, p1);
    }
    return consumed;
}

bool TReadVarnelFrame::IsChecksumOK(uint8_t checksum) const
{
    return FrameChecksum(FFrame[0], FFrame[1], FFrame[2], FFrame[3]) == checksum;
}

uint32_t ScanVarnelFrames(uint8_t* buffer, uint32_t dataCount, TVarnelFrameSink& sink)
{
    TReadVarnelFrame decoder(sink);
    uint32_t position = 0;
    while (position < dataCount) {
        const uint8_t* start = static_cast<const uint8_t*>(
            std::memchr(buffer + position, DeviceStartByte, dataCount - position));
        if (start == nullptr)
            return 0;
        position = static_cast<uint32_t>(start - buffer);
        int count = 0;
        if (!decoder.Decode(start, dataCount - position, count)) {
            const uint32_t carry = dataCount - position;
            std::memmove(buffer, buffer + position, carry);
            return carry;
        }
        position += static_cast<uint32_t>(count);
    }
    return 0;
}

TReadVarnelFrameThread::TReadVarnelFrameThread(TConnection& connection,
                                               TVarnelMessageHandlers& handlers)
    : FConnection(connection), FHandlers(handlers), FHandlersToken(handlers.CallToken())
{
    // The thread's name, as process listings and profilers show it.
    setObjectName(QStringLiteral("varnel-reader"));
    start();
}

TReadVarnelFrameThread::~TReadVarnelFrameThread()
{
    requestInterruption();
    TLinkSignal::Instance().Raise();
    WaitForEnd();
}

void TReadVarnelFrameThread::WaitForEnd()
{
    if (!TMainThreadCallList::IsMainThread()) {
        wait();
        return;
    }
    TMainThreadCallList& calls = TMainThreadCallList::Instance();
    while (!wait(QDeadlineTimer(1)))
        calls.RunPending();
}

void TReadVarnelFrameThread::run()
{
    Execute();
}

void TReadVarnelFrameThread::Execute()
{
    Error = false;
    FDataCount = 0;
    uint32_t carry = 0;
    FBuffer.assign(BufferSize, 0);
    FFailing = false;
    FChecksumErrors = 0;
    FPass = NewPass();
    TLinkSignal& signal = TLinkSignal::Instance();
    qCDebug(VarnelProtocolLog, "Reader started");

    while (!isInterruptionRequested()) {
        // Read before the pass, so that bytes arriving during it wake the
        // wait that follows at once.
        const uint64_t seen = signal.Raised();
        const auto nextPass = std::chrono::steady_clock::now() + PollInterval;
        uint32_t taken = 0;
        FPasses.fetch_add(1, std::memory_order_relaxed);
        bool ok = FConnection.GetReadDataCount(FDataCount);
        if (ok) {
            Error = false;
            // Never ask for more than fits behind the carried-over bytes;
            // whatever stays in the driver is read on the next passes.
            const uint32_t requested = std::min(FDataCount, BufferSize - carry);
            FDataCount = requested;
            ok = FConnection.Read(FBuffer.data() + carry, FDataCount);
            if (ok) {
                Error = false;
                taken = std::min(FDataCount, requested);
                FDataCount = taken + carry;
                if (FDataCount > 0) {
                    carry = ScanBuffer();
                    // Even when asked to stop: what was read is delivered.
                    HandOver();
                }
            }
        }
        if (ok) {
            FFailing = false;
        } else {
            Error = true;
            NoteFailedPass();
        }
        if (isInterruptionRequested())
            break;
        // Nothing waiting: sleep until the link has something.
        if (ok && taken == 0) {
            AwaitHandedOver();
            signal.Wait(seen, IdleCheckInterval, true);
        }
        // Passes come at most every PollInterval, so that a stream is read
        // in batches rather than frame by frame, and a failing link is asked
        // at that pace until it counts as lost.
        const auto now = std::chrono::steady_clock::now();
        if (now < nextPass && !isInterruptionRequested())
            signal.Wait(signal.Raised(),
                        std::chrono::ceil<std::chrono::milliseconds>(nextPass - now), false);
        // Usually run by now, during the pause: the wait costs no wake-up.
        AwaitHandedOver();
    }
    AwaitHandedOver();
    if (FChecksumErrors > 0)
        qCInfo(VarnelProtocolLog, "Reader stopped: %llu frames with a bad checksum",
               static_cast<unsigned long long>(FChecksumErrors));
    else
        qCDebug(VarnelProtocolLog, "Reader stopped: no frame with a bad checksum");
}

uint32_t TReadVarnelFrameThread::ScanBuffer()
{
    return ScanVarnelFrames(FBuffer.data(), FDataCount, *this);
}

void TReadVarnelFrameThread::AwaitHandedOver()
{
    if (!FAwaited)
        return;
    FAwaited->AwaitFinish();
    FAwaited.reset();
}

std::shared_ptr<TReadPass> TReadVarnelFrameThread::NewPass() const
{
    return std::make_shared<TReadPass>(FHandlers, FHandlersToken, FNotices.Token());
}

void TReadVarnelFrameThread::HandOver()
{
    if (FPass->Empty())
        return;
    std::shared_ptr<TReadPass> pass = std::move(FPass);
    pass->Done.store(false, std::memory_order_relaxed);
    // Waited for before the next read, not at once: the pause between passes
    // usually gives the main thread time to run it.
    if (pass->Waits())
        FAwaited = pass;
    TMainThreadCallList::Instance().Post(
        [handle = std::make_shared<TPassHandle>(pass)] { handle->Run(); }, FHandlersToken);

    // The next pass: one the main thread is done with, or a new one. Passes
    // still queued stay with their calls; only a few spares are kept.
    constexpr std::size_t keptPasses = 4;
    const auto done = std::find_if(FSparePasses.begin(), FSparePasses.end(), [](const auto& p) {
        return p->Done.load(std::memory_order_acquire);
    });
    if (done != FSparePasses.end()) {
        FPass = std::move(*done);
        FSparePasses.erase(done);
        FPass->Clear();
    } else {
        FPass = NewPass();
    }
    FSparePasses.push_back(std::move(pass));
    if (FSparePasses.size() > keptPasses)
        FSparePasses.erase(FSparePasses.begin());
}

void TReadVarnelFrameThread::NoteFailedPass()
{
    const auto now = std::chrono::steady_clock::now();
    if (!FFailing) {
        FFailing = true;
        FLinkLostPosted = false;
        FFailingSince = now;
    }
    if (FLinkLostPosted || now - FFailingSince < LinkLostAfter)
        return;
    FLinkLostPosted = true;
    qCInfo(VarnelProtocolLog, "Link lost: no count or read worked for %lld ms",
           static_cast<long long>(
               std::chrono::duration_cast<std::chrono::milliseconds>(now - FFailingSince).count()));
    // Tied to the reader, and run only while the handlers live too.
    TVarnelMessageHandlers* handlers = &FHandlers;
    TMainThreadCallList::Instance().Post(
        [handlers, alive = FHandlersToken] {
            if (!alive.expired())
                handlers->HandleLinkLost();
        },
        FNotices.Token());
}

void TReadVarnelFrameThread::Queue(TSyncProc1P proc, uint32_t p1)
{
    FPass->Add({proc, nullptr, p1, 0});
}

void TReadVarnelFrameThread::Queue(TSyncProc2P proc, uint32_t p1, uint32_t p2)
{
    FPass->Add({nullptr, proc, p1, p2});
}

void TReadVarnelFrameThread::Synchronize(TSyncProc1P proc, uint32_t p1)
{
    FPass->Add({proc, nullptr, p1, 0});
    FPass->SetWaits();
}

void TReadVarnelFrameThread::Synchronize(TSyncProc2P proc, uint32_t p1, uint32_t p2)
{
    FPass->Add({nullptr, proc, p1, p2});
    FPass->SetWaits();
}

void TReadVarnelFrameThread::QueueCRCError()
{
    ++FChecksumErrors;
    qCDebug(VarnelProtocolLog, "Frame with a bad checksum, %llu so far",
            static_cast<unsigned long long>(FChecksumErrors));
    FPass->Add({nullptr, nullptr, 0, 0});
}

void StopFrameReader(std::unique_ptr<TReadVarnelFrameThread>& reader)
{
    if (!reader)
        return;
    reader->requestInterruption();
    TLinkSignal::Instance().Raise();
    reader->WaitForEnd();
    reader.reset();
}
