// The window's outer width with a real frame around it: on an X server with
// a window manager (this test starts openbox on the display it is given),
// the access code typed as X key events widens the window to its outer
// width with the service panel, Hide narrows it again, and hiding and
// showing the window keeps what it had.
#include "ConsoleTestSupport.h"

#include "console/MainUnit.h"

#include <QFile>
#include <QProcess>
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

} // namespace
