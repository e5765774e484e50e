// SPDX-License-Identifier: GPL-3.0-or-later
#include "widgets/RealSpinEdit.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QLocale>
#include <QMenu>
#include <QSignalSpy>
#include <QTest>
#include <QToolButton>
#include <QVBoxLayout>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

// Runs a check under a comma locale and under a point locale.
class LocaleScope
{
public:
    explicit LocaleScope(const QLocale& locale) { QLocale::setDefault(locale); }
    ~LocaleScope() { QLocale::setDefault(FSaved); }

private:
    QLocale FSaved;
};

const std::vector<QLocale> Locales = {QLocale(QLocale::Polish), QLocale::c()};

// An expected text written with a point, shown with the locale's separator.
std::string Localised(const char* pointText)
{
    return QString::fromLatin1(pointText)
        .replace(QLatin1Char('.'), QLocale().decimalPoint())
        .toStdString();
}

std::string TextOf(const TRealSpinEdit& edit)
{
    return edit.text().toStdString();
}

// A shown window holding the edit and a second field to move the focus to.
struct Window
{
    QWidget window;
    TRealSpinEdit* edit = new TRealSpinEdit;
    QLineEdit* other = new QLineEdit;

    Window()
    {
        auto* layout = new QVBoxLayout(&window);
        layout->addWidget(edit);
        layout->addWidget(other);
        window.show();
        window.activateWindow();
        edit->setFocus();
    }
};

} // namespace

TEST(RealSpinEdit, WritesValueWithFixedDecimals)
{
    struct Case
    {
        double value;
        int precision;
        const char* expected;
    };
    const std::vector<Case> cases = {
        {0, 3, "0.000"},
        {0, 0, "0"},
        {7.25, 0, "7"},
        {7.5, 0, "8"},
        {-7.5, 0, "-8"},
        {23.25, 1, "23.3"},
        {23.45, 1, "23.4"}, // stored a little below 23.45
        {0.05, 1, "0.1"},
        {0.04, 1, "0.0"},
        {0.6, 0, "1"},
        {-0.0001, 2, "0.00"},
        {999.96, 1, "1000.0"},
        {300, 0, "300"},
        {-200, 0, "-200"},
        {123456.789, 14, "123456.78900000000000"}, // 15 significant digits, then zeros
        {999999999999999, 0, "999999999999999"},
        {1e15, 0, "1.00000000000000E+15"},
        {-1.5e20, 2, "-1.50000000000000E+20"},
    };
    for (const QLocale& locale : Locales) {
        LocaleScope scope(locale);
        SCOPED_TRACE(locale.name().toStdString());
        TRealSpinEdit edit;
        for (const Case& c : cases) {
            SCOPED_TRACE(c.expected);
            edit.setPrecision(c.precision);
            edit.setValue(c.value);
            EXPECT_EQ(TextOf(edit), Localised(c.expected));
        }
    }
}

TEST(RealSpinEdit, ReadsValueOrFallsBackToMinValue)
{
    struct Case
    {
        const char* text;
        double value;
        const char* textAfter; // nullptr: unchanged
    };
    const std::vector<Case> cases = {
        {"1.5", 1.5, nullptr},  {"1,5", 1.5, nullptr},        {" -2.25 ", -2.25, nullptr},
        {"12,", 12, nullptr},   {"+3", 3, nullptr},           {"+-3", -3, "-3.0"},
        {"1e3", 1000, nullptr}, {"1.5E+20", 1.5e20, nullptr}, {"", -3, "-3.0"},
        {"-", -3, "-3.0"},      {"12,5,1", -3, "-3.0"},       {",", -3, "-3.0"},
        {"1 000", -3, "-3.0"},  {"inf", -3, "-3.0"},          {"nan", -3, "-3.0"},
        {"0x10", -3, "-3.0"},   {"1e999", -3, "-3.0"},        {"5%", -3, "-3.0"},
    };
    for (const QLocale& locale : Locales) {
        LocaleScope scope(locale);
        SCOPED_TRACE(locale.name().toStdString());
        TRealSpinEdit edit;
        edit.setPrecision(1);
        edit.setMinValue(-3);
        for (const Case& c : cases) {
            SCOPED_TRACE(c.text);
            edit.setText(c.text);
            EXPECT_DOUBLE_EQ(edit.Value(), c.value);
            EXPECT_EQ(TextOf(edit), c.textAfter ? Localised(c.textAfter) : std::string(c.text));
        }
    }
}

