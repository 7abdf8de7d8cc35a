#include "library/OverlayLibraryController.h"
#include "pipeline/Settings.h"
#include "tests/library/LibraryTestUtil.h"
#include "tests/support/TestEnv.h"

#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QKeyEvent>

#include <gtest/gtest.h>

using namespace ostrela;
using test::encoded;
using test::solidImage;

namespace {

class FakeOverlay : public OverlaySink {
public:
    void setOverlayImageFromFile(const QString& path) override { calls << "image:" + path; }
    void clearOverlayImage() override { calls << "clear"; }
    QStringList calls;
};

class FakePlayer : public VideoSink {
public:
    void loadVideo(const QString& path) override { calls << "load:" + path; }
    void unloadVideo() override { calls << "unload"; }
    QStringList calls;
};

class LibraryControllerTest : public ::testing::Test {
protected:
    std::string libDir() const { return env.dataDir() + "/Corvantis/Library"; }
    std::string manifest() const { return test::readFile(libDir() + "/manifest.json"); }
    QString source(const QString& name, const QByteArray& bytes) {
        const QString path = QString::fromStdString(env.root()) + "/src/" + name;
        QDir().mkpath(QFileInfo(path).path());
        test::writeFile(path.toStdString(), bytes.toStdString());
        return path;
    }
    void writeManifest(const QByteArray& bytes) {
        QDir().mkpath(QString::fromStdString(libDir()));
        test::writeFile(libDir() + "/manifest.json", bytes.toStdString());
    }

    test::ScopedTestEnv env;
};

const char* kId1 = "11111111-1111-4111-8111-111111111111";
const char* kId2 = "22222222-2222-4222-8222-222222222222";
const char* kFolderId = "F0F0F0F0-0000-4000-8000-000000000001";

}  // namespace

TEST_F(LibraryControllerTest, LegacyArrayIsRewrittenInObjectShape) {
    writeManifest(QByteArray("[{\"id\":\"") + kId1 + "\",\"fileName\":\"a.png\",\"displayName\":\"A\"}]");
    OverlayLibraryController c;
    c.load();
    ASSERT_EQ(c.items().size(), 1);
    EXPECT_TRUE(c.folders().isEmpty());
    EXPECT_EQ(uuidString(c.selectedID()), kId1);
    EXPECT_EQ(manifest(), std::string("{\"items\":[{\"id\":\"") + kId1 +
                              "\",\"fileName\":\"a.png\",\"displayName\":\"A\",\"kind\":\"image\"}],\"folders\":[]}");
}

TEST_F(LibraryControllerTest, LoadRepairsOrphanFoldersAndMissingPosters) {
    writeManifest(QByteArray("{\"items\":[{\"id\":\"") + kId1 +
                  "\",\"fileName\":\"x.png\",\"displayName\":\"X\",\"folderID\":\"" + kId2 + "\"},{\"id\":\"" + kId2 +
                  "\",\"fileName\":\"v.mov\",\"displayName\":\"V\",\"kind\":\"video\",\"folderID\":\"" + kFolderId +
                  "\"}],\"folders\":[{\"id\":\"" + kFolderId + "\",\"name\":\"F\"}]}");
    OverlayLibraryController c;
    QList<bool> posters;
    QObject::connect(&c, &OverlayLibraryController::posterTaskFinished,
                     [&](const QUuid&, bool ok) { posters << ok; });
    c.load();
    ASSERT_EQ(c.items().size(), 2);
    EXPECT_FALSE(c.items()[0].folderID.has_value());
    EXPECT_EQ(uuidString(*c.items()[1].folderID), kFolderId);
    EXPECT_EQ(c.items()[1].posterFileName, QString(kId2) + "-poster.jpg");
    const std::string saved = manifest();
    EXPECT_EQ(saved.find(std::string("\"folderID\":\"") + kId2), std::string::npos);
    EXPECT_NE(saved.find(std::string("\"posterFileName\":\"") + kId2 + "-poster.jpg\""), std::string::npos);
    // The file v.mov does not exist: the poster task runs and fails, leaving the placeholder.
    ASSERT_TRUE(test::waitUntil([&] { return c.pendingPosterTasks() == 0; }));
    ASSERT_EQ(posters.size(), 1);
    EXPECT_FALSE(posters[0]);
    EXPECT_EQ(c.thumbnail(c.items()[1]).text("Description"), "Video");
}

