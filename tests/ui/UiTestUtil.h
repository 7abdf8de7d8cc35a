#pragma once
// An application object wired to doubles: a scripted extension platform, the synthetic camera,
// a library in the test's own directory and no update checks.
#include "ui/Application.h"
#include "extension/ScriptedExtensionPlatform.h"
#include "pipeline/Settings.h"
#include "pipeline/capture/SyntheticCamera.h"
#include "tests/library/LibraryTestUtil.h"
#include "tests/support/TestEnv.h"

#include <QDir>
#include <QImage>

#include <functional>
#include <memory>

namespace ostrela::test {

// Records, for each activation request, what the settings looked like when it was submitted.
class RecordingPlatform : public ScriptedExtensionPlatform {
public:
    std::function<void()> onActivation;
    void submitActivation(const QString& identifier, ExtensionRequestCallbacks callbacks) override {
        if (onActivation) onActivation();
        ScriptedExtensionPlatform::submitActivation(identifier, std::move(callbacks));
    }
};

struct AppFixture {
    explicit AppFixture(const ScopedTestEnv& env) {
        OstrelaApp::Options o;
        platform = std::make_shared<RecordingPlatform>();
        o.extensionPlatform = platform;
        o.captureBackend = std::make_shared<capture::SyntheticCaptureBackend>();
        o.libraryDirectory = QString::fromStdString(env.dataDir()) + QStringLiteral("/Library");
        o.startUpdater = false;
        app = std::make_unique<OstrelaApp>(o);
    }
    std::shared_ptr<RecordingPlatform> platform;
    std::unique_ptr<OstrelaApp> app;
};

// Writes a solid PNG and returns its path.
inline QString writePNG(const ScopedTestEnv& env, const QString& name, QColor color, int w = 64, int h = 48) {
    QDir().mkpath(QString::fromStdString(env.root()) + QStringLiteral("/files"));
    const QString path = QString::fromStdString(env.root()) + QStringLiteral("/files/") + name;
    solidImage(w, h, color).save(path, "PNG");
    return path;
}

// Where screenshots and other files for a reviewer go.
inline QString testOutputDirectory() {
    const QString dir = QStringLiteral(OSTRELA_BINARY_DIR) + QStringLiteral("/test-output");
    QDir().mkpath(dir);
    return dir;
}

}  // namespace ostrela::test
