#include "ui/Application.h"

#include "ui/Appearance.h"
#include "pipeline/capture/CameraBackend.h"
#include "ui/Updater.h"
#include "extension/ExtensionManager.h"
#include "library/OverlayLibraryController.h"
#include "pipeline/Settings.h"
#include "sources/LowerThirdModes.h"
#include "sources/NowPlayingService.h"
#include "sources/RSSFeedService.h"
#include "sources/WeatherService.h"

#include "BuildAddresses.h"

#include <QAction>
#include <QApplication>
#include <QDesktopServices>
#include <QDialog>
#include <QEvent>
#include <QGuiApplication>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QUrl>
#include <QVBoxLayout>

namespace ostrela {

namespace {

OstrelaApp* gInstance = nullptr;

// Watches a window for closing, however it closes.
class CloseWatcher : public QObject {
public:
    CloseWatcher(QObject* target, std::function<void()> onClose) : QObject(target), onClose_(std::move(onClose)) {
        target->installEventFilter(this);
    }
    void fire() {
        if (auto f = std::exchange(onClose_, nullptr)) f();
    }

protected:
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::Close) fire();
        return false;
    }

private:
    std::function<void()> onClose_;
};

}  // namespace

QString creditsHtml() {
    // Three centred paragraphs at 11 points with 8 points between them, in the window text colour.
    const QString p = QStringLiteral("<p align=\"center\" style=\"margin-bottom:8pt; font-size:11pt;\">");
    return QStringLiteral("<html><body>") + p +
           QStringLiteral("<b>A private virtual camera for Ostrela.<br></b></p>") + p +
           QStringLiteral("Float an overlay image over your webcam feed, add a live lower-third bar with weather or "
                          "custom text, and send it all to Zoom (or anything else) as its own camera called "
                          "“Ostrela.”<br></p>") +
           p + QStringLiteral("Made for everyone who ever hosted a show from their kitchen table.</p></body></html>");
}

OstrelaApp::OstrelaApp(QObject* parent) : OstrelaApp(Options{}, parent) {}

OstrelaApp::OstrelaApp(Options options, QObject* parent) : QObject(parent), options_(std::move(options)) {
    gInstance = this;
    // The updater is made and started at once; its own schedule decides when it looks.
    updater_ = new Updater(this);
    if (options_.startUpdater) updater_->start();
}

OstrelaApp::~OstrelaApp() {
    for (auto& w : windows_)
        if (w) delete w.data();
    if (onboarding_) delete onboarding_.data();
    if (aboutDialog_) delete aboutDialog_.data();
    if (creditsPanel_) delete creditsPanel_.data();
    if (gInstance == this) gInstance = nullptr;
}

OstrelaApp* OstrelaApp::instance() { return gInstance; }

OverlayLibraryController* OstrelaApp::libraryController() {
    if (!library_)
        library_ = options_.libraryDirectory.isEmpty()
                       ? std::make_unique<OverlayLibraryController>()
                       : std::make_unique<OverlayLibraryController>(options_.libraryDirectory);
    return library_.get();
}

ExtensionManager* OstrelaApp::extensionManager() {
    if (!extensionManager_)
        extensionManager_ = options_.extensionPlatform ? std::make_unique<ExtensionManager>(options_.extensionPlatform)
                                                       : std::make_unique<ExtensionManager>();
    return extensionManager_.get();
}

WeatherService* OstrelaApp::weatherService() {
    if (!weather_) weather_ = std::make_unique<WeatherService>();
    return weather_.get();
}

NowPlayingService* OstrelaApp::nowPlayingService() {
    if (!nowPlaying_) nowPlaying_ = std::make_unique<NowPlayingService>(options_.mediaPlayerBridge);
    return nowPlaying_.get();
}

RSSFeedService* OstrelaApp::rssFeedService() {
    if (!rssFeed_) rssFeed_ = std::make_unique<RSSFeedService>();
    return rssFeed_.get();
}

LowerThirdModes* OstrelaApp::lowerThirdModes() {
    if (!modes_) modes_ = std::make_unique<LowerThirdModes>(weatherService(), nowPlayingService(), rssFeedService());
    return modes_.get();
}

LowerThirdPresets* OstrelaApp::lowerThirdPresets() {
    if (!presets_) presets_ = std::make_unique<LowerThirdPresets>();
    return presets_.get();
}

