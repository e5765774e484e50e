// SPDX-License-Identifier: GPL-3.0-or-later
// The window as it starts and as it goes: every control in its initial state,
// and the order in which closing releases the link.
#include "ConsoleTestSupport.h"

#include "console/MainUnit.h"
#include "console/SimpleMenuPanel.h"
#include "console/model/ConsoleSession.h"
#include "protocol/ReadFrameUnit.h"

#include <QElapsedTimer>
#include <QTabBar>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

namespace {

struct TFormFixture : ::testing::Test
{
    std::shared_ptr<TFakeLine> Bridge = std::make_shared<TFakeLine>();
};

TEST_F(TFormFixture, StartsOnTheSimpleMenuWithEveryControlInItsInitialState)
{
    TMainForm form(FakeLineEnvironment(Bridge));

    EXPECT_EQ(form.windowTitle(), QStringLiteral("Varnel v." VARNEL_VERSION));
    EXPECT_EQ(form.size(), QSize(1133, 691));
    EXPECT_EQ(form.minimumSize(), form.maximumSize());
    EXPECT_FALSE(form.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_EQ(form.PageControl->currentWidget(), form.SimpleMenuTabSheet);
    EXPECT_FALSE(form.PageControl->tabBar()->isVisibleTo(&form));
    EXPECT_FALSE(form.ServicePanel->isVisibleTo(&form));
    EXPECT_FALSE(form.PeakIdLabel->isVisibleTo(&form));
    EXPECT_FALSE(form.LockButton->isVisibleTo(&form));

    struct TCaption
    {
        QString name;
        QString text;
    };
    const TCaption captions[] = {
        {"StatusLabel", "Search completed"},  {"CFTValueLabel", "0"},
        {"LifetimeLabel", "00:00"},           {"PeakLabel", "--"},
        {"SimpleStatusPanel", "Status"},      {"PeakIdLabel", "PeakIdLabel"},
        {"CRCErrorsLabel", "CRCErrorsLabel"}, {"CFTRawLabel", "CFT Raw"},
        {"DeviceListLabel", "Device list:"},  {"ScopeScaleLabel", "Scope scale"},
    };
    for (const auto& caption : captions) {
        auto* label = form.findChild<QLabel*>(caption.name);
        ASSERT_NE(label, nullptr) << caption.name.toStdString();
        EXPECT_EQ(label->text(), caption.text) << caption.name.toStdString();
    }

    struct TEnabled
    {
        QString name;
        bool enabled;
    };
    const TEnabled states[] = {
        {"ConnectButton", false},
        {"DisconnectButton", false},
        {"StartButton", false},
        {"ScopeScaleComboBox", false},
        {"HarmonicComboBox", true},
        {"SearchUrzadzenButton", true},
        {"SimpleFPeakPngSpeedButton", true},
        {"SimpleJPeakPngSpeedButton", true},
    };
    for (const auto& state : states) {
        auto* widget = form.findChild<QWidget*>(state.name);
        ASSERT_NE(widget, nullptr) << state.name.toStdString();
        EXPECT_EQ(widget->isEnabled(), state.enabled) << state.name.toStdString();
    }

    EXPECT_TRUE(form.AutomaticRadioButton->isChecked());
    EXPECT_FALSE(form.HalfautomaticRadioButton->isChecked());
    EXPECT_EQ(form.ScopeScaleComboBox->currentText(), "4x");
    EXPECT_EQ(form.ScopeScaleComboBox->count(), 6);
    EXPECT_EQ(form.HarmonicComboBox->currentText(), "3rd");
    EXPECT_EQ(form.PeakListBox->count(), 0);
    EXPECT_EQ(form.DeviceListListBox->count(), 0);
    EXPECT_FALSE(form.StabilizationCheckCheckBox->isChecked());
    EXPECT_FALSE(form.ChartCheckBox->isChecked());
    EXPECT_FALSE(form.SaveDataChartToFileCheckBox->isChecked());

    for (QComboBox* box : {form.ExpectedPeaksFromComboBox, form.ExpectedPeaksToComboBox}) {
        ASSERT_EQ(box->count(), 14);
        for (int i = 0; i < 14; ++i)
            EXPECT_EQ(box->itemText(i), QString(QChar('a' + i)));
        EXPECT_EQ(box->currentIndex(), 0);
    }

    EXPECT_EQ(form.ConnectionTimer->interval(), 1000);
    EXPECT_EQ(form.BlinkTimer->interval(), 500);
    EXPECT_FALSE(form.ConnectionTimer->isActive());
    EXPECT_FALSE(form.BlinkTimer->isActive());
    ASSERT_EQ(form.SimpleMenu().PngImageList.size(), 10);
    EXPECT_EQ(form.SimpleMenu().PngImageList.first().size(), QSize(76, 76));
    EXPECT_EQ(form.SimpleMenu().SimpleMenuFirstPeakId, -1);
    EXPECT_EQ(form.SimpleMenu().SimpleMenuSecondPeakId, -1);
    EXPECT_EQ(form.State().CRCErrorCounter, 0u);
    EXPECT_FALSE(form.State().SearchLocked);
    EXPECT_FALSE(form.IsLogging());
}

TEST_F(TFormFixture, SpinEditsCarryTheirLimitsAndDecimals)
{
    TMainForm form(FakeLineEnvironment(Bridge));
    struct TEdit
    {
        QString name;
        bool minus;
        double min, max;
        int precision;
        QString text;
    };
    const TEdit edits[] = {
        {"PhaseRealSpinEdit", false, 0, 360, 0, "0"},
        {"DelayRealSpinEdit", false, 0, 100, 0, "0"},
        {"PathGainRealSpinEdit", false, 0, 2000, 0, "0"},
        {"CFTRealSpinEdit", false, 0, 0, 1, QLocale().toString(0.0, 'f', 1)},
        {"PRealSpinEdit", false, 0, 0, 0, "0"},
        {"IRealSpinEdit", false, 0, 0, 0, "0"},
        {"DRealSpinEdit", false, 0, 0, 0, "0"},
        {"PidGainRealSpinEdit", false, 0, 255, 0, "0"},
        {"SetPointRealSpinEdit", true, -200, 200, 0, "0"},
        {"CFTTemp10RealSpinEdit", false, 0, 65535, 0, "0"},
        {"CFTTemp40RealSpinEdit", false, 0, 65535, 0, "0"},
        {"CFTOffsetRealSpinEdit", false, 0, 65535, 0, "0"},
        {"ModulationRealSpinEdit", false, 0, 255, 0, "0"},
        {"FOffsetRealSpinEdit", true, -250, 250, 0, "0"},
    };
    for (const auto& expected : edits) {
        auto* edit = form.findChild<TRealSpinEdit*>(expected.name);
        ASSERT_NE(edit, nullptr) << expected.name.toStdString();
        EXPECT_EQ(edit->Minus(), expected.minus) << expected.name.toStdString();
        EXPECT_DOUBLE_EQ(edit->MinValue(), expected.min) << expected.name.toStdString();
        EXPECT_DOUBLE_EQ(edit->MaxValue(), expected.max) << expected.name.toStdString();
        EXPECT_EQ(edit->Precision(), expected.precision) << expected.name.toStdString();
        EXPECT_DOUBLE_EQ(edit->Increment(), 1.0) << expected.name.toStdString();
        EXPECT_EQ(edit->text(), expected.text) << expected.name.toStdString();
        EXPECT_EQ(edit->size(), QSize(145, 30)) << expected.name.toStdString();
    }
    for (auto* bar : {form.TuningMirrorALProgressBar, form.StabilizationMirrorALProgressBar}) {
        EXPECT_EQ(bar->size(), QSize(195, 20));
        EXPECT_EQ(bar->BarColorStyle(), TALProgressBar::cs1Color);
        EXPECT_EQ(bar->PosTextSuffix(), "%");
    }
}

TEST_F(TFormFixture, WithADeviceTheFirstRowIsSelectedAndNothingIsOpened)
{
    Bridge->SetDevices({"KWTP Controller A", "KWTP Controller B"});
    TMainForm form(FakeLineEnvironment(Bridge));

    ASSERT_EQ(form.DeviceListListBox->count(), 2);
    EXPECT_EQ(form.DeviceListListBox->currentRow(), 0);
    EXPECT_TRUE(form.ConnectButton->isEnabled());
    EXPECT_FALSE(form.DisconnectButton->isEnabled());
    EXPECT_EQ(form.StatusLabel->text(), "Search completed");
    const auto calls = Bridge->Calls();
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "Open"), 0);
}

