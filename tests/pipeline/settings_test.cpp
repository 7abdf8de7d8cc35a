#include "pipeline/Settings.h"
#include "tests/support/TestEnv.h"

#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/stat.h>

using namespace ostrela;
using namespace ostrela::settings;
namespace fs = std::filesystem;

namespace {

class SettingsTest : public ::testing::Test {
protected:
    test::ScopedTestEnv env;
    std::string suitePath() const { return env.configDir() + "/group.com.morwick.Ostrela.json"; }
    SettingsStore& suite() { return *SettingsStore::suite(); }
    // Writes the suite file as another process would, then makes this process look again.
    void writeSuiteFile(const std::string& json) {
        fs::create_directories(env.configDir());
        test::writeFile(suitePath(), json);
        suite().synchronize();
    }
};

TEST_F(SettingsTest, DefaultsWhenNothingIsStored) {
    EXPECT_FALSE(appearanceIsDark());
    EXPECT_FALSE(hasAttemptedInitialActivation());
    EXPECT_FALSE(hasSeenOnboarding());
    EXPECT_TRUE(showEffectPreview());

    EXPECT_TRUE(overlayImageEnabled());
    EXPECT_EQ(overlayPlacement(), OverlayPlacement::bottomRight);
    EXPECT_DOUBLE_EQ(overlayWidthFraction(), 0.32);
    EXPECT_FALSE(isOverlayFullScreen());
    EXPECT_TRUE(overlayBorderEnabled());
    EXPECT_EQ(overlayBorderColorHex(), "188A8A");
    EXPECT_FALSE(fancyModeEnabled());
    EXPECT_EQ(selectedCameraUniqueID(), "");
    EXPECT_EQ(videoEffect(), VideoEffect::none);
    EXPECT_FALSE(lowerThirdEnabled());
    EXPECT_EQ(lowerThirdText(), "");
    EXPECT_EQ(lowerThirdBarColorHex(), "188A8A");
    EXPECT_EQ(lowerThirdTextColorHex(), "FFFFFF");
    EXPECT_DOUBLE_EQ(lowerThirdBarOpacity(), 1.0);
    EXPECT_EQ(lowerThirdTextAlignment(), LowerThirdTextAlignment::center);
    EXPECT_DOUBLE_EQ(lowerThirdScrollSpeed(), 90.0);
    EXPECT_TRUE(lowerThirdTextShadowEnabled());
    EXPECT_FALSE(lowerThirdGoogleMeetSafeArea());
    EXPECT_FALSE(lowerThirdAlwaysScroll());
    EXPECT_FALSE(lowerThirdPreviewFrozen());
    EXPECT_FALSE(weatherEnabled());
    EXPECT_EQ(weatherZipCode(), "");
    EXPECT_FALSE(nowPlayingEnabled());
    EXPECT_FALSE(rssFeedEnabled());
    EXPECT_EQ(rssFeedURL(), "");
    EXPECT_FALSE(lowerThirdVideoTitleEnabled());
    EXPECT_EQ(lowerThirdVideoTitleText(), "");
    EXPECT_EQ(weatherDisplayText(), "");
    EXPECT_EQ(nowPlayingDisplayText(), "");
    EXPECT_EQ(rssFeedDisplayText(), "");
    EXPECT_FALSE(videoCameraPiPEnabled());
    EXPECT_EQ(videoCameraPiPPlacement(), OverlayPlacement::bottomRight);
    EXPECT_DOUBLE_EQ(videoCameraPiPWidthFraction(), 0.26);
    EXPECT_DOUBLE_EQ(videoPlaybackVolume(), 1.0);
    EXPECT_TRUE(lowerThirdPresets().isEmpty());
    EXPECT_TRUE(libraryAllItemsExpanded());
    EXPECT_EQ(libraryCollapsedFolderIDs(), "");
    // Reading never creates a file.
    EXPECT_FALSE(fs::exists(suitePath()));
}

TEST_F(SettingsTest, EnumsKeepDeclarationOrderAndRawValues) {
    const char* effects[] = {"none", "oldTV", "securityCam", "flame", "vhs", "thermal", "snow", "anaglyph3D",
                             "nightOps", "cyberOps", "cableAccess", "xray", "noir", "drunkMode", "missionControl",
                             "dreamSequence"};
    ASSERT_EQ(kAllVideoEffects.size(), 16u);
    for (size_t i = 0; i < 16; ++i) {
        EXPECT_STREQ(rawValue(kAllVideoEffects[i]), effects[i]);
        EXPECT_EQ(videoEffectFromRaw(effects[i]), kAllVideoEffects[i]);
    }
    EXPECT_STREQ(rawValue(kAllOverlayPlacements[0]), "topLeft");
    EXPECT_STREQ(rawValue(kAllOverlayPlacements[3]), "bottomRight");
    EXPECT_STREQ(rawValue(kAllTextAlignments[0]), "leading");
    EXPECT_STREQ(rawValue(kAllTextAlignments[2]), "trailing");
}

TEST_F(SettingsTest, WrittenValuesAreReadBackAndStoredAsRawStrings) {
    setOverlayPlacement(OverlayPlacement::topLeft);
    setVideoEffect(VideoEffect::dreamSequence);
    setLowerThirdTextAlignment(LowerThirdTextAlignment::trailing);
    setOverlayWidthFraction(0.5);
    setIsOverlayFullScreen(true);
    setWeatherDisplayText(QString::fromUtf8("☀️ 21°F"));
    setAppearanceIsDark(true);
    EXPECT_EQ(overlayPlacement(), OverlayPlacement::topLeft);
    EXPECT_EQ(videoEffect(), VideoEffect::dreamSequence);
    EXPECT_EQ(lowerThirdTextAlignment(), LowerThirdTextAlignment::trailing);
    EXPECT_DOUBLE_EQ(overlayWidthFraction(), 0.5);
    EXPECT_TRUE(isOverlayFullScreen());
    EXPECT_EQ(weatherDisplayText(), QString::fromUtf8("☀️ 21°F"));
    EXPECT_TRUE(appearanceIsDark());

    QJsonObject onDisk = QJsonDocument::fromJson(QByteArray::fromStdString(test::readFile(suitePath()))).object();
    EXPECT_EQ(onDisk.value("overlayPlacement").toString(), "topLeft");
    EXPECT_EQ(onDisk.value("videoEffect").toString(), "dreamSequence");
    EXPECT_EQ(onDisk.value("lowerThirdTextAlignment").toString(), "trailing");
    EXPECT_TRUE(onDisk.value("isOverlayFullScreen").isBool());
    EXPECT_FALSE(onDisk.contains("appearanceIsDark"));  // standard store, its own file
    EXPECT_TRUE(fs::exists(env.configDir() + "/com.morwick.Ostrela.json"));
    struct stat st {};
    ASSERT_EQ(::stat(suitePath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(SettingsTest, FallbackRulesForStoredOddValues) {
    writeSuiteFile(R"({
        "overlayWidthFraction": 0, "videoCameraPiPWidthFraction": -0.4,
        "lowerThirdBarOpacity": 0, "lowerThirdScrollSpeed": 5000,
        "lowerThirdTextAlignment": "middle", "overlayPlacement": "", "videoCameraPiPPlacement": "TopLeft",
        "videoEffect": "OldTV",
        "overlayImageEnabled": 0, "overlayBorderEnabled": "no", "lowerThirdTextShadowEnabled": false,
        "lowerThirdGoogleMeetSafeArea": 1, "lowerThirdAlwaysScroll": true,
        "lowerThirdEnabled": 1, "fancyModeEnabled": "YES", "weatherEnabled": 0,
        "overlayBorderColorHex": 42, "lowerThirdText": "Hello"
    })");
    EXPECT_DOUBLE_EQ(overlayWidthFraction(), 0.32);
    EXPECT_DOUBLE_EQ(videoCameraPiPWidthFraction(), 0.26);
    EXPECT_DOUBLE_EQ(lowerThirdBarOpacity(), 0.0);      // present: used unchanged
    EXPECT_DOUBLE_EQ(lowerThirdScrollSpeed(), 5000.0);  // no clamping
    EXPECT_EQ(lowerThirdTextAlignment(), LowerThirdTextAlignment::center);
    EXPECT_EQ(overlayPlacement(), OverlayPlacement::bottomRight);
    EXPECT_EQ(videoCameraPiPPlacement(), OverlayPlacement::bottomRight);
    EXPECT_EQ(videoEffect(), VideoEffect::none);
    // Presence-tested booleans count only stored booleans.
    EXPECT_TRUE(overlayImageEnabled());
    EXPECT_TRUE(overlayBorderEnabled());
    EXPECT_FALSE(lowerThirdTextShadowEnabled());
    EXPECT_FALSE(lowerThirdGoogleMeetSafeArea());
    EXPECT_TRUE(lowerThirdAlwaysScroll());
    // Plain booleans convert numbers and words.
    EXPECT_TRUE(lowerThirdEnabled());
    EXPECT_TRUE(fancyModeEnabled());
    EXPECT_FALSE(weatherEnabled());
    EXPECT_EQ(overlayBorderColorHex(), "188A8A");  // wrong type
    EXPECT_EQ(lowerThirdText(), "Hello");
}

TEST_F(SettingsTest, UnopenableSuiteGivesDefaultsAndIgnoresWrites) {
    // A configuration "directory" that is a regular file cannot hold the stores.
    std::string blocker = env.root() + "/not-a-dir";
    test::writeFile(blocker, "x");
    setenv("OSTRELA_CONFIG_DIR", (blocker + "/ostrela").c_str(), 1);
    SettingsStore::resetForTesting();
    EXPECT_EQ(SettingsStore::suite(), nullptr);
    setLowerThirdEnabled(true);
    setOverlayWidthFraction(0.9);
    EXPECT_FALSE(lowerThirdEnabled());
    EXPECT_TRUE(overlayImageEnabled());
    EXPECT_EQ(overlayPlacement(), OverlayPlacement::bottomRight);
    EXPECT_DOUBLE_EQ(overlayWidthFraction(), 0.32);
    EXPECT_EQ(videoEffect(), VideoEffect::none);
    // The standard store never fails: it keeps values in memory.
    setHasSeenOnboarding(true);
    EXPECT_TRUE(hasSeenOnboarding());
}

TEST_F(SettingsTest, WritesFromAnotherProcessArePickedUp) {
    EXPECT_EQ(videoEffect(), VideoEffect::none);
    // Another process replaces the file; within the recheck interval this process sees it.
    fs::create_directories(env.configDir());
    test::writeFile(suitePath() + ".new", R"({"videoEffect": "thermal", "lowerThirdText": "From elsewhere"})");
    fs::rename(suitePath() + ".new", suitePath());
    usleep(useconds_t(SettingsStore::kRecheckIntervalNs / 1000 + 20000));
    EXPECT_EQ(videoEffect(), VideoEffect::thermal);
    EXPECT_EQ(lowerThirdText(), "From elsewhere");
    // A write here merges with what the other process stored instead of dropping it.
    setLowerThirdEnabled(true);
    QJsonObject onDisk = QJsonDocument::fromJson(QByteArray::fromStdString(test::readFile(suitePath()))).object();
    EXPECT_EQ(onDisk.value("videoEffect").toString(), "thermal");
    EXPECT_TRUE(onDisk.value("lowerThirdEnabled").toBool());
}

TEST_F(SettingsTest, TwoProcessesWritingDifferentKeysKeepBoth) {
    // Another process writes one key between two of our writes.
    setLowerThirdText("mine");
    fs::create_directories(env.configDir());
    std::string script = "python3 - <<'EOF'\n"
                         "import json,os\n"
                         "p='" + suitePath() + "'\n"
                         "d=json.load(open(p))\n"
                         "d['rssFeedURL']='https://example.invalid/feed'\n"
                         "open(p+'.t','w').write(json.dumps(d))\n"
                         "os.rename(p+'.t',p)\n"
                         "EOF";
    ASSERT_EQ(test::runCommand(script), 0);
    suite().synchronize();
    setLowerThirdBarOpacity(0.5);
    EXPECT_EQ(rssFeedURL(), "https://example.invalid/feed");
    EXPECT_EQ(lowerThirdText(), "mine");
    EXPECT_DOUBLE_EQ(lowerThirdBarOpacity(), 0.5);
}

TEST_F(SettingsTest, CorruptStoreIsCopiedAsideBeforeBeingReplaced) {
    const std::string garbage = "{ this is not json \x01\x02";
    writeSuiteFile(garbage);
    EXPECT_TRUE(suite().fileWasUnreadable());
    EXPECT_EQ(videoEffect(), VideoEffect::none);  // defaults while unreadable
    EXPECT_EQ(test::readFile(suitePath()), garbage);  // reading alone never touches it

    setVideoEffect(VideoEffect::noir);
    EXPECT_EQ(videoEffect(), VideoEffect::noir);
    int copies = 0;
    for (const auto& e : fs::directory_iterator(env.configDir())) {
        std::string name = e.path().filename().string();
        if (name.rfind("group.com.morwick.Ostrela.json.corrupt-", 0) == 0) {
            ++copies;
            EXPECT_EQ(test::readFile(e.path().string()), garbage);
        }
    }
    EXPECT_EQ(copies, 1);
    QJsonParseError err{};
    QJsonDocument::fromJson(QByteArray::fromStdString(test::readFile(suitePath())), &err);
    EXPECT_EQ(err.error, QJsonParseError::NoError);
}

TEST_F(SettingsTest, UnreadableStoreIsNeverOverwritten) {
    // A store that cannot be read (here a directory in its place; permissions do not stop root)
    // cannot be copied aside either, so writes leave it alone and reads give defaults.
    fs::create_directories(suitePath());
    test::writeFile(suitePath() + "/keep", "precious");
    suite().synchronize();
    EXPECT_TRUE(suite().fileWasUnreadable());
    setVideoEffect(VideoEffect::noir);
    EXPECT_TRUE(fs::is_directory(suitePath()));
    EXPECT_EQ(test::readFile(suitePath() + "/keep"), "precious");
    EXPECT_EQ(videoEffect(), VideoEffect::none);
}

TEST(ParseHexColor, AcceptsTheUsualSpellings) {
    RGBColor teal = parseHexColor("188A8A");
    EXPECT_DOUBLE_EQ(teal.r, 0x18 / 255.0);
    EXPECT_DOUBLE_EQ(teal.g, 0x8A / 255.0);
    EXPECT_DOUBLE_EQ(teal.b, 0x8A / 255.0);
    EXPECT_EQ(parseHexColor("188a8a"), teal);
    EXPECT_EQ(parseHexColor("#188A8A"), teal);
    EXPECT_EQ(parseHexColor("  188A8A \n"), teal);
    EXPECT_EQ(parseHexColor("##18#8A8A"), teal);  // every hash sign goes
    EXPECT_EQ(parseHexColor("FF188A8A"), teal);   // low 24 bits of eight digits
    EXPECT_EQ(parseHexColor("zz188A8A"), (RGBColor{0, 0, 0}));
    EXPECT_EQ(parseHexColor(""), (RGBColor{0, 0, 0}));
    EXPECT_EQ(parseHexColor("FFF"), (RGBColor{0, 0x0F / 255.0, 0xFF / 255.0}));
    EXPECT_EQ(parseHexColor("12G456"), (RGBColor{0, 0, 0x12 / 255.0}));  // scan stops at the first non-digit
    EXPECT_EQ(parseHexColor(QStringLiteral("#ffffff")), (RGBColor{1, 1, 1}));
    EXPECT_EQ(hexColorString(0x18 / 255.0, 0x8A / 255.0, 0x8A / 255.0), "188A8A");
}

TEST_F(SettingsTest, PresetsRoundTripAndCorruptDataReadsEmpty) {
    setLowerThirdPresets({"Live from the lab", QString::fromUtf8("Émission spéciale")});
    EXPECT_EQ(lowerThirdPresets(), (QStringList{"Live from the lab", QString::fromUtf8("Émission spéciale")}));
    suite().set(keys::lowerThirdPresets, QByteArray("[\"a\", 3"));
    EXPECT_TRUE(lowerThirdPresets().isEmpty());
    suite().set(keys::lowerThirdPresets, QByteArray("[\"a\", 3]"));
    EXPECT_TRUE(lowerThirdPresets().isEmpty());
    suite().set(keys::lowerThirdPresets, QString("[\"a\"]"));  // a string, not data
    EXPECT_TRUE(lowerThirdPresets().isEmpty());
    setLowerThirdPresets({});
    EXPECT_TRUE(lowerThirdPresets().isEmpty());
}

}  // namespace
