#include "sources/RSSFeedService.h"

#include "pipeline/Settings.h"
#include "sources/HttpFetch.h"
#include "pipeline/LowerThirdBar.h"

#include <QNetworkAccessManager>
#include <QTimer>
#include <QXmlStreamReader>

#include <algorithm>
#include <array>
#include <utility>

namespace ostrela {

namespace {

// HTML 4.01's named character references: Latin-1, symbols and Greek, special. Old feeds name the
// RSS 0.91 DTD, which declares them, and use them freely; the DTD itself is never fetched.
constexpr const char* kLatin1Names[] = {  // U+00A0 to U+00FF in order
    "nbsp",   "iexcl",  "cent",   "pound",  "curren", "yen",    "brvbar", "sect",   "uml",    "copy",   "ordf",
    "laquo",  "not",    "shy",    "reg",    "macr",   "deg",    "plusmn", "sup2",   "sup3",   "acute",  "micro",
    "para",   "middot", "cedil",  "sup1",   "ordm",   "raquo",  "frac14", "frac12", "frac34", "iquest", "Agrave",
    "Aacute", "Acirc",  "Atilde", "Auml",   "Aring",  "AElig",  "Ccedil", "Egrave", "Eacute", "Ecirc",  "Euml",
    "Igrave", "Iacute", "Icirc",  "Iuml",   "ETH",    "Ntilde", "Ograve", "Oacute", "Ocirc",  "Otilde", "Ouml",
    "times",  "Oslash", "Ugrave", "Uacute", "Ucirc",  "Uuml",   "Yacute", "THORN",  "szlig",  "agrave", "aacute",
    "acirc",  "atilde", "auml",   "aring",  "aelig",  "ccedil", "egrave", "eacute", "ecirc",  "euml",   "igrave",
    "iacute", "icirc",  "iuml",   "eth",    "ntilde", "ograve", "oacute", "ocirc",  "otilde", "ouml",   "divide",
    "oslash", "ugrave", "uacute", "ucirc",  "uuml",   "yacute", "thorn",  "yuml"};
static_assert(std::size(kLatin1Names) == 96);

constexpr std::pair<const char*, char16_t> kOtherEntities[] = {
    // Symbols and Greek letters.
    {"fnof", 0x0192}, {"Alpha", 0x0391}, {"Beta", 0x0392}, {"Gamma", 0x0393}, {"Delta", 0x0394},
    {"Epsilon", 0x0395}, {"Zeta", 0x0396}, {"Eta", 0x0397}, {"Theta", 0x0398}, {"Iota", 0x0399},
    {"Kappa", 0x039A}, {"Lambda", 0x039B}, {"Mu", 0x039C}, {"Nu", 0x039D}, {"Xi", 0x039E}, {"Omicron", 0x039F},
    {"Pi", 0x03A0}, {"Rho", 0x03A1}, {"Sigma", 0x03A3}, {"Tau", 0x03A4}, {"Upsilon", 0x03A5}, {"Phi", 0x03A6},
    {"Chi", 0x03A7}, {"Psi", 0x03A8}, {"Omega", 0x03A9}, {"alpha", 0x03B1}, {"beta", 0x03B2}, {"gamma", 0x03B3},
    {"delta", 0x03B4}, {"epsilon", 0x03B5}, {"zeta", 0x03B6}, {"eta", 0x03B7}, {"theta", 0x03B8},
    {"iota", 0x03B9}, {"kappa", 0x03BA}, {"lambda", 0x03BB}, {"mu", 0x03BC}, {"nu", 0x03BD}, {"xi", 0x03BE},
    {"omicron", 0x03BF}, {"pi", 0x03C0}, {"rho", 0x03C1}, {"sigmaf", 0x03C2}, {"sigma", 0x03C3},
    {"tau", 0x03C4}, {"upsilon", 0x03C5}, {"phi", 0x03C6}, {"chi", 0x03C7}, {"psi", 0x03C8}, {"omega", 0x03C9},
    {"thetasym", 0x03D1}, {"upsih", 0x03D2}, {"piv", 0x03D6}, {"bull", 0x2022}, {"hellip", 0x2026},
    {"prime", 0x2032}, {"Prime", 0x2033}, {"oline", 0x203E}, {"frasl", 0x2044}, {"weierp", 0x2118},
    {"image", 0x2111}, {"real", 0x211C}, {"trade", 0x2122}, {"alefsym", 0x2135}, {"larr", 0x2190},
    {"uarr", 0x2191}, {"rarr", 0x2192}, {"darr", 0x2193}, {"harr", 0x2194}, {"crarr", 0x21B5},
    {"lArr", 0x21D0}, {"uArr", 0x21D1}, {"rArr", 0x21D2}, {"dArr", 0x21D3}, {"hArr", 0x21D4},
    {"forall", 0x2200}, {"part", 0x2202}, {"exist", 0x2203}, {"empty", 0x2205}, {"nabla", 0x2207},
    {"isin", 0x2208}, {"notin", 0x2209}, {"ni", 0x220B}, {"prod", 0x220F}, {"sum", 0x2211}, {"minus", 0x2212},
    {"lowast", 0x2217}, {"radic", 0x221A}, {"prop", 0x221D}, {"infin", 0x221E}, {"ang", 0x2220},
    {"and", 0x2227}, {"or", 0x2228}, {"cap", 0x2229}, {"cup", 0x222A}, {"int", 0x222B}, {"there4", 0x2234},
    {"sim", 0x223C}, {"cong", 0x2245}, {"asymp", 0x2248}, {"ne", 0x2260}, {"equiv", 0x2261}, {"le", 0x2264},
    {"ge", 0x2265}, {"sub", 0x2282}, {"sup", 0x2283}, {"nsub", 0x2284}, {"sube", 0x2286}, {"supe", 0x2287},
    {"oplus", 0x2295}, {"otimes", 0x2297}, {"perp", 0x22A5}, {"sdot", 0x22C5}, {"lceil", 0x2308},
    {"rceil", 0x2309}, {"lfloor", 0x230A}, {"rfloor", 0x230B}, {"lang", 0x2329}, {"rang", 0x232A},
    {"loz", 0x25CA}, {"spades", 0x2660}, {"clubs", 0x2663}, {"hearts", 0x2665}, {"diams", 0x2666},
    // Special: markup-significant characters, ligatures, spacing and punctuation.
    {"quot", 0x0022}, {"amp", 0x0026}, {"lt", 0x003C}, {"gt", 0x003E}, {"OElig", 0x0152}, {"oelig", 0x0153},
    {"Scaron", 0x0160}, {"scaron", 0x0161}, {"Yuml", 0x0178}, {"circ", 0x02C6}, {"tilde", 0x02DC},
    {"ensp", 0x2002}, {"emsp", 0x2003}, {"thinsp", 0x2009}, {"zwnj", 0x200C}, {"zwj", 0x200D}, {"lrm", 0x200E},
    {"rlm", 0x200F}, {"ndash", 0x2013}, {"mdash", 0x2014}, {"lsquo", 0x2018}, {"rsquo", 0x2019},
    {"sbquo", 0x201A}, {"ldquo", 0x201C}, {"rdquo", 0x201D}, {"bdquo", 0x201E}, {"dagger", 0x2020},
    {"Dagger", 0x2021}, {"permil", 0x2030}, {"lsaquo", 0x2039}, {"rsaquo", 0x203A}, {"euro", 0x20AC}};
static_assert(std::size(kLatin1Names) + std::size(kOtherEntities) == kHtmlEntityCount);

// The reader parses a resolved entity's text as markup, so the four markup characters go back as
// character references (the reader knows them itself, this is only a guard).
QString entityReplacement(char16_t c) {
    if (c == u'<' || c == u'&' || c == u'>' || c == u'"') return QStringLiteral("&#%1;").arg(int(c));
    return QString(QChar(c));
}

class HtmlEntityResolver : public QXmlStreamEntityResolver {
public:
    QString resolveUndeclaredEntity(const QString& name) override {
        const QString text = htmlEntityText(name);
        return text.isNull() ? QString() : entityReplacement(text.at(0).unicode());
    }
};

}  // namespace

QString htmlEntityText(const QString& name) {
    const QByteArray latin1 = name.toLatin1();
    for (size_t i = 0; i < std::size(kLatin1Names); ++i)
        if (latin1 == kLatin1Names[i]) return QString(QChar(char16_t(0xA0 + i)));
    for (const auto& [n, c] : kOtherEntities)
        if (latin1 == n) return QString(QChar(c));
    return {};
}

QString description(RSSFeedServiceError error) {
    switch (error) {
    case RSSFeedServiceError::parseFailed: return QStringLiteral("couldn't read that feed");
    case RSSFeedServiceError::noHeadlines: return QStringLiteral("feed has no headlines");
    }
    return {};
}

std::optional<QStringList> feedTitles(const QByteArray& document) {
    HtmlEntityResolver htmlEntities;  // outlives the reader that uses it
    QXmlStreamReader xml(document);
    // Names are matched as written, prefixes included, and undeclared prefixes are no error.
    xml.setNamespaceProcessing(false);
    // No entity resolver is installed, so external entities are never fetched; internal ones are
    // refused below, this only bounds what slips through.
    xml.setEntityExpansionLimit(1024);

    QStringList titles;
    bool isInsideItem = false;
    bool isInsideTitle = false;
    QString currentTitle;
    auto isEntry = [](QStringView name) { return name == u"item" || name == u"entry"; };

    while (!xml.atEnd()) {
        switch (xml.readNext()) {
        case QXmlStreamReader::DTD:
            // Entity declarations are how entity-expansion bombs start; no real feed needs them.
            if (!xml.entityDeclarations().isEmpty()) return std::nullopt;
            // The DTD named (RSS 0.91's, or an XHTML one) declares HTML's entities: they are
            // taken from our own table. Without a DTD an undeclared entity stays an error.
            xml.setEntityResolver(&htmlEntities);
            break;
        case QXmlStreamReader::EntityReference:
            // An entity the DTD may declare but our table does not know: kept as written.
            if (isInsideTitle) currentTitle += u'&' + xml.name().toString() + u';';
            break;
        case QXmlStreamReader::StartElement: {
            const QStringView name = xml.qualifiedName();
            if (isEntry(name)) {
                isInsideItem = true;
            } else if (name == u"title" && isInsideItem) {
                isInsideTitle = true;
                currentTitle.clear();
            }
            break;
        }
        case QXmlStreamReader::Characters:
            // CDATA sections are ordinary title text in many real feeds.
            if (isInsideTitle) currentTitle += xml.text();
            break;
        case QXmlStreamReader::EndElement: {
            const QStringView name = xml.qualifiedName();
            if (isEntry(name)) {
                isInsideItem = false;
            } else if (name == u"title") {
                if (isInsideTitle) {
                    // Stored cut: a feed may hold titles of any length.
                    const QString title = cutBarText(currentTitle.trimmed());
                    if (!title.isEmpty()) titles << title;
                }
                isInsideTitle = false;
            }
            break;
        }
        default:
            break;
        }
    }
    if (xml.hasError()) return std::nullopt;
    return titles;
}

QString tickerLine(const QStringList& titles) {
    return titles.mid(0, kMaxHeadlines).join(QString::fromUtf16(kHeadlineSeparator));
}

QUrl feedURL(const QString& text) {
    const QUrl url(text.trimmed(), QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty()) return {};
    const QString scheme = url.scheme().toLower();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https")) return {};
    return url;
}

namespace {

QString sizeText(qint64 bytes) {
    if (bytes >= 1024 * 1024 && bytes % (1024 * 1024) == 0) return QStringLiteral("%1 MB").arg(bytes / (1024 * 1024));
    if (bytes >= 1024 && bytes % 1024 == 0) return QStringLiteral("%1 KB").arg(bytes / 1024);
    return QStringLiteral("%1 bytes").arg(bytes);
}

}  // namespace

RSSFeedService::RSSFeedService(QObject* parent)
    : QObject(parent), network_(new QNetworkAccessManager(this)), timer_(new QTimer(this)) {
    displayText_ = settings::rssFeedDisplayText();
    timer_->setInterval(kRefreshIntervalMs);
    connect(timer_, &QTimer::timeout, this, [this] {
        if (cachedURLString_) refresh(*cachedURLString_);
    });
}

RSSFeedService::~RSSFeedService() = default;

bool RSSFeedService::isRunning() const { return timer_->isActive(); }
int RSSFeedService::refreshIntervalMs() const { return timer_->interval(); }
void RSSFeedService::setRefreshIntervalForTesting(int ms) { timer_->setInterval(ms); }
void RSSFeedService::setMaxFeedBytesForTesting(qint64 bytes) { maxFeedBytes_ = bytes; }

void RSSFeedService::stop() {
    if (!timer_->isActive()) return;
    timer_->stop();
    emit isRunningChanged();
}

void RSSFeedService::update(bool enabled, const QString& urlString) {
    const QString text = urlString.trimmed();
    if (!enabled || text.isEmpty() || !QUrl(text).isValid()) {
        stop();
        return;
    }
    if (cachedURLString_ == text && timer_->isActive()) return;
    cachedURLString_ = text;
    const bool wasRunning = timer_->isActive();
    timer_->start();
    if (!wasRunning) emit isRunningChanged();
    refresh(text);
}

void RSSFeedService::refreshNow() {
    if (cachedURLString_) refresh(*cachedURLString_);
}

void RSSFeedService::refresh(const QString& urlString) {
    const QUrl url = feedURL(urlString);
    if (!url.isValid()) return fail(urlString, QStringLiteral("invalid URL"));
    httpGet(network_, url, maxFeedBytes_, requestTimeoutMs_, this, [this, urlString](HttpFetchResult r) {
        if (r.tooLarge) return fail(urlString, QStringLiteral("the feed is larger than %1").arg(sizeText(maxFeedBytes_)));
        if (!r.ok) return fail(urlString, r.error);
        const auto titles = feedTitles(r.body);
        if (!titles) return fail(urlString, description(RSSFeedServiceError::parseFailed));
        if (titles->isEmpty()) return fail(urlString, description(RSSFeedServiceError::noHeadlines));
        // A download overtaken by a change of address is not shown: the user moved on.
        if (cachedURLString_ == urlString) {
            const QString line = tickerLine(*titles);
            if (displayText_ != line) {
                displayText_ = line;
                emit displayTextChanged();
            }
            settings::setRssFeedDisplayText(line);
            setLastError(QString());
        }
        emit refreshFinished();
    });
}

void RSSFeedService::fail(const QString& urlString, const QString& message) {
    if (cachedURLString_ == urlString) setLastError(QLatin1String(kErrorPrefix) + message);
    emit refreshFinished();
}

void RSSFeedService::setLastError(const QString& error) {
    if (lastError_.isNull() == error.isNull() && lastError_ == error) return;
    lastError_ = error;
    emit lastErrorChanged();
}

}  // namespace ostrela