TEST_F(TFormFixture, ClosingStopsTheReaderBeforeTheDeviceIsClosedThenPauses)
{
    Bridge->SetDevices({"KWTP Controller"});
    // The session outlives the window that shows it; the window's close
    // ends it.
    const TConsoleEnvironment environment = FakeLineEnvironment(Bridge);
    TConsoleSession session(environment.SessionSettings());
    auto form = std::make_unique<TMainForm>(session, environment);
    form->ConnectButtonClick();
    ASSERT_TRUE(session.Connection().Connected());
    ASSERT_NE(session.FrameReader(), nullptr);
    QTRY_VERIFY_WITH_TIMEOUT(Bridge->PollCount() > 10, 5000);
    // Close while the reader is busy: a synchronised delivery and a pile of
    // queued messages that the window must still handle itself.
    std::vector<uint8_t> traffic = DeviceFrameValue(1, 100);
    for (int i = 0; i < 500; ++i) {
        const auto frame = DeviceFrameValue(8, static_cast<uint16_t>(i));
        traffic.insert(traffic.end(), frame.begin(), frame.end());
    }
    Bridge->Feed(traffic);

    QElapsedTimer clock;
    clock.start();
    form.reset();
    const qint64 elapsed = clock.elapsed();

    EXPECT_EQ(session.FrameReader(), nullptr);
    EXPECT_FALSE(session.Connected());
    EXPECT_FALSE(Bridge->IsOpen());
    ASSERT_GE(Bridge->PollsAtLastDisconnect(), 0);
    EXPECT_EQ(Bridge->PollCount(), Bridge->PollsAtLastDisconnect());
    EXPECT_GE(elapsed, 100);
}

TEST_F(TFormFixture, ClosingWithoutAConnectionDisconnectsAtOnce)
{
    auto form = std::make_unique<TMainForm>(FakeLineEnvironment(Bridge));
    form.reset();
    const auto calls = Bridge->Calls();
    // Never connected: Disconnect succeeds without asking the device.
    EXPECT_EQ(std::count(calls.begin(), calls.end(), "Close"), 0);
}

} // namespace
