#include "pipeline/capture/V4L2Backend.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <thread>
#include <unistd.h>

namespace ostrela::capture {
namespace {

constexpr char kVirtualCameraName[] = "Ostrela";

int xioctl(int fd, unsigned long request, void* arg) {
    int r;
    do { r = ::ioctl(fd, request, arg); } while (r < 0 && errno == EINTR);
    return r;
}

QString errnoText(int err) { return QString::fromLocal8Bit(std::strerror(err)); }

QString fixedString(const __u8* s, size_t n) {
    size_t len = 0;
    while (len < n && s[len]) ++len;
    return QString::fromUtf8(reinterpret_cast<const char*>(s), qsizetype(len)).trimmed();
}

bool isCaptureNode(const v4l2_capability& cap) {
    uint32_t caps = (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
    return (caps & V4L2_CAP_VIDEO_CAPTURE) && (caps & V4L2_CAP_STREAMING);
}

std::string readTrimmed(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    return f.read(256).trimmed().toStdString();
}

int nodeNumber(const std::string& name) {
    // "videoN" → N, or -1.
    if (name.rfind("video", 0) != 0 || name.size() == 5) return -1;
    int n = 0;
    for (size_t i = 5; i < name.size(); ++i) {
        if (name[i] < '0' || name[i] > '9' || n > 100000) return -1;
        n = n * 10 + (name[i] - '0');
    }
    return n;
}

double fastestRate(int fd, uint32_t pixelFormat, int w, int h) {
    double best = 0;
    v4l2_frmivalenum iv{};
    iv.pixel_format = pixelFormat;
    iv.width = uint32_t(w);
    iv.height = uint32_t(h);
    for (iv.index = 0; iv.index < 64 && xioctl(fd, VIDIOC_ENUM_FRAMEINTERVALS, &iv) == 0; ++iv.index) {
        const v4l2_fract& f = iv.type == V4L2_FRMIVAL_TYPE_DISCRETE ? iv.discrete : iv.stepwise.min;
        if (f.numerator > 0) best = std::max(best, double(f.denominator) / double(f.numerator));
        if (iv.type != V4L2_FRMIVAL_TYPE_DISCRETE) break;
    }
    return best;
}

}  // namespace

CaptureAuthorization authorizationFromProbes(const std::vector<V4L2NodeProbe>& probes) {
    bool refused = false;
    for (const auto& p : probes) {
        if (p.openErrno == 0 && p.capture && p.card != QLatin1String(kVirtualCameraName))
            return CaptureAuthorization::authorized;
        if (p.openErrno == EACCES || p.openErrno == EPERM) refused = true;
    }
    return refused ? CaptureAuthorization::denied : CaptureAuthorization::authorized;
}

std::vector<std::string> listVideoNodes(const std::string& devRoot) {
    std::vector<std::pair<int, std::string>> found;
    QDir dir(QString::fromStdString(devRoot));
    for (const QString& name : dir.entryList({QStringLiteral("video*")}, QDir::System | QDir::Files | QDir::NoDotAndDotDot)) {
        int n = nodeNumber(name.toStdString());
        if (n >= 0) found.emplace_back(n, devRoot + "/" + name.toStdString());
    }
    std::sort(found.begin(), found.end());
    std::vector<std::string> out;
    for (auto& f : found) out.push_back(std::move(f.second));
    return out;
}

QString v4l2UniqueID(const std::string& devRoot, const std::string& sysRoot, const std::string& nodePath,
                     const QString& busInfo, const QString& card) {
    const QString node = QFileInfo(QString::fromStdString(nodePath)).fileName();
    const QString nodeCanonical = QFileInfo(QString::fromStdString(nodePath)).canonicalFilePath();
    const QString sysNode = QString::fromStdString(sysRoot) + "/class/video4linux/" + node;
    std::string index = readTrimmed(sysNode + "/index");
    if (index.empty()) index = "0";

    // udev's persistent link names the model and serial and follows the device to any port.
    QDir byId(QString::fromStdString(devRoot) + "/v4l/by-id");
    if (byId.exists() && !nodeCanonical.isEmpty()) {
        const QStringList links = byId.entryList(QDir::System | QDir::Files | QDir::NoDotAndDotDot, QDir::Name);
        for (const QString& link : links) {
            QFileInfo fi(byId.filePath(link));
            if (fi.isSymLink() && fi.canonicalFilePath() == nodeCanonical) return link;
        }
    }

    // The sysfs device of a USB camera is an interface; its parent holds the identity.
    QString dev = QFileInfo(sysNode + "/device").canonicalFilePath();
    for (int up = 0; up < 4 && !dev.isEmpty(); ++up) {
        if (QFile::exists(dev + "/idVendor")) {
            std::string vendor = readTrimmed(dev + "/idVendor");
            std::string product = readTrimmed(dev + "/idProduct");
            std::string serial = readTrimmed(dev + "/serial");
            QString base = QStringLiteral("usb-%1:%2").arg(QString::fromStdString(vendor), QString::fromStdString(product));
            if (!serial.empty())
                return base + "-" + QString::fromStdString(serial) + "-index" + QString::fromStdString(index);
            // Without a serial, the port path tells identical cameras apart and stays with the port.
            return base + "-port" + QFileInfo(dev).fileName() + "-index" + QString::fromStdString(index);
        }
        int slash = dev.lastIndexOf('/');
        if (slash <= 0) break;
        dev = dev.left(slash);
    }
    QString bus = busInfo.isEmpty() ? node : busInfo;
    return QStringLiteral("v4l2-") + bus + "-" + card + "-index" + QString::fromStdString(index);
}

V4L2Backend::V4L2Backend(std::string devRoot, std::string sysRoot)
    : devRoot_(std::move(devRoot)), sysRoot_(std::move(sysRoot)) {}

std::vector<V4L2NodeProbe> V4L2Backend::probeNodes() {
    std::vector<V4L2NodeProbe> out;
    for (const std::string& path : listVideoNodes(devRoot_)) {
        V4L2NodeProbe p;
        p.path = path;
        int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            p.openErrno = errno;
        } else {
            v4l2_capability cap{};
            if (xioctl(fd, VIDIOC_QUERYCAP, &cap) == 0) {
                p.capture = isCaptureNode(cap);
                p.card = fixedString(cap.card, sizeof cap.card);
            }
            ::close(fd);
        }
        out.push_back(std::move(p));
    }
    return out;
}

CaptureAuthorization V4L2Backend::authorizationStatus() { return authorizationFromProbes(probeNodes()); }

std::vector<CaptureFormat> V4L2Backend::enumerateFormats(int fd) {
    std::vector<CaptureFormat> out;
    v4l2_fmtdesc desc{};
    desc.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    for (desc.index = 0; desc.index < 64 && xioctl(fd, VIDIOC_ENUM_FMT, &desc) == 0; ++desc.index) {
        if (!isSupportedPixelFormat(desc.pixelformat)) continue;
        v4l2_frmsizeenum fs{};
        fs.pixel_format = desc.pixelformat;
        for (fs.index = 0; fs.index < 256 && xioctl(fd, VIDIOC_ENUM_FRAMESIZES, &fs) == 0; ++fs.index) {
            if (fs.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
                int w = int(fs.discrete.width), h = int(fs.discrete.height);
                out.push_back({desc.pixelformat, w, h, fastestRate(fd, desc.pixelformat, w, h)});
                continue;
            }
            // A size range: offer 1280×720 when it fits, and the largest size.
            const auto& s = fs.stepwise;
            auto fits = [&](uint32_t v, uint32_t lo, uint32_t hi, uint32_t step) {
                return v >= lo && v <= hi && (step <= 1 || (v - lo) % step == 0);
            };
            if (fits(1280, s.min_width, s.max_width, s.step_width) && fits(720, s.min_height, s.max_height, s.step_height))
                out.push_back({desc.pixelformat, 1280, 720, fastestRate(fd, desc.pixelformat, 1280, 720)});
            int mw = int(s.max_width), mh = int(s.max_height);
            if (!(mw == 1280 && mh == 720))
                out.push_back({desc.pixelformat, mw, mh, fastestRate(fd, desc.pixelformat, mw, mh)});
            break;
        }
    }
    return out;
}

std::vector<CaptureDeviceInfo> V4L2Backend::discoverDevices() {
    std::vector<CaptureDeviceInfo> out;
    for (const std::string& path : listVideoNodes(devRoot_)) {
        int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) continue;
        v4l2_capability cap{};
        if (xioctl(fd, VIDIOC_QUERYCAP, &cap) == 0 && isCaptureNode(cap)) {
            CaptureDeviceInfo info;
            info.localizedName = fixedString(cap.card, sizeof cap.card);
            info.uniqueID = v4l2UniqueID(devRoot_, sysRoot_, path, fixedString(cap.bus_info, sizeof cap.bus_info),
                                         info.localizedName);
            info.path = QString::fromStdString(path);
            info.formats = enumerateFormats(fd);
            out.push_back(std::move(info));
        }
        ::close(fd);
    }
    return out;
}

