#pragma once
// The behaviour of the library sidebar without its widgets: grouping, search, collapse state
// and its persistence, drag payloads and drops, context-menu actions, the rename, delete and URL
// dialogs' state, and the two-way link between the selected row and the library selection.
#include "library/LibraryModel.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <QUuid>

#include <optional>

namespace ostrela {

class OverlayLibraryController;

namespace sidebar {
inline constexpr const char kDropWellLabel[] = "Drop images or videos,\nor click to browse";
inline constexpr const char kAddFromURLLabel[] = "Add Image from URL";
inline constexpr const char kNewFolderLabel[] = "New Folder";
inline constexpr const char kAllItemsTitle[] = "All Items";
inline constexpr const char kEmptyFolderText[] = "Empty — drag an item here, or right-click it and choose Move to Folder";
inline constexpr const char kEmptyLibraryTitle[] = "Nothing Here Yet";
inline constexpr const char kEmptyLibraryText[] = "Drag images or videos into the well above";
inline constexpr const char kRevealLabel[] = "Show in File Manager";
inline constexpr const char16_t kRenameItemMenuLabel[] = u"Rename\u2026";
inline constexpr const char kMoveToFolderLabel[] = "Move to Folder";
inline constexpr const char kRemoveFromFolderLabel[] = "Remove from Folder";
inline constexpr const char kDeleteImageLabel[] = "Delete Image";
inline constexpr const char kDeleteVideoLabel[] = "Delete Video";
inline constexpr const char16_t kRenameFolderMenuLabel[] = u"Rename Folder\u2026";
inline constexpr const char kDeleteFolderLabel[] = "Delete Folder";
inline constexpr const char kRenameFolderTitle[] = "Rename Folder";
inline constexpr const char kFolderNamePlaceholder[] = "Folder name";
inline constexpr const char kItemNamePlaceholder[] = "Name";
inline constexpr const char kRenameItemTitle[] = "Rename";
inline constexpr const char kCancelLabel[] = "Cancel";
inline constexpr const char kSaveLabel[] = "Save";
inline constexpr const char kDeleteFolderMessage[] =
    "The images and videos inside stay in your library (they move to All Items). Only the folder is removed.";
inline constexpr const char kURLSheetTitle[] = "Add Image from URL";
inline constexpr const char kURLAddLabel[] = "Add";
inline constexpr const char kDefaultFolderName[] = "New Folder";
// File chooser filter: the image and movie types.
QString fileChooserFilter();
}  // namespace sidebar

// One group of the grouped view: "All Items" (no folder) or a folder.
struct SidebarGroup {
    std::optional<QUuid> folderID;  // none: "All Items"
    QString title;
    bool expanded = true;
    QList<OverlayLibraryItem> items;
    // An open folder without items shows kEmptyFolderText.
    bool showsEmptyHint() const { return folderID && expanded && items.isEmpty(); }
};

// An entry of the item context menu.
struct SidebarMenuEntry {
    enum class Action { reveal, rename, moveToFolder, moveToNewFolder, removeFromFolder, deleteItem };
    Action action;
    QString title;
    std::optional<QUuid> folderID;  // for moveToFolder
};

class LibrarySidebarModel : public QObject {
    Q_OBJECT

public:
    explicit LibrarySidebarModel(OverlayLibraryController* library, QObject* parent = nullptr);

    OverlayLibraryController* library() const { return library_; }

    // ---- Payloads ----
    static QString payloadForItem(const OverlayLibraryItem& item, bool insideFolder);
    // The part after the last "|" as a UUID; none when it isn't one.
    static std::optional<QUuid> itemIDFromPayload(const QString& payload);
    // Tag of a row: the same string as its payload.
    static QString rowTag(const OverlayLibraryItem& item) { return payloadForItem(item, item.folderID.has_value()); }

    // ---- Search and grouping ----
    QString searchText() const { return searchText_; }
    void setSearchText(const QString& text);
    QString trimmedSearchText() const { return searchText_.trimmed(); }
    bool isGroupedView() const { return trimmedSearchText().isEmpty(); }
    // No items at all: the empty-state view instead of the list (grouped view only).
    bool showsEmptyLibrary() const;
    QList<SidebarGroup> groups() const;
    QList<OverlayLibraryItem> searchResults() const;
    static bool nameMatches(const QString& displayName, const QString& trimmedSearch);

