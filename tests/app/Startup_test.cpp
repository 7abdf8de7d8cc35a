#include "extension/ExtensionManager.h"
#include "library/OverlayLibraryController.h"
#include "pipeline/CameraEngine.h"
#include "pipeline/OverlayController.h"
#include "sources/WeatherService.h"
#include "pipeline/PerformanceMonitor.h"
#include "sources/LowerThirdModes.h"
#include "tests/ui/UiTestUtil.h"
#include "ui/ContentViewModel.h"
#include "ui/MainWindow.h"

#include <QApplication>
#include <QDialog>
#include <QFile>

#include <gtest/gtest.h>

using namespace ostrela;

namespace {

ContentViewModel::Dependencies depsOf(OstrelaApp& app) {
    ContentViewModel::Dependencies d;
    d.libraryController = app.libraryController();
    d.extensionManager = app.extensionManager();
    d.weatherService = app.weatherService();
    d.nowPlayingService = app.nowPlayingService();
    d.rssFeedService = app.rssFeedService();
    d.modes = app.lowerThirdModes();
    d.presets = app.lowerThirdPresets();
    d.captureBackend = app.captureBackend();
    return d;
}

}  // namespace

TEST(StartupSequence, RunsInOrderAndActivatesOncePerInstallation) {
    test::ScopedTestEnv env;
    // A crash left full screen on; an image sits in the library manifest from a previous run.
    settings::setIsOverlayFullScreen(true);
    test::AppFixture first(env);
    const QString image = test::writePNG(env, QStringLiteral("red.png"), Qt::red);
    first.app->libraryController()->addFiles({image});
    ASSERT_EQ(first.app->libraryController()->items().size(), 1);
    first.app->libraryController()->setSelectedID(QUuid());

    // What the world looked like when the activation request went out.
    bool fullScreenWasReset = false, flagWasSet = false, libraryLoaded = false, monitorRunning = false;
    bool overlayApplied = false;
    ContentViewModel* current = nullptr;
    OverlayLibraryController* currentLibrary = nullptr;
    first.platform->onActivation = [&] {
        fullScreenWasReset = !settings::isOverlayFullScreen();
        flagWasSet = settings::hasAttemptedInitialActivation();
        libraryLoaded = currentLibrary && currentLibrary->isPasteMonitorInstalled() && currentLibrary->items().size() == 1;
        monitorRunning = current && current->performanceMonitor()->isRunning();
        overlayApplied = QFile::exists(OverlayController::overlayFilePath());
    };

    {
        // A fresh controller, as at launch: the manifest is read by the start-up sequence.
        OverlayLibraryController library(QString::fromStdString(env.dataDir()) + QStringLiteral("/Library"));
        auto deps = depsOf(*first.app);
        deps.libraryController = &library;
        ContentViewModel model(deps);
        current = &model;
        currentLibrary = &library;
        EXPECT_TRUE(library.items().isEmpty());
        model.appear();
        EXPECT_EQ(model.startupTrace(), (QStringList{"resetFullScreen", "library", "performanceMonitor",
                                                     "applySelection", "activateExtension", "textServices"}));
        EXPECT_FALSE(settings::isOverlayFullScreen());
        EXPECT_EQ(library.items().size(), 1);
        EXPECT_TRUE(library.isPasteMonitorInstalled());
        EXPECT_TRUE(model.performanceMonitor()->isRunning());
        ASSERT_EQ(first.platform->requests().size(), 1u);
        EXPECT_EQ(first.platform->requests()[0].identifier, QLatin1String(kCameraExtensionIdentifier));
        EXPECT_TRUE(fullScreenWasReset);
        EXPECT_TRUE(flagWasSet) << "the flag is stored before the request";
        EXPECT_TRUE(libraryLoaded);
        EXPECT_TRUE(monitorRunning);
        // The selection (the first item, chosen on load) reached the overlay file before step 5.
        EXPECT_TRUE(overlayApplied);

        // A later appearance runs the sequence again, without the activation.
        settings::setIsOverlayFullScreen(true);
        model.appear();
        EXPECT_FALSE(settings::isOverlayFullScreen());
        EXPECT_FALSE(model.startupTrace().contains(QStringLiteral("activateExtension")));
        EXPECT_EQ(first.platform->requests().size(), 1u);
        current = nullptr;
        currentLibrary = nullptr;
    }

    // Second launch: a new application object, the stored flag holds.
    test::AppFixture second(env);
    ContentViewModel again(depsOf(*second.app));
    again.appear();
    EXPECT_TRUE(second.platform->requests().empty());
    EXPECT_FALSE(again.startupTrace().contains(QStringLiteral("activateExtension")));
}

