#include "extension/ExtensionManager.h"
#include "extension/ScriptedExtensionPlatform.h"
#include "tests/support/TestEnv.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QLocale>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>

inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

using namespace ostrela;

namespace {

const QString kApproval =
    QStringLiteral("Awaiting approval in the desktop's authentication dialog");

// Strips "[time] " and checks the stamp looks like the English time style.
QString message(const QString& line) {
    static const QRegularExpression stamp(QStringLiteral("^\\[\\d{1,2}:\\d{2}:\\d{2}[ \\x{202F}](AM|PM)\\] (.*)$"));
    const auto m = stamp.match(line);
    if (!m.hasMatch()) return QStringLiteral("<badly stamped> ") + line;
    return m.captured(2);
}

QStringList messages(const ExtensionManager& m) {
    QStringList out;
    for (const QString& line : m.logLines()) out << message(line);
    return out;
}

class ExtensionManagerTest : public ::testing::Test {
protected:
    void SetUp() override { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }
    void TearDown() override { QLocale::setDefault(QLocale::system()); }

    std::shared_ptr<ScriptedExtensionPlatform> platform = std::make_shared<ScriptedExtensionPlatform>();
    ExtensionManager manager{platform};
};

TEST_F(ExtensionManagerTest, FreshManagerIsIdle) {
    EXPECT_EQ(manager.statusText(), "Idle");
    EXPECT_TRUE(manager.logLines().isEmpty());
    EXPECT_FALSE(manager.isAwaitingApproval());
    EXPECT_TRUE(platform->requests().empty());
}

TEST_F(ExtensionManagerTest, ActivateLogsOneLineBeforeTheStatusChanges) {
    qsizetype linesWhenStatusChanged = -1;
    QObject::connect(&manager, &ExtensionManager::statusTextChanged,
                     [&] { linesWhenStatusChanged = manager.logLines().size(); });
    manager.activate();
    EXPECT_EQ(linesWhenStatusChanged, 1);
    EXPECT_EQ(manager.statusText(), "Activation requested\u2026");
    EXPECT_EQ(messages(manager), QStringList{"Submitting activation request for com.morwick.Ostrela.CameraExtension"});
    ASSERT_EQ(platform->requests().size(), 1u);
    EXPECT_EQ(platform->requests()[0].kind, ScriptedExtensionPlatform::Kind::activation);
    EXPECT_EQ(platform->requests()[0].identifier, "com.morwick.Ostrela.CameraExtension");
}

TEST_F(ExtensionManagerTest, ApprovalThenCompletionInOrder) {
    QSignalSpy approval(&manager, &ExtensionManager::isAwaitingApprovalChanged);
    manager.activate();
    ReplacementAction answer = ReplacementAction::cancel;
    ASSERT_TRUE(platform->playReplacement({"0.1.0", "10"}, {"0.2.0", "20"}, &answer));
    EXPECT_EQ(answer, ReplacementAction::replace);
    EXPECT_EQ(manager.statusText(), "Activation requested\u2026");  // the replacement leaves the status alone
    ASSERT_TRUE(platform->playNeedsUserApproval());
    EXPECT_EQ(manager.statusText(), kApproval);
    EXPECT_TRUE(manager.isAwaitingApproval());
    ASSERT_TRUE(platform->playFinished(0));
    EXPECT_EQ(manager.statusText(), "Request completed");
    EXPECT_FALSE(manager.isAwaitingApproval());
    EXPECT_EQ(messages(manager), (QStringList{"Submitting activation request for com.morwick.Ostrela.CameraExtension",
                                              "Replacing existing extension 0.1.0 (10) with 0.2.0 (20)", kApproval,
                                              "Request completed"}));
    ASSERT_EQ(approval.count(), 2);
    EXPECT_TRUE(approval[0][0].toBool());
    EXPECT_FALSE(approval[1][0].toBool());
}

TEST_F(ExtensionManagerTest, FinishTextsByResult) {
    manager.activate();
    platform->playNeedsUserApproval();
    platform->playFinished(1);
    EXPECT_EQ(manager.statusText(), "Request will complete after reboot");
    EXPECT_FALSE(manager.isAwaitingApproval());
    platform->playFinished(7);
    EXPECT_EQ(manager.statusText(), "Request finished with result 7");
    platform->playFinished(-3);
    EXPECT_EQ(manager.statusText(), "Request finished with result -3");
    EXPECT_EQ(messages(manager).mid(2), (QStringList{"Request will complete after reboot",
                                                    "Request finished with result 7",
                                                    "Request finished with result -3"}));
}

TEST_F(ExtensionManagerTest, FailureCarriesDomainAndCodeOnlyInTheLog) {
    manager.activate();
    platform->playNeedsUserApproval();
    platform->playFailed({"OstrelaExtensionErrorDomain", 8, "The camera service did not start."});
    EXPECT_EQ(manager.statusText(), "Request failed: The camera service did not start.");
    EXPECT_FALSE(manager.isAwaitingApproval());
    EXPECT_EQ(messages(manager).last(),
              "Request failed: The camera service did not start. [OstrelaExtensionErrorDomain 8]");
    EXPECT_TRUE(manager.logLines().last().endsWith(" [OstrelaExtensionErrorDomain 8]"));
}

TEST_F(ExtensionManagerTest, NewRequestKeepsTheApprovalFlag) {
    manager.activate();
    platform->playNeedsUserApproval();
    manager.deactivate("com.morwick.Ostrela.CameraExtension");
    EXPECT_TRUE(manager.isAwaitingApproval());
    EXPECT_EQ(manager.statusText(), "Deactivation requested\u2026");
    EXPECT_EQ(messages(manager).last(), "Submitting deactivation request for com.morwick.Ostrela.CameraExtension");
    ASSERT_EQ(platform->requests().size(), 2u);
    EXPECT_EQ(platform->requests()[1].kind, ScriptedExtensionPlatform::Kind::deactivation);
    // Callbacks of the earlier request still update the same fields.
    platform->requests()[0].callbacks.finished(0);
    EXPECT_FALSE(manager.isAwaitingApproval());
    EXPECT_EQ(manager.statusText(), "Request completed");
}

TEST_F(ExtensionManagerTest, DeactivateNamesTheGivenIdentifier) {
    manager.deactivate("org.example.Other");
    EXPECT_EQ(messages(manager), QStringList{"Submitting deactivation request for org.example.Other"});
    EXPECT_EQ(platform->requests()[0].identifier, "org.example.Other");
}

TEST_F(ExtensionManagerTest, CallbacksOutlivingTheManagerDoNothing) {
    auto shared = std::make_shared<ScriptedExtensionPlatform>();
    {
        ExtensionManager shortLived(shared);
        shortLived.activate();
    }
    EXPECT_TRUE(shared->playNeedsUserApproval());
    EXPECT_TRUE(shared->playFinished(0));
    EXPECT_TRUE(shared->playFailed({"d", 1, "x"}));
}

TEST_F(ExtensionManagerTest, LogStampFollowsTheLocaleTimeStyle) {
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    manager.activate();
    static const QRegularExpression german(QStringLiteral("^\\[\\d{2}:\\d{2}:\\d{2}\\] Submitting activation"));
    EXPECT_TRUE(german.match(manager.logLines().first()).hasMatch()) << manager.logLines().first().toStdString();
}

TEST_F(ExtensionManagerTest, RequestsArePendingUntilTheirFirstEnd) {
    QSignalSpy pending(&manager, &ExtensionManager::requestPendingChanged);
    EXPECT_FALSE(manager.isRequestPending());
    manager.activate();
    manager.deactivate("com.morwick.Ostrela.CameraExtension");
    EXPECT_TRUE(manager.isRequestPending());
    platform->requests()[0].callbacks.finished(0);
    platform->requests()[0].callbacks.failed({"d", 1, "late"});  // a second end of the same request
    EXPECT_TRUE(manager.isRequestPending());
    platform->playNeedsUserApproval();
    EXPECT_TRUE(manager.isRequestPending());
    platform->playFailed({"OstrelaExtensionErrorDomain", 11, "The authentication was dismissed."});
    EXPECT_FALSE(manager.isRequestPending());
    ASSERT_EQ(pending.count(), 2);
    EXPECT_TRUE(pending[0][0].toBool());
    EXPECT_FALSE(pending[1][0].toBool());
}

TEST_F(ExtensionManagerTest, LastFailureIsKeptUntilARequestCompletes) {
    EXPECT_EQ(manager.lastFailure(), "");
    manager.activate();
    platform->playFailed({"OstrelaExtensionErrorDomain", 2, "The v4l2loopback kernel module is not installed."});
    EXPECT_EQ(manager.lastFailure(), "The v4l2loopback kernel module is not installed.");
    manager.activate();
    EXPECT_EQ(manager.lastFailure(), "The v4l2loopback kernel module is not installed.");
    platform->playFinished(0);
    EXPECT_EQ(manager.lastFailure(), "");
}

TEST_F(ExtensionManagerTest, AsksAboutTheServiceWhenToldAndAfterEachRequest) {
    QSignalSpy changed(&manager, &ExtensionManager::cameraServiceStateChanged);
    EXPECT_EQ(manager.cameraServiceState(), CameraServiceState::unchecked);
    EXPECT_EQ(platform->serviceQueries(), 0);
    platform->setCameraServiceState(CameraServiceState::inactive);
    manager.refreshCameraServiceState();
    EXPECT_EQ(manager.cameraServiceState(), CameraServiceState::inactive);
    EXPECT_EQ(platform->serviceQueries(), 1);
    // Submitting asks nothing; the end of the request does.
    platform->setCameraServiceState(CameraServiceState::active);
    manager.activate();
    EXPECT_EQ(platform->serviceQueries(), 1);
    platform->playFinished(0);
    EXPECT_EQ(platform->serviceQueries(), 2);
    EXPECT_EQ(manager.cameraServiceState(), CameraServiceState::active);
    // The same answer again is no change.
    manager.refreshCameraServiceState();
    EXPECT_EQ(changed.count(), 2);
}

// --- diagnostics ----------------------------------------------------------------------------

void writeText(const QString& path, const QByteArray& text) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(text);
}

