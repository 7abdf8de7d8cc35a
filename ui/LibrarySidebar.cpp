#include "ui/LibrarySidebar.h"

#include "library/OverlayLibraryController.h"
#include "ui/Symbols.h"

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDrag>
#include <QDragEnterEvent>
#include <QFileDialog>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedWidget>
#include <QToolButton>
#include <QVBoxLayout>

namespace ostrela {

// ---- Drop well ----

DropWell::DropWell(LibrarySidebarModel* model, QWidget* parent) : QFrame(parent), model_(model) {
    setObjectName(QStringLiteral("dropWell"));
    setAcceptDrops(true);
    setCursor(Qt::PointingHandCursor);
    setMinimumHeight(74);
    setAccessibleName(text());
    connect(model_, &LibrarySidebarModel::dropTargetedChanged, this, qOverload<>(&QWidget::update));
    connect(this, &DropWell::clicked, this, &DropWell::openFileChooser);
}

QString DropWell::text() const { return QString::fromUtf8(sidebar::kDropWellLabel); }

void DropWell::paintEvent(QPaintEvent*) {
    // Drawn from the palette each time, so it follows the light and dark schemes.
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor accent = palette().color(QPalette::Highlight);
    const bool hot = model_->isDropTargeted();
    QPen pen(hot ? accent : palette().color(QPalette::Mid), 2, Qt::DashLine);
    p.setPen(pen);
    p.setBrush(hot ? QBrush(QColor(accent.red(), accent.green(), accent.blue(), 40)) : QBrush(Qt::NoBrush));
    p.drawRoundedRect(QRectF(rect()).adjusted(1.5, 1.5, -1.5, -1.5), 10, 10);
    p.setPen(palette().color(QPalette::WindowText));
    p.drawText(rect(), Qt::AlignCenter, text());
}

void DropWell::openFileChooser() {
    auto* dialog = new QFileDialog(window(), QStringLiteral("Add Images or Videos"), QString(), sidebar::fileChooserFilter());
    dialog->setFileMode(QFileDialog::ExistingFiles);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    connect(dialog, &QFileDialog::filesSelected, model_, [m = model_](const QStringList& files) { m->addFiles(files); });
    dialog->open();
}

void DropWell::mouseReleaseEvent(QMouseEvent* e) {
    QFrame::mouseReleaseEvent(e);
    if (rect().contains(e->position().toPoint())) emit clicked();
}

void DropWell::dragEnterEvent(QDragEnterEvent* e) {
    if (e->mimeData()->hasUrls()) {
        e->acceptProposedAction();
        model_->setDropTargeted(true);
    }
}

void DropWell::dragLeaveEvent(QDragLeaveEvent*) { model_->setDropTargeted(false); }

void DropWell::dropEvent(QDropEvent* e) {
    model_->setDropTargeted(false);
    if (!e->mimeData()->hasUrls()) return;
    model_->dropFiles(e->mimeData()->urls());
    e->acceptProposedAction();
}

// ---- The list ----

LibraryTree::LibraryTree(LibrarySidebarModel* model, QWidget* parent) : QTreeWidget(parent), model_(model) {
    setHeaderHidden(true);
    setColumnCount(1);
    setIconSize(QSize(36, 36));
    setDragEnabled(true);
    setAcceptDrops(true);
    setDropIndicatorShown(true);
    setDragDropMode(QAbstractItemView::DragDrop);
    setDefaultDropAction(Qt::MoveAction);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setContextMenuPolicy(Qt::CustomContextMenu);
    setMouseTracking(true);
    setIndentation(14);
    setAnimated(false);
    setUniformRowHeights(false);
}

QStringList LibraryTree::mimeTypes() const { return {QStringLiteral("text/plain"), QString::fromLatin1(kFolderGroupMime)}; }

QMimeData* LibraryTree::mimeData(const QList<QTreeWidgetItem*>& items) const {
    auto* mime = new QMimeData;
    QStringList payloads;
    for (QTreeWidgetItem* it : items) {
        if (it->data(0, IsGroupRole).toBool()) {
            if (!it->data(0, IsAllItemsRole).toBool())
                mime->setData(QString::fromLatin1(kFolderGroupMime), it->data(0, FolderIDRole).toString().toLatin1());
            continue;
        }
        payloads << it->data(0, PayloadRole).toString();
    }
    if (!payloads.isEmpty()) mime->setText(payloads.join(QLatin1Char('\n')));
    return mime;
}

QMimeData* LibraryTree::dragData(QTreeWidgetItem* row) const { return mimeData({row}); }

QItemSelectionModel::SelectionFlags LibraryTree::selectionCommand(const QModelIndex&, const QEvent*) const {
    // The view never selects on its own: the selection is what is on air, set by the sidebar.
    return QItemSelectionModel::NoUpdate;
}

void LibraryTree::mousePressEvent(QMouseEvent* e) {
    dragged_ = false;
    pressed_ = QPersistentModelIndex();
    if (e->button() == Qt::LeftButton) {
        pressed_ = indexAt(e->position().toPoint());
        pressPos_ = e->position().toPoint();
    }
    QTreeWidget::mousePressEvent(e);
}

void LibraryTree::mouseMoveEvent(QMouseEvent* e) {
    if (pressed_.isValid() && (e->buttons() & Qt::LeftButton) &&
        (e->position().toPoint() - pressPos_).manhattanLength() >= QApplication::startDragDistance()) {
        QTreeWidgetItem* row = itemFromIndex(pressed_);
        pressed_ = QPersistentModelIndex();
        if (row && (row->flags() & Qt::ItemIsDragEnabled)) {
            dragged_ = true;
            dragRow(row);
            return;
        }
    }
    QTreeWidget::mouseMoveEvent(e);
}

void LibraryTree::mouseReleaseEvent(QMouseEvent* e) {
    const QPersistentModelIndex pressed = pressed_;
    pressed_ = QPersistentModelIndex();
    QTreeWidget::mouseReleaseEvent(e);
    // A click: pressed and released on the same row with the primary button, without a drag.
    if (e->button() != Qt::LeftButton || dragged_ || !pressed.isValid()) return;
    if (indexAt(e->position().toPoint()) != QModelIndex(pressed)) return;
    if (QTreeWidgetItem* row = itemFromIndex(pressed)) emit chosen(row);
}

void LibraryTree::keyPressEvent(QKeyEvent* e) {
    if ((e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter) && e->modifiers() == Qt::NoModifier) {
        if (QTreeWidgetItem* row = currentItem()) emit chosen(row);
        e->accept();
        return;
    }
    QTreeWidget::keyPressEvent(e);
}

void LibraryTree::startDrag(Qt::DropActions) {
    // Drags start in mouseMoveEvent with the row under the pointer, never with the selection.
}

void LibraryTree::dragRow(QTreeWidgetItem* row) {
    emit dragStarted(row);
    auto* drag = new QDrag(this);
    drag->setMimeData(dragData(row));
    if (!row->icon(0).isNull()) drag->setPixmap(row->icon(0).pixmap(36, 36));
    drag->exec(Qt::MoveAction, Qt::MoveAction);
    drag->deleteLater();
}

bool LibraryTree::acceptsDrop(const QMimeData* mime, QTreeWidgetItem* target) const {
    if (!target) return false;
    const bool isGroup = target->data(0, IsGroupRole).toBool();
    if (mime->hasFormat(QString::fromLatin1(kFolderGroupMime)))
        return isGroup && !target->data(0, IsAllItemsRole).toBool();
    if (!mime->hasText()) return false;
    // Items go onto rows and onto folder groups; "All Items" is reached through a row or "Remove from Folder".
    return !isGroup || !target->data(0, IsAllItemsRole).toBool();
}

void LibraryTree::dragEnterEvent(QDragEnterEvent* e) {
    if (e->source() == this || e->mimeData()->hasText()) e->acceptProposedAction();
    else e->ignore();
}

void LibraryTree::dragMoveEvent(QDragMoveEvent* e) {
    QTreeWidgetItem* target = itemAt(e->position().toPoint());
    if (acceptsDrop(e->mimeData(), target)) e->acceptProposedAction();
    else e->ignore();
}

void LibraryTree::dropEvent(QDropEvent* e) {
    const bool ok = dropAt(e->mimeData(), e->position().toPoint());
    // The model rebuilds the list; the view must not move rows itself.
    e->setDropAction(Qt::IgnoreAction);
    if (ok) e->accept();
    else e->ignore();
}

bool LibraryTree::dropAt(const QMimeData* mime, const QPoint& viewportPos) {
    QTreeWidgetItem* target = itemAt(viewportPos);
    if (!acceptsDrop(mime, target)) return false;
    bool ok = false;
    if (mime->hasFormat(QString::fromLatin1(kFolderGroupMime))) {
        const auto dragged = parseUuid(QString::fromLatin1(mime->data(QString::fromLatin1(kFolderGroupMime))));
        const auto onto = parseUuid(target->data(0, FolderIDRole).toString());
        const auto& folders = model_->library()->folders();
        int from = -1, to = -1;
        for (int i = 0; i < folders.size(); ++i) {
            if (dragged && folders[i].id == *dragged) from = i;
            if (onto && folders[i].id == *onto) to = i;
        }
        if (from >= 0 && to >= 0 && from != to) {
            model_->moveFolders({from}, to > from ? to + 1 : to);
            ok = true;
        }
    } else {
        const QStringList payloads = mime->text().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        if (target->data(0, IsGroupRole).toBool()) {
            if (auto folder = parseUuid(target->data(0, FolderIDRole).toString()))
                ok = model_->dropOnFolder(payloads, *folder);
        } else if (auto id = parseUuid(target->data(0, ItemIDRole).toString())) {
            ok = model_->dropOnItem(payloads, *id);
        }
    }
    return ok;
}

// ---- Sidebar ----

LibrarySidebar::LibrarySidebar(LibrarySidebarModel* model, QWidget* parent) : QWidget(parent), model_(model) {
    setObjectName(QStringLiteral("librarySidebar"));
    auto* l = new QVBoxLayout(this);
    l->setContentsMargins(10, 10, 10, 10);
    l->setSpacing(8);
    well_ = new DropWell(model_, this);
    l->addWidget(well_);

    auto* buttons = new QHBoxLayout;
    addURL_ = new QPushButton(symbols::icon(QStringLiteral("link")), QString::fromUtf8(sidebar::kAddFromURLLabel), this);
    addURL_->setObjectName(QStringLiteral("addFromURLButton"));
    newFolder_ = new QPushButton(symbols::icon(QStringLiteral("folder.badge.plus")), QString::fromUtf8(sidebar::kNewFolderLabel), this);
    newFolder_->setObjectName(QStringLiteral("newFolderButton"));
    buttons->addWidget(addURL_);
    buttons->addWidget(newFolder_);
    l->addLayout(buttons);

    search_ = new QLineEdit(this);
    search_->setObjectName(QStringLiteral("librarySearch"));
    search_->setPlaceholderText(QStringLiteral("Search"));
    search_->setClearButtonEnabled(true);
    search_->addAction(symbols::icon(QStringLiteral("magnifyingglass")), QLineEdit::LeadingPosition);
    l->addWidget(search_);

    stack_ = new QStackedWidget(this);
    tree_ = new LibraryTree(model_, stack_);
    tree_->setObjectName(QStringLiteral("libraryList"));
    stack_->addWidget(tree_);

    emptyState_ = new QWidget(stack_);
    emptyState_->setObjectName(QStringLiteral("emptyLibrary"));
    auto* el = new QVBoxLayout(emptyState_);
    el->addStretch();
    auto* emptyIcon = new symbols::SymbolView(QStringLiteral("photo.on.rectangle.angled"), 48, emptyState_, QPalette::PlaceholderText);
    emptyIcon->setObjectName(QStringLiteral("emptyLibrarySymbol"));
    el->addWidget(emptyIcon, 0, Qt::AlignHCenter);
    auto* emptyTitle = new QLabel(QStringLiteral("<b>") + QString::fromUtf8(sidebar::kEmptyLibraryTitle) + QStringLiteral("</b>"), emptyState_);
    emptyTitle->setAlignment(Qt::AlignCenter);
    el->addWidget(emptyTitle);
    auto* emptyText = new QLabel(QString::fromUtf8(sidebar::kEmptyLibraryText), emptyState_);
    emptyText->setAlignment(Qt::AlignCenter);
    emptyText->setWordWrap(true);
    el->addWidget(emptyText);
    el->addStretch();
    stack_->addWidget(emptyState_);

    noResults_ = new QLabel(stack_);
    noResults_->setObjectName(QStringLiteral("noSearchResults"));
    noResults_->setAlignment(Qt::AlignCenter);
    noResults_->setWordWrap(true);
    stack_->addWidget(noResults_);
    l->addWidget(stack_, 1);

    removeButton_ = new QToolButton(tree_->viewport());
    removeButton_->setObjectName(QStringLiteral("removeItemButton"));
    removeButton_->setIcon(symbols::icon(QStringLiteral("xmark.circle.fill")));
    removeButton_->setAutoRaise(true);
    removeButton_->hide();

    connect(addURL_, &QPushButton::clicked, model_, &LibrarySidebarModel::openURLEntry);
    connect(newFolder_, &QPushButton::clicked, model_, [m = model_] { m->newFolder(); });
    connect(search_, &QLineEdit::textChanged, model_, &LibrarySidebarModel::setSearchText);
    connect(model_, &LibrarySidebarModel::contentChanged, this, &LibrarySidebar::rebuild);
    connect(model_, &LibrarySidebarModel::selectedRowTagChanged, this, &LibrarySidebar::syncSelectionFromModel);
    connect(model_, &LibrarySidebarModel::dialogsChanged, this, &LibrarySidebar::showDialogs);
    connect(tree_, &LibraryTree::chosen, this, &LibrarySidebar::choose);
    connect(tree_, &QTreeWidget::itemExpanded, this, [this](QTreeWidgetItem* i) { onExpansion(i, true); });
    connect(tree_, &QTreeWidget::itemCollapsed, this, [this](QTreeWidgetItem* i) { onExpansion(i, false); });
    connect(tree_, &QTreeWidget::customContextMenuRequested, this, [this](const QPoint& pos) {
        if (QTreeWidgetItem* row = tree_->itemAt(pos)) showItemMenu(row, tree_->viewport()->mapToGlobal(pos));
    });
    connect(tree_, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem* row) {
        if (row->data(0, LibraryTree::IsGroupRole).toBool()) return;
        const auto id = parseUuid(row->data(0, LibraryTree::ItemIDRole).toString());
        for (const auto& item : model_->library()->items())
            if (id && item.id == *id) model_->beginRenameItem(item);
    });
    connect(tree_, &QTreeWidget::itemEntered, this, &LibrarySidebar::positionRemoveButton);
    connect(removeButton_, &QToolButton::clicked, this, [this] {
        if (!hoveredRow_) return;
        const auto id = parseUuid(hoveredRow_->data(0, LibraryTree::ItemIDRole).toString());
        removeButton_->hide();
        hoveredRow_ = nullptr;
        for (const auto& item : model_->library()->items())
            if (id && item.id == *id) {
                model_->library()->removeItem(item);
                break;
            }
    });
    rebuild();
}

