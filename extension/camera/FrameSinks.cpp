#include "extension/camera/FrameSinks.h"

#include "extension/camera/PixelConvert.h"
#include "pipeline/FrameBuffer.h"

#include <QFont>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace ostrela::camera {

std::vector<LoopbackDevice> listVideoDevices(const std::string& devDir) {
    std::vector<std::pair<int, std::string>> nodes;
    if (DIR* d = opendir(devDir.c_str())) {
        while (dirent* e = readdir(d)) {
            int n = -1;
            if (std::sscanf(e->d_name, "video%d", &n) == 1 && n >= 0 && std::string(e->d_name) == "video" + std::to_string(n))
                nodes.emplace_back(n, devDir + "/" + e->d_name);
        }
        closedir(d);
    }
    std::sort(nodes.begin(), nodes.end());
    std::vector<LoopbackDevice> out;
    for (auto& [n, path] : nodes) {
        int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) continue;
        v4l2_capability cap{};
        if (::ioctl(fd, VIDIOC_QUERYCAP, &cap) == 0) {
            uint32_t caps = (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
            LoopbackDevice dev;
            dev.path = path;
            dev.card = std::string(reinterpret_cast<const char*>(cap.card), strnlen(reinterpret_cast<const char*>(cap.card), sizeof cap.card));
            dev.output = (caps & (V4L2_CAP_VIDEO_OUTPUT | V4L2_CAP_VIDEO_M2M)) != 0;
            out.push_back(dev);
        }
        ::close(fd);
    }
    return out;
}

std::string findOstrelaLoopbackDevice(const std::string& devDir) {
    for (const auto& d : listVideoDevices(devDir))
        if (d.card == "Ostrela" && d.output) return d.path;
    return {};
}

LoopbackSink::LoopbackSink(const std::string& device, LoopbackFormat format, int fps) : format_(format) {
    fd_ = ::open(device.c_str(), O_RDWR | O_CLOEXEC);
    if (fd_ < 0) {
        error_ = "cannot open " + device + ": " + std::strerror(errno);
        return;
    }
    v4l2_format fmt{};
    fmt.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    fmt.fmt.pix.width = kFrameWidth;
    fmt.fmt.pix.height = kFrameHeight;
    fmt.fmt.pix.field = V4L2_FIELD_NONE;
    fmt.fmt.pix.colorspace = V4L2_COLORSPACE_SMPTE170M;
    if (format == LoopbackFormat::yuyv) {
        fmt.fmt.pix.pixelformat = V4L2_PIX_FMT_YUYV;
        fmt.fmt.pix.bytesperline = kFrameWidth * 2;
        fmt.fmt.pix.sizeimage = kFrameWidth * kFrameHeight * 2;
    } else {
        fmt.fmt.pix.pixelformat = V4L2_PIX_FMT_YUV420;
        fmt.fmt.pix.bytesperline = kFrameWidth;
        fmt.fmt.pix.sizeimage = uint32_t(i420Size(kFrameWidth, kFrameHeight));
    }
    if (::ioctl(fd_, VIDIOC_S_FMT, &fmt) != 0) {
        error_ = "cannot set the output format of " + device + ": " + std::strerror(errno);
        ::close(fd_);
        fd_ = -1;
        return;
    }
    v4l2_streamparm parm{};
    parm.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    parm.parm.output.timeperframe = {1, uint32_t(std::max(1, fps))};
    (void)::ioctl(fd_, VIDIOC_S_PARM, &parm);  // optional on loopback devices
    buffer_.resize(fmt.fmt.pix.sizeimage);
}

LoopbackSink::~LoopbackSink() {
    if (fd_ >= 0) ::close(fd_);
}

bool LoopbackSink::write(const uint8_t* bgra) {
    if (fd_ < 0) return false;
    if (format_ == LoopbackFormat::yuyv)
        bgraToYuyv(bgra, kFrameStride, buffer_.data(), kFrameWidth * 2, kFrameWidth, kFrameHeight);
    else
        bgraToI420(bgra, kFrameStride, buffer_.data(), kFrameWidth, kFrameHeight);
    ssize_t n;
    do { n = ::write(fd_, buffer_.data(), buffer_.size()); } while (n < 0 && errno == EINTR);
    return n == ssize_t(buffer_.size());
}

Y4mSink::Y4mSink(const std::string& path, int fps) : fps_(std::max(1, fps)) {
    if (path == "-") {
        file_ = stdout;
    } else {
        file_ = std::fopen(path.c_str(), "wb");
        ownsFile_ = true;
    }
    buffer_.resize(size_t(i420Size(kFrameWidth, kFrameHeight)));
}

Y4mSink::~Y4mSink() {
    if (!file_) return;
    if (ownsFile_) std::fclose(file_);
    else std::fflush(file_);
}

bool Y4mSink::write(const uint8_t* bgra) {
    if (!file_) return false;
    if (!headerWritten_) {
        std::fprintf(file_, "YUV4MPEG2 W%d H%d F%d:1 Ip A1:1 C420jpeg XCOLORRANGE=LIMITED\n", kFrameWidth, kFrameHeight, fps_);
        headerWritten_ = true;
    }
    bgraToI420(bgra, kFrameStride, buffer_.data(), kFrameWidth, kFrameHeight);
    if (std::fwrite("FRAME\n", 1, 6, file_) != 6) return false;
    if (std::fwrite(buffer_.data(), 1, buffer_.size(), file_) != buffer_.size()) return false;
    return std::fflush(file_) == 0;
}

const std::vector<uint8_t>& idlePicture() {
    static const std::vector<uint8_t> picture = [] {
        std::vector<uint8_t> bytes(kFrameBytes);
        QImage img(bytes.data(), kFrameWidth, kFrameHeight, kFrameStride, QImage::Format_ARGB32_Premultiplied);
        QPainter p(&img);
        p.setRenderHint(QPainter::Antialiasing);
        QLinearGradient bg(0, 0, 0, kFrameHeight);
        bg.setColorAt(0, QColor(0x16, 0x22, 0x2A));
        bg.setColorAt(1, QColor(0x0A, 0x10, 0x14));
        p.fillRect(img.rect(), bg);
        p.setPen(QPen(QColor(0x18, 0x8A, 0x8A), 6));
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(QPointF(640, 300), 70, 70);
        p.setBrush(QColor(0x18, 0x8A, 0x8A));
        p.drawEllipse(QPointF(640, 300), 26, 26);
        QFont title(QStringLiteral("DejaVu Sans"));
        title.setPixelSize(44);
        title.setWeight(QFont::DemiBold);
        p.setFont(title);
        p.setPen(QColor(0xF0, 0xF0, 0xF0));
        p.drawText(QRect(0, 410, kFrameWidth, 60), Qt::AlignCenter, QStringLiteral("Ostrela camera is idle"));
        QFont sub(QStringLiteral("DejaVu Sans"));
        sub.setPixelSize(24);
        p.setFont(sub);
        p.setPen(QColor(0xA0, 0xB0, 0xB8));
        p.drawText(QRect(0, 475, kFrameWidth, 40), Qt::AlignCenter,
                   QStringLiteral("Start the camera feed in Ostrela to go live"));
        p.end();
        return bytes;
    }();
    return picture;
}

}  // namespace ostrela::camera
