// SPDX-License-Identifier: GPL-3.0-or-later
// The window's outer width with a real frame around it: on an X server with
// a window manager (this test starts openbox on the display it is given),
// the access code typed as X key events widens the window to its outer
// width with the service panel, Hide narrows it again, and hiding and
// showing the window keeps what it had. On a screen smaller than the
// window's design (registered with ctest at 1366x768 and 1280x720 as well),
// the window stays inside the screen's work area and every control of the
// service panel and both pages can be scrolled into view there.
#include "ConsoleTestSupport.h"

#include "console/MainUnit.h"

#include <QApplication>
#include <QFile>
#include <QProcess>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <QWindow>

#include <gtest/gtest.h>

namespace {

constexpr int WideOuterWidth = 1127 + 676 + 18;
constexpr int NarrowOuterWidth = 1127 + 12;
constexpr int Patience = 20000;

class WindowFrame : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_FALSE(qEnvironmentVariableIsEmpty("DISPLAY"))
            << "runs on an X server, as registered with ctest (xvfb-run)";
        // Windows shown before the window manager runs would keep a frame
        // size of zero; openbox runs its start-up command once it manages.
        ASSERT_TRUE(FDir.isValid());
        const QString ready = FDir.filePath(QStringLiteral("ready"));
        FWindowManager.start(QStringLiteral("openbox"),
                             {QStringLiteral("--sm-disable"), QStringLiteral("--startup"),
                              QStringLiteral("touch ") + ready});
        ASSERT_TRUE(FWindowManager.waitForStarted()) << "openbox is missing";
        ASSERT_TRUE(QTest::qWaitFor([&] { return QFile::exists(ready); }, Patience));
    }

    void TearDown() override
    {
        FWindowManager.kill();
        FWindowManager.waitForFinished();
    }

    // Real key presses through the X server to the window that has the
    // focus; one xdotool command ("type TEXT" or "key NAME").
    static void PressOnTheDisplay(const QStringList& commands)
    {
        QProcess xdotool;
        xdotool.start(QStringLiteral("xdotool"), commands);
        ASSERT_TRUE(xdotool.waitForFinished(Patience)) << "xdotool is missing or hangs";
        ASSERT_EQ(xdotool.exitCode(), 0);
    }

    QTemporaryDir FDir;
    QProcess FWindowManager;
};

TEST_F(WindowFrame, ServicePanelSetsTheOuterWidthWithTheFrameIncluded)
{
    auto bridge = std::make_shared<TFakeLine>();
    TMainForm form(FakeLineEnvironment(bridge));
    // The window system's own figures, measured afresh each time.
    const auto frameExtra = [&] {
        const QMargins frame = form.windowHandle()->frameMargins();
        return frame.left() + frame.right();
    };
    const auto outerWidth = [&] { return form.windowHandle()->frameGeometry().width(); };
    const auto outerWidthBecomes = [&](int outer) {
        return QTest::qWaitFor([&] { return outerWidth() == outer; }, Patience);
    };
    const auto showFramed = [&] {
        form.show();
        return QTest::qWaitForWindowExposed(&form) &&
               QTest::qWaitFor([&] { return frameExtra() > 0; }, Patience);
    };

    ASSERT_TRUE(showFramed()) << "the window manager put no frame around the window";
    RecordProperty("FrameExtra", frameExtra());
    form.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&form, Patience));

    // Delete inside the code types nothing and does not break it.
    PressOnTheDisplay({"type", "5173"});
    PressOnTheDisplay({"key", "Delete"});
    PressOnTheDisplay({"type", "0264"});
    EXPECT_TRUE(outerWidthBecomes(WideOuterWidth)) << outerWidth();
    EXPECT_EQ(form.width(), WideOuterWidth - frameExtra());
    EXPECT_TRUE(form.ServicePanel->isVisible());
    EXPECT_EQ(form.ServicePanel->geometry().right(), form.width() - 1);

    QTest::mouseClick(form.HideButton, Qt::LeftButton);
    EXPECT_TRUE(outerWidthBecomes(NarrowOuterWidth)) << outerWidth();
    EXPECT_EQ(form.width(), NarrowOuterWidth - frameExtra());
    EXPECT_FALSE(form.ServicePanel->isVisible());

    PressOnTheDisplay({"type", "51730264"});
    EXPECT_TRUE(outerWidthBecomes(WideOuterWidth)) << outerWidth();

    form.hide();
    ASSERT_TRUE(showFramed());
    EXPECT_TRUE(outerWidthBecomes(WideOuterWidth)) << outerWidth();
    EXPECT_TRUE(form.ServicePanel->isVisible());
}

