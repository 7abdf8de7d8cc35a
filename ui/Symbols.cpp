#include "ui/Symbols.h"

#include "ui/Resources.h"

#include <QApplication>
#include <QBuffer>
#include <QFile>
#include <QHash>
#include <QIconEngine>
#include <QImageReader>
#include <QPainter>
#include <QPalette>
#include <QPixmap>

#include <optional>

namespace ostrela::symbols {

namespace {

const QHash<QString, QStringList>& table() {
    static const QHash<QString, QStringList> t = {
        {"exclamationmark.triangle.fill", {"dialog-warning", "emblem-important"}},
        {"eye.fill", {"view-visible", "view-reveal", "visibility"}},
        {"eye.slash.fill", {"view-hidden", "view-conceal", "hint"}},
        {"sparkles", {"tools-wizard", "starred"}},
        {"arrow.up.left.and.arrow.down.right", {"view-fullscreen", "zoom-fit-best"}},
        {"arrow.down.right.and.arrow.up.left", {"view-restore", "zoom-original"}},
        {"face.smiling", {"face-smile", "emoji-people"}},
        {"text.alignleft", {"format-justify-left"}},
        {"text.aligncenter", {"format-justify-center"}},
        {"text.alignright", {"format-justify-right"}},
        {"list.bullet.rectangle", {"view-list-details", "format-list-unordered"}},
        {"textformat", {"preferences-desktop-font", "format-text-bold"}},
        {"gearshape", {"preferences-system", "emblem-system"}},
        {"folder.badge.plus", {"folder-new"}},
        {"folder", {"folder"}},
        {"square.grid.2x2", {"view-grid", "view-app-grid"}},
        {"photo.on.rectangle.angled", {"image-x-generic", "folder-pictures"}},
        {"photo", {"image-x-generic"}},
        {"video.fill", {"video-x-generic"}},
        {"video", {"camera-video", "camera-web"}},
        {"camera.fill", {"camera-web", "camera-video"}},
        {"stop.circle.fill", {"media-playback-stop"}},
        {"play.fill", {"media-playback-start"}},
        {"pause.fill", {"media-playback-pause"}},
        {"stop.fill", {"media-playback-stop"}},
        {"backward.end.fill", {"media-skip-backward"}},
        {"speaker.slash.fill", {"audio-volume-muted"}},
        {"speaker.wave.1.fill", {"audio-volume-low"}},
        {"speaker.wave.2.fill", {"audio-volume-high"}},
        {"pip", {"view-dual"}},
        {"pip.fill", {"view-dual"}},
        {"arrow.up.left", {"go-top"}},
        {"arrow.up.right", {"go-top"}},
        {"arrow.down.left", {"go-bottom"}},
        {"arrow.down.right", {"go-bottom"}},
        {"xmark.circle.fill", {"edit-delete", "window-close"}},
        {"wrench.and.screwdriver", {"preferences-other", "applications-engineering"}},
        {"link", {"insert-link"}},
        {"magnifyingglass", {"edit-find", "system-search"}},
        {"questionmark.circle", {"help-contents", "help-about"}},
        {"chevron.down", {"pan-down", "go-down"}},
        {"chevron.right", {"pan-end", "go-next"}},
        {"paintpalette", {"preferences-desktop-color", "color-management"}},
        {"square.dashed", {"edit-select-all"}},
        // Help topics.
        {"clock.arrow.circlepath", {"view-history", "document-open-recent"}},
        {"checklist", {"checkbox", "view-task"}},
        {"photo.stack.fill", {"folder-pictures", "image-x-generic"}},
        {"film.fill", {"video-x-generic"}},
        {"square.resize", {"zoom-fit-best"}},
        {"text.below.photo.fill", {"insert-text"}},
        {"camera.filters", {"camera-photo"}},
        {"gearshape.fill", {"preferences-system", "emblem-system"}},
        {"arrow.down.circle.fill", {"system-software-update"}},
        {"star.fill", {"starred", "emblem-favorite"}},
        // The effects have no counterparts in icon themes: always the bundled drawings.
    };
    return t;
}

QString resourcePath(const QString& symbol) {
    initUiResources();
    return QStringLiteral(":/symbols/") + symbol + QStringLiteral(".svg");
}

bool useThemeIcons() {
    // The drawings follow Ostrela's own light or dark appearance; a desktop theme's icons follow the
    // desktop's and turn dark on dark when the two differ. The theme only on request.
    if (qEnvironmentVariable("OSTRELA_BUNDLED_SYMBOLS") != QLatin1String("0")) return false;
    const QString theme = QIcon::themeName();
    // "hicolor" holds only application icons.
    return !theme.isEmpty() && theme != QLatin1String("hicolor");
}

}  // namespace

QStringList themeNames(const QString& symbol) { return table().value(symbol); }

bool hasBundled(const QString& symbol) { return QFile::exists(resourcePath(symbol)); }

namespace {

// One drawing at one size in one pair of colours, drawn once: windows ask again on every paint.
QPixmap renderSymbol(const QString& symbol, const QColor& color, const QColor& background, const QSize& size) {
    static QHash<QString, QPixmap> cache;
    const QString key = symbol + QLatin1Char('|') + color.name(QColor::HexArgb) + QLatin1Char('|') +
                        background.name(QColor::HexArgb) + QLatin1Char('|') + QString::number(size.width()) +
                        QLatin1Char('x') + QString::number(size.height());
    if (auto it = cache.constFind(key); it != cache.constEnd()) return *it;
    QFile f(resourcePath(symbol));
    if (!f.open(QIODevice::ReadOnly) || size.isEmpty()) return {};
    QByteArray svg = f.readAll();
    // Placeholders first: a colour written in may itself contain "#fff" or "#000".
    svg.replace("currentColor", "@ink@");
    svg.replace("#000", "@ink@");
    svg.replace("#fff", "@cut@");
    svg.replace("@ink@", color.name(QColor::HexRgb).toLatin1());
    svg.replace("@cut@", background.name(QColor::HexRgb).toLatin1());
    QBuffer buffer(&svg);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer, "svg");
    reader.setScaledSize(size);
    const QImage image = reader.read();
    if (image.isNull()) return {};
    if (cache.size() > 2048) cache.clear();
    const QPixmap pm = QPixmap::fromImage(image);
    cache.insert(key, pm);
    return pm;
}

QColor inkFor(QIcon::Mode mode) {
    const QPalette p = QApplication::palette();
    switch (mode) {
    case QIcon::Disabled: return p.color(QPalette::Disabled, QPalette::ButtonText);
    case QIcon::Selected: return p.color(QPalette::HighlightedText);
    default: return p.color(QPalette::ButtonText);
    }
}

// A bundled symbol in fixed colours, or (without colours) in the application palette's colours
// of the moment it is painted, so one icon object follows every change of appearance.
class SymbolEngine : public QIconEngine {
public:
    SymbolEngine(QString symbol, std::optional<QColor> ink, std::optional<QColor> background)
        : symbol_(std::move(symbol)), ink_(std::move(ink)), background_(std::move(background)) {}
    QIconEngine* clone() const override { return new SymbolEngine(symbol_, ink_, background_); }
    QString key() const override { return QStringLiteral("ostrela.symbol"); }
    QString iconName() override { return symbol_; }
    bool isNull() override { return false; }
    QSize actualSize(const QSize& size, QIcon::Mode, QIcon::State) override { return size; }
    QList<QSize> availableSizes(QIcon::Mode, QIcon::State) override { return {{16, 16}, {24, 24}, {32, 32}, {48, 48}}; }
    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State) override {
        const QColor ink = ink_ ? (mode == QIcon::Disabled ? QColor(ink_->red(), ink_->green(), ink_->blue(), 110) : *ink_)
                                : inkFor(mode);
        const QColor background = background_ ? *background_ : QApplication::palette().color(QPalette::Button);
        return renderSymbol(symbol_, ink, background, size);
    }
    void paint(QPainter* painter, const QRect& rect, QIcon::Mode mode, QIcon::State state) override {
        const qreal dpr = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
        QPixmap pm = pixmap((QSizeF(rect.size()) * dpr).toSize(), mode, state);
        pm.setDevicePixelRatio(dpr);
        painter->drawPixmap(rect, pm);
    }

private:
    QString symbol_;
    std::optional<QColor> ink_;
    std::optional<QColor> background_;
};

}  // namespace

