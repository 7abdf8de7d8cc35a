#include "app/Appearance.h"

#include <QApplication>
#include <QStyle>
#include <QStyleFactory>

namespace ostrela {

QColor accentColor() { return QColor(0x0A, 0x84, 0xFF); }

QPalette lightPalette() {
    QPalette p;
    p.setColor(QPalette::Window, QColor(0xEC, 0xEC, 0xEC));
    p.setColor(QPalette::WindowText, QColor(0x1D, 0x1D, 0x1F));
    p.setColor(QPalette::Base, Qt::white);
    p.setColor(QPalette::AlternateBase, QColor(0xF5, 0xF5, 0xF5));
    p.setColor(QPalette::Text, QColor(0x1D, 0x1D, 0x1F));
    p.setColor(QPalette::PlaceholderText, QColor(0x8E, 0x8E, 0x93));
    p.setColor(QPalette::Button, QColor(0xFA, 0xFA, 0xFA));
    p.setColor(QPalette::ButtonText, QColor(0x1D, 0x1D, 0x1F));
    p.setColor(QPalette::Highlight, accentColor());
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::ToolTipBase, QColor(0xFF, 0xFF, 0xE8));
    p.setColor(QPalette::ToolTipText, Qt::black);
    p.setColor(QPalette::Link, accentColor());
    p.setColor(QPalette::Mid, QColor(0xC6, 0xC6, 0xC8));
    p.setColor(QPalette::Disabled, QPalette::Text, QColor(0xA0, 0xA0, 0xA5));
    p.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0xA0, 0xA0, 0xA5));
    p.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0xA0, 0xA0, 0xA5));
    return p;
}

QPalette darkPalette() {
    QPalette p;
    p.setColor(QPalette::Window, QColor(0x1E, 0x1E, 0x1E));
    p.setColor(QPalette::WindowText, QColor(0xEB, 0xEB, 0xF0));
    p.setColor(QPalette::Base, QColor(0x2A, 0x2A, 0x2C));
    p.setColor(QPalette::AlternateBase, QColor(0x32, 0x32, 0x34));
    p.setColor(QPalette::Text, QColor(0xEB, 0xEB, 0xF0));
    p.setColor(QPalette::PlaceholderText, QColor(0x8E, 0x8E, 0x93));
    p.setColor(QPalette::Button, QColor(0x3A, 0x3A, 0x3C));
    p.setColor(QPalette::ButtonText, QColor(0xEB, 0xEB, 0xF0));
    p.setColor(QPalette::Highlight, accentColor());
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::ToolTipBase, QColor(0x3A, 0x3A, 0x3C));
    p.setColor(QPalette::ToolTipText, QColor(0xEB, 0xEB, 0xF0));
    p.setColor(QPalette::Link, QColor(0x40, 0x9C, 0xFF));
    p.setColor(QPalette::Light, QColor(0x50, 0x50, 0x52));
    p.setColor(QPalette::Midlight, QColor(0x44, 0x44, 0x46));
    p.setColor(QPalette::Mid, QColor(0x48, 0x48, 0x4A));
    p.setColor(QPalette::Dark, QColor(0x15, 0x15, 0x15));
    p.setColor(QPalette::Shadow, Qt::black);
    p.setColor(QPalette::Disabled, QPalette::Text, QColor(0x6E, 0x6E, 0x73));
    p.setColor(QPalette::Disabled, QPalette::ButtonText, QColor(0x6E, 0x6E, 0x73));
    p.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0x6E, 0x6E, 0x73));
    return p;
}

void applyColorScheme(bool dark) {
    if (!qApp) return;
    if (qobject_cast<QApplication*>(qApp) && QApplication::style()->name().compare(QLatin1String("fusion"), Qt::CaseInsensitive) != 0)
        QApplication::setStyle(QStyleFactory::create(QStringLiteral("Fusion")));
    QApplication::setPalette(dark ? darkPalette() : lightPalette());
}

}  // namespace ostrela
