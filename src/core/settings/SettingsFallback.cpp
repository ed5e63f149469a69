#include "core/settings/SettingsFallback.h"

#include <QFileInfo>
#include <QSet>

#include <cstdio>
#include <mutex>
#include <utility>

namespace {

// Longer values are shown by their beginning: the line must stay readable.
constexpr qsizetype kShownValueLength = 80;

struct Told
{
    std::mutex mutex;
    QSet<QString> seen; // file and line of every fallback told
    QStringList untaken;
    std::function<void(const QString&)> sink;
};

Told& told()
{
    static Told t;
    return t;
}

QString shownValue(const QString& value)
{
    QString shown = value.size() > kShownValueLength ? value.first(kShownValueLength) + u'…' : value;
    // A control character would break the line or the terminal it is read on.
    for (QChar& c : shown) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            c = u'?';
    }
    QString text = u'"' + shown + u'"';
    if (value.size() > kShownValueLength)
        text += QStringLiteral(" (%1 characters)").arg(value.size());
    return text;
}

} // namespace

QString SettingsFallback::line() const
{
    return QStringLiteral("%1 [%2] %3=%4 %5; %6")
        .arg(QFileInfo(file).fileName(), section, key, shownValue(value), problem, used);
}

namespace SettingsFallbacks {

void report(const SettingsFallback& fallback)
{
    reportLine(fallback.file, fallback.line());
}

void reportLine(const QString& file, const QString& line)
{
    std::function<void(const QString&)> sink;
    {
        Told& t = told();
        const std::lock_guard lock(t.mutex);
        const QString key = file + u'\n' + line;
        if (t.seen.contains(key))
            return;
        t.seen.insert(key);
        t.untaken << line;
        sink = t.sink;
    }
    if (sink) {
        sink(line);
        return;
    }
    std::fprintf(stderr, "%s\n", line.toLocal8Bit().constData());
    std::fflush(stderr);
}

QStringList take()
{
    Told& t = told();
    const std::lock_guard lock(t.mutex);
    return std::exchange(t.untaken, {});
}

void setSink(std::function<void(const QString& line)> sink)
{
    Told& t = told();
    const std::lock_guard lock(t.mutex);
    t.sink = std::move(sink);
}

void forget()
{
    Told& t = told();
    const std::lock_guard lock(t.mutex);
    t.seen.clear();
    t.untaken.clear();
}

} // namespace SettingsFallbacks