void LibrarySidebar::positionRemoveButton(QTreeWidgetItem* row) {
    if (!row || row->data(0, LibraryTree::IsGroupRole).toBool()) {
        removeButton_->hide();
        hoveredRow_ = nullptr;
        return;
    }
    hoveredRow_ = row;
    const QRect r = tree_->visualItemRect(row);
    const int s = 22;
    removeButton_->setGeometry(r.right() - s - 4, r.center().y() - s / 2, s, s);
    removeButton_->show();
    removeButton_->raise();
}

namespace {

QTreeWidgetItem* makeRow(LibrarySidebarModel* model, const OverlayLibraryItem& item, bool insideFolder) {
    auto* row = new QTreeWidgetItem;
    QString title = item.displayName;
    row->setText(0, title);
    row->setToolTip(0, item.displayName);
    const QImage thumb = model->library()->thumbnail(item);
    QPixmap pm = QPixmap::fromImage(thumb.isNull() ? OverlayLibraryController::placeholderThumbnail() : thumb)
                     .scaled(36, 36, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    if (item.kind == OverlayLibraryItemKind::video) {
        // The video marker sits in the thumbnail's corner.
        QPainter p(&pm);
        const QIcon mark = symbols::icon(QStringLiteral("video.fill"), Qt::white);
        p.fillRect(QRect(pm.width() - 16, pm.height() - 12, 16, 12), QColor(0, 0, 0, 150));
        mark.paint(&p, QRect(pm.width() - 15, pm.height() - 12, 14, 12));
    }
    row->setIcon(0, QIcon(pm));
    const QString payload = LibrarySidebarModel::payloadForItem(item, insideFolder);
    row->setData(0, LibraryTree::PayloadRole, payload);
    row->setData(0, LibraryTree::ItemIDRole, uuidString(item.id));
    row->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDragEnabled | Qt::ItemIsDropEnabled);
    return row;
}

}  // namespace

