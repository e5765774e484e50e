// SPDX-License-Identifier: GPL-3.0-or-later
#include "widgets/RealSpinEdit.h"

#include <QAction>
#include <QApplication>
#include <QContextMenuEvent>
#include <QCoreApplication>
#include <QFocusEvent>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLocale>
#include <QMenu>
#include <QMouseEvent>
#include <QRegularExpression>
#include <QToolButton>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// Digits shown at most; beyond them a fixed-point text shows zeros.
constexpr int SignificantDigits = 15;
// Digits a number is expanded to before it is cut and rounded.
constexpr int ExpandedDigits = 18;
constexpr double Tolerance = 1e-12;

QString DecimalSeparator()
{
    return QLocale().decimalPoint();
}

bool SameValue(double a, double b)
{
    return std::fabs(a - b) <=
           std::max(Tolerance, Tolerance * std::min(std::fabs(a), std::fabs(b)));
}

bool IsZero(double a)
{
    return std::fabs(a) <= Tolerance;
}

// Adds one to a string of decimal digits; "99" becomes "100", "" becomes "1".
void Increment(std::string& digits)
{
    for (auto it = digits.rbegin(); it != digits.rend(); ++it) {
        if (*it != '9') {
            ++*it;
            return;
        }
        *it = '0';
    }
    digits.insert(digits.begin(), '1');
}

// The first `keep` of the 18 expanded digits, rounded up in magnitude when
// the first digit cut off is 5 or more. A negative `keep` keeps nothing and
// rounds down.
std::string CutDigits(const std::string& expanded, int keep)
{
    if (keep < 0) {
        return {};
    }
    std::string kept = expanded.substr(0, keep);
    if (expanded[keep] >= '5') {
        Increment(kept);
    }
    return kept;
}

} // namespace

TRealSpinEdit::TRealSpinEdit(QWidget* parent)
    : QLineEdit(parent), FPlusButton(new QToolButton(this)), FMinusButton(new QToolButton(this))
{
    for (auto [button, sign] : {std::pair{FPlusButton, "+"}, std::pair{FMinusButton, "-"}}) {
        button->setText(QString::fromLatin1(sign));
        button->setFocusPolicy(Qt::NoFocus);
        button->setCursor(Qt::ArrowCursor);
        QFont font = button->font();
        font.setPointSize(11);
        button->setFont(font);
    }
    connect(FPlusButton, &QToolButton::clicked, this, &TRealSpinEdit::StepUp);
    connect(FMinusButton, &QToolButton::clicked, this, &TRealSpinEdit::StepDown);

    // Every character must pass the key filter, so none may arrive through
    // an input method.
    setAttribute(Qt::WA_InputMethodEnabled, false);
    setAlignment(Qt::AlignCenter);
    UpdateMinimumHeight();
    resize(145, 22);
    LayoutButtons();
    setValue(0);
}

TRealSpinEdit::~TRealSpinEdit() = default;

double TRealSpinEdit::Value()
{
    double value = 0;
    if (ParseValue(text(), DecimalSeparator(), value)) {
        return value;
    }
    setValue(FMinValue);
    return FMinValue;
}

void TRealSpinEdit::setValue(double value)
{
    setText(FormatValue(value, FPrecision, DecimalSeparator()));
}

void TRealSpinEdit::setPrecision(int value)
{
    if (value < 0 || value > 14) {
        return;
    }
    const double current = Value();
    FPrecision = value;
    setValue(current);
}

void TRealSpinEdit::setMaxLength(int length)
{
    QLineEdit::setMaxLength(length == 0 ? 32767 : length);
}

// Two numbers are the same when they differ by at most the larger of 1e-12
// and 1e-12 times the smaller magnitude; a bound of magnitude up to 1e-12
// counts as zero and does not limit. Equal bounds mean no limits at all.
// A field that takes no minus never holds a negative number, whatever its
// bounds: "-" at 0 stays at 0.
double TRealSpinEdit::ClampValue(double x) const
{
    double limited = x;
    if (!SameValue(FMinValue, FMaxValue)) {
        if (!IsZero(FMinValue) && x < FMinValue && !SameValue(x, FMinValue)) {
            limited = FMinValue;
        } else if (!IsZero(FMaxValue) && x > FMaxValue && !SameValue(x, FMaxValue)) {
            limited = FMaxValue;
        }
    }
    return !FMinus && limited < 0 ? 0.0 : limited;
}

void TRealSpinEdit::CheckValueRange()
{
    setValue(ClampValue(Value()));
    emit OnConfirm();
}

void TRealSpinEdit::StepUp()
{
    Step(FIncrement);
}

