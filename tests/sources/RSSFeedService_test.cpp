#include "sources/RSSFeedService.h"

#include "pipeline/Settings.h"
#include "tests/sources/SourcesTestUtil.h"
#include "tests/support/TestEnv.h"

#include <gtest/gtest.h>

#include <QFileInfo>

#include <utility>
#include <vector>

using namespace ostrela;

namespace {

QByteArray rss(const QByteArray& items, const QByteArray& prolog = {}) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" + prolog +
           "<rss version=\"2.0\"><channel><title>Channel Title</title><link>https://example.org</link>\n" + items +
           "</channel></rss>\n";
}
QByteArray item(const QByteArray& title) { return "<item><title>" + title + "</title><link>x</link></item>\n"; }

QStringList titlesOf(const QByteArray& doc) {
    const auto t = feedTitles(doc);
    EXPECT_TRUE(t.has_value());
    return t.value_or(QStringList{});
}

const QString kSep = QStringLiteral("   \u2022   ");

}  // namespace

TEST(FeedTitles, CollectionRules) {
    // Channel title left out, surrounding line breaks trimmed, white-space-only titles skipped,
    // entities decoded, nested markup contributes its text.
    EXPECT_EQ(titlesOf(rss(item("\n  First  \n") + item("   ") + item("Fish &amp; Chips") +
                           item("A <b>bold</b> move") + "<item><description>no title</description></item>")),
              (QStringList{"First", "Fish & Chips", "A bold move"}));

    // Atom entries work like items, with a default namespace.
    EXPECT_EQ(titlesOf("<?xml version=\"1.0\"?><feed xmlns=\"http://www.w3.org/2005/Atom\"><title>Feed</title>"
                       "<entry><title type=\"text\">Atom one</title></entry><entry><title>Atom two</title></entry>"
                       "</feed>"),
              (QStringList{"Atom one", "Atom two"}));

    // CDATA titles are headlines, alone or mixed with text.
    EXPECT_EQ(titlesOf(rss(item("<![CDATA[Markets <rally> & fall]]>") + item("Part <![CDATA[two]]> here"))),
              (QStringList{"Markets <rally> & fall", "Part two here"}));

    // Names are compared as written: prefixed and differently cased names don't count.
    EXPECT_EQ(titlesOf(rss("<item xmlns:media=\"m\"><media:title>Prefixed</media:title><title>Plain</title></item>"
                           "<Item><title>Upper</title></Item><atom:entry xmlns:atom=\"a\"><title>Atom</title>"
                           "</atom:entry><item><TITLE>Caps</TITLE></item>")),
              QStringList{"Plain"});
    // An undeclared prefix is not a namespace error.
    EXPECT_EQ(titlesOf(rss("<item><dc:creator>me</dc:creator><title>Ok</title></item>")), QStringList{"Ok"});

    // Channel without items: well-formed, no headlines. A well-formed HTML page likewise.
    EXPECT_EQ(titlesOf(rss("")), QStringList{});
    EXPECT_EQ(titlesOf("<html><head><title>404 Not Found</title></head><body>nope</body></html>"), QStringList{});
}

TEST(FeedTitles, BrokenAndHostileDocuments) {
    EXPECT_FALSE(feedTitles(""));
    EXPECT_FALSE(feedTitles("not xml at all"));
    EXPECT_FALSE(feedTitles(rss(item("Unclosed") + "<item><title>x</item>")));
    EXPECT_FALSE(feedTitles("<!DOCTYPE html><html><body><br></body></html>"));
    EXPECT_FALSE(feedTitles(rss(item("Tom&nbsp;Jerry"))));  // undeclared entity

    // Entity expansion bombs and external entities are refused, not expanded or fetched.
    const QByteArray laughs =
        "<!DOCTYPE rss [<!ENTITY a \"lol\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">"
        "<!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\"><!ENTITY d \"&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;\">]>\n";
    EXPECT_FALSE(feedTitles(rss(item("&d;"), laughs)));
    ostrela::test::ScopedTestEnv env;
    const std::string secret = env.root() + "/secret.txt";
    ostrela::test::writeFile(secret, "TOP SECRET");
    const QByteArray external = "<!DOCTYPE rss [<!ENTITY x SYSTEM \"file://" + QByteArray::fromStdString(secret) + "\">]>\n";
    EXPECT_FALSE(feedTitles(rss(item("&x;"), external)));

    // A plain DOCTYPE with an external DTD, as old feeds carry, is fine.
    const QByteArray netscape =
        "<!DOCTYPE rss PUBLIC \"-//Netscape Communications//DTD RSS 0.91//EN\" "
        "\"http://my.netscape.com/publish/formats/rss-0.91.dtd\">\n";
    EXPECT_EQ(titlesOf(rss(item("Old school"), netscape)), QStringList{"Old school"});
}