QIcon bundledIcon(const QString& symbol, const QColor& color, const QColor& background) {
    if (!hasBundled(symbol)) return {};
    return QIcon(new SymbolEngine(symbol, color, background));
}

QIcon icon(const QString& symbol, const QColor& color) {
    return bundledIcon(symbol, color, QApplication::palette().color(QPalette::Window));
}

QIcon icon(const QString& symbol) {
    if (useThemeIcons())
        for (const QString& name : themeNames(symbol))
            if (QIcon::hasThemeIcon(name)) return QIcon::fromTheme(name);
    if (!hasBundled(symbol)) return {};
    return QIcon(new SymbolEngine(symbol, std::nullopt, std::nullopt));
}

SymbolView::SymbolView(const QString& symbol, int size, QWidget* parent, QPalette::ColorRole role)
    : QWidget(parent), symbol_(symbol), size_(size), role_(role) {
    setFixedSize(size, size);
    setAttribute(Qt::WA_TranslucentBackground);
}

void SymbolView::setSymbol(const QString& symbol) {
    if (symbol == symbol_) return;
    symbol_ = symbol;
    update();
}

QPixmap SymbolView::currentPixmap() const {
    const QPalette p = QApplication::palette();
    const QSize s(size_, size_);
    if (role_ == QPalette::ButtonText) return icon(symbol_).pixmap(s, isEnabled() ? QIcon::Normal : QIcon::Disabled);
    return bundledIcon(symbol_, p.color(isEnabled() ? QPalette::Normal : QPalette::Disabled, role_), p.color(QPalette::Window))
        .pixmap(s);
}

void SymbolView::paintEvent(QPaintEvent*) {
    QPainter p(this);
    const QPixmap pm = currentPixmap();
    p.drawPixmap(QRect(QPoint((width() - size_) / 2, (height() - size_) / 2), QSize(size_, size_)), pm);
}

}  // namespace ostrela::symbols
