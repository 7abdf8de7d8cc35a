// What the package installs besides the programs: every program's --help and --version, the
// manual pages, the desktop entry and AppStream metainfo (checked by Debian's own validators), the
// screenshots the metainfo names, the icon drawn at build time, and the camera service and module
// files as activation expects them.
#include "extension/LinuxExtensionPlatform.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QSet>
#include <QTemporaryDir>
#include <QXmlStreamReader>

using namespace ostrela;

namespace {

const QString kBin = QStringLiteral(OSTRELA_BINARY_DIR);
const QString kSource = QStringLiteral(OSTRELA_SOURCE_DIR);
const QString kPackaging = kBin + QStringLiteral("/packaging");
const QStringList kPrograms = {"ostrela", "ostrela-camera", "ostrela-render", "ostrela-testframes"};

struct RunResult {
    int exitCode = -1;
    QString out, err;
};

RunResult run(const QString& program, const QStringList& args, const QProcessEnvironment& env =
                                                              QProcessEnvironment::systemEnvironment()) {
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(program, args);
    RunResult r;
    if (!p.waitForStarted(10000)) {
        r.err = program + QStringLiteral(" did not start");
        return r;
    }
    p.closeWriteChannel();
    p.waitForFinished(120000);
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromUtf8(p.readAllStandardOutput());
    r.err = QString::fromUtf8(p.readAllStandardError());
    return r;
}

QString readText(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return {};
    return QString::fromUtf8(f.readAll());
}

// No display and a platform that does not exist: --help and --version must not need Qt's GUI.
QProcessEnvironment headless() {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    return env;
}

QStringList longOptions(const QString& text) {
    static const QRegularExpression option(QStringLiteral("(?<![\\w-])--[a-z0-9][a-z0-9-]*"));
    QStringList out;
    for (auto it = option.globalMatch(text); it.hasNext();) {
        const QString o = it.next().captured(0);
        if (!out.contains(o)) out << o;
    }
    return out;
}

struct Metainfo {
    QString id, launchable, releaseVersion, contentRating;
    QStringList binaries, screenshots;
};

Metainfo readMetainfo(const QString& path) {
    Metainfo m;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return m;
    QXmlStreamReader xml(&f);
    QString parent;
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement) continue;
        const QString name = xml.name().toString();
        if (name == "provides" || name == "screenshots") parent = name;
        if (name == "id" && xml.attributes().isEmpty() && m.id.isEmpty()) m.id = xml.readElementText();
        else if (name == "launchable") m.launchable = xml.readElementText();
        else if (name == "release") m.releaseVersion = xml.attributes().value("version").toString();
        else if (name == "content_rating") m.contentRating = xml.attributes().value("type").toString();
        else if (name == "binary" && parent == "provides") m.binaries << xml.readElementText();
        else if (name == "image" && parent == "screenshots") m.screenshots << xml.readElementText();
    }
    EXPECT_FALSE(xml.hasError()) << xml.errorString().toStdString();
    return m;
}

}  // namespace

TEST(Programs, AnswerHelpAndVersionWithoutADisplay) {
    for (const QString& name : kPrograms) {
        SCOPED_TRACE(name.toStdString());
        const QString program = kBin + '/' + name;
        const RunResult version = run(program, {"--version"}, headless());
        EXPECT_EQ(version.exitCode, 0) << version.err.toStdString();
        EXPECT_EQ(version.out, name + ' ' + QStringLiteral(OSTRELA_VERSION) + '\n');
        const RunResult help = run(program, {"--help"}, headless());
        EXPECT_EQ(help.exitCode, 0) << help.err.toStdString();
        EXPECT_TRUE(help.out.startsWith("usage: " + name + ' ')) << help.out.toStdString();
        EXPECT_TRUE(longOptions(help.out).contains("--version"));
        EXPECT_TRUE(longOptions(help.out).contains("--help"));
    }
    // A wrong option is no help: usage on standard error, nothing on standard output, status 2.
    for (const QString& name : {QStringLiteral("ostrela-camera"), QStringLiteral("ostrela-render"),
                                QStringLiteral("ostrela-testframes")}) {
        SCOPED_TRACE(name.toStdString());
        const RunResult wrong = run(kBin + '/' + name, {"--no-such-option"}, headless());
        EXPECT_EQ(wrong.exitCode, 2);
        EXPECT_TRUE(wrong.out.isEmpty());
        EXPECT_TRUE(wrong.err.contains("usage: " + name)) << wrong.err.toStdString();
    }
}

