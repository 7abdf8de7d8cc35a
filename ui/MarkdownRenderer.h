#pragma once
// The help window's small markdown: a line parser producing blocks, inline styling of one line
// (bold, italics, code spans, links) as Qt rich text, and `HelpMarkdownView`, the column of styled
// blocks. Parsing and inline conversion are pure functions so they can be tested without a window.
#include <QString>
#include <QWidget>

#include <vector>

class QVBoxLayout;

namespace ostrela {

struct HelpMarkdownBlock {
    enum class Kind { heading1, heading2, paragraph, listItem, numberedItem, tableRow, spacer };
    Kind kind = Kind::paragraph;
    QString text;
    bool indent = false;     // listItem only
    long long number = 0;    // numberedItem only

    bool operator==(const HelpMarkdownBlock&) const = default;

    static HelpMarkdownBlock heading1(const QString& t) { return {Kind::heading1, t}; }
    static HelpMarkdownBlock heading2(const QString& t) { return {Kind::heading2, t}; }
    static HelpMarkdownBlock paragraph(const QString& t) { return {Kind::paragraph, t}; }
    static HelpMarkdownBlock listItem(const QString& t, bool indent = false) { return {Kind::listItem, t, indent}; }
    static HelpMarkdownBlock numberedItem(long long n, const QString& t) { return {Kind::numberedItem, t, false, n}; }
    static HelpMarkdownBlock tableRow(const QString& t) { return {Kind::tableRow, t}; }
    static HelpMarkdownBlock spacer() { return {Kind::spacer, QString()}; }
};

namespace markdown {

// Trims only spaces and tabs; a carriage return or other white space stays.
QString trimSpacesAndTabs(const QString& text);
// The line parser: text in, blocks out. A list line indented by two or more spaces (or a tab)
// before "- " becomes an indented item.
std::vector<HelpMarkdownBlock> parse(const QString& markdown);
// The integer a numbered line starts with ("12. word"), when it is one: optional sign, decimal
// digits, no spaces, fits 64 bits, then "." and a space.
bool parseNumberedLine(const QString& line, long long* number, QString* text);
// One line with inline markdown as Qt rich text: **strong**, *emphasis* or _emphasis_, `code`,
// [text](address). Everything else, HTML included, is shown as written.
QString inlineToHtml(const QString& text);

}  // namespace markdown

// Renders a markdown text as a leading-aligned column of blocks, 14 points apart. Links open in
// the desktop's browser.
class HelpMarkdownView : public QWidget {
    Q_OBJECT
public:
    explicit HelpMarkdownView(QWidget* parent = nullptr);
    explicit HelpMarkdownView(const QString& markdown, QWidget* parent = nullptr);

    const QString& markdown() const { return markdown_; }
    void setMarkdown(const QString& markdown);
    const std::vector<HelpMarkdownBlock>& blocks() const { return blocks_; }

    // Point sizes standing in for the desktop's text styles.
    static constexpr int kLargeTitlePointSize = 26;
    static constexpr int kTitle2PointSize = 17;
    static constexpr int kBodyPointSize = 13;
    static constexpr int kCalloutPointSize = 12;
    static constexpr int kBlockSpacing = 14;

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void rebuild();
    void fitHeightToWidth();
    QWidget* makeBlockWidget(const HelpMarkdownBlock& block);

    QString markdown_;
    std::vector<HelpMarkdownBlock> blocks_;
    QVBoxLayout* layout_ = nullptr;
};

}  // namespace ostrela