TEST_F(LibraryControllerTest, UnreadableManifestIsKeptAside) {
    const QByteArray broken =
        QByteArray("{\"items\":[{\"id\":\"") + kId1 + "\",\"fileName\":\"a.png\",\"displayName\":\"A\",\"kind\":\"audio\"}]"
        ",\"folders\":[]}";
    writeManifest(broken);
    OverlayLibraryController c;
    c.load();
    EXPECT_TRUE(c.items().isEmpty());
    EXPECT_EQ(manifest(), "{\"items\":[],\"folders\":[]}");
    ASSERT_FALSE(c.setAsideManifestPath().isEmpty());
    EXPECT_TRUE(QFileInfo(c.setAsideManifestPath()).fileName().startsWith("manifest.json.unreadable-"));
    EXPECT_EQ(test::readFile(c.setAsideManifestPath().toStdString()), broken.toStdString());

    // A second bad manifest in the same second does not overwrite the first copy.
    writeManifest("not json at all");
    OverlayLibraryController again;
    again.load();
    ASSERT_NE(again.setAsideManifestPath(), c.setAsideManifestPath());
    EXPECT_EQ(test::readFile(again.setAsideManifestPath().toStdString()), "not json at all");
    EXPECT_EQ(test::readFile(c.setAsideManifestPath().toStdString()), broken.toStdString());
}

TEST_F(LibraryControllerTest, FirstRunStartsEmptyAndWritesManifest) {
    OverlayLibraryController c;
    c.load();
    EXPECT_TRUE(c.items().isEmpty());
    EXPECT_TRUE(c.selectedID().isNull());
    EXPECT_EQ(manifest(), "{\"items\":[],\"folders\":[]}");
    EXPECT_TRUE(c.setAsideManifestPath().isEmpty());
}

TEST_F(LibraryControllerTest, ImportClassifiesByContent) {
    OverlayLibraryController c;
    c.load();
    const QByteArray png = encoded(solidImage(8, 6, Qt::red), "PNG");
    const QByteArray jpeg = encoded(solidImage(10, 4, Qt::blue), "JPG");
    const QString pngAsTxt = source("logo.txt", png);
    const QString jpg = source("photo.jpg", jpeg);
    const QString exactPng = source("exact.PNG", png);
    const QString garbage = source("fake.png", QByteArray(600, 'z'));
    c.addFiles({pngAsTxt, jpg, exactPng, garbage});
    ASSERT_EQ(c.items().size(), 3);
    EXPECT_EQ(c.lastError(), "fake.png isn't an image or video — only those can be added");
    EXPECT_EQ(c.items()[0].displayName, "logo");
    EXPECT_EQ(c.items()[1].displayName, "photo");
    for (const auto& item : c.items()) {
        EXPECT_EQ(item.kind, OverlayLibraryItemKind::image);
        EXPECT_EQ(item.fileName, uuidString(item.id) + ".png");
        const std::string bytes = test::readFile(c.store().pathFor(item.fileName).toStdString());
        EXPECT_EQ(bytes.substr(0, 8), "\x89PNG\r\n\x1a\n");
    }
    // The PNG named exactly .PNG is kept byte for byte; the JPEG is re-encoded with its size kept.
    EXPECT_EQ(test::readFile(c.store().pathFor(c.items()[2].fileName).toStdString()), png.toStdString());
    QImage stored(c.store().pathFor(c.items()[1].fileName));
    EXPECT_EQ(stored.size(), QSize(10, 4));
    EXPECT_GT(qBlue(stored.pixel(5, 2)), 200);
    EXPECT_LT(qRed(stored.pixel(5, 2)), 40);
    EXPECT_EQ(c.selectedID(), c.items()[0].id);

    // A thumbnail is the decoded picture.
    EXPECT_EQ(c.thumbnail(c.items()[0]).size(), QSize(8, 6));

    // Several skipped files: one message with count and names; success clears it.
    c.addFiles({source("a.txt", "hello"), source("b.bin", QByteArray(100, '\0')), source("c.doc", "x")});
    EXPECT_EQ(c.lastError(), "3 files weren't images or videos and were skipped: a.txt, b.bin, c.doc");
    c.addFiles({source("ok.png", png)});
    EXPECT_TRUE(c.lastError().isEmpty());
    EXPECT_EQ(c.items().size(), 4);
}

