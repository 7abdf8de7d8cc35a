#pragma once
// The media library as the windows see it: manifest load and save, import, paste, download,
// thumbnails and posters, folders, and turning the selection into what the camera shows.
#include "library/LibraryModel.h"
#include "library/OverlayLibraryStore.h"

#include <QHash>
#include <QImage>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QUuid>

#include <chrono>
#include <functional>
#include <optional>

class QNetworkAccessManager;

namespace ostrela {

// What the selection step drives: the floating image…
class OverlaySink {
public:
    virtual ~OverlaySink() = default;
    virtual void setOverlayImageFromFile(const QString& path) = 0;
    virtual void clearOverlayImage() = 0;
};

// …and the video player.
class VideoSink {
public:
    virtual ~VideoSink() = default;
    virtual void loadVideo(const QString& path) = 0;
    virtual void unloadVideo() = 0;
};

class OverlayLibraryController : public QObject {
    Q_OBJECT
    Q_PROPERTY(QList<ostrela::OverlayLibraryItem> items READ items NOTIFY itemsChanged)
    Q_PROPERTY(QList<ostrela::OverlayFolder> folders READ folders NOTIFY foldersChanged)
    Q_PROPERTY(QUuid selectedID READ selectedID WRITE setSelectedID NOTIFY selectedIDChanged)
    Q_PROPERTY(QString lastError READ lastError NOTIFY lastErrorChanged)
    Q_PROPERTY(bool isDownloading READ isDownloading NOTIFY isDownloadingChanged)

public:
    static constexpr std::chrono::milliseconds kDefaultDownloadTimeout{20000};

    explicit OverlayLibraryController(QObject* parent = nullptr);
    // Uses the given library directory instead of the default one.
    explicit OverlayLibraryController(const QString& libraryDirectory, QObject* parent = nullptr);
    ~OverlayLibraryController() override;

    const QList<OverlayLibraryItem>& items() const { return items_; }
    const QList<OverlayFolder>& folders() const { return folders_; }
    // A null id means nothing is selected.
    QUuid selectedID() const { return selectedID_; }
    void setSelectedID(const QUuid& id);
    // Empty when there is no problem to show.
    QString lastError() const { return lastError_; }
    bool isDownloading() const { return isDownloading_; }
    const OverlayLibraryStore& store() const { return store_; }

    // Manifest.
    void load();
    void save();
    // Path the last unreadable manifest was moved to (empty when none was).
    QString setAsideManifestPath() const { return setAsidePath_; }

    // Folders are created by the sidebar: it appends one and saves.
    void appendFolder(const OverlayFolder& folder);
    // The sidebar's folder drag: takes the folders in a new order and saves. Ignored unless
    // `ordered` holds exactly the current folders.
    void reorderFolders(const QList<OverlayFolder>& ordered);

    // Selection output.
    void applySelection(OverlaySink* overlay, VideoSink* player);

    // Queries.
    QList<OverlayLibraryItem> itemsInFolder(const std::optional<QUuid>& folderID) const;
    QImage thumbnail(const OverlayLibraryItem& item);
    qint64 videoStorageBytes() const { return store_.videoStorageBytes(items_); }
    static const QImage& placeholderThumbnail();

    // Adding media.
    void addFiles(const QStringList& paths, const std::optional<QUuid>& folderID = std::nullopt);
    bool pasteImage();
    void startPasteMonitor();
    bool isPasteMonitorInstalled() const { return pasteMonitor_ != nullptr; }
    // Asynchronous; ends with downloadFinished. The callback, when given, is called too.
    void downloadImage(const QString& address, std::function<void(bool ok, QString message)> done = {});
    void setDownloadTimeout(std::chrono::milliseconds timeout) { downloadTimeout_ = timeout; }

    // Organising.
    void renameItem(const QUuid& id, const QString& newName);
    void moveItemToFolder(const QUuid& id, const std::optional<QUuid>& folderID);
    void moveItem(const QUuid& id, const std::optional<QUuid>& targetID, const std::optional<QUuid>& folderID);
    void renameFolder(const QUuid& id, const QString& newName);
    void deleteFolder(const QUuid& id);
    void removeItem(const OverlayLibraryItem& item);
    void resetAllData();

    // Number of poster tasks still running (tests wait for zero).
    int pendingPosterTasks() const { return pendingPosters_; }

signals:
    void itemsChanged();
    void foldersChanged();
    void selectedIDChanged();
    void lastErrorChanged();
    void isDownloadingChanged();
    // A poster arrived or the library changed in a way the sidebar should redraw.
    void libraryChanged();
    void downloadFinished(bool success, const QString& message);
    void posterTaskFinished(const QUuid& id, bool success);

private:
    class PasteFilter;
    friend class PasteFilter;

    void setLastError(const QString& text);
    void setDownloading(bool on);
    void selectFirstIfNone();
    void startPosterTask(const OverlayLibraryItem& item);
    std::optional<QString> importImage(const QString& path);  // failed name on failure
    bool setAsideUnreadableManifest();
    void finishDownload(bool ok, const QString& message, const std::function<void(bool, QString)>& done);
    void writeVideoTitle(const QString& title);

    OverlayLibraryStore store_;
    QList<OverlayLibraryItem> items_;
    QList<OverlayFolder> folders_;
    QUuid selectedID_;
    QString lastError_;
    bool isDownloading_ = false;
    QHash<QUuid, QImage> thumbnailCache_;
    QNetworkAccessManager* urlSession_ = nullptr;
    QObject* pasteMonitor_ = nullptr;
    std::chrono::milliseconds downloadTimeout_ = kDefaultDownloadTimeout;
    QString setAsidePath_;
    int pendingPosters_ = 0;
};

// Normalises image bytes to PNG: PNG data with a ".png" name is kept as is, anything else that
// decodes as an image is re-encoded. Empty when the data is no readable image.
QByteArray normalizedPNG(const QByteArray& data, const QString& extension);

}  // namespace ostrela
