// SPDX-License-Identifier: GPL-3.0-or-later
#include "StyleUnit.h"

#include <QApplication>
#include <QFile>
#include <QPalette>
#include <QStyle>
#include <QStyleFactory>

namespace {

QPalette LightPalette()
{
    QPalette palette;
    palette.setColor(QPalette::Window, QColor(0xF0, 0xF0, 0xF0));
    palette.setColor(QPalette::WindowText, Qt::black);
    palette.setColor(QPalette::Base, Qt::white);
    palette.setColor(QPalette::AlternateBase, QColor(0xF7, 0xF7, 0xF7));
    palette.setColor(QPalette::Text, Qt::black);
    palette.setColor(QPalette::Button, QColor(0xF0, 0xF0, 0xF0));
    palette.setColor(QPalette::ButtonText, Qt::black);
    palette.setColor(QPalette::Light, Qt::white);
    palette.setColor(QPalette::Midlight, QColor(0xE3, 0xE3, 0xE3));
    palette.setColor(QPalette::Dark, QColor(0xA0, 0xA0, 0xA0));
    palette.setColor(QPalette::Mid, QColor(0xC8, 0xC8, 0xC8));
    palette.setColor(QPalette::Shadow, QColor(0x69, 0x69, 0x69));
    palette.setColor(QPalette::Highlight, QColor(0x00, 0x78, 0xD7));
    palette.setColor(QPalette::HighlightedText, Qt::white);
    palette.setColor(QPalette::ToolTipBase, QColor(0xFF, 0xFF, 0xE1));
    palette.setColor(QPalette::ToolTipText, Qt::black);
    palette.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0x78, 0x78, 0x78));
    palette.setColor(QPalette::Disabled, QPalette::Text, QColor(0x78, 0x78, 0x78));
    palette.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0x78, 0x78, 0x78));
    return palette;
}

} // namespace

bool ApplyVisualStyle(QApplication& app, const QString& name, QString* error)
{
    QFile sheet(QStringLiteral(":/style/%1.qss").arg(name));
    if (!sheet.open(QIODevice::ReadOnly | QIODevice::Text)) {
        if (error)
            *error = QStringLiteral("The visual style \"%1\" is not available: %2")
                         .arg(name, sheet.errorString());
        return false;
    }
    QStyle* style = QStyleFactory::create(QStringLiteral("Fusion"));
    if (!style) {
        if (error)
            *error = QStringLiteral("The visual style \"%1\" cannot be applied: its base style "
                                    "is missing.")
                         .arg(name);
        return false;
    }
    QApplication::setStyle(style);
    QApplication::setPalette(LightPalette());
    app.setStyleSheet(QString::fromUtf8(sheet.readAll()));
    return true;
}
