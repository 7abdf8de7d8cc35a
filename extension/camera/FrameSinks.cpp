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
            dev.capture = (caps & V4L2_CAP_VIDEO_CAPTURE) != 0;
            dev.loopback = std::string(reinterpret_cast<const char*>(cap.driver),
                                       strnlen(reinterpret_cast<const char*>(cap.driver), sizeof cap.driver)) == "v4l2 loopback";
            out.push_back(dev);
        }
        ::close(fd);
    }
    return out;
}

std::string findOstrelaLoopbackDevice(const std::string& devDir) {
    const auto devices = listVideoDevices(devDir);
    for (const auto& d : devices)
        if (d.card == "Ostrela" && d.output) return d.path;
    // With exclusive_caps=1 the device announces capture only while a producer streams, and
    // nothing at all after a producer that wrote without streaming has left (v4l2loopback 0.12).
    for (const auto& d : devices)
        if (d.card == "Ostrela" && d.loopback) return d.path;
    return {};
}

namespace {

const char* fourccName(uint32_t f) {
    switch (f) {
    case V4L2_PIX_FMT_YUYV: return "YUYV";
    case V4L2_PIX_FMT_YUV420: return "I420";
    default: return nullptr;
    }
}

std::string describeFormat(const v4l2_pix_format& pix) {
    std::string name;
    if (const char* n = fourccName(pix.pixelformat)) {
        name = n;
    } else {
        for (int i = 0; i < 4; ++i) {
            char c = char((pix.pixelformat >> (8 * i)) & 0xFF);
            name += (c >= 32 && c < 127) ? c : '?';
        }
    }
    return std::to_string(pix.width) + "x" + std::to_string(pix.height) + " " + name;
}

int ioctlRetry(int fd, unsigned long request, void* arg) {
    int r;
    do { r = ::ioctl(fd, request, arg); } while (r < 0 && errno == EINTR);
    return r;
}

}  // namespace

void LoopbackSink::fail(std::string message) {
    error_ = std::move(message);
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    streaming_ = false;
}

