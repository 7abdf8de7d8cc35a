// The "Ostrela" camera on a real v4l2loopback device: boots the Debian 12 guest built by
// build-image.sh under qemu, lets loopback-check.sh run the camera program there and read it back
// with ffmpeg, v4l2-ctl and GStreamer, on Debian 12's v4l2loopback ("bookworm", 0.12) and on the
// backports' newer one ("backports"), and judges what the clients got. The guest boots once; each
// test below checks one fact of that run.
//
// Without the guest image (or qemu) the run is skipped, except under CI=true where it fails.
#include "extension/camera/TestFrames.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

constexpr int kWidth = 1280;
constexpr int kHeight = 720;
constexpr int kSkipped = 77;

std::string readText(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::vector<uint8_t> readBytes(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::string runAndRead(const std::string& command) {
    std::string out;
    if (FILE* f = ::popen(command.c_str(), "r")) {
        char buf[512];
        while (size_t n = std::fread(buf, 1, sizeof buf, f)) out.append(buf, n);
        ::pclose(f);
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return out;
}

bool onPath(const std::string& tool) { return !runAndRead("command -v " + tool).empty(); }

// What one boot of the guest left behind.
struct GuestRun {
    fs::path outDir;
    std::map<std::string, std::string> results;
    std::string failure;  // why the guest gave no results
    double seconds = 0;
};

GuestRun& guest() {
    static GuestRun run;
    return run;
}

bool useKvm() {
    if (::access("/dev/kvm", R_OK | W_OK) != 0) return false;
    const std::string cpu = readText("/proc/cpuinfo");
    return std::regex_search(cpu, std::regex("\\b(vmx|svm)\\b"));
}

fs::path outputDir() { return fs::path(OSTRELA_BINARY_DIR) / "test-output" / "guest-loopback"; }

void loadResults() {
    GuestRun& g = guest();
    g.outDir = outputDir();
    std::istringstream lines(readText(g.outDir / "result.txt"));
    for (std::string line; std::getline(lines, line);) {
        auto eq = line.find('=');
        if (eq != std::string::npos) g.results[line.substr(0, eq)] = line.substr(eq + 1);
    }
    // A kernel that died under the test is the finding, whatever the results say.
    const std::string console = readText(g.outDir / "console.log");
    size_t first = std::string::npos;
    for (const char* sign : {"Kernel panic", "kernel BUG", "list_del corruption", "Oops:", "general protection fault"})
        first = std::min(first, console.find(sign));
    if (first != std::string::npos) {
        const size_t begin = console.rfind('\n', first) == std::string::npos ? 0 : console.rfind('\n', first) + 1;
        std::string line = console.substr(begin, console.find('\n', first) - begin);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        g.failure = "the guest kernel failed: " + line + " (see " + (g.outDir / "console.log").string() + ")";
    }
    if (g.failure.empty() && g.results.empty())
        g.failure = "the guest wrote no results (see " + (g.outDir / "console.log").string() + " and run.log)";
}

// Boots the guest once; false with guest().failure set when it could not run.
bool bootGuest(const fs::path& imageDir) {
    GuestRun& g = guest();
    g.outDir = outputDir();
    const fs::path share = fs::path(OSTRELA_BINARY_DIR) / "test-output" / "guest-loopback-in";
    std::error_code ec;
    fs::remove_all(g.outDir, ec);
    fs::remove_all(share, ec);
    fs::create_directories(g.outDir);
    fs::create_directories(share);
    for (const char* program : {"ostrela-camera", "ostrela-testframes"})
        fs::copy_file(fs::path(OSTRELA_BINARY_DIR) / program, share / program, fs::copy_options::overwrite_existing);
    fs::copy_file(fs::path(OSTRELA_SOURCE_DIR) / "tests/guest/loopback-check.sh", share / "run.sh",
                  fs::copy_options::overwrite_existing);
    fs::permissions(share / "run.sh", fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read);

    const bool kvm = useKvm();
    std::vector<std::string> args = {
        "qemu-system-x86_64",
        "-m", "2G", "-smp", "2",
        "-display", "none", "-vga", "none", "-monitor", "none", "-nic", "none", "-no-reboot",
        "-serial", "file:" + (g.outDir / "console.log").string(),
        "-kernel", (imageDir / "vmlinuz").string(),
        "-initrd", (imageDir / "initrd.img").string(),
        "-append", "console=ttyS0 root=/dev/vda rw rootfstype=ext4 init=/sbin/ostrela-guest-init panic=-1 loglevel=4",
        "-drive", "file=" + (imageDir / "rootfs.ext4").string() + ",format=raw,if=virtio,snapshot=on",
        "-virtfs", "local,path=" + share.string() + ",mount_tag=host,security_model=none,readonly=on",
        "-virtfs", "local,path=" + g.outDir.string() + ",mount_tag=out,security_model=none",
    };
    if (kvm) {
        args.insert(args.end(), {"-accel", "kvm", "-cpu", "host"});
    } else {
        // No hardware virtualisation here: software emulation on both cores.
        args.insert(args.end(), {"-accel", "tcg,thread=multi", "-cpu", "max"});
    }

    const int limit = [] {
        const char* v = std::getenv("OSTRELA_GUEST_TIMEOUT");
        return v ? std::max(60, std::atoi(v)) : 780;
    }();
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid < 0) {
        g.failure = "cannot start qemu: fork failed";
        return false;
    }
    if (pid == 0) {
        int log = ::open((g.outDir / "qemu.log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (log >= 0) {
            ::dup2(log, 1);
            ::dup2(log, 2);
        }
        int null = ::open("/dev/null", O_RDONLY);
        if (null >= 0) ::dup2(null, 0);
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execvp(argv[0], argv.data());
        _exit(127);
    }
    std::fprintf(stderr, "guest: booting %s (%s), up to %d s\n", imageDir.c_str(), kvm ? "KVM" : "TCG emulation", limit);
    int status = 0;
    bool exited = false;
    while (!exited) {
        pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            exited = true;
            break;
        }
        if (std::chrono::steady_clock::now() - start > std::chrono::seconds(limit)) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    g.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::fprintf(stderr, "guest: ran %.0f s; outputs in %s\n", g.seconds, g.outDir.c_str());
    if (!exited) {
        g.failure = "the guest did not power off within " + std::to_string(limit) + " s (see " +
                    (g.outDir / "console.log").string() + ")";
    } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        g.failure = "qemu failed: " + readText(g.outDir / "qemu.log");
    }

    loadResults();
    return g.failure.empty();
}

std::string result(const std::string& key) {
    auto it = guest().results.find(key);
    return it == guest().results.end() ? std::string("<missing>") : it->second;
}

bool moduleIs012(const std::string& module) { return result(module + ".v4l2loopback_version").rfind("0.12.", 0) == 0; }

// ---- Pictures the clients wrote -----------------------------------------------------------

struct Rgb {
    double r, g, b;
};

enum class Layout { yuyv, i420 };

size_t frameBytes(Layout l) { return l == Layout::yuyv ? size_t(kWidth) * kHeight * 2 : size_t(kWidth) * kHeight * 3 / 2; }

// BT.601 limited range back to RGB, the inverse of what the camera declares.
Rgb toRgb(int y, int u, int v) {
    const double c = 1.164383 * (y - 16), d = u - 128.0, e = v - 128.0;
    auto clamp = [](double x) { return std::clamp(x, 0.0, 255.0); };
    return {clamp(c + 1.596027 * e), clamp(c - 0.391762 * d - 0.812968 * e), clamp(c + 2.017232 * d)};
}

Rgb pixel(const uint8_t* frame, Layout l, int x, int y) {
    if (l == Layout::yuyv) {
        const uint8_t* row = frame + size_t(y) * kWidth * 2;
        const uint8_t* pair = row + (x / 2) * 4;
        return toRgb(pair[(x % 2) * 2], pair[1], pair[3]);
    }
    const uint8_t* yPlane = frame;
    const uint8_t* uPlane = frame + size_t(kWidth) * kHeight;
    const uint8_t* vPlane = uPlane + size_t(kWidth / 2) * (kHeight / 2);
    const size_t c = size_t(y / 2) * (kWidth / 2) + x / 2;
    return toRgb(yPlane[size_t(y) * kWidth + x], uPlane[c], vPlane[c]);
}

Rgb barColor(int index) {
    const uint32_t c = ostrela::camera::kTestBarColors[index];
    return {double((c >> 16) & 0xFF), double((c >> 8) & 0xFF), double(c & 0xFF)};
}

double distance(const Rgb& a, const Rgb& b) {
    return std::max({std::fabs(a.r - b.r), std::fabs(a.g - b.g), std::fabs(a.b - b.b)});
}

std::string str(const Rgb& c) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "(%.0f,%.0f,%.0f)", c.r, c.g, c.b);
    return buf;
}

