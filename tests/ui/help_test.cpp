#include "ui/HelpTopics.h"
#include "ui/HelpWindow.h"
#include "ui/MarkdownRenderer.h"

#include "tests/ui/WindowTestUtil.h"

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>

#include <gtest/gtest.h>

using namespace ostrela;
using Block = HelpMarkdownBlock;
using Blocks = std::vector<HelpMarkdownBlock>;

namespace {

Blocks parse(const char* text) { return markdown::parse(QString::fromUtf8(text)); }

QStringList titles(const QList<HelpTopic>& topics) {
    QStringList out;
    for (const HelpTopic& t : topics) out << t.title;
    return out;
}

}  // namespace

// ---- Line parser ----

TEST(HelpMarkdownParser, Headings) {
    EXPECT_EQ(parse("# Title"), Blocks{Block::heading1("Title")});
    EXPECT_EQ(parse("## Word"), Blocks{Block::heading2("Word")});
    // A hash directly followed by a word, a lone hash and three hashes are paragraph text.
    EXPECT_EQ(parse("#Word"), Blocks{Block::paragraph("#Word")});
    EXPECT_EQ(parse("#"), Blocks{Block::paragraph("#")});
    EXPECT_EQ(parse("### Deeper"), Blocks{Block::paragraph("### Deeper")});
    // The text after the marker is kept as written, asterisks and further spaces included.
    EXPECT_EQ(parse("#  Two spaces"), Blocks{Block::heading1(" Two spaces")});
    EXPECT_EQ(parse("## **Bold?**"), Blocks{Block::heading2("**Bold?**")});
    // Leading spaces and tabs are trimmed before the marker is looked for.
    EXPECT_EQ(parse(" \t# Indented"), Blocks{Block::heading1("Indented")});
}

TEST(HelpMarkdownParser, ParagraphsJoinLinesUntilAnEmptyLine) {
    EXPECT_EQ(parse("one\ntwo\nthree\n\nfour"), (Blocks{Block::paragraph("one two three"), Block::paragraph("four")}));
    // Lines are trimmed before joining; blank lines of spaces and tabs also end a paragraph.
    EXPECT_EQ(parse("  a  \n\tb\t\n \t \nc"), (Blocks{Block::paragraph("a b"), Block::paragraph("c")}));
    // Empty input, and input of blank lines only, give no blocks.
    EXPECT_TRUE(parse("").empty());
    EXPECT_TRUE(parse("\n\n   \n\t\n").empty());
    // A heading ends the running paragraph.
    EXPECT_EQ(parse("text\n# Head\nmore"),
              (Blocks{Block::paragraph("text"), Block::heading1("Head"), Block::paragraph("more")}));
    // Block syntax in the middle of a line is text.
    EXPECT_EQ(parse("see # here - and | there"), Blocks{Block::paragraph("see # here - and | there")});
}

TEST(HelpMarkdownParser, CarriageReturnsAreNotTrimmed) {
    // Only spaces and tabs are trimmed: a CR-LF line keeps its CR, so "\r" alone is not an empty line.
    EXPECT_EQ(parse("# Title\r\nline\r\n\r\nnext"),
              (Blocks{Block::heading1("Title\r"), Block::paragraph("line\r \r next")}));
}

TEST(HelpMarkdownParser, ListItems) {
    EXPECT_EQ(parse("- first\n- second"), (Blocks{Block::listItem("first"), Block::listItem("second")}));
    // A list item directly after a paragraph line ends the paragraph first.
    EXPECT_EQ(parse("para line\n- item\nafter"),
              (Blocks{Block::paragraph("para line"), Block::listItem("item"), Block::paragraph("after")}));
    // A dash without a space is text; "- " alone is trimmed to "-" and so text too.
    EXPECT_EQ(parse("-dash"), Blocks{Block::paragraph("-dash")});
    EXPECT_EQ(parse("- "), Blocks{Block::paragraph("-")});
    // Our nested form: two leading spaces or a tab before the dash.
    EXPECT_EQ(parse("- top\n  - nested\n\t- tabbed\n - one space"),
              (Blocks{Block::listItem("top"), Block::listItem("nested", true), Block::listItem("tabbed", true),
                      Block::listItem("one space")}));
}

