#include "ui/Appearance.h"
#include "pipeline/capture/CameraBackend.h"
#include "ui/Updater.h"
#include "tests/ui/UiTestUtil.h"

#include <QAction>
#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QTcpServer>
#include <QTcpSocket>

#include <gtest/gtest.h>

using namespace ostrela;

TEST(Windows, EachIdentifierOpensAtMostOneWindow) {
    test::ScopedTestEnv env;
    test::AppFixture fx(env);
    int made = 0;
    fx.app->setWindowFactory(QString::fromLatin1(kHelpWindowID), [&]() -> QWidget* {
        ++made;
        auto* w = new QWidget;
        w->setAttribute(Qt::WA_DeleteOnClose);
        w->setWindowTitle(QStringLiteral("Ostrela Help"));
        return w;
    });
    QWidget* a = fx.app->openWindow(QStringLiteral("help"));
    QWidget* b = fx.app->openWindow(QStringLiteral("help"));
    EXPECT_EQ(a, b);
    EXPECT_EQ(made, 1);
    EXPECT_TRUE(a->isVisible());
    // Another identifier has its own window (a placeholder until one is wired in).
    QWidget* design = fx.app->openWindow(QStringLiteral("lowerThirdDesign"));
    ASSERT_NE(design, nullptr);
    EXPECT_NE(design, a);
    EXPECT_EQ(design->windowTitle(), QStringLiteral("Lower Third Design"));
    EXPECT_EQ(fx.app->openWindow(QStringLiteral("lowerThirdDesign")), design);
    // Closed and gone, the next request makes a new one.
    a->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(fx.app->window(QStringLiteral("help")), nullptr);
    fx.app->openWindow(QStringLiteral("help"));
    EXPECT_EQ(made, 2);
}

namespace {
QStringList menuTexts(const QMenuBar& bar) {
    QStringList texts;
    for (QAction* top : bar.actions())
        for (QAction* a : top->menu()->actions())
            if (!a->isSeparator() && a->isVisible()) texts << a->text();
    return texts;
}

// Sets an environment variable for one scope, restoring what was there.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const QByteArray& value) : name_(name), had_(qEnvironmentVariableIsSet(name)) {
        old_ = qgetenv(name);
        if (value.isNull())
            qunsetenv(name);
        else
            qputenv(name, value);
    }
    ~ScopedEnv() {
        if (had_)
            qputenv(name_, old_);
        else
            qunsetenv(name_);
    }

private:
    const char* name_;
    bool had_;
    QByteArray old_;
};
}  // namespace

TEST(Menus, CommandsTextsShortcutsAndActions) {
    test::ScopedTestEnv env;
    test::AppFixture fx(env);
    ScopedEnv feed("OSTRELA_UPDATE_FEED_URL", "http://127.0.0.1:9/feed.json");
    ScopedEnv page("OSTRELA_DONATION_URL", "http://127.0.0.1:9/donate");
    QMenuBar bar;
    fx.app->installMenus(&bar);
    EXPECT_EQ(menuTexts(bar), (QStringList{"About Ostrela", "Check for Updates…", "Make a Donation…", "Settings…",
                                           "Quit Ostrela", "Ostrela Help"}));
    auto* donate = bar.findChild<QAction*>(QStringLiteral("donationAction"));
    ASSERT_NE(donate, nullptr);
    EXPECT_EQ(donate->toolTip(), QStringLiteral("Support Ostrela's development with a donation."));
    auto* help = bar.findChild<QAction*>(QStringLiteral("helpAction"));
    ASSERT_NE(help, nullptr);
    EXPECT_TRUE(help->shortcuts().contains(QKeySequence(QStringLiteral("Ctrl+?"))));
    // Triggering opens the help window, and again only brings it forward.
    help->trigger();
    QWidget* w = fx.app->window(QStringLiteral("help"));
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->windowTitle(), QStringLiteral("Ostrela Help"));
    EXPECT_EQ(w->size(), QSize(900, 600));
    help->trigger();
    EXPECT_EQ(fx.app->window(QStringLiteral("help")), w);
}

