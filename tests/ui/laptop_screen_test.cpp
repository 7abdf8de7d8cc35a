// The main window on small screens: its first size on a 1366x768 laptop, nothing clipped and no
// sideways scrolling at its minimum size, a 16:9 preview that stops growing before the effect row
// leaves the view, the video pane floating over the preview, the wheel scrolling the column over
// its controls, and popovers that open on screen.
#include "library/OverlayLibraryController.h"
#include "library/VideoPlaybackService.h"
#include "tests/ui/UiTestUtil.h"
#include "tests/ui/WindowTestUtil.h"
#include "ui/ContentViewModel.h"
#include "ui/LayoutHelpers.h"
#include "ui/LibrarySidebar.h"
#include "ui/MainWindow.h"
#include "ui/VideoPaneModel.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QScrollArea>
#include <QScrollBar>
#include <QSlider>
#include <QTemporaryDir>
#include <QToolButton>
#include <QWheelEvent>

#include <gtest/gtest.h>

using namespace ostrela;

namespace {

const QRect kLaptop(0, 0, 1366, 768);

std::string clipPath() {
    static QTemporaryDir dir;
    static std::string path;
    if (path.empty()) {
        path = dir.path().toStdString() + "/clip.mp4";
        std::string out;
        const int rc = test::runCommand("ffmpeg -v error -y -f lavfi -i testsrc=size=320x180:rate=25 -t 4 -c:v libx264 "
                                        "-pix_fmt yuv420p '" + path + "' 2>&1", &out);
        EXPECT_EQ(rc, 0) << out;
    }
    return path;
}

class LaptopScreenTest : public ::testing::Test {
protected:
    LaptopScreenTest() : fx(env) {}
    ~LaptopScreenTest() override { fx.app->setDarkMode(false); }

    MainWindow& open(QSize size, bool dark = false) {
        settings::setHasSeenOnboarding(true);
        settings::setAppearanceIsDark(dark);
        fx.app->applyAppearance();
        window = std::make_unique<MainWindow>(fx.app.get());
        window->preview()->setFixedTimeForTesting(1234.5);
        window->resize(size);
        window->show();
        settle();
        return *window;
    }
    void settle() {
        for (int i = 0; i < 4; ++i) QApplication::processEvents();
    }
    void loadVideo() {
        OverlayLibraryController* library = fx.app->libraryController();
        library->addFiles({QString::fromStdString(clipPath())});
        ASSERT_FALSE(library->items().isEmpty());
        library->setSelectedID(library->items().last().id);
        ASSERT_TRUE(test::waitUntil([&] { return window->model()->videoPlayback()->duration() > 3.5; }, 20000));
        settle();
    }
    // A widget's rectangle in the window's coordinates.
    QRect inWindow(const QWidget* w) const { return QRect(w->mapTo(window.get(), QPoint(0, 0)), w->size()); }
    QRect inView(const QWidget* w) const {
        return QRect(w->mapTo(window->controlScroll()->viewport(), QPoint(0, 0)), w->size());
    }
    QString shoot(const char* name) {
        return test::saveScreenshot(window->grab().toImage(), name);
    }

    // Every shown control inside `area` sits wholly inside it and is not squeezed below the width
    // it needs for its text.
    void expectNothingClipped(const QWidget* area, const QRect& visible) {
        for (const QWidget* w : area->findChildren<QWidget*>()) {
            if (!w->isVisibleTo(window.get()) || w->isWindow()) continue;
            // A line edit places its own icon buttons.
            if (qobject_cast<const QLineEdit*>(w->parentWidget())) continue;
            if (!qobject_cast<const QAbstractButton*>(w) && !qobject_cast<const QLabel*>(w) &&
                !qobject_cast<const QComboBox*>(w) && !qobject_cast<const QSlider*>(w))
                continue;
            // Inside a scroll area only the sideways extent counts.
            const QRect r = inWindow(w);
            EXPECT_GE(r.left(), visible.left()) << qPrintable(w->objectName()) << " " << w->metaObject()->className();
            EXPECT_LE(r.right(), visible.right()) << qPrintable(w->objectName()) << " " << w->metaObject()->className();
            const auto* label = qobject_cast<const QLabel*>(w);
            if (!(label && label->wordWrap()))
                EXPECT_GE(w->width(), w->minimumSizeHint().width())
                    << qPrintable(w->objectName()) << " " << w->metaObject()->className() << " is squeezed";
        }
    }

    test::ScopedTestEnv env;
    test::AppFixture fx;
    std::unique_ptr<MainWindow> window;
};

}  // namespace

