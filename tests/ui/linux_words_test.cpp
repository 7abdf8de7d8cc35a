// Every text the windows show is written for this desktop: none names the other one's places
// (its file browser, its settings application, its bundles and services, its disk images).
#include "extension/ExtensionManager.h"
#include "library/OverlayLibraryController.h"
#include "tests/ui/UiTestUtil.h"
#include "ui/ContentViewModel.h"
#include "ui/HelpTopics.h"
#include "ui/LibrarySidebarModel.h"
#include "ui/MainWindow.h"
#include "ui/OnboardingSheet.h"
#include "ui/StandardWindows.h"
#include "ui/VideoPaneModel.h"

#include <QAbstractButton>
#include <QAction>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QRegularExpression>
#include <QTabWidget>

#include <gtest/gtest.h>

using namespace ostrela;

namespace {

// Words of the other desktop, whole words only ("bundled" or "Machine" would be fine).
const QRegularExpression kOtherDesktop(
    QStringLiteral("\\b(Finder|Mac|Mac's|macOS|OS X|System Settings|System Preferences|Login Items|[Bb]undle|Mach|"
                   "DMG|Applications folder|Privacy & Security|Option-click|Control-click)\\b|Command-|\u2318|"
                   "\\.app\\b|/Applications"));

// The texts of a window and everything in it: labels, buttons, tooltips, prompts, titles, tabs,
// choices and actions.
QStringList textsOf(QWidget* root) {
    QStringList out;
    QList<QWidget*> widgets = root->findChildren<QWidget*>();
    widgets.prepend(root);
    for (QWidget* w : widgets) {
        out << w->windowTitle() << w->toolTip() << w->statusTip() << w->whatsThis();
        if (auto* l = qobject_cast<QLabel*>(w)) out << l->text();
        if (auto* b = qobject_cast<QAbstractButton*>(w)) out << b->text();
        if (auto* e = qobject_cast<QLineEdit*>(w)) out << e->placeholderText() << e->text();
        if (auto* g = qobject_cast<QGroupBox*>(w)) out << g->title();
        if (auto* c = qobject_cast<QComboBox*>(w))
            for (int i = 0; i < c->count(); ++i) out << c->itemText(i);
        if (auto* t = qobject_cast<QTabWidget*>(w))
            for (int i = 0; i < t->count(); ++i) out << t->tabText(i) << t->tabToolTip(i);
        for (QAction* a : w->actions()) out << a->text() << a->toolTip() << a->statusTip();
    }
    for (QAction* a : root->findChildren<QAction*>()) out << a->text() << a->toolTip() << a->statusTip();
    out.removeAll(QString());
    return out;
}

void expectNoOtherDesktop(const QStringList& texts, const char* where) {
    for (const QString& t : texts) EXPECT_FALSE(t.contains(kOtherDesktop)) << where << ": " << t.toStdString();
}

}  // namespace

TEST(LinuxWords, TheExpressionCatchesTheOtherDesktopsNames) {
    for (const char* bad : {"Reveal in Finder", "independent of your Mac's system volume", "Open System Settings",
                            "System Settings → Privacy & Security → Camera", "Login Items & Extensions",
                            "Mach service", "Bundle path", "App bundle ID",
                            "Drag Ostrela.app from the mounted DMG into your Applications folder"})
        EXPECT_TRUE(QString::fromUtf8(bad).contains(kOtherDesktop)) << bad;
    for (const char* fine : {"Show in File Manager", "independent of your computer's volume", "Open Camera Help",
                             "systemd service", "Program path", "App ID", "the bundled drawings", "Machine"})
        EXPECT_FALSE(QString::fromUtf8(fine).contains(kOtherDesktop)) << fine;
}

TEST(LinuxWords, EveryWindowMenuAndMessage) {
    test::ScopedTestEnv env;
    test::AppFixture fx(env);
    settings::setHasSeenOnboarding(true);
    installStandardWindows(*fx.app);
    // An image and a video in the library, so the item menus and the video controls exist.
    OverlayLibraryController* library = fx.app->libraryController();
    library->addFiles({test::writePNG(env, QStringLiteral("card.png"), Qt::red)});
    ASSERT_FALSE(library->items().isEmpty());

    MainWindow window(fx.app.get());
    window.show();
    QMenuBar bar;
    fx.app->installMenus(&bar);
    expectNoOtherDesktop(textsOf(&window), "main window");
    expectNoOtherDesktop(textsOf(&bar), "menus");
    for (const OverlayLibraryItem& item : library->items())
        for (const SidebarMenuEntry& e : window.sidebarModel()->itemMenu(item))
            expectNoOtherDesktop({e.title}, "item menu");

    // The approval banner while the authentication dialog is up, and the manager's status.
    ASSERT_FALSE(fx.platform->requests().empty());
    fx.platform->playNeedsUserApproval();
    expectNoOtherDesktop(textsOf(&window), "main window, awaiting approval");
    expectNoOtherDesktop({fx.app->extensionManager()->statusText()}, "camera status");
    expectNoOtherDesktop(fx.app->extensionManager()->logLines(), "camera log");

    for (const char* id : {kSettingsWindowID, kLowerThirdDesignWindowID, kHelpWindowID}) {
        QWidget* w = fx.app->openWindow(QString::fromLatin1(id));
        ASSERT_NE(w, nullptr) << id;
        expectNoOtherDesktop(textsOf(w), id);
        w->close();
    }
    OnboardingSheet sheet;
    expectNoOtherDesktop(textsOf(&sheet), "onboarding");
    for (const OnboardingStep& s : onboarding::steps()) expectNoOtherDesktop({s.title, s.text}, "onboarding steps");
    for (const HelpTopic& t : helpTopics()) expectNoOtherDesktop({t.title, t.body}, "help topics");
    expectNoOtherDesktop({QString::fromUtf8(videopane::kVolumeHelp), QString::fromUtf8(content::kApprovalText),
                          QString::fromUtf8(content::kOpenCameraHelp), ExtensionManager::troubleshootingText()},
                         "texts");
}