std::shared_ptr<capture::CaptureBackend> OstrelaApp::captureBackend() {
    if (!captureBackend_)
        captureBackend_ = options_.captureBackend ? options_.captureBackend
                                                  : std::shared_ptr<capture::CaptureBackend>(DesktopCaptureBackend::createDefault());
    return captureBackend_;
}

Updater* OstrelaApp::updaterController() { return updater_; }

// ---- Windows ----

void OstrelaApp::setWindowFactory(const QString& identifier, WindowFactory make) {
    factories_.insert(identifier, std::move(make));
}

bool OstrelaApp::hasWindowFactory(const QString& identifier) const { return factories_.contains(identifier); }

QWidget* OstrelaApp::window(const QString& identifier) const {
    const auto it = windows_.constFind(identifier);
    return it == windows_.constEnd() ? nullptr : it->data();
}

QWidget* OstrelaApp::openWindow(const QString& identifier) {
    QWidget* w = window(identifier);
    if (!w) {
        const auto f = factories_.constFind(identifier);
        w = (f != factories_.constEnd() && *f) ? (*f)() : nullptr;
        if (!w) w = makePlaceholder(identifier);
        if (!w) return nullptr;
        if (w->objectName().isEmpty()) w->setObjectName(identifier);
        // The keys that close a window on this desktop.
        for (const QKeySequence& keys : {QKeySequence(Qt::Key_Escape), QKeySequence(Qt::CTRL | Qt::Key_W)}) {
            auto* shortcut = new QShortcut(keys, w);
            shortcut->setContext(Qt::WindowShortcut);
            connect(shortcut, &QShortcut::activated, w, &QWidget::close);
        }
        windows_.insert(identifier, w);
        emit windowOpened(identifier, w);
    }
    if (w->isMinimized()) w->showNormal();
    w->show();
    w->raise();
    w->activateWindow();
    return w;
}

void OstrelaApp::closeWindows() {
    for (const QPointer<QWidget>& w : std::as_const(windows_))
        if (w) w->close();
    if (aboutDialog_) aboutDialog_->close();
    if (creditsPanel_) creditsPanel_->close();
}

QWidget* OstrelaApp::makePlaceholder(const QString& identifier) {
    auto* w = new QWidget(nullptr, Qt::Window);
    w->setAttribute(Qt::WA_DeleteOnClose);
    auto* layout = new QVBoxLayout(w);
    QString title = identifier;
    if (identifier == QLatin1String(kHelpWindowID)) {
        title = QString::fromLatin1(kHelpWindowTitle);
        w->resize(900, 600);
    } else if (identifier == QLatin1String(kLowerThirdDesignWindowID)) {
        title = QString::fromLatin1(kLowerThirdDesignWindowTitle);
    } else if (identifier == QLatin1String(kSettingsWindowID)) {
        title = QStringLiteral("Settings");
    }
    w->setWindowTitle(title);
    auto* label = new QLabel(title, w);
    label->setAlignment(Qt::AlignCenter);
    layout->addWidget(label);
    return w;
}

void OstrelaApp::setOnboardingFactory(OnboardingFactory make) { onboardingFactory_ = std::move(make); }

QWidget* OstrelaApp::presentOnboardingIfNeeded(QWidget* parent) {
    if (settings::hasSeenOnboarding()) return nullptr;
    if (onboarding_) return onboarding_;
    QWidget* sheet = onboardingFactory_ ? onboardingFactory_(parent) : nullptr;
    if (!sheet) {
        // Until the real sheet is wired in: a short welcome with one button.
        auto* d = new QDialog(parent);
        d->setWindowTitle(QStringLiteral("Welcome to Ostrela"));
        auto* l = new QVBoxLayout(d);
        auto* text = new QLabel(QStringLiteral("Ostrela turns your webcam into a dressed-up camera called “Ostrela” "
                                               "for your video calls."),
                                d);
        text->setWordWrap(true);
        l->addWidget(text);
        auto* ok = new QPushButton(QStringLiteral("Get Started"), d);
        ok->setDefault(true);
        QObject::connect(ok, &QPushButton::clicked, d, &QDialog::accept);
        l->addWidget(ok);
        sheet = d;
    }
    sheet->setAttribute(Qt::WA_DeleteOnClose);
    if (parent && !sheet->parentWidget()) sheet->setParent(parent, sheet->windowFlags() | Qt::Sheet);
    sheet->setWindowModality(Qt::WindowModal);
    onboarding_ = sheet;
    watchOnboarding(sheet);
    sheet->show();
    return sheet;
}