void LibrarySidebar::rebuild() {
    rebuilding_ = true;
    removeButton_->hide();
    hoveredRow_ = nullptr;
    tree_->clear();
    if (model_->showsEmptyLibrary()) {
        stack_->setCurrentWidget(emptyState_);
    } else if (model_->isGroupedView()) {
        stack_->setCurrentWidget(tree_);
        for (const SidebarGroup& g : model_->groups()) {
            auto* group = new QTreeWidgetItem(tree_);
            group->setText(0, g.title);
            QFont f = group->font(0);
            f.setBold(true);
            group->setFont(0, f);
            group->setIcon(0, symbols::icon(g.folderID ? QStringLiteral("folder") : QStringLiteral("square.grid.2x2")));
            group->setData(0, LibraryTree::IsGroupRole, true);
            group->setData(0, LibraryTree::IsAllItemsRole, !g.folderID.has_value());
            if (g.folderID) group->setData(0, LibraryTree::FolderIDRole, uuidString(*g.folderID));
            group->setFlags(Qt::ItemIsEnabled | Qt::ItemIsDropEnabled | (g.folderID ? Qt::ItemIsDragEnabled | Qt::ItemIsSelectable : Qt::NoItemFlags));
            group->setChildIndicatorPolicy(QTreeWidgetItem::ShowIndicator);
            for (const OverlayLibraryItem& item : g.items) group->addChild(makeRow(model_, item, g.folderID.has_value()));
            if (g.showsEmptyHint()) {
                auto* hint = new QTreeWidgetItem(group);
                hint->setText(0, QString::fromUtf8(sidebar::kEmptyFolderText));
                hint->setFlags(Qt::ItemIsEnabled | Qt::ItemIsDropEnabled);
                hint->setData(0, LibraryTree::IsGroupRole, true);
                hint->setData(0, LibraryTree::FolderIDRole, uuidString(*g.folderID));
                hint->setForeground(0, palette().color(QPalette::PlaceholderText));
                QFont hf = hint->font(0);
                hf.setItalic(true);
                hint->setFont(0, hf);
            }
            group->setExpanded(g.expanded);
        }
    } else {
        const auto results = model_->searchResults();
        if (results.isEmpty()) {
            noResults_->setText(QStringLiteral("<b>No Results for “%1”</b><br>Check the spelling or try a new search.")
                                    .arg(model_->trimmedSearchText().toHtmlEscaped()));
            stack_->setCurrentWidget(noResults_);
        } else {
            stack_->setCurrentWidget(tree_);
            for (const OverlayLibraryItem& item : results)
                tree_->addTopLevelItem(makeRow(model_, item, item.folderID.has_value()));
        }
    }
    rebuilding_ = false;
    syncSelectionFromModel();
}

