// SPDX-License-Identifier: GPL-3.0-or-later
#include "console/PeakPanel.h"

#include "ui_MainForm.h"

#include "console/StatusColors.h"
#include "console/model/ConsoleSession.h"
#include "console/model/ControllerState.h"
#include "console/model/PeakFacts.h"
#include "console/model/PeakTable.h"
#include "protocol/Messages.h"

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

TPeakPanel::TPeakPanel(Ui::TMainForm& ui, TConsoleSession& session, QObject* parent)
    : QObject(parent), FUi(ui), FState(session.State()), FSession(session)
{
    TControllerState& state = session.State();
    SetupPeakListBox();
    connect(ui.PeakListBox, &QListWidget::clicked, this, &TPeakPanel::PeakListBoxClick);
    connect(ui.StartButton, &QPushButton::clicked, this, &TPeakPanel::StartButtonClick);
    connect(ui.LockButton, &QPushButton::clicked, this, &TPeakPanel::LockButtonClick);
    connect(&state, &TControllerState::StatusChanged, this, [this](uint32_t code) {
        if (code == StatusCode::Locked)
            ShowLockReport();
    });
    connect(&state, &TControllerState::ExpectedPeaksChanged, this, &TPeakPanel::FillPeakListBox);
}

void TPeakPanel::SetupPeakListBox()
{
    // The common monospaced faces here are wider than the narrow one the
    // list was laid out for; at 14 pixels the reference row's nine-digit
    // frequency still fits beside the scroll bar.
    QFont listFont = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    listFont.setPixelSize(14);
    FUi.PeakListBox->setFont(listFont);
    FUi.PeakListBox->setUniformItemSizes(true);
    FUi.PeakListBox->setItemDelegate(new TPeakListDelegate(&FState.Peaks(), FUi.PeakListBox));
    // The row the operator selects becomes the reference, whether clicked,
    // reached with the arrow keys or found by typing its letter. The refill
    // waits until the list has finished with the event that moved the
    // selection; a click has usually done the refill by then.
    connect(
        FUi.PeakListBox, &QListWidget::itemSelectionChanged, this,
        [this] {
            if (!FUi.PeakListBox->selectedItems().isEmpty())
                PeakListBoxClick();
        },
        Qt::QueuedConnection);
}

void TPeakPanel::FillPeakListBox()
{
    const TPeakTable& peaks = FState.Peaks();
    FUi.PeakListBox->clear();
    FUi.PeakListBox->addItems(peaks.ListRows());
    const int32_t reference = peaks.SetPeakListBoxIndex();
    // Keyboard moves go on from the reference row; nothing is selected.
    if (reference >= 0 && reference < FUi.PeakListBox->count())
        FUi.PeakListBox->selectionModel()->setCurrentIndex(
            FUi.PeakListBox->model()->index(reference, 0), QItemSelectionModel::NoUpdate);
    FUi.PeakListBox->viewport()->update();
}

void TPeakPanel::PeakListBoxClick()
{
    const QList<QListWidgetItem*> selected = FUi.PeakListBox->selectedItems();
    FState.Peaks().SelectReference(selected.isEmpty() ? -1
                                                      : FUi.PeakListBox->row(selected.first()));
    FillPeakListBox();
}

void TPeakPanel::StartButtonClick()
{
    const bool automatic = FUi.AutomaticRadioButton->isChecked();
    if (automatic)
        FSession.Start(_sm_automatic, FState.Peaks().SelectedPeakId());
    else
        FSession.Start(_sm_half_automatic);
    FUi.LockButton->setVisible(!automatic);
    FUi.PeakLabel->setText(QStringLiteral("--"));
}

void TPeakPanel::LockButtonClick()
{
    FSession.Lock();
}

void TPeakPanel::ShowLockReport()
{
    const int N = FState.PeakId();
    if (N < 0)
        return;
    const bool known = IsPeakId(N);
    const QChar letter = known ? PeakLetter(N) : QChar();
    // The row of the peak table's list that names the peak, where the list
    // shows the table's rows.
    const QStringList rows = FState.Peaks().ListRows();
    for (int row = 0; known && row < rows.size() && row < FUi.PeakListBox->count(); ++row) {
        if (rows[row].startsWith(letter)) {
            FUi.PeakListBox->setCurrentRow(row);
            PeakListBoxClick();
            break;
        }
    }
    FUi.PeakLabel->setText(FState.Peaks().PeakName(static_cast<uint32_t>(N)));
}
