#pragma once

#include "core/alerts/AlertMessage.h"
#include "core/base/DurableFile.h"

#include <QByteArray>
#include <QMap>
#include <QString>

#include <deque>
#include <functional>

// The messages for the alert manager that wait for their acknowledgement, and the alerts it has been
// told of that have not ended, in an append-only log beside the database (the project's durable log:
// one record a line with its checksum, torn and damaged lines skipped and kept aside). A message
// counts as accepted once its record is appended: a killed server sends it after its restart.
//
// Records (payloads):
//   "M <n> <message>"  a message, its control id n, the HL7 text as sent (segments end in CR)
//   "D <n>"            message n is done with (acknowledged, or rejected by the alert manager)
//   "L <json>"         an alert that was started (AlertSubject::toRecord())
//   "E <key>"          that alert has ended
// The header line "HALVANE-ALERTS 1 next=<n>" carries the next control id when the file is written
// anew. Control ids grow by one and never repeat, also after compaction; a new outbox starts them at
// the present time in microseconds, so that one deleted by hand does not give old ids again.
//
// Lives on one thread (the engine's); nothing here waits for the network.
class AlertOutbox
{
public:
    struct Message
    {
        qint64 id = 0;
        QString controlId;
        QByteArray bytes;
    };

    explicit AlertOutbox(QString path);

    // orv_med.db -> orv_med.db.alerts-outbox
    static QString pathBesideDatabase(const QString& databasePath);

    // Reads what an earlier run left and writes the file anew with only what still counts. False (with
    // errorString()) when the file cannot be read or written: the outbox then keeps everything in
    // memory only, and a file that is not an outbox is left alone.
    bool open();

    // Gives the message the next control id, builds it and stores it. The message is queued even when
    // the file cannot take it (errorString() says so).
    QString append(const std::function<QByteArray(const QString& controlId)>& build);
    // The oldest message not done with, or null.
    const Message* head() const { return m_pending.empty() ? nullptr : &m_pending.front(); }
    // The head is done with. A control id that is not the head's is ignored.
    void done(const QString& controlId);
    qsizetype pendingCount() const { return qsizetype(m_pending.size()); }

    // The alerts started and not ended, by key.
    const QMap<QString, AlertSubject>& live() const { return m_live; }
    void started(const AlertSubject& subject);
    void ended(const QString& key);

    // Flushes the records appended so far to the disk: before a message leaves, so that an id the
    // alert manager has seen is never given again after a power loss.
    bool sync();
    // Writes the file anew when it has grown to several times what still counts.
    void compactIfWorthIt();

    qint64 nextId() const { return m_nextId; }
    qint64 damagedRecords() const { return m_damaged; }
    QString errorString() const { return m_error; }
    const QString& path() const { return m_path; }

private:
    QByteArray header() const;
    void write(const QByteArray& payload);
    bool compact();

    QString m_path;
    Durable::AppendLog m_log;
    bool m_memoryOnly = false;
    std::deque<Message> m_pending;
    QMap<QString, AlertSubject> m_live;
    qint64 m_nextId = 1;
    qint64 m_damaged = 0;
    qint64 m_fileBytes = 0; // records written since the file was last written anew
    qint64 m_liveBytes = 0; // of those, the ones that still count
    QString m_error;
};
