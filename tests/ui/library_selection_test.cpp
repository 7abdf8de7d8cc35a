// What is on air changes only by a deliberate choice in the library list: a primary click or
// Enter. A right-click, its context menu, a drag and the arrow keys act on the row under the
// pointer (or move the keyboard cursor) and leave the selection alone.
#include "library/OverlayLibraryController.h"
#include "tests/ui/UiTestUtil.h"
#include "ui/LibrarySidebar.h"
#include "ui/LibrarySidebarModel.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QDialog>
#include <QMenu>
#include <QMimeData>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

using namespace ostrela;

namespace {

class LibrarySelectionTest : public ::testing::Test {
protected:
    LibrarySelectionTest()
        : library(QString::fromStdString(env.dataDir()) + QStringLiteral("/Library")), model(&library) {
        library.load();
        a = add(QStringLiteral("Alpha"), Qt::red);
        b = add(QStringLiteral("Bravo"), Qt::green);
        folder = model.newFolder();
        model.cancelFolderRename();
        sidebar = std::make_unique<LibrarySidebar>(&model);
        sidebar->resize(300, 500);
        sidebar->show();
        QApplication::processEvents();
        // Alpha is on air.
        library.setSelectedID(a);
        QApplication::processEvents();
    }
    QUuid add(const QString& name, QColor color) {
        library.addFiles({test::writePNG(env, name + QStringLiteral(".png"), color)});
        const QUuid id = library.items().last().id;
        library.renameItem(id, name);
        return id;
    }
    LibraryTree* tree() const { return sidebar->tree(); }
    QTreeWidgetItem* rowOf(const QUuid& id) const {
        QTreeWidgetItemIterator it(tree());
        for (; *it; ++it)
            if (!(*it)->data(0, LibraryTree::IsGroupRole).toBool() &&
                (*it)->data(0, LibraryTree::ItemIDRole).toString() == uuidString(id))
                return *it;
        return nullptr;
    }
    QTreeWidgetItem* folderHeader() const {
        for (int i = 0; i < tree()->topLevelItemCount(); ++i)
            if (tree()->topLevelItem(i)->data(0, LibraryTree::FolderIDRole).toString() == uuidString(folder.id))
                return tree()->topLevelItem(i);
        return nullptr;
    }
    QPoint centre(QTreeWidgetItem* row) const { return tree()->visualItemRect(row).center(); }
    // The rows the list shows selected.
    QStringList selectedNames() const {
        QStringList out;
        for (QTreeWidgetItem* i : tree()->selectedItems()) out << i->text(0);
        return out;
    }
    std::optional<QUuid> folderOf(const QUuid& id) const {
        for (const auto& i : library.items())
            if (i.id == id) return i.folderID;
        return std::nullopt;
    }

    test::ScopedTestEnv env;
    OverlayLibraryController library;
    LibrarySidebarModel model;
    QUuid a, b;
    OverlayFolder folder;
    std::unique_ptr<LibrarySidebar> sidebar;
};

}  // namespace

TEST_F(LibrarySelectionTest, APrimaryClickChoosesTheRow) {
    ASSERT_EQ(selectedNames(), QStringList{"Alpha"});
    QTest::mouseClick(tree()->viewport(), Qt::LeftButton, {}, centre(rowOf(b)));
    EXPECT_EQ(library.selectedID(), b);
    EXPECT_EQ(selectedNames(), QStringList{"Bravo"});
}

