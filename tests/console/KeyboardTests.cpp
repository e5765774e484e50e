// SPDX-License-Identifier: GPL-3.0-or-later
// The keyboard as the operator uses it: key presses go to the window as the
// window system delivers them (to the focus widget, or to an open pop-up
// list), the access code is recognised whatever has the focus, and the arrow
// keys move the reference peak.
#include "ConsoleTestSupport.h"

#include "console/MainUnit.h"
#include "console/PeakPanel.h"
#include "console/ServicePanel.h"
#include "console/SimpleMenuPanel.h"
#include "console/model/ConsoleSession.h"

#include <QComboBox>
#include <QLocale>
#include <QTest>
#include <QWindow>

#include <gtest/gtest.h>

#include <variant>

namespace {

// A character, or a key that may carry a control character of its own.
using TKey = std::variant<const char*, Qt::Key>;

// The text an X server gives a key press: Delete, like Backspace and Enter,
// carries a control character.
QString XText(Qt::Key key)
{
    switch (key) {
    case Qt::Key_Delete:
        return QString(QChar(0x7F));
    case Qt::Key_Backspace:
        return QString(QChar(0x08));
    case Qt::Key_Return:
        return QString(QChar(0x0D));
    default:
        return {};
    }
}

class Keyboard : public ::testing::Test
{
protected:
    void SetUp() override
    {
        QLocale::setDefault(QLocale::c());
        Bridge->SetDevices({QStringLiteral("KWTP Controller")});
        Form = std::make_unique<TMainForm>(FakeLineEnvironment(Bridge));
        Form->show();
        Form->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(Form.get()));
    }

    void TearDown() override
    {
        Form.reset();
        QLocale::setDefault(QLocale::c());
    }

    // Presses keys on the window, as the window system would.
    void Type(const std::vector<TKey>& keys)
    {
        QWindow* window = Form->windowHandle();
        for (const TKey& key : keys) {
            if (const auto* text = std::get_if<const char*>(&key)) {
                for (const char* c = *text; *c; ++c)
                    QTest::keyClick(window, *c);
            } else {
                const Qt::Key code = std::get<Qt::Key>(key);
                QTest::sendKeyEvent(QTest::Click, window, code, XText(code), Qt::NoModifier);
            }
        }
    }

    bool PanelShown() const { return Form->ServicePanel->isVisibleTo(Form.get()); }

    std::shared_ptr<TFakeLine> Bridge = std::make_shared<TFakeLine>();
    std::unique_ptr<TMainForm> Form;
};

TEST_F(Keyboard, AccessCodeOpensThePanelWhateverHasTheFocus)
{
    Form->SimpleMenu().NextButtonClick();
    struct TCase
    {
        const char* Name;
        QWidget* Focus;
        bool ListOpen;
    };
    const TCase cases[] = {
        {"nothing", nullptr, false},
        {"device list", Form->DeviceListListBox, false},
        {"peak list", Form->PeakListBox, false},
        {"combo box", Form->HarmonicComboBox, false},
        {"combo box with its list open", Form->HarmonicComboBox, true},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        Form->Service().HideButtonClick();
        ASSERT_FALSE(PanelShown());
        if (c.Focus) {
            c.Focus->setFocus();
            ASSERT_TRUE(QTest::qWaitFor([&] { return c.Focus->hasFocus(); }));
        } else if (QWidget* focus = QApplication::focusWidget()) {
            focus->clearFocus();
        }
        auto* combo = qobject_cast<QComboBox*>(c.Focus);
        if (c.ListOpen) {
            combo->showPopup();
            ASSERT_TRUE(QTest::qWaitFor([] { return QApplication::activePopupWidget(); }));
        }
        Type({"51730264"});
        EXPECT_TRUE(PanelShown());
        if (c.ListOpen) {
            // The list stayed open throughout.
            EXPECT_NE(QApplication::activePopupWidget(), nullptr);
            combo->hidePopup();
            ASSERT_TRUE(QTest::qWaitFor([] { return !QApplication::activePopupWidget(); }));
        }
    }

    // Begun in an edit of the panel, finished after the panel has gone: the
    // edit's characters counted and reached the edit as well.
    Form->PhaseRealSpinEdit->setFocus();
    ASSERT_TRUE(QTest::qWaitFor([&] { return Form->PhaseRealSpinEdit->hasFocus(); }));
    Form->PhaseRealSpinEdit->selectAll();
    Type({"5173"});
    EXPECT_TRUE(Form->PhaseRealSpinEdit->text().contains("5"))
        << Form->PhaseRealSpinEdit->text().toStdString();
    Form->Service().HideButtonClick();
    ASSERT_FALSE(PanelShown());
    Type({"0264"});
    EXPECT_TRUE(PanelShown());
}

