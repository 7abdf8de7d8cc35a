#pragma once
// Paths of the media library and the file-level work on its items.
#include "library/LibraryModel.h"

#include <QString>

#include <optional>

namespace ostrela {

class OverlayLibraryStore {
public:
    // $OSTRELA_LIBRARY_DIR, else dataDirectory() + "/Corvantis/Library". Created with its parents;
    // a failure is silent (later reads and writes simply fail).
    OverlayLibraryStore();
    explicit OverlayLibraryStore(QString directory);

    // Library directory path without a trailing slash; empty when no data directory exists.
    const QString& directory() const { return directory_; }
    const QString& manifestPath() const { return manifestPath_; }
    QString pathFor(const QString& fileName) const;

    // The item's media file: the original path of a legacy referenced video, else directory + fileName.
    QString fileURL(const OverlayLibraryItem& item) const;

    // Copies the video into storage under a fresh id; on failure returns nullopt and sets `error`.
    std::optional<OverlayLibraryItem> importVideo(const QString& sourcePath, const QString& displayName,
                                                  QString* error = nullptr) const;

    // Removes the item's file and poster; a legacy referenced video is left alone. Failures are silent.
    void deleteFiles(const OverlayLibraryItem& item) const;

    // Bytes taken by stored videos and their posters.
    qint64 videoStorageBytes(const QList<OverlayLibraryItem>& items) const;

    // A bare name that stays inside the directory (no separators, not "." or ".."). Manifests are
    // user files: a record naming "../x" must never make the library touch files elsewhere.
    static bool isPlainFileName(const QString& name);

    // Writes `bytes` to directory + fileName via a temporary file and a rename.
    bool writeAtomically(const QString& fileName, const QByteArray& bytes) const;

private:
    QString directory_;
    QString manifestPath_;
};

}  // namespace ostrela