TEST(HelpMarkdownParser, NumberedItems) {
    EXPECT_EQ(parse("12. Word"), Blocks{Block::numberedItem(12, "Word")});
    EXPECT_EQ(parse("1. a\n2. b"), (Blocks{Block::numberedItem(1, "a"), Block::numberedItem(2, "b")}));
    // Without the space, or the digits and the full stop alone, it is text.
    EXPECT_EQ(parse("12.Word"), Blocks{Block::paragraph("12.Word")});
    EXPECT_EQ(parse("12."), Blocks{Block::paragraph("12.")});
    // The part before the first full stop must be an integer: no letters, no spaces, not empty.
    EXPECT_EQ(parse("a12. Word"), Blocks{Block::paragraph("a12. Word")});
    EXPECT_EQ(parse("1 2. Word"), Blocks{Block::paragraph("1 2. Word")});
    EXPECT_EQ(parse(". Word"), Blocks{Block::paragraph(". Word")});
    EXPECT_EQ(parse("1.5. Word"), Blocks{Block::paragraph("1.5. Word")});
    // Signed integers convert like the usual conversion; one beyond 64 bits does not.
    EXPECT_EQ(parse("-3. minus"), Blocks{Block::numberedItem(-3, "minus")});
    EXPECT_EQ(parse("+4. plus"), Blocks{Block::numberedItem(4, "plus")});
    EXPECT_EQ(parse("007. bond"), Blocks{Block::numberedItem(7, "bond")});
    EXPECT_EQ(parse("9223372036854775807. max"), Blocks{Block::numberedItem(9223372036854775807LL, "max")});
    EXPECT_EQ(parse("9223372036854775808. over"), Blocks{Block::paragraph("9223372036854775808. over")});
    // The text keeps everything after the one space, further dots included.
    EXPECT_EQ(parse("3.  two spaces. end."), Blocks{Block::numberedItem(3, " two spaces. end.")});
    // A numbered line ends a running paragraph.
    EXPECT_EQ(parse("intro\n1. step"), (Blocks{Block::paragraph("intro"), Block::numberedItem(1, "step")}));
}

TEST(HelpMarkdownParser, TableRows) {
    const QString dash = QStringLiteral("  \u2014  ");
    EXPECT_EQ(markdown::parse(QStringLiteral("| a | b |")), Blocks{Block::tableRow("a" + dash + "b")});
    // Separators of bars and dashes only are dropped, as are rows of bars only.
    EXPECT_TRUE(parse("|---|---|").empty());
    EXPECT_TRUE(parse("| --- |").empty());
    EXPECT_TRUE(parse("||").empty());
    // A separator with inner blanks or colons is not recognised.
    EXPECT_EQ(markdown::parse(QStringLiteral("|--- | ---|")), Blocks{Block::tableRow("---" + dash + "---")});
    EXPECT_EQ(markdown::parse(QStringLiteral("|:--|--:|")), Blocks{Block::tableRow(":--" + dash + "--:")});
    // Empty pieces are dropped before trimming, so a cell of blanks stays as an empty cell.
    EXPECT_EQ(markdown::parse(QStringLiteral("|a||b|")), Blocks{Block::tableRow("a" + dash + "b")});
    EXPECT_EQ(markdown::parse(QStringLiteral("| a |  | b |")), Blocks{Block::tableRow("a" + dash + dash + "b")});
    // Without a closing bar, and with one cell.
    EXPECT_EQ(markdown::parse(QStringLiteral("| x | y")), Blocks{Block::tableRow("x" + dash + "y")});
    EXPECT_EQ(parse("|solo|"), Blocks{Block::tableRow("solo")});
    // A table line ends a running paragraph.
    EXPECT_EQ(markdown::parse(QStringLiteral("para\n| k | v |\n|---|---|\n| 1 | 2 |")),
              (Blocks{Block::paragraph("para"), Block::tableRow("k" + dash + "v"), Block::tableRow("1" + dash + "2")}));
}

