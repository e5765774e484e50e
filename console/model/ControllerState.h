// SPDX-License-Identifier: GPL-3.0-or-later
// The controller's state: what the messages the reader delivers tell the
// console (status, peak id, lock report, mirror positions, CFT, working
// time, checksum errors, expected peaks, f offset, scope scale, harmonic),
// kept here with a change signal for each, so that the window, the journal
// and the status bus follow the facts and never read a widget.
//
// The reader delivers to this object. The parameters read back are kept in
// its service values; the service samples and the link-loss notice are
// signalled for the service chart and the device session.
#pragma once

#include "protocol/ReadFrameUnit.h"

#include <QObject>
#include <QString>

#include <cstdint>

class TLockHistory;
class TPeakTable;
class TServiceValues;
class TTraceBuffer;

class TControllerState : public QObject, public TVarnelMessageHandlers
{
    Q_OBJECT

public:
    // The scope's samples as the chart and the data log take them: the raw
    // value measured from this zero, upwards.
    static constexpr double ScopeZero = 17640;

    explicit TControllerState(int chartRefreshMsec = 0, QObject* parent = nullptr);
    ~TControllerState() override;

    TPeakTable& Peaks() const { return *FPeaks; }
    // The facts for the journal and the status bus.
    TLockHistory& LockHistory() const { return *FLockHistory; }
    // The scope's newest samples, for the chart and the data log's backlog.
    TTraceBuffer& ScopeTrace() const { return *FScopeTrace; }
    // The parameters as last read back on this connection.
    TServiceValues& ServiceValues() const { return *FServiceValues; }

    // A new connection: the parameters read back and the checksum-error
    // count start afresh. The peak id and the working time's high half are
    // kept: a controller that was locked before the connect does not report
    // them again. A connect to another controller than the last one forgets
    // the peak id (the lock history says which).
    void ResetConnectionFacts();

    // Signals the last status again (StatusRepeated), for the views after a
    // reconnect to the same controller, which does not repeat it; nothing
    // when this controller has reported none.
    void RepeatStatus();

    // ---- the facts
    uint32_t StatusCode() const { return FStatusCode; }
    // A status came from this controller (kept across a reconnect to it).
    bool StatusKnown() const { return FStatusKnown; }
    QString StatusText() const { return FStatusText; }
    static QString StatusTextOf(uint32_t code);
    // The status as the simple menu shows it: after a lock, the lock report
    // ("locked at peak f -> ..."), else the status text.
    QString ReportText() const { return FReportText; }
    // The peak id last reported; -1 before the first of this controller.
    int32_t PeakId() const { return FPeakId; }
    // The lock report named a peak id (the one it was made for).
    bool SearchLocked = false;
    uint32_t TuningMirror() const { return FTuningMirror; }
    uint32_t StabilizationMirror() const { return FStabilizationMirror; }
    // Tenths of a degree, as reported.
    uint32_t CFT() const { return FCFT; }
    static QString CFTText(uint32_t tenths);
    // The working time's high half, in minutes, until the low half comes.
    uint32_t LifetimePart1 = 0;
    uint32_t WorkingTime() const { return FWorkingTime; }
    // Minutes as "hours:minutes", at least two digits each.
    static QString WorkingTimeText(uint32_t minutes);
    uint32_t CRCErrorCounter = 0;
    uint32_t ExpectedPeaksMask() const { return FExpectedPeaks; }
    int16_t FOffset() const { return FFOffset; }
    uint32_t ScopeScale() const { return FScopeScale; }
    uint32_t Harmonic() const { return FHarmonic; }

    // ---- the reader's messages
    void HandleScopeSample(uint32_t value) override;
    void HandleDeviceStatus(uint32_t code, uint32_t b3) override;
    void HandleTuningMirrorPosition(uint32_t b2) override;
    void HandleStabilizationMirrorPosition(uint32_t b2) override;
    void HandleDeviceEvent(uint32_t kind, uint32_t peakId) override;
    void HandleCFTTemperature(uint32_t value) override;
    void HandleServiceSample(uint32_t value) override;
    void HandlePeakId(uint32_t b2) override;
    void HandlePhaseValue(uint32_t value) override;
    void HandleDelayValue(uint32_t value) override;
    void HandlePathGainValue(uint32_t value) override;
    void HandleCFTValue(uint32_t value) override;
    void HandlePValue(uint32_t value) override;
    void HandleIValue(uint32_t value) override;
    void HandleDValue(uint32_t value) override;
    void HandlePIDGainValue(uint32_t value) override;
    void HandleExpectedPeaksValue(uint32_t value) override;
    void HandleScopeScaleValue(uint32_t value) override;
    void HandleSetPointValue(uint32_t value) override;
    void HandleHarmonicValue(uint32_t value) override;
    void HandleCFTTemp10Value(uint32_t value) override;
    void HandleCFTTemp40Value(uint32_t value) override;
    void HandleCFTOffsetValue(uint32_t value) override;
    void HandleCFTRawValue(uint32_t value) override;
    void HandleModulationValue(uint32_t value) override;
    void HandleFOffsetValue(uint32_t value) override;
    void HandleLifetimeHigh(uint32_t value) override;
    void HandleLifetimeLow(uint32_t value) override;
    void HandleCRCError() override;
    void HandleLinkLost() override;

signals:
    // A status came; after "tuning - locked" the lock report is made first.
    void StatusChanged(uint32_t code);
    // The last status (and its report text) again, unchanged: RepeatStatus.
    void StatusRepeated(uint32_t code);
    void PeakIdChanged(int32_t peakId);
    void TuningMirrorChanged(uint32_t position);
    void StabilizationMirrorChanged(uint32_t position);
    // The controller reports an event of this kind (EventKind: a peak was
    // reached, a notice, a critical stop).
    void DeviceEvent(uint32_t kind, uint32_t peakId);
    void CFTChanged(uint32_t tenths);
    void WorkingTimeChanged(uint32_t minutes);
    void CRCErrorsChanged(uint32_t count);
    // The peak table's range follows before this.
    void ExpectedPeaksChanged(uint32_t mask);
    // The peak table's offset follows after this.
    void FOffsetChanged(int16_t offset);
    void ScopeScaleChanged(uint32_t value);
    void HarmonicChanged(uint32_t value);
    // One scope sample, measured from ScopeZero, after the trace has it.
    void ScopeSample(double value);
    // One service sample, a signed 16-bit number.
    void ServiceSample(double value);
    // Every poll of the link failed for a while (the reader's notice).
    void LinkLost();

private:
    void MakeLockReport();

    TPeakTable* FPeaks;
    TLockHistory* FLockHistory;
    TTraceBuffer* FScopeTrace;
    TServiceValues* FServiceValues;

    uint32_t FStatusCode = 0;
    bool FStatusKnown = false;
    QString FStatusText;
    QString FReportText;
    int32_t FPeakId = -1;
    uint32_t FTuningMirror = 0;
    uint32_t FStabilizationMirror = 0;
    uint32_t FCFT = 0;
    uint32_t FWorkingTime = 0;
    uint32_t FExpectedPeaks = 0;
    int16_t FFOffset = 0;
    uint32_t FScopeScale = 0;
    uint32_t FHarmonic = 0;
};