// The bars' shift (pixels, a multiple of 8 in 0..1272) that best explains row `y`, and how far the
// worst sampled pixel is from its bar's colour under that shift.
struct BarFit {
    int shift = -1;
    double worst = 1e9;
};

BarFit fitBars(const uint8_t* frame, Layout l, int y) {
    const int barWidth = kWidth / 8;
    BarFit best;
    for (int shift = 0; shift < kWidth; shift += 8) {
        double worst = 0;
        for (int x = 2; x < kWidth && worst < best.worst; x += 4) {
            const int pos = (x + shift) % kWidth;
            // Away from the edges, where chroma is shared with the neighbouring bar.
            if (pos % barWidth < 4 || pos % barWidth >= barWidth - 4) continue;
            worst = std::max(worst, distance(pixel(frame, l, x, y), barColor(pos / barWidth)));
        }
        if (worst < best.worst) best = {shift, worst};
    }
    return best;
}

constexpr double kColourTolerance = 6;  // levels per channel after the round trip through YUV

// What one frame of moving bars, as a client got it, shows: its generation (as the bars' shift)
// and, when it is not exactly one whole frame of the bars, why not.
struct BarsFrame {
    int shift = -1;       // of row 400
    std::string problem;  // empty for a whole frame
};

BarsFrame judgeBarsFrame(const uint8_t* frame, Layout l) {
    BarsFrame out;
    const BarFit fit = fitBars(frame, l, 400);
    out.shift = fit.shift;
    auto fail = [&](const std::string& why) {
        if (out.problem.empty()) out.problem = why;
    };
    if (fit.worst > kColourTolerance)
        fail("row 400 is not the bars (best shift " + std::to_string(fit.shift) + " leaves a pixel " +
             std::to_string(int(fit.worst)) + " levels off)");
    // The same bars from top to bottom, outside the counter box.
    for (int y : {120, 200, 300, 500, 600, 710}) {
        const BarFit band = fitBars(frame, l, y);
        if (band.worst > kColourTolerance || band.shift != fit.shift)
            fail("row " + std::to_string(y) + " shows generation " + std::to_string(band.shift / 8) + " (" +
                 std::to_string(int(band.worst)) + " levels off), row 400 " + std::to_string(fit.shift / 8));
    }
    // Each bar's mean colour over its inside.
    const int barWidth = kWidth / 8;
    for (int bar = 0; bar < 8; ++bar) {
        double r = 0, g = 0, b = 0;
        int n = 0;
        for (int y = 140; y < kHeight; y += 16)
            for (int x = 0; x < kWidth; x += 2) {
                const int pos = (x + fit.shift) % kWidth;
                if (pos / barWidth != bar || pos % barWidth < 6 || pos % barWidth >= barWidth - 6) continue;
                Rgb c = pixel(frame, l, x, y);
                r += c.r, g += c.g, b += c.b, ++n;
            }
        const Rgb mean{r / n, g / n, b / n};
        if (distance(mean, barColor(bar)) > kColourTolerance)
            fail("bar " + std::to_string(bar) + " is " + str(mean) + ", drawn as " + str(barColor(bar)));
    }
    // The counter box in the top left is black around its digits.
    for (auto [x, y] : {std::pair{30, 30}, std::pair{378, 30}, std::pair{30, 106}, std::pair{378, 106}})
        if (distance(pixel(frame, l, x, y), {0, 0, 0}) > kColourTolerance)
            fail("the counter box is not black at (" + std::to_string(x) + "," + std::to_string(y) + ")");
    return out;
}

