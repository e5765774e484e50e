// SPDX-License-Identifier: GPL-3.0-or-later
// The peak table: the fourteen peaks with their frequencies, the range the
// controller reports it can reach (its expected-peaks mask), the offset it
// reports for them and the reference peak the operator picked in the list.
// The window's peak list, peak label and lock report show it.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <memory>
#include <vector>

// One absorption peak the laser can lock onto. Frequencies in MHz.
class TPeak
{
public:
    TPeak(const QString& AName, double ABaseValue, double AOffset, uint32_t AFlag);
    void ChangeOffset(double avalue);

    QString Name;
    double BaseValue = 0;
    double Value = 0;
    double Offset = 0;
    uint32_t Flag = 0;
};

using TPeakList = std::vector<std::unique_ptr<TPeak>>;

class TPeakTable : public QObject
{
    Q_OBJECT

public:
    explicit TPeakTable(QObject* parent = nullptr);

    // All fourteen, in order a .. n.
    const TPeakList& PeakList() const { return FPeakList; }

    // ---- the reachable range: the peaks whose every flag bit is in the
    // mask, as indexes into the list; -1 for both when none is.
    void ExpectedPeaks(uint32_t flags);
    int32_t FirstAvaiablePeakIndex() const { return FFirstAvaiablePeakIndex; }
    int32_t LastAvaiablePeakIndex() const { return FLastAvaiablePeakIndex; }

    // ---- the offset the controller reports, in kHz; it moves every peak.
    void ChangePeakOffset(int32_t value);
    double GetFPeakValue() const;
    double GetJPeakValue() const;
    // A frequency as the peak list and the lock report show it: fixed-point,
    // three decimals, the locale's separator, no grouping.
    static QString FormatPeakValue(double value);
    // The letter of a peak id; "--" for an id that names no peak.
    QString PeakName(uint32_t id) const;

    // ---- the reference peak: a row of the list of reachable peaks, or -1
    // for the f peak. The reference shows its own frequency, every other
    // row its distance from it.
    void SelectReference(int32_t row);
    // The reference's row in the list of reachable peaks.
    int32_t SetPeakListBoxIndex() const { return FSetPeakListBoxIndex; }
    // The rows of that list, as it shows them.
    QStringList ListRows() const;
    // The id Start in automatic mode asks the controller for.
    int32_t SelectedPeakId() const;

signals:
    // The range changed (and with it the reference, back on the f peak).
    void RangeChanged();
    // The operator picked another reference.
    void ReferenceChanged();

private:
    int32_t ReferenceIndex() const { return FSetPeakListBoxIndex + FFirstAvaiablePeakIndex; }

    TPeakList FPeakList;
    int32_t FFirstAvaiablePeakIndex = 0;
    int32_t FLastAvaiablePeakIndex = 0;
    int32_t FSetPeakListBoxIndex = 0;
};
