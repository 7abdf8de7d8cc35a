#pragma once
// Helpers for the text-source tests: a tiny HTTP server on 127.0.0.1 and an event-loop wait.
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QString>
#include <QTimer>

#include <functional>
#include <map>
#include <ostream>

// Readable QStrings in failure messages.
inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

namespace ostrela::test {

// Runs the event loop until `done` holds; false when it never did (a guard, not a timing check).
inline bool waitFor(const std::function<bool()>& done, int guardMs = 60000) {
    QDeadlineTimer deadline(guardMs);
    while (!done()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

// Canned answers per request target (path and query). A target without an answer, or one that is
// held, keeps its connection open until released.
class HttpTestServer : public QObject {
public:
    struct Answer {
        int status = 200;
        QByteArray body;
        QByteArray contentType = "application/json";
        bool declareLength = true;  // false: the body ends when the connection closes
        bool raw = false;           // send the body bytes alone, no HTTP at all
        bool held = false;          // wait for release()
    };

    HttpTestServer() {
        server_.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server_, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = server_.nextPendingConnection()) {
                socket->setParent(this);
                QObject::connect(socket, &QTcpSocket::readyRead, this, [this, socket] { serve(socket); });
            }
        });
    }

    QString base() const { return QStringLiteral("http://127.0.0.1:%1").arg(server_.serverPort()); }
    QString url(const QString& target) const { return base() + target; }

    void answer(const QByteArray& target, Answer a) { answers_[target] = std::move(a); }
    void answer(const QByteArray& target, int status, const QByteArray& body) {
        Answer a;
        a.status = status;
        a.body = body;
        answers_[target] = a;
    }
    // Sends the held answer to everyone waiting for `target`, and answers later requests at once.
    void release(const QByteArray& target) {
        answers_[target].held = false;
        auto waiting = std::move(waiting_[target]);
        waiting_.erase(target);
        for (QTcpSocket* s : waiting) reply(s, answers_[target]);
    }
    int waitingCount(const QByteArray& target) const {
        auto it = waiting_.find(target);
        return it == waiting_.end() ? 0 : int(it->second.size());
    }

    QList<QByteArray> requested;
    int count(const QByteArray& target) const { return int(requested.count(target)); }

private:
    void serve(QTcpSocket* socket) {
        QByteArray& buffer = pending_[socket];
        buffer += socket->readAll();
        if (!buffer.contains("\r\n\r\n")) return;
        const QByteArray target = buffer.split(' ').value(1);
        buffer.clear();
        requested << target;
        auto it = answers_.find(target);
        if (it == answers_.end() || it->second.held) {
            waiting_[target].push_back(socket);
            return;
        }
        reply(socket, it->second);
    }

    static void reply(QTcpSocket* socket, const Answer& a) {
        if (socket->state() != QAbstractSocket::ConnectedState) return;
        if (a.raw) {
            socket->write(a.body);
            socket->disconnectFromHost();
            return;
        }
        QByteArray head = "HTTP/1.1 " + QByteArray::number(a.status) + (a.status == 200 ? " OK" : " Not Found") +
                          "\r\nContent-Type: " + a.contentType;
        if (a.declareLength) head += "\r\nContent-Length: " + QByteArray::number(a.body.size());
        head += "\r\nConnection: close\r\n\r\n";
        socket->write(head + a.body);
        socket->disconnectFromHost();
    }

    QTcpServer server_;
    std::map<QTcpSocket*, QByteArray> pending_;
    std::map<QByteArray, Answer> answers_;
    std::map<QByteArray, std::vector<QTcpSocket*>> waiting_;
};

}  // namespace ostrela::test
