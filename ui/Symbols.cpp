#include "ui/Symbols.h"

#include "ui/Resources.h"

#include <QApplication>
#include <QBuffer>
#include <QFile>
#include <QHash>
#include <QImageReader>
#include <QPalette>
#include <QPixmap>

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
    };
    return t;
}

QString resourcePath(const QString& symbol) {
    initUiResources();
    return QStringLiteral(":/symbols/") + symbol + QStringLiteral(".svg");
}

bool useThemeIcons() {
    if (qEnvironmentVariable("OSTRELA_BUNDLED_SYMBOLS") == QLatin1String("1")) return false;
    const QString theme = QIcon::themeName();
    // Without a real desktop theme ("hicolor" holds only application icons) our drawings look better.
    return !theme.isEmpty() && theme != QLatin1String("hicolor");
}

}  // namespace

QStringList themeNames(const QString& symbol) { return table().value(symbol); }

bool hasBundled(const QString& symbol) { return QFile::exists(resourcePath(symbol)); }

QIcon bundledIcon(const QString& symbol, const QColor& color, const QColor& background) {
    // Drawn once per symbol and colour pair: the windows ask again on every refresh.
    static QHash<QString, QIcon> cache;
    const QString key = symbol + QLatin1Char('|') + color.name(QColor::HexArgb) + QLatin1Char('|') +
                        background.name(QColor::HexArgb);
    if (auto it = cache.constFind(key); it != cache.constEnd()) return *it;
    QFile f(resourcePath(symbol));
    if (!f.open(QIODevice::ReadOnly)) return {};
    QByteArray svg = f.readAll();
    const QByteArray ink = color.name(QColor::HexRgb).toLatin1();
    svg.replace("currentColor", ink);
    svg.replace("#000", ink);
    svg.replace("#fff", background.name(QColor::HexRgb).toLatin1());
    QIcon icon;
    for (int size : {16, 24, 32, 48}) {
        QBuffer buffer(&svg);
        buffer.open(QIODevice::ReadOnly);
        QImageReader reader(&buffer, "svg");
        reader.setScaledSize(QSize(size, size));
        const QImage image = reader.read();
        if (!image.isNull()) icon.addPixmap(QPixmap::fromImage(image));
    }
    if (cache.size() > 512) cache.clear();
    cache.insert(key, icon);
    return icon;
}

QIcon icon(const QString& symbol, const QColor& color) {
    const QPalette p = QApplication::palette();
    return bundledIcon(symbol, color, p.color(QPalette::Window));
}

QIcon icon(const QString& symbol) {
    if (useThemeIcons())
        for (const QString& name : themeNames(symbol))
            if (QIcon::hasThemeIcon(name)) return QIcon::fromTheme(name);
    const QPalette p = QApplication::palette();
    return bundledIcon(symbol, p.color(QPalette::ButtonText), p.color(QPalette::Button));
}

}  // namespace ostrela::symbols
