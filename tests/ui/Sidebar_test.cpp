#include "library/OverlayLibraryController.h"
#include "tests/ui/UiTestUtil.h"
#include "ui/LibrarySidebar.h"
#include "ui/LibrarySidebarModel.h"

#include <QDropEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>

#include <gtest/gtest.h>

using namespace ostrela;

namespace {

class SidebarTest : public ::testing::Test {
protected:
    SidebarTest()
        : library(QString::fromStdString(env.dataDir()) + QStringLiteral("/Library")), model(&library) {
        library.load();
    }
    QUuid add(const QString& name, QColor color = Qt::blue) {
        library.addFiles({test::writePNG(env, name + QStringLiteral(".png"), color)});
        const QUuid id = library.items().last().id;
        library.renameItem(id, name);
        return id;
    }
    QStringList names(const QList<OverlayLibraryItem>& items) const {
        QStringList out;
        for (const auto& i : items) out << i.displayName;
        return out;
    }
    QStringList libraryOrder() const { return names(library.items()); }
    std::optional<QUuid> folderOf(const QUuid& id) const {
        for (const auto& i : library.items())
            if (i.id == id) return i.folderID;
        return std::nullopt;
    }

    test::ScopedTestEnv env;
    OverlayLibraryController library;
    LibrarySidebarModel model;
};

}  // namespace

TEST_F(SidebarTest, EmptyLibraryShowsTheEmptyState) {
    EXPECT_TRUE(model.showsEmptyLibrary());
    LibrarySidebar sidebar(&model);
    auto* empty = sidebar.findChild<QWidget*>(QStringLiteral("emptyLibrary"));
    ASSERT_NE(empty, nullptr);
    sidebar.show();
    EXPECT_TRUE(empty->isVisible());
    QStringList texts;
    for (QLabel* l : empty->findChildren<QLabel*>()) texts << l->text();
    EXPECT_TRUE(texts.contains(QStringLiteral("<b>Nothing Here Yet</b>")));
    EXPECT_TRUE(texts.contains(QStringLiteral("Drag images or videos into the well above")));
    add(QStringLiteral("Beach"));
    EXPECT_FALSE(model.showsEmptyLibrary());
    EXPECT_FALSE(empty->isVisible());
}

TEST_F(SidebarTest, GroupsAllItemsAndFoldersInOrder) {
    const QUuid a = add(QStringLiteral("Alpha"));
    const QUuid b = add(QStringLiteral("Bravo"));
    add(QStringLiteral("Charlie"));
    const OverlayFolder f1 = model.newFolder();
    model.cancelFolderRename();
    const OverlayFolder f2 = model.newFolder();
    model.setFolderRenameText(QStringLiteral("  Props "));
    model.saveFolderRename();
    library.moveItemToFolder(b, f1.id);

    const auto groups = model.groups();
    ASSERT_EQ(groups.size(), 3);
    EXPECT_EQ(groups[0].title, QStringLiteral("All Items"));
    EXPECT_FALSE(groups[0].folderID);
    EXPECT_EQ(names(groups[0].items), (QStringList{"Alpha", "Charlie"}));
    EXPECT_EQ(groups[1].title, QStringLiteral("New Folder"));
    EXPECT_EQ(names(groups[1].items), QStringList{"Bravo"});
    EXPECT_EQ(groups[2].title, QStringLiteral("Props"));
    EXPECT_TRUE(groups[2].showsEmptyHint());
    EXPECT_FALSE(groups[1].showsEmptyHint());

    // The widget lists the same groups, with the empty-folder hint.
    LibrarySidebar sidebar(&model);
    LibraryTree* tree = sidebar.tree();
    ASSERT_EQ(tree->topLevelItemCount(), 3);
    EXPECT_EQ(tree->topLevelItem(0)->childCount(), 2);
    EXPECT_EQ(tree->topLevelItem(2)->child(0)->text(0),
              QStringLiteral("Empty — drag an item here, or right-click it and choose Move to Folder"));
    EXPECT_EQ(tree->topLevelItem(0)->child(0)->data(0, LibraryTree::PayloadRole).toString(),
              QStringLiteral("all|") + uuidString(a));
    EXPECT_EQ(tree->topLevelItem(1)->child(0)->data(0, LibraryTree::PayloadRole).toString(),
              QStringLiteral("folder|") + uuidString(f1.id) + QLatin1Char('|') + uuidString(b));
    (void)f2;
}

