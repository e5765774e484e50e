// SPDX-License-Identifier: GPL-3.0-or-later
// The simulated laser controller, without any socket: command bytes go in
// through Receive, device frames queue up for the caller to take, and time
// moves only when the caller says so (Connect, AdvanceTo). The same model
// serves the varnel-sim program and in-process tests.
#pragma once

#include "protocol/Messages.h"
#include "sim/CommandFrameParser.h"

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <random>
#include <vector>

namespace VarnelSim {

using TClock = std::chrono::steady_clock;

enum TScopePattern
{
    _sp_signal, // error signal of the simulated laser
    _sp_ramp,   // raw values 0, 1, 2, ... modulo 65536, for checking a log in order
};

struct TModelOptions
{
    uint32_t ScopeRate = 200;  // scope samples per second while connected; 0 for none
    uint32_t ServiceRate = 50; // service samples per second; 0 for none
    bool ScopeOnly = false;    // no unsolicited frames but scope samples
    uint64_t SampleLimit = 0;  // stop the scope samples after this many in all; 0: no limit
    // The scope samples start with the console's first command after it
    // connected instead of at the connect: a console empties the line when
    // it opens it, so a benchmark that accounts for every sample sent must
    // not send any before that.
    bool ScopeAfterCommand = false;
    TScopePattern ScopePattern = _sp_signal;
    double Noise = 0.0; // probability that an outgoing byte is corrupted
    uint32_t Seed = 1;  // seeds the simulated signal noise and the byte corruption
    // Periodic frames (scope, service, live values) are skipped while this
    // many bytes wait to be taken, as a controller with a full line would.
    // Answers, status, event and peak frames are never skipped.
    std::size_t MaxBacklog = 1024;
    // Knocks at random times, on average this many seconds apart
    // (exponentially distributed); 0: none. See Knock().
    double KnockEverySeconds = 0.0;
    // Thermal drift while locked: the stabilisation mirror walks toward a
    // rail at this many percent of its travel per minute and the lock is
    // lost when it gets there; 0: no drift.
    double DriftPercentPerMinute = 0.0;
    // The controller runs on when the console goes, as a real one does when
    // its bridge is pulled out: a lock (or a tuning under way) is kept, and
    // the next console is not greeted with "prepare" and "wait for user" but
    // hears only what changes from then on. Off: every connect starts over.
    bool KeepState = false;
};

struct TModelStats
{
    uint64_t ScopeSamplesQueued = 0; // scope frames generated
    uint64_t ScopeSamplesSent = 0;   // scope frames whose last byte was taken
    uint64_t PeriodicFramesSkipped = 0;
    uint64_t CommandFrames = 0;    // good command frames received
    uint64_t BadCommandFrames = 0; // command frames with a wrong checksum
    uint64_t IgnoredCommands = 0;  // good frames with an id the controller does not know
    uint64_t Knocks = 0;           // knocks that hit a lock
    uint64_t KnocksRiddenOut = 0;  // of those, the ones the loop recovered from by itself
    uint64_t RailLosses = 0;       // locks lost with the stabilisation mirror at a rail
};

// What a knock did.
enum TKnockOutcome
{
    _ko_not_locked, // nothing was locked: no effect
    _ko_ridden_out, // the lock is lost and comes back by itself within a second
    _ko_lost,       // the lock is lost until the console asks for a new one
};

class TControllerModel
{
public:
    explicit TControllerModel(const TModelOptions& options = {});

    // A console has connected at now: the output starts empty, the periodic
    // streams start, the working time goes out, and the controller prepares
    // (status 7) and then waits for the user (status 14). Parameters keep
    // their values across connections. With KeepState, a connect after the
    // first one finds the controller as it was: whatever came due meanwhile
    // has happened (unheard), and no status is sent until one changes.
    void Connect(TClock::time_point now);
    // The console is gone: output and streams stop, and unless KeepState the
    // pending tuning steps too (the controller starts over at the next connect).
    void Disconnect();
    bool IsConnected() const { return FConnected; }

    // Command bytes from the console, in any pieces. Commands act at the time
    // of the last Connect or AdvanceTo; answers to read requests are queued at once.
    void Receive(const uint8_t* data, std::size_t size);

    // Moves the model's clock forward to now (never back) and queues every
    // frame that falls due up to then, in time order. After a jump of more
    // than a second, periodic frames older than a second are passed over (a
    // controller does not replay what the line had no time for).
    void AdvanceTo(TClock::time_point now);
    // When AdvanceTo next has something to queue; time_point::max() when
    // nothing is scheduled (not connected).
    TClock::time_point NextEventTime() const;

    // Output: bytes waiting, a copy of the first of them without taking
    // them, taking them, or both at once.
    std::size_t PendingOutput() const { return FQueuedBytes - FFrontOffset; }
    std::size_t PeekOutput(uint8_t* dest, std::size_t maxBytes) const;
    void ConsumeOutput(std::size_t bytes);
    std::vector<uint8_t> TakeOutput(std::size_t maxBytes = SIZE_MAX);

    // The stored value of a parameter as a read request with this id is
    // answered; 0 for an id that is not a read request.
    uint16_t ParameterValue(uint8_t readId) const;
    // A mechanical knock at the model's time (that of the last Connect or
    // AdvanceTo). While locked: status 4 ("unlocked") at once and the laser
    // drifts off the peak; about a third of knocks the loop rides out (status
    // 2, then the same peak id and status 3 within a second), the rest leave
    // the laser unlocked until a tuning command. Not locked (or not
    // connected): no effect. Random knocks (KnockEverySeconds) come here too.
    TKnockOutcome Knock();
    // Where the simulated laser is, in MHz from peak f, at the model's time.
    double LaserOffsetMHz() const;
    // The stabilisation mirror's position (0 to 100 %) at the model's time,
    // without the jitter of the reported value.
    double StabilizationMirror() const;
    const TModelStats& Stats() const { return FStats; }

