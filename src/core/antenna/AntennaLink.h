#pragma once

#include <QByteArray>
#include <QMutex>
#include <QSet>
#include <QString>
#include <QStringList>

#include <atomic>

// What the antennas tell the server, sorted into the shared lists. The antenna listener thread
// calls IdUDPServerAntUDPRead for every datagram; the user-interface thread takes the queued
// press messages (dispatcher) and the identities heard (status bar), and reads and resets
// btn_add (button-adding window).
//
// SAsign, SAant and SAant_ are guarded by one lock, the antenna-list lock. It is held only for a
// check-and-append or a move of a list, never around anything slow, and no other lock is taken
// while it is held.
class AntennaLink
{
public:
    // Bounds that keep a hostile flood of distinct datagrams (up to 64 KB each) from exhausting
    // memory. A real ward sends a few dozen texts of a few dozen characters per second, far below
    // them; a datagram that would go beyond a bound is dropped.
    static constexpr qsizetype kMaxQueued = 10000;                // press messages between two ticks
    static constexpr qsizetype kMaxQueuedChars = 2 * 1024 * 1024; // of the long texts below
    // A press message is a few characters. Only texts longer than this count against the size bound,
    // so a flood of large junk datagrams cannot crowd a real press out of the queue.
    static constexpr qsizetype kLongText = 64;
    static constexpr qsizetype kMaxSignOns = 1000; // identities per status period
    static constexpr qsizetype kMaxSignOnChars = 256 * 1024;

    // Listener thread: one received datagram. A sign-on ("###" and the identity) is added to
    // SAsign; a 4-character "@" reply sets btn_add ("@SUC" 1, "@ERR" 2, others ignored);
    // anything else is queued in SAant unless SAant or SAant_ already holds it, letter case aside.
    void IdUDPServerAntUDPRead(const QByteArray& data);

    // Dispatcher tick: the queued messages in arrival order. They also become SAant_, the previous
    // batch that suppresses repeats, and the queue is left empty.
    QStringList takeBatch();

    // Status update: the identities heard since the last call; SAsign is left empty.
    QStringList takeSignOns();

    // Copies, for the status bar and the tests.
    QStringList SAsign() const;
    QStringList SAant() const;
    QStringList SAant_() const;

    // The antennas' answer to the last add command: 0 none yet, 1 success, 2 error. Stored by the
    // listener thread while the adding window polls it on the user-interface thread.
    std::atomic<qint16> btn_add{0};

private:
    mutable QMutex m_lock;
    QStringList m_SAsign;
    QStringList m_SAant;
    QStringList m_SAant_;
    // Case-folded copies of the three lists, so that the "already holds" test costs one lookup
    // instead of a scan, whatever the listener is flooded with.
    QSet<QString> m_SAsignFolded;
    QSet<QString> m_SAantFolded;
    QSet<QString> m_SAant_Folded;
    qsizetype m_SAsignChars = 0;
    qsizetype m_SAantChars = 0;
};