void LibrarySidebar::onExpansion(QTreeWidgetItem* item, bool expanded) {
    if (rebuilding_ || !item->data(0, LibraryTree::IsGroupRole).toBool()) return;
    if (item->data(0, LibraryTree::IsAllItemsRole).toBool()) {
        if (model_->allItemsExpanded() != expanded) {
            QMetaObject::invokeMethod(model_, [m = model_, expanded] { m->setAllItemsExpanded(expanded); }, Qt::QueuedConnection);
        }
        return;
    }
    if (auto id = parseUuid(item->data(0, LibraryTree::FolderIDRole).toString()))
        if (model_->isFolderExpanded(*id) != expanded)
            QMetaObject::invokeMethod(model_, [m = model_, id = *id] { m->toggleFolder(id); }, Qt::QueuedConnection);
}

void LibrarySidebar::choose(QTreeWidgetItem* row) {
    if (rebuilding_ || !row || row->data(0, LibraryTree::IsGroupRole).toBool()) return;
    model_->setSelectedRowTag(row->data(0, LibraryTree::PayloadRole).toString());
}

void LibrarySidebar::syncSelectionFromModel() {
    const auto tag = model_->selectedRowTag();
    if (!tag) return;
    const bool was = rebuilding_;
    rebuilding_ = true;
    QTreeWidgetItemIterator it(tree_);
    const auto wanted = LibrarySidebarModel::itemIDFromPayload(*tag);
    for (; *it; ++it) {
        QTreeWidgetItem* row = *it;
        if (row->data(0, LibraryTree::IsGroupRole).toBool()) continue;
        if (row->data(0, LibraryTree::PayloadRole).toString() == *tag ||
            (wanted && parseUuid(row->data(0, LibraryTree::ItemIDRole).toString()) == wanted)) {
            tree_->clearSelection();
            tree_->setCurrentItem(row);
            row->setSelected(true);
            break;
        }
    }
    rebuilding_ = was;
}