namespace {

class V4L2Stream : public CaptureStream {
public:
    explicit V4L2Stream(int fd) : fd_(fd), wake_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~V4L2Stream() override {
        stop();
        if (wake_ >= 0) ::close(wake_);
        ::close(fd_);
    }

    bool setActiveFormat(const CaptureFormat& format) override {
        v4l2_format f{};
        f.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        f.fmt.pix.width = uint32_t(format.width);
        f.fmt.pix.height = uint32_t(format.height);
        f.fmt.pix.pixelformat = format.pixelFormat;
        f.fmt.pix.field = V4L2_FIELD_ANY;
        return xioctl(fd_, VIDIOC_S_FMT, &f) == 0;
    }

    bool start(FrameCallback callback, QString* error) override {
        stop();
        auto fail = [&](int err) {
            if (error) *error = errnoText(err);
            releaseBuffers();
            return false;
        };
        if (wake_ < 0) return fail(errno ? errno : EMFILE);
        v4l2_format f{};
        f.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (xioctl(fd_, VIDIOC_G_FMT, &f) != 0) return fail(errno);
        format_ = f.fmt.pix;
        v4l2_requestbuffers req{};
        req.count = 4;
        req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        req.memory = V4L2_MEMORY_MMAP;
        if (xioctl(fd_, VIDIOC_REQBUFS, &req) != 0) return fail(errno);
        if (req.count < 2) return fail(ENOMEM);
        requested_ = true;
        for (uint32_t i = 0; i < req.count; ++i) {
            v4l2_buffer b{};
            b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            b.memory = V4L2_MEMORY_MMAP;
            b.index = i;
            if (xioctl(fd_, VIDIOC_QUERYBUF, &b) != 0) return fail(errno);
            void* p = ::mmap(nullptr, b.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, b.m.offset);
            if (p == MAP_FAILED) return fail(errno);
            buffers_.push_back({static_cast<uint8_t*>(p), b.length});
            if (xioctl(fd_, VIDIOC_QBUF, &b) != 0) return fail(errno);
        }
        int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (xioctl(fd_, VIDIOC_STREAMON, &type) != 0) return fail(errno);
        streaming_ = true;
        uint64_t drain;
        (void)!::read(wake_, &drain, sizeof drain);
        thread_ = std::thread([this, cb = std::move(callback)] { run(cb); });
        return true;
    }

