#include "ui/LibrarySidebarModel.h"

#include "library/OverlayLibraryController.h"
#include "pipeline/Settings.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDesktopServices>
#include <QFileInfo>

#include <algorithm>

namespace ostrela {

QString sidebar::fileChooserFilter() {
    return QStringLiteral(
        "Images and Videos (*.png *.jpg *.jpeg *.gif *.bmp *.webp *.tif *.tiff *.heic *.heif "
        "*.mp4 *.m4v *.mov *.mkv *.webm *.avi);;Images (*.png *.jpg *.jpeg *.gif *.bmp *.webp *.tif *.tiff *.heic "
        "*.heif);;Videos (*.mp4 *.m4v *.mov *.mkv *.webm *.avi)");
}

LibrarySidebarModel::LibrarySidebarModel(OverlayLibraryController* library, QObject* parent)
    : QObject(parent), library_(library) {
    if (!library_) return;
    connect(library_, &OverlayLibraryController::itemsChanged, this, &LibrarySidebarModel::contentChanged);
    connect(library_, &OverlayLibraryController::foldersChanged, this, &LibrarySidebarModel::contentChanged);
    connect(library_, &OverlayLibraryController::libraryChanged, this, &LibrarySidebarModel::contentChanged);
    connect(library_, &OverlayLibraryController::selectedIDChanged, this, &LibrarySidebarModel::followLibrarySelection);
    connect(library_, &OverlayLibraryController::lastErrorChanged, this, &LibrarySidebarModel::dialogsChanged);
    connect(library_, &OverlayLibraryController::isDownloadingChanged, this, &LibrarySidebarModel::dialogsChanged);
}

// ---- Payloads ----

QString LibrarySidebarModel::payloadForItem(const OverlayLibraryItem& item, bool insideFolder) {
    if (insideFolder && item.folderID)
        return QStringLiteral("folder|") + uuidString(*item.folderID) + QLatin1Char('|') + uuidString(item.id);
    return QStringLiteral("all|") + uuidString(item.id);
}

std::optional<QUuid> LibrarySidebarModel::itemIDFromPayload(const QString& payload) {
    const qsizetype bar = payload.lastIndexOf(QLatin1Char('|'));
    return parseUuid(bar < 0 ? payload : payload.mid(bar + 1));
}

// ---- Search and grouping ----

void LibrarySidebarModel::setSearchText(const QString& text) {
    if (text == searchText_) return;
    searchText_ = text;
    emit contentChanged();
}

bool LibrarySidebarModel::showsEmptyLibrary() const { return isGroupedView() && (!library_ || library_->items().isEmpty()); }

QList<SidebarGroup> LibrarySidebarModel::groups() const {
    QList<SidebarGroup> out;
    if (!library_) return out;
    SidebarGroup all;
    all.title = QString::fromUtf8(sidebar::kAllItemsTitle);
    all.expanded = allItemsExpanded();
    all.items = library_->itemsInFolder(std::nullopt);
    out.append(all);
    const QSet<QUuid> collapsed = collapsedFolderIDs();
    for (const OverlayFolder& f : library_->folders()) {
        SidebarGroup g;
        g.folderID = f.id;
        g.title = f.name;
        g.expanded = !collapsed.contains(f.id);
        g.items = library_->itemsInFolder(f.id);
        out.append(g);
    }
    return out;
}

bool LibrarySidebarModel::nameMatches(const QString& displayName, const QString& trimmedSearch) {
    if (trimmedSearch.isEmpty()) return true;
    // Case folding after composing both sides: "É" typed as E + accent finds "é".
    const QString name = displayName.normalized(QString::NormalizationForm_C).toCaseFolded();
    const QString needle = trimmedSearch.normalized(QString::NormalizationForm_C).toCaseFolded();
    return name.contains(needle);
}

QList<OverlayLibraryItem> LibrarySidebarModel::searchResults() const {
    QList<OverlayLibraryItem> out;
    if (!library_) return out;
    const QString needle = trimmedSearchText();
    for (const OverlayLibraryItem& item : library_->items())
        if (nameMatches(item.displayName, needle)) out.append(item);
    return out;
}

// ---- Collapse persistence ----

bool LibrarySidebarModel::allItemsExpanded() const { return settings::libraryAllItemsExpanded(); }

void LibrarySidebarModel::setAllItemsExpanded(bool expanded) {
    settings::setLibraryAllItemsExpanded(expanded);
    emit contentChanged();
}

QSet<QUuid> LibrarySidebarModel::parseCollapsedFolderIDs(const QString& raw) {
    QSet<QUuid> out;
    for (const QString& part : raw.split(QLatin1Char(','), Qt::SkipEmptyParts))
        if (auto id = parseUuid(part)) out.insert(*id);
    return out;
}

QSet<QUuid> LibrarySidebarModel::collapsedFolderIDs() const {
    return parseCollapsedFolderIDs(settings::libraryCollapsedFolderIDs());
}

void LibrarySidebarModel::writeCollapsed(const QSet<QUuid>& ids) {
    QStringList parts;
    for (const QUuid& id : ids) parts << uuidString(id);
    parts.sort();  // steady text for the same set
    settings::setLibraryCollapsedFolderIDs(parts.join(QLatin1Char(',')));
    emit contentChanged();
}

void LibrarySidebarModel::toggleFolder(const QUuid& id) {
    QSet<QUuid> ids = collapsedFolderIDs();
    if (ids.contains(id)) ids.remove(id);
    else ids.insert(id);
    writeCollapsed(ids);
}

// ---- Drops ----

void LibrarySidebarModel::dropFiles(const QList<QUrl>& urls) {
    QStringList paths;
    for (const QUrl& u : urls)
        if (u.isLocalFile()) paths << u.toLocalFile();
    addFiles(paths);
}

void LibrarySidebarModel::addFiles(const QStringList& paths) {
    if (library_ && !paths.isEmpty()) library_->addFiles(paths, std::nullopt);
}

std::optional<OverlayLibraryItem> LibrarySidebarModel::itemByID(const QUuid& id) const {
    if (!library_) return std::nullopt;
    for (const OverlayLibraryItem& item : library_->items())
        if (item.id == id) return item;
    return std::nullopt;
}

bool LibrarySidebarModel::dropOnItem(const QStringList& payloads, const QUuid& targetID) {
    const auto target = itemByID(targetID);
    if (!target) return false;
    bool moved = false;
    for (const QString& payload : payloads) {
        const auto id = itemIDFromPayload(payload);
        if (!id || *id == targetID || !itemByID(*id)) continue;
        library_->moveItem(*id, targetID, target->folderID);
        moved = true;
    }
    return moved;
}

bool LibrarySidebarModel::dropOnFolder(const QStringList& payloads, const QUuid& folderID) {
    if (!library_) return false;
    const bool folderExists = std::any_of(library_->folders().begin(), library_->folders().end(),
                                          [&](const OverlayFolder& f) { return f.id == folderID; });
    if (!folderExists) return false;
    bool moved = false;
    for (const QString& payload : payloads) {
        const auto id = itemIDFromPayload(payload);
        if (!id || !itemByID(*id)) continue;
        library_->moveItem(*id, std::nullopt, folderID);
        moved = true;
    }
    return moved;
}

void LibrarySidebarModel::moveFolders(const QList<int>& from, int to) {
    if (!library_) return;
    const QList<OverlayFolder> current = library_->folders();
    QList<int> rows;
    for (int r : from)
        if (r >= 0 && r < current.size() && !rows.contains(r)) rows << r;
    if (rows.isEmpty()) return;
    std::sort(rows.begin(), rows.end());
    to = std::clamp(to, 0, int(current.size()));
    QList<OverlayFolder> moving, rest;
    int insertAt = to;
    for (int i = 0; i < current.size(); ++i) {
        if (rows.contains(i)) {
            moving << current[i];
            if (i < to) --insertAt;
        } else {
            rest << current[i];
        }
    }
    for (int i = 0; i < moving.size(); ++i) rest.insert(insertAt + i, moving[i]);
    library_->reorderFolders(rest);
}

// ---- Selection ----

void LibrarySidebarModel::setSelectedRowTag(const std::optional<QString>& tag) {
    if (tag == selectedRowTag_) return;
    selectedRowTag_ = tag;
    emit selectedRowTagChanged();
    if (!tag || !library_) return;
    const auto id = itemIDFromPayload(*tag);
    if (id && *id != library_->selectedID()) library_->setSelectedID(*id);
}

void LibrarySidebarModel::followLibrarySelection() {
    if (!library_) return;
    const QUuid id = library_->selectedID();
    // A cleared selection leaves the row selection alone.
    if (id.isNull()) return;
    if (selectedRowTag_ && itemIDFromPayload(*selectedRowTag_) == id) return;
    if (const auto item = itemByID(id)) {
        selectedRowTag_ = rowTag(*item);
        emit selectedRowTagChanged();
    }
}

// ---- Context menus ----

QList<SidebarMenuEntry> LibrarySidebarModel::itemMenu(const OverlayLibraryItem& item) const {
    using A = SidebarMenuEntry::Action;
    QList<SidebarMenuEntry> out;
    out.append({A::reveal, QString::fromUtf8(sidebar::kRevealLabel), std::nullopt});
    out.append({A::rename, QString::fromUtf16(sidebar::kRenameItemMenuLabel), std::nullopt});
    if (library_)
        for (const OverlayFolder& f : library_->folders()) out.append({A::moveToFolder, f.name, f.id});
    out.append({A::moveToNewFolder, QString::fromUtf8(sidebar::kNewFolderLabel), std::nullopt});
    if (item.folderID) out.append({A::removeFromFolder, QString::fromUtf8(sidebar::kRemoveFromFolderLabel), std::nullopt});
    out.append({A::deleteItem,
                QString::fromUtf8(item.kind == OverlayLibraryItemKind::video ? sidebar::kDeleteVideoLabel
                                                                              : sidebar::kDeleteImageLabel),
                std::nullopt});
    return out;
}

void LibrarySidebarModel::triggerItemMenu(const OverlayLibraryItem& item, const SidebarMenuEntry& entry) {
    if (!library_) return;
    using A = SidebarMenuEntry::Action;
    switch (entry.action) {
    case A::reveal: reveal(item); break;
    case A::rename: beginRenameItem(item); break;
    case A::moveToFolder: library_->moveItemToFolder(item.id, entry.folderID); break;
    case A::moveToNewFolder: {
        const OverlayFolder folder = newFolder();
        library_->moveItemToFolder(item.id, folder.id);
        break;
    }
    case A::removeFromFolder: library_->moveItemToFolder(item.id, std::nullopt); break;
    case A::deleteItem: library_->removeItem(item); break;
    }
}

void LibrarySidebarModel::reveal(const OverlayLibraryItem& item) {
    if (!library_) return;
    const QString path = library_->store().fileURL(item);
    lastRevealedPath_ = path;
    if (path.isEmpty()) return;
    // The desktop's file manager selects the file when it speaks FileManager1; else open its folder.
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("/org/freedesktop/FileManager1"),
        QStringLiteral("org.freedesktop.FileManager1"), QStringLiteral("ShowItems"));
    call << QStringList{QUrl::fromLocalFile(path).toString()} << QString();
    if (QDBusConnection::sessionBus().isConnected() && QDBusConnection::sessionBus().send(call)) return;
    QDesktopServices::openUrl(QUrl::fromLocalFile(QFileInfo(path).absolutePath()));
}

