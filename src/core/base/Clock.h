#pragma once

#include <QDateTime>
#include <QString>

#include <functional>

// The two clocks of the program. now() is the wall clock (local time, milliseconds included): what
// the journal stores and every window shows. elapsedMs() is the steady clock: it runs on at the
// same pace whatever an administrator or a time server does to the wall clock, and waiting,
// escalation and repeats are counted on it, so that a clock set back never holds an alarm up and one
// set forward never raises it early. Tests replace each one by itself: a wall clock that steps while
// time runs on evenly, or time that passes with the wall clock standing still.
namespace Clock {

QDateTime now();
void setNowOverride(std::function<QDateTime()> source); // an empty function restores the system clock

// Milliseconds on the steady clock; only differences between two readings mean anything.
qint64 elapsedMs();
void setElapsedOverride(std::function<qint64()> source); // an empty function restores the steady clock

// One moment on both clocks, read together.
struct Moment
{
    QDateTime wall;
    qint64 elapsedMs = 0;
};
Moment moment();

// Compares, at every look, how far the wall clock moved since the last look with how far time
// really went on; a difference of more than kToleranceMs is a step of the wall clock (set by hand or
// by a time server). Each step is told once, in one line; the next look measures from the new time.
class StepWatch
{
public:
    static constexpr qint64 kToleranceMs = 3000;

    // The line that tells the step since the last look, "" when there was none (and at the first look).
    QString look(const Moment& now);
    // "Системные часы переведены назад на 10 мин 0 сек (было 14:15:09, стало 14:05:09); ..."
    static QString stepText(qint64 stepMs, const QDateTime& wallNow);

private:
    bool m_looked = false;
    Moment m_last;
};

} // namespace Clock