TEST(ManualPages, FormatWithoutWarningsAndDescribeEveryOption) {
    for (const QString& name : kPrograms) {
        SCOPED_TRACE(name.toStdString());
        const QString page = kPackaging + "/man/" + name + ".1";
        const QString text = readText(page);
        ASSERT_FALSE(text.isEmpty()) << page.toStdString();
        const RunResult groff = run("groff", {"-man", "-ww", "-z", "-Tutf8", page});
        EXPECT_EQ(groff.exitCode, 0) << groff.err.toStdString();
        EXPECT_EQ(groff.err, QString());
        QString upper = name.toUpper();
        upper.replace('-', QStringLiteral("\\-"));
        EXPECT_TRUE(text.startsWith(".TH " + upper + " 1 ")) << text.left(80).toStdString();
        EXPECT_TRUE(text.section('\n', 0, 0).contains("\"Ostrela " + QStringLiteral(OSTRELA_VERSION) + '"'));
        QString escapedName = name;
        escapedName.replace('-', QStringLiteral("\\-"));
        EXPECT_TRUE(text.contains(".SH NAME\n" + escapedName + " \\- "));
        // Every option the program itself lists.
        const RunResult help = run(kBin + '/' + name, {"--help"}, headless());
        const QStringList options = longOptions(help.out);
        EXPECT_GE(options.size(), 2);
        for (QString option : options) {
            option.replace('-', QStringLiteral("\\-"));
            EXPECT_TRUE(text.contains(option)) << option.toStdString() << " is not in " << page.toStdString();
        }
        // The compressed copy the package installs is the same page.
        const RunResult gz = run("gzip", {"-dc", page + ".gz"});
        EXPECT_EQ(gz.exitCode, 0);
        EXPECT_EQ(gz.out, text);
    }
}

TEST(DesktopEntry, ValidatesAndNamesTheProgramAndItsIcon) {
    const QString entry = kSource + "/app/com.morwick.Ostrela.desktop";
    const RunResult check = run("desktop-file-validate", {entry});
    EXPECT_EQ(check.exitCode, 0) << check.err.toStdString();
    EXPECT_EQ(check.out + check.err, QString());
    const QString text = readText(entry);
    EXPECT_TRUE(text.contains("\nExec=ostrela\n"));
    EXPECT_TRUE(text.contains("\nIcon=ostrela\n"));

    // The 256-pixel icon drawn from the SVG: the rounded teal square, clear outside its corners.
    const QImage icon(kPackaging + "/icons/256x256/ostrela.png");
    ASSERT_FALSE(icon.isNull());
    EXPECT_EQ(icon.size(), QSize(256, 256));
    EXPECT_TRUE(icon.hasAlphaChannel());
    EXPECT_EQ(qAlpha(icon.pixel(2, 2)), 0);
    EXPECT_EQ(qAlpha(icon.pixel(253, 253)), 0);
    const QColor edge = icon.pixelColor(24, 128);  // the square's left band, beside the lens
    EXPECT_EQ(edge.alpha(), 255);
    EXPECT_GT(edge.green(), edge.red() + 60);
    EXPECT_GT(edge.blue(), edge.red() + 60);
}

TEST(Metainfo, ValidatesAndMatchesWhatIsInstalled) {
    const QString path = kPackaging + "/com.morwick.Ostrela.metainfo.xml";
    const RunResult check = run("appstreamcli", {"validate", "--no-net", path});
    EXPECT_EQ(check.exitCode, 0) << check.out.toStdString() << check.err.toStdString();
    const Metainfo m = readMetainfo(path);
    EXPECT_EQ(m.id, "com.morwick.Ostrela");
    EXPECT_EQ(m.launchable, "com.morwick.Ostrela.desktop");
    EXPECT_TRUE(QFileInfo::exists(kSource + "/app/" + m.launchable));
    EXPECT_EQ(m.releaseVersion, QStringLiteral(OSTRELA_VERSION));
    EXPECT_EQ(m.contentRating, "oars-1.1");
    EXPECT_EQ(m.binaries, kPrograms);
    for (const QString& binary : m.binaries) EXPECT_TRUE(QFileInfo(kBin + '/' + binary).isExecutable());
    EXPECT_EQ(m.screenshots.size(), 3);
}

