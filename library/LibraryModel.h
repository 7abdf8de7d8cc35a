#pragma once
// The media library's records and the exact "manifest.json" encoding.
#include <QByteArray>
#include <QList>
#include <QMetaType>
#include <QString>
#include <QUuid>

#include <optional>

namespace ostrela {

enum class OverlayLibraryItemKind { image, video };

const char* rawValue(OverlayLibraryItemKind kind);

struct OverlayLibraryItem {
    QUuid id;
    QString fileName;
    QString displayName;
    OverlayLibraryItemKind kind = OverlayLibraryItemKind::image;
    std::optional<QString> posterFileName;
    std::optional<QString> originalPath;
    std::optional<QUuid> folderID;

    bool operator==(const OverlayLibraryItem&) const = default;
};

struct OverlayFolder {
    QUuid id;
    QString name;

    bool operator==(const OverlayFolder&) const = default;
};

struct LibraryManifest {
    QList<OverlayLibraryItem> items;
    QList<OverlayFolder> folders;

    bool operator==(const LibraryManifest&) const = default;
};

// Standard 36-character form, upper-case hexadecimal.
QString uuidString(const QUuid& id);
// Accepts only the 36-character hyphenated form (either case); nullopt otherwise.
std::optional<QUuid> parseUuid(const QString& text);

// Compact JSON in declaration order; slashes escaped as "\/", absent optionals left out.
QByteArray encodeManifest(const LibraryManifest& manifest);
// The object shape {"items":[…],"folders":[…]}; nullopt on any missing key, wrong type or bad value.
std::optional<LibraryManifest> decodeManifest(const QByteArray& json);
// The older shape: a bare array of item objects.
std::optional<QList<OverlayLibraryItem>> decodeLegacyItems(const QByteArray& json);

// JSON string literal (with quotes) escaped the way the manifest writes it.
QByteArray jsonStringLiteral(const QString& text);

}  // namespace ostrela

Q_DECLARE_METATYPE(ostrela::OverlayLibraryItem)
Q_DECLARE_METATYPE(ostrela::OverlayFolder)
