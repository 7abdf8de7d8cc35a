#pragma once
// Light and dark colour schemes for every window, applied application-wide.
#include <QColor>
#include <QPalette>

namespace ostrela {

QPalette lightPalette();
QPalette darkPalette();
// Sets the Fusion style (so the palette is honoured on every desktop; check box and radio button
// outlines drawn in controlOutlineColor) and the scheme's palette.
void applyColorScheme(bool dark);
// The accent colour used for highlights (selected alignment, focus).
QColor accentColor();

// WCAG relative luminance (0…1) and the contrast ratio of two colours (1…21).
double relativeLuminance(const QColor& c);
double contrastRatio(const QColor& a, const QColor& b);
bool isDarkPalette(const QPalette& p);
// The outline of check boxes and radio buttons: at least 3:1 against the window colour.
QColor controlOutlineColor(const QPalette& p);
// The text of a destructive button ("Reset All Ostrela Data…"): at least 3:1 against the button.
QColor destructiveTextColor(const QPalette& p);

}  // namespace ostrela
