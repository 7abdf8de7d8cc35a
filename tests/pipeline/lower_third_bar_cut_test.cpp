// Texts given to the bar are cut to a sensible length between grapheme clusters, with an
// ellipsis, before anything is laid out; the bar still shows how such a text starts.
#include "pipeline/LowerThirdBar.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QTextBoundaryFinder>

#include <vector>

using namespace ostrela;

namespace {

const QString kEllipsis = QString(QChar(0x2026));

int graphemes(const QString& s) {
    QTextBoundaryFinder f(QTextBoundaryFinder::Grapheme, s);
    int n = 0;
    while (f.toNextBoundary() > 0) ++n;
    return n;
}

// No high surrogate without its low one and no low one without its high one.
bool surrogatesPaired(const QString& s) {
    for (qsizetype i = 0; i < s.size(); ++i) {
        if (s[i].isHighSurrogate()) {
            if (i + 1 >= s.size() || !s[i + 1].isLowSurrogate()) return false;
            ++i;
        } else if (s[i].isLowSurrogate()) {
            return false;
        }
    }
    return true;
}

QString repeated(const QString& piece, int times) {
    QString s;
    for (int i = 0; i < times; ++i) s += piece;
    return s;
}

}  // namespace

TEST(BarTextCut, ShortTextsStayLongOnesEndInAnEllipsis) {
    EXPECT_EQ(bar::kMaxLineLength, 300);
    EXPECT_EQ(cutBarText(""), "");
    EXPECT_EQ(cutBarText("Good morning"), "Good morning");
    const QString exactly(300, QChar('a'));
    EXPECT_EQ(cutBarText(exactly), exactly);
    EXPECT_EQ(cutBarText(exactly + "b"), QString(299, QChar('a')) + kEllipsis);

    // A 100,000-character text: exactly 300 characters, its start kept.
    QString huge;
    for (int i = 0; huge.size() < 100000; ++i) huge += QStringLiteral("word%1 ").arg(i);
    const QString cut = cutBarText(huge);
    EXPECT_EQ(cut.size(), 300);
    EXPECT_EQ(graphemes(cut), 300);
    EXPECT_EQ(cut.left(299), huge.left(299));
    EXPECT_TRUE(cut.endsWith(kEllipsis));
    // Another length on request.
    EXPECT_EQ(cutBarText(huge, 10), huge.left(9) + kEllipsis);
}

TEST(BarTextCut, NeverSplitsASurrogatePairOrACluster) {
    const QString grin = QString::fromUtf16(u"\U0001F600");                           // a surrogate pair
    const QString family = QString::fromUtf16(u"\U0001F468\u200D\U0001F469\u200D\U0001F467");  // 8 code units
    const QString flag = QString::fromUtf16(u"\U0001F1EB\U0001F1F7");                  // two regional indicators
    const QString accented = QString::fromUtf16(u"e\u0301");                            // e + combining acute
    for (const QString& cluster : {grin, family, flag, accented}) {
        // The cluster is the 299th character: kept whole before the ellipsis.
        const QString before(298, QChar('a'));
        const QString kept = cutBarText(before + cluster + "bcd");
        EXPECT_EQ(kept, before + cluster + kEllipsis);
        EXPECT_EQ(graphemes(kept), 300);
        // The cluster is the 300th: left out whole, not cut in half.
        const QString one(299, QChar('a'));
        const QString dropped = cutBarText(one + cluster + "bcd");
        EXPECT_EQ(dropped, one + kEllipsis);
        EXPECT_TRUE(surrogatesPaired(kept) && surrogatesPaired(dropped));
        // A text of nothing but the cluster, far too long.
        const QString many = cutBarText(repeated(cluster, 5000));
        EXPECT_TRUE(many.endsWith(kEllipsis));
        EXPECT_EQ(many.chopped(1), repeated(cluster, (many.size() - 1) / cluster.size()));
        EXPECT_TRUE(surrogatesPaired(many));
        EXPECT_LE(many.size(), 300 * bar::kMaxCodeUnitsPerCharacter);
    }
    // Four-person families (11 code units each) fill the code-unit bound before 300 characters.
    const QString four = QString::fromUtf16(u"\U0001F468\u200D\U0001F469\u200D\U0001F467\u200D\U0001F466");
    const QString families = cutBarText(repeated(four, 1000));
    EXPECT_EQ(families, repeated(four, (300 * 8 - 1) / 11) + kEllipsis);

    // One letter carrying thousands of accents is one cluster longer than the bound: cut between
    // code points, the only case where a cluster is cut.
    const QString zalgo = "a" + QString(5000, QChar(0x0301));
    EXPECT_EQ(cutBarText(zalgo), zalgo.left(300 * 8 - 1) + kEllipsis);
    // Such a cluster made of surrogate pairs (a thumb with thousands of skin tones) is cut before
    // the pair the bound would halve.
    const QString thumbs = QString::fromUtf16(u"\U0001F44D") + repeated(QString::fromUtf16(u"\U0001F3FB"), 5000);
    const QString cutThumbs = cutBarText(thumbs);
    EXPECT_EQ(cutThumbs, thumbs.left(300 * 8 - 2) + kEllipsis);
    EXPECT_TRUE(surrogatesPaired(cutThumbs));
}