void OstrelaApp::watchOnboarding(QWidget* sheet) {
    auto* watcher = new CloseWatcher(sheet, [this] { onboardingClosed(); });
    // Only a sheet the user closes counts: one torn down with its window at quit does not.
    if (auto* d = qobject_cast<QDialog*>(sheet)) connect(d, &QDialog::finished, watcher, &CloseWatcher::fire);
}

void OstrelaApp::onboardingClosed() {
    // The sheet's flag is bound to "not hasSeenOnboarding": closing it stores that it was seen.
    if (!settings::hasSeenOnboarding()) settings::setHasSeenOnboarding(true);
}

// ---- Menus ----

void OstrelaApp::installMenus(QMenuBar* bar) {
    QMenu* appMenu = bar->addMenu(QStringLiteral("&Ostrela"));
    QAction* about = appMenu->addAction(QStringLiteral("About Ostrela"));
    about->setMenuRole(QAction::AboutRole);
    about->setObjectName(QStringLiteral("aboutAction"));
    connect(about, &QAction::triggered, this, [this] { showAbout(); });

    // Each only where this build (or the environment) names its address: a command that can
    // only fail is not offered.
    if (Updater::hasFeed()) {
        QAction* updates = appMenu->addAction(QStringLiteral("Check for Updates…"));
        updates->setObjectName(QStringLiteral("checkForUpdatesAction"));
        updates->setMenuRole(QAction::ApplicationSpecificRole);
        connect(updates, &QAction::triggered, this, &OstrelaApp::checkForUpdates);
    }
    if (!donationURL().isEmpty()) {
        QAction* donate = appMenu->addAction(QStringLiteral("Make a Donation…"));
        donate->setObjectName(QStringLiteral("donationAction"));
        donate->setMenuRole(QAction::ApplicationSpecificRole);
        donate->setToolTip(QStringLiteral("Support Ostrela's development with a donation."));
        donate->setStatusTip(donate->toolTip());
        connect(donate, &QAction::triggered, this, [this] { openDonationPage(); });
    }

    appMenu->addSeparator();
    QAction* prefs = appMenu->addAction(QStringLiteral("Settings…"));
    prefs->setObjectName(QStringLiteral("settingsAction"));
    prefs->setMenuRole(QAction::PreferencesRole);
    prefs->setShortcut(QKeySequence(QStringLiteral("Ctrl+,")));
    connect(prefs, &QAction::triggered, this, &OstrelaApp::openSettings);
    appMenu->addSeparator();
    QAction* quit = appMenu->addAction(QStringLiteral("Quit Ostrela"));
    quit->setMenuRole(QAction::QuitRole);
    quit->setShortcut(QKeySequence::Quit);
    connect(quit, &QAction::triggered, qApp, &QCoreApplication::quit, Qt::QueuedConnection);

    QMenu* help = bar->addMenu(QStringLiteral("&Help"));
    QAction* helpAction = help->addAction(QStringLiteral("Ostrela Help"));
    helpAction->setObjectName(QStringLiteral("helpAction"));
    // One spelling of the key only: the keyboard reports Ctrl+Shift+/ on a US layout also as
    // Ctrl+?, and two bindings matching one press make the shortcut ambiguous (nothing happens).
    // "Ctrl+?" matches wherever "?" sits on the layout. Plus the desktop's F1.
    helpAction->setShortcuts({QKeySequence(QStringLiteral("Ctrl+?")), QKeySequence(QKeySequence::HelpContents)});
    helpAction->setShortcutContext(Qt::ApplicationShortcut);
    connect(helpAction, &QAction::triggered, this, [this] { openWindow(QString::fromLatin1(kHelpWindowID)); });
}

void OstrelaApp::showAbout() { showAbout(QGuiApplication::queryKeyboardModifiers().testFlag(Qt::AltModifier)); }

