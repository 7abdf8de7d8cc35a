// The desktop program: one application object, the main window, the menus.
#include "ui/Application.h"
#include "library/VideoPlaybackService.h"
#include "ui/ContentViewModel.h"
#include "ui/MainWindow.h"
#include "ui/Resources.h"

#if __has_include("ui/StandardWindows.h")
#include "ui/StandardWindows.h"
#define OSTRELA_HAVE_STANDARD_WINDOWS 1
#endif

#include <QApplication>
#include <QIcon>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    // Answered before Qt starts, so they work without a display.
    bool startCamera = false, playVideo = false;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--help") || !std::strcmp(argv[i], "-h")) {
            std::printf("usage: ostrela [Qt options] [--start-camera] [--play-video] [--help] [--version]\n"
                        "Dresses up a webcam with effects, an image and a lower-third bar, and sends it to\n"
                        "video calls as the camera \"Ostrela\" (published by ostrela-camera).\n"
                        "  --start-camera  start the camera feed as soon as the window opens\n"
                        "  --play-video    play the video selected in the library as soon as the window opens\n");
            return 0;
        }
        if (!std::strcmp(argv[i], "--start-camera")) startCamera = true;
        if (!std::strcmp(argv[i], "--play-video")) playVideo = true;
        if (!std::strcmp(argv[i], "--version")) {
            std::printf("ostrela %s\n", OSTRELA_VERSION);
            return 0;
        }
    }
    QApplication::setApplicationName(QStringLiteral("Ostrela"));
    QApplication::setApplicationDisplayName(QStringLiteral("Ostrela"));
    QApplication::setApplicationVersion(QStringLiteral(OSTRELA_VERSION));
    QApplication::setOrganizationDomain(QStringLiteral("morwick.com"));
    QApplication::setDesktopFileName(QStringLiteral("com.morwick.Ostrela"));
    QApplication qapp(argc, argv);
    ostrela::initUiResources();
    QIcon icon = QIcon::fromTheme(QStringLiteral("ostrela"));
    if (icon.isNull()) icon = QIcon(QStringLiteral(":/assets/ostrela.svg"));
    QApplication::setWindowIcon(icon);

    ostrela::OstrelaApp app;
#ifdef OSTRELA_HAVE_STANDARD_WINDOWS
    ostrela::installStandardWindows(app);
#endif
    app.applyAppearance();

    ostrela::MainWindow window(&app);
    window.show();
    // For a session that starts the show at login, and for measuring the running program.
    if (startCamera && !window.model()->isCameraRunning()) window.model()->toggleCamera();
    if (playVideo) {
        ostrela::VideoPlaybackService* player = window.model()->videoPlayback();
        if (!player || player->loadedURL().isEmpty() || !player->lastError().isEmpty())
            std::fprintf(stderr, "ostrela: --play-video: no playable video is selected in the library\n");
        else if (!player->isPlaying())
            player->togglePlayPause();
    }
    return qapp.exec();
}