LoopbackSink::LoopbackSink(const std::string& device, LoopbackFormat format, int fps) : format_(format), device_(device) {
    fd_ = ::open(device.c_str(), O_RDWR | O_CLOEXEC);
    if (fd_ < 0) {
        error_ = "cannot open " + device + ": " + std::strerror(errno);
        return;
    }
    v4l2_capability cap{};
    if (ioctlRetry(fd_, VIDIOC_QUERYCAP, &cap) != 0) {
        fail(device + " is not a video device");
        return;
    }
    const uint32_t caps = (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
    const bool loopback = std::string(reinterpret_cast<const char*>(cap.driver),
                                      strnlen(reinterpret_cast<const char*>(cap.driver), sizeof cap.driver)) == "v4l2 loopback";
    if (!(caps & V4L2_CAP_VIDEO_OUTPUT)) {
        // A loopback device that announces capture but no output has a producer streaming into it.
        // One that announces neither was left so by a producer that wrote without streaming.
        if (!loopback) {
            fail(device + " is not a v4l2loopback device and takes no video output");
            return;
        }
        if (caps & V4L2_CAP_VIDEO_CAPTURE) {
            fail(device + " is already fed by another program (stop it, or reload the v4l2loopback module)");
            return;
        }
    }

    const bool yuyv = format == LoopbackFormat::yuyv;
    const uint32_t pixelformat = yuyv ? V4L2_PIX_FMT_YUYV : V4L2_PIX_FMT_YUV420;
    const uint32_t lineBytes = yuyv ? kFrameWidth * 2 : kFrameWidth;
    const size_t frameBytes = yuyv ? size_t(kFrameWidth) * kFrameHeight * 2 : size_t(i420Size(kFrameWidth, kFrameHeight));
    v4l2_format fmt{};
    fmt.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    fmt.fmt.pix.width = kFrameWidth;
    fmt.fmt.pix.height = kFrameHeight;
    fmt.fmt.pix.pixelformat = pixelformat;
    fmt.fmt.pix.field = V4L2_FIELD_NONE;
    fmt.fmt.pix.bytesperline = lineBytes;
    fmt.fmt.pix.sizeimage = uint32_t(frameBytes);
    // What the bytes are: BT.601 limited range (the conversion of PixelConvert), the convention of
    // webcams, so readers that honour the format decode the colours as they were meant.
    fmt.fmt.pix.priv = V4L2_PIX_FMT_PRIV_MAGIC;  // else the kernel clears the fields below
    fmt.fmt.pix.colorspace = V4L2_COLORSPACE_SMPTE170M;
    fmt.fmt.pix.ycbcr_enc = V4L2_YCBCR_ENC_601;
    fmt.fmt.pix.quantization = V4L2_QUANTIZATION_LIM_RANGE;
    fmt.fmt.pix.xfer_func = V4L2_XFER_FUNC_709;
    if (ioctlRetry(fd_, VIDIOC_S_FMT, &fmt) != 0) {
        const int err = errno;
        if (loopback && !(caps & (V4L2_CAP_VIDEO_OUTPUT | V4L2_CAP_VIDEO_CAPTURE))) {
            // v4l2loopback 0.12 after a producer that wrote without streaming: the kernel now
            // refuses every output call on the device, and only a reload of the module helps.
            fail(device + " takes no producer since a program wrote to it without streaming; reload the module: "
                          "sudo modprobe -r v4l2loopback && sudo modprobe v4l2loopback card_label=\"Ostrela\" exclusive_caps=1");
            return;
        }
        fail("cannot set the output format of " + device + " to " + describeFormat(fmt.fmt.pix) + ": " + std::strerror(err));
        return;
    }
    // A device that already has readers keeps the format it was given first.
    if (fmt.fmt.pix.width != uint32_t(kFrameWidth) || fmt.fmt.pix.height != uint32_t(kFrameHeight) ||
        fmt.fmt.pix.pixelformat != pixelformat) {
        v4l2_pix_format wanted{};
        wanted.width = kFrameWidth;
        wanted.height = kFrameHeight;
        wanted.pixelformat = pixelformat;
        fail(device + " refused " + describeFormat(wanted) + " output (it keeps " + describeFormat(fmt.fmt.pix) +
             " while its readers stay open)");
        return;
    }
    if (fmt.fmt.pix.bytesperline != 0 && fmt.fmt.pix.bytesperline != lineBytes) {
        fail(device + " wants lines of " + std::to_string(fmt.fmt.pix.bytesperline) + " bytes, not " + std::to_string(lineBytes));
        return;
    }
    // The driver may round sizeimage up (to a page); a frame is still exactly frameBytes.
    if (fmt.fmt.pix.sizeimage != 0 && fmt.fmt.pix.sizeimage < frameBytes) {
        fail(device + " takes frames of " + std::to_string(fmt.fmt.pix.sizeimage) + " bytes, less than the " +
             std::to_string(frameBytes) + " of one frame");
        return;
    }

    v4l2_streamparm parm{};
    parm.type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    parm.parm.output.timeperframe = {1, uint32_t(std::max(1, fps))};
    (void)ioctlRetry(fd_, VIDIOC_S_PARM, &parm);  // optional on loopback devices

    // Streaming marks us as the device's producer: v4l2loopback then announces the camera and,
    // when we close, announces output again so the next producer finds the device.
    int type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
    if (ioctlRetry(fd_, VIDIOC_STREAMON, &type) != 0) {
        fail("cannot start streaming to " + device + ": " + std::strerror(errno));
        return;
    }
    streaming_ = true;
    buffer_.resize(frameBytes);
}

LoopbackSink::~LoopbackSink() {
    if (fd_ < 0) return;
    if (streaming_) {
        int type = V4L2_BUF_TYPE_VIDEO_OUTPUT;
        (void)ioctlRetry(fd_, VIDIOC_STREAMOFF, &type);
    }
    ::close(fd_);
}

bool LoopbackSink::write(const uint8_t* bgra) {
    if (fd_ < 0) return false;
    if (format_ == LoopbackFormat::yuyv)
        bgraToYuyv(bgra, kFrameStride, buffer_.data(), kFrameWidth * 2, kFrameWidth, kFrameHeight);
    else
        bgraToI420(bgra, kFrameStride, buffer_.data(), kFrameWidth, kFrameHeight);
    // One write is one frame to v4l2loopback; its length is what readers are told the frame holds.
    ssize_t n;
    do { n = ::write(fd_, buffer_.data(), buffer_.size()); } while (n < 0 && errno == EINTR);
    if (n == ssize_t(buffer_.size())) return true;
    error_ = n < 0 ? "cannot write to " + device_ + ": " + std::strerror(errno)
                   : device_ + " took " + std::to_string(n) + " of " + std::to_string(buffer_.size()) + " bytes of a frame";
    return false;
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
