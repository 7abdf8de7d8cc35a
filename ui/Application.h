#pragma once
// The application object: owns the long-lived shared objects (library controller, extension
// manager, the three text services with the text modes and presets), the update checker, the
// menus and the windows opened by identifier. Everything here lives on the main thread.
//
// Windows built in ui/ (help, lower-third design, settings, onboarding) are wired in through the
// factories below. The entry point calls `ostrela::installStandardWindows(OstrelaApp&)` from
// "ui/StandardWindows.h" when that header exists; until a factory is set, a plain placeholder
// window opens instead.
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QWidget>

#include <functional>
#include <memory>

class QAction;
class QMenuBar;
class QMenu;

namespace ostrela {

class OverlayLibraryController;
class ExtensionManager;
class ExtensionPlatform;
class WeatherService;
class NowPlayingService;
class MediaPlayerBridge;
class RSSFeedService;
class LowerThirdModes;
class LowerThirdPresets;
class Updater;
namespace capture { class CaptureBackend; }

// Window identifiers; each opens at most one window.
inline constexpr const char kLowerThirdDesignWindowID[] = "lowerThirdDesign";
inline constexpr const char kHelpWindowID[] = "help";
// The settings window has no identifier of its own on other desktops; this one is ours.
inline constexpr const char kSettingsWindowID[] = "settings";

inline constexpr const char kLowerThirdDesignWindowTitle[] = "Lower Third Design";
inline constexpr const char kHelpWindowTitle[] = "Ostrela Help";
inline constexpr const char kMainWindowTitle[] = "Ostrela";

class OstrelaApp : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool isDarkMode READ isDarkMode WRITE setDarkMode NOTIFY darkModeChanged)

public:
    // Makes a window; the application owns what it returns (deleted on close unless the factory
    // clears Qt::WA_DeleteOnClose, in which case the same window is shown again next time).
    using WindowFactory = std::function<QWidget*()>;
    // Makes the onboarding sheet over `parent` (the main window). Whatever it returns is shown
    // window-modal; when it closes (QDialog::finished, a close event, or destruction) the
    // application stores "hasSeenOnboarding" = true.
    using OnboardingFactory = std::function<QWidget*(QWidget* parent)>;

    struct Options {
        // Null: this machine's extension platform.
        std::shared_ptr<ExtensionPlatform> extensionPlatform;
        // Null: the desktop's media players over D-Bus.
        std::shared_ptr<MediaPlayerBridge> mediaPlayerBridge;
        // Null: V4L2 cameras, or the synthetic camera when there is none (see captureBackend()).
        std::shared_ptr<capture::CaptureBackend> captureBackend;
        // Empty: the default library directory.
        QString libraryDirectory;
        // Whether the updater's background check runs at start (tests turn it off).
        bool startUpdater = true;
    };

    explicit OstrelaApp(QObject* parent = nullptr);
    explicit OstrelaApp(Options options, QObject* parent = nullptr);
    ~OstrelaApp() override;

    // The one application object, or null before it is made and after it is gone.
    static OstrelaApp* instance();

    // Shared objects, created on first use and kept for the life of the application.
    OverlayLibraryController* libraryController();
    ExtensionManager* extensionManager();
    WeatherService* weatherService();
    NowPlayingService* nowPlayingService();  // created with its stored "nowPlayingDisplayText"
    RSSFeedService* rssFeedService();
    // The four mode switches over the three services, and the saved phrases.
    LowerThirdModes* lowerThirdModes();
    LowerThirdPresets* lowerThirdPresets();
    // The camera capture service the main window's engine and the settings window's device
    // list share.
    std::shared_ptr<capture::CaptureBackend> captureBackend();
    Updater* updaterController();

    // ---- Windows ----
    void setWindowFactory(const QString& identifier, WindowFactory make);
    bool hasWindowFactory(const QString& identifier) const;
    // Opens the window of `identifier`, or brings it to the front when it is open. Returns it.
    // Escape and Ctrl+W close it.
    QWidget* openWindow(const QString& identifier);
    // Closes every window opened by identifier and the about windows (the main window closing).
    void closeWindows();
    // The open window of `identifier`, or null.
    QWidget* window(const QString& identifier) const;
    void openSettings() { openWindow(QString::fromLatin1(kSettingsWindowID)); }

    void setOnboardingFactory(OnboardingFactory make);
    // Shows the onboarding sheet over `parent` while "hasSeenOnboarding" is false and none is
    // shown; returns the sheet or null.
    QWidget* presentOnboardingIfNeeded(QWidget* parent);
    QWidget* onboardingSheet() const { return onboarding_; }

    // ---- Menus ----
    // Adds the application menu ("About Ostrela", "Check for Updates…", "Make a Donation…",
    // "Settings…", "Quit") and the help menu ("Ostrela Help", Ctrl+? and F1) to `bar`.
    // The update and donation commands appear only when their addresses are known
    // (Updater::hasFeed(), donationURL() not empty).
    void installMenus(QMenuBar* bar);
    // The about action: the credits dialog normally, the hidden credits panel with Alt held.
    void showAbout(bool alternate);
    void showAbout();  // looks at the keyboard modifiers
    QWidget* aboutDialog() const { return aboutDialog_; }
    QWidget* creditsPanel() const { return creditsPanel_; }
    // Opens the donation page in the browser; false (and nothing happens) when no URL can be formed.
    bool openDonationPage();
    // $OSTRELA_DONATION_URL, else the page this build was configured with (the CMake option
    // OSTRELA_DONATION_URL), else empty.
    static QString donationURL();
    static QString builtInDonationURL();
    // Asks the updater for a check with its own interface.
    void checkForUpdates();

    // ---- Appearance ----
    bool isDarkMode() const;
    void setDarkMode(bool dark);  // stores "appearanceIsDark" and applies it
    // Applies the stored appearance to the whole application (palette and style).
    void applyAppearance();

signals:
    void darkModeChanged(bool dark);
    void windowOpened(const QString& identifier, QWidget* window);

private:
    QWidget* makePlaceholder(const QString& identifier);
    void watchOnboarding(QWidget* sheet);
    void onboardingClosed();

    Options options_;
    std::unique_ptr<OverlayLibraryController> library_;
    std::unique_ptr<ExtensionManager> extensionManager_;
    std::unique_ptr<WeatherService> weather_;
    std::unique_ptr<NowPlayingService> nowPlaying_;
    std::unique_ptr<RSSFeedService> rssFeed_;
    std::unique_ptr<LowerThirdModes> modes_;
    std::unique_ptr<LowerThirdPresets> presets_;
    std::shared_ptr<capture::CaptureBackend> captureBackend_;
    Updater* updater_ = nullptr;

    QHash<QString, WindowFactory> factories_;
    QHash<QString, QPointer<QWidget>> windows_;
    OnboardingFactory onboardingFactory_;
    QPointer<QWidget> onboarding_;
    QPointer<QWidget> aboutDialog_;
    QPointer<QWidget> creditsPanel_;
    bool lastAppliedDark_ = false;
    bool appearanceApplied_ = false;
};

}  // namespace ostrela
