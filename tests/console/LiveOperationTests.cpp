// SPDX-License-Identifier: GPL-3.0-or-later
// The console at work against a fake line: connecting by itself, the
// controller's status and lock reports, the peak list, the simple menu's
// buttons and panel, the live displays, and a link that dies and comes back.
#include "ConsoleTestSupport.h"

#include "console/MainUnit.h"
#include "console/SimpleMenuPanel.h"
#include "console/SystemSounds.h"
#include "console/model/ConsoleSession.h"
#include "console/model/LockHistory.h"
#include "protocol/MainThreadCallList.h"
#include "sim/ControllerModel.h"

#include <QCoreApplication>
#include <QImage>
#include <QLocale>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <mutex>

namespace {

// Runs the event loop until the connection timer has ticked `ticks` more
// times, each tick's work done.
bool WaitForConnectionTicks(QTimer* timer, int ticks)
{
    QSignalSpy spy(timer, &QTimer::timeout);
    return QTest::qWaitFor([&] { return spy.count() >= ticks; }, 10000);
}

using TFrame = std::vector<uint8_t>;
using TFrames = std::vector<TFrame>;

const QString ControllerName = QStringLiteral("KWTP Controller");
const QColor Yellow(255, 255, 0);
const QColor Green(0, 128, 0);
const QColor Red(255, 0, 0);
const QColor Blue(0, 0, 255);
const QColor Silver(192, 192, 192);

// The bytes the controller receives right after a connect (five read
// requests), and the tuning enable the simple menu sends twice.
const std::vector<uint8_t> AfterConnectBytes = {0xBB, 93,   0,    0,  0xE8, 0xBB, 71,   0,  0,
                                                0xFE, 0xBB, 75,   0,  0,    0xFA, 0xBB, 80, 0,
                                                0,    0xF5, 0xBB, 69, 0,    0,    0x00};
const std::vector<uint8_t> TuningEnableBytes = {0xBB, 33, 0, 1, 0x23};

// What the simple menu's timer sends when it connects by itself: the read
// requests, then TuningEnable twice.
std::vector<uint8_t> AutoConnectBytes()
{
    std::vector<uint8_t> bytes = AfterConnectBytes;
    bytes.insert(bytes.end(), TuningEnableBytes.begin(), TuningEnableBytes.end());
    bytes.insert(bytes.end(), TuningEnableBytes.begin(), TuningEnableBytes.end());
    return bytes;
}

QString Text(const char* text)
{
    return QString::fromUtf8(text);
}

class LiveOperation : public ::testing::Test
{
protected:
    void SetUp() override
    {
        QLocale::setDefault(QLocale::c());
        Bridge->SetDevices({ControllerName});
        TConsoleEnvironment environment = FakeLineEnvironment(Bridge);
        environment.PlaySound = [this](TSystemSound sound) {
            Sounds +=
                sound == _snd_critical_stop ? QStringLiteral("stop ") : QStringLiteral("bell ");
        };
        // The sounds' clock moves by SoundStep at each request: by default a
        // full interval, so none is dropped.
        environment.SoundClock = [this] { return SoundNow += SoundStep; };
        Form = std::make_unique<TMainForm>(environment);
    }

    void TearDown() override
    {
        // Nothing the reader posted may still wait for a window that is gone.
        Form->DisconnectButtonClick();
        QCoreApplication::processEvents();
        TMainThreadCallList::Instance().RunPending();
        Form.reset();
        QLocale::setDefault(QLocale::c());
    }

    void ConnectByHand(int row = 0) { ::ConnectByHand(*Form, row); }
    void Deliver(const TFrames& frames) { ::Deliver(*Form, *Bridge, frames); }

    QStringList PeakRows() const
    {
        QStringList rows;
        for (int i = 0; i < Form->PeakListBox->count(); ++i)
            rows << Form->PeakListBox->item(i)->text();
        return rows;
    }

