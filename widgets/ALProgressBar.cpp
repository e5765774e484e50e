// SPDX-License-Identifier: GPL-3.0-or-later
#include "widgets/ALProgressBar.h"

#include <QEvent>
#include <QFontMetrics>
#include <QPainter>
#include <QPalette>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

namespace {

const QColor DefaultBarColor1(0x00, 0x80, 0x00);
const QColor DefaultBarColor2(0xFF, 0xFF, 0x00);
const QColor DefaultBarColor3(0xFF, 0x00, 0x00);

// Fills the rectangle from (left, top) to (right, bottom), right and bottom
// excluded; an empty or inverted rectangle paints nothing.
void FillRect(QPainter& painter, int left, int top, int right, int bottom, const QColor& color)
{
    if (right <= left || bottom <= top) {
        return;
    }
    painter.fillRect(QRect(left, top, right - left, bottom - top), color);
}

bool Horizontal(TALProgressBar::TProgressDirection direction)
{
    return direction == TALProgressBar::pdLeftToRight || direction == TALProgressBar::pdRightToLeft;
}

// a + num / den rounded to the nearest integer, halves away from zero.
int StepChannel(int a, int b, int k, int n)
{
    if (n == 1) {
        return a;
    }
    const int64_t num = int64_t(k - 1) * (b - a);
    const int64_t den = n - 1;
    const int64_t magnitude = (2 * std::llabs(num) + den) / (2 * den);
    return a + int(num < 0 ? -magnitude : magnitude);
}

} // namespace

TALProgressBar::TALProgressBar(QWidget* parent)
    : QWidget(parent), fBarColor1(DefaultBarColor1), fBarColor2(DefaultBarColor2),
      fBarColor3(DefaultBarColor3)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
    setFocusPolicy(Qt::NoFocus);
    resize(1000, 20);
}

TALProgressBar::~TALProgressBar() = default;

QColor TALProgressBar::BackgroundColor() const
{
    return fBackgroundColor.isValid() ? fBackgroundColor : palette().color(QPalette::Button);
}

QColor TALProgressBar::BorderColor1() const
{
    return fBorderColor1.isValid() ? fBorderColor1 : palette().color(QPalette::Dark);
}

QColor TALProgressBar::BorderColor2() const
{
    return fBorderColor2.isValid() ? fBorderColor2 : palette().color(QPalette::Light);
}

void TALProgressBar::setBackgroundColor(const QColor& color)
{
    fBackgroundColor = color;
    update();
}

void TALProgressBar::resetBackgroundColor()
{
    setBackgroundColor(QColor());
}

void TALProgressBar::setBarBitmap(const QPixmap& bitmap)
{
    fBarBitmap = bitmap;
    FillChanged();
}

void TALProgressBar::setBarColor1(const QColor& color)
{
    fBarColor1 = color.isValid() ? color : DefaultBarColor1;
    FillChanged();
}

void TALProgressBar::setBarColor2(const QColor& color)
{
    fBarColor2 = color.isValid() ? color : DefaultBarColor2;
    FillChanged();
}

void TALProgressBar::setBarColor3(const QColor& color)
{
    fBarColor3 = color.isValid() ? color : DefaultBarColor3;
    FillChanged();
}

void TALProgressBar::setBarColorStyle(TBarColorStyle style)
{
    fBarColorStyle = style;
    FillChanged();
}

void TALProgressBar::setBorderColor1(const QColor& color)
{
    fBorderColor1 = color;
    update();
}

void TALProgressBar::resetBorderColor1()
{
    setBorderColor1(QColor());
}

void TALProgressBar::setBorderColor2(const QColor& color)
{
    fBorderColor2 = color;
    update();
}

void TALProgressBar::resetBorderColor2()
{
    setBorderColor2(QColor());
}

void TALProgressBar::setDirection(TProgressDirection direction)
{
    fDirection = direction;
    FillChanged();
}

void TALProgressBar::setMax(int value)
{
    fMax = value;
    update();
}

void TALProgressBar::setMin(int value)
{
    fMin = value;
    update();
}

void TALProgressBar::setPercentage(bool value)
{
    fPercentage = value;
    update();
}

void TALProgressBar::setPosition(int value)
{
    if (value == fPosition) {
        return;
    }
    fPosition = value;
    update();
}

void TALProgressBar::setPosTextPrefix(const QString& text)
{
    fPosTextPrefix = text;
    update();
}

void TALProgressBar::setPosTextSuffix(const QString& text)
{
    fPosTextSuffix = text;
    update();
}

