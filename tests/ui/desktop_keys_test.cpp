// The program on a real X server (Xvfb, 1366x768, started here) with keys typed through the X
// test extension, as a person would press them: the keyboard layout reports Ctrl+Shift+/ both as
// itself and as Ctrl+?, which only a real keymap shows.
#include "pipeline/Settings.h"
#include "tests/support/TestEnv.h"
#include "tests/ui/UiTestUtil.h"

#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QThread>

#include <gtest/gtest.h>

using namespace ostrela;

namespace {

QString run(const QString& program, const QStringList& args, const QString& display, int* exitCode = nullptr) {
    QProcess p;
    QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
    e.insert(QStringLiteral("DISPLAY"), display);
    p.setProcessEnvironment(e);
    p.start(program, args);
    p.waitForFinished(30000);
    if (exitCode) *exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    return QString::fromLocal8Bit(p.readAllStandardOutput());
}

class DesktopKeysTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* tool : {"Xvfb", "xdotool", "xwininfo"})
            ASSERT_FALSE(QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty())
                << tool << " is needed (installed by .ci/deps.sh)";
        // Xvfb picks a free display and prints its number. Without -noreset it resets whenever its
        // last client leaves (the readiness probe below is one) and refuses clients meanwhile.
        xvfb.start(QStringLiteral("Xvfb"), {QStringLiteral("-displayfd"), QStringLiteral("1"), QStringLiteral("-screen"),
                                            QStringLiteral("0"), QStringLiteral("1366x768x24"), QStringLiteral("-nolisten"),
                                            QStringLiteral("tcp"), QStringLiteral("-noreset")});
        ASSERT_TRUE(xvfb.waitForStarted(10000));
        ASSERT_TRUE(test::waitUntil([&] { return xvfb.canReadLine() || xvfb.state() != QProcess::Running; }, 30000));
        const QString number = QString::fromLatin1(xvfb.readLine()).trimmed();
        ASSERT_FALSE(number.isEmpty()) << "Xvfb did not start";
        display = QLatin1Char(':') + number;
        // On a loaded machine the server can announce its number a moment before a client gets
        // in: wait until one does, so the program does not start against a closed door.
        ASSERT_TRUE(test::waitUntil(
            [&] {
                int code = -1;
                run(QStringLiteral("xwininfo"), {QStringLiteral("-root")}, display, &code);
                return code == 0;
            },
            10000))
            << "no client could connect to " << qPrintable(display);

        // No first-run sheet and no extension activation (that would ask for a password).
        settings::setHasSeenOnboarding(true);
        settings::setHasAttemptedInitialActivation(true);
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert(QStringLiteral("DISPLAY"), display);
        e.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        e.insert(QStringLiteral("OSTRELA_SYNTHETIC_CAMERA"), QStringLiteral("1"));
        e.insert(QStringLiteral("OSTRELA_SYSTEMD_USER_DIR"), QString::fromStdString(env.root()) + QStringLiteral("/systemd"));
        e.insert(QStringLiteral("OSTRELA_BUNDLED_SYMBOLS"), QStringLiteral("1"));
        app.setProcessEnvironment(e);
        app.setProcessChannelMode(QProcess::MergedChannels);
        app.start(QString::fromStdString(test::programPath("ostrela")), {});
        ASSERT_TRUE(app.waitForStarted(10000));
        ASSERT_TRUE(waitForWindow(QStringLiteral("^Ostrela$"), true)) << qPrintable(QString::fromLocal8Bit(app.readAll()));
    }
    void TearDown() override {
        if (app.state() != QProcess::NotRunning) {
            app.terminate();
            if (!app.waitForFinished(10000)) app.kill();
            app.waitForFinished(5000);
        }
        if (xvfb.state() != QProcess::NotRunning) {
            xvfb.terminate();
            if (!xvfb.waitForFinished(10000)) xvfb.kill();
            xvfb.waitForFinished(5000);
        }
    }

    // The ids of the mapped windows whose title matches.
    QStringList windows(const QString& titlePattern) {
        return run(QStringLiteral("xdotool"), {QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--name"), titlePattern},
                   display)
            .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    }
    bool waitForWindow(const QString& titlePattern, bool shown) {
        return test::waitUntil(
                   [&] {
                       QThread::msleep(50);
                       return windows(titlePattern).isEmpty() != shown || app.state() == QProcess::NotRunning;
                   },
                   30000) &&
               app.state() == QProcess::Running;
    }
    // Focuses the window and types `keys` (xdotool's names, e.g. ctrl+shift+slash).
    void press(const QString& titlePattern, const QString& keys) {
        const QStringList ids = windows(titlePattern);
        ASSERT_FALSE(ids.isEmpty()) << qPrintable(titlePattern);
        run(QStringLiteral("xdotool"), {QStringLiteral("windowfocus"), QStringLiteral("--sync"), ids.first()}, display);
        run(QStringLiteral("xdotool"), {QStringLiteral("key"), keys}, display);
    }
    QSize windowSize(const QString& titlePattern) {
        const QStringList ids = windows(titlePattern);
        if (ids.isEmpty()) return {};
        const QString info = run(QStringLiteral("xwininfo"), {QStringLiteral("-id"), ids.first()}, display);
        const auto w = QRegularExpression(QStringLiteral("Width: (\\d+)")).match(info);
        const auto h = QRegularExpression(QStringLiteral("Height: (\\d+)")).match(info);
        return {w.captured(1).toInt(), h.captured(1).toInt()};
    }

    test::ScopedTestEnv env;
    QProcess xvfb;
    QProcess app;
    QString display;
};

}  // namespace

