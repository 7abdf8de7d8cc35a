#pragma once
// Shared helpers for the library tests.
#include <QCoreApplication>
#include <QBuffer>
#include <QColor>
#include <QDeadlineTimer>
#include <QImage>
#include <QString>

#include <functional>
#include <string>

namespace ostrela::test {

// Runs the event loop until `done` holds; false when it never did (a guard, not a timing check).
inline bool waitUntil(const std::function<bool()>& done, int guardMs = 60000) {
    QDeadlineTimer deadline(guardMs);
    while (!done()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    return true;
}

inline QImage solidImage(int w, int h, QColor color) {
    QImage image(w, h, QImage::Format_ARGB32);
    image.fill(color);
    return image;
}

inline QByteArray encoded(const QImage& image, const char* format) {
    QByteArray out;
    QBuffer buffer(&out);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    return out;
}

}  // namespace ostrela::test