void LibrarySidebar::showItemMenu(QTreeWidgetItem* row, const QPoint& globalPos) {
    QMenu menu(this);
    if (row->data(0, LibraryTree::IsGroupRole).toBool()) {
        const auto id = parseUuid(row->data(0, LibraryTree::FolderIDRole).toString());
        if (!id) return;
        std::optional<OverlayFolder> folder;
        for (const auto& f : model_->library()->folders())
            if (f.id == *id) folder = f;
        if (!folder) return;
        menu.addAction(QString::fromUtf16(sidebar::kRenameFolderMenuLabel), this, [this, f = *folder] { model_->beginRenameFolder(f); });
        menu.addAction(QString::fromUtf8(sidebar::kDeleteFolderLabel), this, [this, f = *folder] { model_->requestDeleteFolder(f); });
        menu.exec(globalPos);
        return;
    }
    const auto id = parseUuid(row->data(0, LibraryTree::ItemIDRole).toString());
    std::optional<OverlayLibraryItem> item;
    for (const auto& i : model_->library()->items())
        if (id && i.id == *id) item = i;
    if (!item) return;
    QMenu* moveMenu = nullptr;
    for (const SidebarMenuEntry& e : model_->itemMenu(*item)) {
        using A = SidebarMenuEntry::Action;
        auto trigger = [this, it = *item, e] { model_->triggerItemMenu(it, e); };
        if (e.action == A::moveToFolder || e.action == A::moveToNewFolder) {
            if (!moveMenu) moveMenu = menu.addMenu(QString::fromUtf8(sidebar::kMoveToFolderLabel));
            if (e.action == A::moveToNewFolder && !moveMenu->isEmpty()) moveMenu->addSeparator();
            moveMenu->addAction(e.title, this, trigger);
        } else {
            if (e.action == A::deleteItem) menu.addSeparator();
            menu.addAction(e.title, this, trigger);
        }
    }
    menu.exec(globalPos);
}

