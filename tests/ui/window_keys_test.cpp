// Keys and closing: the help shortcut has one binding per key, Escape and Ctrl+W close the help,
// settings and design windows, and closing the main window ends the program with its windows.
#include "ui/Application.h"
#include "tests/ui/UiTestUtil.h"
#include "ui/ContentViewModel.h"
#include "ui/MainWindow.h"
#include "ui/StandardWindows.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QMenuBar>
#include <QShortcut>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

using namespace ostrela;

namespace {

class WindowKeysTest : public ::testing::Test {
protected:
    WindowKeysTest() : fx(env) {
        settings::setHasSeenOnboarding(true);
        installStandardWindows(*fx.app);
    }
    // Every key binding of the window's menus and of its shortcuts.
    static QList<QKeySequence> bindings(QWidget* window) {
        QList<QKeySequence> out;
        std::function<void(QMenu*)> walk = [&](QMenu* m) {
            for (QAction* a : m->actions()) {
                if (a->menu()) walk(a->menu());
                out << a->shortcuts();
            }
        };
        if (auto* mw = qobject_cast<QMainWindow*>(window))
            for (QAction* top : mw->menuBar()->actions())
                if (top->menu()) walk(top->menu());
        for (QShortcut* s : window->findChildren<QShortcut*>()) out << s->key();
        return out;
    }
    test::ScopedTestEnv env;
    test::AppFixture fx;
};

}  // namespace

TEST_F(WindowKeysTest, HelpShortcutHasOneBindingPerKeyAndFires) {
    MainWindow window(fx.app.get());
    window.show();
    QApplication::processEvents();
    auto* help = window.findChild<QAction*>(QStringLiteral("helpAction"));
    ASSERT_NE(help, nullptr);
    // Ctrl+Shift+/ is how a US keyboard reports Ctrl+?: binding both makes one press ambiguous.
    EXPECT_EQ(help->shortcuts(), (QList<QKeySequence>{QKeySequence(QStringLiteral("Ctrl+?")), QKeySequence(Qt::Key_F1)}));
    EXPECT_EQ(help->shortcut().toString(QKeySequence::NativeText), QKeySequence(QStringLiteral("Ctrl+?")).toString(QKeySequence::NativeText))
        << "the menu shows the key that works";
    const QList<QKeySequence> all = bindings(&window);
    for (const QKeySequence& k : all) EXPECT_EQ(all.count(k), 1) << qPrintable(k.toString());

    window.activateWindow();
    QApplication::processEvents();
    QTest::keyClick(&window, Qt::Key_Question, Qt::ControlModifier);
    QWidget* opened = fx.app->window(QString::fromLatin1(kHelpWindowID));
    ASSERT_NE(opened, nullptr);
    EXPECT_TRUE(opened->isVisible());
    opened->close();
}

TEST_F(WindowKeysTest, EscapeAndCtrlWCloseHelpSettingsAndDesign) {
    for (const char* id : {kHelpWindowID, kSettingsWindowID, kLowerThirdDesignWindowID}) {
        for (QKeyCombination keys : {QKeyCombination(Qt::Key_Escape), QKeyCombination(Qt::ControlModifier, Qt::Key_W)}) {
            QPointer<QWidget> w = fx.app->openWindow(QString::fromLatin1(id));
            ASSERT_NE(w, nullptr) << id;
            w->activateWindow();
            QApplication::processEvents();
            ASSERT_TRUE(w->isVisible()) << id;
            QWidget* target = w->focusWidget() ? w->focusWidget() : w.data();
            QTest::keyClick(target, keys.key(), keys.keyboardModifiers());
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
            EXPECT_TRUE(!w || !w->isVisible()) << id << " stays open after " << qPrintable(QKeySequence(keys).toString());
            EXPECT_EQ(fx.app->window(QString::fromLatin1(id)), nullptr) << id;
        }
    }
}

TEST_F(WindowKeysTest, ClosingTheMainWindowEndsTheProgramAndItsWindows) {
    auto window = std::make_unique<MainWindow>(fx.app.get());
    window->show();
    QApplication::processEvents();
    QList<QPointer<QWidget>> others;
    for (const char* id : {kHelpWindowID, kSettingsWindowID, kLowerThirdDesignWindowID})
        others << QPointer<QWidget>(fx.app->openWindow(QString::fromLatin1(id)));
    window->model()->toggleCamera();
    ASSERT_TRUE(test::waitUntil([&] { return window->model()->isCameraRunning(); }, 20000));

    // The program's loop ends when the main window closes, though other windows were open.
    QTimer::singleShot(0, window.get(), [&] { window->close(); });
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(99); });
    guard.start(60000);
    const int rc = QApplication::exec();
    guard.stop();
    EXPECT_EQ(rc, 0) << "the loop went on after the main window closed";
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    for (const QPointer<QWidget>& w : others) EXPECT_TRUE(!w || !w->isVisible());
    EXPECT_TRUE(test::waitUntil([&] { return !window->model()->isCameraRunning(); }, 20000))
        << "nothing publishes behind a closed window";
}