    // Share of the row's pixels painted silver.
    double SilverShare(int row) const
    {
        QListWidget* list = Form->PeakListBox;
        const QRect rect = list->visualItemRect(list->item(row));
        const QImage image = list->viewport()->grab().toImage();
        int silver = 0;
        int all = 0;
        for (int y = rect.top(); y <= rect.bottom() && y < image.height(); ++y)
            for (int x = rect.left(); x <= rect.right() && x < image.width(); ++x, ++all)
                silver += QColor(image.pixel(x, y)) == Silver ? 1 : 0;
        return all ? static_cast<double>(silver) / all : 0;
    }

    std::shared_ptr<TFakeLine> Bridge = std::make_shared<TFakeLine>();
    std::unique_ptr<TMainForm> Form;
    QString Sounds;
    int64_t SoundNow = 0;
    int64_t SoundStep = SystemSoundIntervalMsec;
};

QImage Glyph(const QToolButton* button)
{
    return button->icon().pixmap(76, 76).toImage().convertToFormat(QImage::Format_ARGB32);
}

TEST_F(LiveOperation, SimpleMenuConnectsByItselfToTheOnlyController)
{
    using TClock = std::chrono::steady_clock;
    std::mutex lock;
    std::vector<TClock::time_point> writes;
    Bridge->SetWriteHook([&](const uint8_t*, size_t) {
        std::lock_guard guard(lock);
        writes.push_back(TClock::now());
    });

    Form->show();
    ASSERT_TRUE(Form->ConnectionTimer->isActive());
    const std::vector<uint8_t> expected = AutoConnectBytes();
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return Bridge->Written().size() >= expected.size(); }, 10000));
    EXPECT_EQ(Bridge->Written(), expected);
    {
        std::lock_guard guard(lock);
        ASSERT_EQ(writes.size(), 7u);
        EXPECT_GE(writes[5] - writes[4], std::chrono::milliseconds(45));
        EXPECT_GE(writes[6] - writes[5], std::chrono::milliseconds(45));
    }
    Bridge->SetWriteHook({});

    EXPECT_EQ(Form->StatusLabel->text(), "Connected");
    EXPECT_FALSE(Form->ConnectButton->isEnabled());
    EXPECT_TRUE(Form->DisconnectButton->isEnabled());
    EXPECT_TRUE(Form->StartButton->isEnabled());
    EXPECT_TRUE(Form->ScopeScaleComboBox->isEnabled());

    // While connected the ticks leave the link alone.
    Bridge->ClearWritten();
    ASSERT_TRUE(WaitForConnectionTicks(Form->ConnectionTimer, 2));
    EXPECT_TRUE(Bridge->Written().empty());
}

TEST_F(LiveOperation, SimpleMenuNeverPicksOneOfTwoControllers)
{
    Bridge->SetDevices({ControllerName, ControllerName + " 2"});
    Form->show();
    // A connect would follow a tick within a fraction of the next one.
    ASSERT_TRUE(WaitForConnectionTicks(Form->ConnectionTimer, 3));
    EXPECT_TRUE(Bridge->Written().empty());
    for (const std::string& call : Bridge->Calls())
        EXPECT_NE(call, "Open");
    EXPECT_EQ(Form->DeviceListListBox->count(), 2);
    EXPECT_EQ(Form->StatusLabel->text(), "Search completed");
}

