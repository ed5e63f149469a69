#pragma once

#include <QDateTime>
#include <QList>
#include <QString>

#include <functional>

class AntennaLink;

// The receivers of the handed-over presses: the button-adding window (adding mode), the search of
// the places window (search mode) and the journal writer (normal operation).
class DispatchTarget
{
public:
    virtual ~DispatchTarget() = default;

    virtual void ProcessAddButs(const QString& abcde, const QString& btnclr) = 0;
    virtual void ProcessAddKB(const QString& ab) = 0;
    virtual void ObrabSearch(const QString& abcde) = 0;
    virtual bool IsRegistredButs(const QString& abcde) = 0;
    virtual void InLogButs(const QDateTime& time_, const QString& abcde_, const QString& f_) = 0;
    virtual void InLogKB(const QDateTime& time_, const QString& abcd_, const QString& f_) = 0;
};

// Every 300 ms on the user-interface thread: takes the queued press messages and hands each one,
// cut to what the receiver needs, to the journal writer when its code is registered, and then to
// the receiver of the current mode, if one is on. Adding mode wins over search mode.
//
// A press message: characters 1 to 5 the button code (a KB unit: 1 to 2 the unit code, 3 to 4 the
// key number), character 6 the function. Place buttons: "8" call, "4" second kind of entry,
// "2" cancel. KB units: "b" call from a key, "d" cancel. Letter case counts.
class Dispatcher
{
public:
    // rButs and sButs tell the current modes (adding, search); they are asked at every message.
    // showError shows an error that ended the handling of one message.
    Dispatcher(AntennaLink& link, DispatchTarget& target, std::function<bool()> rButs,
               std::function<bool()> sButs, std::function<void(const QString& errorMessage)> showError);

    // One tick. Receivers may open modal boxes that run the event loop, so a tick can start
    // while another is still handling its batch; each works on a batch of its own. A message that
    // another program's lock on the database keeps from being handled (the places cannot be read
    // yet, at a start under a lock) is held, with the moment it was first taken, and handled first
    // at the next tick; the error is shown once, when the holding starts.
    void TimerObrTimer();
    // Messages held for the next tick.
    int heldCount() const { return static_cast<int>(m_held.size()); }
    // More than a ward sends in hours; beyond it the oldest held message is dropped and reported.
    static constexpr int kMaxHeld = 100000;

    static bool isButs(const QString& f);
    static bool isKB(const QString& f);
    // A KB key number: exactly two hexadecimal digits, either letter case. A KB press with any
    // other key is ignored whatever the mode: the key goes into the journal and, as part of the
    // code, into the notice, whose fields a ";" would shift.
    static bool isKBKey(const QString& key);

    void ButsAdd(const QString& s);
    void ButsSearch(const QString& s);
    void ButsProcess(const QString& s);
    void KBAdd(const QString& s);
    void KBSearch(const QString& s);
    void KBProcess(const QString& s);

private:
    struct Held
    {
        QString message;
        QDateTime time;
    };
    void handle(const QString& s);
    // Runs one piece of work; an error it raises is shown and ends only that piece.
    void guarded(const std::function<void()>& work);
    // One press of a registered place: processed as a call or cancel, then, in adding or search
    // mode, handed to that mode as well.
    void route(const std::function<void()>& process, const std::function<void()>& add,
               const std::function<void()>& search);
    // Handles one message taken at `time`; false when a lock held it back.
    bool handleOrHold(const QString& s, const QDateTime& time);
    QDateTime pressTime() const;

    AntennaLink& m_link;
    DispatchTarget& m_target;
    std::function<bool()> m_rButs;
    std::function<bool()> m_sButs;
    std::function<void(const QString&)> m_showError;
    QList<Held> m_held;
    QDateTime m_time; // the moment the message being handled was first taken
    QString m_holdError;
};
