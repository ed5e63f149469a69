#include "board/BoardSound.h"

#include <QAudioDevice>
#include <QAudioSink>
#include <QBuffer>
#include <QMediaDevices>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

BoardSound::BoardSound(bool enabled, QObject* parent) : QObject(parent)
{
    if (!enabled)
        return;
    const QAudioDevice device = QMediaDevices::defaultAudioOutput();
    if (device.isNull())
        return;
    QAudioFormat format = device.preferredFormat();
    if (format.sampleRate() <= 0 || format.channelCount() <= 0) {
        format.setSampleRate(44100);
        format.setChannelCount(1);
    }
    format.setSampleFormat(QAudioFormat::Int16);
    if (!device.isFormatSupported(format))
        format.setSampleFormat(QAudioFormat::Float);
    if (!device.isFormatSupported(format))
        return;
    m_format = format;
    m_newCall = makeTone(format, 1);
    m_alarm = makeTone(format, 3);
    m_sink = std::make_unique<QAudioSink>(device, format);
    m_buffer = std::make_unique<QBuffer>();
    m_available = true;
}

BoardSound::~BoardSound()
{
    if (m_sink)
        m_sink->stop();
}

void BoardSound::play(Tone tone)
{
    if (!m_available)
        return;
    m_sink->stop();
    m_buffer->close();
    m_buffer->setData(tone == Tone::Alarm ? m_alarm : m_newCall);
    m_buffer->open(QIODevice::ReadOnly);
    m_sink->start(m_buffer.get());
}

QByteArray BoardSound::makeTone(const QAudioFormat& format, int beeps)
{
    const int rate = format.sampleRate();
    const int channels = format.channelCount();
    const bool isFloat = format.sampleFormat() == QAudioFormat::Float;
    if (rate <= 0 || channels <= 0 || beeps <= 0 ||
        (!isFloat && format.sampleFormat() != QAudioFormat::Int16))
        return QByteArray();

    const int beepFrames = rate * 180 / 1000;
    const int gapFrames = rate * 120 / 1000;
    const int rampFrames = std::max(1, rate * 10 / 1000);
    const int frames = beeps * (beepFrames + gapFrames);
    const int bytesPerSample = isFloat ? 4 : 2;
    QByteArray pcm(qsizetype(frames) * channels * bytesPerSample, '\0');
    char* out = pcm.data();
    for (int frame = 0; frame < frames; ++frame) {
        const int inBeep = frame % (beepFrames + gapFrames);
        double value = 0.0;
        if (inBeep < beepFrames) {
            const double ramp =
                std::min({1.0, double(inBeep) / rampFrames, double(beepFrames - inBeep) / rampFrames});
            value = 0.5 * ramp * std::sin(2.0 * std::numbers::pi * 880.0 * frame / rate);
        }
        for (int c = 0; c < channels; ++c) {
            if (isFloat) {
                const float sample = static_cast<float>(value);
                std::memcpy(out, &sample, 4);
            } else {
                const qint16 sample = static_cast<qint16>(std::lround(value * 32767.0));
                std::memcpy(out, &sample, 2);
            }
            out += bytesPerSample;
        }
    }
    return pcm;
}
