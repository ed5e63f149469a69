// The journal writer while the database file cannot take events: a lock held by another program,
// a failing file, a crash with events waiting.

#include "../db/DbTestSupport.h"

#include "core/base/DurableFile.h"
#include "core/db/Database.h"
#include "core/db/Schema.h"
#include "core/journal/JournalWriter.h"
#include "core/journal/PlaceCopy.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sqlite3.h>

#include <memory>
#include <optional>

namespace {

QDateTime at(int h, int mi, int s, int ms = 0)
{
    return QDateTime(QDate(2017, 12, 3), QTime(h, mi, s, ms));
}

// An SQL function that fails as a full disk does, for a trigger to call.
void failAsFullDisk(sqlite3_context* context, int, sqlite3_value**)
{
    sqlite3_result_error_code(context, SQLITE_FULL);
}

// The warnings the writer leaves on standard error.
QStringList warnings;
void keepWarning(QtMsgType type, const QMessageLogContext&, const QString& text)
{
    if (type == QtWarningMsg)
        warnings << text;
}

// The spool cannot be appended to, as on a full disk, while it lives.
struct SpoolFull
{
    SpoolFull()
    {
        Durable::setFailureSeam([](Durable::Step step, const QString& path) {
            return step == Durable::Step::Append && path.endsWith(QStringLiteral(".spool"));
        });
    }
    ~SpoolFull() { Durable::setFailureSeam({}); }
};

} // namespace

class TestJournalOutage : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void lockHeldPastTheBusyTimeoutLosesNothing();
    void crashWithEventsQueuedLosesNothing();
    void spoolAlreadyCommittedIsNotWrittenTwice();
    void failedBatchRollsBackWhole();
    void outageNamesItsCause_data();
    void outageNamesItsCause();
    void placesChangedByAnyoneAreSeen();
    void journaledOnlyOnceWritten();
    void journaledEventsTakenUpFromTheSpool();
    void burstWhileThePlacesCannotBeReadWaitsOnce();
    void removedCallsAreNeverPairedWithACancel();
    void eventsHeldInMemoryGoIntoTheSpoolFirst();
    void damagedSpoolReplaysEveryReadableLine();
    void unsavedEventsAreCounted();
    void startUnderALockTakesThePlacesFromTheirCopy_data();
    void startUnderALockTakesThePlacesFromTheirCopy();
    void damagedOrMissingCopyKeepsPressesAsTheyCame_data();
    void damagedOrMissingCopyKeepsPressesAsTheyCame();

private:
    void newWriter();
    // One dispatcher tick: the presses, then the write. Returns how long the write took.
    qint64 tick(const std::function<void()>& presses = {});
    QStringList journal();
    // A press as the dispatcher hands it over: the journal is asked only for a registered code (a
    // KB unit's by its two characters).
    void press(const QDateTime& time, const QString& message);

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_path;
    std::unique_ptr<db::Database> m_db;
    std::unique_ptr<JournalWriter> m_writer;
    QStringList m_notices;
    QStringList m_outages;
    QStringList m_statuses;
    QStringList m_errors;
    QList<JournaledEvent> m_journaled;
};

void TestJournalOutage::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_path = m_dir->filePath(QStringLiteral("orv_med.db"));
    m_db = db::Database::openDatabase(m_path);
    m_db->executeStatement(QStringLiteral("PRAGMA synchronous = OFF"));
    // The program's own wait for other programs' locks, far longer than a tick may take.
    m_db->setBusyTimeout(5000);
    db::runSchema(*m_db);
    m_notices.clear();
    m_outages.clear();
    m_statuses.clear();
    m_errors.clear();
    m_journaled.clear();
    newWriter();
}

void TestJournalOutage::cleanup()
{
    m_writer.reset();
    m_db.reset();
    m_dir.reset();
}

void TestJournalOutage::newWriter()
{
    m_writer.reset();
    m_writer = std::make_unique<JournalWriter>(
        *m_db,
        [this](const QString& code, const QString& f, const QString& staff, const QString& place) {
            m_notices << QStringLiteral("%1|%2|%3|%4").arg(code, f, staff, place);
        },
        [] {});
    m_writer->setReporters({[this](const QString& m) { m_outages << m; },
                            [this](const QString& s) { m_statuses << s; },
                            [this](const QString& m) { m_errors << m; }});
    m_writer->setJournaled([this](const JournaledEvent& e) {
        // The journal already holds what the hook is told of.
        if (e.cancel) {
            for (const ClosedEntry& c : e.closed)
                QCOMPARE(dbtest::rowsOf(
                             *m_db, QStringLiteral("SELECT count(*) FROM logs WHERE id=? AND timestr<>''"),
                             {c.id}),
                         QStringList{QStringLiteral("1")});
        } else {
            QCOMPARE(dbtest::rowsOf(*m_db, QStringLiteral("SELECT abcde FROM logs WHERE id=?"), {e.id}),
                     QStringList{e.code});
        }
        m_journaled << e;
    });
}

