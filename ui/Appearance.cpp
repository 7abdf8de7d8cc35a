#include "ui/Appearance.h"

#include <QApplication>
#include <QPainter>
#include <QPainterPath>
#include <QProxyStyle>
#include <QStyleFactory>
#include <QStyleOption>

#include <algorithm>
#include <cmath>

namespace ostrela {

namespace {

double channel(int v) {
    const double c = v / 255.0;
    return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

QColor mix(const QColor& a, const QColor& b, double t) {
    return QColor::fromRgbF(float(a.redF() * (1 - t) + b.redF() * t), float(a.greenF() * (1 - t) + b.greenF() * t),
                            float(a.blueF() * (1 - t) + b.blueF() * t));
}

// Fusion with check box and radio button outlines that stand out from the window in both schemes
// (Fusion draws them a shade darker than the window, which vanishes on a dark one).
class OstrelaStyle : public QProxyStyle {
public:
    OstrelaStyle() : QProxyStyle(QStyleFactory::create(QStringLiteral("Fusion"))) {}

    void drawPrimitive(PrimitiveElement element, const QStyleOption* option, QPainter* painter,
                       const QWidget* widget) const override {
        QProxyStyle::drawPrimitive(element, option, painter, widget);
        if (element != PE_IndicatorCheckBox && element != PE_IndicatorRadioButton) return;
        // The keyboard focus ring stays Fusion's.
        if ((option->state & State_HasFocus) && (option->state & State_KeyboardFocusChange)) return;
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing, true);
        painter->setBrush(Qt::NoBrush);
        painter->setPen(QPen(controlOutlineColor(option->palette), 1));
        if (element == PE_IndicatorCheckBox) {
            // The same square Fusion fills.
            painter->translate(0.5, 0.5);
            painter->drawRect(option->rect.adjusted(0, 0, -1, -1));
        } else {
            const QRect r = option->rect;
            const QPointF centre = QRectF(r).center() + QPointF(0.5, 0.5);
            const qreal radius = (r.width() + (r.width() + 1) % 2) / 2.0 - 1;
            painter->drawEllipse(centre, radius, radius);
        }
        painter->restore();
    }
};

}  // namespace

QColor accentColor() { return QColor(0x0A, 0x84, 0xFF); }

double relativeLuminance(const QColor& c) {
    return 0.2126 * channel(c.red()) + 0.7152 * channel(c.green()) + 0.0722 * channel(c.blue());
}

double contrastRatio(const QColor& a, const QColor& b) {
    const double la = relativeLuminance(a), lb = relativeLuminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

bool isDarkPalette(const QPalette& p) { return relativeLuminance(p.color(QPalette::Window)) < 0.2; }

QColor controlOutlineColor(const QPalette& p) {
    // Half way from the window to its text: 3:1 or better against the window in both schemes.
    return mix(p.color(QPalette::Window), p.color(QPalette::WindowText), 0.55);
}

QColor destructiveTextColor(const QPalette& p) {
    // The light scheme's red is too dark on a dark button; a lighter red reads there.
    return isDarkPalette(p) ? QColor(0xFF, 0x8A, 0x80) : QColor(0xD3, 0x2F, 0x2F);
}

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
    if (qobject_cast<QApplication*>(qApp) && !dynamic_cast<OstrelaStyle*>(QApplication::style()))
        QApplication::setStyle(new OstrelaStyle);
    QApplication::setPalette(dark ? darkPalette() : lightPalette());
}

}  // namespace ostrela