TEST_F(LiveOperation, DevicePanelConnectsDisconnectsAndReportsFailures)
{
    ConnectByHand();
    EXPECT_EQ(Bridge->Written(), AfterConnectBytes);

    Form->DisconnectButtonClick();
    EXPECT_EQ(Form->StatusLabel->text(), "Disconnected");
    EXPECT_EQ(Form->DeviceListListBox->count(), 0);
    EXPECT_FALSE(Form->DisconnectButton->isEnabled());
    EXPECT_FALSE(Form->StartButton->isEnabled());
    EXPECT_FALSE(Form->ScopeScaleComboBox->isEnabled());
    EXPECT_FALSE(Form->Session().Connection().Connected());
    EXPECT_FALSE(Bridge->IsOpen());

    Form->ConnectButtonClick();
    EXPECT_EQ(Form->StatusLabel->text(), "Select device");

    Bridge->SetOpenFails(true);
    Form->SearchUrzadzenButtonClick();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !Form->SearchRunning(); }, 10000));
    EXPECT_EQ(Form->StatusLabel->text(), "Search completed");
    Form->ConnectButtonClick();
    EXPECT_EQ(Form->StatusLabel->text(), "Connection error");
    EXPECT_TRUE(Form->ConnectButton->isEnabled());
    EXPECT_FALSE(Form->StartButton->isEnabled());
    EXPECT_FALSE(Form->Session().Connection().Connected());
}

enum TPanel
{
    _pn_face,
    _pn_green,
    _pn_red,
    _pn_blue,
    _pn_blinking
};

struct TStatusCase
{
    const char* Name;
    int PeakId; // reported before the status; -1 for none
    uint8_t Code;
    const char* Status;
    const char* Panel;
    TPanel Colour;
    bool ButtonsEnabled;
    bool FDown;
    bool JDown;
    const char* PeakLabel;    // nullptr: not looked at
    const char* ReferenceRow; // nullptr: not looked at
};

TEST_F(LiveOperation, StatusCodesDriveTheStatusTextsThePanelAndTheLockReport)
{
    ConnectByHand();
    Deliver({DeviceFrameValue(69, 0x3FFF)});
    ASSERT_EQ(Form->SimpleMenu().SimpleMenuFirstPeakId, 6);
    ASSERT_EQ(Form->SimpleMenu().SimpleMenuSecondPeakId, 10);

    // In this order, over one run of the console.
    const TStatusCase cases[] = {
        {"start", -1, 1, "tuning - start", "wait for device", _pn_blinking, true, false, false,
         nullptr, nullptr},
        {"code 9", -1, 9, "", "wait for device", _pn_blinking, true, false, false, nullptr,
         nullptr},
        {"code 15", -1, 15, "status 15", "wait for device", _pn_blinking, true, false, false,
         nullptr, nullptr},
        {"locked, no peak id yet", -1, 3, "tuning - locked", "tuning - locked", _pn_green, true,
         false, false, "--", nullptr},
        {"error", -1, 10, "tuning - error", "tuning - error", _pn_red, true, false, false, nullptr,
         nullptr},
        {"not ready", -1, 0, "not ready", "not ready", _pn_face, false, false, false, nullptr,
         nullptr},
        {"wait for user", -1, 14, "wait for user", "wait for user", _pn_blue, true, false, false,
         nullptr, nullptr},
        {"locked at f", 6, 3, "tuning - locked", "locked at peak f -> 473612353.597", _pn_green,
         true, true, false, "f", "f -> 473612353.597"},
        {"locked at j", 10, 3, "tuning - locked", "locked at peak j -> 473612193.136", _pn_green,
         true, false, true, "j", "j -> 473612193.136"},
        {"locked at i", 9, 3, "tuning - locked", "locked at peak i", _pn_green, true, false, false,
         "i", "i -> 473612214.705"},
        {"wait for user after a lock", -1, 14, "wait for user", "wait for user", _pn_blue, true,
         false, false, nullptr, nullptr},
    };
    const QColor face = Form->palette().color(QPalette::Button);
    bool blinkSeen = false;
    for (const TStatusCase& c : cases) {
        SCOPED_TRACE(c.Name);
        const QString peakIdBefore = Form->PeakIdLabel->text();
        TFrames frames;
        if (c.PeakId >= 0)
            frames.push_back(DeviceFrame(18, static_cast<uint8_t>(c.PeakId), 0));
        frames.push_back(DeviceFrame(3, c.Code, 0));
        Deliver(frames);

        EXPECT_EQ(Form->StatusLabel->text(), Text(c.Status));
        EXPECT_EQ(Form->SimpleStatusPanel->text(), Text(c.Panel));
        EXPECT_EQ(Form->BlinkTimer->isActive(), c.Colour == _pn_blinking);
        const QColor colours[] = {face, Green, Red, Blue};
        if (c.Colour != _pn_blinking) {
            EXPECT_EQ(Form->SimpleMenu().SimpleStatusPanelColor(), colours[c.Colour]);
        }
        EXPECT_EQ(Form->SimpleFPeakPngSpeedButton->isEnabled(), c.ButtonsEnabled);
        EXPECT_EQ(Form->SimpleJPeakPngSpeedButton->isEnabled(), c.ButtonsEnabled);
        EXPECT_EQ(Form->SimpleFPeakPngSpeedButton->isChecked(), c.FDown);
        EXPECT_EQ(Form->SimpleJPeakPngSpeedButton->isChecked(), c.JDown);
        if (c.PeakLabel) {
            EXPECT_EQ(Form->PeakLabel->text(), Text(c.PeakLabel));
        }
        if (c.ReferenceRow) {
            const int reference = Form->State().Peaks().SetPeakListBoxIndex();
            ASSERT_GE(reference, 0);
            ASSERT_LT(reference, Form->PeakListBox->count());
            EXPECT_EQ(Form->PeakListBox->item(reference)->text(), Text(c.ReferenceRow));
            EXPECT_TRUE(Form->State().SearchLocked);
        }
        if (c.Code == 3 && c.PeakId < 0 && peakIdBefore == "PeakIdLabel") {
            EXPECT_FALSE(Form->State().SearchLocked);
        }

        if (c.Colour == _pn_blinking && !blinkSeen) {
            // Blinking starts with yellow, then goes back to the button face.
            blinkSeen = true;
            ASSERT_TRUE(QTest::qWaitFor(
                [&] { return Form->SimpleMenu().SimpleStatusPanelColor() != face; }, 5000));
            EXPECT_EQ(Form->SimpleMenu().SimpleStatusPanelColor(), Yellow);
            EXPECT_TRUE(QTest::qWaitFor(
                [&] { return Form->SimpleMenu().SimpleStatusPanelColor() == face; }, 5000));
        }
    }
    // The status reactions never send anything.
    EXPECT_EQ(Bridge->Written(), AfterConnectBytes);
}