qint64 TestJournalOutage::tick(const std::function<void()>& presses)
{
    if (presses)
        presses();
    QElapsedTimer timer;
    timer.start();
    m_writer->flushQueue();
    return timer.elapsed();
}

void TestJournalOutage::press(const QDateTime& time, const QString& message)
{
    const QString f = message.mid(5, 1);
    const bool unit = f == QLatin1String("b") || f == QLatin1String("d");
    if (!m_writer->IsRegistredButs(message.left(unit ? 2 : 5)))
        return;
    if (unit)
        m_writer->InLogKB(time, message.left(4), f);
    else
        m_writer->InLogButs(time, message.left(5), f);
}

QStringList TestJournalOutage::journal()
{
    return dbtest::rowsOf(*m_db, QStringLiteral("SELECT timest, timestr, abcde, f, reactiontime FROM logs "
                                                "ORDER BY id"));
}

void TestJournalOutage::lockHeldPastTheBusyTimeoutLosesNothing()
{
    dbtest::PlainConnection other(m_path);
    QCOMPARE(other.exec("BEGIN EXCLUSIVE"), SQLITE_OK);

    const QString place = QStringLiteral("Тестова Анна|Койка № 1");
    // Three ticks during the lock: two calls, then the cancel. Each notice goes out in its tick,
    // and no tick waits anywhere near the connection's own 5 s.
    const qint64 first = tick([this] { m_writer->InLogButs(at(10, 0, 0), "f6186", "8"); });
    QCOMPARE(m_notices, QStringList{"f6186|8|" + place});
    const qint64 second = tick([this] { m_writer->InLogButs(at(10, 1, 30), "f6186", "4"); });
    QVERIFY(m_writer->IsRegistredButs(QStringLiteral("f6186")));
    const qint64 third = tick([this] { m_writer->InLogButs(at(10, 2, 0, 400), "f6186", "2"); });
    QCOMPARE(m_notices.size(), 3);
    QVERIFY2(qMax(first, qMax(second, third)) < 2000, qPrintable(QString::number(qMax(first, second))));

    // One report for the whole outage, naming the lock; the status counts the waiting events.
    QCOMPARE(m_outages.size(), 1);
    QVERIFY2(m_outages[0].contains(QStringLiteral("заблокирована")), qPrintable(m_outages[0]));
    QCOMPARE(m_statuses,
             (QStringList{"Журнал недоступен, ожидают записи: 1", "Журнал недоступен, ожидают записи: 2",
                          "Журнал недоступен, ожидают записи: 3"}));
    QCOMPARE(m_writer->pendingCount(), 3);
    QVERIFY(QFile::exists(m_writer->spoolPath()));

    QCOMPARE(other.exec("COMMIT"), SQLITE_OK);
    tick();
    // Written in order with their own times: the cancel queued behind its calls closes both.
    QCOMPARE(journal(), (QStringList{"2017.12.03 10:00:00|2017.12.03 10:02:00|f6186|8|00:02:00",
                                     "2017.12.03 10:01:30|2017.12.03 10:02:00|f6186|4|00:00:30"}));
    QCOMPARE(m_statuses.last(), QString());
    QVERIFY(!m_writer->journalUnavailable());
    QCOMPARE(m_writer->pendingCount(), 0);
    QVERIFY(!QFile::exists(m_writer->spoolPath()));
    QCOMPARE(m_outages.size(), 1);
    QVERIFY(m_errors.isEmpty());
}

void TestJournalOutage::crashWithEventsQueuedLosesNothing()
{
    {
        dbtest::PlainConnection other(m_path);
        QCOMPARE(other.exec("BEGIN EXCLUSIVE"), SQLITE_OK);
        tick([this] { m_writer->InLogButs(at(10, 0, 0), "f6186", "8"); });
        tick([this] {
            m_writer->InLogButs(at(10, 0, 1), "ba5ac", "8");
            m_writer->InLogButs(at(10, 0, 42), "f6186", "2");
        });
        QCOMPARE(m_writer->pendingCount(), 3);
        // The process ends with the events still waiting; the lock goes with the other program.
    }
    const QString spool = m_writer->spoolPath();
    m_writer.reset();
    QVERIFY(QFile::exists(spool));
    // The end came in the middle of writing one more event.
    {
        QFile file(spool);
        QVERIFY(file.open(QIODevice::Append));
        file.write("4\tE\t2017-12-03T10:0");
    }

    m_outages.clear();
    newWriter(); // the next start
    QCOMPARE(m_writer->pendingCount(), 3);
    QVERIFY(journal().isEmpty());
    tick();
    QCOMPARE(journal(), (QStringList{"2017.12.03 10:00:00|2017.12.03 10:00:42|f6186|8|00:00:42",
                                     "2017.12.03 10:00:01||ba5ac|8|"}));
    QVERIFY(!QFile::exists(spool));
    QVERIFY(m_outages.isEmpty());
}