// Consecutive frames from one client, of which the first `skip` are not judged. Each frame must be
// one whole frame of the bars (exact colours, one generation from top to bottom, the counter box),
// and the bars move forward from frame to frame.
//
// Some frames come torn or out of order, and those are only counted: nothing locks the shared
// buffer (its writer draws the next frame in place before announcing it, so a copy taken late
// catches the top of that drawing), nor a v4l2loopback buffer (the producer refills it while a
// client that is behind still holds it; with two buffers v4l2loopback 0.12 even hands a client
// two positions behind the buffer just refilled with a newer frame, the older one coming next).
// Under emulation that is a few frames in a hundred, so up to half may be such; a conversion or
// format fault spoils every frame, and a frozen camera never advances.
void checkBarsFile(const std::string& name, Layout l, size_t frames, size_t skip = 0) {
    SCOPED_TRACE(name);
    const fs::path path = guest().outDir / name;
    const auto bytes = readBytes(path);
    ASSERT_EQ(bytes.size(), frames * frameBytes(l))
        << path << " should hold exactly " << frames << " frames of " << frameBytes(l) << " bytes";
    std::string seen, problems;
    int whole = 0, odd = 0, moved = 0, previous = -1;
    for (size_t i = skip; i < frames; ++i) {
        const BarsFrame f = judgeBarsFrame(bytes.data() + i * frameBytes(l), l);
        if (!f.problem.empty()) {
            seen += "torn ";
            problems += "\n  frame " + std::to_string(i) + ": " + f.problem;
            ++odd;
            continue;
        }
        ++whole;
        seen += std::to_string(f.shift / 8) + " ";
        if (previous >= 0) {
            // The bars move 8 px per generation.
            const int step = (f.shift - previous + kWidth) % kWidth;
            if (step >= kWidth / 2) {
                problems += "\n  frame " + std::to_string(i) + ": older than the frame before it";
                ++odd;
            } else if (step > 0) {
                ++moved;
            }
        }
        previous = f.shift;
    }
    const int judged = int(frames - skip);
    EXPECT_LE(odd * 2, judged) << "too many torn or out-of-order frames (generations mod 160: " << seen << ")" << problems;
    EXPECT_GE(moved * 2, whole - 1) << "the frame counter barely advanced (generations mod 160: " << seen << ")";
    EXPECT_GE(moved, 1) << "the frame counter never advanced (generations mod 160: " << seen << ")";
    std::fprintf(stderr, "%s: generations mod 160: %s%s\n", name.c_str(), seen.c_str(), problems.c_str());
}

