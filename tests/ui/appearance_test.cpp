// Dark mode as a person sees it: the outline of an unchecked check box and the red of "Reset All
// Ostrela Data…" measured from rendered pixels; every symbol recoloured at once when the
// appearance changes while the windows are open; every help topic and effect with its symbol.
#include "ui/Appearance.h"
#include "effects/Effects.h"
#include "tests/ui/UiTestUtil.h"
#include "tests/ui/WindowTestUtil.h"
#include "ui/HelpTopics.h"
#include "ui/HelpWindow.h"
#include "ui/MainWindow.h"
#include "ui/SettingsWindow.h"
#include "ui/StandardWindows.h"
#include "ui/Symbols.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QHash>
#include <QLineEdit>
#include <QListWidget>
#include <QMenuBar>
#include <QPushButton>
#include <QStyleOptionButton>
#include <QTabBar>
#include <QTabWidget>
#include <QToolButton>
#include <QTreeWidget>

#include <gtest/gtest.h>

using namespace ostrela;

namespace {

QColor at(const QImage& image, QPoint p) { return image.pixelColor(p); }

// The most frequent opaque colour of an icon drawn at 16 pixels; invalid when it draws nothing.
QColor ink(const QIcon& icon, QIcon::Mode mode = QIcon::Normal) {
    const QImage image = icon.pixmap(QSize(16, 16), mode).toImage().convertToFormat(QImage::Format_ARGB32);
    QHash<QRgb, int> counts;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (qAlpha(image.pixel(x, y)) > 200) ++counts[image.pixel(x, y) | 0xFF000000u];
    int total = 0, best = 0;
    QRgb colour = 0;
    for (auto it = counts.constBegin(); it != counts.constEnd(); ++it) {
        total += it.value();
        if (it.value() > best) best = it.value(), colour = it.key();
    }
    return total >= 5 ? QColor::fromRgb(colour) : QColor();
}

bool near(const QColor& a, const QColor& b, int tolerance = 12) {
    return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance &&
           std::abs(a.blue() - b.blue()) <= tolerance;
}

// Every icon shown by the widgets of `window`, with a name for messages.
QList<std::pair<QString, QIcon>> iconsOf(QWidget* window) {
    QList<std::pair<QString, QIcon>> out;
    auto name = [](const QObject* o) { return QString::fromLatin1(o->metaObject()->className()) + u' ' + o->objectName(); };
    for (QAbstractButton* b : window->findChildren<QAbstractButton*>())
        if (!b->icon().isNull()) out.append({name(b), b->icon()});
    for (QComboBox* c : window->findChildren<QComboBox*>())
        for (int i = 0; i < c->count(); ++i)
            if (!c->itemIcon(i).isNull()) out.append({name(c) + u' ' + c->itemText(i), c->itemIcon(i)});
    for (QListWidget* l : window->findChildren<QListWidget*>())
        for (int i = 0; i < l->count(); ++i)
            if (!l->item(i)->icon().isNull()) out.append({name(l) + u' ' + l->item(i)->text(), l->item(i)->icon()});
    for (QTreeWidget* t : window->findChildren<QTreeWidget*>())
        for (int i = 0; i < t->topLevelItemCount(); ++i)  // group rows; item rows show thumbnails
            if (!t->topLevelItem(i)->icon(0).isNull()) out.append({name(t) + u' ' + t->topLevelItem(i)->text(0), t->topLevelItem(i)->icon(0)});
    for (QTabWidget* t : window->findChildren<QTabWidget*>())
        for (int i = 0; i < t->count(); ++i)
            if (!t->tabIcon(i).isNull()) out.append({name(t) + u' ' + t->tabText(i), t->tabIcon(i)});
    for (QLineEdit* e : window->findChildren<QLineEdit*>())
        for (QAction* a : e->actions())
            if (!a->icon().isNull()) out.append({name(e) + QStringLiteral(" action"), a->icon()});
    return out;
}

// The highest contrast against `background` reached by the strongest tenth of the pixels of
// `region` that differ from it (the cores of glyph strokes and lines, not their soft edges).
double strokeContrast(const QImage& image, const QRect& region, const QColor& background,
                      const std::function<bool(const QColor&)>& counts = {}) {
    std::vector<double> c;
    for (int y = region.top(); y <= region.bottom(); ++y)
        for (int x = region.left(); x <= region.right(); ++x) {
            const QColor p = image.pixelColor(x, y);
            if (near(p, background, 6) || (counts && !counts(p))) continue;
            c.push_back(contrastRatio(p, background));
        }
    if (c.empty()) return 1.0;
    std::sort(c.begin(), c.end(), std::greater<>());
    const size_t n = std::max<size_t>(1, c.size() / 10);
    double sum = 0;
    for (size_t i = 0; i < n; ++i) sum += c[i];
    return sum / double(n);
}

class AppearanceTest : public ::testing::Test {
protected:
    AppearanceTest() : fx(env) {
        settings::setHasSeenOnboarding(true);
        installStandardWindows(*fx.app);
    }
    ~AppearanceTest() override { fx.app->setDarkMode(false); }
    test::ScopedTestEnv env;
    test::AppFixture fx;
};

}  // namespace

