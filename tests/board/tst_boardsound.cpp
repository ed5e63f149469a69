// The cues: tones made for whatever format the device prefers, and a machine without a sound
// device (as under the test runner) staying silent without an error.

#include "board/BoardSound.h"

#include <QAudioDevice>
#include <QMediaDevices>
#include <QtTest>

#include <cstring>

namespace {

QAudioFormat format(int rate, int channels, QAudioFormat::SampleFormat sampleFormat)
{
    QAudioFormat f;
    f.setSampleRate(rate);
    f.setChannelCount(channels);
    f.setSampleFormat(sampleFormat);
    return f;
}

double peak(const QByteArray& pcm, const QAudioFormat& f)
{
    double top = 0;
    const int bytes = f.bytesPerSample();
    for (qsizetype i = 0; i + bytes <= pcm.size(); i += bytes) {
        double v = 0;
        if (f.sampleFormat() == QAudioFormat::Float) {
            float s;
            std::memcpy(&s, pcm.constData() + i, 4);
            v = s;
        } else {
            qint16 s;
            std::memcpy(&s, pcm.constData() + i, 2);
            v = s / 32767.0;
        }
        top = std::max(top, std::abs(v));
    }
    return top;
}

} // namespace

class TestBoardSound : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void tones_data();
    void tones();
    void silentWithoutDeviceOrWhenOff();
};

void TestBoardSound::tones_data()
{
    QTest::addColumn<QAudioFormat>("f");
    QTest::addColumn<int>("beeps");
    QTest::addColumn<int>("bytes");

    // 300 ms per beep: 180 ms of tone and 120 ms of silence.
    QTest::newRow("16-bit mono") << format(8000, 1, QAudioFormat::Int16) << 1 << 2400 * 2;
    QTest::newRow("float stereo, alarm") << format(48000, 2, QAudioFormat::Float) << 3 << 3 * 14400 * 2 * 4;
    QTest::newRow("unsupported sample format") << format(8000, 1, QAudioFormat::UInt8) << 1 << 0;
    QTest::newRow("no rate") << format(0, 1, QAudioFormat::Int16) << 1 << 0;
}

void TestBoardSound::tones()
{
    QFETCH(QAudioFormat, f);
    QFETCH(int, beeps);
    QFETCH(int, bytes);
    const QByteArray pcm = BoardSound::makeTone(f, beeps);
    QCOMPARE(pcm.size(), bytes);
    if (bytes == 0)
        return;
    const double top = peak(pcm, f);
    QVERIFY2(top > 0.4 && top <= 0.5001, qPrintable(QString::number(top))); // audible, never clipped
    // Each beep ends in silence, so beeps are heard apart.
    const qsizetype frame = f.bytesPerFrame();
    QCOMPARE(peak(pcm.right(frame * f.sampleRate() / 10), f), 0.0);
}

void TestBoardSound::silentWithoutDeviceOrWhenOff()
{
    BoardSound off(false);
    QVERIFY(!off.isAvailable());
    off.play(BoardSound::Tone::NewCall);

    // Switched on, it plays exactly when the machine has an output device: every device takes 16-bit
    // or float samples. Playing, and a second tone cutting the first short, never fails.
    const bool device = !QMediaDevices::defaultAudioOutput().isNull();
    BoardSound on(true);
    QCOMPARE(on.isAvailable(), device);
    on.play(BoardSound::Tone::NewCall);
    on.play(BoardSound::Tone::Alarm);
    on.play(BoardSound::Tone::NewCall);
    qInfo() << "sound device available:" << on.isAvailable();
}

QTEST_MAIN(TestBoardSound)
#include "tst_boardsound.moc"