struct TMaskCase
{
    uint16_t Mask;
    QStringList Rows;
    int Reference; // SetPeakListBoxIndex
    int From;
    int To;
    int FirstId;
    int SecondId;
};

TEST_F(LiveOperation, ExpectedPeaksSetThePeakListTheComboBoxesAndTheSimpleMenu)
{
    ConnectByHand();
    Form->show();
    Form->SimpleMenu().NextButtonClick();
    EXPECT_FALSE(Form->ConnectionTimer->isActive());

    const TMaskCase cases[] = {
        {0x3FFF,
         {"a -> 161.039", "b -> 152.208", "c -> 144.114", "d -> 26.224", "e -> 13.363",
          "f -> 473612353.597", "g -> -13.198", "h -> -116.953", "i -> -138.892", "j -> -160.461",
          "k -> -268.842", "l -> -276.886", "m -> -292.693", "n -> -301.706"},
         5,
         0,
         13,
         6,
         10},
        {0x0001, {"a -> 161.039"}, 5, 0, 0, 3, 6},
        {0x0005, {"a -> 161.039", "b -> 152.208", "c -> 144.114"}, 5, 0, 2, 3, 6},
        {0x0300, {"i -> -138.892", "j -> -160.461"}, -3, 8, 9, 6, 10},
        {0x01FF,
         {"a -> 161.039", "b -> 152.208", "c -> 144.114", "d -> 26.224", "e -> 13.363",
          "f -> 473612353.597", "g -> -13.198", "h -> -116.953", "i -> -138.892"},
         5,
         0,
         8,
         3,
         6},
        {0x01F8,
         {"d -> 26.224", "e -> 13.363", "f -> 473612353.597", "g -> -13.198", "h -> -116.953",
          "i -> -138.892"},
         2,
         3,
         8,
         4,
         6},
        {0x01F0,
         {"e -> 13.363", "f -> 473612353.597", "g -> -13.198", "h -> -116.953", "i -> -138.892"},
         1,
         4,
         8,
         5,
         6},
        {0x0000, {}, 6, -1, -1, 3, 6},
    };
    for (const TMaskCase& c : cases) {
        SCOPED_TRACE(QString::number(c.Mask, 16).toStdString());
        Deliver({DeviceFrameValue(69, c.Mask)});
        EXPECT_EQ(PeakRows(), c.Rows);
        EXPECT_EQ(Form->State().Peaks().SetPeakListBoxIndex(), c.Reference);
        EXPECT_EQ(Form->State().Peaks().SelectedPeakId(), 6);
        EXPECT_EQ(Form->ExpectedPeaksFromComboBox->currentIndex(), c.From);
        EXPECT_EQ(Form->ExpectedPeaksToComboBox->currentIndex(), c.To);
        EXPECT_EQ(Form->SimpleMenu().SimpleMenuFirstPeakId, c.FirstId);
        EXPECT_EQ(Form->SimpleMenu().SimpleMenuSecondPeakId, c.SecondId);
        EXPECT_EQ(Glyph(Form->SimpleFPeakPngSpeedButton),
                  Form->SimpleMenu().PngImageList[c.FirstId - 1].toImage().convertToFormat(
                      QImage::Format_ARGB32));
        EXPECT_EQ(Glyph(Form->SimpleJPeakPngSpeedButton),
                  Form->SimpleMenu().PngImageList[c.SecondId - 1].toImage().convertToFormat(
                      QImage::Format_ARGB32));
        // Only the reference row is painted silver (text edges elsewhere may
        // happen to hit the grey).
        for (int row = 0; row < Form->PeakListBox->count() && row < 8; ++row) {
            if (row == c.Reference) {
                EXPECT_GT(SilverShare(row), 0.5) << row;
            } else {
                EXPECT_LT(SilverShare(row), 0.05) << row;
            }
        }
    }
}