TEST(EmbeddedExtensions, ReadsManifestsWithTheAbsentFieldRules) {
    QTemporaryDir dir;
    const QString d = dir.path();
    writeText(d + "/a-camera.extension/manifest.json",
              R"({"CFBundleIdentifier":"com.morwick.Ostrela.CameraExtension",
                  "CMIOExtension":{"CMIOExtensionMachServiceName":"com.morwick.Ostrela.CameraExtension.service"}})");
    writeText(d + "/b-nocmio.extension/manifest.json", R"({"CFBundleIdentifier":"org.example.NoService"})");
    writeText(d + "/c-corrupt.extension/manifest.json", "{not json");
    QDir().mkpath(d + "/d-empty.extension");
    writeText(d + "/e-wrongtypes.extension/manifest.json",
              R"({"CFBundleIdentifier":42,"CMIOExtension":{"CMIOExtensionMachServiceName":["x"]}})");
    writeText(d + "/f-cmio-not-dict.extension/manifest.json",
              R"({"CFBundleIdentifier":"org.example.F","CMIOExtension":"svc"})");
    writeText(d + "/g-other.extensionOld/manifest.json", R"({"CFBundleIdentifier":"org.example.G"})");
    writeText(d + "/readme.txt", "not an extension");

    const QList<EmbeddedExtensionInfo> found = ExtensionManager::embeddedExtensions(d);
    ASSERT_EQ(found.size(), 6);
    EXPECT_EQ(found[0].path, d + "/a-camera.extension");
    EXPECT_EQ(found[0].bundleIdentifier, "com.morwick.Ostrela.CameraExtension");
    EXPECT_EQ(found[0].machServiceName, "com.morwick.Ostrela.CameraExtension.service");
    EXPECT_EQ(found[1].bundleIdentifier, "org.example.NoService");
    EXPECT_FALSE(found[1].machServiceName.has_value());
    for (int i : {2, 3, 4}) {
        EXPECT_FALSE(found[i].bundleIdentifier.has_value()) << i;
        EXPECT_FALSE(found[i].machServiceName.has_value()) << i;
    }
    EXPECT_EQ(found[5].bundleIdentifier, "org.example.F");
    EXPECT_FALSE(found[5].machServiceName.has_value());
}