TEST_F(SidebarTest, SearchIsTrimmedCaseInsensitiveAndFlat) {
    add(QStringLiteral("Beach Sunset"));
    const QUuid inFolder = add(QStringLiteral("beachball"));
    add(QStringLiteral("Mountain"));
    const OverlayFolder f = model.newFolder();
    model.cancelFolderRename();
    library.moveItemToFolder(inFolder, f.id);

    model.setSearchText(QStringLiteral("  "));
    EXPECT_TRUE(model.isGroupedView()) << "two spaces still show the groups";
    model.setSearchText(QStringLiteral(" BEACH\n"));
    EXPECT_FALSE(model.isGroupedView());
    EXPECT_EQ(names(model.searchResults()), (QStringList{"Beach Sunset", "beachball"}));
    model.setSearchText(QStringLiteral("zzz"));
    EXPECT_TRUE(model.searchResults().isEmpty());
    EXPECT_TRUE(LibrarySidebarModel::nameMatches(QStringLiteral("Café Noir"), QStringLiteral("CAFÉ")));

    LibrarySidebar sidebar(&model);
    sidebar.show();
    auto* none = sidebar.findChild<QLabel*>(QStringLiteral("noSearchResults"));
    ASSERT_NE(none, nullptr);
    EXPECT_TRUE(none->isVisible());
    EXPECT_TRUE(none->text().contains(QStringLiteral("zzz")));
    sidebar.searchField()->setText(QStringLiteral("beach"));
    EXPECT_EQ(sidebar.tree()->topLevelItemCount(), 2) << "a flat list, no folder groups";
}

TEST_F(SidebarTest, CollapseStatePersistsAndIgnoresGarbage) {
    add(QStringLiteral("One"));
    const OverlayFolder f1 = model.newFolder();
    const OverlayFolder f2 = model.newFolder();
    model.cancelFolderRename();
    settings::setLibraryCollapsedFolderIDs(uuidString(f1.id) + QStringLiteral(",garbage,,not-a-uuid"));
    EXPECT_FALSE(model.isFolderExpanded(f1.id));
    EXPECT_TRUE(model.isFolderExpanded(f2.id));
    EXPECT_EQ(model.collapsedFolderIDs().size(), 1);

    model.toggleFolder(f2.id);
    EXPECT_EQ(LibrarySidebarModel::parseCollapsedFolderIDs(settings::libraryCollapsedFolderIDs()),
              (QSet<QUuid>{f1.id, f2.id}));
    EXPECT_FALSE(settings::libraryCollapsedFolderIDs().contains(QLatin1Char(' ')));
    model.toggleFolder(f1.id);
    EXPECT_EQ(settings::libraryCollapsedFolderIDs(), uuidString(f2.id));

    EXPECT_TRUE(settings::libraryAllItemsExpanded());
    model.toggleAllItems();
    EXPECT_FALSE(settings::libraryAllItemsExpanded());

    // The widget opens and closes groups accordingly, and writes back what the user toggles.
    LibrarySidebar sidebar(&model);
    EXPECT_FALSE(sidebar.tree()->topLevelItem(0)->isExpanded());
    EXPECT_TRUE(sidebar.tree()->topLevelItem(1)->isExpanded());
    EXPECT_FALSE(sidebar.tree()->topLevelItem(2)->isExpanded());
    sidebar.tree()->topLevelItem(1)->setExpanded(false);
    test::waitUntil([&] { return !model.isFolderExpanded(f1.id); }, 5000);
    EXPECT_FALSE(model.isFolderExpanded(f1.id));
}

