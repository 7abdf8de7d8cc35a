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

class LibraryTree : public QTreeWidget {
    Q_OBJECT
public:
    enum Role { PayloadRole = Qt::UserRole + 1, ItemIDRole, FolderIDRole, IsGroupRole, IsAllItemsRole };
    explicit LibraryTree(LibrarySidebarModel* model, QWidget* parent = nullptr);
    // What a drop of `mime` at a point of the viewport does; true when something moved.
    bool dropAt(const QMimeData* mime, const QPoint& viewportPos);

protected:
    void startDrag(Qt::DropActions actions) override;
    void dragEnterEvent(QDragEnterEvent* e) override;
    void dragMoveEvent(QDragMoveEvent* e) override;
    void dropEvent(QDropEvent* e) override;
    QStringList mimeTypes() const override;
    QMimeData* mimeData(const QList<QTreeWidgetItem*>& items) const override;

private:
    bool acceptsDrop(const QMimeData* mime, QTreeWidgetItem* target) const;
    LibrarySidebarModel* model_;
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
    void syncSelectionToModel();
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
