#include "library/OverlayLibraryStore.h"

#include "pipeline/Paths.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

namespace ostrela {
namespace {

QString defaultDirectory() {
    const QByteArray overrideDir = qgetenv("OSTRELA_LIBRARY_DIR");
    if (!overrideDir.isEmpty()) return QString::fromLocal8Bit(overrideDir);
    const std::string data = dataDirectory();
    if (data.empty()) return {};
    return QString::fromStdString(data) + QStringLiteral("/Corvantis/Library");
}

}  // namespace

OverlayLibraryStore::OverlayLibraryStore() : OverlayLibraryStore(defaultDirectory()) {}

OverlayLibraryStore::OverlayLibraryStore(QString directory) {
    while (directory.size() > 1 && directory.endsWith(QLatin1Char('/'))) directory.chop(1);
    directory_ = std::move(directory);
    if (directory_.isEmpty()) return;
    manifestPath_ = pathFor(QStringLiteral("manifest.json"));
    QDir().mkpath(directory_);
}

QString OverlayLibraryStore::pathFor(const QString& fileName) const {
    if (directory_.isEmpty()) return {};
    if (fileName.isEmpty()) return directory_;
    return directory_ + QLatin1Char('/') + fileName;
}

QString OverlayLibraryStore::fileURL(const OverlayLibraryItem& item) const {
    if (item.kind == OverlayLibraryItemKind::video && item.fileName.isEmpty() && item.originalPath)
        return *item.originalPath;
    return pathFor(item.fileName);
}

std::optional<OverlayLibraryItem> OverlayLibraryStore::importVideo(const QString& sourcePath,
                                                                   const QString& displayName,
                                                                   QString* error) const {
    if (directory_.isEmpty()) {
        if (error) *error = QStringLiteral("The library has no directory");
        return std::nullopt;
    }
    OverlayLibraryItem item;
    item.id = QUuid::createUuid();
    QString ext = QFileInfo(sourcePath).suffix();
    if (ext.isEmpty()) ext = QStringLiteral("mov");
    const QString idText = uuidString(item.id);
    item.fileName = idText + QLatin1Char('.') + ext;
    QFile source(sourcePath);
    if (!source.copy(pathFor(item.fileName))) {
        if (error) *error = source.errorString();
        return std::nullopt;
    }
    item.displayName = displayName;
    item.kind = OverlayLibraryItemKind::video;
    item.posterFileName = idText + QStringLiteral("-poster.jpg");
    return item;
}

bool OverlayLibraryStore::isPlainFileName(const QString& name) {
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..") &&
           !name.contains(QLatin1Char('/')) && !name.contains(QChar(0));
}

void OverlayLibraryStore::deleteFiles(const OverlayLibraryItem& item) const {
    if (directory_.isEmpty()) return;
    if (item.kind == OverlayLibraryItemKind::video && item.fileName.isEmpty()) return;
    if (isPlainFileName(item.fileName)) QFile::remove(pathFor(item.fileName));
    if (item.posterFileName && isPlainFileName(*item.posterFileName)) QFile::remove(pathFor(*item.posterFileName));
}

qint64 OverlayLibraryStore::videoStorageBytes(const QList<OverlayLibraryItem>& items) const {
    qint64 total = 0;
    for (const OverlayLibraryItem& item : items) {
        if (item.kind != OverlayLibraryItemKind::video || !isPlainFileName(item.fileName)) continue;
        QFileInfo video(pathFor(item.fileName));
        if (video.isFile()) total += video.size();
        if (item.posterFileName && isPlainFileName(*item.posterFileName)) {
            QFileInfo poster(pathFor(*item.posterFileName));
            if (poster.isFile()) total += poster.size();
        }
    }
    return total;
}

bool OverlayLibraryStore::writeAtomically(const QString& fileName, const QByteArray& bytes) const {
    if (directory_.isEmpty() || !isPlainFileName(fileName)) return false;
    QSaveFile file(pathFor(fileName));
    if (!file.open(QIODevice::WriteOnly)) return false;
    if (file.write(bytes) != bytes.size()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

}  // namespace ostrela
