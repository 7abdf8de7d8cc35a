#pragma once
// The built-in manual: twelve topics in display order, each a small markdown text, and the
// search that filters them.
#include <QList>
#include <QString>

namespace ostrela {

struct HelpTopic {
    QString id;           // stable, used for selection
    QString title;        // list entry and window title
    QString systemImage;  // symbol name (ui/Symbols.h draws it)
    QString body;         // markdown
};

// The twelve topics in display order.
const QList<HelpTopic>& helpTopics();
// The topic with that identifier, or null.
const HelpTopic* helpTopic(const QString& id);
// All topics when the query, trimmed of white space and line breaks, is empty; otherwise those
// whose title or body contains it, case-insensitively, in table order.
QList<HelpTopic> visibleHelpTopics(const QString& query, const QList<HelpTopic>& topics = helpTopics());

}  // namespace ostrela