TEST(FeedTitles, TickerLineTakesTwelve) {
    QStringList twenty;
    for (int i = 1; i <= 20; ++i) twenty << QStringLiteral("H%1").arg(i);
    const QString line = tickerLine(twenty);
    EXPECT_EQ(line.count(kSep), 11);
    EXPECT_TRUE(line.startsWith("H1" + kSep + "H2" + kSep));
    EXPECT_TRUE(line.endsWith(kSep + "H12"));
    EXPECT_EQ(tickerLine({"Only"}), "Only");
    EXPECT_EQ(description(RSSFeedServiceError::parseFailed), "couldn't read that feed");
    EXPECT_EQ(description(RSSFeedServiceError::noHeadlines), "feed has no headlines");
}

namespace {

class FeedFixture : public ::testing::Test {
protected:
    static void settle(RSSFeedService& s, const std::function<void()>& start) {
        int finished = 0;
        auto c = QObject::connect(&s, &RSSFeedService::refreshFinished, [&] { ++finished; });
        start();
        EXPECT_TRUE(ostrela::test::waitFor([&] { return finished > 0; }));
        QObject::disconnect(c);
    }
    ostrela::test::ScopedTestEnv env;
    ostrela::test::HttpTestServer server;
};

}  // namespace

TEST_F(FeedFixture, RefreshBuildsAndStoresTheTicker) {
    QByteArray items;
    for (int i = 1; i <= 20; ++i) items += item("Headline " + QByteArray::number(i));
    server.answer("/feed.xml", 200, rss(items));
    RSSFeedService s;
    EXPECT_EQ(s.refreshIntervalMs(), 300000);
    settle(s, [&] { s.update(true, "  " + server.url("/feed.xml") + "\n"); });
    EXPECT_TRUE(s.isRunning());
    EXPECT_EQ(s.cachedURLString(), server.url("/feed.xml"));
    EXPECT_EQ(s.displayText().count(kSep), 11);
    EXPECT_TRUE(s.displayText().startsWith("Headline 1" + kSep));
    EXPECT_TRUE(s.displayText().endsWith(kSep + "Headline 12"));
    EXPECT_EQ(settings::rssFeedDisplayText(), s.displayText());
    EXPECT_TRUE(s.lastError().isNull());

    // The same text with other surrounding spaces: no restart. refreshNow fetches once more.
    s.update(true, server.url("/feed.xml") + "   ");
    settle(s, [&] { s.refreshNow(); });
    EXPECT_EQ(server.count("/feed.xml"), 2);

    // Off keeps everything; on again downloads at once.
    s.update(false, server.url("/feed.xml"));
    EXPECT_FALSE(s.isRunning());
    EXPECT_EQ(s.cachedURLString(), server.url("/feed.xml"));
    s.update(true, "");
    EXPECT_FALSE(s.isRunning());
    settle(s, [&] { s.update(true, server.url("/feed.xml")); });
    EXPECT_EQ(server.count("/feed.xml"), 3);

    // A new instance starts with the stored line.
    RSSFeedService restarted;
    EXPECT_EQ(restarted.displayText(), s.displayText());
}

TEST_F(FeedFixture, FailuresKeepTheLastLine) {
    server.answer("/good", 200, rss(item("Good news")));
    server.answer("/empty", 200, rss(""));
    server.answer("/missing", 404, "<html><head><title>Not Found</title></head><body>gone</body></html>");
    server.answer("/broken", 404, "<html><body>gone<br></body></html>");
    server.answer("/json", 200, "{\"not\": \"a feed\"}");
    ostrela::test::HttpTestServer::Answer garbage;
    garbage.raw = true;
    garbage.body = QByteArray(64, '\x07');
    server.answer("/garbage", garbage);

    RSSFeedService s;
    settle(s, [&] { s.update(true, server.url("/good")); });
    ASSERT_EQ(s.displayText(), "Good news");
    const std::vector<std::pair<QByteArray, QString>> cases = {
        {"/empty", "Feed unavailable: feed has no headlines"},
        {"/missing", "Feed unavailable: feed has no headlines"},
        {"/broken", "Feed unavailable: couldn't read that feed"},
        {"/json", "Feed unavailable: couldn't read that feed"},
    };
    for (const auto& [path, message] : cases) {
        settle(s, [&] { s.update(true, server.url(QString::fromLatin1(path))); });
        EXPECT_EQ(s.lastError(), message) << path.constData();
        EXPECT_EQ(s.displayText(), "Good news");
        EXPECT_TRUE(s.isRunning());
    }
    settle(s, [&] { s.update(true, server.url("/garbage")); });
    EXPECT_TRUE(s.lastError().startsWith("Feed unavailable: ")) << s.lastError().toStdString();
    EXPECT_GT(s.lastError().size(), QString("Feed unavailable: ").size());

    // Text that is some URL but no web address is refused at refresh.
    for (const char* text : {"example.com/feed", "ftp://example.com/feed", "file:///etc/passwd", "https://"}) {
        settle(s, [&] { s.update(true, text); });
        EXPECT_EQ(s.lastError(), "Feed unavailable: invalid URL") << text;
    }
    EXPECT_EQ(settings::rssFeedDisplayText(), "Good news");

    // Success clears the message.
    settle(s, [&] { s.update(true, server.url("/good")); });
    EXPECT_TRUE(s.lastError().isNull());
}

