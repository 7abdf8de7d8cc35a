#pragma once
// The library sidebar's widgets: drop well, buttons, search field, the grouped or searched list
// and the empty state. Behaviour lives in LibrarySidebarModel; this only binds.
#include "ui/LibrarySidebarModel.h"

#include <QFrame>
#include <QTreeWidget>
#include <QWidget>

class QLabel;
class QLineEdit;
class QPushButton;
class QStackedWidget;
class QToolButton;

namespace ostrela {

// Mime type of a dragged folder group (its id); items travel as text/plain payload strings.
inline constexpr const char kFolderGroupMime[] = "application/x-ostrela-folder-group";

class DropWell : public QFrame {
    Q_OBJECT
public:
    explicit DropWell(LibrarySidebarModel* model, QWidget* parent = nullptr);
    void openFileChooser();
    QString text() const;

signals:
    void clicked();

protected:
    void mouseReleaseEvent(QMouseEvent* e) override;
    void dragEnterEvent(QDragEnterEvent* e) override;
    void dragLeaveEvent(QDragLeaveEvent* e) override;
    void dropEvent(QDropEvent* e) override;
    void paintEvent(QPaintEvent* e) override;

private:
    LibrarySidebarModel* model_;
};

// The list. Its selection shows what is on air and changes only by a deliberate choice: a primary
// click on a row or Enter (the `chosen` signal); a right-click, a press that starts a drag, or
// moving with the arrow keys leaves it alone. Drags carry the row under the pointer.
class LibraryTree : public QTreeWidget {
    Q_OBJECT
public:
    enum Role { PayloadRole = Qt::UserRole + 1, ItemIDRole, FolderIDRole, IsGroupRole, IsAllItemsRole };
    explicit LibraryTree(LibrarySidebarModel* model, QWidget* parent = nullptr);
    // What a drop of `mime` at a point of the viewport does; true when something moved.
    bool dropAt(const QMimeData* mime, const QPoint& viewportPos);
    // What a drag of `row` carries.
    QMimeData* dragData(QTreeWidgetItem* row) const;

signals:
    void chosen(QTreeWidgetItem* row);
    // A drag of `row` begins (whatever is selected).
    void dragStarted(QTreeWidgetItem* row);

protected:
    QItemSelectionModel::SelectionFlags selectionCommand(const QModelIndex& index, const QEvent* event) const override;
    void mousePressEvent(QMouseEvent* e) override;
    void mouseMoveEvent(QMouseEvent* e) override;
    void mouseReleaseEvent(QMouseEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;
    void startDrag(Qt::DropActions actions) override;
    void dragEnterEvent(QDragEnterEvent* e) override;
    void dragMoveEvent(QDragMoveEvent* e) override;
    void dropEvent(QDropEvent* e) override;
    QStringList mimeTypes() const override;
    QMimeData* mimeData(const QList<QTreeWidgetItem*>& items) const override;

private:
    bool acceptsDrop(const QMimeData* mime, QTreeWidgetItem* target) const;
    void dragRow(QTreeWidgetItem* row);
    LibrarySidebarModel* model_;
    // The row a primary press landed on, until it turns into a click or a drag.
    QPersistentModelIndex pressed_;
    QPoint pressPos_;
    bool dragged_ = false;
};

class LibrarySidebar : public QWidget {
    Q_OBJECT
public:
    explicit LibrarySidebar(LibrarySidebarModel* model, QWidget* parent = nullptr);

    LibrarySidebarModel* model() const { return model_; }
    LibraryTree* tree() const { return tree_; }
    QLineEdit* searchField() const { return search_; }
    DropWell* dropWell() const { return well_; }
    // Rebuilds the list from the model.
    void rebuild();

private:
    void showItemMenu(QTreeWidgetItem* row, const QPoint& globalPos);
    void choose(QTreeWidgetItem* row);
    void syncSelectionFromModel();
    void onExpansion(QTreeWidgetItem* item, bool expanded);
    void showDialogs();
    void execFolderRename();
    void execItemRename();
    void execDeleteFolder();
    void execURLSheet();
    void positionRemoveButton(QTreeWidgetItem* row);

    LibrarySidebarModel* model_;
    DropWell* well_;
    QPushButton* addURL_;
    QPushButton* newFolder_;
    QLineEdit* search_;
    QStackedWidget* stack_;
    LibraryTree* tree_;
    QWidget* emptyState_;
    QLabel* noResults_;
    QToolButton* removeButton_;
    QTreeWidgetItem* hoveredRow_ = nullptr;
    bool rebuilding_ = false;
    bool inDialog_ = false;
};

}  // namespace ostrela