TEST(LaptopScreen, DefaultSizeLeavesRoomForTheTitleBarAndAPanel) {
    // A desktop that reports no panel on a 1366x768 screen: room for one is kept anyway.
    const QSize plain = defaultMainWindowSize(kLaptop, kLaptop);
    EXPECT_LE(plain.height() + layout::kTitleBarAllowance + layout::kPanelAllowance, 768);
    EXPECT_LE(plain.width(), 1366);
    EXPECT_GE(plain.height(), 560);
    // A reported 32-pixel panel: the window and its title bar fit the rest.
    const QRect work(0, 32, 1366, 736);
    const QSize withPanel = defaultMainWindowSize(work, kLaptop);
    EXPECT_LE(withPanel.height() + layout::kTitleBarAllowance, 736);
    // A large screen gets the preferred size; a tiny one the minimum.
    EXPECT_EQ(defaultMainWindowSize(QRect(0, 0, 1920, 1050), QRect(0, 0, 1920, 1080)), QSize(1180, 820));
    EXPECT_EQ(defaultMainWindowSize(QRect(0, 0, 800, 600), QRect(0, 0, 800, 600)), QSize(820, 560));
}

TEST(LaptopScreen, PopoversOpenOnScreenAndFlipAboveWithoutRoomBelow) {
    const QRect screen(0, 0, 1366, 768);
    const QSize pop(300, 160);
    // Room below: under the button, right edges aligned.
    const QRect high(900, 100, 30, 30);
    EXPECT_EQ(popoverPosition(high, pop, screen), QPoint(930 - 300, 130));
    // No room below: above the button.
    const QRect low(900, 700, 30, 30);
    EXPECT_EQ(popoverPosition(low, pop, screen), QPoint(630, 700 - 160));
    // Near the left edge: moved on screen.
    EXPECT_EQ(popoverPosition(QRect(10, 100, 30, 30), pop, screen).x(), 0);
    // Taller than either side: kept inside the screen.
    const QPoint p = popoverPosition(QRect(600, 380, 30, 30), QSize(300, 700), screen);
    EXPECT_GE(p.y(), 0);
    EXPECT_LE(p.y() + 700, 768);
}

TEST_F(LaptopScreenTest, DefaultLaptopSizeInBothAppearances) {
    const QSize size = defaultMainWindowSize(kLaptop, kLaptop);
    for (bool dark : {false, true}) {
        MainWindow& w = open(size, dark);
        QScrollArea* scroll = w.controlScroll();
        EXPECT_FALSE(scroll->horizontalScrollBar()->isVisible());
        // The preview is 16:9 and the effect row is in view without scrolling.
        const QRect picture = w.preview()->pictureRect();
        EXPECT_NEAR(picture.width() * 9.0 / 16.0, picture.height(), 1.0);
        const QWidget* effect = w.findChild<QWidget*>(QStringLiteral("effectSection"));
        EXPECT_LE(inView(effect).bottom(), scroll->viewport()->height());
        expectNothingClipped(w.centralWidget(), w.centralWidget()->geometry());
        shoot(dark ? "main-window-1366x768-dark.png" : "main-window-1366x768-light.png");
    }
}

TEST_F(LaptopScreenTest, MinimumSize) {
    MainWindow& w = open(layout::kMainWindowMinimumSize);
    EXPECT_EQ(w.size(), QSize(820, 560));
    QScrollArea* scroll = w.controlScroll();
    EXPECT_FALSE(scroll->horizontalScrollBar()->isVisible()) << "no sideways scrolling";
    expectNothingClipped(w.centralWidget(), w.centralWidget()->geometry());
    const QRect picture = w.preview()->pictureRect();
    EXPECT_NEAR(picture.width() * 9.0 / 16.0, picture.height(), 1.0);
    const QWidget* effect = w.findChild<QWidget*>(QStringLiteral("effectSection"));
    EXPECT_LE(inView(effect).bottom(), scroll->viewport()->height());
    shoot("main-window-minimum.png");
}

TEST_F(LaptopScreenTest, PreviewStopsGrowingBeforeTheEffectRowLeavesTheView) {
    // Wide and short: a picture as wide as the column would push the effect row out of view.
    MainWindow& w = open(QSize(1600, 620));
    QScrollArea* scroll = w.controlScroll();
    const QRect picture = w.preview()->pictureRect();
    EXPECT_NEAR(picture.width() * 9.0 / 16.0, picture.height(), 1.0) << "still 16:9";
    EXPECT_LT(picture.width(), w.preview()->width() - 40) << "narrower than the column: it stopped growing";
    EXPECT_NEAR(picture.center().x(), w.preview()->width() / 2.0, 1.0) << "centred";
    EXPECT_GE(picture.height(), 180);
    const QWidget* effect = w.findChild<QWidget*>(QStringLiteral("effectSection"));
    EXPECT_LE(inView(effect).bottom(), scroll->viewport()->height());
    // Made taller, it grows again.
    w.resize(1600, 1000);
    settle();
    EXPECT_GT(w.preview()->pictureRect().height(), picture.height());
    EXPECT_LE(inView(effect).bottom(), scroll->viewport()->height());
}