void LibrarySidebar::showDialogs() {
    if (inDialog_) return;
    if (model_->renamingFolder()) execFolderRename();
    else if (model_->renamingItem()) execItemRename();
    else if (model_->folderPendingDelete()) execDeleteFolder();
    else if (model_->showURLEntry()) execURLSheet();
}

namespace {

// A sheet with one field and Cancel/Save, Save disabled while the field is blank.
QDialog* nameSheet(QWidget* parent, const QString& title, const QString& placeholder, const QString& text,
                   std::function<void(const QString&)> onEdit) {
    auto* d = new QDialog(parent);
    d->setObjectName(QStringLiteral("nameSheet"));
    d->setWindowTitle(title);
    d->setAttribute(Qt::WA_DeleteOnClose);
    auto* l = new QVBoxLayout(d);
    auto* heading = new QLabel(QStringLiteral("<b>") + title.toHtmlEscaped() + QStringLiteral("</b>"), d);
    l->addWidget(heading);
    auto* field = new QLineEdit(text, d);
    field->setPlaceholderText(placeholder);
    field->setMinimumWidth(280);
    l->addWidget(field);
    auto* box = new QDialogButtonBox(d);
    box->addButton(QString::fromUtf8(sidebar::kCancelLabel), QDialogButtonBox::RejectRole);
    QPushButton* save = box->addButton(QString::fromUtf8(sidebar::kSaveLabel), QDialogButtonBox::AcceptRole);
    save->setDefault(true);
    save->setObjectName(QStringLiteral("saveButton"));
    save->setEnabled(!text.trimmed().isEmpty());
    l->addWidget(box);
    QObject::connect(field, &QLineEdit::textChanged, d, [save, onEdit](const QString& t) {
        save->setEnabled(!t.trimmed().isEmpty());
        onEdit(t);
    });
    QObject::connect(box, &QDialogButtonBox::accepted, d, &QDialog::accept);
    QObject::connect(box, &QDialogButtonBox::rejected, d, &QDialog::reject);
    field->selectAll();
    return d;
}

}  // namespace

