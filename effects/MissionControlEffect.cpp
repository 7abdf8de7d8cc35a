#include "effects/MissionControlEffect.h"

#include "effects/RetroEffects.h"
#include "pipeline/engine/Filters.h"

#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>

#include <cmath>
#include <cstdint>

namespace ostrela::effects {

using engine::Image;
namespace filters = engine::filters;

namespace mission {

const std::array<Contact, 3>& contacts() {
    static const std::array<Contact, 3> table{{
        {"RECON-1", 0.35, 0.1, 0.4, 7.6},
        {"COMSAT-4", 0.49, 0.07, 2.6, 6.9},
        {"ORBITER-9", 0.62, 0.05, 4.8, 5.4},
    }};
    return table;
}

const std::array<Blip, 5>& blips() {
    static const std::array<Blip, 5> table{{
        {1.0 / 6, 1.0 / 6, 0.0},
        {5.0 / 6, 1.0 / 6, 1.7},
        {1.0 / 6, 5.0 / 6, 3.4},
        {5.0 / 6, 5.0 / 6, 5.1},
        {1.0 / 2, 1.0 / 6, 6.8},
    }};
    return table;
}

double pulse(double t) { return std::sin(0.7 * t) * (std::sin(2.3 * t) * 0.25) + 0.75; }

namespace {
// Non-negative remainder, so a clock before the reference date still reads as digits.
int64_t wrap(int64_t v, int64_t n) { return ((v % n) + n) % n; }
}  // namespace

std::array<QString, 5> leftBlock(double t) {
    return {QStringLiteral("CAM 01"), QString::asprintf("SIGNAL %.1f", 92 + 6 * std::sin(0.6 * t)),
            QString::asprintf("RANGE %.1fm", 40 + 3 * std::sin(1.2 + 0.4 * t)),
            QString::asprintf("ORBIT %.1f", 128 + 4 * std::sin(2.0 + 0.5 * t)),
            QString::asprintf("ALT %.0fkm", 408 + 12 * std::sin(0.35 * t + 0.6))};
}

std::array<QString, 5> rightBlock(double t) {
    const int vector = int(wrap(int64_t(std::trunc(11.3 * t)), 360));
    return {QStringLiteral("TELEMETRY"), QString::asprintf("VECTOR %03d°", vector),
            QString::asprintf("COMMS %.0f%%", 60 + 20 * (std::sin(0.9 * t) * 0.5 + 0.5)),
            QStringLiteral("STATUS NOMINAL"), QStringLiteral("UPLINK ACTIVE")};
}

QString heartRate(double t) { return QString::asprintf("BIO %.0f BPM", 70 + 8 * std::sin(1.3 * t)); }

QString missionClock(double t) {
    const int64_t s = int64_t(std::trunc(t));
    return QString::asprintf("T+%02d:%02d:%02d", int(wrap(s / 3600, 100)), int(wrap(s / 60, 60)), int(wrap(s, 60)));
}

std::optional<double> blipAlpha(int i, double t) {
    const double f = std::fmod(0.4 * t + blips()[size_t(i)].phase, 4.0);
    if (!(f < 0.6) || f < 0) return std::nullopt;
    return (1 - f / 0.6) * 0.5 * pulse(t);
}

double sweepAngle(double t) { return std::fmod(0.5 * t, 2 * M_PI); }

QPointF contactPosition(int i, int wp, int hp, double t) {
    const Contact& c = contacts()[size_t(i)];
    const double r = 0.62 * std::min(wp, hp);
    const double angle = c.speed * t + c.phase, orbit = c.ring * r;
    return {wp / 2.0 + std::cos(angle) * orbit, hp / 2.0 + std::sin(angle) * orbit};
}

namespace {

// Menlo's installed twin (same design and metrics); sizes are in bitmap pixels, as the points
// of a bitmap drawing are.
QFont hudFont(double px, bool bold, const QPaintDevice& device) {
    QFont f(QStringLiteral("DejaVu Sans Mono"));
    f.setBold(bold);
    f.setPointSizeF(px * 72.0 / device.logicalDpiY());
    f.setKerning(false);
    return f;
}

// Drawing in bitmap coordinates (origin bottom left, y up). Shapes go through a flipped
// transform; text is placed at its baseline origin without flipping the glyphs.
class Hud {
public:
    explicit Hud(QImage& bitmap) : p_(&bitmap), hp_(bitmap.height()) {
        p_.setRenderHint(QPainter::Antialiasing, true);
        p_.setRenderHint(QPainter::TextAntialiasing, true);
        p_.translate(0, hp_);
        p_.scale(1, -1);
    }
    QPainter& painter() { return p_; }

