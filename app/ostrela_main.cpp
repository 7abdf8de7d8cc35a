// The desktop program: one application object, the main window, the menus.
#include "ui/Application.h"
#include "ui/MainWindow.h"
#include "ui/Resources.h"

#if __has_include("ui/StandardWindows.h")
#include "ui/StandardWindows.h"
#define OSTRELA_HAVE_STANDARD_WINDOWS 1
#endif

#include <QApplication>
#include <QIcon>

int main(int argc, char** argv) {
    QApplication::setApplicationName(QStringLiteral("Ostrela"));
    QApplication::setApplicationDisplayName(QStringLiteral("Ostrela"));
    QApplication::setApplicationVersion(QStringLiteral(OSTRELA_VERSION));
    QApplication::setOrganizationDomain(QStringLiteral("morwick.com"));
    QApplication::setDesktopFileName(QStringLiteral("ostrela"));
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
    return qapp.exec();
}
