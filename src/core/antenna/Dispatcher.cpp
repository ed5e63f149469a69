#include "core/antenna/Dispatcher.h"

#include "core/antenna/AntennaLink.h"
#include "core/base/AppError.h"
#include "core/base/Clock.h"
#include "core/db/DatabaseError.h"

#include <sqlite3.h>

#include <exception>
#include <utility>

namespace {

// Characters from..to, counted from 1 as the press message layout counts them.
QString chars(const QString& s, qsizetype from, qsizetype to)
{
    return s.mid(from - 1, to - from + 1);
}

} // namespace

Dispatcher::Dispatcher(AntennaLink& link, DispatchTarget& target, std::function<bool()> rButs,
                       std::function<bool()> sButs,
                       std::function<void(const QString& errorMessage)> showError)
    : m_link(link), m_target(target), m_rButs(std::move(rButs)), m_sButs(std::move(sButs)),
      m_showError(std::move(showError))
{
}

void Dispatcher::TimerObrTimer()
{
    // What an earlier tick held back comes first, in the order it came.
    const QList<Held> held = std::exchange(m_held, {});
    const QStringList batch = m_link.takeBatch();
    bool holding = !held.isEmpty();
    for (const Held& h : held)
        handleOrHold(h.message, h.time);
    const QDateTime now = Clock::now();
    for (const QString& s : batch) {
        if (!handleOrHold(s, now) && !holding) {
            holding = true;
            if (m_showError)
                m_showError(m_holdError);
        }
    }
    if (m_held.size() > kMaxHeld) {
        const qsizetype dropped = m_held.size() - kMaxHeld;
        m_held.remove(0, dropped);
        if (m_showError)
            m_showError(QStringLiteral("Database is busy: %1 press message(s) dropped").arg(dropped));
    }
    m_time = QDateTime();
}

bool Dispatcher::handleOrHold(const QString& s, const QDateTime& time)
{
    m_time = time;
    // One message's failure (a database error, say) must not cost the rest of the batch.
    try {
        handle(s);
    } catch (const db::DatabaseError& e) {
        if (e.code() == SQLITE_BUSY || e.code() == SQLITE_LOCKED) {
            m_held.append({s, time});
            m_holdError = e.message();
            return false;
        }
        if (m_showError)
            m_showError(e.message());
    } catch (const AppError& e) {
        if (m_showError)
            m_showError(e.message());
    } catch (const std::exception& e) {
        if (m_showError)
            m_showError(QString::fromLocal8Bit(e.what()));
    }
    return true;
}

void Dispatcher::guarded(const std::function<void()>& work)
{
    try {
        work();
    } catch (const AppError& e) {
        if (m_showError)
            m_showError(e.message());
    } catch (const std::exception& e) {
        if (m_showError)
            m_showError(QString::fromLocal8Bit(e.what()));
    }
}

QDateTime Dispatcher::pressTime() const
{
    return m_time.isValid() ? m_time : Clock::now();
}

void Dispatcher::handle(const QString& s)
{
    if (s.size() < 6)
        return;
    const QString f = s.mid(5, 1);
    // A registered place's press is a call (or its cancel) in every mode: a nurse's call must not be
    // lost because the installer is registering or looking for buttons. It goes to the journal first,
    // so that a question the mode asks cannot hold it back, and its failure does not keep the mode
    // from its own work with the press.
    if (isButs(f)) {
        route([&] { ButsProcess(s); }, [&] { ButsAdd(s); }, [&] { ButsSearch(s); });
    } else if (isKB(f)) {
        if (isKBKey(chars(s, 3, 4)))
            route([&] { KBProcess(s); }, [&] { KBAdd(s); }, [&] { KBSearch(s); });
    }
}

void Dispatcher::route(const std::function<void()>& process, const std::function<void()>& add,
                       const std::function<void()>& search)
{
    const bool adding = m_rButs();
    const bool searching = !adding && m_sButs();
    // In normal operation a locked journal holds the press back whole, to be handled again at the
    // next tick; in a mode the mode's own work goes on whatever the journal does.
    if (!adding && !searching) {
        process();
        return;
    }
    guarded(process);
    if (adding)
        add();
    else
        search();
}

bool Dispatcher::isButs(const QString& f)
{
    return f == QLatin1String("2") || f == QLatin1String("4") || f == QLatin1String("8");
}

bool Dispatcher::isKB(const QString& f)
{
    return f == QLatin1String("b") || f == QLatin1String("d");
}

bool Dispatcher::isKBKey(const QString& key)
{
    const auto isHex = [](QChar c) {
        const char16_t u = c.unicode();
        return (u >= '0' && u <= '9') || (u >= 'a' && u <= 'f') || (u >= 'A' && u <= 'F');
    };
    return key.size() == 2 && isHex(key.at(0)) && isHex(key.at(1));
}

void Dispatcher::ButsAdd(const QString& s)
{
    const QString code = chars(s, 1, 5);
    m_target.ProcessAddButs(code, code);
}

void Dispatcher::ButsSearch(const QString& s)
{
    m_target.ObrabSearch(chars(s, 1, 5));
}

void Dispatcher::ButsProcess(const QString& s)
{
    // The journal records when the press was first taken from the antennas, not when the datagram
    // arrived.
    const QDateTime t = pressTime();
    if (m_target.IsRegistredButs(chars(s, 1, 5)))
        m_target.InLogButs(t, chars(s, 1, 5), chars(s, 6, 6));
}

void Dispatcher::KBAdd(const QString& s)
{
    m_target.ProcessAddKB(chars(s, 1, 2));
}

void Dispatcher::KBSearch(const QString& s)
{
    m_target.ObrabSearch(chars(s, 1, 2));
}

void Dispatcher::KBProcess(const QString& s)
{
    // The unit is registered under its 2-character code; the journal keeps the key number too.
    const QDateTime t = pressTime();
    if (m_target.IsRegistredButs(chars(s, 1, 2)))
        m_target.InLogKB(t, chars(s, 1, 4), chars(s, 6, 6));
}