void TRealSpinEdit::StepDown()
{
    Step(-FIncrement);
}

void TRealSpinEdit::Step(double delta)
{
    if (isReadOnly()) {
        QApplication::beep();
    } else {
        setValue(ClampValue(Value() + delta));
        emit OnUpDownChange();
    }
    setFocus();
}

// Fixed point with exactly `precision` decimals. The number is expanded to
// 18 significant digits and cut after the last digit shown (its last
// decimal, or its 15th significant digit if that comes first), rounding up
// in magnitude when the first digit cut off is 5 or more. Numbers whose
// integer part needs more than 15 digits are written in scientific notation
// with 15 significant digits.
QString TRealSpinEdit::FormatValue(double value, int precision, const QString& separator)
{
    if (std::isnan(value)) {
        return QStringLiteral("NAN");
    }
    if (std::isinf(value)) {
        return value < 0 ? QStringLiteral("-INF") : QStringLiteral("INF");
    }

    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "%.*e", ExpandedDigits - 1, std::fabs(value));
    const char* e = std::strchr(buffer, 'e');
    const int exponent = std::atoi(e + 1);
    std::string expanded(1, buffer[0]);
    expanded.append(static_cast<const char*>(buffer + 2), e);

    // The kept digits K stand for K * 10^scale.
    const int keep = std::min(exponent + precision + 1, SignificantDigits);
    const int scale = exponent - keep + 1;
    std::string kept = CutDigits(expanded, keep);
    const bool zero = kept.find_first_not_of('0') == std::string::npos;
    const QString sign = value < 0 && !zero ? QStringLiteral("-") : QString();

    if (!zero && int(kept.size()) + scale > SignificantDigits) {
        std::string mantissa = CutDigits(expanded, SignificantDigits);
        int shown = exponent;
        if (int(mantissa.size()) > SignificantDigits) {
            mantissa.pop_back();
            ++shown;
        }
        return sign + QChar(mantissa[0]) + separator + QString::fromStdString(mantissa.substr(1)) +
               QStringLiteral("E+") + QString::number(shown);
    }

    std::string digits = kept + std::string(scale + precision, '0');
    digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size()));
    if (int(digits.size()) < precision + 1) {
        digits.insert(0, precision + 1 - digits.size(), '0');
    }
    QString result = sign + QString::fromStdString(digits);
    if (precision > 0) {
        result.insert(result.size() - precision, separator);
    }
    return result;
}

// Optional surrounding blanks, an optional sign, digits with at most one
// decimal separator (a point, a comma or the locale's) and an optional
// exponent.
bool TRealSpinEdit::ParseValue(const QString& text, const QString& separator, double& value)
{
    QString normalised = text.trimmed();
    if (!separator.isEmpty()) {
        normalised.replace(separator, QStringLiteral("."));
    }
    normalised.replace(QLatin1Char(','), QLatin1Char('.'));
    const std::string s = normalised.toStdString();
    const char* begin = s.data();
    const char* end = begin + s.size();
    const char* body = begin != end && (*begin == '+' || *begin == '-') ? begin + 1 : begin;
    if (body == end || !(std::isdigit(static_cast<unsigned char>(*body)) || *body == '.')) {
        return false;
    }
    if (*begin == '+') {
        ++begin;
    }
    double parsed = 0;
    const auto [ptr, ec] = std::from_chars(begin, end, parsed, std::chars_format::general);
    if (ec != std::errc() || ptr != end || !std::isfinite(parsed)) {
        return false;
    }
    value = parsed;
    return true;
}

bool TRealSpinEdit::AcceptsChar(const QString& key)
{
    QString candidate = text();
    int at = cursorPosition();
    if (hasSelectedText()) {
        at = selectionStart();
        candidate.remove(at, selectionLength());
    }
    candidate.insert(at, key);

    const QString pattern = QStringLiteral("^") + (FMinus ? QStringLiteral("[-]?") : QString()) +
                            QStringLiteral("([0-9]+[") +
                            QRegularExpression::escape(DecimalSeparator()) +
                            QStringLiteral("]?[0-9]*)?$");
    if (!QRegularExpression(pattern).match(candidate).hasMatch()) {
        return false;
    }
    return FEditorEnabled;
}

bool TRealSpinEdit::CanCutPaste() const
{
    return FEditorEnabled && !isReadOnly();
}