TEST_F(FeedFixture, OversizedSlowAndUnreachableFeeds) {
    RSSFeedService s;
    // Declared too large: refused before the body is read.
    QByteArray items;
    while (items.size() < RSSFeedService::kMaxFeedBytes) items += item(QByteArray(1000, 'x'));
    server.answer("/huge", 200, rss(items));
    settle(s, [&] { s.update(true, server.url("/huge")); });
    EXPECT_EQ(s.lastError(), "Feed unavailable: the feed is larger than 5 MB");

    // No declared length: the download stops at the cap.
    s.setMaxFeedBytesForTesting(2048);
    ostrela::test::HttpTestServer::Answer stream;
    stream.body = rss(items.left(8192));
    stream.declareLength = false;
    server.answer("/stream", stream);
    settle(s, [&] { s.update(true, server.url("/stream")); });
    EXPECT_EQ(s.lastError(), "Feed unavailable: the feed is larger than 2 KB");
    EXPECT_TRUE(s.displayText().isEmpty());

    // Small enough without a declared length: fine.
    stream.body = rss(item("Streamed"));
    server.answer("/small", stream);
    settle(s, [&] { s.update(true, server.url("/small")); });
    EXPECT_EQ(s.displayText(), "Streamed");

    // No answer within the transfer timeout.
    s.setRequestTimeoutForTesting(300);
    ostrela::test::HttpTestServer::Answer held;
    held.held = true;
    server.answer("/slow", held);
    settle(s, [&] { s.update(true, server.url("/slow")); });
    EXPECT_EQ(s.lastError(), "Feed unavailable: The request timed out.");

    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    settle(s, [&] { s.update(true, QStringLiteral("http://127.0.0.1:%1/feed").arg(port)); });
    EXPECT_TRUE(s.lastError().startsWith("Feed unavailable: ")) << s.lastError().toStdString();
    EXPECT_NE(s.lastError(), "Feed unavailable: The request timed out.");
    EXPECT_EQ(s.displayText(), "Streamed");
}

TEST_F(FeedFixture, TimerAndOvertakenDownloads) {
    server.answer("/a", 200, rss(item("From A")));
    RSSFeedService s;
    s.setRefreshIntervalForTesting(20);
    settle(s, [&] { s.update(true, server.url("/a")); });
    ASSERT_TRUE(ostrela::test::waitFor([&] { return server.count("/a") >= 3; }));
    EXPECT_EQ(s.displayText(), "From A");

    // Typing on: an old, slow download must not replace the line of the address now served.
    s.setRefreshIntervalForTesting(RSSFeedService::kRefreshIntervalMs);
    ostrela::test::HttpTestServer::Answer slow;
    slow.body = rss(item("Stale"));
    slow.held = true;
    server.answer("/b", slow);
    server.answer("/bc", 200, rss(item("Current")));
    s.update(true, server.url("/b"));
    ASSERT_TRUE(ostrela::test::waitFor([&] { return server.waitingCount("/b") == 1; }));
    settle(s, [&] { s.update(true, server.url("/bc")); });
    EXPECT_EQ(s.displayText(), "Current");
    settle(s, [&] { server.release("/b"); });
    EXPECT_EQ(s.displayText(), "Current");
    EXPECT_EQ(settings::rssFeedDisplayText(), "Current");
    EXPECT_TRUE(s.lastError().isNull());
}

namespace {

const QByteArray kNetscapeDoctype =
    "<!DOCTYPE rss PUBLIC \"-//Netscape Communications//DTD RSS 0.91//EN\" "
    "\"http://my.netscape.com/publish/formats/rss-0.91.dtd\">\n";
const QString kEllipsis(QChar(0x2026));

// Twelve titles of 100,000 characters each, every one starting with its number: 1.2 MB.
QByteArray twelveHugeTitles() {
    QByteArray items;
    for (int i = 0; i < 12; ++i) {
        QByteArray title = "Title " + QByteArray::number(i + 1) + " ";
        while (title.size() < 100000) title += "lorem ipsum ";
        title.truncate(100000);
        items += item(title);
    }
    return rss(items);
}

}  // namespace