TEST_F(LibrarySelectionTest, RightClickLeavesTheSelectionAndItsMenuActsOnTheRowUnderThePointer) {
    QTest::mousePress(tree()->viewport(), Qt::RightButton, {}, centre(rowOf(b)));
    QTest::mouseRelease(tree()->viewport(), Qt::RightButton, {}, centre(rowOf(b)));
    EXPECT_EQ(library.selectedID(), a);
    EXPECT_EQ(selectedNames(), QStringList{"Alpha"});

    // The context menu for Bravo: it offers Rename, which renames Bravo; Alpha stays on air.
    QStringList titles;
    QTimer::singleShot(0, [&] {
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        ASSERT_NE(menu, nullptr);
        for (QAction* action : menu->actions()) titles << action->text();
        for (QAction* action : menu->actions())
            if (action->text() == QString::fromUtf16(sidebar::kRenameItemMenuLabel)) action->trigger();
        menu->close();
    });
    const QPoint at = centre(rowOf(b));
    QContextMenuEvent event(QContextMenuEvent::Mouse, at, tree()->viewport()->mapToGlobal(at));
    QApplication::sendEvent(tree()->viewport(), &event);
    EXPECT_TRUE(titles.contains(QStringLiteral("Rename…"))) << qPrintable(titles.join(u','));
    ASSERT_TRUE(model.renamingItem());
    EXPECT_EQ(model.renamingItem()->id, b);
    EXPECT_EQ(model.renameText(), QStringLiteral("Bravo"));
    EXPECT_EQ(library.selectedID(), a);
    EXPECT_EQ(selectedNames(), QStringList{"Alpha"});
    for (QDialog* d : sidebar->window()->findChildren<QDialog*>()) d->reject();
    QApplication::processEvents();
}

TEST_F(LibrarySelectionTest, ADragCarriesTheRowUnderThePointerAndLeavesTheSelection) {
    QStringList dragged;
    QObject::connect(tree(), &LibraryTree::dragStarted, [&](QTreeWidgetItem* row) { dragged << row->text(0); });
    const QPoint start = centre(rowOf(b));
    QTest::mousePress(tree()->viewport(), Qt::LeftButton, {}, start);
    QTest::mouseMove(tree()->viewport(), start + QPoint(0, QApplication::startDragDistance() + 4));
    QTest::mouseRelease(tree()->viewport(), Qt::LeftButton, {}, start + QPoint(0, QApplication::startDragDistance() + 4));
    EXPECT_EQ(dragged, QStringList{"Bravo"});
    EXPECT_EQ(library.selectedID(), a) << "a drag is not a choice";
    EXPECT_EQ(selectedNames(), QStringList{"Alpha"});

    // Dropped on the folder: Bravo is filed there, Alpha stays on air and selected.
    std::unique_ptr<QMimeData> payload(tree()->dragData(rowOf(b)));
    EXPECT_EQ(payload->text(), QStringLiteral("all|") + uuidString(b));
    ASSERT_TRUE(tree()->dropAt(payload.get(), centre(folderHeader())));
    QApplication::processEvents();
    EXPECT_EQ(folderOf(b), std::optional<QUuid>(folder.id));
    EXPECT_EQ(library.selectedID(), a);
    EXPECT_EQ(selectedNames(), QStringList{"Alpha"});

    // Dragging the row that is on air works the same way and still changes nothing.
    dragged.clear();
    const QPoint live = centre(rowOf(a));
    QTest::mousePress(tree()->viewport(), Qt::LeftButton, {}, live);
    QTest::mouseMove(tree()->viewport(), live + QPoint(0, QApplication::startDragDistance() + 4));
    QTest::mouseRelease(tree()->viewport(), Qt::LeftButton, {}, live + QPoint(0, QApplication::startDragDistance() + 4));
    EXPECT_EQ(dragged, QStringList{"Alpha"});
    EXPECT_EQ(library.selectedID(), a);
}

TEST_F(LibrarySelectionTest, ArrowKeysMoveTheCursorAndEnterChooses) {
    tree()->setFocus();
    tree()->setCurrentItem(rowOf(a));
    QTest::keyClick(tree(), Qt::Key_Down);
    QTreeWidgetItem* current = tree()->currentItem();
    ASSERT_NE(current, nullptr);
    EXPECT_NE(current, rowOf(a));
    EXPECT_EQ(library.selectedID(), a) << "moving the cursor is not a choice";
    EXPECT_EQ(selectedNames(), QStringList{"Alpha"});
    // Down to Bravo, then Enter puts it on air.
    while (tree()->currentItem() && tree()->currentItem() != rowOf(b)) QTest::keyClick(tree(), Qt::Key_Down);
    ASSERT_EQ(tree()->currentItem(), rowOf(b));
    EXPECT_EQ(library.selectedID(), a);
    QTest::keyClick(tree(), Qt::Key_Return);
    EXPECT_EQ(library.selectedID(), b);
    EXPECT_EQ(selectedNames(), QStringList{"Bravo"});
}