TEST(RealSpinEdit, ClampValue)
{
    struct Case
    {
        double min, max, x, expected;
        bool minus = true;
    };
    const std::vector<Case> cases = {
        {0, 100, -1, -1},   // a zero lower bound does not limit
        {0, 100, 101, 100}, //
        {0, 0, -1e9, -1e9}, // no limits at all
        {0, 0, 1e9, 1e9},
        {-200, 200, 250, 200},
        {-200, 200, -300, -200},
        {-200, 200, 17, 17},
        {5, 5, -1e9, -1e9},                    // equal bounds do not limit
        {5, 5 + 1e-13, 1e9, 1e9},              // nor bounds within the tolerance
        {-200, 200, 200 + 1e-10, 200 + 1e-10}, // the same as the bound
        {-200, 200, 200 + 1e-9, 200},
        {1e-13, 100, -5, -5}, // a bound within the tolerance of zero
        {-100, -1e-13, 5, 5},
        // A field without minus holds no negative number, whatever its bounds.
        {0, 100, -1, 0, false},
        {0, 0, -1e9, 0, false},
        {-200, 200, -300, 0, false},
        {0, 100, 101, 100, false},
        {0, 0, 1e9, 1e9, false},
    };
    TRealSpinEdit edit;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.min << " .. " << c.max << ": " << c.x << (c.minus ? "" : ", no minus"));
        edit.setMinus(c.minus);
        edit.setMinValue(c.min);
        edit.setMaxValue(c.max);
        EXPECT_DOUBLE_EQ(edit.ClampValue(c.x), c.expected);
    }
}

TEST(RealSpinEdit, TypingIsFiltered)
{
    struct Case
    {
        const char* name;
        bool minus;
        bool editorEnabled;
        const char* initial;
        int selectionStart, selectionLength; // -1: caret at the end
        const char* typed;
        const char* expected;
    };
    const std::vector<Case> cases = {
        {"comma becomes the separator", true, true, "", -1, 0, "5,2", "5.2"},
        {"point becomes the separator", true, true, "", -1, 0, "5.2", "5.2"},
        {"no leading separator", true, true, "", -1, 0, ",5", "5"},
        {"one separator only", true, true, "", -1, 0, "1.2,3", "1.23"},
        {"minus allowed", true, true, "", -1, 0, "-5", "-5"},
        {"minus refused", false, true, "", -1, 0, "-5", "5"},
        {"minus only in front", true, true, "", -1, 0, "5-", "5"},
        {"no letters, percent or apostrophe", true, true, "", -1, 0, "1a%'2 +e3", "123"},
        {"typing replaces the selection", true, true, "123", 1, 1, "4", "143"},
        {"a separator into the selection", true, true, "123", 1, 2, ",", "1."},
        {"editor disabled", true, false, "12", -1, 0, "3", "12"},
    };
    for (const QLocale& locale : Locales) {
        LocaleScope scope(locale);
        SCOPED_TRACE(locale.name().toStdString());
        Window w;
        for (const Case& c : cases) {
            SCOPED_TRACE(c.name);
            w.edit->setMinus(c.minus);
            w.edit->setEditorEnabled(c.editorEnabled);
            w.edit->setText(QString::fromLatin1(c.initial).replace('.', QLocale().decimalPoint()));
            if (c.selectionStart >= 0) {
                w.edit->setSelection(c.selectionStart, c.selectionLength);
            }
            QTest::keyClicks(w.edit, c.typed);
            EXPECT_EQ(TextOf(*w.edit), Localised(c.expected));
        }
    }
}

