#include "core/base/Clock.h"

namespace {
std::function<QDateTime()>& overrideSource()
{
    static std::function<QDateTime()> source;
    return source;
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

} // namespace Clock
