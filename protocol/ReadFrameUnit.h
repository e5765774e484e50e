// SPDX-License-Identifier: GPL-3.0-or-later
// Device frames from the controller and the thread that reads them.
//
// A device frame is five bytes: 0xAA, message id, value low byte (b2), value
// high byte (b3) and a checksum that makes the five bytes add up to a
// multiple of 256. The reader thread sleeps until the link has bytes for it
// (or fails, or the reader is asked to stop), cuts frames out of the received
// bytes and hands every message of one read pass, by value, to the console's
// handlers on the main thread in one call. When the pass holds a
// ScopeSample, DeviceStatus or PeakId, the reader waits until the main
// thread has run the pass before it reads again.
#pragma once

#include "protocol/Frames.h"
#include "protocol/MainThreadCallList.h"
#include "protocol/Messages.h"

#include <QThread>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

class TConnection;
class TReadPass;

// What the console does with each device message. Every method runs on the
// main thread, one at a time, in the order the frames arrived. The handlers
// own the calls a reader posts to them: once they are destroyed, no call a
// reader posted or still posts reaches them.
class TVarnelMessageHandlers
{
public:
    virtual ~TVarnelMessageHandlers() = default;

    TMainThreadCallOwner::TToken CallToken() const { return FCalls.Token(); }

    virtual void HandleScopeSample(uint32_t value) = 0;
    virtual void HandleDeviceStatus(uint32_t code, uint32_t b3) = 0;
    virtual void HandleTuningMirrorPosition(uint32_t b2) = 0;
    virtual void HandleStabilizationMirrorPosition(uint32_t b2) = 0;
    virtual void HandleDeviceEvent(uint32_t kind, uint32_t peakId) = 0;
    virtual void HandleCFTTemperature(uint32_t value) = 0;
    virtual void HandleServiceSample(uint32_t value) = 0;
    virtual void HandlePeakId(uint32_t b2) = 0;
    virtual void HandlePhaseValue(uint32_t value) = 0;
    virtual void HandleDelayValue(uint32_t value) = 0;
    virtual void HandlePathGainValue(uint32_t value) = 0;
    virtual void HandleCFTValue(uint32_t value) = 0;
    virtual void HandlePValue(uint32_t value) = 0;
    virtual void HandleIValue(uint32_t value) = 0;
    virtual void HandleDValue(uint32_t value) = 0;
    virtual void HandlePIDGainValue(uint32_t value) = 0;
    virtual void HandleExpectedPeaksValue(uint32_t value) = 0;
    virtual void HandleScopeScaleValue(uint32_t value) = 0;
    // Receives b2 alone; the handler reads it as signed 8-bit.
    virtual void HandleSetPointValue(uint32_t value) = 0;
    virtual void HandleHarmonicValue(uint32_t value) = 0;
    virtual void HandleCFTTemp10Value(uint32_t value) = 0;
    virtual void HandleCFTTemp40Value(uint32_t value) = 0;
    virtual void HandleCFTOffsetValue(uint32_t value) = 0;
    virtual void HandleCFTRawValue(uint32_t value) = 0;
    virtual void HandleModulationValue(uint32_t value) = 0;
    virtual void HandleFOffsetValue(uint32_t value) = 0;
    virtual void HandleLifetimeHigh(uint32_t value) = 0;
    virtual void HandleLifetimeLow(uint32_t value) = 0;

    // One frame with a bad checksum arrived.
    virtual void HandleCRCError() = 0;
    // Every poll of the link has failed for LinkLostAfter; posted once per
    // streak of failures. The console decides what that means for the link.
    virtual void HandleLinkLost() = 0;

private:
    TMainThreadCallOwner FCalls;
};

using TSyncProc1P = void (TVarnelMessageHandlers::*)(uint32_t);
using TSyncProc2P = void (TVarnelMessageHandlers::*)(uint32_t, uint32_t);

// Where a decoded message goes. The reader thread collects a pass's messages
// and delivers them to the main thread; tests and benchmarks use sinks of
// their own.
class TVarnelFrameSink
{
public:
    virtual ~TVarnelFrameSink() = default;

    // A handler call that need not have run before the next read.
    virtual void Queue(TSyncProc1P proc, uint32_t p1) = 0;
    virtual void Queue(TSyncProc2P proc, uint32_t p1, uint32_t p2) = 0;
    // A handler call that must have run before the next read.
    virtual void Synchronize(TSyncProc1P proc, uint32_t p1) = 0;
    virtual void Synchronize(TSyncProc2P proc, uint32_t p1, uint32_t p2) = 0;
    // A frame failed its checksum test.
    virtual void QueueCRCError() = 0;
};

// Checks one candidate frame and dispatches its message by the message table.
// Holds no state between frames, so one decoder may serve a whole scan.
class TReadVarnelFrame
{
public:
    explicit TReadVarnelFrame(TVarnelFrameSink& sink) : FSink(sink) {}

