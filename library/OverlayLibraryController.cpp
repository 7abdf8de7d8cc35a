#include "library/OverlayLibraryController.h"

#include "library/VideoDecoder.h"
#include "pipeline/Settings.h"

#include <QBuffer>
#include <QClipboard>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QGuiApplication>
#include <QInputMethodQueryEvent>
#include <QKeyEvent>
#include <QMimeDatabase>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPainter>
#include <QSet>
#include <QTimer>
#include <QUrl>
#include <QtConcurrent/QtConcurrentRun>

#include <memory>

namespace ostrela {
namespace {

const QString kInvalidURL = QStringLiteral("That doesn't look like a valid image URL");
const QString kUnreadableImage = QStringLiteral("That URL didn't point to a readable image");
const QString kNoClipboardImage = QStringLiteral("Clipboard doesn't contain an image");
constexpr qint64 kMaxDownloadBytes = 256LL * 1024 * 1024;

QString localPath(const QString& pathOrURL) {
    if (pathOrURL.startsWith(QLatin1String("file:"))) return QUrl(pathOrURL).toLocalFile();
    return pathOrURL;
}

QString lastPathComponent(const QString& path) {
    QString p = path;
    while (p.size() > 1 && p.endsWith(QLatin1Char('/'))) p.chop(1);
    const qsizetype slash = p.lastIndexOf(QLatin1Char('/'));
    return slash >= 0 && p.size() > 1 ? p.mid(slash + 1) : p;
}

// The name without its last extension ("a.b.png" → "a.b").
QString withoutExtension(const QString& name) {
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    return dot > 0 ? name.left(dot) : name;
}

QString extensionOf(const QString& name) {
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    return dot > 0 ? name.mid(dot + 1) : QString();
}

enum class MediaClass { image, video, other };

// By content, never by name.
MediaClass classify(const QString& path) {
    static const QMimeDatabase db;
    const QMimeType type = db.mimeTypeForFile(path, QMimeDatabase::MatchContent);
    auto matches = [&](const QString& prefix) {
        if (type.name().startsWith(prefix)) return true;
        for (const QString& parent : type.allAncestors())
            if (parent.startsWith(prefix)) return true;
        return false;
    };
    if (matches(QStringLiteral("image/"))) return MediaClass::image;
    if (matches(QStringLiteral("video/")) || matches(QStringLiteral("audio/")) ||
        type.name() == QLatin1String("application/ogg") ||
        type.name() == QLatin1String("application/vnd.rn-realmedia"))
        return MediaClass::video;
    return MediaClass::other;
}

QByteArray encodePNG(const QImage& image) {
    QByteArray out;
    QBuffer buffer(&out);
    buffer.open(QIODevice::WriteOnly);
    if (!image.save(&buffer, "PNG")) return {};
    return out;
}

}  // namespace

QByteArray normalizedPNG(const QByteArray& data, const QString& extension) {
    if (data.isEmpty()) return {};
    const QImage image = QImage::fromData(data);
    if (image.isNull()) return {};
    if (extension.toLower() == QLatin1String("png") && data.startsWith("\x89PNG\r\n\x1a\n")) return data;
    return encodePNG(image);
}

// Application-wide key filter for the paste shortcut.
class OverlayLibraryController::PasteFilter : public QObject {
public:
    explicit PasteFilter(OverlayLibraryController* owner) : QObject(nullptr), owner_(owner) {}

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() != QEvent::KeyPress || !owner_) return false;
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() != Qt::Key_V || key->isAutoRepeat()) return false;
        const Qt::KeyboardModifiers mods = key->modifiers();
        if (!(mods & Qt::ControlModifier) || (mods & Qt::AltModifier) || (mods & Qt::MetaModifier)) return false;
        // The same event is offered once per receiver in the delivery chain; act on it once.
        if (event == lastEvent_ && key->timestamp() == lastTimestamp_ && key->timestamp() != 0) return false;
        lastEvent_ = event;
        lastTimestamp_ = key->timestamp();
        // A text field being edited keeps its ordinary text paste.
        if (QObject* focus = QGuiApplication::focusObject()) {
            QInputMethodQueryEvent query(Qt::ImEnabled);
            QCoreApplication::sendEvent(focus, &query);
            if (query.value(Qt::ImEnabled).toBool()) return false;
        }
        if (!owner_->pasteImage()) owner_->setLastError(kNoClipboardImage);
        return false;
    }

private:
    QPointer<OverlayLibraryController> owner_;
    QEvent* lastEvent_ = nullptr;
    quint64 lastTimestamp_ = 0;
};

