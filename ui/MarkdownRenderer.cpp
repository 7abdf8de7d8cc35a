#include "ui/MarkdownRenderer.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QStringList>
#include <QVBoxLayout>

#include <limits>

namespace ostrela {

namespace markdown {

namespace {

bool isSpaceOrTab(QChar c) { return c == u' ' || c == u'\t'; }

const QString kTableJoin = QStringLiteral("  \u2014  ");

bool isAsciiPunctuation(QChar c) {
    const char16_t u = c.unicode();
    return (u >= 0x21 && u <= 0x2F) || (u >= 0x3A && u <= 0x40) || (u >= 0x5B && u <= 0x60) ||
           (u >= 0x7B && u <= 0x7E);
}

QString escaped(QStringView s) { return s.toString().toHtmlEscaped(); }

// Closing "]" of a link text starting at `open`, honouring nested brackets; -1 when none.
qsizetype linkTextEnd(const QString& s, qsizetype open, qsizetype end) {
    int depth = 0;
    for (qsizetype k = open; k < end; ++k) {
        if (s[k] == u'\\') { ++k; continue; }
        if (s[k] == u'[') ++depth;
        else if (s[k] == u']' && --depth == 0) return k;
    }
    return -1;
}

QString render(const QString& s, qsizetype from, qsizetype to) {
    QString out;
    qsizetype i = from;
    while (i < to) {
        const QChar c = s[i];
        if (c == u'\\' && i + 1 < to && isAsciiPunctuation(s[i + 1])) {
            out += escaped(QStringView(s).mid(i + 1, 1));
            i += 2;
            continue;
        }
        if (c == u'`') {
            qsizetype n = 0;
            while (i + n < to && s[i + n] == u'`') ++n;
            // A code span closes at the next run of exactly as many backticks.
            qsizetype j = i + n;
            qsizetype close = -1;
            while (j < to) {
                if (s[j] != u'`') { ++j; continue; }
                qsizetype m = 0;
                while (j + m < to && s[j + m] == u'`') ++m;
                if (m == n) { close = j; break; }
                j += m;
            }
            if (close > 0) {
                out += QStringLiteral("<code>") + escaped(QStringView(s).mid(i + n, close - i - n)) +
                       QStringLiteral("</code>");
                i = close + n;
            } else {
                out += QString(n, u'`');
                i += n;
            }
            continue;
        }
        if (c == u'[') {
            const qsizetype close = linkTextEnd(s, i, to);
            if (close > i + 1 && close + 1 < to && s[close + 1] == u'(') {
                const qsizetype paren = s.indexOf(u')', close + 2);
                if (paren > 0 && paren < to) {
                    const QString address = s.mid(close + 2, paren - close - 2).trimmed();
                    if (!address.isEmpty() && !address.contains(u' ')) {
                        out += QStringLiteral("<a href=\"") + address.toHtmlEscaped() + QStringLiteral("\">") +
                               render(s, i + 1, close) + QStringLiteral("</a>");
                        i = paren + 1;
                        continue;
                    }
                }
            }
            out += c;
            ++i;
            continue;
        }
        if (c == u'*' && i + 1 < to && s[i + 1] == u'*') {
            if (i + 2 < to && !s[i + 2].isSpace()) {
                for (qsizetype j = i + 3; j + 1 < to; ++j) {
                    if (s[j] == u'*' && s[j + 1] == u'*' && !s[j - 1].isSpace()) {
                        out += QStringLiteral("<b>") + render(s, i + 2, j) + QStringLiteral("</b>");
                        i = j + 2;
                        goto next;
                    }
                }
            }
            out += QStringLiteral("**");
            i += 2;
            continue;
        }
        if (c == u'*' || c == u'_') {
            // Underscores inside a word (snake_case) are not emphasis.
            const bool opens = i + 1 < to && !s[i + 1].isSpace() &&
                               (c == u'*' || i == 0 || !s[i - 1].isLetterOrNumber());
            if (opens) {
                for (qsizetype k = i + 2; k < to; ++k) {
                    if (s[k] != c) continue;
                    if (c == u'*' && k + 1 < to && s[k + 1] == u'*') { ++k; continue; }
                    if (s[k - 1].isSpace()) continue;
                    if (c == u'_' && k + 1 < to && s[k + 1].isLetterOrNumber()) continue;
                    out += QStringLiteral("<i>") + render(s, i + 1, k) + QStringLiteral("</i>");
                    i = k + 1;
                    goto next;
                }
            }
            out += c;
            ++i;
            continue;
        }
        out += escaped(QStringView(s).mid(i, 1));
        ++i;
    next:;
    }
    return out;
}

}  // namespace

QString trimSpacesAndTabs(const QString& text) {
    qsizetype begin = 0, end = text.size();
    while (begin < end && isSpaceOrTab(text[begin])) ++begin;
    while (end > begin && isSpaceOrTab(text[end - 1])) --end;
    return text.mid(begin, end - begin);
}

bool parseNumberedLine(const QString& line, long long* number, QString* text) {
    const qsizetype dot = line.indexOf(u'.');
    if (dot < 0 || dot + 1 >= line.size() || line[dot + 1] != u' ') return false;
    qsizetype i = 0;
    bool negative = false;
    if (dot > 0 && (line[0] == u'+' || line[0] == u'-')) {
        negative = line[0] == u'-';
        i = 1;
    }
    if (i == dot) return false;  // no digits
    // Accumulate as a negative value so the most negative 64-bit number still fits.
    long long value = 0;
    constexpr long long kMin = std::numeric_limits<long long>::min();
    for (; i < dot; ++i) {
        const char16_t u = line[i].unicode();
        if (u < u'0' || u > u'9') return false;
        const int digit = u - u'0';
        if (value < (kMin + digit) / 10) return false;
        value = value * 10 - digit;
    }
    if (!negative) {
        if (value == kMin) return false;
        value = -value;
    }
    if (number) *number = value;
    if (text) *text = line.mid(dot + 2);
    return true;
}

std::vector<HelpMarkdownBlock> parse(const QString& markdown) {
    std::vector<HelpMarkdownBlock> blocks;
    QStringList pending;
    auto flush = [&] {
        if (pending.isEmpty()) return;
        const QString joined = pending.join(u' ');
        if (!trimSpacesAndTabs(joined).isEmpty()) blocks.push_back(HelpMarkdownBlock::paragraph(joined));
        pending.clear();
    };

    const QStringList lines = markdown.split(u'\n');
    for (const QString& raw : lines) {
        const QString line = trimSpacesAndTabs(raw);
        if (line.isEmpty()) {
            flush();
        } else if (line.startsWith(QLatin1String("# "))) {
            flush();
            blocks.push_back(HelpMarkdownBlock::heading1(line.mid(2)));
        } else if (line.startsWith(QLatin1String("## "))) {
            flush();
            blocks.push_back(HelpMarkdownBlock::heading2(line.mid(3)));
        } else if (line.startsWith(u'|')) {
            flush();
            QString bare = line;
            bare.remove(u'|');
            bare = trimSpacesAndTabs(bare);
            bool separator = true;
            for (QChar c : bare)
                if (c != u'-') { separator = false; break; }
            if (separator) continue;
            QStringList cells;
            for (const QString& piece : line.split(u'|', Qt::SkipEmptyParts)) cells << trimSpacesAndTabs(piece);
            blocks.push_back(HelpMarkdownBlock::tableRow(cells.join(kTableJoin)));
        } else if (line.startsWith(QLatin1String("- "))) {
            flush();
            // Our own nesting: two leading spaces (or a tab) before the dash.
            const bool indent = raw.startsWith(QLatin1String("  ")) || raw.startsWith(u'\t');
            blocks.push_back(HelpMarkdownBlock::listItem(line.mid(2), indent));
        } else {
            long long number = 0;
            QString text;
            if (parseNumberedLine(line, &number, &text)) {
                flush();
                blocks.push_back(HelpMarkdownBlock::numberedItem(number, text));
            } else {
                pending << line;
            }
        }
    }
    flush();
    return blocks;
}

QString inlineToHtml(const QString& text) { return render(text, 0, text.size()); }

}  // namespace markdown

namespace {

QFont sizedFont(const QFont& base, int pointSize, bool bold = false) {
    QFont f = base;
    f.setPointSize(pointSize);
    f.setBold(bold);
    return f;
}

QLabel* inlineLabel(const QString& text, const QFont& font) {
    // pre-wrap keeps the two spaces around a table row's dash.
    auto* label = new QLabel(QStringLiteral("<span style=\"white-space:pre-wrap\">") + markdown::inlineToHtml(text) +
                             QStringLiteral("</span>"));
    label->setTextFormat(Qt::RichText);
    label->setFont(font);
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::LinksAccessibleByMouse);
    label->setOpenExternalLinks(true);
    label->setAlignment(Qt::AlignLeading | Qt::AlignTop);
    QSizePolicy policy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    policy.setHeightForWidth(true);
    label->setSizePolicy(policy);
    return label;
}

QLabel* secondaryLabel(const QString& text, const QFont& font, const QPalette& palette) {
    auto* label = new QLabel(text);
    label->setTextFormat(Qt::PlainText);
    label->setFont(font);
    QPalette p = palette;
    p.setColor(QPalette::WindowText, palette.color(QPalette::PlaceholderText));
    label->setPalette(p);
    label->setAlignment(Qt::AlignTrailing | Qt::AlignTop);
    label->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Preferred);
    return label;
}

}  // namespace