TEST_F(LiveOperation, ClickOnTheTenthRowMakesJTheReferenceThatStartAsksFor)
{
    ConnectByHand();
    Form->show();
    Form->SimpleMenu().NextButtonClick();
    Deliver({DeviceFrameValue(69, 0x3FFF)});

    QListWidget* list = Form->PeakListBox;
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                      list->visualItemRect(list->item(9)).center());
    EXPECT_EQ(Form->State().Peaks().SetPeakListBoxIndex(), 9);
    EXPECT_EQ(list->item(9)->text(), "j -> 473612193.136");
    EXPECT_EQ(list->item(5)->text(), "f -> 160.461");
    EXPECT_EQ(list->item(0)->text(), "a -> 321.500");
    EXPECT_TRUE(list->selectedItems().isEmpty());
    EXPECT_GT(SilverShare(9), 0.5);
    EXPECT_LT(SilverShare(5), 0.05);

    struct TStartCase
    {
        bool Automatic;
        std::vector<uint8_t> Sent;
        bool LockShown;
    };
    const TStartCase starts[] = {
        {true, {0xBB, 32, 0, 1, 0x24, 0xBB, 33, 0, 1, 0x23, 0xBB, 34, 0, 10, 0x19}, false},
        {false, {0xBB, 32, 0, 1, 0x24, 0xBB, 33, 0, 1, 0x23, 0xBB, 35, 0, 1, 0x21}, true},
    };
    for (const TStartCase& start : starts) {
        SCOPED_TRACE(start.Automatic ? "automatic" : "half-automatic");
        Form->PeakLabel->setText("x");
        (start.Automatic ? Form->AutomaticRadioButton : Form->HalfautomaticRadioButton)
            ->setChecked(true);
        Bridge->ClearWritten();
        QTest::mouseClick(Form->StartButton, Qt::LeftButton);
        EXPECT_EQ(Bridge->Written(), start.Sent);
        EXPECT_EQ(Form->LockButton->isVisible(), start.LockShown);
        EXPECT_EQ(Form->PeakLabel->text(), "--");
    }
    Bridge->ClearWritten();
    QTest::mouseClick(Form->LockButton, Qt::LeftButton);
    EXPECT_EQ(Bridge->Written(), (std::vector<uint8_t>{0xBB, 36, 0, 0, 0x21}));
}