OverlayLibraryController::OverlayLibraryController(QObject* parent) : QObject(parent) {}

OverlayLibraryController::OverlayLibraryController(const QString& libraryDirectory, QObject* parent)
    : QObject(parent), store_(libraryDirectory) {}

OverlayLibraryController::~OverlayLibraryController() {
    if (pasteMonitor_) {
        if (qApp) qApp->removeEventFilter(pasteMonitor_);
        delete pasteMonitor_;
    }
}

void OverlayLibraryController::setSelectedID(const QUuid& id) {
    if (selectedID_ == id) return;
    selectedID_ = id;
    emit selectedIDChanged();
}

void OverlayLibraryController::setLastError(const QString& text) {
    if (lastError_ == text && lastError_.isNull() == text.isNull()) return;
    lastError_ = text;
    emit lastErrorChanged();
}

void OverlayLibraryController::setDownloading(bool on) {
    if (isDownloading_ == on) return;
    isDownloading_ = on;
    emit isDownloadingChanged();
}

void OverlayLibraryController::selectFirstIfNone() {
    if (selectedID_.isNull() && !items_.isEmpty()) setSelectedID(items_.first().id);
}

// ---- Manifest ----

bool OverlayLibraryController::setAsideUnreadableManifest() {
    const QString path = store_.manifestPath();
    const QString stamp = QDateTime::currentDateTimeUtc().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString target = path + QStringLiteral(".unreadable-") + stamp;
    for (int n = 2; QFileInfo::exists(target); ++n)
        target = path + QStringLiteral(".unreadable-") + stamp + QLatin1Char('-') + QString::number(n);
    if (!QFile::rename(path, target)) return false;
    setAsidePath_ = target;
    return true;
}

void OverlayLibraryController::load() {
    LibraryManifest manifest;
    bool keepManifestFile = false;
    const QString path = store_.manifestPath();
    if (!path.isEmpty() && QFileInfo::exists(path)) {
        QFile file(path);
        bool decoded = false;
        if (file.open(QIODevice::ReadOnly)) {
            const QByteArray bytes = file.readAll();
            file.close();
            if (auto m = decodeManifest(bytes)) {
                manifest = std::move(*m);
                decoded = true;
            } else if (auto legacy = decodeLegacyItems(bytes)) {
                manifest.items = std::move(*legacy);
                decoded = true;
            }
        }
        // The user's records must survive the save below: keep the file's bytes under another name.
        if (!decoded && !setAsideUnreadableManifest()) keepManifestFile = true;
    }

    QSet<QUuid> folderIDs;
    for (const OverlayFolder& f : manifest.folders) folderIDs.insert(f.id);
    for (OverlayLibraryItem& item : manifest.items)
        if (item.folderID && !folderIDs.contains(*item.folderID)) item.folderID.reset();

    items_ = std::move(manifest.items);
    folders_ = std::move(manifest.folders);
    for (OverlayLibraryItem& item : items_) {
        if (item.kind != OverlayLibraryItemKind::video) continue;
        if (!item.posterFileName) item.posterFileName = uuidString(item.id) + QStringLiteral("-poster.jpg");
        if (QFileInfo::exists(store_.pathFor(*item.posterFileName))) continue;
        startPosterTask(item);
    }
    emit itemsChanged();
    emit foldersChanged();
    if (!keepManifestFile) save();
    selectFirstIfNone();
}

void OverlayLibraryController::save() {
    store_.writeAtomically(QStringLiteral("manifest.json"), encodeManifest(LibraryManifest{items_, folders_}));
}

void OverlayLibraryController::appendFolder(const OverlayFolder& folder) {
    folders_.append(folder);
    emit foldersChanged();
    save();
}

void OverlayLibraryController::reorderFolders(const QList<OverlayFolder>& ordered) {
    if (ordered.size() != folders_.size()) return;
    for (const OverlayFolder& f : folders_)
        if (!ordered.contains(f)) return;
    if (ordered == folders_) return;
    folders_ = ordered;
    emit foldersChanged();
    save();
}

// ---- Selection ----

void OverlayLibraryController::writeVideoTitle(const QString& title) { settings::setLowerThirdVideoTitleText(title); }

void OverlayLibraryController::applySelection(OverlaySink* overlay, VideoSink* player) {
    const OverlayLibraryItem* selected = nullptr;
    if (!selectedID_.isNull())
        for (const OverlayLibraryItem& item : items_)
            if (item.id == selectedID_) {
                selected = &item;
                break;
            }
    if (!selected || selected->kind == OverlayLibraryItemKind::image) {
        if (player) player->unloadVideo();
        if (overlay) {
            if (selected) overlay->setOverlayImageFromFile(store_.fileURL(*selected));
            else overlay->clearOverlayImage();
        }
        writeVideoTitle(QString());
        return;
    }
    const OverlayLibraryItem item = *selected;  // the sinks may call back into the controller
    if (overlay) overlay->clearOverlayImage();
    if (player) player->loadVideo(store_.fileURL(item));
    writeVideoTitle(item.displayName);
}

