#include "library/LibraryModel.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>
#include <QRegularExpression>

#include <cstdio>

namespace ostrela {

const char* rawValue(OverlayLibraryItemKind kind) {
    return kind == OverlayLibraryItemKind::video ? "video" : "image";
}

QString uuidString(const QUuid& id) { return id.toString(QUuid::WithoutBraces).toUpper(); }

std::optional<QUuid> parseUuid(const QString& text) {
    static const QRegularExpression form(
        QStringLiteral("^[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}$"));
    if (!form.match(text).hasMatch()) return std::nullopt;
    QUuid id = QUuid::fromString(text);
    if (id.isNull() && text != QStringLiteral("00000000-0000-0000-0000-000000000000")) return std::nullopt;
    return id;
}

QByteArray jsonStringLiteral(const QString& text) {
    const QByteArray utf8 = text.toUtf8();
    QByteArray out;
    out.reserve(utf8.size() + 2);
    out.append('"');
    for (char ch : utf8) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
        case '"': out.append("\\\""); break;
        case '\\': out.append("\\\\"); break;
        case '/': out.append("\\/"); break;
        case '\n': out.append("\\n"); break;
        case '\r': out.append("\\r"); break;
        case '\t': out.append("\\t"); break;
        case '\b': out.append("\\b"); break;
        case '\f': out.append("\\f"); break;
        default:
            if (c < 0x20) {
                char buf[8];
                std::snprintf(buf, sizeof buf, "\\u%04x", c);
                out.append(buf);
            } else {
                out.append(ch);  // UTF-8 passes through unescaped
            }
        }
    }
    out.append('"');
    return out;
}

namespace {

void appendKey(QByteArray& out, const char* key, const QByteArray& value, bool& first) {
    if (!first) out.append(',');
    first = false;
    out.append('"').append(key).append("\":").append(value);
}

QByteArray encodeItem(const OverlayLibraryItem& item) {
    QByteArray out("{");
    bool first = true;
    appendKey(out, "id", jsonStringLiteral(uuidString(item.id)), first);
    appendKey(out, "fileName", jsonStringLiteral(item.fileName), first);
    appendKey(out, "displayName", jsonStringLiteral(item.displayName), first);
    appendKey(out, "kind", jsonStringLiteral(QString::fromLatin1(rawValue(item.kind))), first);
    if (item.posterFileName) appendKey(out, "posterFileName", jsonStringLiteral(*item.posterFileName), first);
    if (item.originalPath) appendKey(out, "originalPath", jsonStringLiteral(*item.originalPath), first);
    if (item.folderID) appendKey(out, "folderID", jsonStringLiteral(uuidString(*item.folderID)), first);
    out.append('}');
    return out;
}

QByteArray encodeFolder(const OverlayFolder& folder) {
    QByteArray out("{");
    bool first = true;
    appendKey(out, "id", jsonStringLiteral(uuidString(folder.id)), first);
    appendKey(out, "name", jsonStringLiteral(folder.name), first);
    out.append('}');
    return out;
}

bool requiredString(const QJsonObject& o, const char* key, QString& out) {
    const QJsonValue v = o.value(QLatin1String(key));
    if (!v.isString()) return false;
    out = v.toString();
    return true;
}

// Missing or null is "absent"; any other non-string fails.
bool optionalString(const QJsonObject& o, const char* key, std::optional<QString>& out) {
    const QJsonValue v = o.value(QLatin1String(key));
    if (v.isUndefined() || v.isNull()) {
        out.reset();
        return true;
    }
    if (!v.isString()) return false;
    out = v.toString();
    return true;
}

std::optional<OverlayLibraryItem> decodeItem(const QJsonValue& value) {
    if (!value.isObject()) return std::nullopt;
    const QJsonObject o = value.toObject();
    OverlayLibraryItem item;
    QString idText;
    if (!requiredString(o, "id", idText)) return std::nullopt;
    auto id = parseUuid(idText);
    if (!id) return std::nullopt;
    item.id = *id;
    if (!requiredString(o, "fileName", item.fileName)) return std::nullopt;
    if (!requiredString(o, "displayName", item.displayName)) return std::nullopt;
    std::optional<QString> kind;
    if (!optionalString(o, "kind", kind)) return std::nullopt;
    if (!kind || *kind == QLatin1String("image")) item.kind = OverlayLibraryItemKind::image;
    else if (*kind == QLatin1String("video")) item.kind = OverlayLibraryItemKind::video;
    else return std::nullopt;
    if (!optionalString(o, "posterFileName", item.posterFileName)) return std::nullopt;
    if (!optionalString(o, "originalPath", item.originalPath)) return std::nullopt;
    std::optional<QString> folderText;
    if (!optionalString(o, "folderID", folderText)) return std::nullopt;
    if (folderText) {
        auto folder = parseUuid(*folderText);
        if (!folder) return std::nullopt;
        item.folderID = *folder;
    }
    return item;
}

std::optional<QList<OverlayLibraryItem>> decodeItemArray(const QJsonValue& value) {
    if (!value.isArray()) return std::nullopt;
    QList<OverlayLibraryItem> items;
    for (const QJsonValue& v : value.toArray()) {
        auto item = decodeItem(v);
        if (!item) return std::nullopt;
        items.append(*item);
    }
    return items;
}

std::optional<QJsonDocument> parse(const QByteArray& json) {
    QJsonParseError error{};
    QJsonDocument doc = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError) return std::nullopt;
    return doc;
}

}  // namespace

QByteArray encodeManifest(const LibraryManifest& manifest) {
    QByteArray out("{\"items\":[");
    for (qsizetype i = 0; i < manifest.items.size(); ++i) {
        if (i) out.append(',');
        out.append(encodeItem(manifest.items[i]));
    }
    out.append("],\"folders\":[");
    for (qsizetype i = 0; i < manifest.folders.size(); ++i) {
        if (i) out.append(',');
        out.append(encodeFolder(manifest.folders[i]));
    }
    out.append("]}");
    return out;
}

std::optional<LibraryManifest> decodeManifest(const QByteArray& json) {
    auto doc = parse(json);
    if (!doc || !doc->isObject()) return std::nullopt;
    const QJsonObject root = doc->object();
    LibraryManifest manifest;
    auto items = decodeItemArray(root.value(QLatin1String("items")));
    if (!items) return std::nullopt;
    manifest.items = std::move(*items);
    const QJsonValue folders = root.value(QLatin1String("folders"));
    if (!folders.isArray()) return std::nullopt;
    for (const QJsonValue& v : folders.toArray()) {
        if (!v.isObject()) return std::nullopt;
        const QJsonObject o = v.toObject();
        OverlayFolder folder;
        QString idText;
        if (!requiredString(o, "id", idText)) return std::nullopt;
        auto id = parseUuid(idText);
        if (!id) return std::nullopt;
        folder.id = *id;
        if (!requiredString(o, "name", folder.name)) return std::nullopt;
        manifest.folders.append(folder);
    }
    return manifest;
}

std::optional<QList<OverlayLibraryItem>> decodeLegacyItems(const QByteArray& json) {
    auto doc = parse(json);
    if (!doc || !doc->isArray()) return std::nullopt;
    return decodeItemArray(QJsonValue(doc->array()));
}

}  // namespace ostrela