TEST_F(LibraryControllerTest, FolderDropIntoFolderRow) {
    OverlayLibraryController c;
    c.load();
    const QUuid folder = QUuid::createUuid();
    c.appendFolder({folder, "Show"});
    const QString dir = QString::fromStdString(env.root()) + "/drop";
    QDir().mkpath(dir + "/sub");
    test::writeFile((dir + "/a.png").toStdString(), encoded(solidImage(4, 4, Qt::green), "PNG").toStdString());
    test::writeFile((dir + "/.hidden.png").toStdString(), encoded(solidImage(4, 4, Qt::green), "PNG").toStdString());
    ASSERT_EQ(test::runCommand("ffmpeg -v error -y -f lavfi -i testsrc=size=64x48:rate=10 -t 0.5 -c:v libx264 "
                               "-pix_fmt yuv420p '" + (dir + "/b.mov").toStdString() + "'"), 0);
    c.addFiles({dir}, folder);
    ASSERT_EQ(c.items().size(), 2);
    EXPECT_EQ(c.lastError(), "sub isn't an image or video — only those can be added");
    EXPECT_EQ(c.items()[0].kind, OverlayLibraryItemKind::image);
    EXPECT_EQ(c.items()[1].kind, OverlayLibraryItemKind::video);
    EXPECT_EQ(c.items()[1].displayName, "b");
    EXPECT_TRUE(c.items()[1].fileName.endsWith(".mov"));
    for (const auto& item : c.items()) EXPECT_EQ(item.folderID, folder);
    EXPECT_EQ(c.itemsInFolder(folder).size(), 2);
    EXPECT_TRUE(c.itemsInFolder(std::nullopt).isEmpty());
    ASSERT_TRUE(test::waitUntil([&] { return c.pendingPosterTasks() == 0; }));
    EXPECT_TRUE(QFileInfo::exists(c.store().pathFor(*c.items()[1].posterFileName)));
    EXPECT_EQ(c.thumbnail(c.items()[1]).size(), QSize(64, 48));
    EXPECT_GT(c.videoStorageBytes(), 0);
}

TEST_F(LibraryControllerTest, OrganisingOperations) {
    OverlayLibraryController c;
    c.load();
    const QByteArray png = encoded(solidImage(2, 2, Qt::white), "PNG");
    c.addFiles({source("a.png", png), source("b.png", png), source("c.png", png)});
    ASSERT_EQ(c.items().size(), 3);
    const QUuid a = c.items()[0].id, b = c.items()[1].id, cc = c.items()[2].id;
    const QUuid f = QUuid::createUuid();
    c.appendFolder({f, "Folder"});

    auto order = [&] {
        QList<QUuid> ids;
        for (const auto& i : c.items()) ids << i.id;
        return ids;
    };
    c.moveItem(cc, a, f);  // before a, into f
    EXPECT_EQ(order(), (QList<QUuid>{cc, a, b}));
    EXPECT_EQ(c.items()[0].folderID, f);
    c.moveItem(a, a, std::nullopt);  // own id as target: appended
    EXPECT_EQ(order(), (QList<QUuid>{cc, b, a}));
    c.moveItem(b, QUuid::createUuid(), std::nullopt);
    EXPECT_EQ(order(), (QList<QUuid>{cc, a, b}));
    c.moveItemToFolder(b, f);
    EXPECT_EQ(order(), (QList<QUuid>{cc, a, b}));
    EXPECT_EQ(c.itemsInFolder(f).size(), 2);

    c.renameFolder(f, "   \n");
    EXPECT_EQ(c.folders()[0].name, "Folder");
    c.renameFolder(f, "  Guests \n");
    EXPECT_EQ(c.folders()[0].name, "Guests");
    EXPECT_NE(manifest().find("\"name\":\"Guests\""), std::string::npos);

    c.renameItem(a, "  Spaced ");
    EXPECT_EQ(c.items()[1].displayName, "  Spaced ");

    c.deleteFolder(f);
    EXPECT_TRUE(c.folders().isEmpty());
    EXPECT_EQ(c.items().size(), 3);
    EXPECT_EQ(c.itemsInFolder(std::nullopt).size(), 3);
    EXPECT_EQ(manifest().find("folderID"), std::string::npos);

    // An id that matches nothing changes nothing and does not save.
    const std::string before = manifest();
    QFile::remove(QString::fromStdString(libDir() + "/manifest.json"));
    c.renameItem(QUuid::createUuid(), "nobody");
    c.moveItem(QUuid::createUuid(), std::nullopt, std::nullopt);
    c.deleteFolder(QUuid::createUuid());
    EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(libDir() + "/manifest.json")));
    c.save();
    EXPECT_EQ(manifest(), before);

    // Removing the selected item selects the first remaining; an unselected one keeps the selection.
    c.setSelectedID(a);
    const QString aFile = c.store().pathFor(c.items()[1].fileName);
    c.removeItem(c.items()[1]);
    EXPECT_FALSE(QFileInfo::exists(aFile));
    EXPECT_EQ(c.selectedID(), cc);
    c.removeItem(c.items()[1]);
    EXPECT_EQ(c.selectedID(), cc);
    ASSERT_EQ(c.items().size(), 1);

    c.resetAllData();
    EXPECT_TRUE(c.items().isEmpty());
    EXPECT_TRUE(c.selectedID().isNull());
    EXPECT_EQ(manifest(), "{\"items\":[],\"folders\":[]}");
    EXPECT_TRUE(QFileInfo(QString::fromStdString(libDir())).isDir());
    EXPECT_EQ(QDir(QString::fromStdString(libDir())).entryList(QDir::Files), QStringList{"manifest.json"});
}