// ---- Queries ----

QList<OverlayLibraryItem> OverlayLibraryController::itemsInFolder(const std::optional<QUuid>& folderID) const {
    QList<OverlayLibraryItem> out;
    for (const OverlayLibraryItem& item : items_)
        if (item.folderID == folderID) out.append(item);
    return out;
}

const QImage& OverlayLibraryController::placeholderThumbnail() {
    static const QImage placeholder = [] {
        // A film frame: dark strip with sprocket holes.
        QImage image(64, 64, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(90, 90, 90));
        p.drawRoundedRect(QRectF(8, 6, 48, 52), 5, 5);
        p.setBrush(QColor(230, 230, 230));
        for (int i = 0; i < 4; ++i) {
            p.drawRect(QRectF(12, 11 + i * 12, 5, 6));
            p.drawRect(QRectF(47, 11 + i * 12, 5, 6));
        }
        p.drawRect(QRectF(22, 12, 20, 40));
        p.end();
        image.setText(QStringLiteral("Description"), QStringLiteral("Video"));
        return image;
    }();
    return placeholder;
}

QImage OverlayLibraryController::thumbnail(const OverlayLibraryItem& item) {
    if (auto it = thumbnailCache_.constFind(item.id); it != thumbnailCache_.constEnd()) return it.value();
    if (item.kind == OverlayLibraryItemKind::video) {
        if (item.posterFileName) {
            QImage poster(store_.pathFor(*item.posterFileName));
            if (!poster.isNull()) {
                thumbnailCache_.insert(item.id, poster);
                return poster;
            }
        }
        return placeholderThumbnail();
    }
    QImage image(store_.fileURL(item));
    thumbnailCache_.insert(item.id, image);
    return image;
}

// ---- Posters ----

void OverlayLibraryController::startPosterTask(const OverlayLibraryItem& item) {
    const QUuid id = item.id;
    const QString videoPath = store_.fileURL(item);
    auto* watcher = new QFutureWatcher<QByteArray>(this);
    ++pendingPosters_;
    QPointer<OverlayLibraryController> self(this);
    connect(watcher, &QFutureWatcher<QByteArray>::finished, this, [self, watcher, id] {
        watcher->deleteLater();
        if (!self) return;
        --self->pendingPosters_;
        const QByteArray bytes = watcher->result();
        if (bytes.isEmpty()) {
            emit self->posterTaskFinished(id, false);
            return;
        }
        std::optional<QString> posterName;
        for (const OverlayLibraryItem& i : self->items_)
            if (i.id == id) posterName = i.posterFileName;
        // A removed item's poster would only be an orphan on disk.
        if (posterName) self->store_.writeAtomically(*posterName, bytes);
        const QImage image = QImage::fromData(bytes, "JPG");
        if (!image.isNull()) self->thumbnailCache_.insert(id, image);
        emit self->libraryChanged();
        emit self->posterTaskFinished(id, true);
    });
    watcher->setFuture(QtConcurrent::run([videoPath] { return generatePosterData(videoPath); }));
}

// ---- Import ----

std::optional<QString> OverlayLibraryController::importImage(const QString& path) {
    const QString name = lastPathComponent(path);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return name;
    const QByteArray data = file.readAll();
    file.close();
    const QByteArray png = normalizedPNG(data, extensionOf(name));
    if (png.isEmpty()) return name;
    OverlayLibraryItem item;
    item.id = QUuid::createUuid();
    item.fileName = uuidString(item.id) + QStringLiteral(".png");
    item.displayName = withoutExtension(name);
    item.kind = OverlayLibraryItemKind::image;
    store_.writeAtomically(item.fileName, png);
    items_.append(item);
    return std::nullopt;
}

