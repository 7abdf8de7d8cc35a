#include "extension/camera/TestFrames.h"

#include "pipeline/FrameBuffer.h"

#include <QFont>
#include <QImage>
#include <QPainter>

#include <cstring>

namespace ostrela::camera {

void drawTestFrame(uint8_t* bgra, uint64_t frame) {
    const int barWidth = kFrameWidth / 8;
    const int shift = int((frame * 8) % kFrameWidth);
    auto* row0 = reinterpret_cast<uint32_t*>(bgra);
    for (int x = 0; x < kFrameWidth; ++x) row0[x] = kTestBarColors[((x + shift) % kFrameWidth) / barWidth];
    for (int y = 1; y < kFrameHeight; ++y)
        std::memcpy(bgra + size_t(y) * kFrameStride, bgra, kFrameStride);
    QImage img(bgra, kFrameWidth, kFrameHeight, kFrameStride, QImage::Format_ARGB32_Premultiplied);
    QPainter p(&img);
    p.fillRect(QRect(24, 24, 360, 88), QColor(0, 0, 0));
    QFont f(QStringLiteral("DejaVu Sans Mono"));
    f.setPixelSize(56);
    p.setFont(f);
    p.setPen(Qt::white);
    p.drawText(QRect(24, 24, 360, 88), Qt::AlignCenter, QString::number(frame));
}

}  // namespace ostrela::camera
