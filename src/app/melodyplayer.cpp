#include "app/melodyplayer.h"

#include "xsms/ringtone.h"

#include <QAudioDevice>
#include <QAudioFormat>
#include <QAudioSink>
#include <QBuffer>
#include <QMediaDevices>

#include <algorithm>
#include <cmath>

namespace kestrel {

QByteArray SynthesizeMelody(const TMelody &melody)
{
    constexpr qint64 kMaxSamples = static_cast<qint64>(kMelodySampleRate) * kMaxMelodyMs / 1000;
    constexpr int kFadeSamples = kMelodySampleRate / 200; // 5 ms
    QByteArray pcm;
    qint64 total = 0;
    for (const TMelodyRow &row : melody.Rows)
        total += static_cast<qint64>(NoteDurationMs(row)) * kMelodySampleRate / 1000;
    pcm.reserve(static_cast<qsizetype>(std::min(total, kMaxSamples) * 2));
    qint64 written = 0;
    for (const TMelodyRow &row : melody.Rows) {
        if (written >= kMaxSamples)
            break;
        const qint64 samples = std::min<qint64>(
            static_cast<qint64>(NoteDurationMs(row)) * kMelodySampleRate / 1000, kMaxSamples - written);
        // Natural notes sound for 90 % of their time, staccato for half, continuous ones fully.
        const double sounding = row.Style == 2 ? 0.5 : row.Style == 1 ? 1.0 : 0.9;
        const qint64 on = static_cast<qint64>(static_cast<double>(samples) * sounding);
        const double frequency = NoteFrequency(row.Scale, row.Note);
        const double amplitude = 9000.0 * std::clamp(row.Volume, 0, 15) / 15.0;
        for (qint64 i = 0; i < samples; ++i) {
            double v = 0;
            if (frequency > 0 && i < on) {
                const double phase =
                    std::sin(2 * M_PI * frequency * static_cast<double>(i) / kMelodySampleRate);
                // A sine with its third harmonic: the plain buzz of a handset's tone generator.
                v = amplitude * (0.8 * phase + 0.2 * std::sin(6 * M_PI * frequency * static_cast<double>(i) /
                                                              kMelodySampleRate));
                const qint64 edge = std::min(i, on - 1 - i);
                if (edge < kFadeSamples)
                    v *= static_cast<double>(edge) / kFadeSamples;
            }
            const auto s = static_cast<int16_t>(std::lround(v));
            pcm.append(static_cast<char>(s & 0xFF));
            pcm.append(static_cast<char>((s >> 8) & 0xFF));
        }
        written += samples;
    }
    return pcm;
}

TMelodyPlayer::TMelodyPlayer(QObject *parent) : QObject(parent) {}

TMelodyPlayer::~TMelodyPlayer()
{
    Stop();
}

bool TMelodyPlayer::AudioAvailable()
{
    return !QMediaDevices::defaultAudioOutput().isNull();
}

bool TMelodyPlayer::Play(const TMelody &melody)
{
    Stop();
    m_error.clear();
    const QAudioDevice device = QMediaDevices::defaultAudioOutput();
    if (device.isNull()) {
        m_error = "No audio device";
        return false;
    }
    QAudioFormat format;
    format.setSampleRate(kMelodySampleRate);
    format.setChannelCount(1);
    format.setSampleFormat(QAudioFormat::Int16);
    if (!device.isFormatSupported(format)) {
        m_error = "The audio device cannot play the tone";
        return false;
    }
    m_pcm = SynthesizeMelody(melody);
    if (m_pcm.isEmpty()) {
        m_error = "The melody has no notes";
        return false;
    }
    m_buffer = std::make_unique<QBuffer>(&m_pcm);
    m_buffer->open(QIODevice::ReadOnly);
    m_sink = std::make_unique<QAudioSink>(device, format);
    connect(m_sink.get(), &QAudioSink::stateChanged, this, [this](QAudio::State state) {
        if (state == QAudio::IdleState ||
            (state == QAudio::StoppedState && m_sink && m_sink->error() != QAudio::NoError)) {
            // Finished, or the device went away: free the device for others.
            QMetaObject::invokeMethod(
                this, [this] { Stop(); }, Qt::QueuedConnection);
        }
    });
    m_sink->start(m_buffer.get());
    if (m_sink->error() != QAudio::NoError) {
        m_error = "The audio device cannot be opened";
        m_sink.reset();
        m_buffer.reset();
        return false;
    }
    return true;
}

void TMelodyPlayer::Stop()
{
    if (!m_sink)
        return;
    auto sink = std::move(m_sink);
    sink->disconnect(this);
    sink->stop();
    sink.reset();
    m_buffer.reset();
    m_pcm.clear();
    emit Finished();
}

bool TMelodyPlayer::Playing() const
{
    return m_sink != nullptr;
}

} // namespace kestrel