void OverlayLibraryController::addFiles(const QStringList& paths, const std::optional<QUuid>& folderID) {
    QStringList expanded;
    for (const QString& raw : paths) {
        const QString path = localPath(raw);
        QFileInfo info(path);
        if (!info.isDir()) {
            expanded.append(path);
            continue;
        }
        const QFileInfoList entries =
            QDir(path).entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::System, QDir::Name);
        for (const QFileInfo& entry : entries) expanded.append(entry.filePath());
    }

    QStringList images, videos, skipped;
    for (const QString& path : expanded) {
        switch (QFileInfo(path).isDir() ? MediaClass::other : classify(path)) {
        case MediaClass::image: images.append(path); break;
        case MediaClass::video: videos.append(path); break;
        case MediaClass::other: skipped.append(lastPathComponent(path)); break;
        }
    }

    const qsizetype before = items_.size();
    for (const QString& path : images)
        if (auto failed = importImage(path)) skipped.append(*failed);
    QList<OverlayLibraryItem> newVideos;
    for (const QString& path : videos) {
        const QString name = lastPathComponent(path);
        auto item = store_.importVideo(path, withoutExtension(name));
        if (!item) {
            skipped.append(name);
            continue;
        }
        items_.append(*item);
        newVideos.append(*item);
    }
    if (folderID)
        for (qsizetype i = before; i < items_.size(); ++i) items_[i].folderID = folderID;
    for (const OverlayLibraryItem& item : newVideos) startPosterTask(item);
    if (items_.size() != before) emit itemsChanged();
    save();
    selectFirstIfNone();

    if (skipped.size() == 1)
        setLastError(skipped.first() + QStringLiteral(" isn't an image or video — only those can be added"));
    else if (skipped.size() > 1)
        setLastError(QString::number(skipped.size()) +
                     QStringLiteral(" files weren't images or videos and were skipped: ") +
                     skipped.join(QStringLiteral(", ")));
    else
        setLastError(QString());
}

// ---- Paste ----

void OverlayLibraryController::startPasteMonitor() {
    if (pasteMonitor_ || !qApp) return;
    pasteMonitor_ = new PasteFilter(this);
    qApp->installEventFilter(pasteMonitor_);
}

bool OverlayLibraryController::pasteImage() {
    QClipboard* clipboard = QGuiApplication::clipboard();
    if (!clipboard) return false;
    const QImage image = clipboard->image();
    if (image.isNull()) return false;
    const QByteArray png = encodePNG(image);
    if (png.isEmpty()) return false;
    OverlayLibraryItem item;
    item.id = QUuid::createUuid();
    item.fileName = uuidString(item.id) + QStringLiteral(".png");
    item.displayName = QStringLiteral("Pasted Image ") + QString::number(items_.size() + 1);
    item.kind = OverlayLibraryItemKind::image;
    store_.writeAtomically(item.fileName, png);
    items_.append(item);
    emit itemsChanged();
    save();
    setSelectedID(item.id);
    setLastError(QString());
    return true;
}

// ---- Download ----

void OverlayLibraryController::finishDownload(bool ok, const QString& message,
                                              const std::function<void(bool, QString)>& done) {
    setDownloading(false);
    if (done) done(ok, message);
    emit downloadFinished(ok, message);
}

void OverlayLibraryController::downloadImage(const QString& address, std::function<void(bool, QString)> done) {
    const QUrl url(address.trimmed(), QUrl::StrictMode);
    const QString scheme = url.scheme().toLower();
    if (!url.isValid() || (scheme != QLatin1String("http") && scheme != QLatin1String("https")) ||
        url.host().isEmpty()) {
        setLastError(kInvalidURL);
        if (done) done(false, kInvalidURL);
        emit downloadFinished(false, kInvalidURL);
        return;
    }
    setDownloading(true);
    if (!urlSession_) {
        // Nothing is kept between runs: no disk cache, and cookies are not sent or stored.
        urlSession_ = new QNetworkAccessManager(this);
        urlSession_->setCookieJar(nullptr);
    }
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::CacheLoadControlAttribute, QNetworkRequest::AlwaysNetwork);
    request.setAttribute(QNetworkRequest::CacheSaveControlAttribute, false);
    request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
    QNetworkReply* reply = urlSession_->get(request);

    // Idle timeout: restarted whenever bytes arrive.
    auto* timer = new QTimer(reply);
    timer->setSingleShot(true);
    timer->setInterval(downloadTimeout_);
    auto failure = std::make_shared<QString>();
    connect(timer, &QTimer::timeout, reply, [reply, failure] {
        *failure = QStringLiteral("Download failed: The request timed out.");
        reply->abort();
    });
    connect(reply, &QNetworkReply::downloadProgress, reply, [reply, timer, failure](qint64 received, qint64) {
        timer->start();
        if (received > kMaxDownloadBytes && failure->isEmpty()) {
            *failure = QStringLiteral("Download failed: The file is too large to be an image.");
            reply->abort();
        }
    });
    timer->start();

    connect(reply, &QNetworkReply::finished, this, [this, reply, url, failure, done] {
        reply->deleteLater();
        const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        QString message;
        if (!failure->isEmpty()) {
            message = *failure;
        } else if (status.isValid() && (status.toInt() < 200 || status.toInt() > 299)) {
            message = QStringLiteral("Download failed (HTTP ") + QString::number(status.toInt()) + QLatin1Char(')');
        } else if (reply->error() != QNetworkReply::NoError) {
            message = QStringLiteral("Download failed: ") + reply->errorString();
        }
        if (!message.isEmpty()) {
            setLastError(message);
            finishDownload(false, message, done);
            return;
        }
        const QString name = lastPathComponent(url.path());
        const QByteArray png = normalizedPNG(reply->readAll(), extensionOf(name));
        if (png.isEmpty()) {
            setLastError(kUnreadableImage);
            finishDownload(false, kUnreadableImage, done);
            return;
        }
        OverlayLibraryItem item;
        item.id = QUuid::createUuid();
        item.fileName = uuidString(item.id) + QStringLiteral(".png");
        QString display = withoutExtension(name);
        if (display.isEmpty() || display == QLatin1String("/")) display = QStringLiteral("Downloaded Image");
        item.displayName = display;
        item.kind = OverlayLibraryItemKind::image;
        store_.writeAtomically(item.fileName, png);
        items_.append(item);
        emit itemsChanged();
        save();
        setSelectedID(item.id);
        setLastError(QString());
        finishDownload(true, QString(), done);
    });
}