void checkIdleFrame(const uint8_t* frame, Layout l, const std::string& what) {
    // Dark background in every corner (the bars are bright in at least one of them)...
    for (auto [x, y] : {std::pair{100, 100}, std::pair{1180, 100}, std::pair{100, 650}, std::pair{1180, 650}, std::pair{640, 40}}) {
        const Rgb c = pixel(frame, l, x, y);
        EXPECT_LE(std::max({c.r, c.g, c.b}), 48.0) << what << ": not the dark idle background at (" << x << "," << y << "): " << str(c);
    }
    // ...and the teal dot of the idle still in the middle.
    EXPECT_LE(distance(pixel(frame, l, 640, 300), {0x18, 0x8A, 0x8A}), kColourTolerance)
        << what << ": the idle still's dot is " << str(pixel(frame, l, 640, 300));
    EXPECT_GT(fitBars(frame, l, 400).worst, 40.0) << what << ": still shows the bars";
}

std::string fmtField(const std::string& text, const std::string& label) {
    std::smatch m;
    const std::regex re("\\n\\s*" + label + "\\s*:\\s*([^\\n]*)");
    return std::regex_search(text, m, re) ? m[1].str() : std::string("<missing>");
}

bool has(const std::string& haystack, const std::string& needle) { return haystack.find(needle) != std::string::npos; }

// ---- The tests ---------------------------------------------------------------------------------

TEST(GuestLoopback, GuestRanTheWholeScript) {
    ASSERT_EQ(guest().failure, "");
    EXPECT_EQ(result("done"), "yes") << readText(guest().outDir / "run.log");
    EXPECT_EQ(result("missing_libraries"), "") << "the guest image lacks libraries of our programs";
    std::fprintf(stderr, "guest: kernel %s, v4l2loopback %s and %s, %s\n", result("kernel").c_str(),
                 result("bookworm.v4l2loopback_version").c_str(), result("backports.v4l2loopback_version").c_str(),
                 result("ffmpeg_version").c_str());
}