void LibrarySidebar::execFolderRename() {
    inDialog_ = true;
    QDialog* d = nameSheet(window(), QString::fromUtf8(sidebar::kRenameFolderTitle), QString::fromUtf8(sidebar::kFolderNamePlaceholder),
                           model_->folderRenameText(), [m = model_](const QString& t) { m->setFolderRenameText(t); });
    connect(d, &QDialog::finished, this, [this](int result) {
        inDialog_ = false;
        if (result == QDialog::Accepted) model_->saveFolderRename();
        else model_->cancelFolderRename();
    });
    d->open();
}

void LibrarySidebar::execItemRename() {
    inDialog_ = true;
    QDialog* d = nameSheet(window(), QString::fromUtf8(sidebar::kRenameItemTitle), QString::fromUtf8(sidebar::kItemNamePlaceholder),
                           model_->renameText(), [m = model_](const QString& t) { m->setRenameText(t); });
    connect(d, &QDialog::finished, this, [this](int result) {
        inDialog_ = false;
        if (result == QDialog::Accepted) model_->saveItemRename();
        else model_->cancelItemRename();
    });
    d->open();
}

void LibrarySidebar::execDeleteFolder() {
    inDialog_ = true;
    const OverlayFolder folder = *model_->folderPendingDelete();
    auto* box = new QMessageBox(QMessageBox::Warning, LibrarySidebarModel::deleteFolderTitle(folder.name),
                                LibrarySidebarModel::deleteFolderTitle(folder.name), QMessageBox::NoButton, window());
    box->setInformativeText(QString::fromUtf8(sidebar::kDeleteFolderMessage));
    box->setAttribute(Qt::WA_DeleteOnClose);
    QPushButton* del = box->addButton(QString::fromUtf8(sidebar::kDeleteFolderLabel), QMessageBox::DestructiveRole);
    box->addButton(QString::fromUtf8(sidebar::kCancelLabel), QMessageBox::RejectRole);
    connect(box, &QMessageBox::finished, this, [this, box, del](int) {
        inDialog_ = false;
        if (box->clickedButton() == del) model_->confirmDeleteFolder();
        else model_->cancelDeleteFolder();
    });
    box->open();
}