    // ---- Collapse persistence ----
    bool allItemsExpanded() const;
    void setAllItemsExpanded(bool expanded);
    void toggleAllItems() { setAllItemsExpanded(!allItemsExpanded()); }
    // The closed folders read from "libraryCollapsedFolderIDs" (non-UUID parts ignored).
    QSet<QUuid> collapsedFolderIDs() const;
    static QSet<QUuid> parseCollapsedFolderIDs(const QString& raw);
    bool isFolderExpanded(const QUuid& id) const { return !collapsedFolderIDs().contains(id); }
    void toggleFolder(const QUuid& id);

    // ---- Drops ----
    // Local files from the drop well (or the file chooser): addFiles with no folder.
    void dropFiles(const QList<QUrl>& urls);
    void addFiles(const QStringList& paths);
    // Items dropped on a row: each moves directly before the target and takes its folder.
    bool dropOnItem(const QStringList& payloads, const QUuid& targetID);
    // Items dropped on a folder group: filed there, last in the library order.
    bool dropOnFolder(const QStringList& payloads, const QUuid& folderID);
    // Folder groups dragged: the folders at `from` go before position `to` (counted before the move).
    void moveFolders(const QList<int>& from, int to);

    // ---- Selection ----
    std::optional<QString> selectedRowTag() const { return selectedRowTag_; }
    void setSelectedRowTag(const std::optional<QString>& tag);

    // ---- Context menus ----
    QList<SidebarMenuEntry> itemMenu(const OverlayLibraryItem& item) const;
    void triggerItemMenu(const OverlayLibraryItem& item, const SidebarMenuEntry& entry);
    void reveal(const OverlayLibraryItem& item);
    // Where reveal went last (tests).
    QString lastRevealedPath() const { return lastRevealedPath_; }

    // ---- New folder and folder rename ----
    OverlayFolder newFolder();
    std::optional<OverlayFolder> renamingFolder() const { return renamingFolder_; }
    QString folderRenameText() const { return folderRenameText_; }
    void setFolderRenameText(const QString& text);
    void beginRenameFolder(const OverlayFolder& folder);
    bool canSaveFolderRename() const { return !folderRenameText_.trimmed().isEmpty(); }
    void saveFolderRename();
    void cancelFolderRename();

    // ---- Item rename ----
    std::optional<OverlayLibraryItem> renamingItem() const { return renamingItem_; }
    QString renameText() const { return renameText_; }
    void setRenameText(const QString& text);
    void beginRenameItem(const OverlayLibraryItem& item);
    bool canSaveItemRename() const { return !renameText_.trimmed().isEmpty(); }
    void saveItemRename();
    void cancelItemRename();

    // ---- Folder delete ----
    std::optional<OverlayFolder> folderPendingDelete() const { return folderPendingDelete_; }
    void requestDeleteFolder(const OverlayFolder& folder);
    static QString deleteFolderTitle(const QString& name);
    void confirmDeleteFolder();
    void cancelDeleteFolder();

    // ---- URL sheet ----
    bool showURLEntry() const { return showURLEntry_; }
    void openURLEntry();
    void closeURLEntry();
    QString urlText() const { return urlText_; }
    void setURLText(const QString& text);
    bool canAddURL() const { return !urlText_.trimmed().isEmpty(); }
    // Starts the download; the sheet closes when it succeeds and stays with the message otherwise.
    void addURL();

    // ---- Drop well hover ----
    bool isDropTargeted() const { return isDropTargeted_; }
    void setDropTargeted(bool on);

signals:
    void contentChanged();          // groups, search results or collapse state
    void selectedRowTagChanged();
    void dialogsChanged();          // any sheet or confirmation opened, closed or edited
    void dropTargetedChanged();

private:
    void writeCollapsed(const QSet<QUuid>& ids);
    void followLibrarySelection();
    std::optional<OverlayLibraryItem> itemByID(const QUuid& id) const;

    QPointer<OverlayLibraryController> library_;
    QString searchText_;
    std::optional<QString> selectedRowTag_;
    std::optional<OverlayFolder> renamingFolder_;
    QString folderRenameText_;
    std::optional<OverlayLibraryItem> renamingItem_;
    QString renameText_;
    std::optional<OverlayFolder> folderPendingDelete_;
    bool showURLEntry_ = false;
    QString urlText_;
    bool isDropTargeted_ = false;
    QString lastRevealedPath_;
};

}  // namespace ostrela