TEST_F(SidebarTest, DropsOnRowsAndFolders) {
    const QUuid a = add(QStringLiteral("A"));
    const QUuid b = add(QStringLiteral("B"));
    const QUuid c = add(QStringLiteral("C"));
    const OverlayFolder f = model.newFolder();
    model.cancelFolderRename();

    // An unfiled item dropped on the folder group: filed there, last in the library order.
    EXPECT_TRUE(model.dropOnFolder({QStringLiteral("all|") + uuidString(a)}, f.id));
    EXPECT_EQ(folderOf(a), std::optional<QUuid>(f.id));
    EXPECT_EQ(libraryOrder(), (QStringList{"B", "C", "A"}));

    // Dropped on a row inside that folder: filed there directly before that row.
    EXPECT_TRUE(model.dropOnItem({QStringLiteral("all|") + uuidString(c)}, a));
    EXPECT_EQ(folderOf(c), std::optional<QUuid>(f.id));
    EXPECT_EQ(libraryOrder(), (QStringList{"B", "C", "A"}));
    EXPECT_EQ(names(library.itemsInFolder(f.id)), (QStringList{"C", "A"}));

    // A folder row dropped on an unfiled row comes back to All Items before it.
    EXPECT_TRUE(model.dropOnItem({QStringLiteral("folder|") + uuidString(f.id) + QLatin1Char('|') + uuidString(a)}, b));
    EXPECT_EQ(folderOf(a), std::nullopt);
    EXPECT_EQ(libraryOrder(), (QStringList{"A", "B", "C"}));

    // Onto itself, garbage, unknown ids: nothing moves.
    EXPECT_FALSE(model.dropOnItem({QStringLiteral("all|") + uuidString(b)}, b));
    EXPECT_FALSE(model.dropOnFolder({QStringLiteral("all|not-a-uuid"), QStringLiteral("garbage")}, f.id));
    EXPECT_FALSE(model.dropOnFolder({QStringLiteral("all|") + uuidString(QUuid::createUuid())}, f.id));
    EXPECT_FALSE(model.dropOnFolder({QStringLiteral("all|") + uuidString(b)}, QUuid::createUuid()));
    EXPECT_EQ(libraryOrder(), (QStringList{"A", "B", "C"}));

    // The list widget hands a dropped payload to the same operation.
    LibrarySidebar sidebar(&model);
    sidebar.resize(300, 600);
    sidebar.show();
    LibraryTree* tree = sidebar.tree();
    QTreeWidgetItem* folderGroup = tree->topLevelItem(1);
    QMimeData mime;
    mime.setText(QStringLiteral("all|") + uuidString(b));
    tree->scrollToItem(folderGroup);
    const QPoint at = tree->visualItemRect(folderGroup).center();
    EXPECT_TRUE(tree->dropAt(&mime, at));
    EXPECT_EQ(folderOf(b), std::optional<QUuid>(f.id));
}

TEST_F(SidebarTest, FoldersReorderAndDeleteKeepsItems) {
    const QUuid a = add(QStringLiteral("A"));
    OverlayFolder f1 = model.newFolder();
    model.setFolderRenameText(QStringLiteral("First"));
    model.saveFolderRename();
    OverlayFolder f2 = model.newFolder();
    model.setFolderRenameText(QStringLiteral("Second"));
    model.saveFolderRename();
    OverlayFolder f3 = model.newFolder();
    model.setFolderRenameText(QStringLiteral("Third"));
    model.saveFolderRename();
    auto folderNames = [&] {
        QStringList out;
        for (const auto& f : library.folders()) out << f.name;
        return out;
    };
    model.moveFolders({2}, 0);
    EXPECT_EQ(folderNames(), (QStringList{"Third", "First", "Second"}));
    model.moveFolders({1}, 3);
    EXPECT_EQ(folderNames(), (QStringList{"Third", "Second", "First"}));
    // Saved: a fresh controller reads the same order.
    {
        OverlayLibraryController again(QString::fromStdString(env.dataDir()) + QStringLiteral("/Library"));
        again.load();
        ASSERT_EQ(again.folders().size(), 3);
        EXPECT_EQ(again.folders()[0].name, QStringLiteral("Third"));
    }

    library.moveItemToFolder(a, f1.id);
    OverlayFolder first;
    for (const auto& f : library.folders())
        if (f.id == f1.id) first = f;
    model.requestDeleteFolder(first);
    EXPECT_EQ(LibrarySidebarModel::deleteFolderTitle(first.name), QStringLiteral("Delete the folder “First”?"));
    model.confirmDeleteFolder();
    EXPECT_EQ(library.folders().size(), 2);
    EXPECT_EQ(folderOf(a), std::nullopt);
    EXPECT_EQ(names(model.groups()[0].items), QStringList{"A"});
    (void)f2;
    (void)f3;
}

TEST_F(SidebarTest, RenameSheetsTrimAndRefuseBlanks) {
    const QUuid a = add(QStringLiteral("Old"));
    model.beginRenameItem(library.items()[0]);
    EXPECT_EQ(model.renameText(), QStringLiteral("Old"));
    model.setRenameText(QStringLiteral("   \n"));
    EXPECT_FALSE(model.canSaveItemRename());
    model.saveItemRename();
    EXPECT_EQ(library.items()[0].displayName, QStringLiteral("Old"));
    model.beginRenameItem(library.items()[0]);
    model.setRenameText(QStringLiteral("  New name \n"));
    model.saveItemRename();
    EXPECT_EQ(library.items()[0].displayName, QStringLiteral("New name"));
    EXPECT_FALSE(model.renamingItem());

    const OverlayFolder f = model.newFolder();
    EXPECT_EQ(model.folderRenameText(), QStringLiteral("New Folder"));
    ASSERT_TRUE(model.renamingFolder());
    model.setFolderRenameText(QStringLiteral("  "));
    EXPECT_FALSE(model.canSaveFolderRename());
    model.cancelFolderRename();
    EXPECT_EQ(library.folders()[0].name, QStringLiteral("New Folder"));
    (void)a;
    (void)f;
}