TEST_F(WindowFrame, EveryControlCanBeReachedInsideTheScreensWorkArea)
{
    auto bridge = std::make_shared<TFakeLine>();
    TMainForm form(FakeLineEnvironment(bridge));
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return form.windowHandle()->frameMargins().top() > 0; }, Patience))
        << "the window manager put no frame around the window";
    for (const QChar key : QStringLiteral("51730264"))
        form.FormKeyPress(key);
    ASSERT_TRUE(form.ServicePanel->isVisible());

    const QRect available = form.screen()->availableGeometry();
    RecordProperty(
        "Screen",
        QStringLiteral("%1x%2").arg(available.width()).arg(available.height()).toStdString());
    const QMargins frame = form.windowHandle()->frameMargins();
    const QSize designed(WideOuterWidth - frame.left() - frame.right(), 691);
    const auto inside = [&] { return available.contains(form.windowHandle()->frameGeometry()); };
    EXPECT_TRUE(QTest::qWaitFor(inside, Patience))
        << "window at " << form.windowHandle()->frameGeometry().x() << ","
        << form.windowHandle()->frameGeometry().y() << " "
        << form.windowHandle()->frameGeometry().width() << "x"
        << form.windowHandle()->frameGeometry().height() << " on " << available.width() << "x"
        << available.height();

    auto* scroll = form.findChild<QScrollArea*>(QStringLiteral("WindowScrollArea"));
    ASSERT_NE(scroll, nullptr);
    // Where the screen has room, the designed window without scroll bars.
    if (available.size().boundedTo(designed.grownBy(frame)) == designed.grownBy(frame)) {
        EXPECT_EQ(form.size(), designed);
        EXPECT_TRUE(QTest::qWaitFor(
            [&] {
                return !scroll->horizontalScrollBar()->isVisible() &&
                       !scroll->verticalScrollBar()->isVisible();
            },
            Patience));
    }

    // Each control, scrolled into view, lies whole inside the visible part
    // of the window and inside the work area.
    QList<QWidget*> controls = {form.SetPhaseButton,
                                form.SetDelayButton,
                                form.SetPathGainButton,
                                form.SetCFTButton,
                                form.SetPButton,
                                form.SetIButton,
                                form.SetDButton,
                                form.SetPIDGainButton,
                                form.SetExpectedPeaksButton,
                                form.SetPointButton,
                                form.CTFTemp10Button,
                                form.CFTTemp40Button,
                                form.CFTOffsetButton,
                                form.ModulationButton,
                                form.FOffsetButton,
                                form.StabilizationCheckCheckBox,
                                form.ReadParamsButton,
                                form.HideButton,
                                form.ChartCheckBox,
                                form.SaveDataChartToFileCheckBox,
                                form.NextButton,
                                form.BackButton,
                                form.SaveChartButton,
                                form.ConnectButton};
    for (QWidget* control : controls) {
        SCOPED_TRACE(control->objectName().toStdString());
        // The page the control lies on is the one shown.
        for (int page = 0; page < form.PageControl->count(); ++page) {
            if (form.PageControl->widget(page)->isAncestorOf(control))
                form.PageControl->setCurrentIndex(page);
        }
        ASSERT_TRUE(control->isVisible());
        scroll->ensureWidgetVisible(control, 0, 0);
        QCoreApplication::processEvents();
        const QRect inViewport(control->mapTo(scroll->viewport(), QPoint(0, 0)), control->size());
        EXPECT_TRUE(scroll->viewport()->rect().contains(inViewport));
        const QRect onScreen(control->mapToGlobal(QPoint(0, 0)), control->size());
        EXPECT_TRUE(available.contains(onScreen)) << onScreen.x() << "," << onScreen.y() << " "
                                                  << onScreen.width() << "x" << onScreen.height();
        // And the operator's click there reaches it.
        QWidget* hit = QApplication::widgetAt(onScreen.center());
        EXPECT_TRUE(hit == control || control->isAncestorOf(hit));
    }

    // Screenshots for a look by eye, when asked for.
    const QString shots = qEnvironmentVariable("VARNEL_SCREENSHOT_DIR");
    if (!shots.isEmpty()) {
        scroll->ensureWidgetVisible(form.HideButton, 0, 0);
        QTest::qWait(300);
        form.screen()->grabWindow(0).save(QStringLiteral("%1/window-%2x%3.png")
                                              .arg(shots)
                                              .arg(available.width())
                                              .arg(available.height()));
    }
}

} // namespace
