// SPDX-License-Identifier: GPL-3.0-or-later
#include "sim/ControllerModel.h"

#include "protocol/ServiceParameters.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

namespace VarnelSim {

namespace {

using std::chrono::nanoseconds;

// The values the controller starts with, for every row of the parameter
// table (protocol/ServiceParameters.h), which gives the ids and widths.
struct TParameterDefault
{
    TCommandId Read;
    uint16_t Value;
};

constexpr TParameterDefault ParameterDefaults[] = {
    {TCommandId::ReadPhase, 180},
    {TCommandId::ReadDelay, 20},
    {TCommandId::ReadPathGain, 1200}, // +2000 with the stabilisation check
    {TCommandId::ReadCFT, 235},       // tenths of a degree
    {TCommandId::ReadP, 40},
    {TCommandId::ReadI, 12},
    {TCommandId::ReadD, 3},
    {TCommandId::ReadPIDGain, 100},
    {TCommandId::ReadExpectedPeaks, 0x3FFF}, // a to n
    {TCommandId::ReadScopeScale, 3},         // 4x
    {TCommandId::ReadSetPoint, 0},           // an 8-bit two's complement byte
    {TCommandId::ReadHarmonic, 0},           // 3rd
    {TCommandId::ReadCFTTemp10, 1000},
    {TCommandId::ReadCFTTemp40, 3000},
    {TCommandId::ReadCFTOffset, 0},
    {TCommandId::ReadCFTRaw, 0}, // measured: answered from the temperature
    {TCommandId::ReadModulation, 128},
    {TCommandId::ReadFOffset, 0}, // kHz, 16-bit two's complement
};

// The table's row whose read request this is, or nullptr.
const TServiceParameter* ReadRequest(uint8_t id)
{
    const TServiceParameter* parameter = ServiceParameterByCommand(id);
    return parameter && static_cast<uint8_t>(parameter->Read) == id ? parameter : nullptr;
}

// The table's row whose write command this is, or nullptr.
const TServiceParameter* WriteCommand(uint8_t id)
{
    const TServiceParameter* parameter = ServiceParameterByCommand(id);
    return parameter && parameter->Write && static_cast<uint8_t>(*parameter->Write) == id
               ? parameter
               : nullptr;
}

constexpr uint8_t ExpectedPeaksId = static_cast<uint8_t>(TCommandId::ReadExpectedPeaks);
constexpr uint8_t ScopeScaleId = static_cast<uint8_t>(TCommandId::ReadScopeScale);
constexpr uint8_t CFTTemp10Id = static_cast<uint8_t>(TCommandId::ReadCFTTemp10);
constexpr uint8_t CFTTemp40Id = static_cast<uint8_t>(TCommandId::ReadCFTTemp40);

// Working time at the model's first connect, in minutes (12333:20):
// large enough to need both halves of the counter.
constexpr uint32_t LifetimeBaseMinutes = 740000;

// Relative strengths of the fourteen absorption peaks.
constexpr std::array<double, 14> PeakStrengths = {0.55, 0.6,  0.7,  0.9,  0.8, 1.0, 0.85,
                                                  0.5,  0.45, 0.75, 0.65, 0.6, 0.5, 0.55};
constexpr double PeakHalfWidthMHz = 2.5;
constexpr double ScanSpeedMHzPerSecond = 40.0;
constexpr double ScanMarginMHz = 15.0;
// The tuning mirror's travel, mapped onto 0..100 %.
constexpr double MirrorLowMHz = -330.0;
constexpr double MirrorHighMHz = 190.0;
// The console shows a scope sample as ScopeZero - raw.
constexpr double ScopeZero = 17640.0;
constexpr double ScopeLimit = 17280.0;
constexpr double ScopeAmplitude = 12000.0;
// Share of knocks the loop rides out, and how long the laser takes to come
// back onto the peak then.
constexpr double RideOutChance = 1.0 / 3.0;
constexpr double ReturnSeconds = 0.3;

double Seconds(TClock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

nanoseconds After(double seconds)
{
    return nanoseconds(static_cast<int64_t>(std::ceil(seconds * 1e9)));
}

} // namespace

const std::array<double, 14> TControllerModel::PeakOffsetsMHz = {
    161.039,  152.208,  144.114,  26.224,   13.363,   0.0,      -13.198,
    -116.953, -138.892, -160.461, -268.842, -276.886, -292.693, -301.706};

void TControllerModel::TStream::Begin(uint32_t rate, uint32_t perSeconds, TClock::time_point start,
                                      bool active)
{
    Rate = std::max<uint32_t>(rate, 1);
    PerSeconds = perSeconds;
    Count = 0;
    Start = start;
    Active = active && rate > 0;
}

TClock::time_point TControllerModel::TStream::Due() const
{
    // Computed from the count, so the rate does not drift with rounding.
    const uint64_t whole = Count / Rate;
    const uint64_t part = Count % Rate;
    const uint64_t ns =
        whole * PerSeconds * 1'000'000'000ULL + part * PerSeconds * 1'000'000'000ULL / Rate;
    return Start + nanoseconds(static_cast<int64_t>(ns));
}

uint64_t TControllerModel::TStream::SkipTo(TClock::time_point t)
{
    if (Due() >= t)
        return 0;
    const long double elapsed = std::chrono::duration<long double>(t - Start).count();
    uint64_t target = static_cast<uint64_t>(elapsed * Rate / PerSeconds);
    target = std::max(target, Count);
    const uint64_t before = Count;
    Count = target;
    while (Due() < t)
        ++Count;
    return Count - before;
}

TControllerModel::TControllerModel(const TModelOptions& options)
    : FOptions(options), FKnockRandom(options.Seed ^ 0x6b6e6f63U), FRandom(options.Seed),
      FNoiseRandom(options.Seed ^ 0x5eed5eedU)
{
    for (const TParameterDefault& p : ParameterDefaults)
        FParameters[static_cast<uint8_t>(p.Read)] = p.Value;
}

void TControllerModel::Connect(TClock::time_point now)
{
    const bool resume = FOptions.KeepState && FEverConnected;
    // What fell due while nobody listened has happened all the same.
    if (resume)
        AdvanceTo(now);
    FConnected = true;
    FEverConnected = true;
    if (!FLifetimeOriginSet) {
        FLifetimeOrigin = now;
        FLifetimeOriginSet = true;
    }
    if (now > FNow)
        FNow = now;
    FOutput.clear();
    FQueuedBytes = 0;
    FFrontOffset = 0;
    FParser.Reset();
    if (!resume) {
        FScript.clear();
        HoldHere();
        // The controller starts over: no lock, the stabilisation mirror centred.
        FLockPeak = 0;
        FMirrorFrom = 50.0;
        FMirrorSince = FNow;
    }
    FNextKnock = TClock::time_point::max();
    if (FOptions.KnockEverySeconds > 0.0)
        DrawNextKnock();

    const bool all = !FOptions.ScopeOnly;
    StartScope(!FOptions.ScopeAfterCommand);
    FService.Begin(FOptions.ServiceRate, 1, FNow, all);
    FLive.Begin(1, 1, FNow, all);
    FLifetime.Begin(1, 60, FNow, all);

    if (resume)
        return;
    FState = _ts_prepare;
    if (all) {
        Schedule(0.5, TMessageId::DeviceStatus, StatusCode::Prepare);
        Schedule(2.0, TMessageId::DeviceStatus, StatusCode::WaitForUser);
    }
    ScheduleState(2.0, _ts_wait_user);
}

void TControllerModel::StartScope(bool now)
{
    FScope.Begin(
        FOptions.ScopeRate, 1, FNow,
        now && (FOptions.SampleLimit == 0 || FStats.ScopeSamplesQueued < FOptions.SampleLimit));
    FScopeAwaitsCommand = !now;
}

void TControllerModel::Disconnect()
{
    FConnected = false;
    FOutput.clear();
    FQueuedBytes = 0;
    FFrontOffset = 0;
    if (!FOptions.KeepState) {
        HoldHere();
        FScript.clear();
        FState = _ts_idle;
    }
    FNextKnock = TClock::time_point::max();
    FScope.Active = FService.Active = FLive.Active = FLifetime.Active = false;
    FScopeAwaitsCommand = false;
}

void TControllerModel::Receive(const uint8_t* data, std::size_t size)
{
    FParser.Feed(data, size, [this](const TCommandFrame& frame) { HandleCommand(frame); });
    FStats.CommandFrames = FParser.GoodFrames();
    FStats.BadCommandFrames = FParser.BadFrames();
}

void TControllerModel::HandleCommand(const TCommandFrame& frame)
{
    if (FScopeAwaitsCommand)
        StartScope(true);
    switch (static_cast<TCommandId>(frame.Id)) {
    case TCommandId::TuningStart:
    case TCommandId::TuningEnable:
        // The procedure starts with the command that follows (target or
        // half-automatic); these two only arm it.
        return;
    case TCommandId::TuningTarget:
        HandleTuningTarget(frame.B);
        return;
    case TCommandId::TuningHalfAutomatic:
        HandleHalfAutomatic();
        return;
    case TCommandId::TuningLock:
        HandleLock();
        return;
    case TCommandId::ConnectQuery:
        // The console expects no answer.
        return;
    default:
        break;
    }
    if (const TServiceParameter* p = ReadRequest(frame.Id)) {
        QueueValue(p->Answer, ParameterValue(frame.Id));
        return;
    }
    if (const TServiceParameter* p = WriteCommand(frame.Id)) {
        FParameters[static_cast<uint8_t>(p->Read)] =
            p->Width == TParamWidth::Word ? frame.Word() : frame.B;
        return;
    }
    ++FStats.IgnoredCommands;
}

uint16_t TControllerModel::ParameterValue(uint8_t readId) const
{
    if (readId == static_cast<uint8_t>(TCommandId::ReadCFTRaw))
        return CFTRaw();
    return ReadRequest(readId) ? FParameters[readId] : 0;
}

bool TControllerModel::ReachableRange(int& first, int& last) const
{
    const uint16_t mask = FParameters[ExpectedPeaksId];
    first = last = -1;
    for (int k = 0; k < 14; ++k) {
        if (mask & (1u << k)) {
            if (first < 0)
                first = k;
            last = k;
        }
    }
    return first >= 0;
}

void TControllerModel::HandleTuningTarget(uint8_t peakId)
{
    FMirrorFrom = StabilizationMirror();
    FScript.clear();
    HoldHere();
    Schedule(0, TMessageId::DeviceStatus, StatusCode::TuningStart);

    int first = 0, last = 0;
    const int index = peakId - 1;
    if (!ReachableRange(first, last) || index < first || index > last) {
        // Nowhere to go: the procedure gives up with a critical stop.
        FState = _ts_moving;
        Schedule(0.5, TMessageId::DeviceStatus, StatusCode::Wait);
        Schedule(1.0, TMessageId::DeviceEvent, EventKind::CriticalStop, peakId);
        Schedule(1.0, TMessageId::DeviceStatus, StatusCode::TuningError);
        ScheduleState(1.0, _ts_error);
        return;
    }

    FState = _ts_moving;
    const double target = PeakOffsetsMHz[static_cast<std::size_t>(index)];
    const double travel = std::clamp(std::abs(target - LaserOffsetMHz()) / 150.0, 0.6, 3.0);
    Schedule(0.3, TMessageId::DeviceStatus, StatusCode::Wait);
    RampTo(target, 0.3, travel);
    Schedule(0.3 + travel / 2, TMessageId::DeviceStatus, StatusCode::Phase);
    Schedule(0.3 + travel, TMessageId::DeviceEvent, EventKind::Peak, peakId);
    Schedule(0.6 + travel, TMessageId::DeviceStatus, StatusCode::LockTry);
    ExpectLock(peakId);
    Schedule(1.1 + travel, TMessageId::PeakId, peakId);
    Schedule(1.1 + travel, TMessageId::DeviceStatus, StatusCode::Locked);
    ScheduleState(1.1 + travel, _ts_locked);
}

void TControllerModel::HandleHalfAutomatic()
{
    FMirrorFrom = StabilizationMirror();
    FScript.clear();
    HoldHere();
    Schedule(0, TMessageId::DeviceStatus, StatusCode::TuningStart);
    int first = 0, last = 0;
    if (!ReachableRange(first, last)) {
        FState = _ts_moving;
        Schedule(1.0, TMessageId::DeviceEvent, EventKind::CriticalStop, 0);
        Schedule(1.0, TMessageId::DeviceStatus, StatusCode::TuningError);
        ScheduleState(1.0, _ts_error);
        return;
    }
    FState = _ts_searching;
    StartScan();
    Schedule(0.3, TMessageId::DeviceStatus, StatusCode::Wait);
    Schedule(1.0, TMessageId::DeviceStatus, StatusCode::Phase);
}

void TControllerModel::HandleLock()
{
    if (FState != _ts_searching)
        return;
    const double x = LaserOffsetMHz();
    int nearest = FScanFirst;
    for (int k = FScanFirst; k <= FScanLast; ++k)
        if (std::abs(PeakOffsetsMHz[k] - x) < std::abs(PeakOffsetsMHz[nearest] - x))
            nearest = k;
    const uint8_t peakId = static_cast<uint8_t>(nearest + 1);

    FScript.clear();
    FState = _ts_locking;
    RampTo(PeakOffsetsMHz[nearest], 0, 0.4);
    Schedule(0, TMessageId::DeviceStatus, StatusCode::LockTry);
    ExpectLock(peakId);
    Schedule(0.6, TMessageId::PeakId, peakId);
    Schedule(0.6, TMessageId::DeviceStatus, StatusCode::Locked);
    ScheduleState(0.6, _ts_locked);
}

void TControllerModel::Schedule(double afterSeconds, TMessageId id, uint8_t b2, uint8_t b3)
{
    const TStep step{FNow + After(afterSeconds), _sk_frame, id, b2, b3, _ts_idle};
    const auto at =
        std::upper_bound(FScript.begin(), FScript.end(), step.Due,
                         [](TClock::time_point t, const TStep& s) { return t < s.Due; });
    FScript.insert(at, step);
}

void TControllerModel::ScheduleState(double afterSeconds, TTuningState state)
{
    const TStep step{FNow + After(afterSeconds), _sk_state, TMessageId{}, 0, 0, state};
    const auto at =
        std::upper_bound(FScript.begin(), FScript.end(), step.Due,
                         [](TClock::time_point t, const TStep& s) { return t < s.Due; });
    FScript.insert(at, step);
}

void TControllerModel::ScheduleStep(double afterSeconds, TStepKind kind)
{
    const TStep step{FNow + After(afterSeconds), kind, TMessageId{}, 0, 0, _ts_idle};
    const auto at =
        std::upper_bound(FScript.begin(), FScript.end(), step.Due,
                         [](TClock::time_point t, const TStep& s) { return t < s.Due; });
    FScript.insert(at, step);
}

void TControllerModel::RunStep(const TStep& step)
{
    switch (step.Kind) {
    case _sk_frame:
        Queue(step.Id, step.B2, step.B3);
        break;
    case _sk_state:
        if (step.State == _ts_locked)
            EnterLock();
        else
            FState = step.State;
        break;
    case _sk_return:
        if (FLockPeak > 0)
            RampTo(PeakOffsetsMHz[FLockPeak - 1U], 0, ReturnSeconds);
        break;
    case _sk_rail:
        if (FState == _ts_locked) {
            // Exactly at the rail: the mirror has no travel left.
            FMirrorFrom = FDriftDirection > 0 ? 100.0 : 0.0;
            ++FStats.RailLosses;
            LoseLock(std::uniform_real_distribution<double>(10.0, 30.0)(FKnockRandom));
        }
        break;
    }
}

void TControllerModel::ExpectLock(uint8_t peakId)
{
    FLockPeak = peakId;
    FRecentreOnLock = true;
}

void TControllerModel::EnterLock()
{
    const bool recentre = FRecentreOnLock || FState != _ts_bumped;
    FState = _ts_locked;
    FMirrorSince = FNow;
    if (recentre) {
        FMirrorFrom = 50.0;
        if (FOptions.DriftPercentPerMinute > 0.0)
            FDriftDirection = std::bernoulli_distribution(0.5)(FKnockRandom) ? 1.0 : -1.0;
    }
    ScheduleRail();
}

void TControllerModel::ScheduleRail()
{
    const double rate = FOptions.DriftPercentPerMinute;
    if (rate <= 0.0)
        return;
    const double travel = FDriftDirection > 0 ? 100.0 - FMirrorFrom : FMirrorFrom;
    ScheduleStep(std::max(0.0, travel) / rate * 60.0, _sk_rail);
}

double TControllerModel::StabilizationMirror() const
{
    if (FState != _ts_locked || FOptions.DriftPercentPerMinute <= 0.0)
        return FMirrorFrom;
    const double walked = FOptions.DriftPercentPerMinute * Seconds(FNow - FMirrorSince) / 60.0;
    return std::clamp(FMirrorFrom + FDriftDirection * walked, 0.0, 100.0);
}

void TControllerModel::LoseLock(double driftOffMHz)
{
    // The loop has let go: the laser wanders off the peak and stays off.
    FScript.clear();
    FState = _ts_unlocked;
    Schedule(0, TMessageId::DeviceStatus, StatusCode::Unlocked);
    const double side = std::bernoulli_distribution(0.5)(FKnockRandom) ? 1.0 : -1.0;
    RampTo(LaserOffsetMHz() + side * driftOffMHz, 0, 2.0);
}

TKnockOutcome TControllerModel::Knock()
{
    if (!FConnected || FState != _ts_locked)
        return _ko_not_locked;
    ++FStats.Knocks;
    FMirrorFrom = StabilizationMirror();
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    if (uniform(FKnockRandom) >= RideOutChance) {
        LoseLock(10.0 + 20.0 * uniform(FKnockRandom));
        return _ko_lost;
    }
    // A bump the loop rides out: off the peak a little, back within a second
    // on the same peak, the stabilisation mirror where it was.
    ++FStats.KnocksRiddenOut;
    FScript.clear();
    FState = _ts_bumped;
    Schedule(0, TMessageId::DeviceStatus, StatusCode::Unlocked);
    const double side = uniform(FKnockRandom) < 0.5 ? 1.0 : -1.0;
    RampTo(LaserOffsetMHz() + side * (2.0 + 3.0 * uniform(FKnockRandom)), 0, 0.15);
    const double tryAt = 0.2 + 0.25 * uniform(FKnockRandom);
    const double lockAt = tryAt + ReturnSeconds + 0.05 + 0.15 * uniform(FKnockRandom);
    Schedule(tryAt, TMessageId::DeviceStatus, StatusCode::LockTry);
    ScheduleStep(tryAt, _sk_return);
    Schedule(lockAt, TMessageId::PeakId, FLockPeak);
    Schedule(lockAt, TMessageId::DeviceStatus, StatusCode::Locked);
    FRecentreOnLock = false;
    ScheduleState(lockAt, _ts_locked);
    return _ko_ridden_out;
}

void TControllerModel::DrawNextKnock()
{
    const double wait =
        std::exponential_distribution<double>(1.0 / FOptions.KnockEverySeconds)(FKnockRandom);
    FNextKnock = FNow + After(std::min(wait, 1e9));
}

void TControllerModel::EmitKnock()
{
    Knock();
    DrawNextKnock();
}

void TControllerModel::AdvanceTo(TClock::time_point now)
{
    // A controller that keeps its state runs on without a console; what it
    // sends meanwhile is lost.
    if (!FConnected && !(FOptions.KeepState && FEverConnected)) {
        FNow = std::max(FNow, now);
        return;
    }
    CatchUp(now);
    enum
    {
        _src_script,
        _src_lifetime,
        _src_live,
        _src_scope,
        _src_service,
        _src_crossing,
        _src_knock
    };
    for (;;) {
        TClock::time_point due = TClock::time_point::max();
        int source = -1;
        // Earliest first; on a tie the lower source goes first.
        auto consider = [&](TClock::time_point t, int s) {
            if (t <= now && t < due) {
                due = t;
                source = s;
            }
        };
        if (!FScript.empty())
            consider(FScript.front().Due, _src_script);
        if (FLifetime.Active)
            consider(FLifetime.Due(), _src_lifetime);
        if (FLive.Active)
            consider(FLive.Due(), _src_live);
        if (FScope.Active)
            consider(FScope.Due(), _src_scope);
        if (FService.Active)
            consider(FService.Due(), _src_service);
        if (FMotion == _mm_scan)
            consider(FCrossingDue, _src_crossing);
        consider(FNextKnock, _src_knock);
        if (source < 0)
            break;
        FNow = std::max(FNow, due);
        switch (source) {
        case _src_script: {
            const TStep step = FScript.front();
            FScript.pop_front();
            RunStep(step);
            break;
        }
        case _src_lifetime:
            EmitLifetime();
            break;
        case _src_live:
            EmitLive();
            break;
        case _src_scope:
            EmitScope();
            break;
        case _src_service:
            EmitService();
            break;
        case _src_crossing:
            EmitCrossing();
            break;
        case _src_knock:
            EmitKnock();
            break;
        }
    }
    FNow = std::max(FNow, now);
}

void TControllerModel::CatchUp(TClock::time_point now)
{
    if (now - FNow <= std::chrono::seconds(1))
        return;
    const TClock::time_point horizon = now - std::chrono::seconds(1);
    for (TStream* s : {&FScope, &FService, &FLive})
        if (s->Active)
            FStats.PeriodicFramesSkipped += s->SkipTo(horizon);
    if (FLifetime.Active)
        FLifetime.SkipTo(horizon);
    if (FMotion == _mm_scan && FCrossingDue < horizon) {
        FScanLastPhase = FScanPhase0 + Seconds(horizon - FScanStart) * ScanSpeedMHzPerSecond;
        FindNextCrossing();
    }
}

TClock::time_point TControllerModel::NextEventTime() const
{
    if (!FConnected)
        return TClock::time_point::max();
    TClock::time_point next = TClock::time_point::max();
    if (!FScript.empty())
        next = std::min(next, FScript.front().Due);
    for (const TStream* s : {&FLifetime, &FLive, &FScope, &FService})
        if (s->Active)
            next = std::min(next, s->Due());
    if (FMotion == _mm_scan)
        next = std::min(next, FCrossingDue);
    return std::min(next, FNextKnock);
}

void TControllerModel::EmitLifetime()
{
    ++FLifetime.Count;
    const auto minutes = std::chrono::duration_cast<std::chrono::minutes>(FNow - FLifetimeOrigin);
    const uint32_t total = LifetimeBaseMinutes + static_cast<uint32_t>(minutes.count());
    // High half first: only the low half updates the console's display.
    QueueValue(TMessageId::LifetimeHigh, static_cast<uint16_t>(total >> 16));
    QueueValue(TMessageId::LifetimeLow, static_cast<uint16_t>(total & 0xFFFF));
}

void TControllerModel::EmitLive()
{
    ++FLive.Count;
    const double position =
        (LaserOffsetMHz() - MirrorLowMHz) / (MirrorHighMHz - MirrorLowMHz) * 100.0;
    const auto tuning = static_cast<uint16_t>(std::clamp(std::lround(position), 0L, 100L));
    // The loop keeps the stabilisation mirror busy around where it is.
    long stabilization = std::lround(StabilizationMirror());
    if (FState == _ts_locked)
        stabilization += std::uniform_int_distribution<int>(47, 53)(FRandom) - 50;
    stabilization = std::clamp(stabilization, 0L, 100L);
    QueuePeriodic(TMessageId::TuningMirrorPosition, tuning);
    QueuePeriodic(TMessageId::StabilizationMirrorPosition, static_cast<uint16_t>(stabilization));
    QueuePeriodic(TMessageId::CFTTemperature, CFTTemperature());
}

void TControllerModel::EmitScope()
{
    ++FScope.Count;
    uint16_t raw = 0;
    if (FOptions.ScopePattern == _sp_ramp) {
        raw = static_cast<uint16_t>(FStats.ScopeSamplesQueued & 0xFFFF);
    } else {
        const int scale = std::clamp<int>(FParameters[ScopeScaleId], 1, 6);
        const double gain = std::ldexp(1.0, scale - 1) / 4.0; // 4x is the reference
        double shown = ErrorSignal(LaserOffsetMHz()) * ScopeAmplitude * gain +
                       std::normal_distribution<double>(0.0, 60.0)(FRandom);
        shown = std::clamp(shown, -ScopeLimit, ScopeLimit);
        raw = static_cast<uint16_t>(std::lround(ScopeZero - shown));
    }
    if (!QueuePeriodic(TMessageId::ScopeSample, raw, true))
        return;
    ++FStats.ScopeSamplesQueued;
    if (FOptions.SampleLimit != 0 && FStats.ScopeSamplesQueued >= FOptions.SampleLimit)
        FScope.Active = false;
}

void TControllerModel::EmitService()
{
    ++FService.Count;
    // The loop's correction: the error signal turned round, plus noise.
    const double value = -ErrorSignal(LaserOffsetMHz()) * 6000.0 +
                         std::normal_distribution<double>(0.0, 40.0)(FRandom);
    const auto sample = static_cast<int16_t>(std::clamp(std::lround(value), -32768L, 32767L));
    QueuePeriodic(TMessageId::ServiceSample, static_cast<uint16_t>(sample));
}

void TControllerModel::EmitCrossing()
{
    Queue(TMessageId::DeviceEvent, EventKind::Peak, FCrossingPeak);
    FScanLastPhase = FCrossingPhase;
    FindNextCrossing();
}

double TControllerModel::ErrorSignal(double offsetMHz) const
{
    // Each peak gives an odd, dispersion-shaped signal: zero on the peak,
    // largest one half-width either side, vanishing a few widths away.
    double sum = 0.0;
    for (std::size_t k = 0; k < PeakOffsetsMHz.size(); ++k) {
        const double u = (offsetMHz - PeakOffsetsMHz[k]) / PeakHalfWidthMHz;
        if (std::abs(u) < 12.0)
            sum += PeakStrengths[k] * -u * std::exp((1.0 - u * u) / 2.0);
    }
    return sum;
}

uint16_t TControllerModel::CFTTemperature() const
{
    // 23.5 degrees, wandering by 0.3 degrees over ten minutes.
    const double t = Seconds(FNow - FLifetimeOrigin);
    return static_cast<uint16_t>(235 +
                                 std::lround(3.0 * std::sin(2.0 * std::numbers::pi * t / 600.0)));
}

uint16_t TControllerModel::CFTRaw() const
{
    // The raw reading interpolated between the two calibration points.
    const double celsius = CFTTemperature() / 10.0;
    const double at10 = FParameters[CFTTemp10Id];
    const double at40 = FParameters[CFTTemp40Id];
    const double raw = at10 + (celsius - 10.0) * (at40 - at10) / 30.0;
    return static_cast<uint16_t>(std::clamp(std::lround(raw), 0L, 65535L));
}

double TControllerModel::LaserOffsetMHz() const
{
    return FrequencyAt(FNow);
}

double TControllerModel::FrequencyAt(TClock::time_point t) const
{
    switch (FMotion) {
    case _mm_hold:
        break;
    case _mm_ramp:
        if (t <= FRampStart)
            return FRampFrom;
        if (t >= FRampEnd)
            return FRampTo;
        return FRampFrom +
               (FRampTo - FRampFrom) * Seconds(t - FRampStart) / Seconds(FRampEnd - FRampStart);
    case _mm_scan: {
        // A triangle wave between the scan's ends, starting upwards.
        const double length = FScanHigh - FScanLow;
        const double phase =
            FScanPhase0 + std::max(0.0, Seconds(t - FScanStart)) * ScanSpeedMHzPerSecond;
        const double p = std::fmod(phase, 2 * length);
        return p < length ? FScanLow + p : FScanHigh - (p - length);
    }
    }
    return FHoldAt;
}

void TControllerModel::HoldHere()
{
    FHoldAt = LaserOffsetMHz();
    FMotion = _mm_hold;
}

void TControllerModel::RampTo(double target, double startAfter, double duration)
{
    FRampFrom = LaserOffsetMHz();
    FRampTo = target;
    FRampStart = FNow + After(startAfter);
    FRampEnd = FRampStart + After(duration);
    FMotion = _mm_ramp;
}

void TControllerModel::StartScan()
{
    const double here = LaserOffsetMHz();
    ReachableRange(FScanFirst, FScanLast);
    // Peak offsets fall with the index: a is the highest, n the lowest.
    FScanLow = PeakOffsetsMHz[static_cast<std::size_t>(FScanLast)] - ScanMarginMHz;
    FScanHigh = PeakOffsetsMHz[static_cast<std::size_t>(FScanFirst)] + ScanMarginMHz;
    FScanPhase0 = std::clamp(here, FScanLow, FScanHigh) - FScanLow;
    FScanLastPhase = FScanPhase0;
    FScanStart = FNow;
    FMotion = _mm_scan;
    FindNextCrossing();
}

void TControllerModel::FindNextCrossing()
{
    // The scan passes peak k at phase b (going up) and at 2L - b (going
    // down), b being the peak's distance from the low end, repeating every 2L.
    const double length = FScanHigh - FScanLow;
    const double period = 2 * length;
    double best = std::numeric_limits<double>::infinity();
    for (int k = FScanFirst; k <= FScanLast; ++k) {
        const double up = PeakOffsetsMHz[static_cast<std::size_t>(k)] - FScanLow;
        for (const double base : {up, period - up}) {
            double phase = base + period * (std::floor((FScanLastPhase - base) / period) + 1);
            if (phase <= FScanLastPhase)
                phase += period;
            if (phase < best) {
                best = phase;
                FCrossingPeak = static_cast<uint8_t>(k + 1);
            }
        }
    }
    FCrossingPhase = best;
    FCrossingDue = FScanStart + After((best - FScanPhase0) / ScanSpeedMHzPerSecond);
}

void TControllerModel::Queue(TMessageId message, uint8_t b2, uint8_t b3, bool scope)
{
    if (!FConnected)
        return;
    const uint8_t id = MessageIdByte(message);
    TOutFrame frame{{DeviceStartByte, id, b2, b3, FrameChecksum(DeviceStartByte, id, b2, b3)},
                    scope};
    if (FOptions.Noise > 0.0) {
        std::uniform_real_distribution<double> chance(0.0, 1.0);
        std::uniform_int_distribution<int> flip(1, 255);
        for (uint8_t& byte : frame.Bytes)
            if (chance(FNoiseRandom) < FOptions.Noise)
                byte = static_cast<uint8_t>(byte ^ flip(FNoiseRandom));
    }
    FOutput.push_back(frame);
    FQueuedBytes += FrameSize;
}

bool TControllerModel::QueuePeriodic(TMessageId id, uint16_t value, bool scope)
{
    if (PendingOutput() + FrameSize > FOptions.MaxBacklog) {
        ++FStats.PeriodicFramesSkipped;
        return false;
    }
    Queue(id, value & 0xFF, value >> 8, scope);
    return true;
}

std::size_t TControllerModel::PeekOutput(uint8_t* dest, std::size_t maxBytes) const
{
    std::size_t copied = 0;
    std::size_t offset = FFrontOffset;
    for (const TOutFrame& frame : FOutput) {
        if (copied == maxBytes)
            break;
        const std::size_t n = std::min(FrameSize - offset, maxBytes - copied);
        std::copy_n(frame.Bytes.begin() + static_cast<std::ptrdiff_t>(offset), n, dest + copied);
        copied += n;
        offset = 0;
    }
    return copied;
}

void TControllerModel::ConsumeOutput(std::size_t bytes)
{
    bytes = std::min(bytes, PendingOutput());
    while (bytes > 0) {
        const std::size_t n = std::min(FrameSize - FFrontOffset, bytes);
        FFrontOffset += n;
        bytes -= n;
        if (FFrontOffset == FrameSize) {
            if (FOutput.front().Scope)
                ++FStats.ScopeSamplesSent;
            FOutput.pop_front();
            FQueuedBytes -= FrameSize;
            FFrontOffset = 0;
        }
    }
}

std::vector<uint8_t> TControllerModel::TakeOutput(std::size_t maxBytes)
{
    std::vector<uint8_t> bytes(std::min(maxBytes, PendingOutput()));
    bytes.resize(PeekOutput(bytes.data(), bytes.size()));
    ConsumeOutput(bytes.size());
    return bytes;
}

} // namespace VarnelSim
