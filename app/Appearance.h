#pragma once
// Light and dark colour schemes for every window, applied application-wide.
#include <QColor>
#include <QPalette>

namespace ostrela {

QPalette lightPalette();
QPalette darkPalette();
// Sets the Fusion style (so the palette is honoured on every desktop) and the scheme's palette.
void applyColorScheme(bool dark);
// The accent colour used for highlights (selected alignment, focus).
QColor accentColor();

}  // namespace ostrela