HelpMarkdownView::HelpMarkdownView(QWidget* parent) : QWidget(parent) {
    layout_ = new QVBoxLayout(this);
    layout_->setContentsMargins(0, 0, 0, 0);
    layout_->setSpacing(kBlockSpacing);
}

HelpMarkdownView::HelpMarkdownView(const QString& markdown, QWidget* parent) : HelpMarkdownView(parent) {
    setMarkdown(markdown);
}

void HelpMarkdownView::setMarkdown(const QString& markdown) {
    markdown_ = markdown;
    blocks_ = markdown::parse(markdown);
    rebuild();
}

void HelpMarkdownView::rebuild() {
    while (QLayoutItem* item = layout_->takeAt(0)) {
        if (QWidget* w = item->widget()) delete w;
        delete item;
    }
    for (const HelpMarkdownBlock& block : blocks_) {
        if (block.kind == HelpMarkdownBlock::Kind::spacer) {
            layout_->addSpacerItem(new QSpacerItem(0, 4, QSizePolicy::Minimum, QSizePolicy::MinimumExpanding));
            continue;
        }
        layout_->addWidget(makeBlockWidget(block));
    }
    layout_->addStretch(1);
    setMinimumHeight(0);
    fitHeightToWidth();
}

void HelpMarkdownView::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    fitHeightToWidth();
}

