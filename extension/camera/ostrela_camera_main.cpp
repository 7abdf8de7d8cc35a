// ostrela-camera: publishes the frames Ostrela renders as the camera "Ostrela".
#include "extension/camera/CameraProgram.h"
#include "extension/camera/CameraStatus.h"
#include "extension/camera/FrameSinks.h"
#include "extension/camera/PipeWireSink.h"

#include <QGuiApplication>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <unistd.h>

using namespace ostrela::camera;

namespace {

CameraProgram* gProgram = nullptr;
volatile std::sig_atomic_t gStopRequested = 0;
void onTerminate(int) {
    // A stop may come while the output is still being set up (systemd stopping the service).
    gStopRequested = 1;
    if (gProgram) gProgram->stop();
}

void usage(FILE* to) {
    std::fprintf(to,
                 "usage: ostrela-camera [--device /dev/videoN] [--format yuyv|i420] [--fps N]\n"
                 "                      [--y4m FILE|-] [--pipewire] [--frames N] [--seconds S] [--list-devices]\n"
                 "                      [--help] [--version]\n"
                 "Publishes Ostrela's frames on the v4l2loopback device labelled \"Ostrela\"; without one\n"
                 "(or with --pipewire) as the PipeWire camera \"Ostrela\"; as a YUV4MPEG2 stream with --y4m.\n");
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGINT, onTerminate);
    std::signal(SIGTERM, onTerminate);
    std::string device, y4m;
    LoopbackFormat format = LoopbackFormat::yuyv;
    CameraProgramOptions options;
    bool list = false;
    bool pipewire = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "ostrela-camera: %s needs a value\n", a.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--device") device = next();
        else if (a == "--y4m") y4m = next();
        else if (a == "--fps") options.fps = std::atoi(next());
        else if (a == "--frames") options.maxFrames = std::atoll(next());
        else if (a == "--seconds") options.maxSeconds = std::atof(next());
        else if (a == "--list-devices") list = true;
        else if (a == "--pipewire") pipewire = true;
        else if (a == "--version") { std::printf("ostrela-camera %s\n", OSTRELA_VERSION); return 0; }
        else if (a == "--format") {
            std::string f = next();
            if (f == "yuyv") format = LoopbackFormat::yuyv;
            else if (f == "i420") format = LoopbackFormat::i420;
            else { std::fprintf(stderr, "ostrela-camera: unknown format \"%s\" (use yuyv or i420)\n", f.c_str()); return 2; }
        } else if (a == "--help" || a == "-h") { usage(stdout); return 0; }
        else { usage(stderr); return 2; }
    }
    if (options.fps < 1 || options.fps > 120) {
        std::fprintf(stderr, "ostrela-camera: --fps must be between 1 and 120\n");
        return 2;
    }

    if (list) {
        for (const auto& d : listVideoDevices())
            std::printf("%s\t%s\t%s\n", d.path.c_str(), d.card.c_str(), d.output ? "output" : "capture");
        return 0;
    }

    std::unique_ptr<FrameSink> sink;
    if (!y4m.empty()) {
        auto s = std::make_unique<Y4mSink>(y4m, options.fps);
        if (!s->ok()) {
            std::fprintf(stderr, "ostrela-camera: cannot write %s: %s\n", y4m.c_str(), std::strerror(errno));
            return 1;
        }
        sink = std::move(s);
    } else {
        if (device.empty() && !pipewire) device = findOstrelaLoopbackDevice();
        if (device.empty()) {
            // No loopback device: sandboxed clients and systems without the module still get the
            // camera through PipeWire.
            auto s = std::make_unique<PipeWireSink>(options.fps);
            if (!s->ok()) {
                if (pipewire)
                    std::fprintf(stderr, "ostrela-camera: %s\n", s->error().c_str());
                else
                    std::fprintf(stderr,
                                 "ostrela-camera: no v4l2loopback device labelled \"Ostrela\" was found "
                                 "(load it with: sudo modprobe v4l2loopback card_label=\"Ostrela\" exclusive_caps=1), "
                                 "and the PipeWire output is not available (%s)\n",
                                 s->error().c_str());
                return 1;
            }
            std::fprintf(stderr, "ostrela-camera: publishing as the PipeWire camera \"Ostrela\"\n");
            sink = std::move(s);
        }
    }
    LoopbackSink* loopback = nullptr;
    if (!sink) {
        auto s = std::make_unique<LoopbackSink>(device, format, options.fps);
        if (!s->ok()) {
            std::fprintf(stderr, "ostrela-camera: %s\n", s->error().c_str());
            return 1;
        }
        loopback = s.get();
        sink = std::move(s);
    }

    // The idle still is drawn with Qt's text engine; this program never opens a window.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);

    CameraProgram program(*sink, options);
    gProgram = &program;
    if (gStopRequested) program.stop();

    // Tell the application which route we publish on and whether call apps can see it; the
    // YUV4MPEG2 stream is a check by hand and is no camera.
    const bool reportStatus = y4m.empty();
    CameraOutputStatus status;
    status.route = device.empty() ? "pipewire" : "loopback";
    status.device = status.route == "loopback" ? device : std::string();
    auto report = [&] {
        status.message = sink->unreachableReason();
        status.reachable = status.message.empty();
        (void)writeCameraStatus(status);
    };
    int64_t ticks = 0;
    if (reportStatus) {
        report();
        program.setAfterTick([&] {
            // On a change, and now and then in case the container was emptied meanwhile.
            const std::string why = sink->unreachableReason();
            if (why != status.message || ++ticks % (options.fps * 5) == 0) report();
        });
    }
    bool ok = program.run();
    gProgram = nullptr;
    if (reportStatus) {
        // Only our own record goes; a newer camera program may have taken over the file.
        auto current = readCameraStatus();
        if (current && current->pid == int64_t(::getpid())) removeCameraStatus();
    }
    if (!ok) {
        if (loopback && !loopback->error().empty())
            std::fprintf(stderr, "ostrela-camera: the output stopped accepting frames (%s)\n", loopback->error().c_str());
        else
            std::fprintf(stderr, "ostrela-camera: the output stopped accepting frames\n");
        return 1;
    }
    return 0;
}