void TestJournalOutage::spoolAlreadyCommittedIsNotWrittenTwice()
{
    // The end came after the commit and before the spool was removed: the journal already holds its
    // events. A second run then accepted one more before it ended too.
    const QString spool = m_writer->spoolPath();
    const QString copy = spool + QStringLiteral(".copy");
    m_writer->InLogButs(at(10, 0, 0), "f6186", "8");
    QVERIFY(QFile::copy(spool, copy));
    tick();
    QCOMPARE(journal().size(), 1);
    QVERIFY(QFile::copy(copy, spool));

    newWriter();
    QCOMPARE(m_writer->pendingCount(), 1);
    {
        dbtest::PlainConnection other(m_path);
        QCOMPARE(other.exec("BEGIN EXCLUSIVE"), SQLITE_OK);
        tick([this] { m_writer->InLogButs(at(10, 0, 9), "f6186", "2"); });
        QCOMPARE(m_writer->pendingCount(), 2);
    }
    newWriter();
    QCOMPARE(m_writer->pendingCount(), 2);
    tick();
    QCOMPARE(journal(), (QStringList{"2017.12.03 10:00:00|2017.12.03 10:00:09|f6186|8|00:00:09"}));

    // Later events start a spool of their own and are written as usual.
    tick([this] { m_writer->InLogButs(at(10, 5, 0), "ba5ac", "8"); });
    QCOMPARE(journal().size(), 2);
    QVERIFY(!QFile::exists(spool));
}

void TestJournalOutage::failedBatchRollsBackWhole()
{
    QCOMPARE(sqlite3_create_function(m_db->handle(), "fail_full", 0, SQLITE_UTF8, nullptr, &failAsFullDisk,
                                     nullptr, nullptr),
             SQLITE_OK);
    m_db->executeStatement(QStringLiteral(
        "CREATE TRIGGER full BEFORE INSERT ON logs WHEN NEW.abcde = 'ba5ac' BEGIN SELECT fail_full(); END"));

    tick([this] {
        m_writer->InLogButs(at(10, 0, 0), "f6186", "8");
        m_writer->InLogButs(at(10, 0, 0, 100), "ba5ac", "8");
        m_writer->InLogButs(at(10, 0, 0, 200), "f6186", "2");
    });
    // The first call and its cancel were written before the failure; none of it stays.
    QVERIFY(journal().isEmpty());
    QCOMPARE(m_writer->pendingCount(), 3);
    QCOMPARE(m_outages.size(), 1);
    QVERIFY2(m_outages[0].contains(QStringLiteral("диск заполнен")), qPrintable(m_outages[0]));

    m_db->executeStatement(QStringLiteral("DROP TRIGGER full"));
    tick();
    QCOMPARE(journal(), (QStringList{"2017.12.03 10:00:00|2017.12.03 10:00:00|f6186|8|00:00:00",
                                     "2017.12.03 10:00:00||ba5ac|8|"}));
    QCOMPARE(m_statuses.last(), QString());
}

void TestJournalOutage::outageNamesItsCause_data()
{
    QTest::addColumn<QString>("condition");
    QTest::addColumn<QString>("cause");
    QTest::newRow("locked") << "locked"
                            << "заблокирована";
    QTest::newRow("read-only") << "read-only"
                               << "только для чтения";
    QTest::newRow("disk full") << "full"
                               << "диск заполнен";
    QTest::newRow("not a database") << "garbage"
                                    << "не является базой данных";
}

void TestJournalOutage::outageNamesItsCause()
{
    QFETCH(QString, condition);
    QFETCH(QString, cause);

    dbtest::PlainConnection other(m_path);
    if (condition == QLatin1String("locked")) {
        QCOMPARE(other.exec("BEGIN EXCLUSIVE"), SQLITE_OK);
    } else if (condition == QLatin1String("read-only")) {
        m_db->executeStatement(QStringLiteral("PRAGMA query_only = 1"));
    } else if (condition == QLatin1String("full")) {
        // No room for one more page, and an entry that needs one.
        m_db->executeStatement(QStringLiteral("UPDATE buts SET name = ? WHERE abcde = 'f6186'"),
                               {QString(6000, QLatin1Char('x'))});
        const qint64 pages = m_db->query(QStringLiteral("PRAGMA page_count")).fieldAsInteger(0);
        m_db->query(QStringLiteral("PRAGMA max_page_count = %1").arg(pages));
    } else {
        QFile file(m_path);
        QVERIFY(file.open(QIODevice::ReadWrite));
        file.write(QByteArray(100, 'x'));
    }

    tick([this] { m_writer->InLogButs(at(10, 0, 0), "f6186", "8"); });
    QCOMPARE(m_notices.size(), 1);
    QCOMPARE(m_writer->pendingCount(), 1);
    QCOMPARE(m_outages.size(), 1);
    QVERIFY2(m_outages[0].contains(cause), qPrintable(m_outages[0]));
    tick([this] { m_writer->InLogButs(at(10, 0, 1), "f6186", "2"); });
    QCOMPARE(m_outages.size(), 1); // one report per outage, not one per press
    QCOMPARE(m_writer->statusText(), QStringLiteral("Журнал недоступен, ожидают записи: 2"));
}