TEST_F(LiveOperation, PeakButtonsLatchAsOneGroupAndAskForTheirPeak)
{
    ConnectByHand();
    QToolButton* f = Form->SimpleFPeakPngSpeedButton;
    QToolButton* j = Form->SimpleJPeakPngSpeedButton;

    // Before the controller named its peaks a press sends nothing.
    Bridge->ClearWritten();
    f->click();
    EXPECT_TRUE(Bridge->Written().empty());
    f->click();
    Deliver({DeviceFrameValue(69, 0x3FFF), DeviceFrame(3, 14, 0)});

    struct TPress
    {
        QToolButton* Button;
        std::vector<uint8_t> Sent;
        bool FDown;
        bool JDown;
    };
    const std::vector<uint8_t> targetF = {0xBB, 34, 0, 6, 0x1D};
    const std::vector<uint8_t> targetJ = {0xBB, 34, 0, 10, 0x19};
    const TPress presses[] = {
        {j, targetJ, false, true}, {j, {}, false, false},     {f, targetF, true, false},
        {j, targetJ, false, true}, {f, targetF, true, false},
    };
    for (const TPress& press : presses) {
        Bridge->ClearWritten();
        press.Button->click();
        EXPECT_EQ(Bridge->Written(), press.Sent);
        EXPECT_EQ(f->isChecked(), press.FDown);
        EXPECT_EQ(j->isChecked(), press.JDown);
    }
    // A click raised from code without a sender does nothing.
    Bridge->ClearWritten();
    j->setChecked(true);
    Form->SimpleMenu().SimpleJPeakPngSpeedButtonClick(nullptr);
    EXPECT_TRUE(Bridge->Written().empty());
}