TEST_F(LaptopScreenTest, VideoPaneFloatsOverThePreview) {
    for (QSize size : {defaultMainWindowSize(kLaptop, kLaptop), layout::kMainWindowMinimumSize, QSize(1600, 1000)}) {
        MainWindow& w = open(size);
        loadVideo();
        VideoPaneWidget* pane = w.videoPane();
        ASSERT_TRUE(pane->isVisible()) << size.width();
        QWidget* view = w.controlScroll()->viewport();
        const QRect p = inView(pane);
        const QRect picture = w.preview()->pictureRect().translated(w.preview()->mapTo(view, QPoint(0, 0)));
        const QWidget* cameraBar = w.findChild<QWidget*>(QStringLiteral("cameraBar"));
        // Over the lower part of the picture, inside the view, clear of the camera bar.
        EXPECT_TRUE(view->rect().contains(p)) << size.width();
        EXPECT_TRUE(picture.contains(p)) << size.width();
        EXPECT_GT(p.center().y(), picture.center().y()) << size.width();
        EXPECT_GT(p.top(), inView(cameraBar).bottom()) << size.width();
        expectNothingClipped(pane, inWindow(pane));
        if (size == defaultMainWindowSize(kLaptop, kLaptop)) shoot("main-window-1366x768-video.png");
        if (size == layout::kMainWindowMinimumSize) shoot("main-window-minimum-video.png");
        // Scrolled down, it stays in view along the top edge.
        QScrollBar* bar = w.controlScroll()->verticalScrollBar();
        if (bar->maximum() > 0) {
            bar->setValue(bar->maximum());
            settle();
            EXPECT_TRUE(view->rect().contains(inView(pane))) << size.width();
        }
        window.reset();
        fx.app->libraryController()->setSelectedID(QUuid());
    }
}

namespace {

// A turn of the wheel over the middle of `w`, as the pointer would deliver it.
void wheelOver(QWidget* w, int notches) {
    const QPointF local = QRectF(w->rect()).center();
    QWheelEvent e(local, w->mapToGlobal(local), QPoint(), QPoint(0, -120 * notches), Qt::NoButton, Qt::NoModifier,
                  Qt::NoScrollPhase, false);
    QApplication::sendEvent(w, &e);
}

}  // namespace

TEST_F(LaptopScreenTest, WheelOverControlsScrollsTheColumnUnlessTheControlHasFocus) {
    MainWindow& w = open(layout::kMainWindowMinimumSize);
    QScrollBar* bar = w.controlScroll()->verticalScrollBar();
    ASSERT_GT(bar->maximum(), 0) << "the column scrolls at this size";
    auto* size = w.findChild<QSlider*>(QStringLiteral("sizeSlider"));
    auto* effect = w.findChild<QComboBox*>(QStringLiteral("effectPicker"));
    ASSERT_TRUE(size && effect);
    // Neither takes the focus from the wheel on its way down the column.
    EXPECT_NE(effect->focusPolicy(), Qt::WheelFocus);
    EXPECT_NE(size->focusPolicy(), Qt::WheelFocus);

    const int sizeBefore = size->value();
    const int effectBefore = effect->currentIndex();
    wheelOver(effect, 1);
    EXPECT_EQ(effect->currentIndex(), effectBefore);
    const int scrolled = bar->value();
    EXPECT_GT(scrolled, 0) << "the column scrolled instead";
    wheelOver(size, 1);
    EXPECT_EQ(size->value(), sizeBefore);
    EXPECT_GT(bar->value(), scrolled);
    EXPECT_EQ(settings::videoEffect(), VideoEffect::none);

    // A control the user clicked or tabbed to takes the wheel.
    size->setFocus(Qt::TabFocusReason);
    ASSERT_TRUE(size->hasFocus());
    const int barBefore = bar->value();
    wheelOver(size, 1);
    EXPECT_NE(size->value(), sizeBefore);
    EXPECT_EQ(bar->value(), barBefore);
}

TEST_F(LaptopScreenTest, PictureInPictureSettingsOpenOnScreen) {
    MainWindow& w = open(layout::kMainWindowMinimumSize);
    loadVideo();
    QToolButton* pip = w.videoPane()->pipButton();
    QScreen* screen = pip->screen();
    ASSERT_NE(screen, nullptr);
    const QRect area = screen->availableGeometry();
    auto buttonRect = [&] { return QRect(pip->mapToGlobal(QPoint(0, 0)), pip->size()); };

    // Room below the button: it opens below it.
    w.move(area.topLeft() + QPoint(0, area.top() - buttonRect().top() + 40));
    settle();
    QWidget* below = w.videoPane()->showPiPPopover();
    settle();
    EXPECT_TRUE(area.contains(below->geometry())) << "on screen";
    EXPECT_GE(below->geometry().top(), buttonRect().bottom());
    below->close();
    settle();

    // The button near the bottom of the screen: it opens above it.
    w.move(w.pos() + QPoint(0, area.bottom() - 20 - buttonRect().bottom()));
    settle();
    ASSERT_LE(buttonRect().bottom(), area.bottom());
    QWidget* above = w.videoPane()->showPiPPopover();
    settle();
    EXPECT_TRUE(area.contains(above->geometry())) << "on screen";
    EXPECT_LE(above->geometry().bottom(), buttonRect().top());
    above->close();
    settle();
}