TEST_F(AppearanceTest, UncheckedCheckBoxOutlineReachesThreeToOne) {
    for (bool dark : {true, false}) {
        fx.app->setDarkMode(dark);
        MainWindow window(fx.app.get());
        window.resize(1180, 900);
        const QImage shot = test::grabWindow(&window);
        auto* box = window.findChild<QCheckBox*>(QStringLiteral("lowerThirdToggle"));
        ASSERT_NE(box, nullptr);
        ASSERT_FALSE(box->isChecked());
        QStyleOptionButton option;
        option.initFrom(box);
        const QRect indicator =
            box->style()->subElementRect(QStyle::SE_CheckBoxIndicator, &option, box).translated(box->mapTo(&window, QPoint(0, 0)));
        ASSERT_TRUE(indicator.isValid());
        // The window around the box, just left of it.
        const QColor background = at(shot, QPoint(indicator.left() - 3, indicator.center().y()));
        EXPECT_TRUE(near(background, QApplication::palette().color(QPalette::Window), 16));
        // Each side of the square stands out from the window.
        const int inset = 3;
        const QRect sides[] = {QRect(indicator.left(), indicator.top() + inset, 2, indicator.height() - 2 * inset),
                               QRect(indicator.right() - 1, indicator.top() + inset, 2, indicator.height() - 2 * inset),
                               QRect(indicator.left() + inset, indicator.top(), indicator.width() - 2 * inset, 2),
                               QRect(indicator.left() + inset, indicator.bottom() - 1, indicator.width() - 2 * inset, 2)};
        for (const QRect& side : sides) {
            double best = 1;
            for (int y = side.top(); y <= side.bottom(); ++y)
                for (int x = side.left(); x <= side.right(); ++x) best = std::max(best, contrastRatio(at(shot, {x, y}), background));
            EXPECT_GE(best, 3.0) << (dark ? "dark" : "light") << " side at " << side.x() << "," << side.y();
        }
        if (dark) test::saveScreenshot(shot.copy(indicator.adjusted(-30, -12, 160, 12)), "dark-check-box.png");
    }
}

