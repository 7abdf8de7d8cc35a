#include "ui/OnboardingSheet.h"
#include "ui/SettingsWindow.h"

#include "extension/ExtensionManager.h"
#include "extension/ScriptedExtensionPlatform.h"
#include "library/OverlayLibraryController.h"
#include "pipeline/Settings.h"
#include "tests/support/TestEnv.h"
#include "tests/ui/WindowTestUtil.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFormLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTabWidget>
#include <QUuid>

#include <gtest/gtest.h>

using namespace ostrela;
using capture::CaptureDeviceInfo;

namespace {

CaptureDeviceInfo device(const char* name, const char* id) {
    CaptureDeviceInfo d;
    d.localizedName = QString::fromUtf8(name);
    d.uniqueID = QString::fromUtf8(id);
    d.path = QStringLiteral("/dev/null");
    return d;
}

std::vector<CaptureDeviceInfo> connectedDevices() {
    return {device("Integrated Camera", "usb-0000:00:14.0-5"), device("Ostrela", "platform-v4l2loopback-000"),
            device("Ostrela Camera", "usb-acme-ostrela"), device("ostrela", "lower-case"),
            device("HD Pro Webcam C920", "usb-046d-082d")};
}

QStringList itemTexts(QComboBox* box) {
    QStringList out;
    for (int i = 0; i < box->count(); ++i) out << box->itemText(i);
    return out;
}

}  // namespace

TEST(SettingsWindow, DeviceListDropsOnlyTheCameraNamedExactlyOstrela) {
    const QList<CameraOption> options = cameraOptions(connectedDevices());
    // Our own camera is gone; a name with a suffix, and one in another case, stay; order is kept.
    EXPECT_EQ(options, (QList<CameraOption>{{"usb-0000:00:14.0-5", "Integrated Camera"},
                                            {"usb-acme-ostrela", "Ostrela Camera"},
                                            {"lower-case", "ostrela"},
                                            {"usb-046d-082d", "HD Pro Webcam C920"}}));
    EXPECT_TRUE(cameraOptions({}).isEmpty());
    EXPECT_TRUE(cameraOptions({device("Ostrela", "x")}).isEmpty());
}

TEST(SettingsWindow, SourcePickerListsAutomaticThenTheCamerasAndStoresTheChoice) {
    test::ScopedTestEnv env;
    int scans = 0;
    std::vector<CaptureDeviceInfo> connected = connectedDevices();
    SettingsWindow window(nullptr, nullptr, [&] {
        ++scans;
        return connected;
    });
    // The scan runs when the tab is shown.
    window.tabs()->setCurrentIndex(2);
    EXPECT_EQ(scans, 1);
    EXPECT_EQ(itemTexts(window.sourcePicker()),
              (QStringList{"Automatic", "Integrated Camera", "Ostrela Camera", "ostrela", "HD Pro Webcam C920"}));
    EXPECT_EQ(window.sourcePicker()->currentIndex(), 0);
    window.sourcePicker()->setCurrentIndex(4);
    EXPECT_EQ(settings::selectedCameraUniqueID(), "usb-046d-082d");
    window.sourcePicker()->setCurrentIndex(0);
    EXPECT_EQ(settings::selectedCameraUniqueID(), "");

    // "Refresh" scans again; the stored choice stays selected.
    settings::setSelectedCameraUniqueID("usb-acme-ostrela");
    connected.erase(connected.begin());
    for (QPushButton* b : window.findChildren<QPushButton*>())
        if (b->text() == "Refresh") b->click();
    EXPECT_EQ(scans, 2);
    EXPECT_EQ(window.sourcePicker()->currentText(), "Ostrela Camera");
    EXPECT_EQ(window.sourcePicker()->count(), 4);
    EXPECT_EQ(settings::selectedCameraUniqueID(), "usb-acme-ostrela");
}