TEST(RealSpinEdit, EditingKeysAndShortcutsPass)
{
    Window w;
    w.edit->setText("123");
    QTest::keyClick(w.edit, Qt::Key_Backspace);
    EXPECT_EQ(TextOf(*w.edit), "12");
    QTest::keyClick(w.edit, Qt::Key_Home);
    QTest::keyClick(w.edit, Qt::Key_Delete);
    EXPECT_EQ(TextOf(*w.edit), "2");
    QTest::keyClick(w.edit, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(w.edit, "9");
    EXPECT_EQ(TextOf(*w.edit), "9");
}

TEST(RealSpinEdit, CutAndPasteNeedAnEnabledWritableEditor)
{
    Window w;
    QClipboard* clipboard = QApplication::clipboard();
    struct Case
    {
        bool editorEnabled, readOnly, allowed;
    };
    for (const Case c :
         {Case{true, false, true}, Case{false, false, false}, Case{true, true, false}}) {
        SCOPED_TRACE(testing::Message()
                     << "enabled " << c.editorEnabled << ", read-only " << c.readOnly);
        w.edit->setEditorEnabled(c.editorEnabled);
        w.edit->setReadOnly(c.readOnly);

        clipboard->setText("42");
        w.edit->setText("7");
        w.edit->selectAll();
        QTest::keyClick(w.edit, Qt::Key_V, Qt::ControlModifier);
        EXPECT_EQ(TextOf(*w.edit), c.allowed ? "42" : "7");

        const std::string before = TextOf(*w.edit);
        clipboard->setText("x");
        w.edit->selectAll();
        QTest::keyClick(w.edit, Qt::Key_X, Qt::ControlModifier);
        EXPECT_EQ(TextOf(*w.edit), c.allowed ? "" : before);
        EXPECT_EQ(clipboard->text().toStdString(), c.allowed ? before : "x");

        // The same through the context menu, which a read-only edit builds
        // without these two commands.
        const auto triggerMenuCommand = [&](const char* caption) {
            QContextMenuEvent event(QContextMenuEvent::Keyboard, QPoint(5, 5),
                                    w.edit->mapToGlobal(QPoint(5, 5)));
            QApplication::sendEvent(w.edit, &event);
            std::unique_ptr<QMenu> menu(w.edit->findChild<QMenu*>());
            ASSERT_NE(menu, nullptr);
            for (QAction* action : menu->actions()) {
                if (action->text().startsWith(caption)) {
                    action->trigger();
                }
            }
        };
        w.edit->setText("7");
        w.edit->selectAll();
        clipboard->setText("42");
        triggerMenuCommand("&Paste");
        EXPECT_EQ(TextOf(*w.edit), c.allowed ? "42" : "7");

        clipboard->setText("x");
        w.edit->selectAll();
        triggerMenuCommand("Cu&t");
        EXPECT_EQ(TextOf(*w.edit), c.allowed ? "" : "7");
        EXPECT_EQ(clipboard->text().toStdString(), c.allowed ? "42" : "x");
    }
}

TEST(RealSpinEdit, CommitLimitsRewritesAndConfirms)
{
    for (const QLocale& locale : Locales) {
        LocaleScope scope(locale);
        SCOPED_TRACE(locale.name().toStdString());
        Window w;
        w.edit->setMinValue(-200);
        w.edit->setMaxValue(200);
        w.edit->setPrecision(0);
        QSignalSpy confirmed(w.edit, &TRealSpinEdit::OnConfirm);

        struct Case
        {
            const char* typed;
            const char* expected;
        };
        for (const Case& c : {Case{"250", "200"}, Case{"-300", "-200"}, Case{"7,5", "8"},
                              Case{"7.25", "7"}, Case{"-", "-200"}}) {
            SCOPED_TRACE(c.typed);
            w.edit->clear();
            confirmed.clear();
            QTest::keyClicks(w.edit, c.typed);
            QTest::keyClick(w.edit, Qt::Key_Return);
            EXPECT_EQ(TextOf(*w.edit), c.expected);
            EXPECT_EQ(confirmed.count(), 1);
        }

        // Leaving the field commits too.
        ASSERT_TRUE(QTest::qWaitForWindowActive(&w.window));
        w.edit->setFocus();
        QTRY_VERIFY(w.edit->hasFocus());
        w.edit->setText("1000");
        confirmed.clear();
        w.other->setFocus();
        QTRY_VERIFY(w.other->hasFocus());
        EXPECT_EQ(TextOf(*w.edit), "200");
        EXPECT_EQ(confirmed.count(), 1);
    }
}

TEST(RealSpinEdit, Stepping)
{
    enum How
    {
        PlusButton,
        MinusButton,
        UpKey,
        DownKey
    };
    struct Case
    {
        const char* name;
        double min, max;
        bool readOnly;
        const char* initial;
        How how;
        const char* expected;
        bool minus = true;
    };
    const std::vector<Case> cases = {
        {"zero lower bound does not limit", 0, 100, false, "0", MinusButton, "-1"},
        {"no minus: \"-\" at 0 stays at 0", 0, 100, false, "0", MinusButton, "0", false},
        {"no minus, no limits: down key at 0", 0, 0, false, "0", DownKey, "0", false},
        {"upper bound holds", 0, 100, false, "100", PlusButton, "100"},
        {"up key", 0, 100, false, "41", UpKey, "42"},
        {"down key", -200, 200, false, "-200", DownKey, "-200"},
        {"from an unreadable text", -200, 200, false, "-", PlusButton, "-199"},
        {"no limits", 0, 0, false, "1e6", PlusButton, "1000001"},
        {"read-only", 0, 100, true, "5", PlusButton, "5"},
    };
    Window w;
    w.edit->setPrecision(0);
    QSignalSpy stepped(w.edit, &TRealSpinEdit::OnUpDownChange);
    QSignalSpy confirmed(w.edit, &TRealSpinEdit::OnConfirm);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        w.edit->setMinus(c.minus);
        w.edit->setMinValue(c.min);
        w.edit->setMaxValue(c.max);
        w.edit->setReadOnly(c.readOnly);
        w.edit->setText(c.initial);
        stepped.clear();
        switch (c.how) {
        case PlusButton:
            QTest::mouseClick(w.edit->PlusButton(), Qt::LeftButton);
            break;
        case MinusButton:
            QTest::mouseClick(w.edit->MinusButton(), Qt::LeftButton);
            break;
        case UpKey:
            QTest::keyClick(w.edit, Qt::Key_Up);
            break;
        case DownKey:
            QTest::keyClick(w.edit, Qt::Key_Down);
            break;
        }
        EXPECT_EQ(TextOf(*w.edit), c.expected);
        EXPECT_EQ(stepped.count(), c.readOnly ? 0 : 1);
    }
    EXPECT_EQ(confirmed.count(), 0);
}