// The screenshots a software centre shows are the window tests' own: they are taken here (the
// test writes them again so it does not depend on the order tests run in), measured, and
// gathered in build/packaging/screenshots under the names the metainfo gives.
TEST(Metainfo, ScreenshotsAreTheWindowTestsPictures) {
    const Metainfo m = readMetainfo(kPackaging + "/com.morwick.Ostrela.metainfo.xml");
    ASSERT_EQ(m.screenshots.size(), 3);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    const QString filter = "Screenshots.MainWindowLightAndDark:LaptopScreenTest.VideoPaneFloatsOverThePreview";
    const QString out = kBin + "/packaging/screenshots";
    QDir().mkpath(out);
    QMap<QString, QImage> shots;
    // Another run of the same window tests may be rewriting a picture: read it again after a retake.
    for (int attempt = 0; attempt < 3 && shots.size() < m.screenshots.size(); ++attempt) {
        const RunResult ui = run(kBin + "/tests/ostrela_tests_ui", {"--gtest_filter=" + filter}, env);
        ASSERT_EQ(ui.exitCode, 0) << ui.out.toStdString() << ui.err.toStdString();
        for (const QString& url : m.screenshots) {
            const QString file = url.section('/', -1);
            const QImage image(kBin + "/test-output/" + file);
            if (!image.isNull()) shots[file] = image;
        }
    }
    ASSERT_EQ(shots.size(), m.screenshots.size());
    for (const QString& url : m.screenshots) {
        const QString file = url.section('/', -1);
        SCOPED_TRACE(file.toStdString());
        EXPECT_TRUE(url.startsWith("https://") && url.endsWith('/' + file)) << url.toStdString();
        const QImage& image = shots[file];
        // Wide enough for a software centre, and a picture rather than a blank.
        EXPECT_GE(image.width(), 620);
        EXPECT_GE(image.height(), 400);
        QSet<QRgb> colours;
        for (int y = 0; y < image.height(); y += 3)
            for (int x = 0; x < image.width(); x += 3) colours.insert(image.pixel(x, y));
        EXPECT_GT(colours.size(), 200);
        EXPECT_TRUE(image.save(out + '/' + file));
    }
    auto meanLightness = [](const QImage& image) {
        double sum = 0;
        int n = 0;
        for (int y = 0; y < image.height(); y += 4)
            for (int x = 0; x < image.width(); x += 4, ++n) sum += qGray(image.pixel(x, y));
        return sum / n;
    };
    EXPECT_GT(meanLightness(shots["main-window-light.png"]), meanLightness(shots["main-window-dark.png"]) + 40);
}

TEST(PackagedCamera, ServiceIsTheOneActivationWrites) {
    // The unit activation writes names only the program when no test overrides are set.
    const QStringList passed = {"OSTRELA_DATA_DIR", "OSTRELA_CONTAINER_DIR", "XDG_DATA_HOME"};
    QMap<QString, QByteArray> saved;
    for (const QString& name : passed) {
        saved[name] = qgetenv(name.toUtf8().constData());
        qunsetenv(name.toUtf8().constData());
    }
    const QString expected = cameraServiceUnit("/usr/bin/ostrela-camera", {OSTRELA_VERSION, OSTRELA_VERSION});
    for (const QString& name : passed)
        if (!saved[name].isEmpty()) qputenv(name.toUtf8().constData(), saved[name]);

    QString unit = readText(kSource + "/packaging/ostrela-camera.service.in");
    unit.replace("@PROJECT_VERSION@", OSTRELA_VERSION).replace("@OSTRELA_CAMERA_PROGRAM@", "/usr/bin/ostrela-camera");
    EXPECT_EQ(unit, expected);
    // So activation on a packaged system sees the same version and asks nothing about replacing.
    QTemporaryDir dir;
    QFile f(dir.filePath("ostrela-camera.service"));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(unit.toUtf8());
    f.close();
    const auto version = installedServiceVersion(f.fileName());
    ASSERT_TRUE(version.has_value());
    EXPECT_EQ(version->shortVersion, OSTRELA_VERSION);
    EXPECT_EQ(version->bundleVersion, OSTRELA_VERSION);
}

TEST(PackagedCamera, ModuleFilesMakeTheSetupHelperWriteNothing) {
    EXPECT_EQ(readText(kSource + "/packaging/modules-load.conf"), "v4l2loopback\n");
    EXPECT_EQ(readText(kSource + "/packaging/modprobe.conf"),
              "options v4l2loopback card_label=\"Ostrela\" exclusive_caps=1\n");
    // The package's files in place of /usr/lib: the real helper keeps /etc empty.
    QTemporaryDir dir;
    const QString vendor = dir.filePath("usr/lib"), etc = dir.filePath("etc");
    QDir().mkpath(vendor + "/modules-load.d");
    QDir().mkpath(vendor + "/modprobe.d");
    ASSERT_TRUE(QFile::copy(kSource + "/packaging/modules-load.conf", vendor + "/modules-load.d/ostrela.conf"));
    ASSERT_TRUE(QFile::copy(kSource + "/packaging/modprobe.conf", vendor + "/modprobe.d/ostrela.conf"));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("PKEXEC_UID");
    env.insert("OSTRELA_SYSCONF_ROOT", etc);
    env.insert("OSTRELA_PACKAGE_CONF_ROOT", vendor);
    const RunResult helper = run(kBin + "/ostrela-camera-setup", {"persist"}, env);
    EXPECT_EQ(helper.exitCode, 0) << helper.err.toStdString();
    EXPECT_EQ(helper.out, "packaged " + vendor + "/modules-load.d/ostrela.conf\npackaged " + vendor +
                              "/modprobe.d/ostrela.conf\n");
    EXPECT_FALSE(QFileInfo::exists(etc));
}