TEST_F(SidebarTest, ItemMenuEntries) {
    const QUuid a = add(QStringLiteral("Pic"));
    const OverlayFolder f = model.newFolder();
    model.cancelFolderRename();
    auto titles = [&](const OverlayLibraryItem& item) {
        QStringList out;
        for (const auto& e : model.itemMenu(item)) out << e.title;
        return out;
    };
    const QString reveal = QString::fromUtf8(sidebar::kRevealLabel);
    EXPECT_EQ(reveal, QStringLiteral("Show in File Manager"));
    EXPECT_EQ(titles(library.items()[0]), (QStringList{reveal, "Rename…", "New Folder", "New Folder", "Delete Image"}));
    library.moveItemToFolder(a, f.id);
    EXPECT_EQ(titles(library.items()[0]),
              (QStringList{reveal, "Rename…", "New Folder", "New Folder", "Remove from Folder", "Delete Image"}));

    // "Rename…" opens the item's rename sheet with its name.
    model.triggerItemMenu(library.items()[0], model.itemMenu(library.items()[0])[1]);
    ASSERT_TRUE(model.renamingItem());
    EXPECT_EQ(model.renamingItem()->id, a);
    EXPECT_EQ(model.renameText(), QStringLiteral("Pic"));
    model.cancelItemRename();

    // "New Folder" in the submenu: a new folder holding the item, with its rename sheet open.
    const auto entries = model.itemMenu(library.items()[0]);
    model.triggerItemMenu(library.items()[0], entries[3]);
    ASSERT_EQ(library.folders().size(), 2);
    EXPECT_EQ(folderOf(a), std::optional<QUuid>(library.folders()[1].id));
    ASSERT_TRUE(model.renamingFolder());
    EXPECT_EQ(model.renamingFolder()->id, library.folders()[1].id);
    model.cancelFolderRename();

    model.triggerItemMenu(library.items()[0], model.itemMenu(library.items()[0]).last());
    EXPECT_TRUE(library.items().isEmpty());
}

TEST_F(SidebarTest, SelectionFollowsBothWays) {
    const QUuid a = add(QStringLiteral("A"));
    const QUuid b = add(QStringLiteral("B"));
    model.setSelectedRowTag(QStringLiteral("all|") + uuidString(b));
    EXPECT_EQ(library.selectedID(), b);
    // Garbage tags select nothing new.
    model.setSelectedRowTag(QStringLiteral("all|nope"));
    EXPECT_EQ(library.selectedID(), b);
    // Selected elsewhere: the row tag follows.
    library.setSelectedID(a);
    ASSERT_TRUE(model.selectedRowTag());
    EXPECT_EQ(*model.selectedRowTag(), QStringLiteral("all|") + uuidString(a));
    // Cleared elsewhere: the row selection stays.
    library.setSelectedID(QUuid());
    EXPECT_EQ(*model.selectedRowTag(), QStringLiteral("all|") + uuidString(a));
}

TEST_F(SidebarTest, PayloadParsing) {
    const QUuid id = QUuid::createUuid();
    EXPECT_EQ(LibrarySidebarModel::itemIDFromPayload(QStringLiteral("all|") + uuidString(id)), id);
    EXPECT_EQ(LibrarySidebarModel::itemIDFromPayload(QStringLiteral("folder|") + uuidString(QUuid::createUuid()) +
                                                     QLatin1Char('|') + uuidString(id)),
              id);
    EXPECT_FALSE(LibrarySidebarModel::itemIDFromPayload(QStringLiteral("folder|") + uuidString(id) + QStringLiteral("|x")));
    EXPECT_FALSE(LibrarySidebarModel::itemIDFromPayload(QString()));
}

TEST_F(SidebarTest, URLSheetStaysOpenWithTheMessageOnFailure) {
    model.openURLEntry();
    EXPECT_TRUE(model.showURLEntry());
    EXPECT_FALSE(model.canAddURL());
    model.setURLText(QStringLiteral("http://127.0.0.1:9/missing.png"));
    EXPECT_TRUE(model.canAddURL());
    model.addURL();
    ASSERT_TRUE(test::waitUntil([&] { return !library.isDownloading(); }, 30000));
    EXPECT_TRUE(model.showURLEntry());
    EXPECT_FALSE(library.lastError().isEmpty());
}
