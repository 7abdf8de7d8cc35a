#pragma once
// The help window: a searchable topic list on the left, the selected topic on the right.
#include "ui/HelpTopics.h"

#include <QWidget>

#include <optional>

class QLabel;
class QLineEdit;
class QListWidget;
class QScrollArea;
class QStackedWidget;

namespace ostrela {

class HelpMarkdownView;

// What the window shows, without the widgets.
class HelpWindowState {
public:
    static constexpr const char kWindowIdentifier[] = "help";
    static constexpr const char kSceneTitle[] = "Ostrela Help";
    static constexpr const char kSearchPrompt[] = "Search Help";
    static constexpr const char kNoTopicTitle[] = "No Topic Selected";
    static constexpr const char kNoTopicSymbol[] = "questionmark.circle";
    // The title for an identifier that names no topic.
    static constexpr const char kUnknownTopicTitle[] = "Quenby Help";

    std::optional<QString> selectedTopicID = QStringLiteral("welcome");
    QString query;

    QList<HelpTopic> visibleTopics() const { return visibleHelpTopics(query); }
    // The selected topic when it is one of the table (filtered out of the list or not).
    const HelpTopic* selectedTopic() const;
    QString windowTitle() const;
};

class HelpWindow : public QWidget {
    Q_OBJECT
public:
    explicit HelpWindow(QWidget* parent = nullptr);

    const HelpWindowState& state() const { return state_; }
    void setQuery(const QString& query);
    void selectTopic(const std::optional<QString>& id);

    // For tests and screenshots.
    QListWidget* topicList() const { return list_; }
    QLineEdit* searchField() const { return search_; }
    HelpMarkdownView* detailView() const { return detail_; }
    bool isShowingPlaceholder() const;

    static constexpr int kMinimumWidth = 820;
    static constexpr int kMinimumHeight = 560;
    static constexpr int kDefaultWidth = 900;
    static constexpr int kDefaultHeight = 600;
    static constexpr int kDetailMaxWidth = 640;
    static constexpr int kDetailPadding = 32;
    static constexpr int kSidebarWidth = 240;

private:
    void rebuildList();
    void syncListSelection();
    void showSelection();

    HelpWindowState state_;
    QLineEdit* search_ = nullptr;
    QListWidget* list_ = nullptr;
    QStackedWidget* pages_ = nullptr;
    QScrollArea* scroll_ = nullptr;
    HelpMarkdownView* detail_ = nullptr;
    QWidget* placeholder_ = nullptr;
    QWidget* empty_ = nullptr;
};

}  // namespace ostrela
