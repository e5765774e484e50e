// SPDX-License-Identifier: GPL-3.0-or-later
// A single-line field for one real number with a "-" button at its left
// edge and a "+" button at its right edge. Typed characters are filtered
// against a number pattern, the buttons and the Up and Down keys step the
// value, and Enter or leaving the field commits it: the value is limited to
// the range and rewritten with a fixed number of decimals. The text is the
// only state; the value is read from it each time it is asked for.
#pragma once

#include <QLineEdit>
#include <QString>

class QToolButton;

class TRealSpinEdit : public QLineEdit
{
    Q_OBJECT
    Q_PROPERTY(bool EditorEnabled READ EditorEnabled WRITE setEditorEnabled)
    Q_PROPERTY(bool Minus READ Minus WRITE setMinus)
    Q_PROPERTY(double Increment READ Increment WRITE setIncrement)
    Q_PROPERTY(double MinValue READ MinValue WRITE setMinValue)
    Q_PROPERTY(double MaxValue READ MaxValue WRITE setMaxValue)
    Q_PROPERTY(int Precision READ Precision WRITE setPrecision)
    Q_PROPERTY(double Value READ Value WRITE setValue)
    // Shadows the line edit's own property so that 0 means no limit.
    Q_PROPERTY(int maxLength READ maxLength WRITE setMaxLength)

public:
    explicit TRealSpinEdit(QWidget* parent = nullptr);
    ~TRealSpinEdit() override;

    bool EditorEnabled() const { return FEditorEnabled; }
    bool Minus() const { return FMinus; }
    double Increment() const { return FIncrement; }
    double MinValue() const { return FMinValue; }
    double MaxValue() const { return FMaxValue; }
    int Precision() const { return FPrecision; }

    // The number the text holds. A text that is no number is replaced by
    // MinValue, which is then returned.
    double Value();

    void setEditorEnabled(bool value) { FEditorEnabled = value; }
    void setMinus(bool value) { FMinus = value; }
    void setIncrement(double value) { FIncrement = value; }
    // The bounds take effect at the next commit or step; a bound of zero
    // does not limit.
    void setMinValue(double value) { FMinValue = value; }
    void setMaxValue(double value) { FMaxValue = value; }
    // Accepted from 0 to 14; the text is rewritten with the new number of
    // decimals. Any other value is ignored.
    void setPrecision(int value);
    // Shows the number with Precision decimals; the bounds are not applied.
    void setValue(double value);
    // 0 means no limit.
    void setMaxLength(int length);

    QToolButton* PlusButton() const { return FPlusButton; }
    QToolButton* MinusButton() const { return FMinusButton; }

    // Limits x to the bounds, and to 0 and above when Minus is false; see
    // the tolerance rules in the source.
    double ClampValue(double x) const;

    // Commits the value as leaving the field does: limits it, rewrites it
    // and emits OnConfirm.
    void CheckValueRange();

    // The text a value is shown as with the given number of decimals and
    // decimal separator.
    static QString FormatValue(double value, int precision, const QString& separator);
    // Reads a number written with a point or a comma as decimal separator
    // (or the given locale separator); false when the text is no number.
    static bool ParseValue(const QString& text, const QString& separator, double& value);

public slots:
    virtual void StepUp();
    virtual void StepDown();

signals:
    // After each commit by Enter, by leaving the field or by CheckValueRange.
    void OnConfirm();
    // After each step by a button or an arrow key.
    void OnUpDownChange();

protected:
    // Whether a typed printable character, decimal separators already made
    // the locale's, may enter the text at the caret.
    virtual bool AcceptsChar(const QString& key);

    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;

private:
    void Step(double delta);
    bool CanCutPaste() const;
    void UpdateMinimumHeight();
    void LayoutButtons();

    double FMinValue = 0;
    double FMaxValue = 0;
    double FIncrement = 1.0;
    bool FEditorEnabled = true;
    bool FMinus = true;
    int FPrecision = 3;
    QToolButton* FPlusButton;
    QToolButton* FMinusButton;
};