TEST_F(AppearanceTest, ResetTextReachesThreeToOneOnItsButton) {
    for (bool dark : {true, false}) {
        fx.app->setDarkMode(dark);
        auto* settingsWindow = qobject_cast<SettingsWindow*>(fx.app->openWindow(QString::fromLatin1(kSettingsWindowID)));
        ASSERT_NE(settingsWindow, nullptr);
        settingsWindow->tabs()->setCurrentIndex(0);
        const QImage shot = test::grabWindow(settingsWindow);
        auto* reset = settingsWindow->findChild<QPushButton*>(QStringLiteral("resetAllData"));
        ASSERT_NE(reset, nullptr);
        ASSERT_TRUE(reset->isVisible());
        const QRect r(reset->mapTo(settingsWindow, QPoint(0, 0)), reset->size());
        // The button's face: the colour of the most pixels inside it.
        QHash<QRgb, int> counts;
        for (int y = r.top() + 3; y < r.bottom() - 3; ++y)
            for (int x = r.left() + 3; x < r.right() - 3; ++x) ++counts[shot.pixel(x, y)];
        QRgb face = 0;
        int best = 0;
        for (auto it = counts.constBegin(); it != counts.constEnd(); ++it)
            if (it.value() > best) best = it.value(), face = it.key();
        const QColor faceColour = QColor::fromRgb(face);
        // The red text: reddish pixels only.
        const double contrast = strokeContrast(shot, r.adjusted(4, 4, -4, -4), faceColour,
                                               [](const QColor& p) { return p.red() > p.green() + 40 && p.red() > p.blue() + 40; });
        EXPECT_GE(contrast, 3.0) << (dark ? "dark" : "light");
        if (dark) test::saveScreenshot(shot.copy(r.adjusted(-8, -8, 8, 8)), "dark-reset-button.png");
        settingsWindow->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
}

TEST_F(AppearanceTest, SwitchingAppearanceRecoloursEverySymbolAtOnce) {
    fx.app->setDarkMode(false);
    MainWindow window(fx.app.get());
    window.resize(1180, 900);
    window.show();
    QWidget* help = fx.app->openWindow(QString::fromLatin1(kHelpWindowID));
    QWidget* settingsWindow = fx.app->openWindow(QString::fromLatin1(kSettingsWindowID));
    QApplication::processEvents();
    const QColor lightInk = lightPalette().color(QPalette::ButtonText);
    const QColor darkInk = darkPalette().color(QPalette::ButtonText);

    for (bool dark : {true, false}) {
        // Switched while everything is open, as from the settings window.
        fx.app->setDarkMode(dark);
        QApplication::processEvents();
        const QColor stale = dark ? lightInk : darkInk;
        const QColor now = dark ? darkInk : lightInk;
        int following = 0, checked = 0;
        for (QWidget* w : {static_cast<QWidget*>(&window), help, settingsWindow}) {
            for (const auto& [name, icon] : iconsOf(w)) {
                const QColor c = ink(icon);
                if (!c.isValid()) continue;
                ++checked;
                EXPECT_FALSE(near(c, stale)) << qPrintable(name) << " still in the other appearance's colour";
                if (near(c, now)) ++following;
            }
            for (symbols::SymbolView* v : w->findChildren<symbols::SymbolView*>()) {
                const QColor c = ink(QIcon(v->currentPixmap()));
                if (!c.isValid()) continue;
                ++checked;
                EXPECT_FALSE(near(c, stale)) << qPrintable(v->objectName());
            }
        }
        EXPECT_GE(checked, 40);
        EXPECT_GE(following, 30) << "symbols drawn in the new text colour";
        // What is on screen, too: the effect preview toggle in the grabbed window.
        const QImage shot = window.grab().toImage();
        auto* eye = window.findChild<QToolButton*>(QStringLiteral("effectPreviewToggle"));
        const QRect r(eye->mapTo(&window, QPoint(0, 0)), eye->size());
        int inNew = 0, inStale = 0;
        for (int y = r.top() + 4; y < r.bottom() - 4; ++y)
            for (int x = r.left() + 4; x < r.right() - 4; ++x) {
                if (near(shot.pixelColor(x, y), now, 10)) ++inNew;
                if (near(shot.pixelColor(x, y), stale, 10)) ++inStale;
            }
        EXPECT_GT(inNew, 20) << (dark ? "dark" : "light");
        // (The dark scheme's ink is close to the light button's face: only the dark check counts.)
        if (dark) {
            EXPECT_EQ(inStale, 0);
        }
    }
    help->close();
    settingsWindow->close();
}

TEST_F(AppearanceTest, EveryHelpTopicAndEffectShowsItsSymbol) {
    for (const HelpTopic& topic : helpTopics()) EXPECT_TRUE(symbols::hasBundled(topic.systemImage)) << qPrintable(topic.id);
    for (const auto& info : effects::effectTable())
        EXPECT_TRUE(symbols::hasBundled(QString::fromLatin1(info.symbol))) << info.symbol;

    for (bool dark : {false, true}) {
        fx.app->setDarkMode(dark);
        auto* help = qobject_cast<HelpWindow*>(fx.app->openWindow(QString::fromLatin1(kHelpWindowID)));
        ASSERT_NE(help, nullptr);
        QListWidget* list = help->topicList();
        ASSERT_EQ(list->count(), int(helpTopics().size()));
        const QColor window = QApplication::palette().color(QPalette::Window);
        for (int i = 0; i < list->count(); ++i) {
            const QColor c = ink(list->item(i)->icon());
            ASSERT_TRUE(c.isValid()) << qPrintable(list->item(i)->text()) << " has no symbol";
            EXPECT_GE(contrastRatio(c, window), 3.0) << qPrintable(list->item(i)->text());
        }
        if (!dark) test::saveScreenshot(test::grabWindow(help), "help-window-topics.png");
        help->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);

        MainWindow main(fx.app.get());
        auto* picker = main.findChild<QComboBox*>(QStringLiteral("effectPicker"));
        ASSERT_NE(picker, nullptr);
        ASSERT_EQ(picker->count(), 16);
        for (int i = 0; i < picker->count(); ++i) {
            const QColor c = ink(picker->itemIcon(i));
            ASSERT_TRUE(c.isValid()) << qPrintable(picker->itemText(i)) << " has no symbol";
            EXPECT_GE(contrastRatio(c, window), 3.0) << qPrintable(picker->itemText(i));
        }
    }
}

TEST_F(AppearanceTest, ColoursWrittenIntoADrawingKeepItsCutOuts) {
    fx.app->setDarkMode(true);
    // White ink (the video marker on thumbnails) and the cut-out cross of "xmark.circle.fill".
    EXPECT_TRUE(near(ink(symbols::icon(QStringLiteral("video.fill"), Qt::white)), Qt::white, 2));
    const QImage mark = symbols::icon(QStringLiteral("xmark.circle.fill"), Qt::white).pixmap(48, 48).toImage();
    const QColor window = QApplication::palette().color(QPalette::Window);
    EXPECT_TRUE(near(mark.pixelColor(24, 24), window, 12)) << qPrintable(mark.pixelColor(24, 24).name());
    EXPECT_TRUE(near(mark.pixelColor(24, 7), Qt::white, 12)) << qPrintable(mark.pixelColor(24, 7).name());
}
