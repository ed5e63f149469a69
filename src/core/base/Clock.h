#pragma once

#include <QDateTime>

#include <functional>

// The one source of "now" (local time, milliseconds included). Tests replace it with a fixed or
// stepping clock; production reads the system clock.
namespace Clock {

QDateTime now();
void setNowOverride(std::function<QDateTime()> source); // an empty function restores the system clock

} // namespace Clock