TEST_F(LibraryControllerTest, ApplySelectionDrivesOverlayPlayerAndTitle) {
    OverlayLibraryController c;
    c.load();
    c.addFiles({source("pic.png", encoded(solidImage(2, 2, Qt::white), "PNG"))});
    const QString video = source("talk.mov", "not really a video but named so");
    OverlayLibraryItem v{QUuid::createUuid(), "", "Talk", OverlayLibraryItemKind::video,
                         std::nullopt, video, std::nullopt};
    writeManifest(encodeManifest({QList<OverlayLibraryItem>{c.items()[0], v}, {}}));
    c.load();
    ASSERT_EQ(c.items().size(), 2);

    FakeOverlay overlay;
    FakePlayer player;
    c.setSelectedID(c.items()[0].id);
    c.applySelection(&overlay, &player);
    EXPECT_EQ(player.calls, QStringList{"unload"});
    EXPECT_EQ(overlay.calls, QStringList{"image:" + c.store().pathFor(c.items()[0].fileName)});
    EXPECT_EQ(settings::lowerThirdVideoTitleText(), "");

    overlay.calls.clear();
    player.calls.clear();
    c.setSelectedID(v.id);
    c.applySelection(&overlay, &player);
    EXPECT_EQ(overlay.calls, QStringList{"clear"});
    EXPECT_EQ(player.calls, QStringList{"load:" + video});
    EXPECT_EQ(settings::lowerThirdVideoTitleText(), "Talk");
    c.renameItem(v.id, "Keynote");
    EXPECT_EQ(settings::lowerThirdVideoTitleText(), "Keynote");

    overlay.calls.clear();
    player.calls.clear();
    c.setSelectedID(QUuid::createUuid());
    c.applySelection(&overlay, &player);
    EXPECT_EQ(overlay.calls, QStringList{"clear"});
    EXPECT_EQ(player.calls, QStringList{"unload"});
    EXPECT_EQ(settings::lowerThirdVideoTitleText(), "");
}

TEST_F(LibraryControllerTest, PasteFromClipboardAndShortcut) {
    OverlayLibraryController c;
    c.load();
    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->clear();
    EXPECT_FALSE(c.pasteImage());

    c.startPasteMonitor();
    ASSERT_TRUE(c.isPasteMonitorInstalled());
    QObject target;
    QKeyEvent paste(QEvent::KeyPress, Qt::Key_V, Qt::ControlModifier);
    QCoreApplication::sendEvent(&target, &paste);
    EXPECT_EQ(c.lastError(), "Clipboard doesn't contain an image");
    EXPECT_TRUE(c.items().isEmpty());

    clipboard->setImage(solidImage(12, 7, QColor(10, 200, 30)));
    QKeyEvent withOption(QEvent::KeyPress, Qt::Key_V, Qt::ControlModifier | Qt::AltModifier);
    QCoreApplication::sendEvent(&target, &withOption);
    EXPECT_TRUE(c.items().isEmpty());
    QKeyEvent withShift(QEvent::KeyPress, Qt::Key_V, Qt::ControlModifier | Qt::ShiftModifier);
    QCoreApplication::sendEvent(&target, &withShift);
    ASSERT_EQ(c.items().size(), 1);
    EXPECT_TRUE(c.lastError().isEmpty());
    EXPECT_EQ(c.items()[0].displayName, "Pasted Image 1");
    EXPECT_EQ(c.selectedID(), c.items()[0].id);
    QImage stored(c.store().pathFor(c.items()[0].fileName));
    EXPECT_EQ(stored.size(), QSize(12, 7));
    EXPECT_EQ(qGreen(stored.pixel(6, 3)), 200);

    EXPECT_TRUE(c.pasteImage());
    EXPECT_EQ(c.items()[1].displayName, "Pasted Image 2");
    clipboard->clear();
}