TEST(FeedTitles, HugeTitlesAreStoredCut) {
    const QStringList titles = titlesOf(twelveHugeTitles());
    ASSERT_EQ(titles.size(), 12);
    for (int i = 0; i < 12; ++i) {
        const QString& t = titles[i];
        EXPECT_EQ(t.size(), 300) << i;
        EXPECT_TRUE(t.endsWith(kEllipsis)) << i;
        EXPECT_TRUE(t.startsWith(QStringLiteral("Title %1 lorem ipsum").arg(i + 1))) << i;
    }
    // Short titles are untouched; one of exactly 300 characters too.
    const QByteArray three(300, 'z');
    EXPECT_EQ(titlesOf(rss(item("Short") + item(three))), (QStringList{"Short", QString::fromLatin1(three)}));
}

TEST_F(FeedFixture, AHugeFeedStoresASmallLine) {
    const QByteArray feed = twelveHugeTitles();
    ASSERT_GT(feed.size(), 1200000);
    ASSERT_LT(feed.size(), RSSFeedService::kMaxFeedBytes);
    server.answer("/huge.xml", 200, feed);
    RSSFeedService s;
    settle(s, [&] { s.update(true, server.url("/huge.xml")); });
    EXPECT_TRUE(s.lastError().isNull());
    const QStringList parts = s.displayText().split(kSep);
    ASSERT_EQ(parts.size(), 12);
    for (const QString& p : parts) {
        EXPECT_EQ(p.size(), 300);
        EXPECT_TRUE(p.endsWith(kEllipsis));
    }
    EXPECT_EQ(s.displayText().size(), 12 * 300 + 11 * 7);
    EXPECT_EQ(settings::rssFeedDisplayText(), s.displayText());
    // The settings file, rewritten whole on every write, stays small on disk.
    auto* suite = SettingsStore::suite();
    ASSERT_TRUE(suite);
    const qint64 bytes = QFileInfo(QString::fromStdString(suite->filePath())).size();
    EXPECT_GT(bytes, 3600);
    EXPECT_LT(bytes, 16 * 1024);
}

TEST(FeedTitles, HtmlEntitiesUnderTheRss091Doctype) {
    const QByteArray doc = rss(item("Caf&eacute; news") + item("&euro;") + item("&mdash;") + item("&alpha;") +
                                   item("&foo;") + item("Caf&eacute; &amp; &foo; bar") +
                                   item("&#233;&#x20AC; &#8212;") + item("&Alpha;&nbsp;&yuml;&Yuml;") +
                                   "<item><title>With &ldquo;links&rdquo;</title><link>https://example.org/?a=1&amp;b="
                                   "&eacute;</link><description>Na&iuml;ve &hellip; &bogus;</description></item>",
                               kNetscapeDoctype);
    EXPECT_EQ(titlesOf(doc), (QStringList{QString::fromUtf8("Café news"), QString::fromUtf8("€"),
                                          QString::fromUtf8("—"), QString::fromUtf8("α"), "&foo;",
                                          QString::fromUtf8("Café & &foo; bar"), QString::fromUtf8("é€ —"),
                                          QString::fromUtf8("Α\u00A0ÿŸ"), QString::fromUtf8("With “links”")}));

    // Without a DTD an undeclared entity is still a broken document.
    EXPECT_FALSE(feedTitles(rss(item("Caf&eacute; news"))));
}

TEST(FeedTitles, TheEntityTableIsHtml4s) {
    EXPECT_EQ(kHtmlEntityCount, 252);
    const std::vector<std::pair<const char*, char16_t>> samples = {
        {"nbsp", 0x00A0},   {"iexcl", 0x00A1}, {"eacute", 0x00E9}, {"Eacute", 0x00C9}, {"yuml", 0x00FF},
        {"fnof", 0x0192},   {"Omega", 0x03A9}, {"sigmaf", 0x03C2}, {"thetasym", 0x03D1}, {"piv", 0x03D6},
        {"bull", 0x2022},   {"alefsym", 0x2135}, {"crarr", 0x21B5}, {"hArr", 0x21D4},  {"forall", 0x2200},
        {"sdot", 0x22C5},   {"lang", 0x2329}, {"rang", 0x232A},   {"loz", 0x25CA},    {"diams", 0x2666},
        {"quot", 0x0022},   {"OElig", 0x0152}, {"Yuml", 0x0178},  {"tilde", 0x02DC},  {"zwnj", 0x200C},
        {"rlm", 0x200F},    {"bdquo", 0x201E}, {"permil", 0x2030}, {"rsaquo", 0x203A}, {"euro", 0x20AC}};
    for (const auto& [name, c] : samples)
        EXPECT_EQ(htmlEntityText(QString::fromLatin1(name)), QString(QChar(c))) << name;
    for (const char* unknown : {"foo", "apos", "EURO", "Nbsp", "", "eacute;"})
        EXPECT_TRUE(htmlEntityText(QString::fromLatin1(unknown)).isNull()) << unknown;
}