void TestJournalOutage::placesChangedByAnyoneAreSeen()
{
    QVERIFY(!m_writer->IsRegistredButs(QStringLiteral("n0001")));
    tick();
    {
        dbtest::PlainConnection other(m_path);
        QCOMPARE(other.exec("INSERT INTO buts (abcde, btnclr, name) VALUES ('n0001', 'n0001', 'Койка 7')"),
                 SQLITE_OK);
    }
    QVERIFY(m_writer->IsRegistredButs(QStringLiteral("n0001")));

    // A change through the program's own connection leaves the data version as it is.
    m_db->executeStatement(QStringLiteral("UPDATE buts SET name = 'Койка 8' WHERE abcde = 'n0001'"));
    QCOMPARE(m_writer->GetButsNames(QStringLiteral("n0001")).P, QStringLiteral("Койка 8"));
    m_db->executeStatement(QStringLiteral("UPDATE groups SET name = 'Палата 9'"));
    QCOMPARE(m_writer->GetButsNames(QStringLiteral("f6186")).G, QStringLiteral("Палата 9"));
}

void TestJournalOutage::journaledOnlyOnceWritten()
{
    m_db->executeStatement(QStringLiteral("INSERT INTO buts (abcde, btnclr, name, groupsid, workersid, comm) "
                                          "VALUES ('c3', 'c3', 'Пост', 1, 1, '')"));
    // The unit is known before the lock comes.
    QVERIFY(m_writer->IsRegistredButs(QStringLiteral("c3")));
    dbtest::PlainConnection other(m_path);
    QCOMPARE(other.exec("BEGIN EXCLUSIVE"), SQLITE_OK);
    // A place's call and a KB unit's key while the file is locked: the notices go out at once, the
    // hook hears of nothing the journal does not hold.
    tick([this] {
        m_writer->InLogButs(at(10, 0, 0), "f6186", "8");
        m_writer->InLogKB(at(10, 0, 5), "c30a", "5");
    });
    QCOMPARE(m_notices.size(), 2);
    QCOMPARE(m_writer->pendingCount(), 2);
    QVERIFY(m_journaled.isEmpty());
    tick();
    QVERIFY(m_journaled.isEmpty());

    QCOMPARE(other.exec("COMMIT"), SQLITE_OK);
    tick();
    QCOMPARE(m_journaled.size(), 2);
    const JournaledEvent call = m_journaled[0];
    QCOMPARE(call.code, QStringLiteral("f6186"));
    QCOMPARE(call.f, QStringLiteral("8"));
    QCOMPARE(call.time, at(10, 0, 0));
    QCOMPARE(call.names.P, QStringLiteral("Койка № 1"));
    QCOMPARE(call.names.G, QStringLiteral("Палата 1"));
    QCOMPARE(call.names.S, QStringLiteral("Тестова Анна"));
    QVERIFY(!call.cancel);
    QVERIFY(call.closed.isEmpty());
    // The KB unit's event is named as its notice was; the journal's entry carries the key number.
    const JournaledEvent key = m_journaled[1];
    QCOMPARE(key.code, QStringLiteral("c30a"));
    QCOMPARE(key.names.P, QStringLiteral("Пост"));
    QCOMPARE(dbtest::rowsOf(*m_db, QStringLiteral("SELECT butsname FROM logs WHERE id=?"), {key.id}),
             QStringList{QStringLiteral("Пост (10)")});
    QVERIFY(key.id > call.id);

    // The cancel 100 s after the call names the entry it closed.
    tick([this] { m_writer->InLogButs(at(10, 1, 40), "f6186", "2"); });
    QCOMPARE(m_journaled.size(), 3);
    QVERIFY(m_journaled[2].cancel);
    QCOMPARE(m_journaled[2].code, QStringLiteral("f6186"));
    QCOMPARE(m_journaled[2].names.P, QStringLiteral("Койка № 1"));
    QCOMPARE(m_journaled[2].closed.size(), 1);
    QCOMPARE(m_journaled[2].closed[0].id, call.id);
    QCOMPARE(m_journaled[2].closed[0].reactionSeconds, 100);
    // Nothing is announced twice.
    tick();
    QCOMPARE(m_journaled.size(), 3);
    QVERIFY(m_errors.isEmpty());
}