    // The fourteen peaks a to n (ids 1 to 14): distance from peak f in MHz.
    static const std::array<double, 14> PeakOffsetsMHz;

private:
    enum TTuningState
    {
        _ts_idle,
        _ts_prepare,
        _ts_wait_user,
        _ts_moving,
        _ts_searching,
        _ts_locking,
        _ts_locked,
        _ts_bumped,   // knocked off the lock; the loop is pulling it back
        _ts_unlocked, // lock lost; waits for a tuning command
        _ts_error
    };
    enum TMotion
    {
        _mm_hold,
        _mm_ramp,
        _mm_scan
    };
    enum TStepKind
    {
        _sk_frame,
        _sk_state,
        _sk_return, // the laser goes back onto the locked peak
        _sk_rail    // the stabilisation mirror has reached a rail
    };

    // One scheduled step of the tuning procedure.
    struct TStep
    {
        TClock::time_point Due;
        TStepKind Kind;
        TMessageId Id;
        uint8_t B2;
        uint8_t B3;
        TTuningState State;
    };

    // A stream of Rate frames every PerSeconds seconds from Start.
    struct TStream
    {
        uint32_t Rate = 0;
        uint32_t PerSeconds = 1;
        uint64_t Count = 0;
        TClock::time_point Start{};
        bool Active = false;
        // Starts over at start: rate frames every perSeconds seconds, if
        // active and the rate is above 0.
        void Begin(uint32_t rate, uint32_t perSeconds, TClock::time_point start, bool active);
        TClock::time_point Due() const;
        // Moves the count on so that the next frame falls due at t or later;
        // returns how many frames were passed over.
        uint64_t SkipTo(TClock::time_point t);
    };

    struct TOutFrame
    {
        std::array<uint8_t, FrameSize> Bytes;
        bool Scope;
    };

    void HandleCommand(const TCommandFrame& frame);
    // Starts the scope samples' stream from now, or holds it until the
    // console's first command.
    void StartScope(bool now);
    void HandleTuningTarget(uint8_t peakId);
    void HandleHalfAutomatic();
    void HandleLock();

    void Queue(TMessageId message, uint8_t b2, uint8_t b3, bool scope = false);
    void QueueValue(TMessageId id, uint16_t value) { Queue(id, value & 0xFF, value >> 8); }
    bool QueuePeriodic(TMessageId id, uint16_t value, bool scope = false);

    void CatchUp(TClock::time_point now);
    void Schedule(double afterSeconds, TMessageId id, uint8_t b2, uint8_t b3 = 0);
    void ScheduleState(double afterSeconds, TTuningState state);
    void ScheduleStep(double afterSeconds, TStepKind kind);
    void RunStep(const TStep& step);

    void EmitScope();
    void EmitService();
    void EmitLive();
    void EmitLifetime();
    void EmitCrossing();
    void EmitKnock();

    void ExpectLock(uint8_t peakId);
    void EnterLock();
    void LoseLock(double driftOffMHz);
    void ScheduleRail();
    void DrawNextKnock();
    bool ReachableRange(int& first, int& last) const;
    double FrequencyAt(TClock::time_point t) const;
    void HoldHere();
    void RampTo(double target, double startAfter, double duration);
    void StartScan();
    void FindNextCrossing();
    double ErrorSignal(double offsetMHz) const;
    uint16_t CFTTemperature() const;
    uint16_t CFTRaw() const;

    TModelOptions FOptions;
    TCommandFrameParser FParser;
    std::array<uint16_t, 256> FParameters{};
    bool FConnected = false;
    bool FEverConnected = false;
    TClock::time_point FNow{};
    TClock::time_point FLifetimeOrigin{};
    bool FLifetimeOriginSet = false;

    TTuningState FState = _ts_idle;
    std::deque<TStep> FScript;

    TMotion FMotion = _mm_hold;
    double FHoldAt = 80.0; // between peaks c and d: a quiet scope at the start
    double FRampFrom = 0, FRampTo = 0;
    TClock::time_point FRampStart{}, FRampEnd{};
    int FScanFirst = 0, FScanLast = 13; // peak indices the scan covers
    double FScanLow = 0, FScanHigh = 0, FScanPhase0 = 0, FScanLastPhase = 0;
    TClock::time_point FScanStart{};
    TClock::time_point FCrossingDue = TClock::time_point::max();
    uint8_t FCrossingPeak = 0;
    double FCrossingPhase = 0;

    TStream FScope, FService, FLive, FLifetime;
    bool FScopeAwaitsCommand = false;

    // The lock: the peak the pending or current lock is on, and whether
    // reaching it recentres the stabilisation mirror (a lock the console
    // asked for does; one the loop recovers by itself does not).
    uint8_t FLockPeak = 0;
    bool FRecentreOnLock = true;
    // The stabilisation mirror: its position when the current lock began (or
    // where it stays while not locked), since when it walks, and which way.
    double FMirrorFrom = 50.0;
    TClock::time_point FMirrorSince{};
    double FDriftDirection = 1.0;
    TClock::time_point FNextKnock = TClock::time_point::max();
    std::mt19937 FKnockRandom; // knock times and outcomes, drift directions

    std::deque<TOutFrame> FOutput;
    std::size_t FQueuedBytes = 0;
    std::size_t FFrontOffset = 0;

    std::mt19937 FRandom; // simulated signal noise
    std::mt19937
        FNoiseRandom; // byte corruption, separate so noise leaves the frames' content alone
    TModelStats FStats;
};

} // namespace VarnelSim
