#include "ui/StandardWindows.h"

#include "ui/Application.h"
#include "extension/ExtensionManager.h"
#include "extension/ScriptedExtensionPlatform.h"
#include "pipeline/Settings.h"
#include "pipeline/capture/SyntheticCamera.h"
#include "sources/MediaPlayerBridge.h"
#include "tests/support/TestEnv.h"
#include "ui/HelpWindow.h"
#include "ui/LowerThirdDesignWindow.h"
#include "ui/OnboardingSheet.h"
#include "ui/SettingsWindow.h"

#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>
#include <QTabWidget>

#include <gtest/gtest.h>

using namespace ostrela;

namespace {

OstrelaApp::Options testOptions(const test::ScopedTestEnv& env) {
    OstrelaApp::Options o;
    o.extensionPlatform = std::make_shared<ScriptedExtensionPlatform>();
    o.mediaPlayerBridge = std::make_shared<FakeMediaPlayerBridge>();
    capture::SyntheticCameraSpec desk, ours;
    desk.localizedName = QStringLiteral("Desk Camera");
    desk.uniqueID = QStringLiteral("desk-1");
    ours.localizedName = QStringLiteral("Ostrela");
    ours.uniqueID = QStringLiteral("ours");
    std::vector<capture::SyntheticCameraSpec> cameras;
    cameras.push_back(desk);
    cameras.push_back(ours);
    o.captureBackend = std::make_shared<capture::SyntheticCaptureBackend>(cameras);
    o.libraryDirectory = QString::fromStdString(env.dataDir()) + QStringLiteral("/Library");
    o.startUpdater = false;
    return o;
}

}  // namespace

TEST(StandardWindows, FactoriesOpenOurWindowsOnceEach) {
    test::ScopedTestEnv env;
    OstrelaApp app(testOptions(env));
    installStandardWindows(app);

    auto* help = qobject_cast<HelpWindow*>(app.openWindow(kHelpWindowID));
    ASSERT_NE(help, nullptr);
    EXPECT_EQ(app.openWindow(kHelpWindowID), help);  // brought forward, not opened twice
    auto* design = qobject_cast<LowerThirdDesignWindow*>(app.openWindow(kLowerThirdDesignWindowID));
    ASSERT_NE(design, nullptr);
    EXPECT_EQ(design->windowTitle(), "Lower Third Design");
    auto* settingsWindow = qobject_cast<SettingsWindow*>(app.openWindow(kSettingsWindowID));
    ASSERT_NE(settingsWindow, nullptr);

    // The settings window lists the application's cameras without our own.
    settingsWindow->tabs()->setCurrentIndex(2);
    ASSERT_EQ(settingsWindow->devices().size(), 1);
    EXPECT_EQ(settingsWindow->devices().first().name, "Desk Camera");
    // Appearance goes through the application.
    settingsWindow->tabs()->setCurrentIndex(0);
    settingsWindow->appearancePicker()->setCurrentIndex(1);
    EXPECT_TRUE(app.isDarkMode());
    EXPECT_TRUE(settings::appearanceIsDark());
    settingsWindow->appearancePicker()->setCurrentIndex(0);
    EXPECT_FALSE(app.isDarkMode());

    // The design window's switches go through the application's text modes.
    design->modeToggle(LowerThirdMode::weather)->click();
    EXPECT_TRUE(settings::weatherEnabled());

    // "Open Camera Help…" shows the setup topic of the help window.
    help->selectTopic(QString("about-show"));
    ExtensionManager::openExtensionSettings();
    EXPECT_EQ(help->state().selectedTopicID, std::optional<QString>("first-time-setup"));
    ExtensionManager::setExtensionSettingsOpener({});

    for (QWidget* w : {static_cast<QWidget*>(help), static_cast<QWidget*>(design), static_cast<QWidget*>(settingsWindow)})
        w->close();
}

TEST(StandardWindows, OnboardingSheetUntilGotIt) {
    test::ScopedTestEnv env;
    OstrelaApp app(testOptions(env));
    installStandardWindows(app);
    QWidget parent;
    auto* sheet = qobject_cast<OnboardingSheet*>(app.presentOnboardingIfNeeded(&parent));
    ASSERT_NE(sheet, nullptr);
    EXPECT_FALSE(settings::hasSeenOnboarding());
    for (QPushButton* b : sheet->findChildren<QPushButton*>())
        if (b->text() == "Got It") b->click();
    EXPECT_TRUE(settings::hasSeenOnboarding());
    EXPECT_EQ(app.presentOnboardingIfNeeded(&parent), nullptr);
    ExtensionManager::setExtensionSettingsOpener({});
}