void TestJournalOutage::journaledEventsTakenUpFromTheSpool()
{
    {
        dbtest::PlainConnection other(m_path);
        QCOMPARE(other.exec("BEGIN EXCLUSIVE"), SQLITE_OK);
        tick([this] {
            m_writer->InLogButs(at(10, 0, 0), "f6186", "8");
            m_writer->InLogButs(at(10, 0, 30), "f6186", "2");
        });
        QVERIFY(m_journaled.isEmpty());
        // The process ends with both events waiting.
    }
    m_writer.reset();
    newWriter(); // the next start
    tick();
    QCOMPARE(m_journaled.size(), 2);
    QCOMPARE(m_journaled[0].code, QStringLiteral("f6186"));
    QCOMPARE(m_journaled[0].names.P, QStringLiteral("Койка № 1"));
    QVERIFY(!m_journaled[0].cancel);
    QVERIFY(m_journaled[1].cancel);
    QCOMPARE(m_journaled[1].names.S, QStringLiteral("Тестова Анна"));
    QCOMPARE(m_journaled[1].closed.size(), 1);
    QCOMPARE(m_journaled[1].closed[0].id, m_journaled[0].id);
    QCOMPARE(m_journaled[1].closed[0].reactionSeconds, 30);
}

void TestJournalOutage::burstWhileThePlacesCannotBeReadWaitsOnce()
{
    // The places changed, then another program locked the file before they could be read again.
    m_db->executeStatement(QStringLiteral("UPDATE buts SET name='Койка № 1А' WHERE abcde='f6186'"));
    dbtest::PlainConnection other(m_path);
    QCOMPARE(other.exec("BEGIN EXCLUSIVE"), SQLITE_OK);
    QElapsedTimer timer;
    timer.start();
    tick([this] {
        for (int i = 0; i < 200; ++i)
            m_writer->InLogButs(at(10, 0, 0).addMSecs(i * 10), "f6186", "8");
    });
    // One short wait for the whole tick, not one per press; the copy in hand names the notices.
    QVERIFY2(timer.elapsed() < 1000, qPrintable(QString::number(timer.elapsed())));
    QCOMPARE(m_notices.size(), 200);
    QCOMPARE(m_notices.last(), QStringLiteral("f6186|8|Тестова Анна|Койка № 1"));
    QCOMPARE(m_writer->pendingCount(), 200);

    // The next tick reads them again.
    QCOMPARE(other.exec("COMMIT"), SQLITE_OK);
    tick([this] { m_writer->InLogButs(at(10, 0, 5), "f6186", "8"); });
    QCOMPARE(m_notices.last(), QStringLiteral("f6186|8|Тестова Анна|Койка № 1А"));
    QCOMPARE(journal().size(), 201);
}