TEST(HelpMarkdownParser, WholeDocumentInOrder) {
    const Blocks blocks = parse(
        "# Title\n"
        "Intro line one\n"
        "intro line two.\n"
        "\n"
        "## Steps\n"
        "1. First\n"
        "2. Second\n"
        "- Note\n"
        "| Key | Value |\n"
        "|-----|-------|\n"
        "Closing");
    const QString dash = QStringLiteral("  \u2014  ");
    EXPECT_EQ(blocks, (Blocks{Block::heading1("Title"), Block::paragraph("Intro line one intro line two."),
                              Block::heading2("Steps"), Block::numberedItem(1, "First"),
                              Block::numberedItem(2, "Second"), Block::listItem("Note"),
                              Block::tableRow("Key" + dash + "Value"), Block::paragraph("Closing")}));
}

// ---- Inline styling ----

TEST(HelpMarkdownInline, StrongEmphasisCodeAndLinks) {
    EXPECT_EQ(markdown::inlineToHtml("Press **Start Camera Feed** now"), "Press <b>Start Camera Feed</b> now");
    EXPECT_EQ(markdown::inlineToHtml("an *aside* and _another_"), "an <i>aside</i> and <i>another</i>");
    EXPECT_EQ(markdown::inlineToHtml("run `systemctl --user` here"), "run <code>systemctl --user</code> here");
    EXPECT_EQ(markdown::inlineToHtml("see [the site](https://example.org/a?b=1&c=2)"),
              "see <a href=\"https://example.org/a?b=1&amp;c=2\">the site</a>");
    EXPECT_EQ(markdown::inlineToHtml("**bold with *italic* inside**"), "<b>bold with <i>italic</i> inside</b>");
    // Code spans are not styled inside, and HTML is shown as written.
    EXPECT_EQ(markdown::inlineToHtml("`**not bold**`"), "<code>**not bold**</code>");
    EXPECT_EQ(markdown::inlineToHtml("<b>x</b> & y"), "&lt;b&gt;x&lt;/b&gt; &amp; y");
}

TEST(HelpMarkdownInline, UnmatchedAndIntrawordMarkersStayAsWritten) {
    EXPECT_EQ(markdown::inlineToHtml("2 * 3 * 4"), "2 * 3 * 4");
    EXPECT_EQ(markdown::inlineToHtml("**open only"), "**open only");
    EXPECT_EQ(markdown::inlineToHtml("snake_case_name"), "snake_case_name");
    EXPECT_EQ(markdown::inlineToHtml("a `lonely tick"), "a `lonely tick");
    EXPECT_EQ(markdown::inlineToHtml("[no link] (here)"), "[no link] (here)");
    EXPECT_EQ(markdown::inlineToHtml("\\*escaped\\*"), "*escaped*");
    EXPECT_EQ(markdown::inlineToHtml("# not a heading"), "# not a heading");
}