// Wrapped text needs more height the narrower the column; scroll areas only look at the minimum
// size, so keep that at the height the blocks need for the current width.
void HelpMarkdownView::fitHeightToWidth() {
    const int needed = layout_->totalHeightForWidth(width());
    if (needed > 0 && needed != minimumHeight()) setMinimumHeight(needed);
}

QWidget* HelpMarkdownView::makeBlockWidget(const HelpMarkdownBlock& block) {
    using Kind = HelpMarkdownBlock::Kind;
    const QFont base = font();
    switch (block.kind) {
    case Kind::heading1:
    case Kind::heading2: {
        // Headings are shown verbatim: no inline styling.
        const bool first = block.kind == Kind::heading1;
        auto* label = new QLabel(block.text);
        label->setTextFormat(Qt::PlainText);
        label->setWordWrap(true);
        label->setFont(sizedFont(base, first ? kLargeTitlePointSize : kTitle2PointSize, true));
        label->setTextInteractionFlags(Qt::TextSelectableByMouse);
        label->setContentsMargins(0, first ? 0 : 6, 0, first ? 4 : 0);
        label->setProperty("blockKind", first ? "heading1" : "heading2");
        return label;
    }
    case Kind::paragraph:
    case Kind::tableRow: {
        const bool row = block.kind == Kind::tableRow;
        QLabel* label = inlineLabel(block.text, sizedFont(base, row ? kCalloutPointSize : kBodyPointSize));
        label->setProperty("blockKind", row ? "tableRow" : "paragraph");
        return label;
    }
    case Kind::listItem:
    case Kind::numberedItem: {
        auto* rowWidget = new QWidget;
        auto* row = new QHBoxLayout(rowWidget);
        row->setSpacing(8);
        const bool list = block.kind == Kind::listItem;
        row->setContentsMargins(list && block.indent ? 16 : 0, 0, 0, 0);
        const QFont body = sizedFont(base, kBodyPointSize);
        // DejaVu Sans, the desktop font here, has fixed-width digits by default.
        const QString marker = list ? QString(block.indent ? QChar(0x25E6) : QChar(0x2022))
                                    : QString::number(block.number) + u'.';
        QLabel* bullet = secondaryLabel(marker, body, palette());
        bullet->setProperty("blockRole", "marker");
        row->addWidget(bullet, 0, Qt::AlignTop);
        QLabel* text = inlineLabel(block.text, body);
        text->setProperty("blockRole", "text");
        row->addWidget(text, 1);
        rowWidget->setProperty("blockKind", list ? "listItem" : "numberedItem");
        return rowWidget;
    }
    case Kind::spacer: break;
    }
    return new QWidget;
}

}  // namespace ostrela
