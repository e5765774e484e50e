// SPDX-License-Identifier: GPL-3.0-or-later
#include "console/model/PeakTable.h"

#include "console/model/PeakFacts.h"

#include <QLocale>

TPeak::TPeak(const QString& AName, double ABaseValue, double AOffset, uint32_t AFlag)
    : Name(AName), BaseValue(ABaseValue), Value(ABaseValue + AOffset), Offset(AOffset), Flag(AFlag)
{
}

void TPeak::ChangeOffset(double avalue)
{
    Value = BaseValue + Offset + avalue;
}

TPeakTable::TPeakTable(QObject* parent) : QObject(parent)
{
    for (const TPeakRow& row : PeakRows)
        FPeakList.push_back(std::make_unique<TPeak>(QString(QChar::fromLatin1(row.Letter)),
                                                    PeakBaseValue, row.Offset, row.Flag));
}

void TPeakTable::ExpectedPeaks(uint32_t flags)
{
    FFirstAvaiablePeakIndex = -1;
    FLastAvaiablePeakIndex = -1;
    for (int32_t k = 0; k < static_cast<int32_t>(FPeakList.size()); ++k) {
        const uint32_t flag = FPeakList[static_cast<size_t>(k)]->Flag;
        if ((flags & flag) == flag) {
            if (FFirstAvaiablePeakIndex == -1)
                FFirstAvaiablePeakIndex = k;
            FLastAvaiablePeakIndex = k;
        }
    }
    FSetPeakListBoxIndex = FPeakIndex - FFirstAvaiablePeakIndex;
    emit RangeChanged();
}

void TPeakTable::ChangePeakOffset(int32_t value)
{
    for (const auto& peak : FPeakList)
        peak->ChangeOffset(value / 1000.0);
}

double TPeakTable::GetFPeakValue() const
{
    return FPeakList[FPeakIndex]->Value;
}

double TPeakTable::GetJPeakValue() const
{
    return FPeakList[JPeakIndex]->Value;
}

QString TPeakTable::FormatPeakValue(double value)
{
    QLocale locale;
    locale.setNumberOptions(locale.numberOptions() | QLocale::OmitGroupSeparator);
    return locale.toString(value, 'f', 3);
}

QString TPeakTable::PeakName(uint32_t id) const
{
    // Ids beyond the table (up to 255) name no peak.
    if (id >= 1 && id <= static_cast<uint32_t>(PeakCount))
        return FPeakList[id - 1]->Name;
    return QStringLiteral("--");
}

void TPeakTable::SelectReference(int32_t row)
{
    const int32_t reference = row == -1 ? FPeakIndex : row + FFirstAvaiablePeakIndex;
    FSetPeakListBoxIndex = reference - FFirstAvaiablePeakIndex;
    emit ReferenceChanged();
}

QStringList TPeakTable::ListRows() const
{
    QStringList rows;
    // With no reachable peak both indexes are -1 and the list is empty.
    if (FFirstAvaiablePeakIndex < 0)
        return rows;
    const int32_t reference = ReferenceIndex();
    const double referenceValue = reference >= 0 && reference < PeakCount
                                      ? FPeakList[static_cast<size_t>(reference)]->Value
                                      : 0;
    for (int32_t i = FFirstAvaiablePeakIndex; i <= FLastAvaiablePeakIndex; ++i) {
        const TPeak& peak = *FPeakList[static_cast<size_t>(i)];
        const double shown = i == reference ? peak.Value : peak.Value - referenceValue;
        rows.append(peak.Name + QStringLiteral(" -> ") + FormatPeakValue(shown));
    }
    return rows;
}

int32_t TPeakTable::SelectedPeakId() const
{
    return PeakIdOfIndex(ReferenceIndex()) & 0xFF;
}