void TestJournalOutage::removedCallsAreNeverPairedWithACancel()
{
    QList<AcceptedEvent> accepted;
    m_writer->setAccepted([&accepted](const AcceptedEvent& e) { accepted << e; });
    const auto entries = [this] {
        return dbtest::rowsOf(
            *m_db,
            QStringLiteral("SELECT timest, timestr, reactiontime, "
                           "coalesce((SELECT removedat FROM dismissedcalls d WHERE d.id = logs.id), '') "
                           "FROM logs ORDER BY id"));
    };

    // A call taken off the open list is closed for good; the next call at the same bed is answered.
    tick([this] { m_writer->InLogButs(at(10, 0, 0), "f6186", "8"); });
    QCOMPARE(m_journaled.size(), 1);
    m_writer->removeEntry(m_journaled[0].id, at(10, 5, 0));
    QCOMPARE(m_writer->pendingCount(), 1);
    tick([this] { m_writer->InLogButs(at(10, 6, 0), "f6186", "8"); });
    tick([this] { m_writer->InLogButs(at(10, 9, 0), "f6186", "2"); });
    QCOMPARE(entries(), (QStringList{"2017.12.03 10:00:00|||2017.12.03 10:05:00",
                                     "2017.12.03 10:06:00|2017.12.03 10:09:00|00:03:00|"}));

    // A removed call on top does not hide an older open one from the cancel.
    tick([this] { m_writer->InLogButs(at(11, 0, 0), "ba5ac", "8"); });
    tick([this] { m_writer->InLogButs(at(11, 1, 0), "ba5ac", "8"); });
    m_writer->removeEntry(m_journaled.last().id, at(11, 2, 0));
    tick([this] { m_writer->InLogButs(at(11, 3, 0), "ba5ac", "2"); });
    QCOMPARE(entries().mid(2), (QStringList{"2017.12.03 11:00:00|2017.12.03 11:03:00|00:03:00|",
                                            "2017.12.03 11:01:00|||2017.12.03 11:02:00"}));

    // While the file is locked: a call is removed before the journal has it, then its bed's cancel
    // comes. Once the lock goes, the entry is written removed and the cancel leaves it alone.
    dbtest::PlainConnection other(m_path);
    QCOMPARE(other.exec("BEGIN EXCLUSIVE"), SQLITE_OK);
    accepted.clear();
    tick([this] { m_writer->InLogButs(at(12, 0, 0), "f6186", "8"); });
    QCOMPARE(accepted.size(), 1);
    QVERIFY(!accepted[0].cancel);
    QCOMPARE(m_writer->waitingEvents().size(), 1);
    QCOMPARE(m_writer->waitingEvents()[0].ticket, accepted[0].ticket);
    QVERIFY(!m_writer->removeWaiting(accepted[0].ticket + 1, at(12, 1, 0)));
    QVERIFY(m_writer->removeWaiting(accepted[0].ticket, at(12, 1, 0)));
    tick([this] { m_writer->InLogButs(at(12, 2, 0), "f6186", "2"); });
    QCOMPARE(accepted.size(), 2);
    QVERIFY(accepted[1].cancel);
    QCOMPARE(other.exec("COMMIT"), SQLITE_OK);
    const qsizetype before = m_journaled.size();
    tick();
    QCOMPARE(m_journaled.size(), before + 2);
    QCOMPARE(m_journaled[before].ticket, accepted[0].ticket);
    QVERIFY(m_journaled[before + 1].closed.isEmpty());
    QCOMPARE(entries().last(), QStringLiteral("2017.12.03 12:00:00|||2017.12.03 12:01:00"));
    QCOMPARE(m_writer->pendingCount(), 0);
    QVERIFY(m_errors.isEmpty());
}

void TestJournalOutage::eventsHeldInMemoryGoIntoTheSpoolFirst()
{
    dbtest::PlainConnection other(m_path);
    QCOMPARE(other.exec("BEGIN EXCLUSIVE"), SQLITE_OK);
    {
        // The disk is full before the spool exists: the first 20 calls are held in memory only.
        const SpoolFull full;
        tick([this] {
            for (int i = 0; i < 20; ++i)
                m_writer->InLogButs(at(10, 0, i), "f6186", "8");
        });
        QCOMPARE(m_writer->unsavedCount(), 20);
        QCOMPARE(m_statuses.last(),
                 QStringLiteral("Журнал недоступен, ожидают записи: 20, из них только в памяти: 20"));
    }
    // Space is freed: the next calls wait behind the held ones, which go into the spool first.
    tick([this] {
        for (int i = 20; i < 40; ++i)
            m_writer->InLogButs(at(10, 0, i), "ba5ac", "8");
    });
    QCOMPARE(m_writer->unsavedCount(), 0);
    QCOMPARE(m_statuses.last(), QStringLiteral("Журнал недоступен, ожидают записи: 40"));

    // The process is killed; the next start writes all 40, in the order they came.
    m_writer.reset();
    QCOMPARE(other.exec("COMMIT"), SQLITE_OK);
    newWriter();
    QCOMPARE(m_writer->pendingCount(), 40);
    tick();
    const QStringList rows = journal();
    QCOMPARE(rows.size(), 40);
    for (int i = 0; i < 40; ++i)
        QVERIFY2(rows[i].startsWith(QStringLiteral("2017.12.03 10:00:%1||%2")
                                        .arg(i, 2, 10, QLatin1Char('0'))
                                        .arg(i < 20 ? "f6186" : "ba5ac")),
                 qPrintable(rows[i]));
}

void TestJournalOutage::damagedSpoolReplaysEveryReadableLine()
{
    {
        dbtest::PlainConnection other(m_path);
        QCOMPARE(other.exec("BEGIN EXCLUSIVE"), SQLITE_OK);
        tick([this] {
            for (int i = 0; i < 20; ++i)
                m_writer->InLogButs(at(10, 0, i), i % 2 ? "ba5ac" : "f6186", "8");
        });
    }
    const QString spool = m_writer->spoolPath();
    m_writer.reset();
    // The spool was converted to CR LF on its way through another system, and a line was garbled.
    QFile file(spool);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QByteArray content = file.readAll().replace("\n", "\r\n");
    file.close();
    content.insert(content.indexOf("\r\n") + 2, "7\tE\tgarbled\r\n");
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
    file.close();

    warnings.clear();
    const QtMessageHandler previous = qInstallMessageHandler(keepWarning);
    newWriter();
    tick();
    qInstallMessageHandler(previous);
    QCOMPARE(journal().size(), 20);
    QVERIFY(!QFile::exists(spool));
    // The line that could not be read is kept aside, and the message says how many and where.
    QFile aside(spool + QStringLiteral(".damaged"));
    QVERIFY(aside.open(QIODevice::ReadOnly));
    QVERIFY(aside.readAll().startsWith("7\tE\tgarbled"));
    const QString report = warnings.filter(QStringLiteral("kept aside")).join(u'\n');
    QVERIFY2(report.contains(QStringLiteral(": 1 line(s) that cannot be read kept aside in ") + spool +
                             QStringLiteral(".damaged")),
             qPrintable(warnings.join(u'\n')));
    QVERIFY2(!warnings.join(u'\n').contains(QStringLiteral("end of the process")), qPrintable(report));
}

