#include "library/LibraryModel.h"
#include "library/OverlayLibraryStore.h"
#include "tests/support/TestEnv.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

using namespace ostrela;

namespace {

const QUuid kItemA = QUuid::fromString(QStringLiteral("6f1c2b3a-4d5e-4f60-8a7b-9c0d1e2f3a4b"));
const QUuid kItemB = QUuid::fromString(QStringLiteral("00112233-4455-6677-8899-aabbccddeeff"));
const QUuid kFolder = QUuid::fromString(QStringLiteral("a0b1c2d3-e4f5-4a6b-8c7d-9e0f1a2b3c4d"));

}  // namespace

TEST(LibraryManifest, EncodesExactBytesInDeclarationOrder) {
    LibraryManifest m;
    OverlayLibraryItem image{kItemA, "6F1C2B3A-4D5E-4F60-8A7B-9C0D1E2F3A4B.png", "Logo", OverlayLibraryItemKind::image,
                             std::nullopt, std::nullopt, std::nullopt};
    OverlayLibraryItem video{kItemB, "", "Intro \"final\"/v2", OverlayLibraryItemKind::video,
                             QStringLiteral("00112233-4455-6677-8899-AABBCCDDEEFF-poster.jpg"),
                             QStringLiteral("/home/me/Videos/intro.mov"), kFolder};
    m.items = {image, video};
    m.folders = {{kFolder, QStringLiteral("Shows/2026 é")}};
    const QByteArray expected =
        "{\"items\":[{\"id\":\"6F1C2B3A-4D5E-4F60-8A7B-9C0D1E2F3A4B\",\"fileName\":\"6F1C2B3A-4D5E-4F60-8A7B-9C0D1E2F3A4B.png\","
        "\"displayName\":\"Logo\",\"kind\":\"image\"},"
        "{\"id\":\"00112233-4455-6677-8899-AABBCCDDEEFF\",\"fileName\":\"\",\"displayName\":\"Intro \\\"final\\\"\\/v2\","
        "\"kind\":\"video\",\"posterFileName\":\"00112233-4455-6677-8899-AABBCCDDEEFF-poster.jpg\","
        "\"originalPath\":\"\\/home\\/me\\/Videos\\/intro.mov\",\"folderID\":\"A0B1C2D3-E4F5-4A6B-8C7D-9E0F1A2B3C4D\"}],"
        "\"folders\":[{\"id\":\"A0B1C2D3-E4F5-4A6B-8C7D-9E0F1A2B3C4D\",\"name\":\"Shows\\/2026 \xc3\xa9\"}]}";
    EXPECT_EQ(encodeManifest(m), expected);
    EXPECT_EQ(encodeManifest(LibraryManifest{}), QByteArray("{\"items\":[],\"folders\":[]}"));
    auto back = decodeManifest(expected);
    ASSERT_TRUE(back.has_value());
    EXPECT_EQ(*back, m);
}

TEST(LibraryManifest, EscapesControlCharacters) {
    EXPECT_EQ(jsonStringLiteral(QStringLiteral("a\nb\tc\\d\x01")), QByteArray("\"a\\nb\\tc\\\\d\\u0001\""));
}

