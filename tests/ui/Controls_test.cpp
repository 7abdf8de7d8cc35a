#include "library/OverlayLibraryController.h"
#include "library/VideoPlaybackService.h"
#include "pipeline/OverlayController.h"
#include "sources/LowerThirdModes.h"
#include "tests/ui/UiTestUtil.h"
#include "ui/ContentViewModel.h"
#include "ui/MainWindow.h"
#include "ui/PreviewSource.h"
#include "ui/VideoPaneModel.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QComboBox>
#include <QLabel>
#include <QDialog>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QSlider>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QPushButton>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

using namespace ostrela;

namespace {

class ControlsTest : public ::testing::Test {
protected:
    ControlsTest() : fx(env), window(fx.app.get()) { window.show(); }
    ContentViewModel& model() { return *window.model(); }
    template <class T> T* find(const char* name) {
        T* w = window.findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    test::ScopedTestEnv env;
    test::AppFixture fx;
    // The first-run sheet would sit over the window; its own tests are elsewhere.
    bool onboardingSeen = (settings::setHasSeenOnboarding(true), true);
    MainWindow window;
};

std::string shortClip() {
    static QTemporaryDir dir;
    static std::string path;
    if (path.empty()) {
        path = dir.path().toStdString() + "/clip.mp4";
        std::string out;
        const int rc = test::runCommand("ffmpeg -v error -y -f lavfi -i testsrc=size=160x90:rate=25 -t 4 -c:v libx264 "
                                        "-pix_fmt yuv420p '" + path + "' 2>&1", &out);
        EXPECT_EQ(rc, 0) << out;
    }
    return path;
}

}  // namespace

TEST_F(ControlsTest, WindowTitleAndSize) {
    EXPECT_EQ(window.windowTitle(), QStringLiteral("Ostrela"));
    EXPECT_EQ(window.minimumSize(), QSize(820, 560));
}

TEST_F(ControlsTest, EffectControlsWriteTheirSettings) {
    auto* picker = find<QComboBox>("effectPicker");
    ASSERT_EQ(picker->count(), 16);
    EXPECT_EQ(picker->itemText(0), effectDisplayName(VideoEffect::none));
    const int thermal = picker->findData(int(VideoEffect::thermal));
    picker->setCurrentIndex(thermal);
    emit picker->activated(thermal);
    EXPECT_EQ(settings::videoEffect(), VideoEffect::thermal);
    EXPECT_EQ(find<QLabel>("effectHeading")->text(), QStringLiteral("Camera Effect: ") + effectDisplayName(VideoEffect::thermal));

    auto* eye = find<QToolButton>("effectPreviewToggle");
    ASSERT_TRUE(settings::showEffectPreview());
    EXPECT_EQ(eye->property("symbol").toString(), QStringLiteral("eye.fill"));
    EXPECT_EQ(eye->toolTip(), QString::fromUtf8(content::kHideEffectPreviewHelp));
    eye->click();
    EXPECT_FALSE(settings::showEffectPreview());
    EXPECT_EQ(eye->property("symbol").toString(), QStringLiteral("eye.slash.fill"));
    EXPECT_EQ(eye->toolTip(), QStringLiteral("Show Camera Effect Preview — animates the effect in the preview above"));
}

TEST_F(ControlsTest, FloatingImageControlsWriteTheirSettings) {
    auto* shown = find<QToolButton>("overlayImageToggle");
    EXPECT_EQ(shown->toolTip(), QString::fromUtf8(content::kHideFloatingImageHelp));
    shown->click();
    EXPECT_FALSE(settings::overlayImageEnabled());
    EXPECT_EQ(shown->toolTip(), QStringLiteral("Show Floating Image"));

    auto* fancy = find<QToolButton>("fancyModeToggle");
    EXPECT_EQ(fancy->toolTip(), QString::fromUtf8(content::kFancyOnHelp));
    fancy->click();
    EXPECT_TRUE(settings::fancyModeEnabled());
    EXPECT_EQ(fancy->toolTip(), QStringLiteral("Turn Off Fancy Mode"));

    auto* border = find<QToolButton>("borderToggle");
    EXPECT_EQ(border->toolTip(), QStringLiteral("Turn Off Border"));  // on by default
    border->click();
    EXPECT_FALSE(settings::overlayBorderEnabled());
    EXPECT_EQ(border->toolTip(), QStringLiteral("Turn On Border"));

    auto* borderColor = find<QToolButton>("quickBorderColor");
    QStringList names;
    for (QAction* a : borderColor->menu()->actions()) names << a->text();
    EXPECT_EQ(names, (QStringList{"Red", "Blue", "Green", "Gold", "White", "Black", "Gray"}));
    borderColor->menu()->actions()[1]->trigger();
    EXPECT_EQ(settings::overlayBorderColorHex(), QStringLiteral("1565C0"));

    find<PlacementGlyph>("corner_topLeft")->click();
    EXPECT_EQ(settings::overlayPlacement(), OverlayPlacement::topLeft);
    EXPECT_TRUE(find<PlacementGlyph>("corner_topLeft")->isSelected());
    EXPECT_FALSE(find<PlacementGlyph>("corner_bottomRight")->isSelected());

    model().setWidthFraction(0.349);
    EXPECT_DOUBLE_EQ(settings::overlayWidthFraction(), 0.349);
    EXPECT_EQ(find<QLabel>("sizeLabel")->text(), QStringLiteral("34%"));
    model().setWidthFraction(0.9);  // the slider's range ends at 0.6
    EXPECT_DOUBLE_EQ(settings::overlayWidthFraction(), 0.6);
    auto* size = find<QSlider>("sizeSlider");
    size->setValue(0);
    EXPECT_DOUBLE_EQ(settings::overlayWidthFraction(), 0.15);

    auto* full = find<QToolButton>("fullScreenToggle");
    EXPECT_EQ(full->toolTip(), QStringLiteral("Blow up to the largest size that still fits"));
    EXPECT_EQ(full->property("symbol").toString(), QStringLiteral("arrow.up.left.and.arrow.down.right"));
    full->click();
    EXPECT_TRUE(settings::isOverlayFullScreen());
    EXPECT_EQ(full->toolTip(), QStringLiteral("Return to previous size"));
    full->click();
    EXPECT_FALSE(settings::isOverlayFullScreen());
    EXPECT_DOUBLE_EQ(settings::overlayWidthFraction(), 0.15);
}

TEST_F(ControlsTest, LowerThirdControlsWriteTheirSettings) {
    auto* toggle = find<QCheckBox>("lowerThirdToggle");
    EXPECT_EQ(toggle->text(), QStringLiteral("Show lower-third bar"));
    toggle->setChecked(!settings::lowerThirdEnabled());
    EXPECT_EQ(settings::lowerThirdEnabled(), toggle->isChecked());

    find<QSlider>("opacitySlider")->setValue(425);
    EXPECT_DOUBLE_EQ(settings::lowerThirdBarOpacity(), 0.425);
    EXPECT_EQ(find<QLabel>("opacityLabel")->text(), QStringLiteral("42%"));

    auto* field = find<QLineEdit>("lowerThirdTextField");
    field->setFocus();
    field->selectAll();
    QTest::keyClicks(field, QStringLiteral("Live from the studio"));
    EXPECT_EQ(settings::lowerThirdText(), QStringLiteral("Live from the studio"));

    for (auto [name, value] : {std::pair{"align_leading", LowerThirdTextAlignment::leading},
                               {"align_trailing", LowerThirdTextAlignment::trailing},
                               {"align_center", LowerThirdTextAlignment::center}}) {
        auto* b = find<QToolButton>(name);
        b->click();
        EXPECT_EQ(settings::lowerThirdTextAlignment(), value) << name;
        EXPECT_TRUE(b->isChecked());
    }
    EXPECT_EQ(find<QToolButton>("align_leading")->toolTip(), QStringLiteral("Align Leading"));
    EXPECT_EQ(find<QToolButton>("align_center")->toolTip(), QStringLiteral("Align Center"));
    EXPECT_EQ(find<QToolButton>("align_trailing")->toolTip(), QStringLiteral("Align Trailing"));

    find<QToolButton>("quickTextColor")->menu()->actions()[3]->trigger();  // Gold
    EXPECT_EQ(settings::lowerThirdTextColorHex(), QStringLiteral("FFD100"));
    find<QToolButton>("quickBarColor")->menu()->actions()[6]->trigger();  // Gray
    EXPECT_EQ(settings::lowerThirdBarColorHex(), QStringLiteral("757575"));

    settings::setWeatherEnabled(true);
    settings::setRssFeedEnabled(true);
    settings::setLowerThirdVideoTitleEnabled(true);
    model().pollSettings();
    auto* override = find<QPushButton>("textOverrideButton");
    EXPECT_EQ(override->text(), QStringLiteral("Text Override"));
    EXPECT_EQ(override->toolTip(), QStringLiteral("Turn off Weather/Now Playing/RSS Feed mode so you can type text again"));
    override->click();
    EXPECT_FALSE(settings::weatherEnabled());
    EXPECT_FALSE(settings::rssFeedEnabled());
    EXPECT_FALSE(settings::nowPlayingEnabled());
    EXPECT_TRUE(settings::lowerThirdVideoTitleEnabled()) << "the video title keeps its switch";

    int opened = 0;
    fx.app->setWindowFactory(QStringLiteral("lowerThirdDesign"), [&]() -> QWidget* {
        ++opened;
        return new QWidget;
    });
    auto* design = find<QPushButton>("lowerThirdDesignButton");
    EXPECT_EQ(design->text(), QStringLiteral("Lower Third Design…"));
    design->click();
    design->click();
    EXPECT_EQ(opened, 1);
}

TEST_F(ControlsTest, TextFieldPromptFollowsTheModes) {
    EXPECT_EQ(lowerThirdPrompt(true, true, true), QStringLiteral("RSS Feed mode is on"));
    EXPECT_EQ(lowerThirdPrompt(false, true, true), QStringLiteral("Now Playing mode is on"));
    EXPECT_EQ(lowerThirdPrompt(false, false, true), QStringLiteral("Weather mode is on"));
    EXPECT_EQ(lowerThirdPrompt(false, false, false), QStringLiteral("Text shown in the bar"));

    auto* field = find<QLineEdit>("lowerThirdTextField");
    EXPECT_EQ(field->placeholderText(), QStringLiteral("Text shown in the bar"));
    // Both set by an outside edit of the settings: the feed's prompt wins.
    settings::setNowPlayingEnabled(true);
    settings::setRssFeedEnabled(true);
    model().pollSettings();
    EXPECT_EQ(field->placeholderText(), QStringLiteral("RSS Feed mode is on"));
    settings::setRssFeedEnabled(false);
    model().pollSettings();
    EXPECT_EQ(field->placeholderText(), QStringLiteral("Now Playing mode is on"));
}

TEST_F(ControlsTest, PresetsMenu) {
    auto titles = [&] {
        QStringList out;
        for (const PresetMenuEntry& e : model().presetsMenu()) out << e.title;
        return out;
    };
    EXPECT_EQ(titles(), (QStringList{"No presets yet", "Save Current Text as Preset", "Manage Presets…"}));
    EXPECT_FALSE(model().presetsMenu()[0].enabled);
    EXPECT_FALSE(model().presetsMenu()[1].enabled) << "nothing typed yet";

    model().setLowerThirdText(QStringLiteral("  Back after the break  "));
    EXPECT_TRUE(model().saveCurrentTextAsPreset());
    EXPECT_FALSE(model().saveCurrentTextAsPreset()) << "already a preset";
    EXPECT_EQ(settings::lowerThirdPresets(), QStringList{QStringLiteral("Back after the break")});
    model().setLowerThirdText(QStringLiteral("Q&A"));
    model().saveCurrentTextAsPreset();
    EXPECT_EQ(titles(), (QStringList{"Back after the break", "Q&A", "Save Current Text as Preset", "Manage Presets…"}));

    // The window's menu is built from the same entries when it opens.
    auto* button = find<QToolButton>("presetsMenuButton");
    EXPECT_EQ(button->toolTip(), QStringLiteral("Lower Third Presets"));
    emit button->menu()->aboutToShow();
    QStringList shown;
    for (QAction* a : button->menu()->actions())
        if (!a->isSeparator()) shown << a->text();
    EXPECT_EQ(shown, titles());

    // Choosing one: weather and now playing go off, the text is set.
    settings::setWeatherEnabled(true);
    settings::setNowPlayingEnabled(true);
    model().pollSettings();
    emit button->menu()->aboutToShow();
    button->menu()->actions()[0]->trigger();
    EXPECT_EQ(settings::lowerThirdText(), QStringLiteral("Back after the break"));
    EXPECT_FALSE(settings::weatherEnabled());
    EXPECT_FALSE(settings::nowPlayingEnabled());
    EXPECT_EQ(find<QLineEdit>("lowerThirdTextField")->text(), QStringLiteral("Back after the break"));
}

TEST_F(ControlsTest, CameraBarStartsAndStopsTheFeed) {
    auto* button = find<QPushButton>("cameraButton");
    EXPECT_EQ(button->text(), QStringLiteral("Start Camera Feed"));
    EXPECT_EQ(find<QLabel>("statusWord")->text(), QStringLiteral("Stopped"));
    EXPECT_EQ(find<QLabel>("broadcastClock")->text(), QStringLiteral("0:00"));
    EXPECT_EQ(find<QLabel>("statsLine")->text(), QStringLiteral("0 fps · 0% CPU · 0 MB"));
    button->click();
    ASSERT_TRUE(test::waitUntil([&] { return model().isCameraRunning(); }, 20000));
    EXPECT_EQ(button->text(), QStringLiteral("Stop Camera Feed"));
    EXPECT_EQ(find<QLabel>("statusWord")->text(), QStringLiteral("Running"));
    // Frames reach the shared buffer and the preview takes some of them.
    ASSERT_TRUE(test::waitUntil([&] { return window.preview()->source()->framesTaken() >= 2; }, 20000));
    button->click();
    EXPECT_EQ(button->text(), QStringLiteral("Start Camera Feed"));
    EXPECT_EQ(find<QLabel>("statusWord")->text(), QStringLiteral("Stopped"));
}

TEST_F(ControlsTest, ApprovalBannerFollowsTheExtensionManager) {
    auto* banner = window.findChild<QWidget*>(QStringLiteral("approvalBanner"));
    ASSERT_NE(banner, nullptr);
    EXPECT_FALSE(banner->isVisible());
    // The first-launch activation went out on the first appearance; the system asks for approval.
    ASSERT_FALSE(fx.platform->requests().empty());
    fx.platform->playNeedsUserApproval();
    EXPECT_TRUE(banner->isVisible());
    const QList<QLabel*> labels = banner->findChildren<QLabel*>();
    QStringList texts;
    for (QLabel* l : labels) texts << l->text();
    EXPECT_TRUE(texts.contains(QStringLiteral("<b>Ostrela needs one-time approval</b>")));
    EXPECT_TRUE(texts.contains(QStringLiteral(
        "Enter your password in the authentication dialog and allow the Ostrela camera, then it'll show up in Zoom.")));
    EXPECT_EQ(banner->findChild<QPushButton*>(QStringLiteral("openSystemSettingsButton"))->text(),
              QStringLiteral("Open Camera Help"));
}

TEST_F(ControlsTest, FloatingImageSectionIsReplacedWhileAVideoPlays) {
    auto* stack = find<QStackedWidget>("floatingImageStack");
    EXPECT_EQ(stack->currentWidget()->objectName(), QStringLiteral("floatingImageControls"));
    OverlayLibraryController* library = fx.app->libraryController();
    library->addFiles({QString::fromStdString(shortClip())});
    ASSERT_EQ(library->items().size(), 1);
    ASSERT_EQ(library->items()[0].kind, OverlayLibraryItemKind::video);
    library->setSelectedID(library->items()[0].id);
    EXPECT_TRUE(model().isVideoPlaying());
    EXPECT_EQ(stack->currentWidget()->objectName(), QStringLiteral("floatingImageUnavailable"));
    EXPECT_EQ(static_cast<QLabel*>(stack->currentWidget())->text(),
              QStringLiteral("Not available while a video is playing — a floating image can't sit over full-frame "
                             "video. This comes back automatically when you switch to the live camera."));
    auto* pane = window.findChild<QWidget*>(QStringLiteral("videoPane"));
    ASSERT_NE(pane, nullptr);
    EXPECT_TRUE(pane->isVisible());

    window.findChild<QPushButton*>(QStringLiteral("switchToLiveButton"))->click();
    EXPECT_TRUE(library->selectedID().isNull());
    EXPECT_FALSE(model().isVideoPlaying());
    EXPECT_EQ(stack->currentWidget()->objectName(), QStringLiteral("floatingImageControls"));
    EXPECT_FALSE(pane->isVisible());
}

TEST_F(ControlsTest, ScrubberSeeksOnceOnRelease) {
    OverlayLibraryController* library = fx.app->libraryController();
    library->addFiles({QString::fromStdString(shortClip())});
    library->setSelectedID(library->items()[0].id);
    VideoPlaybackService* player = model().videoPlayback();
    ASSERT_TRUE(test::waitUntil([&] { return player->duration() > 3.5; }, 20000));
    QSlider* slider = window.findChild<QSlider*>(QStringLiteral("progressSlider"));
    QLabel* elapsed = window.findChild<QLabel*>(QStringLiteral("elapsedLabel"));
    QLabel* total = window.findChild<QLabel*>(QStringLiteral("totalLabel"));
    ASSERT_TRUE(slider && elapsed && total);
    EXPECT_EQ(total->text(), QStringLiteral("0:04"));
    EXPECT_EQ(elapsed->text(), QStringLiteral("0:00"));

    int timeChanges = 0;
    QObject::connect(player, &VideoPlaybackService::currentTimeChanged, [&] { ++timeChanges; });
    slider->setSliderDown(true);
    EXPECT_TRUE(window.videoPaneModel()->isScrubbing());
    slider->setSliderPosition(slider->maximum() * 3 / 4);  // 3 s
    slider->setSliderPosition(slider->maximum() / 2);      // 2 s
    EXPECT_EQ(timeChanges, 0) << "no seek while dragging";
    EXPECT_DOUBLE_EQ(player->currentTime(), 0.0);
    EXPECT_EQ(elapsed->text(), QStringLiteral("0:02")) << "the elapsed label follows the drag";
    slider->setSliderDown(false);
    EXPECT_FALSE(window.videoPaneModel()->isScrubbing());
    EXPECT_NEAR(player->currentTime(), player->duration() / 2, 1e-6);
    EXPECT_EQ(timeChanges, 1);

    // Volume: the slider sets the player's volume, which keeps it in the settings.
    QSlider* volume = window.findChild<QSlider*>(QStringLiteral("volumeSlider"));
    ASSERT_NE(volume, nullptr);
    volume->setValue(250);
    EXPECT_DOUBLE_EQ(player->volume(), 0.25);
    EXPECT_DOUBLE_EQ(settings::videoPlaybackVolume(), 0.25);
    EXPECT_EQ(window.videoPaneModel()->volumeSymbol(), QStringLiteral("speaker.wave.1.fill"));
    volume->setValue(0);
    EXPECT_EQ(window.videoPaneModel()->volumeSymbol(), QStringLiteral("speaker.slash.fill"));
    // Transport: play shows "Pause", stop returns to the beginning.
    auto* play = window.findChild<QToolButton*>(QStringLiteral("playPauseButton"));
    play->click();
    EXPECT_TRUE(player->isPlaying());
    EXPECT_EQ(play->property("symbol").toString(), QStringLiteral("pause.fill"));
    EXPECT_EQ(play->text(), QStringLiteral("Pause"));
    window.findChild<QToolButton*>(QStringLiteral("stopButton"))->click();
    EXPECT_FALSE(player->isPlaying());
    EXPECT_DOUBLE_EQ(player->currentTime(), 0.0);
    EXPECT_EQ(play->property("symbol").toString(), QStringLiteral("play.fill"));
}

TEST_F(ControlsTest, PasteOutsideTextFieldsAddsTheClipboardImage) {
    QImage picture(40, 30, QImage::Format_ARGB32);
    picture.fill(QColor(0x2E, 0x7D, 0x32));
    QGuiApplication::clipboard()->setImage(picture);
    OverlayLibraryController* library = fx.app->libraryController();
    const int before = int(library->items().size());
    auto* button = find<QPushButton>("cameraButton");
    button->setFocus();
    quint64 stamp = 1000;
    auto press = [&](QWidget* target, Qt::KeyboardModifiers mods) {
        QKeyEvent e(QEvent::KeyPress, Qt::Key_V, mods, QStringLiteral("v"));
        e.setTimestamp(stamp += 10);  // as the platform's key events carry
        QCoreApplication::sendEvent(target, &e);
    };
    // Alt excludes.
    press(button, Qt::ControlModifier | Qt::AltModifier);
    EXPECT_EQ(library->items().size(), before);
    // Shift is not looked at.
    press(button, Qt::ControlModifier | Qt::ShiftModifier);
    ASSERT_EQ(library->items().size(), before + 1);
    EXPECT_EQ(library->selectedID(), library->items().last().id);
    // In the bar text field Ctrl+V pastes text, not an image.
    auto* field = find<QLineEdit>("lowerThirdTextField");
    window.activateWindow();
    QApplication::setActiveWindow(&window);
    EXPECT_TRUE(QTest::qWaitForWindowActive(&window));
    field->setFocus();
    ASSERT_EQ(QGuiApplication::focusObject(), field);
    press(field, Qt::ControlModifier);
    EXPECT_EQ(library->items().size(), before + 1);
}

TEST_F(ControlsTest, ManagePresetsSheetAddsAndRemoves) {
    auto* button = find<QToolButton>("presetsMenuButton");
    emit button->menu()->aboutToShow();
    QAction* manage = button->menu()->actions().last();
    ASSERT_EQ(manage->text(), QStringLiteral("Manage Presets…"));
    manage->trigger();
    auto* sheet = window.findChild<QDialog*>(QStringLiteral("managePresetsSheet"));
    ASSERT_NE(sheet, nullptr);
    EXPECT_EQ(sheet->windowTitle(), QStringLiteral("Lower Third Presets"));
    auto* list = sheet->findChild<QListWidget*>();
    auto* field = sheet->findChild<QLineEdit*>();
    ASSERT_TRUE(list && field);
    EXPECT_EQ(list->height(), 220);
    EXPECT_EQ(field->placeholderText(), QStringLiteral("New preset text"));
    QPushButton *add = nullptr, *remove = nullptr;
    for (QPushButton* b : sheet->findChildren<QPushButton*>()) {
        if (b->text() == QLatin1String("Add")) add = b;
        if (b->text() == QLatin1String("Remove Preset")) remove = b;
    }
    ASSERT_TRUE(add && remove);
    field->setText(QStringLiteral(" Intro "));
    add->click();
    field->setText(QStringLiteral("Outro"));
    add->click();
    EXPECT_TRUE(field->text().isEmpty());
    EXPECT_EQ(settings::lowerThirdPresets(), (QStringList{"Intro", "Outro"}));
    ASSERT_EQ(list->count(), 2);
    list->item(0)->setSelected(true);
    remove->click();
    EXPECT_EQ(settings::lowerThirdPresets(), QStringList{QStringLiteral("Outro")});
    sheet->accept();
}