TEST(RealSpinEdit, PrecisionAndValueWrites)
{
    for (const QLocale& locale : Locales) {
        LocaleScope scope(locale);
        SCOPED_TRACE(locale.name().toStdString());
        TRealSpinEdit edit;
        EXPECT_EQ(TextOf(edit), Localised("0.000"));

        edit.setPrecision(0);
        edit.setMaxValue(255);
        edit.setValue(300); // writing does not apply the bounds
        EXPECT_EQ(TextOf(edit), "300");
        EXPECT_DOUBLE_EQ(edit.Value(), 300);

        edit.setPrecision(2);
        EXPECT_EQ(TextOf(edit), Localised("300.00"));
        for (int invalid : {15, -1}) {
            edit.setPrecision(invalid);
            EXPECT_EQ(edit.Precision(), 2);
            EXPECT_EQ(TextOf(edit), Localised("300.00"));
        }
        edit.setPrecision(14);
        edit.setValue(0.1);
        EXPECT_EQ(TextOf(edit), Localised("0.10000000000000"));
    }
}

TEST(RealSpinEdit, NewEditAndLayout)
{
    TRealSpinEdit edit;
    EXPECT_EQ(edit.width(), 145);
    EXPECT_GE(edit.height(), 22);
    EXPECT_EQ(edit.alignment(), Qt::AlignCenter);
    EXPECT_EQ(edit.PlusButton()->text(), "+");
    EXPECT_EQ(edit.MinusButton()->text(), "-");

    edit.resize(145, 30);
    edit.show();
    for (QToolButton* button : {edit.PlusButton(), edit.MinusButton()}) {
        EXPECT_EQ(button->size(), QSize(30, 30));
        EXPECT_EQ(button->focusPolicy(), Qt::NoFocus);
    }
    EXPECT_EQ(edit.MinusButton()->x(), 0);
    EXPECT_EQ(edit.PlusButton()->geometry().right(), 144);

    // The names a window layout sets, with the defaults of a new edit.
    const std::vector<std::pair<const char*, QVariant>> defaults = {
        {"EditorEnabled", true}, {"Minus", true},  {"Increment", 1.0}, {"MinValue", 0.0},
        {"MaxValue", 0.0},       {"Precision", 3}, {"Value", 0.0},
    };
    for (const auto& [name, value] : defaults) {
        SCOPED_TRACE(name);
        EXPECT_EQ(edit.property(name), value);
    }

    edit.setMaxLength(0); // no limit
    EXPECT_EQ(edit.maxLength(), 32767);
    edit.setProperty("maxLength", 20);
    EXPECT_EQ(edit.maxLength(), 20);
}