    void stop() override {
        if (thread_.joinable()) {
            uint64_t one = 1;
            (void)!::write(wake_, &one, sizeof one);
            thread_.join();
        }
        releaseBuffers();
    }

private:
    struct Mapped { uint8_t* data; size_t length; };

    void releaseBuffers() {
        if (streaming_) {
            int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            xioctl(fd_, VIDIOC_STREAMOFF, &type);
            streaming_ = false;
        }
        for (auto& b : buffers_) ::munmap(b.data, b.length);
        buffers_.clear();
        if (requested_) {
            v4l2_requestbuffers req{};
            req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            req.memory = V4L2_MEMORY_MMAP;
            xioctl(fd_, VIDIOC_REQBUFS, &req);
            requested_ = false;
        }
    }

    void requeue(v4l2_buffer& b) { xioctl(fd_, VIDIOC_QBUF, &b); }

    void run(const FrameCallback& cb) {
        pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_, POLLIN, 0}};
        for (;;) {
            int r = ::poll(fds, 2, 1000);
            if (r < 0 && errno == EINTR) continue;
            if (r < 0 || (fds[1].revents & POLLIN)) return;
            if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) return;  // unplugged
            if (!(fds[0].revents & POLLIN)) continue;
            // Take every frame that is ready and hand on only the newest: a slow consumer
            // sees the present, never a backlog.
            v4l2_buffer newest{};
            bool have = false;
            for (;;) {
                v4l2_buffer b{};
                b.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
                b.memory = V4L2_MEMORY_MMAP;
                if (xioctl(fd_, VIDIOC_DQBUF, &b) != 0) {
                    if (errno == EAGAIN) break;
                    if (have) requeue(newest);
                    return;  // the device went away
                }
                if (have) requeue(newest);
                newest = b;
                have = true;
            }
            if (!have) continue;
            if (!(newest.flags & V4L2_BUF_FLAG_ERROR) && newest.index < buffers_.size()) {
                const Mapped& m = buffers_[newest.index];
                size_t used = std::min<size_t>(newest.bytesused ? newest.bytesused : m.length, m.length);
                RawFrame frame{format_.pixelformat, int(format_.width), int(format_.height), int(format_.bytesperline),
                               m.data, used, newest.sequence};
                if (frame.stride == 0 && format_.pixelformat == kPixelFormatYUYV) frame.stride = frame.width * 2;
                if (frame.stride == 0 && format_.pixelformat == kPixelFormatNV12) frame.stride = frame.width;
                cb(frame);
            }
            requeue(newest);
        }
    }

    int fd_;
    int wake_;
    v4l2_pix_format format_{};
    std::vector<Mapped> buffers_;
    bool requested_ = false;
    bool streaming_ = false;
    std::thread thread_;
};

}  // namespace

std::unique_ptr<CaptureStream> V4L2Backend::openDevice(const CaptureDeviceInfo& device, QString* error) {
    const QByteArray path = device.path.toLocal8Bit();
    int fd = ::open(path.constData(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (error) *error = errnoText(errno);
        return nullptr;
    }
    // The node number may have been reused by another device since discovery.
    v4l2_capability cap{};
    int rc = xioctl(fd, VIDIOC_QUERYCAP, &cap);
    if (rc != 0 || !isCaptureNode(cap)) {
        int err = rc != 0 ? errno : ENODEV;
        ::close(fd);
        if (error) *error = errnoText(err);
        return nullptr;
    }
    return std::make_unique<V4L2Stream>(fd);
}

}  // namespace ostrela::capture