class GuestModule : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        ASSERT_EQ(guest().failure, "");
        m_ = GetParam();
    }
    std::string key(const std::string& k) const { return result(m_ + "." + k); }
    std::string file(const std::string& suffix) const { return readText(guest().outDir / (m_ + "-" + suffix)); }
    std::string m_;
};

TEST_P(GuestModule, TheModuleMakesTheOstrelaDevice) {
    EXPECT_EQ(key("module_loaded"), "0");
    EXPECT_EQ(key("device"), "/dev/video0");
    if (m_ == "bookworm") {
        EXPECT_EQ(key("v4l2loopback_version").substr(0, 5), "0.12.") << key("v4l2loopback_version");
    } else {
        EXPECT_FALSE(moduleIs012(m_)) << key("v4l2loopback_version");
        EXPECT_NE(key("v4l2loopback_version"), "");
    }
    EXPECT_EQ(file("list-devices.txt"), "/dev/video0\tOstrela\toutput\n");
    EXPECT_EQ(key("unloaded"), "0") << "the module stayed busy after every program had stopped";
}

TEST_P(GuestModule, AfterAProducerThatNeverStreamedTheCameraSaysToReloadTheModule) {
    EXPECT_EQ(key("stale.ffmpeg_rc"), "0") << file("stale-ffmpeg.log");
    if (moduleIs012(m_)) {
        // ffmpeg writes without streaming; v4l2loopback 0.12 then announces no output, and the
        // kernel refuses every output call until the module is reloaded.
        EXPECT_EQ(key("stale.caps_after_ffmpeg"), "Read/Write,Streaming,Extended Pix Format");
        EXPECT_EQ(key("stale.camera_rc"), "1");
        EXPECT_EQ(file("stale-camera.log"),
                  "ostrela-camera: /dev/video0 takes no producer since a program wrote to it without streaming; "
                  "reload the module: sudo modprobe -r v4l2loopback && sudo modprobe v4l2loopback "
                  "card_label=\"Ostrela\" exclusive_caps=1\n");
    } else {
        // Newer modules start streaming for such a producer themselves.
        EXPECT_TRUE(has(key("stale.caps_after_ffmpeg"), "Video Output")) << key("stale.caps_after_ffmpeg");
        EXPECT_EQ(key("stale.camera_rc"), "0") << file("stale-camera.log");
        EXPECT_TRUE(has(key("stale.caps_after_camera"), "Video Output")) << key("stale.caps_after_camera");
    }
    EXPECT_EQ(key("stale.reloaded"), "0");
    EXPECT_EQ(key("stale.reloaded_camera_rc"), "0") << file("stale-reloaded-camera.log");
}

INSTANTIATE_TEST_SUITE_P(Loopback, GuestModule, ::testing::Values("bookworm", "backports"),
                         [](const auto& info) { return std::string(info.param); });

class GuestFormat : public ::testing::TestWithParam<std::tuple<const char*, const char*>> {
protected:
    void SetUp() override {
        ASSERT_EQ(guest().failure, "");
        m_ = std::get<0>(GetParam());
        f_ = std::get<1>(GetParam());
        layout_ = f_ == "yuyv" ? Layout::yuyv : Layout::i420;
    }
    std::string key(const std::string& k) const { return result(m_ + "." + f_ + "." + k); }
    std::string file(const std::string& suffix) const { return m_ + "-" + f_ + "-" + suffix; }
    bool is012() const { return moduleIs012(m_); }
    std::string m_, f_;
    Layout layout_ = Layout::yuyv;
};

TEST_P(GuestFormat, CaptureIsAnnouncedOnlyWhileTheCameraFeedsTheDevice) {
    EXPECT_TRUE(has(key("caps_idle"), "Video Output")) << key("caps_idle");
    EXPECT_FALSE(has(key("caps_idle"), "Video Capture")) << key("caps_idle");
    EXPECT_EQ(key("capture_announced"), "yes");
    EXPECT_TRUE(has(key("caps_attached"), "Video Capture")) << key("caps_attached");
    EXPECT_FALSE(has(key("caps_attached"), "Video Output")) << key("caps_attached");
    EXPECT_TRUE(has(key("caps_after"), "Video Output")) << key("caps_after");
    EXPECT_FALSE(has(key("caps_after"), "Video Capture")) << key("caps_after");
    EXPECT_EQ(key("list_after"), "/dev/video0 Ostrela output;");
}

