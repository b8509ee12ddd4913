// TMelodyPlayer plays a melody of the message view as a synthesised tone through the desktop's
// audio output (Qt Multimedia). The tone is made here from the note table: one square-ish wave per
// note with a short fade at both ends, so notes neither click nor run into each other. Without an
// audio device nothing is played and the caller is told so.
#pragma once

#include "xsms/melody.h"

#include <QByteArray>
#include <QObject>

#include <memory>

class QAudioSink;
class QBuffer;

namespace kestrel {

constexpr int kMelodySampleRate = 22050;

// 16-bit signed mono PCM at kMelodySampleRate, at most kMaxMelodyMs long.
QByteArray SynthesizeMelody(const TMelody &melody);

class TMelodyPlayer : public QObject {
    Q_OBJECT
public:
    explicit TMelodyPlayer(QObject *parent = nullptr);
    ~TMelodyPlayer() override;

    // Whether the desktop has an audio output to play on.
    static bool AudioAvailable();
    // Starts playing (stopping what plays); false with the reason in Error() when it cannot.
    bool Play(const TMelody &melody);
    void Stop();
    bool Playing() const;
    const QString &Error() const { return m_error; }

signals:
    void Finished();

private:
    std::unique_ptr<QAudioSink> m_sink;
    std::unique_ptr<QBuffer> m_buffer;
    QByteArray m_pcm;
    QString m_error;
};

} // namespace kestrel