// ---- New folder and folder rename ----

OverlayFolder LibrarySidebarModel::newFolder() {
    OverlayFolder folder{QUuid::createUuid(), QString::fromUtf8(sidebar::kDefaultFolderName)};
    if (library_) library_->appendFolder(folder);  // appends and saves
    beginRenameFolder(folder);
    return folder;
}

void LibrarySidebarModel::beginRenameFolder(const OverlayFolder& folder) {
    renamingFolder_ = folder;
    folderRenameText_ = folder.name;
    emit dialogsChanged();
}

void LibrarySidebarModel::setFolderRenameText(const QString& text) {
    if (text == folderRenameText_) return;
    folderRenameText_ = text;
    emit dialogsChanged();
}

void LibrarySidebarModel::saveFolderRename() {
    if (!renamingFolder_ || !canSaveFolderRename()) return;
    if (library_) library_->renameFolder(renamingFolder_->id, folderRenameText_);
    renamingFolder_.reset();
    emit dialogsChanged();
}

void LibrarySidebarModel::cancelFolderRename() {
    renamingFolder_.reset();
    emit dialogsChanged();
}

// ---- Item rename ----

void LibrarySidebarModel::beginRenameItem(const OverlayLibraryItem& item) {
    renamingItem_ = item;
    renameText_ = item.displayName;
    emit dialogsChanged();
}

