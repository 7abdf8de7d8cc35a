#pragma once
// Reads the sound of a media file with FFmpeg as interleaved 32-bit float PCM at a fixed rate and
// channel count, whatever the stream carries.
#include <QString>

#include <memory>

namespace ostrela {

class AudioDecoder {
public:
    AudioDecoder();
    ~AudioDecoder();
    AudioDecoder(const AudioDecoder&) = delete;
    AudioDecoder& operator=(const AudioDecoder&) = delete;

    // False (with `error` set) when the file cannot be read or has no audio stream.
    bool open(const QString& path, int sampleRate, int channels, QString* error = nullptr);
    bool isOpen() const;
    int sampleRate() const;
    int channels() const;

    // Positions so that the next sample read is the one at `seconds` (sample-exact).
    bool seek(double seconds);
    // Fills up to `frames` sample frames; returns how many were written (0 at the end).
    int read(float* out, int frames);
    // Position of the next sample to be read, in seconds.
    double position() const;

private:
    struct Impl;
    std::unique_ptr<Impl> d;
};

}  // namespace ostrela