TEST(About, CreditsAndTheHiddenPanelOpenedOnce) {
    test::ScopedTestEnv env;
    test::AppFixture fx(env);
    fx.app->showAbout(false);
    ASSERT_NE(fx.app->aboutDialog(), nullptr);
    auto* credits = fx.app->aboutDialog()->findChild<QLabel*>(QStringLiteral("credits"));
    ASSERT_NE(credits, nullptr);
    const QString html = credits->text();
    EXPECT_TRUE(html.contains(QStringLiteral("<b>A private virtual camera for Ostrela.<br></b>")));
    EXPECT_TRUE(html.contains(QStringLiteral(
        "Float an overlay image over your webcam feed, add a live lower-third bar with weather or custom text, and "
        "send it all to Zoom (or anything else) as its own camera called “Ostrela.”")));
    EXPECT_EQ(html.count(QStringLiteral("<p align=\"center\" style=\"margin-bottom:8pt; font-size:11pt;\">")), 3);

    fx.app->showAbout(true);
    QWidget* panel = fx.app->creditsPanel();
    ASSERT_NE(panel, nullptr);
    EXPECT_EQ(panel->size(), QSize(340, 560));
    EXPECT_EQ(panel->windowTitle(), QStringLiteral("About Ostrela"));
    panel->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    fx.app->showAbout(true);
    EXPECT_EQ(fx.app->creditsPanel(), panel) << "kept when closed and brought back";
    EXPECT_TRUE(panel->isVisible());
    int panels = 0;
    for (QWidget* top : QApplication::topLevelWidgets())
        if (top->objectName() == QLatin1String("creditsPanel")) ++panels;
    EXPECT_EQ(panels, 1);
}

// Without an address for them, the update check and the donation page are not offered at all;
// the environment names them at run time, and either one alone brings its own command back.
TEST(Menus, UpdateAndDonationCommandsOnlyWithTheirAddresses) {
    test::ScopedTestEnv env;
    test::AppFixture fx(env);
    const bool builtInFeed = !Updater::builtInFeedURL().isEmpty();
    const bool builtInPage = !OstrelaApp::builtInDonationURL().isEmpty();
    {
        ScopedEnv feed("OSTRELA_UPDATE_FEED_URL", QByteArray());
        ScopedEnv page("OSTRELA_DONATION_URL", QByteArray());
        EXPECT_EQ(Updater::feedURL(), Updater::builtInFeedURL());
        EXPECT_EQ(OstrelaApp::donationURL(), OstrelaApp::builtInDonationURL());
        QMenuBar bar;
        fx.app->installMenus(&bar);
        const QStringList texts = menuTexts(bar);
        EXPECT_EQ(texts.contains("Check for Updates…"), builtInFeed);
        EXPECT_EQ(texts.contains("Make a Donation…"), builtInPage);
        EXPECT_EQ(bar.findChild<QAction*>(QStringLiteral("checkForUpdatesAction")) != nullptr, builtInFeed);
        EXPECT_EQ(bar.findChild<QAction*>(QStringLiteral("donationAction")) != nullptr, builtInPage);
        EXPECT_TRUE(texts.contains("About Ostrela"));
        EXPECT_TRUE(texts.contains("Settings…"));
    }
    {
        ScopedEnv feed("OSTRELA_UPDATE_FEED_URL", "http://127.0.0.1:9/feed.json");
        ScopedEnv page("OSTRELA_DONATION_URL", QByteArray());
        EXPECT_EQ(Updater::feedURL(), QStringLiteral("http://127.0.0.1:9/feed.json"));
        QMenuBar bar;
        fx.app->installMenus(&bar);
        const QStringList texts = menuTexts(bar);
        EXPECT_EQ(texts.indexOf("Check for Updates…"), 1);
        EXPECT_EQ(texts.contains("Make a Donation…"), builtInPage);
    }
    {
        ScopedEnv feed("OSTRELA_UPDATE_FEED_URL", QByteArray());
        ScopedEnv page("OSTRELA_DONATION_URL", "http://127.0.0.1:9/donate");
        EXPECT_EQ(OstrelaApp::donationURL(), QStringLiteral("http://127.0.0.1:9/donate"));
        QMenuBar bar;
        fx.app->installMenus(&bar);
        const QStringList texts = menuTexts(bar);
        EXPECT_EQ(texts.contains("Check for Updates…"), builtInFeed);
        EXPECT_EQ(texts.indexOf("Make a Donation…"), builtInFeed ? 2 : 1);
    }
}

TEST(Updater, NoFeedNoBackgroundCheck) {
    if (!Updater::builtInFeedURL().isEmpty()) GTEST_SKIP() << "this build names a release feed";
    ScopedEnv feed("OSTRELA_UPDATE_FEED_URL", QByteArray());
    Updater updater;
    int presented = 0;
    updater.setPresenter([&](const UpdateCheckResult&) { ++presented; });
    updater.start(0);
    EXPECT_TRUE(updater.isStarted());
    test::waitUntil([] { return false; }, 200);
    EXPECT_FALSE(updater.lastResult().has_value()) << "nothing was asked";
    // Asked anyway (no menu offers it), the answer says why.
    updater.checkForUpdates();
    ASSERT_TRUE(updater.lastResult().has_value());
    EXPECT_EQ(updater.lastResult()->outcome, UpdateCheckResult::Outcome::failed);
    EXPECT_EQ(updater.lastResult()->error, QStringLiteral("this build has no release feed"));
    EXPECT_EQ(presented, 1);
}