void TALProgressBar::setShowBorder(bool value)
{
    fShowBorder = value;
    update();
}

void TALProgressBar::setShowPosText(bool value)
{
    fShowPosText = value;
    update();
}

void TALProgressBar::setText(const QString& text)
{
    fText = text;
    update();
}

void TALProgressBar::FillChanged()
{
    RegenerateBitmap = true;
    update();
}

QString TALProgressBar::Caption() const
{
    if (!fText.isEmpty()) {
        return fText;
    }
    const int64_t range = int64_t(fMax) - fMin;
    int64_t number;
    if (range < 1) {
        number = 0;
    } else if (fPercentage) {
        if (fPosition <= fMin) {
            number = 0;
        } else if (fPosition >= fMax) {
            number = 100;
        } else {
            number =
                int64_t(std::nearbyint(double(int64_t(fPosition) - fMin) / double(range) * 100));
        }
    } else if (fPosition <= fMin) {
        number = fMin;
    } else if (fPosition >= fMax) {
        number = fMax;
    } else {
        number = fPosition;
    }
    return fPosTextPrefix + QString::number(number) + fPosTextSuffix;
}

QColor TALProgressBar::GradientColor(const QColor& a, const QColor& b, int k, int n)
{
    if (k < 1 || k > n) {
        throw std::out_of_range("ColorIndex can't be less than 1 or greater than " +
                                std::to_string(n));
    }
    return QColor(StepChannel(a.red(), b.red(), k, n), StepChannel(a.green(), b.green(), k, n),
                  StepChannel(a.blue(), b.blue(), k, n));
}

QImage TALProgressBar::RenderToImage()
{
    Compose(1.0);
    return MainBitmap.copy();
}

void TALProgressBar::paintEvent(QPaintEvent*)
{
    Compose(devicePixelRatioF());
    if (!MainBitmap.isNull()) {
        QPainter(this).drawImage(0, 0, MainBitmap);
    }
}

void TALProgressBar::resizeEvent(QResizeEvent* event)
{
    RegenerateBitmap = true;
    QWidget::resizeEvent(event);
}

void TALProgressBar::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::FontChange || event->type() == QEvent::PaletteChange) {
        update();
    }
    QWidget::changeEvent(event);
}

void TALProgressBar::Compose(qreal pixelRatio)
{
    const int w = width();
    const int h = height();
    if (w <= 0 || h <= 0) {
        MainBitmap = QImage();
        return;
    }
    const QSize pixels(qRound(w * pixelRatio), qRound(h * pixelRatio));
    if (MainBitmap.size() != pixels) {
        MainBitmap = QImage(pixels, QImage::Format_RGB32);
    }
    if (MainBitmap.devicePixelRatio() != pixelRatio) {
        MainBitmap.setDevicePixelRatio(pixelRatio);
    }

    QPainter painter(&MainBitmap);
    DrawFill(painter, w, h, pixelRatio);
    if (fShowBorder) {
        DrawBorder(painter, w, h);
    }
    if (fShowPosText) {
        DrawCaption(painter, w, h);
    }
    ++FPaintCount;
}

void TALProgressBar::DrawFill(QPainter& painter, int w, int h, qreal pixelRatio)
{
    const QColor background = BackgroundColor();
    const bool cacheFits = TiledBarBitmap.size() == MainBitmap.size() &&
                           TiledBarBitmap.devicePixelRatio() == pixelRatio;

    if (!fBarBitmap.isNull()) {
        if (RegenerateBitmap || !cacheFits) {
            TileBitmap(w, h, pixelRatio);
        }
        if (fBarBitmap.hasAlphaChannel()) {
            painter.fillRect(QRect(0, 0, w, h), background);
        }
        painter.drawImage(0, 0, TiledBarBitmap);
    } else if (fBarColorStyle == cs1Color) {
        painter.fillRect(QRect(0, 0, w, h), fBarColor1);
    } else {
        if (RegenerateBitmap || !cacheFits) {
            BuildGradient(w, h, pixelRatio);
        }
        painter.drawImage(0, 0, TiledBarBitmap);
    }

    const int length = (Horizontal(fDirection) ? w : h) - (fShowBorder ? 2 : 0);
    const int left = fShowBorder ? 1 : 0;
    const int top = fShowBorder ? 1 : 0;
    const int right = fShowBorder ? w - 1 : w;
    const int bottom = fShowBorder ? h - 1 : h;

    // Computed in floating point: a position far above the range gives a
    // filled length no integer holds, and only a positive empty length is
    // ever painted.
    double filled = 0;
    if (fMin < fPosition && fMax != fMin) {
        const double range = std::abs(double(fMax) - double(fMin));
        filled = std::nearbyint((double(fPosition) - double(fMin)) / range * length);
    }
    const double emptyLength = length - filled;
    if (emptyLength <= 0) {
        return;
    }
    const int empty = int(emptyLength);
    switch (fDirection) {
    case pdLeftToRight:
        FillRect(painter, right - empty, top, right, bottom, background);
        break;
    case pdRightToLeft:
        FillRect(painter, left, top, left + empty, bottom, background);
        break;
    case pdTopToBottom:
        FillRect(painter, left, bottom - empty, right, bottom, background);
        break;
    case pdBottomToTop:
        FillRect(painter, left, top, right, top + empty, background);
        break;
    }
}