TEST(BarTextCut, ALayoutOfAHugeTextIsTheCutText) {
    QString huge;
    for (int i = 0; huge.size() < 100000; ++i) huge += QStringLiteral("Headline %1 ").arg(i);
    // The longest text the bar takes: twelve headlines of 300 characters and their separators.
    EXPECT_EQ(bar::kMaxTextLength, 12 * 300 + 11 * 7);
    const QString longest = cutBarText(huge, bar::kMaxTextLength);
    EXPECT_EQ(longest.size(), bar::kMaxTextLength);

    const BarTextMetrics m = measureBarText(huge);
    const BarTextMetrics cut = measureBarText(longest);
    EXPECT_DOUBLE_EQ(m.width, cut.width);
    EXPECT_DOUBLE_EQ(m.cycle, cut.cycle);
    // Laid out directly (as the design window's preview does), a line keeps room for one
    // ticker separator after the longest text, and no more.
    const BarTextLine line(huge, bar::kFontPixels);
    EXPECT_EQ(line.text().size(), bar::kMaxTextLength + 7);
    EXPECT_TRUE(line.text().endsWith(kEllipsis));
    EXPECT_EQ(BarTextLine(longest + QString::fromUtf16(bar::kTickerSeparator), bar::kFontPixels).text(),
              longest + QString::fromUtf16(bar::kTickerSeparator));
}

TEST(BarTextCut, TheBarWithTheLongestTextShowsHowItStarts) {
    // White text, no shadow, on black: bright columns are text.
    LowerThirdBarStyle style;
    style.barColorHex = "000000";
    style.textShadow = false;
    style.scrollSpeed = 90;
    QString huge = "I W I W";
    while (huge.size() < 100000) huge += " lorem ipsum dolor";
    const BarTextLine start("I W I W", bar::kFontPixels);
    const BarTextMetrics m = measureBarText(huge);
    // The moment the copy's glyph box starts at x = 24.
    const double t = (1280 - 24) / 90.0;
    LowerThirdBarRenderer r;
    const QImage img = r.image(style, huge, t);
    ASSERT_EQ(img.size(), QSize(1280, 83));
    EXPECT_EQ(r.textLayouts(), 1);
    auto textAt = [&](int x) {
        for (int row = 5; row < img.height(); ++row)
            if (qGreen(img.pixel(x, row)) > 128) return true;
        return false;
    };
    // Left edges of the first four words, where the layout puts them.
    std::vector<int> starts;
    bool was = false;
    for (int x = 0; x < 1280 && starts.size() < 4; ++x) {
        const bool is = textAt(x);
        if (is && !was) starts.push_back(x);
        was = is;
    }
    ASSERT_EQ(starts.size(), 4u);
    const double pen = 24 - m.x0;  // where the line's pen starts
    for (int i = 0; i < 4; ++i) {
        const BarTextLine glyph(QString("IWIW")[i], bar::kFontPixels);
        EXPECT_NEAR(starts[size_t(i)], pen + start.xAt(2 * i) + glyph.ink().left(), 1.5) << i;
    }
    // The whole ticker is one bounded loop: the longest text, its separator, nothing more.
    EXPECT_LT(m.cycle, 40.0 * (bar::kMaxTextLength + 7));
    EXPECT_GT(m.cycle, 5.0 * bar::kMaxTextLength);
}