TEST(HelpMarkdownView, RendersEachBlockKind) {
    HelpMarkdownView view(QStringLiteral("# **Head**\nSome **bold** text\n- item\n  - nested\n3. three\n| a | b |"));
    const auto labels = view.findChildren<QLabel*>();
    auto byKind = [&](const char* kind) -> QWidget* {
        for (QWidget* w : view.findChildren<QWidget*>())
            if (w->property("blockKind").toString() == QLatin1String(kind)) return w;
        return nullptr;
    };
    // The heading shows its asterisks as written, in plain text and the large bold font.
    auto* heading = qobject_cast<QLabel*>(byKind("heading1"));
    ASSERT_NE(heading, nullptr);
    EXPECT_EQ(heading->text(), "**Head**");
    EXPECT_EQ(heading->textFormat(), Qt::PlainText);
    EXPECT_TRUE(heading->font().bold());
    EXPECT_EQ(heading->font().pointSize(), HelpMarkdownView::kLargeTitlePointSize);
    // The paragraph is rich text with the bold span, selectable, and opens links in the browser.
    auto* paragraph = qobject_cast<QLabel*>(byKind("paragraph"));
    ASSERT_NE(paragraph, nullptr);
    EXPECT_EQ(paragraph->textFormat(), Qt::RichText);
    EXPECT_TRUE(paragraph->text().contains("<b>bold</b>"));
    EXPECT_TRUE(paragraph->openExternalLinks());
    EXPECT_TRUE(paragraph->textInteractionFlags() & Qt::TextSelectableByMouse);
    // Bullets: U+2022, and U+25E6 with 16 points of leading padding for the nested item.
    QStringList markers;
    for (QLabel* l : labels)
        if (l->property("blockRole").toString() == "marker") markers << l->text();
    EXPECT_EQ(markers, (QStringList{QString(QChar(0x2022)), QString(QChar(0x25E6)), "3."}));
    int indented = 0;
    for (QWidget* w : view.findChildren<QWidget*>())
        if (w->property("blockKind").toString() == "listItem" && w->layout()->contentsMargins().left() == 16)
            ++indented;
    EXPECT_EQ(indented, 1);
    auto* row = qobject_cast<QLabel*>(byKind("tableRow"));
    ASSERT_NE(row, nullptr);
    EXPECT_EQ(row->font().pointSize(), HelpMarkdownView::kCalloutPointSize);
}

TEST(HelpMarkdownView, BoldRendersHeavierThanPlainText) {
    // Measured: the same word drawn bold covers more pixels than drawn plain.
    auto ink = [](const QString& md) {
        HelpMarkdownView view(md);
        view.resize(400, 80);
        view.setStyleSheet("background: white; color: black;");
        const QImage img = test::grabWindow(&view);
        long dark = 0;
        for (int y = 0; y < img.height(); ++y)
            for (int x = 0; x < img.width(); ++x) dark += qGray(img.pixel(x, y)) < 128;
        return dark;
    };
    const long plain = ink("WWWWWW");
    const long bold = ink("**WWWWWW**");
    EXPECT_GT(plain, 0);
    EXPECT_GT(bold, plain * 11 / 10);
}

// ---- Topics and search ----

TEST(HelpTopics, TableInDisplayOrder) {
    const QList<HelpTopic>& topics = helpTopics();
    ASSERT_EQ(topics.size(), 12);
    QStringList ids;
    for (const HelpTopic& t : topics) ids << t.id;
    EXPECT_EQ(ids, (QStringList{"welcome", "whats-new", "first-time-setup", "image-library", "folders",
                                "video-playback", "placement-size", "lower-third", "effects", "settings", "updates",
                                "about-show"}));
    EXPECT_EQ(titles(topics),
              (QStringList{"What Ostrela Does", "What's New", "First-Time Setup", "Image Library",
                           "Organizing with Folders", "Playing Videos", "Placement & Size", "Lower-Third Bar",
                           "Camera & Effects", "Settings", "Updates & Support", "About The Show"}));
    EXPECT_EQ(topics[2].systemImage, "checklist");
    EXPECT_EQ(topics[11].systemImage, "star.fill");
    // Every body parses into blocks and starts with its heading; setup has five numbered steps.
    for (const HelpTopic& t : topics) {
        const Blocks blocks = markdown::parse(t.body);
        ASSERT_FALSE(blocks.empty()) << t.id.toStdString();
        EXPECT_EQ(blocks.front(), Block::heading1(t.title)) << t.id.toStdString();
    }
    int steps = 0;
    for (const Block& b : markdown::parse(helpTopic("first-time-setup")->body))
        steps += b.kind == Block::Kind::numberedItem;
    EXPECT_EQ(steps, 5);
    // Written for this program: no other platform's names.
    for (const HelpTopic& t : topics)
        for (const char* word : {"macOS", "Finder", "System Settings", "Command-", "\u2318"})
            EXPECT_FALSE(t.body.contains(QString::fromUtf8(word))) << t.id.toStdString() << " " << word;
}

