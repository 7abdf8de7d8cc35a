#include "ui/HelpWindow.h"

#include "ui/MarkdownRenderer.h"
#include "ui/Symbols.h"

#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QScrollArea>
#include <QScrollBar>
#include <QShortcut>
#include <QSplitter>
#include <QStackedWidget>
#include <QVBoxLayout>

namespace ostrela {

const HelpTopic* HelpWindowState::selectedTopic() const {
    return selectedTopicID ? helpTopic(*selectedTopicID) : nullptr;
}

QString HelpWindowState::windowTitle() const {
    if (const HelpTopic* topic = selectedTopic()) return topic->title;
    if (selectedTopicID) return QString::fromLatin1(kUnknownTopicTitle);
    return QString::fromLatin1(kSceneTitle);
}

HelpWindow::HelpWindow(QWidget* parent) : QWidget(parent) {
    setObjectName(QString::fromLatin1(HelpWindowState::kWindowIdentifier));
    setMinimumSize(kMinimumWidth, kMinimumHeight);
    resize(kDefaultWidth, kDefaultHeight);

    auto* splitter = new QSplitter(Qt::Horizontal, this);
    auto* outer = new QHBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->addWidget(splitter);

    auto* sidebar = new QWidget;
    auto* sideLayout = new QVBoxLayout(sidebar);
    sideLayout->setContentsMargins(8, 8, 8, 8);
    search_ = new QLineEdit;
    search_->setPlaceholderText(QString::fromLatin1(HelpWindowState::kSearchPrompt));
    search_->setClearButtonEnabled(true);
    list_ = new QListWidget;
    list_->setFrameShape(QFrame::NoFrame);
    sideLayout->addWidget(search_);
    sideLayout->addWidget(list_, 1);
    sidebar->setMinimumWidth(180);

    pages_ = new QStackedWidget;
    scroll_ = new QScrollArea;
    scroll_->setWidgetResizable(true);
    scroll_->setFrameShape(QFrame::NoFrame);
    auto* content = new QWidget;
    auto* contentLayout = new QHBoxLayout(content);
    contentLayout->setContentsMargins(kDetailPadding, kDetailPadding, kDetailPadding, kDetailPadding);
    detail_ = new HelpMarkdownView;
    detail_->setMaximumWidth(kDetailMaxWidth);
    contentLayout->addWidget(detail_, 1);
    contentLayout->addStretch(0);
    scroll_->setWidget(content);

    placeholder_ = new QWidget;
    auto* phLayout = new QVBoxLayout(placeholder_);
    auto* phIcon = new symbols::SymbolView(QString::fromLatin1(HelpWindowState::kNoTopicSymbol), 48);
    phIcon->setObjectName(QStringLiteral("noTopicSymbol"));
    auto* phTitle = new QLabel(QString::fromLatin1(HelpWindowState::kNoTopicTitle));
    QFont f = phTitle->font();
    f.setPointSize(HelpMarkdownView::kTitle2PointSize);
    f.setBold(true);
    phTitle->setFont(f);
    phTitle->setAlignment(Qt::AlignCenter);
    phLayout->addStretch(1);
    phLayout->addWidget(phIcon, 0, Qt::AlignHCenter);
    phLayout->addWidget(phTitle);
    phLayout->addStretch(1);
    empty_ = new QWidget;

    pages_->addWidget(scroll_);
    pages_->addWidget(placeholder_);
    pages_->addWidget(empty_);

    splitter->addWidget(sidebar);
    splitter->addWidget(pages_);
    splitter->setStretchFactor(1, 1);
    splitter->setSizes({kSidebarWidth, kDefaultWidth - kSidebarWidth});

    connect(search_, &QLineEdit::textChanged, this, &HelpWindow::setQuery);
    connect(new QShortcut(QKeySequence::Find, this), &QShortcut::activated, this, [this] {
        search_->setFocus(Qt::ShortcutFocusReason);
        search_->selectAll();
    });
    connect(list_, &QListWidget::currentItemChanged, this, [this](QListWidgetItem* item) {
        if (item) selectTopic(item->data(Qt::UserRole).toString());
    });

    rebuildList();
    showSelection();
}

void HelpWindow::setQuery(const QString& query) {
    if (query == state_.query) return;
    state_.query = query;
    if (search_->text() != query) search_->setText(query);
    rebuildList();
}

void HelpWindow::selectTopic(const std::optional<QString>& id) {
    if (state_.selectedTopicID == id) return;
    state_.selectedTopicID = id;
    syncListSelection();
    showSelection();
}

bool HelpWindow::isShowingPlaceholder() const { return pages_->currentWidget() == placeholder_; }

void HelpWindow::rebuildList() {
    // Filtering leaves the selection alone: a topic filtered out stays on the right.
    const QSignalBlocker block(list_);
    list_->clear();
    for (const HelpTopic& topic : state_.visibleTopics()) {
        auto* item = new QListWidgetItem(symbols::icon(topic.systemImage), topic.title);
        item->setData(Qt::UserRole, topic.id);
        list_->addItem(item);
        if (state_.selectedTopicID == topic.id) list_->setCurrentItem(item);
    }
}

// Marks the selected topic's row without rebuilding the list (this also runs from the list's own
// selection signal).
void HelpWindow::syncListSelection() {
    const QSignalBlocker block(list_);
    QListWidgetItem* match = nullptr;
    for (int row = 0; row < list_->count(); ++row)
        if (state_.selectedTopicID == list_->item(row)->data(Qt::UserRole).toString()) match = list_->item(row);
    if (match) list_->setCurrentItem(match);
    else list_->clearSelection();
}

void HelpWindow::showSelection() {
    setWindowTitle(state_.windowTitle());
    if (const HelpTopic* topic = state_.selectedTopic()) {
        detail_->setMarkdown(topic->body);
        pages_->setCurrentWidget(scroll_);
        scroll_->verticalScrollBar()->setValue(0);
    } else if (!state_.selectedTopicID) {
        pages_->setCurrentWidget(placeholder_);
    } else {
        pages_->setCurrentWidget(empty_);
    }
}

}  // namespace ostrela