// ---- Organising ----

void OverlayLibraryController::renameItem(const QUuid& id, const QString& newName) {
    for (OverlayLibraryItem& item : items_) {
        if (item.id != id) continue;
        item.displayName = newName;
        const bool titleFollows = item.kind == OverlayLibraryItemKind::video && selectedID_ == id;
        emit itemsChanged();
        save();
        if (titleFollows) writeVideoTitle(newName);
        return;
    }
}

void OverlayLibraryController::moveItemToFolder(const QUuid& id, const std::optional<QUuid>& folderID) {
    for (OverlayLibraryItem& item : items_) {
        if (item.id != id) continue;
        item.folderID = folderID;
        emit itemsChanged();
        save();
        return;
    }
}

void OverlayLibraryController::moveItem(const QUuid& id, const std::optional<QUuid>& targetID,
                                        const std::optional<QUuid>& folderID) {
    qsizetype from = -1;
    for (qsizetype i = 0; i < items_.size(); ++i)
        if (items_[i].id == id) {
            from = i;
            break;
        }
    if (from < 0) return;
    OverlayLibraryItem item = items_.takeAt(from);
    item.folderID = folderID;
    qsizetype to = items_.size();
    if (targetID)
        for (qsizetype i = 0; i < items_.size(); ++i)
            if (items_[i].id == *targetID) {
                to = i;
                break;
            }
    items_.insert(to, item);
    emit itemsChanged();
    save();
}

void OverlayLibraryController::renameFolder(const QUuid& id, const QString& newName) {
    const QString trimmed = newName.trimmed();
    if (trimmed.isEmpty()) return;
    for (OverlayFolder& folder : folders_) {
        if (folder.id != id) continue;
        folder.name = trimmed;
        emit foldersChanged();
        save();
        return;
    }
}

void OverlayLibraryController::deleteFolder(const QUuid& id) {
    bool found = false;
    for (const OverlayFolder& f : folders_) found = found || f.id == id;
    if (!found) return;
    bool itemsTouched = false;
    for (OverlayLibraryItem& item : items_)
        if (item.folderID == id) {
            item.folderID.reset();
            itemsTouched = true;
        }
    folders_.removeIf([&](const OverlayFolder& f) { return f.id == id; });
    if (itemsTouched) emit itemsChanged();
    emit foldersChanged();
    save();
}

void OverlayLibraryController::removeItem(const OverlayLibraryItem& itemRef) {
    const OverlayLibraryItem item = itemRef;  // the argument may live in items_
    const qsizetype removed = items_.removeIf([&](const OverlayLibraryItem& i) { return i.id == item.id; });
    if (removed == 0) return;
    thumbnailCache_.remove(item.id);
    store_.deleteFiles(item);
    emit itemsChanged();
    save();
    if (selectedID_ == item.id) setSelectedID(items_.isEmpty() ? QUuid() : items_.first().id);
}

void OverlayLibraryController::resetAllData() {
    for (const OverlayLibraryItem& item : items_) store_.deleteFiles(item);
    items_.clear();
    folders_.clear();
    thumbnailCache_.clear();
    setSelectedID(QUuid());
    emit itemsChanged();
    emit foldersChanged();
    save();
}

}  // namespace ostrela