TEST_F(Keyboard, OnlyKeysThatTypeACharacterCount)
{
    Form->SimpleMenu().NextButtonClick();
    Form->DeviceListListBox->setFocus();
    struct TCase
    {
        const char* Name;
        std::vector<TKey> Keys;
        bool Opens;
    };
    const TCase cases[] = {
        {"Delete inside the code", {"5173", Qt::Key_Delete, "0264"}, true},
        {"arrow and Home inside the code", {"5173", Qt::Key_Left, Qt::Key_Home, "0264"}, true},
        {"Shift inside the code", {"5173", Qt::Key_Shift, "0264"}, true},
        {"Backspace inside the code", {"5173", Qt::Key_Backspace, "0264"}, false},
        {"Enter inside the code", {"5173", Qt::Key_Return, "0264"}, false},
        {"Delete before the code", {Qt::Key_Delete, "51730264"}, true},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        Form->Service().HideButtonClick();
        // Whatever the previous case left half typed is broken off.
        Type({"x"});
        Type(c.Keys);
        EXPECT_EQ(PanelShown(), c.Opens);
    }
}

TEST_F(Keyboard, ArrowKeysInThePeakListMoveTheReferenceThatStartAsksFor)
{
    Form->ConnectButtonClick();
    ASSERT_TRUE(Form->Session().Connected());
    Form->State().HandleExpectedPeaksValue(0x3FFF);
    Form->SimpleMenu().NextButtonClick();
    QListWidget* list = Form->PeakListBox;
    list->setFocus();
    ASSERT_TRUE(QTest::qWaitFor([&] { return list->hasFocus(); }));
    ASSERT_EQ(Form->State().Peaks().SetPeakListBoxIndex(), 5);

    struct TCase
    {
        std::vector<TKey> Keys;
        int Reference;
        const char* Row;
    };
    // In this order, each from where the one before left the reference.
    const TCase cases[] = {
        {{Qt::Key_Down}, 6, "g -> 473612340.399"},
        {{Qt::Key_Up, Qt::Key_Up}, 4, "e -> 473612366.960"},
        {{Qt::Key_End}, 13, "n -> 473612051.891"},
        {{Qt::Key_Home}, 0, "a -> 473612514.636"},
        {{"j"}, 9, "j -> 473612193.136"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Row);
        Type(c.Keys);
        EXPECT_TRUE(QTest::qWaitFor([&] {
            return Form->State().Peaks().SetPeakListBoxIndex() == c.Reference;
        })) << Form->State().Peaks().SetPeakListBoxIndex();
        ASSERT_EQ(list->count(), 14);
        EXPECT_EQ(list->item(c.Reference)->text(), c.Row);
        EXPECT_TRUE(list->selectedItems().isEmpty());
    }
    // The other rows show their distance from the new reference.
    EXPECT_EQ(list->item(5)->text(), "f -> 160.461");

    Bridge->ClearWritten();
    Form->PeakPanel().StartButtonClick();
    const auto frames = CommandFrames(Bridge->Written());
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_EQ(frames[2][1], 34);
    EXPECT_EQ(frames[2][3], 10);
}

} // namespace