TEST(LibraryManifest, DecodingRules) {
    // Any key order and white space; missing or null kind is an image; null optionals are absent.
    auto m = decodeManifest(
        " { \"folders\" : [ ] ,\n \"items\" : [ {\"displayName\":\"x\",\"fileName\":\"f.png\","
        "\"id\":\"6f1c2b3a-4d5e-4f60-8a7b-9c0d1e2f3a4b\"},"
        "{\"id\":\"00112233-4455-6677-8899-AABBCCDDEEFF\",\"fileName\":\"\",\"displayName\":\"y\",\"kind\":null,"
        "\"folderID\":null,\"posterFileName\":null,\"extra\":5} ] } ");
    ASSERT_TRUE(m.has_value());
    ASSERT_EQ(m->items.size(), 2);
    EXPECT_EQ(m->items[0].id, kItemA);
    EXPECT_EQ(m->items[0].kind, OverlayLibraryItemKind::image);
    EXPECT_EQ(m->items[1].kind, OverlayLibraryItemKind::image);
    EXPECT_FALSE(m->items[1].folderID.has_value());
    EXPECT_FALSE(m->items[1].posterFileName.has_value());

    const char* item = "{\"id\":\"6F1C2B3A-4D5E-4F60-8A7B-9C0D1E2F3A4B\",\"fileName\":\"f\",\"displayName\":\"d\"";
    auto withItem = [&](const char* extra) {
        return QByteArray("{\"items\":[") + item + extra + "}],\"folders\":[]}";
    };
    EXPECT_TRUE(decodeManifest(withItem(",\"kind\":\"video\"")).has_value());
    EXPECT_FALSE(decodeManifest(withItem(",\"kind\":\"audio\"")).has_value());
    EXPECT_FALSE(decodeManifest(withItem(",\"kind\":1")).has_value());
    EXPECT_FALSE(decodeManifest(withItem(",\"folderID\":\"not-a-uuid\"")).has_value());
    EXPECT_FALSE(decodeManifest(withItem(",\"folderID\":\"{A0B1C2D3-E4F5-4A6B-8C7D-9E0F1A2B3C4D}\"")).has_value());
    EXPECT_FALSE(decodeManifest(withItem(",\"posterFileName\":3")).has_value());
    EXPECT_FALSE(decodeManifest("{\"items\":[{\"id\":\"6F1C2B3A-4D5E-4F60-8A7B-9C0D1E2F3A4B\",\"fileName\":\"f\"}],"
                                "\"folders\":[]}").has_value());
    EXPECT_FALSE(decodeManifest("{\"items\":[]}").has_value());
    EXPECT_FALSE(decodeManifest("{\"items\":[],\"folders\":[{\"id\":\"A0B1C2D3-E4F5-4A6B-8C7D-9E0F1A2B3C4D\"}]}")
                     .has_value());
    EXPECT_FALSE(decodeManifest("{\"items\":[],\"folders\":[]").has_value());

    // The older shape is an array of items and only that.
    QByteArray legacy = QByteArray("[") + item + ",\"kind\":\"video\",\"originalPath\":\"\\/tmp\\/a.mov\"}]";
    EXPECT_FALSE(decodeManifest(legacy).has_value());
    auto items = decodeLegacyItems(legacy);
    ASSERT_TRUE(items.has_value());
    ASSERT_EQ(items->size(), 1);
    EXPECT_EQ(items->at(0).originalPath, QStringLiteral("/tmp/a.mov"));
    EXPECT_FALSE(decodeLegacyItems(withItem("")).has_value());
}

TEST(LibraryStore, DirectoryAndFileLocations) {
    test::ScopedTestEnv env;
    {
        OverlayLibraryStore store;
        EXPECT_EQ(store.directory().toStdString(), env.dataDir() + "/Corvantis/Library");
        EXPECT_TRUE(QFileInfo(store.directory()).isDir());
        EXPECT_EQ(store.manifestPath(), store.directory() + "/manifest.json");
    }
    const std::string other = env.root() + "/elsewhere/lib";
    setenv("OSTRELA_LIBRARY_DIR", other.c_str(), 1);
    OverlayLibraryStore redirected;
    unsetenv("OSTRELA_LIBRARY_DIR");
    EXPECT_EQ(redirected.directory().toStdString(), other);
    EXPECT_TRUE(QFileInfo(redirected.directory()).isDir());

    OverlayLibraryItem legacy{kItemB, "", "Old", OverlayLibraryItemKind::video, std::nullopt,
                              QStringLiteral("/nowhere/gone.mov"), std::nullopt};
    EXPECT_EQ(redirected.fileURL(legacy), QStringLiteral("/nowhere/gone.mov"));
    OverlayLibraryItem stored{kItemA, "a.png", "A", OverlayLibraryItemKind::image, std::nullopt,
                              QStringLiteral("/ignored"), std::nullopt};
    EXPECT_EQ(redirected.fileURL(stored), redirected.directory() + "/a.png");
}