TEST(StartupSequence, FailedFirstActivationIsNotRetried) {
    test::ScopedTestEnv env;
    test::AppFixture fx(env);
    {
        ContentViewModel model(depsOf(*fx.app));
        model.appear();
        ASSERT_EQ(fx.platform->requests().size(), 1u);
        ExtensionRequestError error;
        error.code = 1;
        error.description = QStringLiteral("refused");
        fx.platform->playFailed(error);
    }
    ContentViewModel model(depsOf(*fx.app));
    model.appear();
    EXPECT_EQ(fx.platform->requests().size(), 1u);
    EXPECT_TRUE(settings::hasAttemptedInitialActivation());
}

TEST(StartupSequence, TextServicesStartFromTheirSettings) {
    test::ScopedTestEnv env;
    // Nothing leaves the machine: both services point at a closed local port.
    qputenv("OSTRELA_WEATHER_GEOCODING_URL", "http://127.0.0.1:9");
    qputenv("OSTRELA_WEATHER_FORECAST_URL", "http://127.0.0.1:9");
    settings::setWeatherEnabled(true);
    settings::setWeatherZipCode(QStringLiteral("10001"));
    test::AppFixture fx(env);
    ContentViewModel model(depsOf(*fx.app));
    EXPECT_FALSE(fx.app->weatherService()->isRunning());
    model.appear();
    EXPECT_TRUE(fx.app->weatherService()->isRunning());
    qunsetenv("OSTRELA_WEATHER_GEOCODING_URL");
    qunsetenv("OSTRELA_WEATHER_FORECAST_URL");
}

TEST(Onboarding, ShownOnFirstLaunchAndStoredWhenClosed) {
    test::ScopedTestEnv env;
    test::AppFixture fx(env);
    int made = 0;
    fx.app->setOnboardingFactory([&](QWidget* parent) -> QWidget* {
        ++made;
        auto* d = new QDialog(parent);
        d->setObjectName(QStringLiteral("onboarding"));
        return d;
    });
    EXPECT_FALSE(settings::hasSeenOnboarding());
    {
        MainWindow window(fx.app.get());
        window.show();
        ASSERT_EQ(made, 1);
        QWidget* sheet = fx.app->onboardingSheet();
        ASSERT_NE(sheet, nullptr);
        EXPECT_TRUE(sheet->isVisible());
        EXPECT_EQ(sheet->parentWidget(), &window);
        EXPECT_FALSE(settings::hasSeenOnboarding());
        // Asking again while it is open shows no second sheet.
        EXPECT_EQ(fx.app->presentOnboardingIfNeeded(&window), sheet);
        EXPECT_EQ(made, 1);
        static_cast<QDialog*>(sheet)->accept();
        EXPECT_TRUE(settings::hasSeenOnboarding());
    }
    // Second launch: never again.
    test::AppFixture second(env);
    int madeAgain = 0;
    second.app->setOnboardingFactory([&](QWidget*) -> QWidget* {
        ++madeAgain;
        return new QDialog;
    });
    MainWindow window(second.app.get());
    window.show();
    EXPECT_EQ(madeAgain, 0);
    EXPECT_EQ(second.app->onboardingSheet(), nullptr);
}

TEST(Onboarding, PlaceholderSheetAlsoStoresTheFlagWhenClosedByItsWindowButton) {
    test::ScopedTestEnv env;
    test::AppFixture fx(env);
    QWidget parent;
    QWidget* sheet = fx.app->presentOnboardingIfNeeded(&parent);
    ASSERT_NE(sheet, nullptr);
    sheet->close();
    EXPECT_TRUE(settings::hasSeenOnboarding());
    EXPECT_EQ(fx.app->presentOnboardingIfNeeded(&parent), nullptr);
}

TEST(Onboarding, QuittingWithTheSheetOpenShowsItAgainNextTime) {
    test::ScopedTestEnv env;
    test::AppFixture fx(env);
    {
        auto window = std::make_unique<QWidget>();
        ASSERT_NE(fx.app->presentOnboardingIfNeeded(window.get()), nullptr);
    }  // the window goes, and the sheet with it, without the user closing it
    EXPECT_FALSE(settings::hasSeenOnboarding());
}