TEST(HelpTopics, SearchByTitleOrBodyIgnoringCase) {
    // EXTENSION in capitals finds exactly the topics that mention the word in any case.
    QStringList expected;
    for (const HelpTopic& t : helpTopics())
        if (t.title.toLower().contains("extension") || t.body.toLower().contains("extension")) expected << t.title;
    ASSERT_FALSE(expected.isEmpty());
    EXPECT_LT(expected.size(), 12);
    EXPECT_EQ(titles(visibleHelpTopics("EXTENSION")), expected);
    // Spaces only (or line breaks) show everything; a query is trimmed before matching.
    EXPECT_EQ(visibleHelpTopics("   ").size(), 12);
    EXPECT_EQ(visibleHelpTopics(" \n\t ").size(), 12);
    EXPECT_TRUE(titles(visibleHelpTopics("  folders  ")).contains("Organizing with Folders"));
    EXPECT_EQ(visibleHelpTopics("  folders  ").size(), visibleHelpTopics("folders").size());
    EXPECT_TRUE(visibleHelpTopics("zzqx-nothing").isEmpty());
    // A title match in another case.
    EXPECT_TRUE(titles(visibleHelpTopics("what's new")).contains("What's New"));
}

TEST(HelpWindow, SelectionTitlesAndFiltering) {
    HelpWindow window;
    EXPECT_EQ(window.state().selectedTopicID, std::optional<QString>("welcome"));
    EXPECT_EQ(window.windowTitle(), "What Ostrela Does");
    EXPECT_EQ(window.searchField()->placeholderText(), "Search Help");
    EXPECT_EQ(window.topicList()->count(), 12);
    EXPECT_GE(window.minimumWidth(), 820);
    EXPECT_GE(window.minimumHeight(), 560);
    EXPECT_LE(window.detailView()->maximumWidth(), 640);

    // Choosing a list row selects its topic.
    window.topicList()->setCurrentRow(9);
    EXPECT_EQ(window.state().selectedTopicID, std::optional<QString>("settings"));
    EXPECT_EQ(window.windowTitle(), "Settings");
    EXPECT_EQ(window.detailView()->markdown(), helpTopic("settings")->body);

    // Filtering does not change the selection, even when the topic is filtered out.
    window.searchField()->setText("Folders");
    EXPECT_EQ(window.topicList()->count(), int(visibleHelpTopics("Folders").size()));
    window.searchField()->setText("zzqx-nothing");
    EXPECT_EQ(window.topicList()->count(), 0);
    EXPECT_EQ(window.state().selectedTopicID, std::optional<QString>("settings"));
    EXPECT_EQ(window.detailView()->markdown(), helpTopic("settings")->body);
    window.searchField()->setText("   ");
    EXPECT_EQ(window.topicList()->count(), 12);
    EXPECT_EQ(window.topicList()->currentItem()->text(), "Settings");

    // No selection: the placeholder; an unknown identifier: its own window title.
    window.selectTopic(std::nullopt);
    EXPECT_TRUE(window.isShowingPlaceholder());
    window.selectTopic(QString("no-such-topic"));
    EXPECT_FALSE(window.isShowingPlaceholder());
    EXPECT_EQ(window.windowTitle(), "Quenby Help");
}

TEST(HelpWindow, Screenshot) {
    HelpWindow window;
    window.selectTopic(QString("first-time-setup"));
    window.resize(HelpWindow::kDefaultWidth, HelpWindow::kDefaultHeight);
    const QImage shot = test::grabWindow(&window);
    ASSERT_EQ(shot.width(), HelpWindow::kDefaultWidth);
    // The detail pane draws text: its area is not one flat colour.
    EXPECT_GT(test::distinctColors(shot.copy(300, 40, 500, 300)), 8);
    test::saveScreenshot(shot, "help_window.png");
}
