#include "sources/HttpFetch.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>

#include <memory>

namespace ostrela {

void httpGet(QNetworkAccessManager* manager, const QUrl& url, qint64 maxBytes, int timeoutMs, QObject* context,
             std::function<void(HttpFetchResult)> done) {
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::NoLessSafeRedirectPolicy);
    request.setTransferTimeout(timeoutMs);
    QNetworkReply* reply = manager->get(request);

    struct State {
        QByteArray body;
        bool tooLarge = false;
    };
    auto state = std::make_shared<State>();
    QPointer<QNetworkReply> guard(reply);
    auto overCap = [state, guard, maxBytes](qint64 bytes) {
        if (bytes <= maxBytes || state->tooLarge || !guard) return;
        state->tooLarge = true;
        guard->abort();
    };
    // A declared length over the cap ends the transfer before any of the body is read.
    QObject::connect(reply, &QNetworkReply::metaDataChanged, reply, [reply, overCap] {
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (length.isValid()) overCap(length.toLongLong());
    });
    QObject::connect(reply, &QNetworkReply::readyRead, reply, [reply, state, overCap] {
        if (state->tooLarge || !reply->isOpen()) return;
        state->body += reply->readAll();
        overCap(state->body.size());
    });
    QObject::connect(reply, &QNetworkReply::finished, context, [reply, state, done = std::move(done), overCap] {
        reply->deleteLater();
        if (!state->tooLarge && reply->isOpen()) {
            state->body += reply->readAll();
            overCap(state->body.size());
        }
        HttpFetchResult result;
        if (state->tooLarge) {
            result.tooLarge = true;
            done(std::move(result));
            return;
        }
        // An answer with any status is a body; a transfer that broke off or never got one is a failure.
        const bool answered = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid();
        const int code = int(reply->error());
        const bool transportFailed = code > 0 && code < 200;  // network and proxy errors
        if (reply->error() == QNetworkReply::NoError || (answered && !transportFailed)) {
            result.ok = true;
            result.body = std::move(state->body);
        } else if (reply->error() == QNetworkReply::OperationCanceledError) {
            result.error = QStringLiteral("The request timed out.");
        } else {
            result.error = reply->errorString();
        }
        done(std::move(result));
    });
}

}  // namespace ostrela
