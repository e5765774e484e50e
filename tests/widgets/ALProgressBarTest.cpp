// SPDX-License-Identifier: GPL-3.0-or-later
#include "widgets/ALProgressBar.h"

#include <QCoreApplication>
#include <QPainter>
#include <QTest>

#include <gtest/gtest.h>

#include <climits>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

const QColor Fill(0x00, 0x80, 0x00);
const QColor Back(0x10, 0x20, 0xC0);
const QColor Border1(0x40, 0x40, 0x40);
const QColor Border2(0xF0, 0xF0, 0xF0);

std::string Name(const QColor& c)
{
    return c.name().toStdString();
}

// A bar with a solid fill, distinct fixed colours and no caption, so that
// every pixel is either fill, background or border.
void SolidBar(TALProgressBar& bar, int w, int h)
{
    bar.resize(w, h);
    bar.setBarColorStyle(TALProgressBar::cs1Color);
    bar.setBarColor1(Fill);
    bar.setBackgroundColor(Back);
    bar.setBorderColor1(Border1);
    bar.setBorderColor2(Border2);
    bar.setShowPosText(false);
}

} // namespace

TEST(ALProgressBar, FillAndBackgroundAreas)
{
    struct Case
    {
        const char* name;
        int w, h;
        bool border;
        TALProgressBar::TProgressDirection direction;
        int min, max, position;
        QRect background; // left, top, right + 1, bottom + 1 as a QRect; empty = none
    };
    using D = TALProgressBar;
    const auto R = [](int l, int t, int r, int b) { return QRect(l, t, r - l, b - t); };
    const std::vector<Case> cases = {
        {"96.5 rounds to 96", 195, 20, true, D::pdLeftToRight, 0, 100, 50, R(97, 1, 194, 19)},
        {"97.5 rounds to 98", 195, 20, false, D::pdLeftToRight, 0, 100, 50, R(98, 0, 195, 20)},
        {"above max is full", 195, 20, true, D::pdLeftToRight, 0, 100, 150, QRect()},
        {"far above max is full", 195, 20, true, D::pdLeftToRight, 0, 1, INT_MAX, QRect()},
        {"at min is empty", 195, 20, true, D::pdLeftToRight, 0, 100, 0, R(1, 1, 194, 19)},
        {"below min is empty", 195, 20, true, D::pdLeftToRight, 0, 100, -5, R(1, 1, 194, 19)},
        {"max below min", 195, 20, true, D::pdLeftToRight, 100, 0, 150, R(97, 1, 194, 19)},
        {"empty range", 195, 20, true, D::pdLeftToRight, 7, 7, 50, R(1, 1, 194, 19)},
        {"right to left", 195, 20, true, D::pdRightToLeft, 0, 100, 50, R(1, 1, 98, 19)},
        {"top to bottom", 20, 195, true, D::pdTopToBottom, 0, 100, 50, R(1, 97, 19, 194)},
        {"bottom to top", 20, 195, true, D::pdBottomToTop, 0, 100, 50, R(1, 1, 19, 98)},
        {"bottom to top, no border", 20, 195, false, D::pdBottomToTop, 0, 100, 25,
         R(0, 0, 20, 146)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TALProgressBar bar;
        SolidBar(bar, c.w, c.h);
        bar.setShowBorder(c.border);
        bar.setDirection(c.direction);
        bar.setMin(c.min);
        bar.setMax(c.max);
        bar.setPosition(c.position);
        const QImage image = bar.RenderToImage();
        ASSERT_EQ(image.size(), QSize(c.w, c.h));

        int wrong = 0;
        for (int y = 0; y < c.h; ++y) {
            for (int x = 0; x < c.w; ++x) {
                QColor expected;
                const bool edge = x == 0 || y == 0 || x == c.w - 1 || y == c.h - 1;
                if (c.border && edge) {
                    // Top and left lines (with the top-right and bottom-left
                    // corners) in the first colour, the rest in the second.
                    expected = (y == 0 || x == 0) ? Border1 : Border2;
                } else {
                    expected = c.background.contains(x, y) ? Back : Fill;
                }
                if (image.pixelColor(x, y) != expected && wrong++ < 5) {
                    ADD_FAILURE() << "pixel (" << x << ", " << y << ") is "
                                  << Name(image.pixelColor(x, y)) << ", expected "
                                  << Name(expected);
                }
            }
        }
        EXPECT_EQ(wrong, 0);
    }
}

TEST(ALProgressBar, GradientLines)
{
    const QColor c1(0x00, 0x80, 0x00), c2(0xFF, 0xFF, 0x00), c3(0xFF, 0x00, 0x00);
    struct Case
    {
        const char* name;
        TALProgressBar::TProgressDirection direction;
        TALProgressBar::TBarColorStyle style;
        std::vector<std::pair<int, QColor>> lines; // line index along the bar, colour
    };
    using D = TALProgressBar;
    const std::vector<Case> cases = {
        {"3 colours, left to right",
         D::pdLeftToRight,
         D::cs3Colors,
         {{0, c1}, {96, c2}, {97, c2}, {194, c3}, {48, D::GradientColor(c1, c2, 49, 97)}}},
        {"3 colours, right to left",
         D::pdRightToLeft,
         D::cs3Colors,
         {{0, c3}, {96, c2}, {97, c2}, {194, c1}}},
        {"2 colours, left to right",
         D::pdLeftToRight,
         D::cs2Colors,
         {{0, c1}, {97, D::GradientColor(c1, c2, 98, 195)}, {194, c2}}},
        {"2 colours, bottom to top", D::pdBottomToTop, D::cs2Colors, {{0, c2}, {194, c1}}},
        {"3 colours, top to bottom",
         D::pdTopToBottom,
         D::cs3Colors,
         {{0, c1}, {96, c2}, {97, c2}, {194, c3}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const bool horizontal = c.direction == D::pdLeftToRight || c.direction == D::pdRightToLeft;
        TALProgressBar bar;
        bar.resize(horizontal ? 195 : 20, horizontal ? 20 : 195);
        bar.setDirection(c.direction);
        bar.setBarColorStyle(c.style);
        bar.setShowBorder(false);
        bar.setShowPosText(false);
        bar.setPosition(100);
        const QImage image = bar.RenderToImage();
        for (const auto& [line, colour] : c.lines) {
            SCOPED_TRACE(line);
            // Each line is one colour across the whole bar.
            for (int across : {0, 19}) {
                const QColor pixel =
                    horizontal ? image.pixelColor(line, across) : image.pixelColor(across, line);
                EXPECT_EQ(Name(pixel), Name(colour));
            }
        }
    }
}

TEST(ALProgressBar, GradientColourRoundsHalvesAwayFromZero)
{
    const QColor black(0, 0, 0), white(255, 255, 255);
    EXPECT_EQ(TALProgressBar::GradientColor(black, white, 2, 3), QColor(128, 128, 128));
    EXPECT_EQ(TALProgressBar::GradientColor(white, black, 2, 3), QColor(127, 127, 127));
    EXPECT_EQ(TALProgressBar::GradientColor(white, black, 1, 1), white);
    EXPECT_EQ(TALProgressBar::GradientColor(black, white, INT_MAX, INT_MAX), white);

    for (int k : {0, 6}) {
        try {
            TALProgressBar::GradientColor(black, white, k, 5);
            ADD_FAILURE() << "step " << k << " of 5 was accepted";
        } catch (const std::out_of_range& error) {
            EXPECT_STREQ(error.what(), "ColorIndex can't be less than 1 or greater than 5");
        }
    }
}

TEST(ALProgressBar, TilesBitmapOverTheWholeBar)
{
    // A 7 x 5 tile whose top-left pixel is marked: the marks must repeat
    // every 7 columns and 5 rows up to the right and bottom edges.
    QImage tile(7, 5, QImage::Format_RGB32);
    tile.fill(Qt::blue);
    tile.setPixelColor(0, 0, Qt::red);
    tile.setPixelColor(6, 4, Qt::yellow);
    TALProgressBar bar;
    bar.resize(20, 12);
    bar.setBarBitmap(QPixmap::fromImage(tile));
    bar.setShowBorder(false);
    bar.setShowPosText(false);
    bar.setPosition(100);
    const QImage image = bar.RenderToImage();
    for (int y = 0; y < 12; ++y) {
        for (int x = 0; x < 20; ++x) {
            ASSERT_EQ(image.pixelColor(x, y), tile.pixelColor(x % 7, y % 5))
                << "at (" << x << ", " << y << ")";
        }
    }
}

TEST(ALProgressBar, Caption)
{
    struct Case
    {
        int min, max, position;
        bool percentage;
        const char* prefix;
        const char* suffix;
        const char* text;
        const char* expected;
    };
    const std::vector<Case> cases = {
        {0, 100, 0, false, "", "%", "", "0%"},
        {0, 100, 100, false, "", "%", "", "100%"},
        {0, 100, 150, false, "", "%", "", "100%"},
        {0, 100, -5, false, "", "%", "", "0%"},
        {-50, 50, -20, false, "x=", "", "", "x=-20"},
        {0, 8, 1, true, "", "", "", "12"},
        {0, 8, 3, true, "", "", "", "38"},
        {10, 20, 5, true, "", "", "", "0"},
        {10, 20, 25, true, "", "", "", "100"},
        {INT_MIN, INT_MAX, 0, true, "", "", "", "50"},
        {INT_MIN, INT_MAX, INT_MIN + 1, false, "", "", "", "-2147483647"},
        {100, 0, 50, false, "", "", "", "0"},
        {100, 0, 50, true, "", "", "", "0"},
        {5, 5, 5, false, "", "", "", "0"},
        {0, 100, 42, false, "p", "s", "busy", "busy"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.expected);
        TALProgressBar bar;
        bar.setMin(c.min);
        bar.setMax(c.max);
        bar.setPosition(c.position);
        bar.setPercentage(c.percentage);
        bar.setPosTextPrefix(c.prefix);
        bar.setPosTextSuffix(c.suffix);
        bar.setText(c.text);
        EXPECT_EQ(bar.Caption().toStdString(), c.expected);
    }
}

TEST(ALProgressBar, CaptionIsDrawnCentredInsideTheBar)
{
    TALProgressBar bar;
    SolidBar(bar, 195, 20);
    bar.setPosition(100);
    const QImage plain = bar.RenderToImage();
    bar.setShowPosText(true);
    bar.setText("WWWW");
    const QImage captioned = bar.RenderToImage();

    QRect ink;
    for (int y = 0; y < 20; ++y) {
        for (int x = 0; x < 195; ++x) {
            if (plain.pixel(x, y) != captioned.pixel(x, y)) {
                ink |= QRect(x, y, 1, 1);
            }
        }
    }
    ASSERT_FALSE(ink.isEmpty());
    EXPECT_GT(ink.top(), 0);
    EXPECT_LT(ink.bottom(), 19);
    EXPECT_NEAR(ink.left() + ink.right(), 194, 4);
}

TEST(ALProgressBar, PositionChangeRepaintsWithoutRebuildingTheFill)
{
    TALProgressBar bar;
    bar.resize(195, 20);
    bar.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&bar));
    QTRY_VERIFY(bar.PaintCount() > 0);
    QCoreApplication::processEvents();
    const int paints = bar.PaintCount();
    const int builds = bar.FillBuildCount();
    EXPECT_EQ(builds, 1);

    bar.setPosition(0);
    QCoreApplication::processEvents();
    EXPECT_EQ(bar.PaintCount(), paints) << "the same position repainted";

    bar.setPosition(60);
    QTRY_COMPARE(bar.PaintCount(), paints + 1);
    EXPECT_EQ(bar.FillBuildCount(), builds);

    bar.setBarColor2(Qt::cyan);
    QTRY_COMPARE(bar.PaintCount(), paints + 2);
    EXPECT_EQ(bar.FillBuildCount(), builds + 1);
}

TEST(ALProgressBar, NewBarDefaults)
{
    // Names and defaults as a window layout sets them.
    TALProgressBar bar;
    EXPECT_EQ(bar.size(), QSize(1000, 20));
    const std::vector<std::pair<const char*, QVariant>> defaults = {
        {"BackgroundColor", bar.palette().color(QPalette::Button)},
        {"BarColor1", QColor(0x00, 0x80, 0x00)},
        {"BarColor2", QColor(0xFF, 0xFF, 0x00)},
        {"BarColor3", QColor(0xFF, 0x00, 0x00)},
        {"BarColorStyle", QVariant::fromValue(TALProgressBar::cs3Colors)},
        {"BorderColor1", bar.palette().color(QPalette::Dark)},
        {"BorderColor2", bar.palette().color(QPalette::Light)},
        {"Direction", QVariant::fromValue(TALProgressBar::pdLeftToRight)},
        {"Max", 100},
        {"Min", 0},
        {"Percentage", false},
        {"Position", 0},
        {"PosTextPrefix", QString()},
        {"PosTextSuffix", QString()},
        {"ShowBorder", true},
        {"ShowPosText", true},
        {"Text", QString()},
    };
    for (const auto& [name, value] : defaults) {
        SCOPED_TRACE(name);
        EXPECT_EQ(bar.property(name), value);
    }
    EXPECT_TRUE(bar.property("BarBitmap").value<QPixmap>().isNull());

    // A colour set and then reset follows the palette again.
    bar.setBorderColor1(Qt::red);
    bar.resetBorderColor1();
    QPalette palette = bar.palette();
    palette.setColor(QPalette::Dark, Qt::magenta);
    bar.setPalette(palette);
    EXPECT_EQ(bar.BorderColor1(), QColor(Qt::magenta));
}