TEST_P(GuestFormat, ClientsSeeTheFormatTheCameraSet) {
    const std::string text = "\n" + readText(guest().outDir / file("fmt.txt"));
    const bool yuyv = layout_ == Layout::yuyv;
    EXPECT_EQ(fmtField(text, "Width/Height"), "1280/720") << text;
    EXPECT_TRUE(has(fmtField(text, "Pixel Format"), yuyv ? "'YUYV'" : "'YU12'")) << text;
    EXPECT_EQ(fmtField(text, "Bytes per Line"), yuyv ? "2560" : "1280") << text;
    // What the bytes are: BT.601 matrix, limited range. v4l2loopback 0.12 replaces every output
    // colorspace with sRGB but keeps the rest; later versions keep ours.
    EXPECT_EQ(fmtField(text, "YCbCr/HSV Encoding"), "ITU-R 601") << text;
    EXPECT_EQ(fmtField(text, "Quantization"), "Limited Range") << text;
    EXPECT_EQ(fmtField(text, "Transfer Function"), "Rec. 709") << text;
    EXPECT_EQ(fmtField(text, "Colorspace"), is012() ? "sRGB" : "SMPTE 170M") << text;
    EXPECT_EQ(readText(guest().outDir / file("sysfs-format.txt")), yuyv ? "YUYV:1280x720@30\n" : "YU12:1280x720@30\n");
}

TEST_P(GuestFormat, ASecondCameraProgramIsTurnedAwayWithOneLine) {
    EXPECT_EQ(key("second_rc"), "1");
    EXPECT_EQ(readText(guest().outDir / file("second.log")),
              "ostrela-camera: /dev/video0 is already fed by another program (stop it, or reload the v4l2loopback module)\n");
}

TEST_P(GuestFormat, FfmpegReadsTheMovingBars) {
    EXPECT_EQ(key("ffmpeg_rc"), "0") << readText(guest().outDir / file("ffmpeg.log"));
    EXPECT_EQ(key("ffmpeg_frames"), "12");
    const std::string log = readText(guest().outDir / file("ffmpeg.log"));
    EXPECT_TRUE(has(log, layout_ == Layout::yuyv ? "yuyv422" : "yuv420p")) << log;
    EXPECT_TRUE(has(log, "1280x720")) << log;
    EXPECT_FALSE(has(log, "Dequeued v4l2 buffer contains")) << log;
    // ffmpeg keeps its first buffers, unread, while it starts up (seconds under emulation), and
    // v4l2loopback refills them meanwhile: those are not judged.
    checkBarsFile(file("ffmpeg.raw"), layout_, 12, 4);
}

TEST_P(GuestFormat, V4l2CtlReadsTheMovingBars) {
    EXPECT_EQ(key("v4l2ctl_rc"), "0") << readText(guest().outDir / file("v4l2ctl.log"));
    // v4l2-ctl writes each buffer's bytesused: exactly one frame each.
    EXPECT_EQ(key("v4l2ctl_size"), std::to_string(8 * frameBytes(layout_)));
    checkBarsFile(file("v4l2ctl.raw"), layout_, 8);
}