void LibrarySidebarModel::setRenameText(const QString& text) {
    if (text == renameText_) return;
    renameText_ = text;
    emit dialogsChanged();
}

void LibrarySidebarModel::saveItemRename() {
    if (!renamingItem_) return;
    const QString trimmed = renameText_.trimmed();
    if (!trimmed.isEmpty() && library_) library_->renameItem(renamingItem_->id, trimmed);
    renamingItem_.reset();
    emit dialogsChanged();
}

void LibrarySidebarModel::cancelItemRename() {
    renamingItem_.reset();
    emit dialogsChanged();
}

// ---- Folder delete ----

void LibrarySidebarModel::requestDeleteFolder(const OverlayFolder& folder) {
    folderPendingDelete_ = folder;
    emit dialogsChanged();
}

QString LibrarySidebarModel::deleteFolderTitle(const QString& name) {
    return QStringLiteral("Delete the folder “") + name + QStringLiteral("”?");
}

void LibrarySidebarModel::confirmDeleteFolder() {
    if (folderPendingDelete_ && library_) library_->deleteFolder(folderPendingDelete_->id);
    folderPendingDelete_.reset();
    emit dialogsChanged();
}

void LibrarySidebarModel::cancelDeleteFolder() {
    folderPendingDelete_.reset();
    emit dialogsChanged();
}

// ---- URL sheet ----

void LibrarySidebarModel::openURLEntry() {
    showURLEntry_ = true;
    emit dialogsChanged();
}

void LibrarySidebarModel::closeURLEntry() {
    showURLEntry_ = false;
    emit dialogsChanged();
}

void LibrarySidebarModel::setURLText(const QString& text) {
    if (text == urlText_) return;
    urlText_ = text;
    emit dialogsChanged();
}

void LibrarySidebarModel::addURL() {
    if (!library_ || !canAddURL() || library_->isDownloading()) return;
    QPointer<LibrarySidebarModel> self(this);
    library_->downloadImage(urlText_, [self](bool ok, const QString&) {
        if (!self) return;
        if (ok) self->closeURLEntry();
        else emit self->dialogsChanged();
    });
}

void LibrarySidebarModel::setDropTargeted(bool on) {
    if (on == isDropTargeted_) return;
    isDropTargeted_ = on;
    emit dropTargetedChanged();
}

}  // namespace ostrela