void TRealSpinEdit::keyPressEvent(QKeyEvent* event)
{
    switch (event->key()) {
    case Qt::Key_Up:
    case Qt::Key_Down:
        if (event->key() == Qt::Key_Up) {
            StepUp();
        } else {
            StepDown();
        }
        QLineEdit::keyPressEvent(event);
        event->accept();
        return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        CheckValueRange();
        event->accept();
        return;
    default:
        break;
    }

    if (event->matches(QKeySequence::Cut) || event->matches(QKeySequence::Paste)) {
        if (CanCutPaste()) {
            QLineEdit::keyPressEvent(event);
        } else {
            event->accept();
        }
        return;
    }

    // Shortcuts (copy, select all, undo, ...) and editing keys (backspace,
    // delete, the caret keys) go to the line edit unfiltered; only printable
    // text is tested against the number pattern.
    const QString typed = event->text();
    const bool printable = !typed.isEmpty() && std::all_of(typed.begin(), typed.end(),
                                                           [](QChar c) { return c.isPrint(); });
    if (!printable || (event->modifiers() & (Qt::ControlModifier | Qt::MetaModifier))) {
        QLineEdit::keyPressEvent(event);
        return;
    }

    const QString separator = DecimalSeparator();
    for (const QChar c : typed) {
        const QString key = c == QLatin1Char('.') || c == QLatin1Char(',') ? separator : QString(c);
        if (!AcceptsChar(key)) {
            QApplication::beep();
            break;
        }
        QKeyEvent one(event->type(), event->key(), event->modifiers(), key, event->isAutoRepeat());
        QLineEdit::keyPressEvent(&one);
    }
    event->accept();
}

void TRealSpinEdit::focusInEvent(QFocusEvent* event)
{
    QLineEdit::focusInEvent(event);
    const Qt::FocusReason reason = event->reason();
    if (reason != Qt::MouseFocusReason && reason != Qt::PopupFocusReason &&
        reason != Qt::ActiveWindowFocusReason) {
        selectAll();
    }
}

void TRealSpinEdit::focusOutEvent(QFocusEvent* event)
{
    // A context menu or another window taking the keyboard is no leaving of
    // the field.
    const Qt::FocusReason reason = event->reason();
    if (reason != Qt::PopupFocusReason && reason != Qt::ActiveWindowFocusReason) {
        CheckValueRange();
    }
    QLineEdit::focusOutEvent(event);
}

void TRealSpinEdit::resizeEvent(QResizeEvent* event)
{
    QLineEdit::resizeEvent(event);
    LayoutButtons();
}

void TRealSpinEdit::changeEvent(QEvent* event)
{
    QLineEdit::changeEvent(event);
    if (event->type() == QEvent::FontChange) {
        UpdateMinimumHeight();
    } else if (event->type() == QEvent::ReadOnlyChange) {
        // The line edit turns input methods back on when it becomes writable.
        setAttribute(Qt::WA_InputMethodEnabled, false);
    }
}

void TRealSpinEdit::contextMenuEvent(QContextMenuEvent* event)
{
    QMenu* menu = createStandardContextMenu();
    if (!CanCutPaste()) {
        // The line edit names its actions only in its (translated) texts.
        const QString cut = QCoreApplication::translate("QLineEdit", "Cu&t");
        const QString paste = QCoreApplication::translate("QLineEdit", "&Paste");
        for (QAction* action : menu->actions()) {
            const QString caption = action->text().section(QLatin1Char('\t'), 0, 0);
            if (caption == cut || caption == paste) {
                action->setEnabled(false);
            }
        }
    }
    menu->setAttribute(Qt::WA_DeleteOnClose);
    menu->popup(event->globalPos());
}

void TRealSpinEdit::mouseReleaseEvent(QMouseEvent* event)
{
    // The middle button pastes the selection clipboard.
    if (event->button() == Qt::MiddleButton && !CanCutPaste()) {
        event->accept();
        return;
    }
    QLineEdit::mouseReleaseEvent(event);
}

void TRealSpinEdit::dragEnterEvent(QDragEnterEvent* event)
{
    if (!CanCutPaste()) {
        event->ignore();
        return;
    }
    QLineEdit::dragEnterEvent(event);
}

// The font's character height, a quarter of the smaller of it and the
// application font's, room for a sunken border and two pixels.
void TRealSpinEdit::UpdateMinimumHeight()
{
    const int fontHeight = fontMetrics().height();
    const int systemHeight = QFontMetrics(QApplication::font()).height();
    setMinimumHeight(fontHeight + std::min(fontHeight, systemHeight) / 4 + 4 + 2);
}

void TRealSpinEdit::LayoutButtons()
{
    const int side = height();
    FMinusButton->setGeometry(0, 0, side, side);
    FPlusButton->setGeometry(width() - side, 0, side, side);
    setTextMargins(side, 0, side, 0);
}
