#include "ui/HelpTopics.h"


namespace ostrela {

namespace {

QString md(const char* utf8) { return QString::fromUtf8(utf8); }

QList<HelpTopic> makeTopics() {
    QList<HelpTopic> t;
    t.append({QStringLiteral("welcome"), QStringLiteral("What Ostrela Does"), QStringLiteral("video.fill"), md(R"md(
# What Ostrela Does

Ostrela turns your webcam into a dressed-up camera for video calls. It takes the picture from your physical camera, applies one of sixteen live effects, floats an image of your choice in a corner, draws a lower-third text bar across the bottom (your own text, the weather, the song now playing, a headline ticker or the title of a playing video) and hands every finished 1280×720 frame to the **Ostrela camera service**. That small companion program publishes the picture as a camera named "Ostrela" through a v4l2loopback video device (or PipeWire), so Zoom, Meet, Jitsi, OBS or any browser can pick it like any other webcam.

You can also play a video file out through the camera, full-frame, with your live camera as a picture-in-picture in a corner.

## Where to start

- New here? Read **First-Time Setup**.
- Everything in the main window takes effect on the next frame, so you can change it in the middle of a call.
)md")});

    t.append({QStringLiteral("whats-new"), QStringLiteral("What's New"), QStringLiteral("clock.arrow.circlepath"), md(R"md(
# What's New

## Build 1 (version 0.1.0)

- First release for Linux desktops.
- The "Ostrela" camera is a v4l2loopback device fed by a systemd user service, with a PipeWire camera for sandboxed apps and systems without the kernel module.
- Sixteen live effects, the floating image card, and the lower-third bar with typed text, weather, now playing, an RSS or Atom headline ticker and the playing video's title.
- The lower-third design window with a live preview, and the media library with folders and video play-out.
- Every webcam your system lists can be chosen under **Settings → Video Devices**.
)md")});

    t.append({QStringLiteral("first-time-setup"), QStringLiteral("First-Time Setup"), QStringLiteral("checklist"), md(R"md(
# First-Time Setup

1. **Install Ostrela and the loopback module.** Install the Ostrela package, then the kernel module that provides virtual cameras: `sudo apt install v4l2loopback-dkms v4l2loopback-utils`. If the module was just built for a newer kernel, restart the computer once.
2. **Approve the camera request.** On the first start Ostrela asks to create its camera. Your desktop shows its authentication dialog (polkit) asking for your password, because creating a video device needs administrator rights. Enter it and choose **Authenticate**. If you pressed Cancel, open **Settings → Advanced** and press **Activate** to be asked again.
3. **Allow camera access.** Ostrela reads your webcam through Video4Linux. Your user must be allowed to open the camera devices (on most desktops this is automatic; otherwise add yourself to the `video` group and log in again). Close other programs that hold the webcam, then press **Start Camera Feed**.
4. **Add an image.** Drag a photo into the well at the top of the sidebar, or click the well to browse. It becomes the floating image in the corner of your video.
5. **Pick the camera in your video-call app.** In Zoom, Meet, Jitsi or any other app, open its camera or video settings and choose "Ostrela" from the list of cameras. Restart the app if the camera is not listed yet: many apps read the list only when they start.

## Good to know

- The camera service keeps running after you quit Ostrela; the call app then sees the last frame until you start Ostrela again.
- Browsers installed as Flatpak or Snap find "Ostrela" through the desktop's camera access (PipeWire) instead of the video device.
)md")});

    t.append({QStringLiteral("image-library"), QStringLiteral("Image Library"), QStringLiteral("photo.stack.fill"), md(R"md(
# Image Library

The sidebar keeps every image and video you add. Selecting an image makes it the floating image; selecting a video loads it for play-out.

## Adding images

- **Drop:** drag image or video files from your file manager into the well at the top of the sidebar.
- **Browse:** click the well and choose one or more files.
- **URL:** choose **Add Image from URL**, paste the address of a picture on the web and press Add. Ostrela downloads it and keeps its own copy.
- **Paste:** copy a picture in any program and press `Ctrl+V` in the main window.

Images are stored as PNG files in Ostrela's library folder; videos are copied there too, so the library keeps working when you move or delete the originals.

## Tidying up

- Right-click an item to rename it, move it to a folder or delete it.
- The search field above the list filters items by name.
)md")});

    t.append({QStringLiteral("folders"), QStringLiteral("Organizing with Folders"), QStringLiteral("folder"), md(R"md(
# Organizing with Folders

Folders group the items of your library, for example one folder per show or per guest.

- Choose **New Folder** in the sidebar and give it a name.
- Drag an item onto a folder, or right-click it and choose **Move to Folder**. **Remove from Folder** puts it back under All Items.
- Drag items within a folder to change their order.
- Click a folder's heading to open or close it; Ostrela remembers which folders are closed.
- **Delete Folder** removes only the folder: the images and videos inside stay in your library and move to All Items.
)md")});

    t.append({QStringLiteral("video-playback"), QStringLiteral("Playing Videos"), QStringLiteral("film.fill"), md(R"md(
# Playing Videos

Ostrela can play a video file out through the "Ostrela" camera, full-frame, instead of your live picture: an intro, a clip to react to, a "be right back" loop.

1. Add the video to the library (drop it into the well or browse for it).
2. Select it in the sidebar. The video controls appear over the preview.
3. Press Play. Everyone in the call now sees the video, with its sound on your speakers.

## Controls

- Play and Pause, **Rewind to the beginning**, and Stop, which returns to the beginning.
- Drag the progress bar to jump to a spot in the video.
- The volume slider sets how loud the video plays, independent of your system volume.
- **Switch to Live Camera Feed** returns to your webcam picture.

## Picture-in-picture

Turn on **Show my camera in the corner** to superimpose your live camera in a corner of the playing video, so viewers can watch you react. Choose the corner and size in its settings. The camera square is kept plain: no effects are applied to it.

While a video plays, the floating image is paused, and the lower-third bar can show the video's title (see **Lower-Third Bar**).
)md")});

    t.append({QStringLiteral("placement-size"), QStringLiteral("Placement & Size"), QStringLiteral("square.resize"), md(R"md(
# Placement & Size

The floating image sits in one corner of your picture, above the lower-third bar.

- **Corner:** choose Top Left, Top Right, Bottom Left or Bottom Right.
- **Size:** the slider sets the image's width from 15% to 60% of the picture.
- **Full screen:** the arrows button blows the image up to the largest size that still fits; press it again to return to the previous size.
- **Fancy mode** adds a soft reflection, a subtle tilt, a highlight edge and a glow behind the image.
- **Border** draws a coloured frame around the image; pick its colour from **Quick Border Color**.
- The eye button hides the floating image and sends a clean camera picture; your choice of image and its placement stay put for later.
)md")});

    t.append({QStringLiteral("lower-third"), QStringLiteral("Lower-Third Bar"), QStringLiteral("text.below.photo.fill"), md(R"md(
# Lower-Third Bar

The lower-third bar is a coloured band across the bottom of your picture carrying one line of bold text. Turn it on with **Show lower-third bar** and type your text in the main window.

## Live data

Instead of typed text the bar can show live data. Only one live mode is on at a time; turning one on turns the others off.

- **Weather:** enter a US ZIP code; the bar shows the place, temperature and conditions, refreshed every ten minutes.
- **Now playing:** the song playing in Spotify, Rhythmbox or any player that speaks MPRIS, checked every few seconds.
- **RSS feed:** enter the address of an RSS or Atom feed; its headlines scroll across the bar like a news ticker, refreshed every five minutes.
- **Video title:** while a video plays out through Ostrela, the bar shows its name.

**Text Override** turns weather, now playing and the feed off so you can type again.

## Design

Open **Lower Third Design…** for all the options, with a live preview:

- bar colour, text colour, transparency and alignment;
- the text shadow;
- **Speed** of scrolling text, and **Allow Any Text to Scroll** for short text;
- **Freeze Scrolling Preview to Save CPU**, which pauses only the preview, never the camera;
- **Adjust Bottom Bar for Google Meet Calls**, which lifts the bar so Meet's cropping does not cut it off.

Save phrases you use often as presets from the presets menu next to the text field.
)md")});

    t.append({QStringLiteral("effects"), QStringLiteral("Camera & Effects"), QStringLiteral("camera.filters"), md(R"md(
# Camera & Effects

## Choosing the camera

Ostrela uses the first webcam it finds. If you have more than one, choose yours under **Settings → Video Devices**; the "Ostrela" camera itself is never offered there. Press **Start Camera Feed** to begin and **Stop Camera Feed** to end; the clock next to it shows how long you have been on air.

## Effects

Pick an effect from the **Effect** menu. It applies to the camera picture before the image card and the bar are added:

- None, Old TV, VHS, Security Cam, Local Cable
- Thermal, NightOps, CyberOps, X-Ray, Noir, 3D, Snow
- Flame, Drunk Mode, Dream Sequence, Mission Control

The eye button next to the menu hides the effect's preview animation to save CPU; the effect still applies to the real camera picture.
)md")});

    t.append({QStringLiteral("settings"), QStringLiteral("Settings"), QStringLiteral("gearshape.fill"), md(R"md(
# Settings

Open Settings with `Ctrl+,`. It has three tabs.

## General

- **Appearance:** Light or Dark.
- **Video Storage:** how much space the videos in your library take, and a button that shows the storage folder in your file manager.
- **Reset All Ostrela Data…** permanently deletes every image, video and folder in your library. It asks first and cannot be undone.

## Advanced

- The state of the "Ostrela" camera and a log of every registration step.
- **Activate** creates the camera again (after your approval in the authentication dialog) and starts its service; **Deactivate** removes it. Deactivate followed by Activate is a full reset.
- The runtime details: where Ostrela runs from and the camera extension shipped with it.

## Video Devices

- **Source:** Automatic, or one of your webcams.
- **Refresh** looks for cameras again after you plug one in.
)md")});

    t.append({QStringLiteral("updates"), QStringLiteral("Updates & Support"), QStringLiteral("arrow.down.circle.fill"), md(R"md(
# Updates & Support

## Updates

When Ostrela came from your distribution's package manager, updates arrive with your system updates. A copy built with a release feed also looks for new versions in the background once a day and offers **Check for Updates…** in the application menu to look now; it only tells you about a newer version and never downloads or installs anything. Without a release feed that command is not in the menu.

## Troubleshooting

- **The camera is not listed in my call app.** Restart the app: most apps read their camera list only at start. Then check the camera service with `systemctl --user status ostrela-camera.service`.
- **Activate fails.** Make sure the loopback module is installed (`v4l2loopback-dkms`) and built for the running kernel; restart after a kernel update. Another virtual-camera program may hold the device: close it and press Activate again.
- **I pressed Cancel in the authentication dialog.** Open **Settings → Advanced** and press **Activate**.
- **The picture is black.** Press **Start Camera Feed** and check that no other program uses the webcam.
- **The call app shows the picture mirrored.** That is the app's own self-view; the others in the call see it the right way round.

## Support

When this copy of Ostrela names a donation page, **Make a Donation…** in the application menu opens it in your browser, to support Ostrela's development.
)md")});

    t.append({QStringLiteral("about-show"), QStringLiteral("About The Show"), QStringLiteral("star.fill"), md(R"md(
# About The Show

Ostrela was built for a small weekly live show, streamed from a spare room with one webcam, a lamp and a lot of enthusiasm. Every feature here began as a wish during a broadcast: a weather line for the guest's home town, a ticker with the week's headlines, a clip to react to.

It is dedicated to everyone who has ever hosted, guested on or sat up late watching that show, and to all the people who make their own little broadcasts from their kitchen tables.

*Thank you for watching.*
)md")});
    return t;
}

}  // namespace

const QList<HelpTopic>& helpTopics() {
    static const QList<HelpTopic> topics = makeTopics();
    return topics;
}

const HelpTopic* helpTopic(const QString& id) {
    for (const HelpTopic& topic : helpTopics())
        if (topic.id == id) return &topic;
    return nullptr;
}

QList<HelpTopic> visibleHelpTopics(const QString& query, const QList<HelpTopic>& topics) {
    const QString q = query.trimmed();
    if (q.isEmpty()) return topics;
    QList<HelpTopic> out;
    for (const HelpTopic& topic : topics)
        if (topic.title.contains(q, Qt::CaseInsensitive) || topic.body.contains(q, Qt::CaseInsensitive))
            out.append(topic);
    return out;
}

}  // namespace ostrela