void TALProgressBar::TileBitmap(int w, int h, qreal pixelRatio)
{
    TiledBarBitmap = QImage(MainBitmap.size(), QImage::Format_ARGB32_Premultiplied);
    TiledBarBitmap.setDevicePixelRatio(pixelRatio);
    TiledBarBitmap.fill(Qt::transparent);

    const QSizeF tile = fBarBitmap.deviceIndependentSize();
    const int tw = qMax(1, int(tile.width()));
    const int th = qMax(1, int(tile.height()));
    QPainter painter(&TiledBarBitmap);
    for (int j = 0; j <= h / th; ++j) {
        for (int i = 0; i <= w / tw; ++i) {
            painter.drawPixmap(i * tw, j * th, fBarBitmap);
        }
    }
    RegenerateBitmap = false;
    ++FFillBuildCount;
}

void TALProgressBar::BuildGradient(int w, int h, qreal pixelRatio)
{
    TiledBarBitmap = QImage(MainBitmap.size(), QImage::Format_ARGB32_Premultiplied);
    TiledBarBitmap.setDevicePixelRatio(pixelRatio);

    const bool horizontal = Horizontal(fDirection);
    const bool fromOrigin = fDirection == pdLeftToRight || fDirection == pdTopToBottom;
    const int extent = horizontal ? w : h;
    const bool threeColors = fBarColorStyle == cs3Colors;
    const int firstRun = threeColors ? extent / 2 : extent;

    QColor firstFrom, firstTo, secondFrom, secondTo;
    if (!threeColors) {
        firstFrom = fromOrigin ? fBarColor1 : fBarColor2;
        firstTo = fromOrigin ? fBarColor2 : fBarColor1;
    } else {
        firstFrom = fromOrigin ? fBarColor1 : fBarColor3;
        firstTo = fBarColor2;
        secondFrom = fBarColor2;
        secondTo = fromOrigin ? fBarColor3 : fBarColor1;
    }

    QPainter painter(&TiledBarBitmap);
    const auto drawLine = [&](int line, const QColor& color) {
        if (horizontal) {
            painter.fillRect(QRect(line, 0, 1, h), color);
        } else {
            painter.fillRect(QRect(0, line, w, 1), color);
        }
    };
    for (int k = 1; k <= firstRun; ++k) {
        drawLine(k - 1, GradientColor(firstFrom, firstTo, k, firstRun));
    }
    if (threeColors) {
        const int secondRun = extent - firstRun;
        for (int k = 1; k <= secondRun; ++k) {
            drawLine(firstRun + k - 1, GradientColor(secondFrom, secondTo, k, secondRun));
        }
    }
    RegenerateBitmap = false;
    ++FFillBuildCount;
}

void TALProgressBar::DrawBorder(QPainter& painter, int w, int h)
{
    // Sunken: the top and left lines in the first colour, the bottom and
    // right lines in the second; the top-right and bottom-left corners
    // belong to the first colour.
    const QColor first = BorderColor1();
    const QColor second = BorderColor2();
    FillRect(painter, 0, 0, w, 1, first);
    FillRect(painter, 0, 0, 1, h, first);
    FillRect(painter, 1, h - 1, w - 1, h, second);
    FillRect(painter, w - 1, 1, w, h, second);
}

void TALProgressBar::DrawCaption(QPainter& painter, int w, int h)
{
    const QString caption = Caption();
    painter.setFont(font());
    painter.setPen(palette().color(QPalette::WindowText));
    const QFontMetrics metrics = painter.fontMetrics();
    const int x = w / 2 - metrics.horizontalAdvance(caption) / 2;
    const int y = h / 2 - metrics.height() / 2;
    painter.drawText(x, y + metrics.ascent(), caption);
}
