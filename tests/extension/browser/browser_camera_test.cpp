// A browser finds the "Ostrela" camera and shows its picture: Debian's Chromium with its PipeWire
// camera, through the desktop's camera portal, on a page served by the test on 127.0.0.1, with the
// camera program fed by the test-frame writer. Every service runs in a private session.
#include "pipeline/FrameBuffer.h"
#include "tests/extension/ColourBars.h"
#include "tests/extension/PipeWireTestSession.h"
#include "tests/support/TestEnv.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QDirIterator>
#include <QHostAddress>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <vector>

using namespace ostrela;
using ostrela::test::PipeWireTestSession;

namespace {

// Asks for the camera (again, a few times, should the browser's first look at PipeWire come too
// early), waits for frames, draws one into a canvas and posts what it saw.
const char kPage[] = R"html(<!doctype html>
<html><body><video id="v" autoplay muted playsinline></video><canvas id="c" width="1280" height="720"></canvas>
<script>
const post = (o) => fetch('/report', {method: 'POST', body: JSON.stringify(o)});
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
(async () => {
  let stream = null, attempts = 0, lastError = '';
  while (!stream && attempts < 5) {
    attempts++;
    try {
      stream = await navigator.mediaDevices.getUserMedia({video: {width: 1280, height: 720}});
    } catch (e) {
      lastError = e.name + ': ' + e.message;
      await sleep(1000);
    }
  }
  if (!stream) { await post({error: lastError, attempts}); return; }
  try {
    const devices = (await navigator.mediaDevices.enumerateDevices())
        .filter((d) => d.kind === 'videoinput').map((d) => d.label);
    const track = stream.getVideoTracks()[0];
    const v = document.getElementById('v');
    v.srcObject = stream;
    await v.play();
    let frames = 0;
    await new Promise((done) => {
      const count = () => { if (++frames >= 15) done(); else v.requestVideoFrameCallback(count); };
      v.requestVideoFrameCallback(count);
    });
    const ctx = document.getElementById('c').getContext('2d', {willReadFrequently: true});
    ctx.drawImage(v, 0, 0, 1280, 720);
    const row = Array.from(ctx.getImageData(0, 400, 1280, 1).data);
    const s = track.getSettings();
    await post({label: track.label, devices, attempts, frames, width: s.width, height: s.height,
                videoWidth: v.videoWidth, videoHeight: v.videoHeight, row});
  } catch (e) {
    await post({error: e.name + ': ' + e.message, attempts});
  }
})();
</script></body></html>
)html";

// Serves the page and takes the report: one request per connection, enough for one browser.
class PageServer : public QObject {
public:
    PageServer() {
        server_.listen(QHostAddress::LocalHost, 0);
        QObject::connect(&server_, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = server_.nextPendingConnection()) {
                QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
                QObject::connect(socket, &QTcpSocket::readyRead, this, [this, socket] { serve(socket); });
            }
        });
    }
    QString url() const { return QString("http://127.0.0.1:%1/").arg(server_.serverPort()); }
    bool listening() const { return server_.isListening(); }
    const QByteArray& report() const { return report_; }

private:
    void serve(QTcpSocket* socket) {
        QByteArray& in = pending_[socket];
        in += socket->readAll();
        const qsizetype end = in.indexOf("\r\n\r\n");
        if (end < 0) return;
        const QByteArray head = in.left(end);
        static const QRegularExpression lengthField("(?i)\\r\\ncontent-length:\\s*(\\d+)");
        const auto m = lengthField.match(QString::fromLatin1(head));
        const qsizetype length = m.hasMatch() ? m.captured(1).toLongLong() : 0;
        if (in.size() < end + 4 + length) return;
        const QByteArray body = in.mid(end + 4, length);
        pending_.remove(socket);
        QByteArray status = "200 OK", type = "text/plain", out;
        if (head.startsWith("GET / ")) {
            type = "text/html; charset=utf-8";
            out = kPage;
        } else if (head.startsWith("POST /report ")) {
            report_ = body;
        } else {
            status = "404 Not Found";
        }
        socket->write("HTTP/1.1 " + status + "\r\nContent-Type: " + type + "\r\nContent-Length: " +
                      QByteArray::number(out.size()) + "\r\nConnection: close\r\n\r\n" + out);
        socket->disconnectFromHost();
    }

    QTcpServer server_;
    QHash<QTcpSocket*, QByteArray> pending_;
    QByteArray report_;
};