TEST(SettingsWindow, ByteCountsAndVideosOnDisk) {
    EXPECT_EQ(videosOnDiskText(0), "None");
    EXPECT_EQ(formatByteCount(1), "1 byte");
    EXPECT_EQ(formatByteCount(999), "999 bytes");
    EXPECT_EQ(formatByteCount(1000), "1 KB");
    EXPECT_EQ(formatByteCount(12'345), "12 KB");
    EXPECT_EQ(formatByteCount(999'999), "1 MB");
    EXPECT_EQ(formatByteCount(3'400'000), "3.4 MB");
    EXPECT_EQ(formatByteCount(2'000'000), "2 MB");
    EXPECT_EQ(formatByteCount(1'250'000'000), "1.25 GB");
    EXPECT_EQ(videosOnDiskText(52'400'000), "52.4 MB");
}

TEST(SettingsWindow, ResetMessageWithCountsAndTheResetItself) {
    EXPECT_EQ(resetConfirmationMessage(0, 0),
              "This permanently deletes all 0 images/videos and 0 folders from your Ostrela library, including the "
              "files on disk. This cannot be undone.");
    EXPECT_EQ(resetConfirmationMessage(7, 2),
              "This permanently deletes all 7 images/videos and 2 folders from your Ostrela library, including the "
              "files on disk. This cannot be undone.");

    test::ScopedTestEnv env;
    OverlayLibraryController library(QString::fromStdString(env.dataDir()) + "/Library");
    library.load();
    SettingsWindow window(&library, nullptr, [] { return std::vector<CaptureDeviceInfo>{}; });
    EXPECT_EQ(window.videosOnDiskLabel()->text(), "None");

    // An empty library: 0 items and 0 folders.
    QMessageBox* box = window.confirmReset();
    EXPECT_EQ(box->windowTitle(), "Reset all Ostrela data?");
    EXPECT_EQ(box->informativeText(), resetConfirmationMessage(0, 0));
    QStringList buttons;
    for (QAbstractButton* b : box->buttons()) buttons << b->text();
    EXPECT_TRUE(buttons.contains("Delete Everything"));
    EXPECT_TRUE(buttons.contains("Cancel"));
    box->close();

    // One image and one folder; "Delete Everything" removes both and the stored file.
    QImage image(40, 30, QImage::Format_ARGB32);
    image.fill(Qt::red);
    const QString picture = QString::fromStdString(env.root()) + "/red.png";
    ASSERT_TRUE(image.save(picture));
    library.addFiles({picture});
    library.appendFolder({QUuid::createUuid(), "Guests"});
    ASSERT_EQ(library.items().size(), 1);
    const QString stored = library.store().pathFor(library.items().first().fileName);
    ASSERT_TRUE(QFile::exists(stored));
    box = window.confirmReset();
    EXPECT_EQ(box->informativeText(), resetConfirmationMessage(1, 1));
    for (QAbstractButton* b : box->buttons())
        if (b->text() == "Cancel") b->click();
    EXPECT_EQ(library.items().size(), 1);  // Cancel keeps everything
    box = window.confirmReset();
    for (QAbstractButton* b : box->buttons())
        if (b->text() == "Delete Everything") b->click();
    EXPECT_TRUE(library.items().isEmpty());
    EXPECT_TRUE(library.folders().isEmpty());
    EXPECT_FALSE(QFile::exists(stored));
}

TEST(SettingsWindow, AppearanceAndAdvancedTab) {
    test::ScopedTestEnv env;
    auto platform = std::make_shared<ScriptedExtensionPlatform>();
    ExtensionManager manager(platform);
    SettingsWindow window(nullptr, &manager, [] { return std::vector<CaptureDeviceInfo>{}; });
    EXPECT_EQ(window.tabs()->count(), 3);
    EXPECT_EQ(window.tabs()->tabText(0), "General");
    EXPECT_EQ(window.tabs()->tabText(1), "Advanced");
    EXPECT_EQ(window.tabs()->tabText(2), "Video Devices");
    EXPECT_EQ(window.tabs()->size(), QSize(480, 340));

    EXPECT_EQ(itemTexts(window.appearancePicker()), (QStringList{"Light", "Dark"}));
    window.appearancePicker()->setCurrentIndex(1);
    EXPECT_TRUE(settings::appearanceIsDark());
    window.appearancePicker()->setCurrentIndex(0);
    EXPECT_FALSE(settings::appearanceIsDark());
    bool handled = false;
    window.setAppearanceHandler([&](bool dark) { handled = dark; });
    window.appearancePicker()->setCurrentIndex(1);
    EXPECT_TRUE(handled);

    // Activate and Deactivate go to the manager; its status follows in the tab.
    for (QPushButton* b : window.findChildren<QPushButton*>())
        if (b->text() == "Activate") b->click();
    for (QPushButton* b : window.findChildren<QPushButton*>())
        if (b->text() == "Deactivate") b->click();
    ASSERT_EQ(platform->requests().size(), 2u);
    EXPECT_EQ(platform->requests()[0].kind, ScriptedExtensionPlatform::Kind::activation);
    EXPECT_EQ(platform->requests()[1].kind, ScriptedExtensionPlatform::Kind::deactivation);
    EXPECT_EQ(platform->requests()[1].identifier, kCameraExtensionIdentifier);
    EXPECT_EQ(window.statusLabel()->text(), manager.statusText());
    EXPECT_FALSE(window.statusLabel()->text().isEmpty());
}

TEST(SettingsWindow, RunningOutsideTheSystemFoldersShowsTheInstallAdvice) {
    test::ScopedTestEnv env;
    // The test program runs from the build tree, not from /usr or /opt.
    ASSERT_FALSE(ExtensionManager::isInApplicationsFolder());
    SettingsWindow window(nullptr, nullptr, [] { return std::vector<CaptureDeviceInfo>{}; });
    window.tabs()->setCurrentIndex(1);
    window.show();
    QLabel* advice = nullptr;
    for (QLabel* l : window.findChildren<QLabel*>())
        if (l->text().startsWith("Install Ostrela system-wide")) advice = l;
    ASSERT_NE(advice, nullptr);
    EXPECT_TRUE(advice->isVisibleTo(&window));
}

TEST(SettingsWindow, EmbeddedExtensionRowsShowMissingFields) {
    test::ScopedTestEnv env;
    const QString dir = QString::fromStdString(env.root()) + "/extensions";
    ASSERT_TRUE(QDir().mkpath(dir + "/ostrela-camera.extension"));
    test::writeFile((dir + "/ostrela-camera.extension/manifest.json").toStdString(),
                    R"({"CFBundleIdentifier": "com.morwick.Ostrela.CameraExtension"})");
    qputenv("OSTRELA_EXTENSIONS_DIR", dir.toUtf8());
    auto labelTexts = [](QWidget* w) {
        QStringList out;
        for (QLabel* l : w->findChildren<QLabel*>()) out << l->text();
        return out;
    };
    {
        SettingsWindow window(nullptr, nullptr, [] { return std::vector<CaptureDeviceInfo>{}; });
        const QStringList texts = labelTexts(&window);
        EXPECT_TRUE(texts.contains("com.morwick.Ostrela.CameraExtension"));
        EXPECT_TRUE(texts.contains("missing"));  // no service in the manifest
        // The rows are named for this desktop.
        QStringList rows;
        for (QFormLayout* form : window.findChildren<QFormLayout*>())
            for (int r = 0; r < form->rowCount(); ++r)
                if (auto* item = form->itemAt(r, QFormLayout::LabelRole))
                    if (auto* label = qobject_cast<QLabel*>(item->widget())) rows << label->text();
        for (const char* row : {"Program path", "Installed system-wide", "App ID", "Extension ID", "systemd service"})
            EXPECT_TRUE(rows.contains(QString::fromUtf8(row))) << row;
        QStringList buttons;
        for (QPushButton* b : window.findChildren<QPushButton*>()) buttons << b->text();
        EXPECT_TRUE(buttons.contains(QString::fromUtf8("Open Camera Help\u2026")));
    }
    const QString empty = QString::fromStdString(env.root()) + "/none";
    qputenv("OSTRELA_EXTENSIONS_DIR", empty.toUtf8());
    {
        SettingsWindow window(nullptr, nullptr, [] { return std::vector<CaptureDeviceInfo>{}; });
        EXPECT_TRUE(labelTexts(&window).contains("No .extension found in " + empty));
    }
    qunsetenv("OSTRELA_EXTENSIONS_DIR");
}

TEST(OnboardingSheet, StepsAndGotIt) {
    const QList<OnboardingStep> steps = onboarding::steps();
    ASSERT_EQ(steps.size(), 3);
    EXPECT_EQ(steps[0].title, "Approve the camera extension");
    EXPECT_TRUE(steps[0].text.contains("v4l2loopback"));
    EXPECT_TRUE(steps[0].text.contains("authentication dialog"));
    EXPECT_EQ(steps[1].title, "Add an image");
    // The well is the way in: there is no "+" button.
    EXPECT_EQ(steps[1].text, "Drag a photo into the well at the top of the sidebar, or click the well to browse. This "
                             "is the overlay that appears in the corner of your video.");
    EXPECT_EQ(steps[2].title, "Select Ostrela as your camera");
    EXPECT_EQ(steps[2].text, QString::fromUtf8("In Zoom (or any other app), open its camera/video settings and choose "
                                               "\u201cOstrela\u201d from the list of cameras."));
    for (const OnboardingStep& s : steps) EXPECT_FALSE(s.text.contains("macOS"));

    OnboardingSheet sheet;
    EXPECT_EQ(sheet.width(), 420);
    QSignalSpy finished(&sheet, &QDialog::finished);
    sheet.open();
    QPushButton* gotIt = nullptr;
    for (QPushButton* b : sheet.findChildren<QPushButton*>())
        if (b->text() == "Got It") gotIt = b;
    ASSERT_NE(gotIt, nullptr);
    gotIt->click();
    EXPECT_EQ(finished.count(), 1);
    EXPECT_EQ(sheet.result(), QDialog::Accepted);
    EXPECT_FALSE(sheet.isVisible());
}

TEST(SettingsWindow, Screenshots) {
    test::ScopedTestEnv env;
    auto platform = std::make_shared<ScriptedExtensionPlatform>();
    ExtensionManager manager(platform);
    manager.activate();
    SettingsWindow window(nullptr, &manager, [] { return connectedDevices(); });
    for (int tab = 0; tab < 3; ++tab) {
        window.tabs()->setCurrentIndex(tab);
        const QImage shot = test::grabWindow(&window);
        EXPECT_GT(test::distinctColors(shot), 8);
        const char* names[] = {"settings_general.png", "settings_advanced.png", "settings_video_devices.png"};
        test::saveScreenshot(shot, names[tab]);
    }
    OnboardingSheet sheet;
    const QImage onboardingShot = test::grabWindow(&sheet);
    EXPECT_EQ(onboardingShot.width(), 420);
    test::saveScreenshot(onboardingShot, "onboarding_sheet.png");
}