void TestJournalOutage::unsavedEventsAreCounted()
{
    // Neither the journal nor the spool can take the events: only memory holds them, and the count
    // is what a stop now would lose.
    const SpoolFull full;
    dbtest::PlainConnection other(m_path);
    QCOMPARE(other.exec("BEGIN EXCLUSIVE"), SQLITE_OK);
    tick([this] {
        for (int i = 0; i < 5; ++i)
            m_writer->InLogButs(at(10, 0, i), "f6186", "8");
    });
    QCOMPARE(m_writer->unsavedCount(), 5);
    QCOMPARE(m_writer->pendingCount(), 5);
    QCOMPARE(other.exec("COMMIT"), SQLITE_OK);
    tick();
    QCOMPARE(journal().size(), 5);
    QCOMPARE(m_writer->unsavedCount(), 0);
}

void TestJournalOutage::startUnderALockTakesThePlacesFromTheirCopy_data()
{
    // Whether the file is freed while the writer runs, or only after the process was ended and
    // started again.
    QTest::addColumn<bool>("restart");
    QTest::newRow("freed while running") << false;
    QTest::newRow("freed after a restart") << true;
}

void TestJournalOutage::startUnderALockTakesThePlacesFromTheirCopy()
{
    QFETCH(bool, restart);
    // The writer of the last run read the places and left their copy beside the database.
    const QString copy = m_path + QStringLiteral(".places");
    QVERIFY(QFile::exists(copy));
    m_writer.reset();
    // While the server is down another program registers a place and a KB unit the copy does not
    // know; it then holds the file from before the next start until after it.
    m_db->executeStatement(QStringLiteral("INSERT INTO buts (abcde, btnclr, name, comm) VALUES "
                                          "('c0de1', 'c0de2', 'Койка № 9', ''), ('ab', NULL, 'Пост', '')"));
    auto other = std::make_optional<dbtest::PlainConnection>(m_path);
    QCOMPARE(other->exec("PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE;"), SQLITE_OK);

    QStringList trace;
    const auto follow = [this, &trace] {
        m_writer->setAccepted([&trace](const AcceptedEvent& e) {
            trace << QStringLiteral("accepted %1 %2 %3").arg(e.code, e.f, e.names.P);
        });
        m_writer->setJournaled([this, &trace](const JournaledEvent& e) {
            trace << QStringLiteral("journaled %1 %2").arg(e.code, e.f);
            m_journaled << e;
        });
    };
    newWriter();
    follow();
    tick([this] {
        press(at(10, 0, 0), QStringLiteral("f61868"));
        press(at(10, 0, 1), QStringLiteral("c0de18"));
        press(at(10, 0, 2), QStringLiteral("zzzzz8"));
        press(at(10, 0, 3), QStringLiteral("ab01fb"));
        press(at(10, 0, 30), QStringLiteral("c0de22"));
    });
    // The place the copy knows is announced at once, named as the copy names it; the others wait in
    // the spool as they came, with no notice.
    QCOMPARE(m_notices, QStringList{QStringLiteral("f6186|8|Тестова Анна|Койка № 1")});
    QCOMPARE(trace, QStringList{QStringLiteral("accepted f6186 8 Койка № 1")});
    QCOMPARE(m_writer->pendingCount(), 5);
    QCOMPARE(m_statuses.last(), QStringLiteral("Журнал недоступен, ожидают записи: 5"));
    QFile spool(m_writer->spoolPath());
    QVERIFY(spool.open(QIODevice::ReadOnly));
    const QByteArray spooled = spool.readAll();
    for (const char* code : {"\tf6186\t8\t", "\tc0de1\t8\t", "\tzzzzz\t8\t", "\tab01\tb\t", "\tc0de2\t2\t"})
        QVERIFY2(spooled.contains(code), spooled.constData());

    if (restart) {
        // The end of the process with everything waiting; the next start after the lock's end.
        m_writer.reset();
        other.reset();
        trace.clear();
        newWriter();
        follow();
    } else {
        other.reset();
        trace.clear();
    }
    tick();
    QCOMPARE(journal(), (QStringList{"2017.12.03 10:00:00||f6186|8|",
                                     "2017.12.03 10:00:01|2017.12.03 10:00:30|c0de1|8|00:00:29",
                                     "2017.12.03 10:00:03||ab01|b|"}));
    QCOMPARE(dbtest::rowsOf(*m_db, QStringLiteral("SELECT butsname FROM logs ORDER BY id")),
             (QStringList{"Койка № 1", "Койка № 9", "Пост (01)"}));
    // Each press the copy did not know is announced as the journal takes it, as what it is; the code
    // no place has is dropped.
    QCOMPARE(m_notices, (QStringList{"f6186|8|Тестова Анна|Койка № 1", "c0de1|8||Койка № 9", "ab01|b||Пост",
                                     "c0de1|2||Койка № 9"}));
    QStringList expected{"journaled f6186 8",         "accepted c0de1 8 Койка № 9", "journaled c0de1 8",
                         "accepted ab01 b Пост (01)", "journaled ab01 b",           "accepted c0de1 2 ",
                         "journaled c0de1 2"};
    QCOMPARE(trace, expected);
    QCOMPARE(m_journaled.last().closed.size(), 1);
    QCOMPARE(m_journaled.last().closed[0].id, m_journaled[m_journaled.size() - 3].id);
    QCOMPARE(m_writer->pendingCount(), 0);
    QVERIFY(!QFile::exists(m_writer->spoolPath()));
    QVERIFY(!m_writer->IsRegistredButs(QStringLiteral("zzzzz")));
    QVERIFY(m_errors.isEmpty());
    // The copy follows the database again.
    QList<CachedPlace> places;
    QCOMPARE(PlaceCopy(copy).load(places), PlaceCopy::Loaded::Places);
    QStringList codes;
    for (const CachedPlace& p : places)
        codes << p.abcde;
    QCOMPARE(codes, (QStringList{"f6186", "ba5ac", "c0de1", "ab"}));
}