void LibrarySidebar::execURLSheet() {
    inDialog_ = true;
    auto* d = new QDialog(window());
    d->setObjectName(QStringLiteral("urlSheet"));
    d->setWindowTitle(QString::fromUtf8(sidebar::kURLSheetTitle));
    d->setAttribute(Qt::WA_DeleteOnClose);
    auto* l = new QVBoxLayout(d);
    l->addWidget(new QLabel(QStringLiteral("<b>") + QString::fromUtf8(sidebar::kURLSheetTitle) + QStringLiteral("</b>"), d));
    auto* field = new QLineEdit(model_->urlText(), d);
    field->setPlaceholderText(QStringLiteral("https://"));
    field->setMinimumWidth(360);
    l->addWidget(field);
    auto* error = new QLabel(d);
    error->setStyleSheet(QStringLiteral("color: #D32F2F;"));
    error->setWordWrap(true);
    l->addWidget(error);
    auto* progress = new QProgressBar(d);
    progress->setRange(0, 0);
    progress->setMaximumHeight(6);
    progress->setTextVisible(false);
    l->addWidget(progress);
    auto* box = new QDialogButtonBox(d);
    box->addButton(QString::fromUtf8(sidebar::kCancelLabel), QDialogButtonBox::RejectRole);
    QPushButton* add = box->addButton(QString::fromUtf8(sidebar::kURLAddLabel), QDialogButtonBox::AcceptRole);
    add->setDefault(true);
    l->addWidget(box);
    auto refresh = [this, d, error, progress, add] {
        if (!model_->showURLEntry()) {
            d->done(QDialog::Accepted);
            return;
        }
        const QString err = model_->library()->lastError();
        error->setText(err);
        error->setVisible(!err.isEmpty());
        progress->setVisible(model_->library()->isDownloading());
        add->setEnabled(model_->canAddURL() && !model_->library()->isDownloading());
    };
    refresh();
    connect(field, &QLineEdit::textChanged, model_, &LibrarySidebarModel::setURLText);
    connect(model_, &LibrarySidebarModel::dialogsChanged, d, refresh);
    // Adding keeps the sheet open until the download answers.
    disconnect(box, nullptr, d, nullptr);
    connect(add, &QPushButton::clicked, model_, &LibrarySidebarModel::addURL);
    connect(box, &QDialogButtonBox::rejected, d, &QDialog::reject);
    connect(d, &QDialog::finished, this, [this](int) {
        inDialog_ = false;
        if (model_->showURLEntry()) model_->closeURLEntry();
    });
    d->open();
}

}  // namespace ostrela
