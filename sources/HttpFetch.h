#pragma once
// One GET through a QNetworkAccessManager with a size cap and a transfer timeout. Any answer that
// came back from the server counts as a body, whatever its status: the callers decode it and
// report what they find.
#include <QByteArray>
#include <QObject>
#include <QString>
#include <QUrl>

#include <functional>

class QNetworkAccessManager;

namespace ostrela {

struct HttpFetchResult {
    bool ok = false;        // a body arrived
    bool tooLarge = false;  // aborted because the body exceeded the cap
    QByteArray body;
    QString error;  // transport error description when !ok
};

// `done` runs on `context`'s thread, and not at all once `context` is gone.
void httpGet(QNetworkAccessManager* manager, const QUrl& url, qint64 maxBytes, int timeoutMs, QObject* context,
             std::function<void(HttpFetchResult)> done);

}  // namespace ostrela