TEST(Donation, NothingHappensWithoutAUsableAddress) {
    test::ScopedTestEnv env;
    test::AppFixture fx(env);
    {
        ScopedEnv page("OSTRELA_DONATION_URL", "no address at all");
        EXPECT_FALSE(fx.app->openDonationPage());
    }
    if (OstrelaApp::builtInDonationURL().isEmpty()) {
        ScopedEnv page("OSTRELA_DONATION_URL", QByteArray());
        EXPECT_EQ(OstrelaApp::donationURL(), QString());
        EXPECT_FALSE(fx.app->openDonationPage());
    }
}

TEST(Appearance, DarkAndLightSchemesFollowTheSetting) {
    test::ScopedTestEnv env;
    test::AppFixture fx(env);
    fx.app->setDarkMode(true);
    EXPECT_TRUE(settings::appearanceIsDark());
    EXPECT_LT(QApplication::palette().color(QPalette::Window).lightnessF(), 0.25);
    EXPECT_GT(QApplication::palette().color(QPalette::WindowText).lightnessF(), 0.75);
    fx.app->setDarkMode(false);
    EXPECT_FALSE(settings::appearanceIsDark());
    EXPECT_GT(QApplication::palette().color(QPalette::Window).lightnessF(), 0.75);
    // Written by the settings window (another store write), picked up on the next apply.
    settings::setAppearanceIsDark(true);
    fx.app->applyAppearance();
    EXPECT_LT(QApplication::palette().color(QPalette::Window).lightnessF(), 0.25);
    fx.app->setDarkMode(false);
}

// ---- Updater ----

TEST(Updater, VersionComparison) {
    EXPECT_EQ(compareVersions(QStringLiteral("0.1.0"), QStringLiteral("0.1.0")), 0);
    EXPECT_EQ(compareVersions(QStringLiteral("v0.2"), QStringLiteral("0.1.9")), 1);
    EXPECT_EQ(compareVersions(QStringLiteral("0.10.0"), QStringLiteral("0.9.9")), 1);
    EXPECT_EQ(compareVersions(QStringLiteral("1.0"), QStringLiteral("1.0.0")), 0);
    EXPECT_EQ(compareVersions(QStringLiteral("1.0.0-beta"), QStringLiteral("1.0.0")), -1);
    EXPECT_EQ(compareVersions(QStringLiteral("garbage"), QStringLiteral("0.0.1")), -1);
}

