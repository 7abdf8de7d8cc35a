#include "library/OverlayLibraryController.h"
#include "tests/library/LibraryTestUtil.h"
#include "tests/support/TestEnv.h"

#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>

#include <gtest/gtest.h>

#include <map>

using namespace ostrela;
using namespace std::chrono_literals;

namespace {

// A tiny HTTP/1.1 server on 127.0.0.1 with canned answers per path. A path without an answer is
// never answered (the connection stays open).
class LocalHttpServer : public QObject {
public:
    struct Answer {
        int status = 200;
        QByteArray contentType;
        QByteArray body;
    };

    LocalHttpServer() {
        server_.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server_, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = server_.nextPendingConnection()) {
                socket->setParent(this);
                QObject::connect(socket, &QTcpSocket::readyRead, this, [this, socket] { serve(socket); });
            }
        });
    }
    QString url(const QString& path) const {
        return QStringLiteral("http://127.0.0.1:%1%2").arg(server_.serverPort()).arg(path);
    }
    std::map<QByteArray, Answer> answers;
    QList<QByteArray> requested;

private:
    void serve(QTcpSocket* socket) {
        QByteArray& buffer = pending_[socket];
        buffer += socket->readAll();
        if (!buffer.contains("\r\n\r\n")) return;
        const QByteArray path = buffer.split(' ').value(1);
        requested << path;
        buffer.clear();
        auto it = answers.find(path);
        if (it == answers.end()) return;
        const Answer& a = it->second;
        QByteArray reply = "HTTP/1.1 " + QByteArray::number(a.status) + (a.status == 200 ? " OK" : " Not Found") +
                           "\r\nContent-Type: " + a.contentType + "\r\nContent-Length: " +
                           QByteArray::number(a.body.size()) + "\r\nConnection: close\r\n\r\n" + a.body;
        socket->write(reply);
        socket->disconnectFromHost();
    }

    QTcpServer server_;
    std::map<QTcpSocket*, QByteArray> pending_;
};

struct Outcome {
    bool finished = false;
    bool ok = false;
    QString message;
};

Outcome download(OverlayLibraryController& c, const QString& address) {
    Outcome out;
    c.downloadImage(address, [&](bool ok, QString message) {
        out.finished = true;
        out.ok = ok;
        out.message = message;
    });
    EXPECT_TRUE(test::waitUntil([&] { return out.finished; }));
    return out;
}

}  // namespace

TEST(LibraryDownload, AnswersFromLocalServer) {
    test::ScopedTestEnv env;
    LocalHttpServer server;
    const QImage picture = test::solidImage(20, 10, QColor(250, 10, 10));
    const QByteArray png = test::encoded(picture, "PNG");
    server.answers["/img/logo.png"] = {200, "image/png", png};
    server.answers["/photo.jpg"] = {200, "image/jpeg", test::encoded(picture, "JPG")};
    server.answers["/"] = {200, "image/png", png};
    server.answers["/missing.png"] = {404, "text/html", "<html>nope</html>"};
    server.answers["/page.png"] = {200, "text/html", "<!DOCTYPE html><html><body>hi</body></html>"};

    OverlayLibraryController c;
    c.load();
    QList<bool> downloading;
    QObject::connect(&c, &OverlayLibraryController::isDownloadingChanged, [&] { downloading << c.isDownloading(); });

    Outcome ok = download(c, "  " + server.url("/img/logo.png") + "\n");
    EXPECT_TRUE(ok.ok);
    EXPECT_EQ(downloading, (QList<bool>{true, false}));
    ASSERT_EQ(c.items().size(), 1);
    EXPECT_EQ(c.items()[0].displayName, "logo");
    EXPECT_EQ(c.selectedID(), c.items()[0].id);
    EXPECT_EQ(test::readFile(c.store().pathFor(c.items()[0].fileName).toStdString()), png.toStdString());

    EXPECT_TRUE(download(c, server.url("/photo.jpg")).ok);
    QImage stored(c.store().pathFor(c.items()[1].fileName), "PNG");
    ASSERT_FALSE(stored.isNull());
    EXPECT_EQ(stored.size(), QSize(20, 10));
    EXPECT_GT(qRed(stored.pixel(10, 5)), 220);
    EXPECT_EQ(c.items()[1].displayName, "photo");

    EXPECT_TRUE(download(c, server.url("/")).ok);
    EXPECT_EQ(c.items()[2].displayName, "Downloaded Image");

    Outcome missing = download(c, server.url("/missing.png"));
    EXPECT_FALSE(missing.ok);
    EXPECT_EQ(c.lastError(), "Download failed (HTTP 404)");
    EXPECT_EQ(missing.message, "Download failed (HTTP 404)");
    EXPECT_FALSE(c.isDownloading());

    EXPECT_FALSE(download(c, server.url("/page.png")).ok);
    EXPECT_EQ(c.lastError(), "That URL didn't point to a readable image");
    EXPECT_EQ(c.items().size(), 3);

    // Success clears the previous message.
    EXPECT_TRUE(download(c, server.url("/img/logo.png")).ok);
    EXPECT_TRUE(c.lastError().isEmpty());
    EXPECT_EQ(c.items().size(), 4);
}

TEST(LibraryDownload, UnusableAddressesNeverStart) {
    test::ScopedTestEnv env;
    OverlayLibraryController c;
    c.load();
    bool everDownloading = false;
    QObject::connect(&c, &OverlayLibraryController::isDownloadingChanged, [&] { everDownloading = true; });
    for (const char* address : {"ftp://127.0.0.1/a.png", "not a url at all", "", "http://", "file:///etc/passwd"}) {
        Outcome o = download(c, address);
        EXPECT_FALSE(o.ok) << address;
        EXPECT_EQ(c.lastError(), "That doesn't look like a valid image URL") << address;
        EXPECT_EQ(o.message, "That doesn't look like a valid image URL");
    }
    EXPECT_FALSE(everDownloading);
    EXPECT_TRUE(c.items().isEmpty());
}

TEST(LibraryDownload, SlowAnswerTimesOutAndRefusedConnectionIsReported) {
    test::ScopedTestEnv env;
    LocalHttpServer server;  // "/slow.png" has no answer: the server holds the connection open
    OverlayLibraryController c;
    c.load();
    c.setDownloadTimeout(300ms);
    Outcome slow = download(c, server.url("/slow.png"));
    EXPECT_FALSE(slow.ok);
    EXPECT_EQ(c.lastError(), "Download failed: The request timed out.");
    EXPECT_FALSE(c.isDownloading());
    EXPECT_TRUE(server.requested.contains("/slow.png"));

    // A port nobody listens on.
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    const quint16 port = probe.serverPort();
    probe.close();
    Outcome refused = download(c, QStringLiteral("http://127.0.0.1:%1/x.png").arg(port));
    EXPECT_FALSE(refused.ok);
    EXPECT_TRUE(c.lastError().startsWith("Download failed: ")) << c.lastError().toStdString();
    EXPECT_GT(c.lastError().size(), QString("Download failed: ").size());
    EXPECT_TRUE(c.items().isEmpty());
    EXPECT_FALSE(c.isDownloading());
}
