// SPDX-License-Identifier: GPL-3.0-or-later
// A display-only bar that shows an integer position inside a range: a solid,
// gradient or tiled fill growing in one of four directions, an optional
// sunken border and a centred caption. Everything is composed in one
// off-screen image the size of the control and copied to the screen in one
// step, so the bar never shows a half-drawn state.
#pragma once

#include <QColor>
#include <QImage>
#include <QPixmap>
#include <QString>
#include <QWidget>

class QPainter;

class TALProgressBar : public QWidget
{
    Q_OBJECT

public:
    enum TProgressDirection
    {
        pdLeftToRight,
        pdRightToLeft,
        pdBottomToTop,
        pdTopToBottom
    };
    Q_ENUM(TProgressDirection)

    enum TBarColorStyle
    {
        cs1Color,
        cs2Colors,
        cs3Colors
    };
    Q_ENUM(TBarColorStyle)

    // The three colours that default to system colours follow the palette
    // (button face, button shadow, button highlight) until a colour is set;
    // their getters return the colour currently painted.
    Q_PROPERTY(QColor BackgroundColor READ BackgroundColor WRITE setBackgroundColor RESET
                   resetBackgroundColor)
    Q_PROPERTY(QPixmap BarBitmap READ BarBitmap WRITE setBarBitmap)
    Q_PROPERTY(QColor BarColor1 READ BarColor1 WRITE setBarColor1)
    Q_PROPERTY(QColor BarColor2 READ BarColor2 WRITE setBarColor2)
    Q_PROPERTY(QColor BarColor3 READ BarColor3 WRITE setBarColor3)
    Q_PROPERTY(TBarColorStyle BarColorStyle READ BarColorStyle WRITE setBarColorStyle)
    Q_PROPERTY(QColor BorderColor1 READ BorderColor1 WRITE setBorderColor1 RESET resetBorderColor1)
    Q_PROPERTY(QColor BorderColor2 READ BorderColor2 WRITE setBorderColor2 RESET resetBorderColor2)
    Q_PROPERTY(TProgressDirection Direction READ Direction WRITE setDirection)
    Q_PROPERTY(int Max READ Max WRITE setMax)
    Q_PROPERTY(int Min READ Min WRITE setMin)
    Q_PROPERTY(bool Percentage READ Percentage WRITE setPercentage)
    Q_PROPERTY(int Position READ Position WRITE setPosition)
    Q_PROPERTY(QString PosTextPrefix READ PosTextPrefix WRITE setPosTextPrefix)
    Q_PROPERTY(QString PosTextSuffix READ PosTextSuffix WRITE setPosTextSuffix)
    Q_PROPERTY(bool ShowBorder READ ShowBorder WRITE setShowBorder)
    Q_PROPERTY(bool ShowPosText READ ShowPosText WRITE setShowPosText)
    Q_PROPERTY(QString Text READ Text WRITE setText)

    explicit TALProgressBar(QWidget* parent = nullptr);
    ~TALProgressBar() override;

    QColor BackgroundColor() const;
    const QPixmap& BarBitmap() const { return fBarBitmap; }
    QColor BarColor1() const { return fBarColor1; }
    QColor BarColor2() const { return fBarColor2; }
    QColor BarColor3() const { return fBarColor3; }
    TBarColorStyle BarColorStyle() const { return fBarColorStyle; }
    QColor BorderColor1() const;
    QColor BorderColor2() const;
    TProgressDirection Direction() const { return fDirection; }
    int Max() const { return fMax; }
    int Min() const { return fMin; }
    bool Percentage() const { return fPercentage; }
    int Position() const { return fPosition; }
    QString PosTextPrefix() const { return fPosTextPrefix; }
    QString PosTextSuffix() const { return fPosTextSuffix; }
    bool ShowBorder() const { return fShowBorder; }
    bool ShowPosText() const { return fShowPosText; }
    QString Text() const { return fText; }

    void setBackgroundColor(const QColor& color);
    void resetBackgroundColor();
    void setBarBitmap(const QPixmap& bitmap);
    void setBarColor1(const QColor& color);
    void setBarColor2(const QColor& color);
    void setBarColor3(const QColor& color);
    void setBarColorStyle(TBarColorStyle style);
    void setBorderColor1(const QColor& color);
    void resetBorderColor1();
    void setBorderColor2(const QColor& color);
    void resetBorderColor2();
    void setDirection(TProgressDirection direction);
    void setMax(int value);
    void setMin(int value);
    void setPercentage(bool value);
    // Does nothing when the position is unchanged; otherwise repaints
    // without rebuilding the cached gradient or tiled image.
    void setPosition(int value);
    void setPosTextPrefix(const QString& text);
    void setPosTextSuffix(const QString& text);
    void setShowBorder(bool value);
    void setShowPosText(bool value);
    void setText(const QString& text);

    // The caption as it is drawn now.
    QString Caption() const;

    // Runs the whole paint into the off-screen image at one image pixel per
    // control pixel and returns a copy of it, without touching the screen.
    QImage RenderToImage();

    // How many times the off-screen image was composed, and how many times
    // the cached fill (gradient or tiled image) was rebuilt.
    int PaintCount() const { return FPaintCount; }
    int FillBuildCount() const { return FFillBuildCount; }

    // Colour of step k of n between a and b, each channel rounded to the
    // nearest integer with halves away from zero. Throws std::out_of_range
    // when k is outside 1..n.
    static QColor GradientColor(const QColor& a, const QColor& b, int k, int n);

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void Compose(qreal pixelRatio);
    void DrawFill(QPainter& painter, int w, int h, qreal pixelRatio);
    void BuildGradient(int w, int h, qreal pixelRatio);
    void TileBitmap(int w, int h, qreal pixelRatio);
    void DrawBorder(QPainter& painter, int w, int h);
    void DrawCaption(QPainter& painter, int w, int h);
    // Repaints after a change that alters the cached fill.
    void FillChanged();

    QImage MainBitmap;
    QColor fBorderColor1;
    QColor fBorderColor2;
    QColor fBackgroundColor;
    int fPosition = 0;
    QPixmap fBarBitmap;
    int fMin = 0;
    int fMax = 100;
    bool fShowBorder = true;
    TProgressDirection fDirection = pdLeftToRight;
    bool fShowPosText = true;
    QString fPosTextSuffix;
    QString fPosTextPrefix;
    TBarColorStyle fBarColorStyle = cs3Colors;
    QColor fBarColor1;
    QColor fBarColor2;
    QColor fBarColor3;
    // False while the cached fill matches the current size and fill settings.
    bool RegenerateBitmap = true;
    QImage TiledBarBitmap;
    bool fPercentage = false;
    QString fText;

    int FPaintCount = 0;
    int FFillBuildCount = 0;
};