TEST(EmbeddedExtensions, MissingDirectoryGivesNothing) {
    QTemporaryDir dir;
    EXPECT_TRUE(ExtensionManager::embeddedExtensions(dir.path() + "/absent").isEmpty());
    qputenv("OSTRELA_EXTENSIONS_DIR", (dir.path() + "/absent").toUtf8());
    EXPECT_EQ(ExtensionManager::embeddedExtensionsDirectory(), dir.path() + "/absent");
    EXPECT_TRUE(ExtensionManager::embeddedExtensions().isEmpty());
    qunsetenv("OSTRELA_EXTENSIONS_DIR");
}

TEST(EmbeddedExtensions, TheBuildShipsTheCameraManifest) {
    const QList<EmbeddedExtensionInfo> found =
        ExtensionManager::embeddedExtensions(QStringLiteral(OSTRELA_BINARY_DIR "/extensions"));
    ASSERT_EQ(found.size(), 1);
    EXPECT_EQ(found[0].bundleIdentifier, "com.morwick.Ostrela.CameraExtension");
    EXPECT_TRUE(found[0].machServiceName.has_value());
}

TEST(InstalledSystemWide, PrefixRuleKeepsTheTrailingSlash) {
    EXPECT_TRUE(ExtensionManager::isInApplicationsFolder("/usr/bin/ostrela"));
    EXPECT_TRUE(ExtensionManager::isInApplicationsFolder("/opt/ostrela/bin/ostrela"));
    EXPECT_FALSE(ExtensionManager::isInApplicationsFolder("/home/ana/Downloads/ostrela/ostrela"));
    EXPECT_FALSE(ExtensionManager::isInApplicationsFolder("/usrlocal/bin/ostrela"));
    EXPECT_FALSE(ExtensionManager::isInApplicationsFolder("/optional/ostrela"));
    EXPECT_FALSE(ExtensionManager::isInApplicationsFolder("/usr"));
    EXPECT_FALSE(ExtensionManager::isInApplicationsFolder(""));
}

TEST(ExtensionSettings, OpensTheInstalledHelpOpener) {
    int opened = 0;
    ExtensionManager::setExtensionSettingsOpener([&] { ++opened; });
    ExtensionManager::openExtensionSettings();
    ExtensionManager::setExtensionSettingsOpener({});
    EXPECT_EQ(opened, 1);
    EXPECT_TRUE(ExtensionManager::troubleshootingText().contains("v4l2loopback-dkms"));
    EXPECT_TRUE(ExtensionManager::troubleshootingText().contains(
        "/etc/modules-load.d/ostrela.conf and /etc/modprobe.d/ostrela.conf"));
}

}  // namespace