    void stroke(const QColor& c, double width) {
        QPen pen(c, width);
        pen.setCapStyle(Qt::FlatCap);
        pen.setJoinStyle(Qt::MiterJoin);
        p_.setPen(pen);
        p_.setBrush(Qt::NoBrush);
    }
    void fill(const QColor& c) {
        p_.setPen(Qt::NoPen);
        p_.setBrush(c);
    }
    void line(double x0, double y0, double x1, double y1) { p_.drawLine(QPointF(x0, y0), QPointF(x1, y1)); }
    // An L whose corner is at (x, y), arms of length a along +sx and +sy.
    void corner(double x, double y, double sx, double sy, double a) {
        const QPointF pts[3] = {{x + sx * a, y}, {x, y}, {x, y + sy * a}};
        p_.drawPolyline(pts, 3);
    }
    void text(const QString& s, double x, double y, const QFont& font, const QColor& c) {
        // Text below a pixel high shows nothing, and font matching at such sizes is very slow.
        if (font.pointSizeF() * p_.device()->logicalDpiY() / 72.0 < 1.0) return;
        p_.save();
        p_.resetTransform();
        p_.setFont(font);
        p_.setPen(c);
        p_.drawText(QPointF(x, hp_ - y), s);
        p_.restore();
    }

private:
    QPainter p_;
    double hp_;
};

// Width of a line of text; text below a pixel high is not drawn and not measured.
double advance(const QFont& font, const QPaintDevice& device, const QString& s) {
    if (font.pointSizeF() * device.logicalDpiY() / 72.0 < 1.0) return 0;
    return QFontMetricsF(font, &device).horizontalAdvance(s);
}

QColor green(double alpha) { return QColor::fromRgbF(0.4f, 1.0f, 0.55f, float(std::clamp(alpha, 0.0, 1.0))); }

double frac(double v) { return v - std::floor(v); }

}  // namespace

QImage headsUpDisplay(int wp, int hp, double t, double R) {
    QImage bitmap(std::max(wp, 1), std::max(hp, 1), QImage::Format_ARGB32_Premultiplied);
    if (bitmap.isNull()) return bitmap;
    bitmap.fill(Qt::transparent);
    wp = bitmap.width();
    hp = bitmap.height();
    const double W = wp, H = hp;

    const double p = pulse(t);
    const QColor bright = green(0.9 * p), dim = green(0.28 * p);
    const double fs = 0.024 * H;
    const double m = 0.0125 * W;
    const double y0 = R + m;
    const double L = 0.045 * W, c = 0.018 * W;
    const double bs = 1 + 0.02 * std::sin(1.4 * t);
    const double bw = 0.24 * W * bs, bh = 0.44 * H * bs;
    const QRectF B(W / 2 - bw / 2, 0.56 * H - bh / 2, bw, bh);  // y up: top() is minY
    const double bMinY = B.top(), bMaxY = B.bottom(), bMidX = B.center().x(), bMidY = B.center().y();

    Hud hud(bitmap);
    QPainter& painter = hud.painter();
    const QFont font = hudFont(fs, true, bitmap);

    // 1. Grid.
    hud.stroke(dim, 1);
    for (int k = 1; k <= 5; ++k) {
        hud.line(k * W / 6, 0, k * W / 6, H);
        hud.line(0, k * H / 6, W, k * H / 6);
    }

    // 2. Corner marks, opening towards the centre.
    hud.stroke(bright, 2);
    for (int corner = 0; corner < 4; ++corner) {
        const double sx = corner & 1 ? -1 : 1, sy = corner & 2 ? -1 : 1;
        const double x = corner & 1 ? W - c : c, y = corner & 2 ? H - c : c;
        hud.corner(x, y, sx, sy, L);
        hud.corner(x + sx * 0.4 * L, y + sy * 0.4 * L, sx, sy, 0.3 * L);
    }

    // 3. Tracking bracket.
    hud.stroke(bright, 1.5);
    const double arm = 0.16 * 0.24 * W;
    hud.corner(B.left(), bMinY, 1, 1, arm);
    hud.corner(B.right(), bMinY, -1, 1, arm);
    hud.corner(B.left(), bMaxY, 1, -1, arm);
    hud.corner(B.right(), bMaxY, -1, -1, arm);
    hud.stroke(dim, 1);
    const double tick = 0.06 * 0.24 * W;
    hud.line(B.left(), bMidY, B.left() - tick, bMidY);
    hud.line(B.right(), bMidY, B.right() + tick, bMidY);

    // 4. Bracket labels.
    hud.text(QStringLiteral("LOCK"), bMidX - 1.1 * fs, bMaxY + 0.6 * fs, font, bright);
    hud.text(QStringLiteral("BIO OK"), bMidX - 1.6 * fs, bMinY - 1.4 * fs, font, dim);

    // 5–6. Telemetry blocks.
    const auto left = leftBlock(t), right = rightBlock(t);
    for (int i = 0; i < 5; ++i) {
        hud.text(left[size_t(i)], m, y0 + i * 1.4 * fs, font, bright);
        const double w = advance(font, bitmap, right[size_t(i)]);
        hud.text(right[size_t(i)], W - m - w, y0 + i * 1.4 * fs, font, bright);
    }

    // 7. Heart rate.
    const QString bpm = heartRate(t);
    hud.text(bpm, (W - advance(font, bitmap, bpm)) / 2, y0, font, dim);

    // 8. Ruler ticks along the bottom and top edges.
    hud.stroke(dim, 1);
    for (int i = 0; i <= 24; ++i) {
        const double x = i * W / 24, len = i % 4 == 0 ? 8 : 4;
        hud.line(x, 0, x, len);
        hud.line(x, H, x, H - len);
    }

    // 9. Radar rings and sweep.
    const double r = 0.62 * std::min(W, H);
    const QPointF centre(W / 2, H / 2);
    hud.stroke(dim, 1);
    painter.drawEllipse(centre, 0.35 * r, 0.35 * r);
    painter.drawEllipse(centre, 0.62 * r, 0.62 * r);
    const double a = sweepAngle(t);
    hud.stroke(green(0.12 * p), 1.5);
    hud.line(centre.x(), centre.y(), centre.x() + r * std::cos(a), centre.y() + r * std::sin(a));

    // 10. Waveform.
    hud.stroke(green(0.35 * p), 1.2);
    QPointF wave[61];
    for (int i = 0; i <= 60; ++i) {
        const double phi = 0.4 * i + 4 * t;
        wave[i] = {0.35 * W + (i / 60.0) * 0.3 * W, y0 + 1.6 * fs + 3 * std::sin(phi) + 1.5 * std::sin(2.7 * phi)};
    }
    painter.drawPolyline(wave, 61);

    // 11. Block frames.
    hud.stroke(dim, 1);
    painter.drawRect(QRectF(m - 0.5 * fs, y0 - 0.3 * fs, 8 * fs, 7.5 * fs));
    painter.drawRect(QRectF(W - m - 8 * fs, y0 - 0.3 * fs, 8 * fs, 7.5 * fs));

    // 12. Second target and the centre cross.
    const double side = 0.35 * 0.24 * W;
    const QRectF T(0.86 * W - side / 2, 0.28 * H - side / 2, side, side);
    hud.corner(T.left(), T.top(), 1, 1, side / 4);
    hud.corner(T.right(), T.top(), -1, 1, side / 4);
    hud.corner(T.left(), T.bottom(), 1, -1, side / 4);
    hud.corner(T.right(), T.bottom(), -1, -1, side / 4);
    hud.text(QStringLiteral("OBJ 2"), T.center().x() - fs, T.top() - 1.2 * fs, font, dim);
    hud.stroke(dim, 1);
    hud.line(W / 2 - 0.35 * fs, H / 2, W / 2 + 0.35 * fs, H / 2);
    hud.line(W / 2, H / 2 - 0.35 * fs, W / 2, H / 2 + 0.35 * fs);

    // 13–14. Mission clock, "ANALYZING" and its progress bar.
    const QFont clockFont = hudFont(1.3 * fs, true, bitmap);
    const QString clock = missionClock(t);
    const double clockWidth = advance(clockFont, bitmap, clock);
    const double xc = (W - clockWidth) / 2, yc = H - m - 1.3 * fs;
    hud.text(clock, xc, yc, clockFont, bright);
    hud.text(QStringLiteral("ANALYZING"), xc, yc - 1.3 * fs, font, dim);
    hud.stroke(dim, 1);
    painter.drawRect(QRectF(xc, yc - 1.7 * fs, clockWidth, 4));
    const double q = std::fmod(0.15 * t, 1.0);
    if (q > 0) {
        hud.fill(bright);
        painter.drawRect(QRectF(xc, yc - 1.7 * fs, q * clockWidth, 4));
    }

    // 15. Corner diagonals pointing at the centre.
    hud.stroke(dim, 1);
    const double L2 = 1.3 * L, d = 0.05 * W;
    hud.line(c + L2, H - c - L2, c + L2 + d, H - c - L2 - d);
    hud.line(W - c - L2, c + L2, W - c - L2 - d, c + L2 + d);

    // 16. Dust.
    hud.fill(green(0.02));
    for (int i = 0; i < 80; ++i) {
        const double v = i * 91.7 + 3 * t;
        painter.drawRect(QRectF(frac(v) * W, frac(7.13 * v) * H, 1.5, 1.5));
    }

    // 17. Record dot on even seconds.
    if (int64_t(std::floor(t)) % 2 == 0) {
        hud.fill(bright);
        painter.drawEllipse(QRectF(m, H - m - 7.5 * fs, 0.5 * fs, 0.5 * fs));
    }

    // 18. Level bars above the left block.
    hud.fill(green(0.5 * p));
    for (int k = 0; k < 6; ++k) {
        const double h = (0.3 + 0.7 * (0.5 + 0.5 * std::sin(3 * t + 0.8 * k))) * 1.8 * fs;
        painter.drawRect(QRectF(m + k * 0.75 * fs, y0 + 7.4 * fs, 0.5 * fs, h));
    }

    // 19. Bracket scale.
    hud.stroke(dim, 1);
    const double scale = 0.35 * 0.16 * 0.24 * W;
    for (int j = 1; j <= 7; ++j) {
        const double y = bMinY + (j / 8.0) * bh;
        hud.line(B.left(), y, B.left() + scale, y);
        hud.line(B.right(), y, B.right() - scale, y);
    }

    // 20. Breathing frame border.
    hud.stroke(green((0.3 + 0.2 * (0.5 + 0.5 * std::sin(1.7 * t))) * p), 2);
    painter.drawRect(QRectF(1, 1, W - 2, H - 2));

    // 21. Scan lines.
    hud.fill(green(0.14 * p));
    painter.drawRect(QRectF(0, (std::fmod(t, 5.0) / 5) * H, W, 2));
    hud.fill(green(0.08 * p));
    painter.drawRect(QRectF(0, H - (std::fmod(t, 9.0) / 9) * H, W, 1));

    // 22. Satellite contacts.
    const QFont small = hudFont(0.62 * fs, false, bitmap);
    const double s = 0.26 * fs;
    for (int i = 0; i < 3; ++i) {
        const Contact& ct = contacts()[size_t(i)];
        const double angle = ct.speed * t + ct.phase;
        const QPointF pos = contactPosition(i, wp, hp, t);
        painter.save();
        painter.translate(pos);
        painter.rotate((angle + M_PI / 2) * 180.0 / M_PI);
        hud.fill(bright);
        painter.drawRect(QRectF(-s / 2, -s / 2, s, s));
        hud.stroke(dim, 1);
        painter.drawRect(QRectF(-0.8 * s, -0.18 * s, 1.6 * s, 0.36 * s));
        hud.line(0, 0.5 * s, 0, 1.1 * s);
        painter.restore();
        const QString name = QString::fromLatin1(ct.name);
        hud.text(name, pos.x() - advance(small, bitmap, name) / 2, pos.y() - 0.85 * fs, small, bright);
        const QString speed = QString::asprintf("%.1f KM/S", ct.velocity + 0.3 * std::sin(ct.phase + 0.7 * t));
        hud.text(speed, pos.x() - advance(small, bitmap, speed) / 2, pos.y() - 1.35 * fs, small, dim);
    }

    // 23. Blips at grid crossings.
    for (int i = 0; i < 5; ++i) {
        const auto alpha = blipAlpha(i, t);
        if (!alpha) continue;
        hud.stroke(green(*alpha), 1);
        const Blip& b = blips()[size_t(i)];
        painter.drawEllipse(QPointF(b.cx * W, b.cy * H), 0.15 * fs, 0.15 * fs);
    }
    return bitmap;
}

}  // namespace mission

Image renderMissionControl(const Image& image, double t, double barReserve) {
    const engine::Rect E = image.extent();
    if (E.isEmpty() || E.isInfinite()) return image.cropped(E);
    Image graded = filters::colorControls(image, 0.1, -0.08, 1.2);
    graded = filters::colorMonochrome(graded, engine::Color::fromSRGB(0.3, 1.0, 0.5), 0.8);
    // Laid out in the part of E the published frame shows, so a 4:3 or 3:2 camera keeps the clock,
    // the top marks and a centred radar; for a 16:9 source that part is E itself.
    const engine::Rect F = layoutFrame(E);
    const int wp = std::max(1, int(std::lround(F.w))), hp = std::max(1, int(std::lround(F.h)));
    const QImage hud = mission::headsUpDisplay(wp, hp, t, barReserve);
    if (!hud.isNull()) {
        Image overlay = Image::fromQImage(hud);
        const double dx = std::floor(F.x), dy = std::floor(F.y);
        if (dx != 0 || dy != 0) overlay = overlay.translated(dx, dy);
        graded = overlay.composited(graded);
    }
    return graded.cropped(E);
}

}  // namespace ostrela::effects
