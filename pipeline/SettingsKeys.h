#pragma once
// Names of the settings stores and of every key in them. Other code names keys only through these.

namespace ostrela {

// The shared suite, also the name of the container the camera program reads.
inline constexpr const char kSuiteName[] = "group.com.morwick.Ostrela";
// The application's own preference store.
inline constexpr const char kStandardStoreName[] = "com.morwick.Ostrela";

namespace keys {
// Standard store.
inline constexpr const char appearanceIsDark[] = "appearanceIsDark";
inline constexpr const char hasAttemptedInitialActivation[] = "hasAttemptedInitialActivation";
inline constexpr const char hasSeenOnboarding[] = "hasSeenOnboarding";
inline constexpr const char showEffectPreview[] = "showEffectPreview";

// Shared suite.
inline constexpr const char overlayImageEnabled[] = "overlayImageEnabled";
inline constexpr const char overlayPlacement[] = "overlayPlacement";
inline constexpr const char overlayWidthFraction[] = "overlayWidthFraction";
inline constexpr const char isOverlayFullScreen[] = "isOverlayFullScreen";
inline constexpr const char overlayBorderEnabled[] = "overlayBorderEnabled";
inline constexpr const char overlayBorderColorHex[] = "overlayBorderColorHex";
inline constexpr const char fancyModeEnabled[] = "fancyModeEnabled";
inline constexpr const char selectedCameraUniqueID[] = "selectedCameraUniqueID";
inline constexpr const char videoEffect[] = "videoEffect";
inline constexpr const char lowerThirdEnabled[] = "lowerThirdEnabled";
inline constexpr const char lowerThirdText[] = "lowerThirdText";
inline constexpr const char lowerThirdBarColorHex[] = "lowerThirdBarColorHex";
inline constexpr const char lowerThirdTextColorHex[] = "lowerThirdTextColorHex";
inline constexpr const char lowerThirdBarOpacity[] = "lowerThirdBarOpacity";
inline constexpr const char lowerThirdTextAlignment[] = "lowerThirdTextAlignment";
inline constexpr const char lowerThirdScrollSpeed[] = "lowerThirdScrollSpeed";
inline constexpr const char lowerThirdTextShadowEnabled[] = "lowerThirdTextShadowEnabled";
inline constexpr const char lowerThirdGoogleMeetSafeArea[] = "lowerThirdGoogleMeetSafeArea";
inline constexpr const char lowerThirdAlwaysScroll[] = "lowerThirdAlwaysScroll";
inline constexpr const char lowerThirdPreviewFrozen[] = "lowerThirdPreviewFrozen";
inline constexpr const char weatherEnabled[] = "weatherEnabled";
inline constexpr const char weatherZipCode[] = "weatherZipCode";
inline constexpr const char nowPlayingEnabled[] = "nowPlayingEnabled";
inline constexpr const char rssFeedEnabled[] = "rssFeedEnabled";
inline constexpr const char rssFeedURL[] = "rssFeedURL";
inline constexpr const char lowerThirdVideoTitleEnabled[] = "lowerThirdVideoTitleEnabled";
inline constexpr const char lowerThirdVideoTitleText[] = "lowerThirdVideoTitleText";
inline constexpr const char weatherDisplayText[] = "weatherDisplayText";
inline constexpr const char nowPlayingDisplayText[] = "nowPlayingDisplayText";
inline constexpr const char rssFeedDisplayText[] = "rssFeedDisplayText";
inline constexpr const char videoCameraPiPEnabled[] = "videoCameraPiPEnabled";
inline constexpr const char videoCameraPiPPlacement[] = "videoCameraPiPPlacement";
inline constexpr const char videoCameraPiPWidthFraction[] = "videoCameraPiPWidthFraction";
inline constexpr const char videoPlaybackVolume[] = "videoPlaybackVolume";
inline constexpr const char lowerThirdPresets[] = "lowerThirdPresets";
inline constexpr const char libraryAllItemsExpanded[] = "libraryAllItemsExpanded";
inline constexpr const char libraryCollapsedFolderIDs[] = "libraryCollapsedFolderIDs";
}  // namespace keys

}  // namespace ostrela
