#pragma once
// The symbols of the windows by their names ("eye.fill", "play.fill", …): the bundled SVG
// (":/symbols/<name>.svg"), drawn in the application palette's button text colour of the moment
// it is painted, so it reads in light and dark mode alike and follows a change of appearance
// without being set again. With OSTRELA_BUNDLED_SYMBOLS=0 the desktop theme's icon for one of the
// freedesktop names a symbol maps to is used instead, where the theme has one.
#include <QColor>
#include <QIcon>
#include <QPalette>
#include <QString>
#include <QStringList>
#include <QWidget>

namespace ostrela::symbols {

// Theme names tried in order for a symbol; empty for names we don't know.
QStringList themeNames(const QString& symbol);
// Whether a bundled drawing exists for the symbol.
bool hasBundled(const QString& symbol);
// The bundled drawing in `color` (cut-outs in `background`).
QIcon bundledIcon(const QString& symbol, const QColor& color, const QColor& background);
// The bundled drawing in the application palette (disabled and selected icons in the palette's
// disabled and highlighted text colours); the theme icon instead with OSTRELA_BUNDLED_SYMBOLS=0.
QIcon icon(const QString& symbol);
// Always the bundled drawing in `color`.
QIcon icon(const QString& symbol, const QColor& color);

// A symbol on its own (not on a button), drawn at every paint from the palette of that moment in
// the colour of `role`, so it follows a change of appearance like the buttons' symbols.
class SymbolView : public QWidget {
    Q_OBJECT
public:
    explicit SymbolView(const QString& symbol, int size, QWidget* parent = nullptr,
                        QPalette::ColorRole role = QPalette::ButtonText);
    void setSymbol(const QString& symbol);
    QString symbol() const { return symbol_; }
    QSize sizeHint() const override { return {size_, size_}; }
    // What is drawn now (tests measure it).
    QPixmap currentPixmap() const;

protected:
    void paintEvent(QPaintEvent*) override;

private:
    QString symbol_;
    int size_;
    QPalette::ColorRole role_;
};

}  // namespace ostrela::symbols