void TestJournalOutage::damagedOrMissingCopyKeepsPressesAsTheyCame_data()
{
    QTest::addColumn<QByteArray>("content"); // empty: no copy at all
    QTest::addColumn<int>("lines");          // on standard error about it
    QTest::newRow("missing") << QByteArray() << 0;
    QByteArray otherChecksum =
        Durable::recordLine("HALVANE-PLACES 1 1") + Durable::recordLine("11\tf6186\tf6186\tЧужая\t\t");
    otherChecksum[otherChecksum.size() - 3] ^= 1;
    QTest::newRow("checksum") << otherChecksum << 1;
    QTest::newRow("cut short") << Durable::recordLine("HALVANE-PLACES 1 2") << 1;
    QTest::newRow("garbage") << QByteArray("\x7f"
                                           "ELF\x02\x01\x01",
                                           7)
                             << 1;
}

void TestJournalOutage::damagedOrMissingCopyKeepsPressesAsTheyCame()
{
    QFETCH(QByteArray, content);
    QFETCH(int, lines);
    m_writer.reset();
    const QString copy = m_path + QStringLiteral(".places");
    QFile::remove(copy);
    if (!content.isEmpty()) {
        QFile file(copy);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(content), content.size());
    }
    auto other = std::make_optional<dbtest::PlainConnection>(m_path);
    QCOMPARE(other->exec("PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE;"), SQLITE_OK);

    warnings.clear();
    const QtMessageHandler previous = qInstallMessageHandler(keepWarning);
    newWriter();
    tick([this] { press(at(10, 0, 0), QStringLiteral("f61868")); });
    qInstallMessageHandler(previous);
    // Nothing known is taken for a place: no notice, the press waits in the spool as it came.
    QVERIFY(m_notices.isEmpty());
    QCOMPARE(m_writer->pendingCount(), 1);
    QVERIFY(QFile::exists(m_writer->spoolPath()));
    const QStringList aboutCopy = warnings.filter(copy);
    QCOMPARE(aboutCopy.size(), lines);
    QCOMPARE(warnings.size(), lines);

    other.reset();
    tick();
    QCOMPARE(journal(), QStringList{"2017.12.03 10:00:00||f6186|8|"});
    QCOMPARE(m_notices, QStringList{"f6186|8|Тестова Анна|Койка № 1"});
    QCOMPARE(m_journaled.size(), 1);
    QList<CachedPlace> places;
    QCOMPARE(PlaceCopy(copy).load(places), PlaceCopy::Loaded::Places);
    QCOMPARE(places.size(), 2);
}

QTEST_GUILESS_MAIN(TestJournalOutage)
#include "tst_journaloutage.moc"