TEST_F(LiveOperation, LiveDisplaysShowWhatTheControllerReports)
{
    ConnectByHand();
    struct TDisplayCase
    {
        const char* Name;
        QLocale Locale;
        TFrames Frames;
        std::function<QString()> Shown;
        QString Expected;
    };
    TMainForm* form = Form.get();
    const QLocale c = QLocale::c();
    const QLocale german(QLocale::German, QLocale::Germany);
    const auto lifetime = [form] { return form->LifetimeLabel->text(); };
    const auto cft = [form] { return form->CFTValueLabel->text(); };
    const auto peakAndSounds = [this, form] { return form->PeakLabel->text() + "|" + Sounds; };
    const TDisplayCase cases[] = {
        {"working time, low half only", c, {DeviceFrameValue(124, 5)}, lifetime, "00:05"},
        {"working time",
         c,
         {DeviceFrameValue(123, 1), DeviceFrameValue(124, 300)},
         lifetime,
         "1097:16"},
        {"CFT", c, {DeviceFrameValue(8, 235)}, cft, "23.5"},
        {"CFT zero", c, {DeviceFrameValue(8, 0)}, cft, "0.0"},
        {"CFT highest", c, {DeviceFrameValue(8, 65535)}, cft, "6553.5"},
        {"CFT, comma locale", german, {DeviceFrameValue(8, 65535)}, cft, "6553,5"},
        {"peak list, comma locale",
         german,
         {DeviceFrameValue(69, 0x3FFF)},
         [form] {
             return form->PeakListBox->item(5)->text() + "|" + form->PeakListBox->item(6)->text();
         },
         "f -> 473612353,597|g -> -13,198"},
        {"mirrors",
         c,
         {DeviceFrame(4, 50, 0), DeviceFrame(5, 255, 0)},
         [form] {
             return QString::number(form->TuningMirrorALProgressBar->Position()) + "|" +
                    QString::number(form->StabilizationMirrorALProgressBar->Position());
         },
         "50|255"},
        {"f offset, then the next refill",
         c,
         {DeviceFrameValue(93, 65286), DeviceFrameValue(69, 0x3FFF)},
         [form] {
             return QString::number(form->FOffsetRealSpinEdit->Value()) + "|" +
                    form->PeakListBox->item(5)->text() + "|" + form->PeakListBox->item(0)->text();
         },
         "-250|f -> 473612353.347|a -> 161.039"},
        {"peak event", c, {DeviceFrame(6, 1, 6)}, peakAndSounds, "f|bell "},
        {"peak event, id out of range", c, {DeviceFrame(6, 1, 15)}, peakAndSounds, "--|bell "},
        {"alert event", c, {DeviceFrame(6, 2, 3)}, peakAndSounds, "--|bell "},
        {"critical stop", c, {DeviceFrame(6, 3, 0)}, peakAndSounds, "--|stop "},
        {"unknown event", c, {DeviceFrame(6, 4, 1)}, peakAndSounds, "--|"},
    };
    for (const TDisplayCase& display : cases) {
        SCOPED_TRACE(display.Name);
        QLocale::setDefault(display.Locale);
        Sounds.clear();
        Deliver(display.Frames);
        EXPECT_EQ(display.Shown(), display.Expected);
    }
}

TEST_F(LiveOperation, ADeviceFloodingEventsSoundsAtMostOncePerInterval)
{
    // A thousand events 10 ms apart on the sounds' clock, of all three kinds.
    SoundStep = 10;
    ConnectByHand();
    TFrames flood;
    for (uint8_t k = 0; k < 250; ++k)
        for (uint8_t kind : {1, 2, 3, 2})
            flood.push_back(DeviceFrame(6, kind, 6));
    Deliver(flood);
    // Ten seconds: the first event sounds, then one every 250 ms.
    EXPECT_EQ(Sounds.count(' '), 40) << Sounds.toStdString();

    // After a quiet spell the next event sounds at once, and one right
    // after it does not.
    SoundNow += 1000;
    Sounds.clear();
    Deliver({DeviceFrame(6, 3, 0), DeviceFrame(6, 2, 0)});
    EXPECT_EQ(Sounds, "stop ");
}

