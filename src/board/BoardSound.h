#pragma once

#include <QAudioFormat>
#include <QByteArray>
#include <QObject>

#include <memory>

class QAudioSink;
class QBuffer;

// The board's audible cues: one short tone for a new call, three for a call that turns to alarm.
// The tones are made in code, in the format the sound device prefers, and played through Qt
// Multimedia's audio output. A machine without a sound device (or a board with the sound switched
// off) stays silent: play() then does nothing and reports nothing.
class BoardSound : public QObject
{
    Q_OBJECT
public:
    enum class Tone { NewCall, Alarm };

    explicit BoardSound(bool enabled, QObject* parent = nullptr);
    ~BoardSound() override;

    // False when there is nothing to play on: sound switched off, or no output device.
    bool isAvailable() const { return m_available; }
    // Starts the tone and returns at once; a tone still playing is cut short.
    void play(Tone tone);

    // Signed 16-bit or 32-bit float samples, interleaved over the format's channels: beeps of
    // 880 Hz, each 180 ms long with 120 ms of silence after it, with short ramps against clicks.
    static QByteArray makeTone(const QAudioFormat& format, int beeps);

private:
    bool m_available = false;
    QAudioFormat m_format;
    std::unique_ptr<QAudioSink> m_sink;
    std::unique_ptr<QBuffer> m_buffer;
    QByteArray m_newCall;
    QByteArray m_alarm;
};
