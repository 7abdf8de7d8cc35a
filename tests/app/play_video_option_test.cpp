// `ostrela --start-camera --play-video` run as a user starts it: the library's selected video
// plays on into the published frame without a click, and without a video the option says so on
// standard error while the camera picture keeps going.
#include "library/LibraryModel.h"
#include "pipeline/FrameBuffer.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>
#include <QThread>
#include <QUuid>

#include <array>
#include <cstdint>

using namespace ostrela;

namespace {

const QString kBin = QStringLiteral(OSTRELA_BINARY_DIR);

struct Home {
    QTemporaryDir dir;
    QString path(const QString& sub) const { return dir.path() + '/' + sub; }

    Home() {
        for (const char* sub : {"config", "container", "data", "library", "runtime"}) QDir().mkpath(path(sub));
        QFile::setPermissions(path("runtime"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        // No onboarding sheet and no activation prompt: the picture is what is measured.
        QFile f(path("config/com.morwick.Ostrela.json"));
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(R"({"hasSeenOnboarding": true, "hasAttemptedInitialActivation": true})");
    }

    QProcessEnvironment env() const {
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert("OSTRELA_CONFIG_DIR", path("config"));
        e.insert("OSTRELA_CONTAINER_DIR", path("container"));
        e.insert("OSTRELA_DATA_DIR", path("data"));
        e.insert("OSTRELA_LIBRARY_DIR", path("library"));
        e.insert("XDG_RUNTIME_DIR", path("runtime"));
        e.insert("OSTRELA_SYNTHETIC_CAMERA", "1");
        e.insert("QT_QPA_PLATFORM", "offscreen");
        return e;
    }

    // The mean BGRA of a 64×64 block at the frame's centre, or nothing before a frame exists.
    std::array<double, 4> centre() const {
        QFile f(path(QStringLiteral("container/") + kFrameFileName));
        std::array<double, 4> sum{};
        if (!f.open(QIODevice::ReadOnly) || f.size() < 1280 * 720 * 4) return sum;
        const QByteArray all = f.readAll();
        const auto* p = reinterpret_cast<const uint8_t*>(all.constData());
        for (int y = 328; y < 392; ++y)
            for (int x = 608; x < 672; ++x)
                for (int c = 0; c < 4; ++c) sum[c] += p[(size_t(y) * 1280 + x) * 4 + c];
        for (double& v : sum) v /= 64.0 * 64.0;
        return sum;
    }
};

bool isRed(const std::array<double, 4>& bgra) { return bgra[2] > 200 && bgra[1] < 50 && bgra[0] < 50 && bgra[3] > 250; }
bool isGreen(const std::array<double, 4>& bgra) { return bgra[1] > 200 && bgra[2] < 50 && bgra[0] < 50 && bgra[3] > 250; }

// Polls the centre until `want` holds or 30 s pass; returns the last reading.
template <class Pred>
std::array<double, 4> waitFor(const Home& home, QProcess& app, Pred want) {
    QElapsedTimer timer;
    timer.start();
    std::array<double, 4> last{};
    while (timer.elapsed() < 30000 && app.state() == QProcess::Running) {
        last = home.centre();
        if (want(last)) break;
        QThread::msleep(200);
    }
    return last;
}

void stop(QProcess& app) {
    app.terminate();
    if (!app.waitForFinished(10000)) app.kill();
    app.waitForFinished(5000);
}

}  // namespace

TEST(PlayVideoOption, TheSelectedVideoPlaysIntoThePublishedFrame) {
    Home home;
    const QString id = uuidString(QUuid::createUuid());
    const QString file = id + QStringLiteral(".mp4");
    const int made = QProcess::execute(
        "ffmpeg", {"-v", "error", "-y", "-f", "lavfi", "-i",
                   // Red for its first second, green after: a paused video shows red only.
                   "color=c=red:s=1280x720:r=30:d=1[a];color=c=lime:s=1280x720:r=30:d=19[b];[a][b]concat=n=2:v=1:a=0",
                   "-pix_fmt",
                   "yuv420p", "-c:v", "libx264", "-preset", "ultrafast", home.path("library/" + file)});
    ASSERT_EQ(made, 0) << "ffmpeg could not make the test video";
    OverlayLibraryItem item;
    item.id = *parseUuid(id);
    item.fileName = file;
    item.displayName = QStringLiteral("Red");
    item.kind = OverlayLibraryItemKind::video;
    LibraryManifest manifest;
    manifest.items = {item};
    QFile m(home.path("library/manifest.json"));
    ASSERT_TRUE(m.open(QIODevice::WriteOnly));
    m.write(encodeManifest(manifest));
    m.close();

    QProcess app;
    app.setProcessEnvironment(home.env());
    app.start(kBin + "/ostrela", {"--start-camera", "--play-video"});
    ASSERT_TRUE(app.waitForStarted(10000));
    const auto seen = waitFor(home, app, isGreen);
    const QString err = QString::fromUtf8(app.readAllStandardError());
    stop(app);
    EXPECT_TRUE(isGreen(seen)) << "centre BGRA " << seen[0] << ' ' << seen[1] << ' ' << seen[2] << ' ' << seen[3];
    EXPECT_FALSE(err.contains("--play-video")) << err.toStdString();
}

TEST(PlayVideoOption, WithoutAVideoItSaysSoAndTheCameraGoesOn) {
    Home home;
    QProcess app;
    app.setProcessEnvironment(home.env());
    app.start(kBin + "/ostrela", {"--start-camera", "--play-video"});
    ASSERT_TRUE(app.waitForStarted(10000));
    // The test pattern is published: an opaque, non-black centre.
    const auto seen = waitFor(home, app, [](const auto& c) { return c[3] > 250 && c[0] + c[1] + c[2] > 60; });
    const bool running = app.state() == QProcess::Running;
    stop(app);
    const QString err = QString::fromUtf8(app.readAllStandardError());
    EXPECT_TRUE(running);
    EXPECT_GT(seen[3], 250);
    EXPECT_GT(seen[0] + seen[1] + seen[2], 60);
    EXPECT_FALSE(isRed(seen) || isGreen(seen));
    EXPECT_TRUE(err.contains("ostrela: --play-video: no playable video is selected in the library\n")) << err.toStdString();
}