// Chromium's crash handlers leave the process group; they are found by the profile they serve.
void endProcessesUsing(const QString& profile) {
    QDirIterator it("/proc", QDir::Dirs | QDir::NoDotAndDotDot);
    while (it.hasNext()) {
        const QString dir = it.next();
        bool number = false;
        const pid_t pid = pid_t(QFileInfo(dir).fileName().toInt(&number));
        if (!number || pid == ::getpid()) continue;
        QFile cmdline(dir + "/cmdline");
        if (cmdline.open(QIODevice::ReadOnly) && cmdline.readAll().contains(profile.toUtf8())) ::kill(pid, SIGKILL);
    }
}

int gdbus(const PipeWireTestSession& session, const QStringList& args, QByteArray* out = nullptr) {
    QProcess p;
    p.setProcessEnvironment(session.env());
    p.start("gdbus", args);
    if (!p.waitForFinished(30000)) {
        p.kill();
        p.waitForFinished();
        return -1;
    }
    if (out) *out = p.readAllStandardOutput() + p.readAllStandardError();
    return p.exitCode();
}

TEST(BrowserCamera, ChromiumListsOstrelaAndShowsItsColourBars) {
    const QString missing = PipeWireTestSession::missing(
        {"pipewire", "wireplumber", "pw-dump", "pw-cli", "dbus-daemon", "gdbus", "Xvfb", "chromium",
         "xdg-desktop-portal", "xdg-desktop-portal-gtk", "xdg-permission-store"});
    if (!missing.isEmpty()) {
        if (PipeWireTestSession::mustNotSkip()) FAIL() << missing.toStdString() << " is not installed";
        GTEST_SKIP() << missing.toStdString() << " is not installed";
    }
    test::ScopedTestEnv env;
    QTemporaryDir runtime;
    const QString profile = runtime.path() + "/chromium-profile";
    struct Cleanup {
        QString profile;
        ~Cleanup() { endProcessesUsing(profile); }
    } cleanup{profile};
    PipeWireTestSession session(runtime.path());

    // The portal's camera interface exists only with an access backend: the GTK one, on a display.
    // -noreset: the server would otherwise reset, refusing clients, each time its last one leaves.
    QProcess* xvfb = session.spawn("Xvfb", {"-displayfd", "1", "-screen", "0", "1280x800x24", "-nolisten", "tcp", "-noreset"});
    QString display;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            static const QRegularExpression number("^(\\d+)$", QRegularExpression::MultilineOption);
            const auto m = number.match(QString::fromLocal8Bit(xvfb->peek(4096)));
            if (m.hasMatch()) display = ":" + m.captured(1);
            return !display.isEmpty() || xvfb->state() == QProcess::NotRunning;
        },
        15000));
    ASSERT_FALSE(display.isEmpty()) << "Xvfb did not start: " << PipeWireTestSession::output(xvfb).toStdString();
    session.setEnv("DISPLAY", display);
    session.setEnv("XDG_CURRENT_DESKTOP", "GNOME");
    for (const char* service : {"org.freedesktop.portal.Desktop", "org.freedesktop.impl.portal.PermissionStore",
                                "org.freedesktop.impl.portal.desktop.gtk"})
        ASSERT_TRUE(session.allowService(service)) << service << " cannot be started by D-Bus";
    QString why;
    ASSERT_TRUE(session.start(&why)) << why.toStdString();

    QProcessEnvironment container;
    container.insert("OSTRELA_CONTAINER_DIR", QString::fromStdString(env.containerDir()));
    container.insert("QT_QPA_PLATFORM", "offscreen");
    QProcess* writer = session.spawn(QString::fromStdString(test::programPath("ostrela-testframes")), {"--fps", "30"},
                                     container);
    ASSERT_TRUE(QTest::qWaitFor(
        [] {
            const auto state = readFrameState();
            return state && state->generation >= 5;
        },
        10000))
        << PipeWireTestSession::output(writer).toStdString();
    QProcess* camera =
        session.spawn(QString::fromStdString(test::programPath("ostrela-camera")), {"--pipewire"}, container);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !session.node("Ostrela").isEmpty(); }, 15000))
        << PipeWireTestSession::output(camera).toStdString();

    // Granted beforehand, so no dialog waits on the invisible display.
    const QString store = "org.freedesktop.impl.portal.PermissionStore";
    QByteArray out;
    ASSERT_EQ(gdbus(session,
                    {"call", "--session", "--dest", store, "--object-path", "/org/freedesktop/impl/portal/PermissionStore",
                     "--method", store + ".SetPermission", "devices", "true", "camera", "", "['yes']"},
                    &out),
              0)
        << out.toStdString();
    // Chromium asks the portal whether a camera is there before it looks.
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            gdbus(session,
                  {"call", "--session", "--dest", "org.freedesktop.portal.Desktop", "--object-path",
                   "/org/freedesktop/portal/desktop", "--method", "org.freedesktop.DBus.Properties.Get",
                   "org.freedesktop.portal.Camera", "IsCameraPresent"},
                  &out);
            return out.contains("<true>");
        },
        20000))
        << "the camera portal sees no camera: " << out.toStdString();

    PageServer server;
    ASSERT_TRUE(server.listening());
    QProcess* chromium = session.spawn(
        "chromium", {"--headless=new", "--enable-features=WebRtcPipeWireCamera", "--use-fake-ui-for-media-stream",
                     "--no-sandbox", "--disable-gpu", "--no-first-run", "--disable-background-networking",
                     "--disable-component-update", "--disable-sync", "--user-data-dir=" + profile, server.url()});
    ASSERT_TRUE(QTest::qWaitFor([&] { return !server.report().isEmpty() || chromium->state() == QProcess::NotRunning; },
                                60000))
        << "no report from the page\n"
        << PipeWireTestSession::output(chromium).right(3000).toStdString();
    const QJsonObject report = QJsonDocument::fromJson(server.report()).object();
    ASSERT_FALSE(report.isEmpty()) << "chromium ended without a report\n"
                                   << PipeWireTestSession::output(chromium).right(3000).toStdString();
    ASSERT_FALSE(report.contains("error")) << report.value("error").toString().toStdString() << " after "
                                           << report.value("attempts").toInt() << " attempts";
    if (report.value("attempts").toInt() > 1)
        std::printf("getUserMedia succeeded at attempt %d\n", report.value("attempts").toInt());

    EXPECT_EQ(report.value("label").toString(), "Ostrela");
    EXPECT_EQ(report.value("devices").toArray(), QJsonArray({"Ostrela"}));
    EXPECT_EQ(report.value("width").toInt(), 1280);
    EXPECT_EQ(report.value("height").toInt(), 720);
    EXPECT_EQ(report.value("videoWidth").toInt(), 1280);
    EXPECT_EQ(report.value("videoHeight").toInt(), 720);

    const QJsonArray row = report.value("row").toArray();
    ASSERT_EQ(row.size(), 1280 * 4);
    std::vector<uint8_t> rgba(row.size());
    for (qsizetype i = 0; i < row.size(); ++i) rgba[size_t(i)] = uint8_t(row[i].toInt());
    const auto bars = test::measuredBars(rgba.data(), 1280, 4);
    for (int bar = 0; bar < 8; ++bar)
        for (int c = 0; c < 3; ++c)
            EXPECT_NEAR(bars[bar][c], test::barColour(bar)[c], 8) << test::barName(bar) << " bar, channel " << "RGB"[c];
    EXPECT_EQ(camera->state(), QProcess::Running) << PipeWireTestSession::output(camera).toStdString();
}

}  // namespace