void OstrelaApp::showAbout(bool alternate) {
    if (alternate) {
        if (!creditsPanel_) {
            auto* panel = new QWidget(nullptr, Qt::Tool | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
            panel->setObjectName(QStringLiteral("creditsPanel"));
            panel->setWindowTitle(QStringLiteral("About Ostrela"));
            panel->setFixedSize(340, 560);
            auto* l = new QVBoxLayout(panel);
            auto* icon = new QLabel(panel);
            icon->setPixmap(QApplication::windowIcon().pixmap(96, 96));
            icon->setAlignment(Qt::AlignCenter);
            l->addWidget(icon);
            auto* text = new QLabel(panel);
            text->setWordWrap(true);
            text->setAlignment(Qt::AlignCenter);
            text->setText(QStringLiteral(
                "<h3>Ostrela</h3><p>Version %1</p><p>Behind the scenes: the frame pipeline, sixteen effects, "
                "the lower-third bar and the library were all built to run a show from one window.</p>"
                "<p>Thanks to the people behind Qt, FFmpeg, OpenCV, libyuv, libjpeg-turbo and v4l2loopback.</p>"
                "<p><i>Break a leg.</i></p>")
                              .arg(QStringLiteral(OSTRELA_VERSION)));
            l->addWidget(text, 1);
            // Kept when closed, for the life of the process.
            panel->setAttribute(Qt::WA_DeleteOnClose, false);
            if (QScreen* s = QGuiApplication::primaryScreen())
                panel->move(s->availableGeometry().center() - QPoint(170, 280));
            creditsPanel_ = panel;
        }
        creditsPanel_->show();
        creditsPanel_->raise();
        creditsPanel_->activateWindow();
        return;
    }
    if (!aboutDialog_) {
        auto* d = new QDialog();
        d->setObjectName(QStringLiteral("aboutDialog"));
        d->setWindowTitle(QStringLiteral("About Ostrela"));
        d->setAttribute(Qt::WA_DeleteOnClose);
        auto* l = new QVBoxLayout(d);
        auto* icon = new QLabel(d);
        icon->setPixmap(QApplication::windowIcon().pixmap(64, 64));
        icon->setAlignment(Qt::AlignCenter);
        l->addWidget(icon);
        auto* name = new QLabel(QStringLiteral("<b style=\"font-size:14pt\">Ostrela</b>"), d);
        name->setAlignment(Qt::AlignCenter);
        l->addWidget(name);
        auto* version = new QLabel(QStringLiteral("Version %1").arg(QStringLiteral(OSTRELA_VERSION)), d);
        version->setAlignment(Qt::AlignCenter);
        l->addWidget(version);
        auto* credits = new QLabel(creditsHtml(), d);
        credits->setObjectName(QStringLiteral("credits"));
        credits->setWordWrap(true);
        credits->setAlignment(Qt::AlignCenter);
        credits->setMinimumWidth(300);
        l->addWidget(credits);
        auto* ok = new QPushButton(QStringLiteral("OK"), d);
        connect(ok, &QPushButton::clicked, d, &QDialog::accept);
        l->addWidget(ok, 0, Qt::AlignCenter);
        aboutDialog_ = d;
    }
    aboutDialog_->show();
    aboutDialog_->raise();
    aboutDialog_->activateWindow();
}

QString OstrelaApp::donationURL() {
    const QString env = qEnvironmentVariable("OSTRELA_DONATION_URL");
    return env.isEmpty() ? builtInDonationURL() : env;
}

QString OstrelaApp::builtInDonationURL() { return QStringLiteral(OSTRELA_BUILD_DONATION_URL); }

bool OstrelaApp::openDonationPage() {
    const QUrl url(donationURL(), QUrl::StrictMode);
    if (!url.isValid() || url.scheme().isEmpty() || url.host().isEmpty()) return false;
    QDesktopServices::openUrl(url);
    return true;
}

void OstrelaApp::checkForUpdates() { updater_->checkForUpdates(); }

// ---- Appearance ----

bool OstrelaApp::isDarkMode() const { return settings::appearanceIsDark(); }

void OstrelaApp::setDarkMode(bool dark) {
    if (settings::appearanceIsDark() != dark) settings::setAppearanceIsDark(dark);
    applyAppearance();
}

void OstrelaApp::applyAppearance() {
    const bool dark = settings::appearanceIsDark();
    if (appearanceApplied_ && dark == lastAppliedDark_) return;
    appearanceApplied_ = true;
    lastAppliedDark_ = dark;
    applyColorScheme(dark);
    emit darkModeChanged(dark);
}

}  // namespace ostrela
