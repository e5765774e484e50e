// SPDX-License-Identifier: GPL-3.0-or-later
// The fourteen peaks, the peak list with its reference peak, the peak label.
#include "console/MainUnit.h"

#include "console/model/PeakFacts.h"
#include "console/StatusColors.h"

#include <QFontDatabase>
#include <QLocale>
#include <QPainter>
#include <QStyledItemDelegate>

namespace {

constexpr int PeakRowHeight = 18;

// Draws one row of the peak list: the reference row bold on silver, every
// other row plain on the list's own background, the text from the row's
// top-left corner.
void PeakListBoxDrawItem(QPainter* painter, const QString& text, const QRect& Rect, bool reference,
                         const QFont& font, const QColor& textColor)
{
    painter->save();
    QFont rowFont = font;
    rowFont.setBold(reference);
    if (reference)
        painter->fillRect(Rect, ReferenceRowColor);
    painter->setFont(rowFont);
    painter->setPen(textColor);
    painter->drawText(Rect, Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, text);
    painter->restore();
}

// Owner drawing of PeakListBox: fixed row height, rows drawn by
// PeakListBoxDrawItem with the reference row the window names.
class TPeakListDelegate : public QStyledItemDelegate
{
public:
    TPeakListDelegate(const TMainForm* form, QObject* parent)
        : QStyledItemDelegate(parent), FForm(form)
    {
    }

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override
    {
        PeakListBoxDrawItem(painter, index.data(Qt::DisplayRole).toString(), option.rect,
                            index.row() == FForm->SetPeakListBoxIndexValue(), option.font,
                            option.palette.color(QPalette::Text));
    }

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        return {QStyledItemDelegate::sizeHint(option, index).width(), PeakRowHeight};
    }

private:
    const TMainForm* FForm;
};

} // namespace

void TMainForm::SetupPeakListBox()
{
    // The common monospaced faces here are wider than the narrow one the
    // list was laid out for; at 14 pixels the reference row's nine-digit
    // frequency still fits beside the scroll bar.
    QFont listFont = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    listFont.setPixelSize(14);
    PeakListBox->setFont(listFont);
    PeakListBox->setUniformItemSizes(true);
    PeakListBox->setItemDelegate(new TPeakListDelegate(this, PeakListBox));
    // The row the operator selects becomes the reference, whether clicked,
    // reached with the arrow keys or found by typing its letter. The refill
    // waits until the list has finished with the event that moved the
    // selection; a click has usually done the refill by then.
    connect(
        PeakListBox, &QListWidget::itemSelectionChanged, this,
        [this] {
            if (!PeakListBox->selectedItems().isEmpty())
                PeakListBoxClick();
        },
        Qt::QueuedConnection);
}

void TMainForm::BuildPeakList()
{
    for (const TPeakRow& row : PeakRows)
        FPeakList->push_back(std::make_unique<TPeak>(QString(QChar::fromLatin1(row.Letter)),
                                                     PeakBaseValue, row.Offset, row.Flag));
}

QString TMainForm::FormatPeakValue(double value)
{
    QLocale locale;
    locale.setNumberOptions(locale.numberOptions() | QLocale::OmitGroupSeparator);
    return locale.toString(value, 'f', 3);
}

void TMainForm::FillPeakListBox(int32_t row)
{
    const TPeakList& peaks = *FPeakList;
    const int32_t reference = row == -1 ? FPeakIndex : row + FirstAvaiablePeakIndex;
    const double referenceValue = peaks[static_cast<size_t>(reference)]->Value;
    PeakListBox->clear();
    // With no reachable peak both indexes are -1 and the list stays empty.
    if (FirstAvaiablePeakIndex >= 0) {
        for (int32_t i = FirstAvaiablePeakIndex; i <= LastAvaiablePeakIndex; ++i) {
            const TPeak& peak = *peaks[static_cast<size_t>(i)];
            const double shown = i == reference ? peak.Value : peak.Value - referenceValue;
            PeakListBox->addItem(peak.Name + QStringLiteral(" -> ") + FormatPeakValue(shown));
        }
    }
    SetPeakListBoxIndex = reference - FirstAvaiablePeakIndex;
    // Keyboard moves go on from the reference row; nothing is selected.
    if (SetPeakListBoxIndex >= 0 && SetPeakListBoxIndex < PeakListBox->count())
        PeakListBox->selectionModel()->setCurrentIndex(
            PeakListBox->model()->index(SetPeakListBoxIndex, 0), QItemSelectionModel::NoUpdate);
    PeakListBox->viewport()->update();
}

void TMainForm::ExpectedPeaks(uint32_t flags)
{
    FirstAvaiablePeakIndex = -1;
    LastAvaiablePeakIndex = -1;
    const TPeakList& peaks = *FPeakList;
    for (int32_t k = 0; k < static_cast<int32_t>(peaks.size()); ++k) {
        const uint32_t flag = peaks[static_cast<size_t>(k)]->Flag;
        if ((flags & flag) == flag) {
            if (FirstAvaiablePeakIndex == -1)
                FirstAvaiablePeakIndex = k;
            LastAvaiablePeakIndex = k;
        }
    }
    ExpectedPeaksFromComboBox->setCurrentIndex(FirstAvaiablePeakIndex);
    ExpectedPeaksToComboBox->setCurrentIndex(LastAvaiablePeakIndex);
    FillPeakListBox(-1);
    PrepareSimpleMenu();
}

void TMainForm::SetPeakLabelByIndex(uint32_t id)
{
    // Ids beyond the table (up to 255) name no peak.
    if (id >= 1 && id <= static_cast<uint32_t>(PeakCount))
        PeakLabel->setText((*FPeakList)[id - 1]->Name);
    else
        PeakLabel->setText(QStringLiteral("--"));
}

void TMainForm::ChangePeakOffset(int32_t value)
{
    for (const auto& peak : *FPeakList)
        peak->ChangeOffset(value / 1000.0);
}

double TMainForm::GetFPeakValue() const
{
    return (*FPeakList)[FPeakIndex]->Value;
}

double TMainForm::GetJPeakValue() const
{
    return (*FPeakList)[JPeakIndex]->Value;
}

int32_t TMainForm::SelectedPeakId() const
{
    return PeakIdOfIndex(SetPeakListBoxIndex + FirstAvaiablePeakIndex) & 0xFF;
}

void TMainForm::PeakListBoxClick()
{
    const QList<QListWidgetItem*> selected = PeakListBox->selectedItems();
    FillPeakListBox(selected.isEmpty() ? -1 : PeakListBox->row(selected.first()));
}
