// SPDX-License-Identifier: GPL-3.0-or-later
// The peak list with its reference peak, as the model's peak table has them.
#include "console/MainUnit.h"

#include "console/StatusColors.h"
#include "console/model/PeakTable.h"

#include <QFontDatabase>
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
    TPeakListDelegate(const TPeakTable* peaks, QObject* parent)
        : QStyledItemDelegate(parent), FPeaks(peaks)
    {
    }

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override
    {
        PeakListBoxDrawItem(painter, index.data(Qt::DisplayRole).toString(), option.rect,
                            index.row() == FPeaks->SetPeakListBoxIndex(), option.font,
                            option.palette.color(QPalette::Text));
    }

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        return {QStyledItemDelegate::sizeHint(option, index).width(), PeakRowHeight};
    }

private:
    const TPeakTable* FPeaks;
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
    PeakListBox->setItemDelegate(new TPeakListDelegate(&FState->Peaks(), PeakListBox));
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

void TMainForm::FillPeakListBox()
{
    const TPeakTable& peaks = FState->Peaks();
    PeakListBox->clear();
    PeakListBox->addItems(peaks.ListRows());
    const int32_t reference = peaks.SetPeakListBoxIndex();
    // Keyboard moves go on from the reference row; nothing is selected.
    if (reference >= 0 && reference < PeakListBox->count())
        PeakListBox->selectionModel()->setCurrentIndex(PeakListBox->model()->index(reference, 0),
                                                       QItemSelectionModel::NoUpdate);
    PeakListBox->viewport()->update();
}

void TMainForm::PeakListBoxClick()
{
    const QList<QListWidgetItem*> selected = PeakListBox->selectedItems();
    FState->Peaks().SelectReference(selected.isEmpty() ? -1 : PeakListBox->row(selected.first()));
    FillPeakListBox();
}