TEST(Updater, FeedShapes) {
    auto one = parseReleaseFeed(R"({"version":"0.3.1","url":"https://example.org/r","notes":"fixes"})");
    ASSERT_TRUE(one);
    EXPECT_EQ(one->version, QStringLiteral("0.3.1"));
    EXPECT_EQ(one->url, QUrl(QStringLiteral("https://example.org/r")));
    auto list = parseReleaseFeed(R"([{"tag_name":"v0.2.0","html_url":"https://e/2"},{"tag_name":"v0.4.0","html_url":"https://e/4"},
                                     {"tag_name":"v9.0.0","prerelease":true}])");
    ASSERT_TRUE(list);
    EXPECT_EQ(list->version, QStringLiteral("v0.4.0"));
    // Only web pages are offered for opening.
    auto odd = parseReleaseFeed(R"({"version":"1.0","url":"file:///etc/passwd"})");
    ASSERT_TRUE(odd);
    EXPECT_FALSE(odd->url.isValid());
    EXPECT_FALSE(parseReleaseFeed("not json"));
    EXPECT_FALSE(parseReleaseFeed(R"({"url":"https://e"})"));
}

namespace {

// Answers every request with one fixed HTTP response.
class OneAnswerServer : public QTcpServer {
public:
    explicit OneAnswerServer(QByteArray response) : response_(std::move(response)) {
        listen(QHostAddress::LocalHost, 0);
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* s = nextPendingConnection()) {
                connect(s, &QTcpSocket::readyRead, s, [this, s] {
                    if (!s->readAll().contains("\r\n\r\n")) return;
                    s->write(response_);
                    s->disconnectFromHost();
                });
            }
        });
    }
    QString url() const { return QStringLiteral("http://127.0.0.1:%1/latest.json").arg(serverPort()); }

private:
    QByteArray response_;
};

QByteArray httpOK(const QByteArray& body) {
    return "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: " + QByteArray::number(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

UpdateCheckResult runCheck(Updater& updater, bool userInitiated, int* presented) {
    std::optional<UpdateCheckResult> result;
    QObject::connect(&updater, &Updater::checkFinished, &updater, [&](const UpdateCheckResult& r) { result = r; });
    updater.setPresenter([presented](const UpdateCheckResult&) { ++*presented; });
    updater.check(userInitiated);
    test::waitUntil([&] { return result.has_value(); }, 20000);
    return result.value_or(UpdateCheckResult{});
}

}  // namespace

TEST(Updater, ReportsANewerReleaseAndStaysQuietInTheBackgroundWhenCurrent) {
    OneAnswerServer newer(httpOK(R"({"version":"99.0.0","url":"https://example.org/ostrela"})"));
    qputenv("OSTRELA_UPDATE_FEED_URL", newer.url().toUtf8());
    Updater updater;
    int presented = 0;
    UpdateCheckResult r = runCheck(updater, false, &presented);
    EXPECT_EQ(r.outcome, UpdateCheckResult::Outcome::updateAvailable);
    EXPECT_EQ(presented, 1) << "a background check speaks up when something is new";
    EXPECT_TRUE(r.message().contains(QStringLiteral("99.0.0")));
    EXPECT_TRUE(r.message().contains(QStringLiteral("never installs")));

    OneAnswerServer same(httpOK(QByteArray(R"({"version":")") + OSTRELA_VERSION + R"("})"));
    qputenv("OSTRELA_UPDATE_FEED_URL", same.url().toUtf8());
    Updater quiet;
    int quietPresented = 0;
    r = runCheck(quiet, false, &quietPresented);
    EXPECT_EQ(r.outcome, UpdateCheckResult::Outcome::upToDate);
    EXPECT_EQ(quietPresented, 0);
    Updater asked;
    int askedPresented = 0;
    r = runCheck(asked, true, &askedPresented);
    EXPECT_EQ(r.outcome, UpdateCheckResult::Outcome::upToDate);
    EXPECT_EQ(askedPresented, 1) << "Check for Updates… always answers";
    EXPECT_EQ(r.title(), QStringLiteral("You’re up to date!"));
    qunsetenv("OSTRELA_UPDATE_FEED_URL");
}

TEST(Updater, FailuresAreReportedToTheUserWhoAsked) {
    OneAnswerServer broken(QByteArray("HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\nConnection: close\r\n\r\nnot found"));
    qputenv("OSTRELA_UPDATE_FEED_URL", broken.url().toUtf8());
    Updater updater;
    int presented = 0;
    UpdateCheckResult r = runCheck(updater, true, &presented);
    EXPECT_EQ(r.outcome, UpdateCheckResult::Outcome::failed);
    EXPECT_EQ(presented, 1);
    EXPECT_TRUE(r.message().startsWith(QStringLiteral("An error occurred while checking for updates: ")));

    qputenv("OSTRELA_UPDATE_FEED_URL", "::not a url::");
    Updater invalid;
    int p2 = 0;
    r = runCheck(invalid, false, &p2);
    EXPECT_EQ(r.outcome, UpdateCheckResult::Outcome::failed);
    EXPECT_EQ(p2, 0) << "a failed background check stays quiet";
    qunsetenv("OSTRELA_UPDATE_FEED_URL");
}

// ---- Camera without hardware ----

namespace {
class NoCameras : public capture::CaptureBackend {
public:
    std::vector<capture::CaptureDeviceInfo> devices;
    capture::CaptureAuthorization authorizationStatus() override { return capture::CaptureAuthorization::denied; }
    std::vector<capture::CaptureDeviceInfo> discoverDevices() override { return devices; }
    std::unique_ptr<capture::CaptureStream> openDevice(const capture::CaptureDeviceInfo&, QString* e) override {
        if (e) *e = QStringLiteral("no such device");
        return nullptr;
    }
};
}  // namespace

TEST(CameraFallback, TestPatternWhenNoPhysicalCameraExists) {
    auto none = std::make_shared<NoCameras>();
    // Our own virtual camera is not a camera to capture from.
    none->devices.push_back({QStringLiteral("Ostrela"), QStringLiteral("ostrela-0"), QStringLiteral("/dev/video9"), {}});
    DesktopCaptureBackend backend(none);
    auto devices = backend.discoverDevices();
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[0].localizedName, QString::fromLatin1(kSyntheticCameraName));
    EXPECT_TRUE(backend.usedSyntheticCamera());
    EXPECT_EQ(backend.authorizationStatus(), capture::CaptureAuthorization::authorized);
    QString error;
    auto stream = backend.openDevice(devices[0], &error);
    EXPECT_NE(stream, nullptr) << error.toStdString();

    none->devices.push_back({QStringLiteral("USB Camera"), QStringLiteral("usb-1"), QStringLiteral("/dev/video0"), {}});
    devices = backend.discoverDevices();
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_FALSE(backend.usedSyntheticCamera());
    EXPECT_EQ(devices[1].localizedName, QStringLiteral("USB Camera"));
}
