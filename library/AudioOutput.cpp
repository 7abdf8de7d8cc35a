#include "library/AudioOutput.h"

#include "library/AudioDecoder.h"

#include <QAudioDevice>
#include <QAudioFormat>
#include <QAudioSink>
#include <QIODevice>
#include <QMediaDevices>

#include <algorithm>
#include <cmath>
#include <mutex>
#include <vector>

namespace ostrela {
namespace {

// Pull-mode source for the sink: decodes on demand, so nothing runs ahead of what is heard.
class PcmSource : public QIODevice {
public:
    PcmSource(AudioDecoder& decoder, QAudioFormat::SampleFormat format) : decoder_(decoder), format_(format) {}

    void restartAt(double seconds) {
        std::lock_guard lock(mutex_);
        decoder_.seek(seconds);
        ended_ = false;
    }

    bool isSequential() const override { return true; }
    qint64 bytesAvailable() const override { return ended_ ? 0 : (1 << 16) + QIODevice::bytesAvailable(); }

protected:
    qint64 readData(char* data, qint64 maxSize) override {
        std::lock_guard lock(mutex_);
        const int channels = decoder_.channels();
        const int bytesPerSample = format_ == QAudioFormat::Float ? 4 : 2;
        const int frames = int(maxSize / (channels * bytesPerSample));
        if (frames <= 0 || ended_) return 0;
        scratch_.resize(size_t(frames) * size_t(channels));
        const int got = decoder_.read(scratch_.data(), frames);
        if (got == 0) {
            ended_ = true;
            return 0;
        }
        const size_t samples = size_t(got) * size_t(channels);
        if (format_ == QAudioFormat::Float) {
            std::copy_n(scratch_.data(), samples, reinterpret_cast<float*>(data));
        } else {
            auto* out = reinterpret_cast<int16_t*>(data);
            for (size_t i = 0; i < samples; ++i)
                out[i] = int16_t(std::lround(std::clamp(scratch_[i], -1.0f, 1.0f) * 32767.0f));
        }
        return qint64(samples) * bytesPerSample;
    }
    qint64 writeData(const char*, qint64) override { return -1; }

private:
    AudioDecoder& decoder_;
    QAudioFormat::SampleFormat format_;
    std::mutex mutex_;
    std::vector<float> scratch_;
    bool ended_ = false;
};

class SystemAudioOutput : public AudioOutput {
public:
    ~SystemAudioOutput() override { close(); }

    bool open(const QString& path) override {
        close();
        const QAudioDevice device = QMediaDevices::defaultAudioOutput();
        if (device.isNull()) return false;
        QAudioFormat format = device.preferredFormat();
        format.setChannelCount(std::clamp(format.channelCount(), 1, 2));
        if (format.sampleRate() <= 0) format.setSampleRate(48000);
        format.setSampleFormat(QAudioFormat::Float);
        if (!device.isFormatSupported(format)) format.setSampleFormat(QAudioFormat::Int16);
        if (!device.isFormatSupported(format)) return false;
        if (!decoder_.open(path, format.sampleRate(), format.channelCount())) return false;
        source_ = std::make_unique<PcmSource>(decoder_, format.sampleFormat());
        source_->open(QIODevice::ReadOnly);
        sink_ = std::make_unique<QAudioSink>(device, format);
        sink_->setVolume(volume_);
        return true;
    }

    void play(double seconds) override {
        if (!sink_) return;
        sink_->stop();
        source_->restartAt(seconds);
        sink_->start(source_.get());
    }

    void pause() override {
        if (sink_) sink_->stop();
    }

    void setVolume(double volume) override {
        volume_ = std::clamp(volume, 0.0, 1.0);
        if (sink_) sink_->setVolume(volume_);
    }

    void close() override {
        if (sink_) sink_->stop();
        sink_.reset();
        source_.reset();
    }

private:
    AudioDecoder decoder_;
    std::unique_ptr<PcmSource> source_;
    std::unique_ptr<QAudioSink> sink_;
    double volume_ = 1.0;
};

}  // namespace

std::unique_ptr<AudioOutput> makeSystemAudioOutput() { return std::make_unique<SystemAudioOutput>(); }

}  // namespace ostrela