TEST(LibraryStore, ImportVideoDeleteAndStorageBytes) {
    test::ScopedTestEnv env;
    OverlayLibraryStore store;
    const std::string src = env.root() + "/clip";
    const std::string srcUpper = env.root() + "/Clip.MP4";
    test::writeFile(src, std::string(1000, 'a'));
    test::writeFile(srcUpper, std::string(300, 'b'));

    auto a = store.importVideo(QString::fromStdString(src), "clip");
    ASSERT_TRUE(a.has_value());
    const QString idText = uuidString(a->id);
    EXPECT_EQ(idText, idText.toUpper());
    EXPECT_EQ(a->fileName, idText + ".mov");
    EXPECT_EQ(a->posterFileName, idText + "-poster.jpg");
    EXPECT_EQ(a->kind, OverlayLibraryItemKind::video);
    EXPECT_EQ(a->displayName, "clip");
    EXPECT_FALSE(a->originalPath.has_value());
    EXPECT_FALSE(a->folderID.has_value());
    EXPECT_EQ(test::readFile(store.pathFor(a->fileName).toStdString()), std::string(1000, 'a'));

    auto b = store.importVideo(QString::fromStdString(srcUpper), "Clip");
    ASSERT_TRUE(b.has_value());
    EXPECT_TRUE(b->fileName.endsWith(".MP4"));

    QString error;
    EXPECT_FALSE(store.importVideo(QString::fromStdString(env.root() + "/missing.mov"), "m", &error).has_value());
    EXPECT_FALSE(error.isEmpty());

    OverlayLibraryItem image{QUuid::createUuid(), "i.png", "i", OverlayLibraryItemKind::image, {}, {}, {}};
    test::writeFile(store.pathFor("i.png").toStdString(), std::string(5000, 'i'));
    EXPECT_EQ(store.videoStorageBytes({}), 0);
    EXPECT_EQ(store.videoStorageBytes({image}), 0);
    // Poster never written: the video alone counts.
    EXPECT_EQ(store.videoStorageBytes({image, *a, *b}), 1300);
    test::writeFile(store.pathFor(*a->posterFileName).toStdString(), std::string(50, 'p'));
    EXPECT_EQ(store.videoStorageBytes({*a, *b}), 1350);

    store.deleteFiles(*a);
    EXPECT_FALSE(QFileInfo::exists(store.pathFor(a->fileName)));
    EXPECT_FALSE(QFileInfo::exists(store.pathFor(*a->posterFileName)));
    EXPECT_TRUE(QFileInfo::exists(store.pathFor(b->fileName)));

    // A referenced legacy video belongs to the user: nothing is removed.
    const std::string outside = env.root() + "/mine.mov";
    test::writeFile(outside, "user");
    test::writeFile(store.pathFor("L-poster.jpg").toStdString(), "p");
    OverlayLibraryItem legacy{QUuid::createUuid(), "", "mine", OverlayLibraryItemKind::video,
                              QStringLiteral("L-poster.jpg"), QString::fromStdString(outside), {}};
    store.deleteFiles(legacy);
    EXPECT_TRUE(QFileInfo::exists(QString::fromStdString(outside)));
    EXPECT_TRUE(QFileInfo::exists(store.pathFor("L-poster.jpg")));
    EXPECT_EQ(store.videoStorageBytes({legacy}), 0);
    EXPECT_TRUE(QFileInfo(store.directory()).isDir());
}

TEST(LibraryStore, RecordsNeverReachOutsideTheDirectory) {
    test::ScopedTestEnv env;
    OverlayLibraryStore store;
    const std::string victim = env.dataDir() + "/Corvantis/precious.txt";
    test::writeFile(victim, "keep me");
    OverlayLibraryItem hostile{QUuid::createUuid(), "../precious.txt", "h", OverlayLibraryItemKind::video,
                               QStringLiteral("../precious.txt"), std::nullopt, std::nullopt};
    EXPECT_EQ(store.videoStorageBytes({hostile}), 0);
    store.deleteFiles(hostile);
    hostile.kind = OverlayLibraryItemKind::image;
    store.deleteFiles(hostile);
    EXPECT_FALSE(store.writeAtomically("../precious.txt", "overwritten"));
    EXPECT_FALSE(store.writeAtomically("..", "x"));
    EXPECT_EQ(test::readFile(victim), "keep me");
    EXPECT_TRUE(QFileInfo(store.directory()).isDir());
}
