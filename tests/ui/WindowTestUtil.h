#pragma once
// Helpers of the help, design and settings window tests: grabbing a window offscreen, saving it
// into the build's test output directory, and simple measurements of the picture.
#include "tests/ui/UiTestUtil.h"

#include <QApplication>
#include <QDir>
#include <QImage>
#include <QLayout>
#include <QSet>
#include <QWidget>

#include <cstdio>

namespace ostrela::test {

// Shows the window on the offscreen platform, lets it lay out and paint, and grabs it.
inline QImage grabWindow(QWidget* window) {
    window->show();
    if (window->layout()) window->layout()->activate();
    QApplication::processEvents();
    return window->grab().toImage().convertToFormat(QImage::Format_ARGB32);
}

// Saves into the test output directory and prints where.
inline QString saveScreenshot(const QImage& image, const char* name) {
    const QString path = testOutputDirectory() + u'/' + QString::fromLatin1(name);
    const bool ok = image.save(path);
    std::printf("[ screenshot ] %s%s\n", qPrintable(path), ok ? "" : " (could not be written)");
    return path;
}

inline int distinctColors(const QImage& image) {
    QSet<QRgb> colors;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x) colors.insert(image.pixel(x, y));
    return int(colors.size());
}

// Mean of one channel over a region (0…255).
inline double meanChannel(const QImage& image, const QRect& r, int channel) {
    double sum = 0;
    int n = 0;
    for (int y = r.top(); y <= r.bottom(); ++y)
        for (int x = r.left(); x <= r.right(); ++x) {
            const QRgb p = image.pixel(x, y);
            sum += channel == 0 ? qRed(p) : channel == 1 ? qGreen(p) : qBlue(p);
            ++n;
        }
    return n ? sum / n : 0;
}

}  // namespace ostrela::test