    // frameBuffer points at a start byte, frameBufferSize counts the bytes
    // from there to the end of the data. Fewer than five: returns false with
    // DecodedBytesCount 0. Otherwise consumes the five bytes, good checksum
    // or not, returns true with DecodedBytesCount 5.
    bool Decode(const uint8_t* frameBuffer, uint32_t frameBufferSize, int& DecodedBytesCount);

private:
    int ReadFrame(uint8_t id);
    bool IsChecksumOK(uint8_t checksum) const;

    TVarnelFrameSink& FSink;
    // The frame being decoded; borrowed for the length of one Decode.
    const uint8_t* FFrame = nullptr;
};

// Decodes the frames in the first dataCount bytes of buffer into the sink.
// Bytes before a start byte are skipped one at a time; a frame, good or bad,
// is consumed whole. An incomplete frame at the end is moved to the start of
// the buffer and its length (0 to 4) returned: the carry-over for the next
// pass. Without an incomplete frame the result is 0.
uint32_t ScanVarnelFrames(uint8_t* buffer, uint32_t dataCount, TVarnelFrameSink& sink);

// Reads from the connection while it runs and delivers every message to the
// handlers on the main thread: the messages of one pass in one call, their
// handlers run one after another in arrival order. Starts at creation. Stop
// it only through StopFrameReader.
class TReadVarnelFrameThread final : public QThread, public TVarnelFrameSink
{
public:
    static constexpr uint32_t BufferSize = 9999;
    // Shortest time between two passes while bytes keep coming or the link
    // keeps failing.
    static constexpr std::chrono::milliseconds PollInterval{3};
    // Longest sleep while nothing comes: a link that announces nothing (see
    // link/LinkSignal.h) is still read this often.
    static constexpr std::chrono::milliseconds IdleCheckInterval{100};
    static constexpr std::chrono::milliseconds LinkLostAfter{500};

    TReadVarnelFrameThread(TConnection& connection, TVarnelMessageHandlers& handlers);
    // Ends the thread if it still runs (waiting as StopFrameReader does); the
    // notices tied to this reader that have not run yet are dropped.
    ~TReadVarnelFrameThread() override;

    // Collect the current pass. Handler calls are owned by the handlers and
    // run even after the reader is gone; a checksum-error notice is tied to
    // the reader and dropped if the reader is destroyed first.
    void Queue(TSyncProc1P proc, uint32_t p1) override;
    void Queue(TSyncProc2P proc, uint32_t p1, uint32_t p2) override;
    void Synchronize(TSyncProc1P proc, uint32_t p1) override;
    void Synchronize(TSyncProc2P proc, uint32_t p1, uint32_t p2) override;
    void QueueCRCError() override;

    // True when the last count query or read failed. Written only by the
    // reader thread.
    std::atomic<bool> Error{false};

    // Passes made so far (each one a count query, and a read and a scan when
    // bytes were waiting), for measurements.
    uint64_t PassCount() const { return FPasses.load(std::memory_order_relaxed); }

protected:
    void run() override;

private:
    void Execute();
    uint32_t ScanBuffer();
    // Hands the collected pass to the main thread; one that holds a call
    // that must run before the next read becomes the awaited pass.
    void HandOver();
    // Blocks until the main thread is done with the awaited pass, if any.
    void AwaitHandedOver();
    std::shared_ptr<TReadPass> NewPass() const;
    void NoteFailedPass();
    // Waits for the thread's end while running the main thread's pending
    // calls, so a reader blocked in Synchronize can finish.
    void WaitForEnd();

    friend void StopFrameReader(std::unique_ptr<TReadVarnelFrameThread>& reader);

    TConnection& FConnection;
    TVarnelMessageHandlers& FHandlers;
    const TMainThreadCallOwner::TToken FHandlersToken;
    // The checksum-error and link-lost notices.
    TMainThreadCallOwner FNotices;
    std::vector<uint8_t> FBuffer;
    uint32_t FDataCount = 0;
    // Start of the current streak of failed passes, and whether it was
    // reported already.
    bool FFailing = false;
    bool FLinkLostPosted = false;
    std::chrono::steady_clock::time_point FFailingSince;
    // Frames with a bad checksum this reader met, for the log.
    uint64_t FChecksumErrors = 0;
    std::atomic<uint64_t> FPasses{0};
    // The pass being collected, and passes handed over before: a pass whose
    // calls have all run (or were dropped with a reader's wait) is filled
    // again, so that its storage is allocated once.
    std::shared_ptr<TReadPass> FPass;
    std::vector<std::shared_ptr<TReadPass>> FSparePasses;
    std::shared_ptr<TReadPass> FAwaited;
};

// The one way to stop a reader: terminate request, wait for the end while
// running the pending main-thread calls, then destroy it and empty the
// pointer. Does nothing on an empty pointer. Main thread only.
void StopFrameReader(std::unique_ptr<TReadVarnelFrameThread>& reader);
