#pragma once
// The sound of the video being played out. The real output plays through the desktop's default
// audio device with Qt Multimedia; without a device (or a file without sound) it stays silent.
#include <QString>

#include <memory>

namespace ostrela {

class AudioOutput {
public:
    virtual ~AudioOutput() = default;
    // Prepares the file's sound; false when there is nothing to play (no device, no sound).
    virtual bool open(const QString& path) = 0;
    // Plays from `seconds` of the file (restarting there if already playing).
    virtual void play(double seconds) = 0;
    virtual void pause() = 0;
    // Linear gain, 0 to 1.
    virtual void setVolume(double volume) = 0;
    virtual void close() = 0;
};

// The desktop's default audio output.
std::unique_ptr<AudioOutput> makeSystemAudioOutput();

}  // namespace ostrela