TEST_P(GuestFormat, GStreamerReadsTheMovingBars) {
    const std::string log = readText(guest().outDir / file("gst.log"));
    EXPECT_EQ(key("gst_rc"), "0") << log;
    EXPECT_EQ(key("gst_size"), std::to_string(8 * frameBytes(layout_)));
    // v4l2src turns the device's colour description into the stream's colorimetry: BT.601 matrix,
    // limited range.
    std::smatch m;
    ASSERT_TRUE(std::regex_search(log, m, std::regex("v4l2src0\\.GstPad:src: caps = ([^\\n]*)"))) << log;
    const std::string caps = m[1].str();
    EXPECT_TRUE(has(caps, "width=(int)1280, height=(int)720")) << caps;
    EXPECT_TRUE(has(caps, layout_ == Layout::yuyv ? "format=(string)YUY2" : "format=(string)I420")) << caps;
    std::smatch c;
    ASSERT_TRUE(std::regex_search(caps, c, std::regex("colorimetry=\\(string\\)([^,]*)"))) << caps;
    const std::string colorimetry = c[1].str();
    // range:matrix:transfer:primaries; range 16-235 (2) and matrix BT.601 (4) decide the decoding,
    // our transfer is BT.709 (5); the primaries are SMPTE 170M's (4), or BT.709's (1) from the sRGB
    // colorspace 0.12 puts in place of ours.
    EXPECT_EQ(colorimetry, is012() ? "2:4:5:1" : "2:4:5:4");
    checkBarsFile(file("gst.raw"), layout_, 8);
}

TEST_P(GuestFormat, AReadingClientKeepsGettingFramesAcrossACameraRestart) {
    EXPECT_EQ(key("camera1_rc"), "0") << readText(guest().outDir / file("camera1.log"));
    // With the first camera program gone the device announces output again for the next one.
    EXPECT_TRUE(has(key("caps_between"), "Video Output")) << key("caps_between");
    const std::string camera2 = readText(guest().outDir / file("camera2.log"));
    EXPECT_FALSE(has(camera2, "no v4l2loopback device")) << camera2;
    EXPECT_EQ(key("restart_reader_rc"), "0") << readText(guest().outDir / file("restart-reader.log"));
    EXPECT_EQ(key("restart_frames_total"), "90");
    const int before = std::atoi(key("restart_frames_before").c_str());
    EXPECT_LE(before, 70) << "at most " << before << " of the 90 frames came before the restart";
    checkBarsFile(file("restart-tail.raw"), layout_, 6);
}

TEST_P(GuestFormat, TheIdleStillFollowsWhenTheWriterStops) {
    EXPECT_EQ(key("testframes_rc"), "143") << "the test-frame writer should have run until SIGTERM";
    EXPECT_EQ(key("idle_rc"), "0") << readText(guest().outDir / file("idle.log"));
    const auto bytes = readBytes(guest().outDir / file("idle.raw"));
    ASSERT_EQ(bytes.size(), 3 * frameBytes(layout_));
    for (int i = 0; i < 3; ++i) checkIdleFrame(bytes.data() + i * frameBytes(layout_), layout_, "idle frame " + std::to_string(i));
    EXPECT_EQ(key("camera2_rc"), "0") << readText(guest().outDir / file("camera2.log"));
}

INSTANTIATE_TEST_SUITE_P(Loopback, GuestFormat,
                         ::testing::Combine(::testing::Values("bookworm", "backports"), ::testing::Values("yuyv", "i420")),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param)) + "_" + std::get<1>(info.param);
                         });

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    if (::testing::GTEST_FLAG(list_tests)) return RUN_ALL_TESTS();
    // Judging again what the last boot left, without booting (while working on these checks).
    if (std::getenv("OSTRELA_GUEST_REJUDGE")) {
        loadResults();
        return RUN_ALL_TESTS();
    }
    const bool ci = [] {
        const char* v = std::getenv("CI");
        return v && std::string(v) == "true";
    }();
    const std::string script = std::string(OSTRELA_SOURCE_DIR) + "/tests/guest/build-image.sh";
    const fs::path imageDir = runAndRead("bash '" + script + "' --print-dir");
    std::string missing;
    if (!onPath("qemu-system-x86_64")) missing = "qemu-system-x86_64 is not installed (apt-get install qemu-system-x86)";
    else if (imageDir.empty() || !fs::exists(imageDir / "ready"))
        missing = "the guest image is not built (run: sudo bash tests/guest/build-image.sh, about 8 minutes)";
    if (!missing.empty()) {
        if (ci) {
            std::fprintf(stderr, "guest loopback test: FAILED: %s\n", missing.c_str());
            return 1;
        }
        std::printf("guest loopback test: SKIPPED: %s\n", missing.c_str());
        return kSkipped;
    }
    bootGuest(imageDir);
    if (!guest().failure.empty()) std::fprintf(stderr, "guest: %s\n", guest().failure.c_str());
    return RUN_ALL_TESTS();
}