TEST_F(LiveOperation, DeadLinkIsShownAndTheSimpleMenuReconnectsWhenItIsBack)
{
    Form->show();
    ASSERT_TRUE(QTest::qWaitFor([&] { return Bridge->Written().size() >= 35; }, 10000));
    Deliver({DeviceFrameValue(69, 0x3FFF), DeviceFrame(18, 6, 0), DeviceFrame(3, 3, 0)});
    ASSERT_EQ(Form->SimpleMenu().SimpleStatusPanelColor(), Green);
    ASSERT_TRUE(Form->SimpleFPeakPngSpeedButton->isChecked());

    // Unplugged while the operator is on the main page, where the status
    // label stays as the link loss left it.
    Form->SimpleMenu().NextButtonClick();
    ASSERT_FALSE(Form->ConnectionTimer->isActive());
    Bridge->SetDevices({});
    Bridge->SetUnplugged(true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !Form->Session().Connection().Connected(); }, 10000));
    EXPECT_EQ(Form->StatusLabel->text(), "Connection error");
    EXPECT_FALSE(Bridge->IsOpen());
    EXPECT_FALSE(Form->StartButton->isEnabled());
    EXPECT_FALSE(Form->DisconnectButton->isEnabled());
    EXPECT_TRUE(Form->ConnectButton->isEnabled());
    EXPECT_EQ(Form->PeakLabel->text(), "--");
    EXPECT_EQ(Form->PeakListBox->count(), 0);
    EXPECT_EQ(Form->SimpleStatusPanel->text(), "Connection error");
    EXPECT_EQ(Form->SimpleMenu().SimpleStatusPanelColor(), Form->palette().color(QPalette::Button));
    EXPECT_FALSE(Form->BlinkTimer->isActive());
    EXPECT_TRUE(Form->SimpleFPeakPngSpeedButton->isEnabled());
    EXPECT_TRUE(Form->SimpleJPeakPngSpeedButton->isEnabled());
    EXPECT_FALSE(Form->SimpleFPeakPngSpeedButton->isChecked());

    // Back on the simple menu the timer searches in vain until the
    // controller is plugged in again, then connects by itself.
    Form->SimpleMenu().BackButtonClick();
    ASSERT_TRUE(Form->ConnectionTimer->isActive());
    ASSERT_TRUE(WaitForConnectionTicks(Form->ConnectionTimer, 2));
    EXPECT_FALSE(Form->Session().Connection().Connected());
    Bridge->ClearWritten();
    Bridge->SetUnplugged(false);
    Bridge->SetDevices({ControllerName});
    const std::vector<uint8_t> expected = AutoConnectBytes();
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return Bridge->Written().size() >= expected.size(); }, 10000));
    EXPECT_EQ(Bridge->Written(), expected);
    EXPECT_TRUE(Form->Session().Connection().Connected());

    Deliver({DeviceFrame(3, 14, 0)});
    EXPECT_TRUE(Form->SimpleFPeakPngSpeedButton->isEnabled());
    EXPECT_TRUE(Form->SimpleJPeakPngSpeedButton->isEnabled());
    EXPECT_EQ(Form->SimpleMenu().SimpleStatusPanelColor(), Blue);
    EXPECT_EQ(Form->SimpleStatusPanel->text(), "wait for user");
}

TEST_F(LiveOperation, LocksOnAPeakOfTheControllerModelFromTheSimpleMenu)
{
    // The model hears what the console writes and its output is fed back
    // every few milliseconds, all on the main thread.
    VarnelSim::TModelOptions options;
    options.ScopeRate = 0;
    options.ServiceRate = 0;
    VarnelSim::TControllerModel model(options);
    auto line = std::make_unique<TModelLine>(*Bridge, model);

    Form->show();
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return Form->SimpleStatusPanel->text() == "wait for user"; }, 30000));
    EXPECT_EQ(Form->SimpleMenu().SimpleStatusPanelColor(), Blue);
    ASSERT_EQ(Form->SimpleMenu().SimpleMenuFirstPeakId, 6);
    EXPECT_NE(Form->LifetimeLabel->text(), "00:00");

    QTest::mouseClick(Form->SimpleFPeakPngSpeedButton, Qt::LeftButton);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] { return Form->SimpleStatusPanel->text().startsWith("locked at peak f -> "); }, 60000))
        << Form->SimpleStatusPanel->text().toStdString();
    EXPECT_EQ(Form->SimpleStatusPanel->text(),
              "locked at peak f -> " +
                  TPeakTable::FormatPeakValue(Form->State().Peaks().GetFPeakValue()));
    EXPECT_EQ(Form->StatusLabel->text(), "tuning - locked");
    EXPECT_EQ(Form->SimpleMenu().SimpleStatusPanelColor(), Green);
    EXPECT_TRUE(Form->SimpleFPeakPngSpeedButton->isChecked());
    EXPECT_EQ(Form->PeakLabel->text(), "f");
    EXPECT_EQ(Form->State().CRCErrorCounter, 0u);

    line.reset();
}

} // namespace
