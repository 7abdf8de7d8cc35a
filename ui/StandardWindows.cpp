#include "ui/StandardWindows.h"

#include "ui/Application.h"
#include "extension/ExtensionManager.h"
#include "ui/HelpWindow.h"
#include "ui/LowerThirdDesignWindow.h"
#include "ui/OnboardingSheet.h"
#include "ui/SettingsWindow.h"

#include <QPointer>

namespace ostrela {

void installStandardWindows(OstrelaApp& app) {
    QPointer<OstrelaApp> a(&app);
    app.setWindowFactory(QString::fromLatin1(kHelpWindowID), [] {
        auto* w = new HelpWindow;
        w->setAttribute(Qt::WA_DeleteOnClose);
        return w;
    });
    app.setWindowFactory(QString::fromLatin1(kLowerThirdDesignWindowID), [a]() -> QWidget* {
        if (!a) return nullptr;
        auto* w = new LowerThirdDesignWindow(a->weatherService(), a->nowPlayingService(), a->rssFeedService(),
                                             a->lowerThirdModes());
        w->setAttribute(Qt::WA_DeleteOnClose);
        return w;
    });
    app.setWindowFactory(QString::fromLatin1(kSettingsWindowID), [a]() -> QWidget* {
        if (!a) return nullptr;
        auto* w = new SettingsWindow(a->libraryController(), a->extensionManager(),
                                     SettingsWindow::discoveryFor(a->captureBackend()));
        w->setAppearanceHandler([a](bool dark) {
            if (a) a->setDarkMode(dark);
        });
        w->setAttribute(Qt::WA_DeleteOnClose);
        return w;
    });
    app.setOnboardingFactory([](QWidget* parent) { return new OnboardingSheet(parent); });
    // The camera help lives in the help window: installing the module and approving the request.
    ExtensionManager::setExtensionSettingsOpener([a] {
        if (!a) return;
        if (auto* help = qobject_cast<HelpWindow*>(a->openWindow(QString::fromLatin1(kHelpWindowID))))
            help->selectTopic(QStringLiteral("first-time-setup"));
    });
}

}  // namespace ostrela