TEST_F(DesktopKeysTest, HelpShortcutEscapeAndCtrlW) {
    // The first size leaves room for a title bar and a panel on the 1366x768 screen.
    const QSize size = windowSize(QStringLiteral("^Ostrela$"));
    EXPECT_LE(size.width(), 1366);
    EXPECT_LE(size.height() + 80, 768);
    EXPECT_GE(size.height(), 560);

    // Ctrl+? as typed on a US keyboard: Ctrl, Shift and the "/" key.
    press(QStringLiteral("^Ostrela$"), QStringLiteral("ctrl+shift+slash"));
    ASSERT_TRUE(waitForWindow(QStringLiteral("^What Ostrela Does"), true)) << "the help window opens";
    press(QStringLiteral("^What Ostrela Does"), QStringLiteral("Escape"));
    EXPECT_TRUE(waitForWindow(QStringLiteral("^What Ostrela Does"), false)) << "Escape closes it";

    // F1 opens it as well; Ctrl+W closes it.
    press(QStringLiteral("^Ostrela$"), QStringLiteral("F1"));
    ASSERT_TRUE(waitForWindow(QStringLiteral("^What Ostrela Does"), true));
    press(QStringLiteral("^What Ostrela Does"), QStringLiteral("ctrl+w"));
    EXPECT_TRUE(waitForWindow(QStringLiteral("^What Ostrela Does"), false)) << "Ctrl+W closes it";

    // The settings window: Ctrl+, opens it, Ctrl+W and Escape close it.
    press(QStringLiteral("^Ostrela$"), QStringLiteral("ctrl+comma"));
    ASSERT_TRUE(waitForWindow(QStringLiteral("^Settings"), true));
    press(QStringLiteral("^Settings"), QStringLiteral("ctrl+w"));
    EXPECT_TRUE(waitForWindow(QStringLiteral("^Settings"), false));
    press(QStringLiteral("^Ostrela$"), QStringLiteral("ctrl+comma"));
    ASSERT_TRUE(waitForWindow(QStringLiteral("^Settings"), true));
    press(QStringLiteral("^Settings"), QStringLiteral("Escape"));
    EXPECT_TRUE(waitForWindow(QStringLiteral("^Settings"), false));

    // Ctrl+Q ends the program.
    press(QStringLiteral("^Ostrela$"), QStringLiteral("ctrl+q"));
    EXPECT_TRUE(app.waitForFinished(30000));
    EXPECT_EQ(app.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(app.exitCode(), 0);
}
