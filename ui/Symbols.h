#pragma once
// The symbols of the windows by their names ("eye.fill", "play.fill", …). Each name maps to
// freedesktop icon-theme names; when the desktop's theme has none of them, the bundled SVG
// (":/symbols/<name>.svg") is used, drawn in the palette's text colour so it reads in light and
// dark mode alike.
#include <QColor>
#include <QIcon>
#include <QString>
#include <QStringList>

namespace ostrela::symbols {

// Theme names tried in order for a symbol; empty for names we don't know.
QStringList themeNames(const QString& symbol);
// Whether a bundled drawing exists for the symbol.
bool hasBundled(const QString& symbol);
// The bundled drawing in `color` (cut-outs in `background`).
QIcon bundledIcon(const QString& symbol, const QColor& color, const QColor& background);
// The theme icon when the desktop offers one, else the bundled one in the application palette.
// OSTRELA_BUNDLED_SYMBOLS=1 always uses the bundled drawings.
QIcon icon(const QString& symbol);
// Always the bundled drawing in `color`.
QIcon icon(const QString& symbol, const QColor& color);

}  // namespace ostrela::symbols
