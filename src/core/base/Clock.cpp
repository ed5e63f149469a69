#include "core/base/Clock.h"

#include <chrono>
#include <utility>

namespace {
std::function<QDateTime()>& overrideSource()
{
    static std::function<QDateTime()> source;
    return source;
}

std::function<qint64()>& elapsedSource()
{
    static std::function<qint64()> source;
    return source;
}

QString duration(qint64 ms)
{
    const qint64 seconds = ms / 1000;
    if (seconds < 60)
        return QStringLiteral("%1 сек").arg(seconds);
    return QStringLiteral("%1 мин %2 сек").arg(seconds / 60).arg(seconds % 60);
}
} // namespace

namespace Clock {

QDateTime now()
{
    const auto& source = overrideSource();
    return source ? source() : QDateTime::currentDateTime();
}

void setNowOverride(std::function<QDateTime()> source)
{
    overrideSource() = std::move(source);
}

qint64 elapsedMs()
{
    const auto& source = elapsedSource();
    if (source)
        return source();
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void setElapsedOverride(std::function<qint64()> source)
{
    elapsedSource() = std::move(source);
}

Moment moment()
{
    return {now(), elapsedMs()};
}

QString StepWatch::look(const Moment& now)
{
    const bool looked = std::exchange(m_looked, true);
    const Moment last = std::exchange(m_last, now);
    if (!looked || !last.wall.isValid() || !now.wall.isValid())
        return {};
    const qint64 stepMs = last.wall.msecsTo(now.wall) - (now.elapsedMs - last.elapsedMs);
    if (stepMs >= -kToleranceMs && stepMs <= kToleranceMs)
        return {};
    return stepText(stepMs, now.wall);
}

QString StepWatch::stepText(qint64 stepMs, const QDateTime& wallNow)
{
    const QString format = QStringLiteral("HH:mm:ss");
    const QDateTime before = wallNow.addMSecs(-stepMs);
    return QStringLiteral("Системные часы переведены %1 на %2 (было %3, стало %4); ожидание вызовов, "
                          "тревоги и повторы отсчитываются без учёта перевода")
        .arg(stepMs < 0 ? QStringLiteral("назад") : QStringLiteral("вперёд"), duration(qAbs(stepMs)),
             before.toString(format), wallNow.toString(format));
}

} // namespace Clock
