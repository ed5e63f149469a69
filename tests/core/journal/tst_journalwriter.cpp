#include "core/base/AppError.h"
#include "core/db/Database.h"
#include "core/db/Schema.h"
#include "core/journal/JournalWriter.h"
#include "core/journal/TimeFormat.h"

#include <QTemporaryDir>
#include <QTest>

#include <limits>
#include <memory>

namespace {

// The seed places of a new database: f6186 ("Койка № 1") and ba5ac ("Койка № 2"), both in ward 1
// "Палата 1" with staff member 1 "Тестова Анна".
const QString seedPlace = QStringLiteral("Койка № 1");
const QString seedWard = QStringLiteral("Палата 1");
const QString seedStaff = QStringLiteral("Тестова Анна");

QDateTime at(int h, int mi, int s, int ms = 0, int dayOffset = 0)
{
    return QDateTime(QDate(2017, 12, 3).addDays(dayOffset), QTime(h, mi, s, ms));
}

} // namespace

class TestJournalWriter : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void registeredCodes_data();
    void registeredCodes();
    void placeNames_data();
    void placeNames();
    void unregisteredCodeOnlyRefreshes();
    void callsThenCancel();
    void cancelPairing_data();
    void cancelPairing();
    void pressFromCancelCodeCarriesCallCode();
    void codeSharedBetweenPlaces();
    void cancelCodeWithoutEntries_data();
    void cancelCodeWithoutEntries();
    void kbUnitKeys();
    void keyNumbers_data();
    void keyNumbers();
    void hexToInt_data();
    void hexToInt();
    void quotesAndColumnSpellingsStayValues();
    void errorEndsTheCall_data();
    void errorEndsTheCall();

private:
    qint64 addPlace(const QString& abcde, const QString& btnclr, const QString& name,
                    const QVariant& groupsid = {}, const QVariant& workersid = {});
    void addEntry(const QString& abcde, const QString& timest, const QString& timestr = {},
                  const QString& reactiontime = {});
    QString counts();
    QStringList journal();

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<db::Database> m_db;
    std::unique_ptr<JournalWriter> m_writer;
    // What the writer did to the outside, in order, each with the journal's state at that moment.
    QStringList m_events;
};

void TestJournalWriter::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_db = db::Database::openDatabase(m_dir->filePath(QStringLiteral("orv_med.db")));
    // Nothing here needs to survive a power cut; waiting for the disk would only slow the tests.
    m_db->executeStatement(QStringLiteral("PRAGMA synchronous = OFF"));
    db::runSchema(*m_db);
    db::ensureIndexes(*m_db);
    m_events.clear();
    m_writer = std::make_unique<JournalWriter>(
        *m_db,
        [this](const QString& code, const QString& f, const QString& staff, const QString& place) {
            m_events << QStringLiteral("notice %1|%2|%3|%4 %5").arg(code, f, staff, place, counts());
        },
        [this] { m_events << QStringLiteral("refresh ") + counts(); });
}

void TestJournalWriter::cleanup()
{
    m_writer.reset();
    m_db.reset();
    m_dir.reset();
}

qint64 TestJournalWriter::addPlace(const QString& abcde, const QString& btnclr, const QString& name,
                                   const QVariant& groupsid, const QVariant& workersid)
{
    m_db->executeStatement(QStringLiteral("INSERT INTO buts (abcde, btnclr, name, groupsid, workersid, comm) "
                                          "VALUES (?, ?, ?, ?, ?, '')"),
                           {abcde, btnclr, name, groupsid, workersid});
    return m_db->query(QStringLiteral("SELECT max(id) FROM buts")).fieldAsInteger(0);
}

void TestJournalWriter::addEntry(const QString& abcde, const QString& timest, const QString& timestr,
                                 const QString& reactiontime)
{
    m_db->executeStatement(
        QStringLiteral("INSERT INTO logs (timest, timestr, abcde, f, butsname, groupsname, "
                       "workersname, reactiontime) VALUES (?, ?, ?, '8', 'x', '', '', ?)"),
        {timest, timestr, abcde, reactiontime});
}

QString TestJournalWriter::counts()
{
    const qint64 rows = m_db->query(QStringLiteral("SELECT count(*) FROM logs")).fieldAsInteger(0);
    const qint64 closed =
        m_db->query(QStringLiteral("SELECT count(*) FROM logs WHERE timestr <> ''")).fieldAsInteger(0);
    return QStringLiteral("rows=%1 closed=%2").arg(rows).arg(closed);
}

QStringList TestJournalWriter::journal()
{
    QStringList rows;
    db::ResultTable t = m_db->query(QStringLiteral("SELECT timest, timestr, abcde, f, butsname, groupsname, "
                                                   "workersname, reactiontime FROM logs ORDER BY id"));
    while (!t.endOfRows()) {
        QStringList fields;
        for (int c = 0; c < 8; ++c)
            fields << t.fieldAsText(c);
        rows << fields.join(QLatin1Char('|'));
        t.nextRow();
    }
    return rows;
}

void TestJournalWriter::registeredCodes_data()
{
    QTest::addColumn<QString>("code");
    QTest::addColumn<bool>("registered");

    QTest::newRow("call code") << "f6186" << true;
    QTest::newRow("cancel code only") << "c0002" << true;
    QTest::newRow("KB unit code") << "0A" << true;
    QTest::newRow("unknown") << "zzzzz" << false;
    QTest::newRow("other letter case") << "F6186" << false;
    QTest::newRow("empty") << "" << false;
    // Spelled like columns: as values they match no place.
    QTest::newRow("column name abcde") << "abcde" << false;
    QTest::newRow("column name btnclr") << "btnclr" << false;
    QTest::newRow("double quotes") << "a\"b\"c" << false;
    QTest::newRow("SQL text") << "x' OR 1=1 --" << false;
}

void TestJournalWriter::registeredCodes()
{
    QFETCH(QString, code);
    QFETCH(bool, registered);
    addPlace(QStringLiteral("c0001"), QStringLiteral("c0002"), QStringLiteral("Койка 3"));
    addPlace(QStringLiteral("0A"), QStringLiteral("0A"), QStringLiteral("Пульт"));
    QCOMPARE(m_writer->IsRegistredButs(code), registered);
}

void TestJournalWriter::placeNames_data()
{
    QTest::addColumn<QString>("code");
    QTest::addColumn<QStringList>("names"); // P, G, S

    QTest::newRow("seed place") << "f6186" << QStringList{seedPlace, seedWard, seedStaff};
    QTest::newRow("by cancel code") << "c0002" << QStringList{"Койка 3", seedWard, ""};
    QTest::newRow("no ward, no staff") << "n0001" << QStringList{"Койка 4", "", ""};
    QTest::newRow("ward and staff deleted") << "d0001" << QStringList{"Койка 5", "", ""};
    QTest::newRow("unknown code") << "zzzzz" << QStringList{"", "", ""};
}

void TestJournalWriter::placeNames()
{
    QFETCH(QString, code);
    QFETCH(QStringList, names);
    addPlace(QStringLiteral("c0001"), QStringLiteral("c0002"), QStringLiteral("Койка 3"), 1);
    addPlace(QStringLiteral("n0001"), QStringLiteral("n0001"), QStringLiteral("Койка 4"));
    addPlace(QStringLiteral("d0001"), QStringLiteral("d0001"), QStringLiteral("Койка 5"), 77, 78);

    const ButsNames got = m_writer->GetButsNames(code);
    QCOMPARE((QStringList{got.P, got.G, got.S}), names);
}

void TestJournalWriter::unregisteredCodeOnlyRefreshes()
{
    m_writer->InLogButs(at(10, 0, 0), QStringLiteral("zzzzz"), QStringLiteral("8"));
    m_writer->flushQueue(); // the end of the dispatcher tick
    m_writer->InLogButs(at(10, 0, 1), QStringLiteral("zzzzz"), QStringLiteral("2"));
    m_writer->flushQueue(); // the end of the dispatcher tick
    QCOMPARE(m_events, (QStringList{"refresh rows=0 closed=0", "refresh rows=0 closed=0"}));
    QVERIFY(journal().isEmpty());
}

void TestJournalWriter::callsThenCancel()
{
    m_writer->InLogButs(at(10, 0, 0, 250), QStringLiteral("f6186"), QStringLiteral("8"));
    m_writer->flushQueue(); // the end of the dispatcher tick
    m_writer->InLogButs(at(10, 1, 30), QStringLiteral("f6186"), QStringLiteral("4"));
    m_writer->flushQueue(); // the end of the dispatcher tick
    m_writer->InLogButs(at(10, 2, 0, 400), QStringLiteral("f6186"), QStringLiteral("2"));
    m_writer->flushQueue(); // the end of the dispatcher tick

    const QString names = seedStaff + QLatin1Char('|') + seedPlace;
    QCOMPARE(m_events, (QStringList{
                           "notice f6186|8|" + names + " rows=0 closed=0",
                           "refresh rows=1 closed=0",
                           "notice f6186|4|" + names + " rows=1 closed=0",
                           "refresh rows=2 closed=0",
                           "notice f6186|2|" + names + " rows=2 closed=0",
                           "refresh rows=2 closed=2",
                       }));
    const QString place = "|f6186|%1|" + seedPlace + '|' + seedWard + '|' + seedStaff + '|';
    QCOMPARE(journal(), (QStringList{
                            "2017.12.03 10:00:00|2017.12.03 10:02:00" + place.arg("8") + "00:02:00",
                            "2017.12.03 10:01:30|2017.12.03 10:02:00" + place.arg("4") + "00:00:30",
                        }));
}

void TestJournalWriter::cancelPairing_data()
{
    QTest::addColumn<QStringList>("before"); // entries of the place f6186, "timest|timestr|reactiontime"
    QTest::addColumn<QDateTime>("cancel");
    QTest::addColumn<QStringList>("after"); // "timestr|reactiontime" of each entry, in the same order

    const QString day = QStringLiteral("2017.12.03 ");
    QTest::newRow("no entries") << QStringList{} << at(11, 0, 0) << QStringList{};
    QTest::newRow("newest already closed")
        << QStringList{day + "10:00:00||", day + "10:05:00|" + day + "10:06:00|00:01:00"} << at(11, 0, 0)
        << QStringList{"|", day + "10:06:00|00:01:00"};
    QTest::newRow("open entry below a closed one stays open")
        << QStringList{day + "09:00:00||", day + "10:00:00|" + day + "10:01:00|00:01:00", day + "10:30:00||",
                       day + "10:40:00||"}
        << at(11, 0, 0, 999)
        << QStringList{"|", day + "10:01:00|00:01:00", day + "11:00:00|00:30:00", day + "11:00:00|00:20:00"};
    QTest::newRow("order by time, not by id")
        << QStringList{day + "10:30:00||", day + "10:00:00|" + day + "10:01:00|00:01:00"} << at(11, 0, 0)
        << QStringList{day + "11:00:00|00:30:00", day + "10:01:00|00:01:00"};
    QTest::newRow("cancelled a day later") << QStringList{day + "10:00:00||"} << at(10, 3, 0, 0, 1)
                                           << QStringList{"2017.12.04 10:03:00|24:03:00"};
}

void TestJournalWriter::cancelPairing()
{
    QFETCH(QStringList, before);
    QFETCH(QDateTime, cancel);
    QFETCH(QStringList, after);

    for (const QString& entry : before) {
        const QStringList f = entry.split(QLatin1Char('|'));
        addEntry(QStringLiteral("f6186"), f[0], f[1], f[2]);
    }
    // Another place's open entry is never touched by this place's cancel.
    addEntry(QStringLiteral("ba5ac"), QStringLiteral("2017.12.03 10:50:00"));

    m_writer->InLogButs(cancel, QStringLiteral("f6186"), QStringLiteral("2"));
    m_writer->flushQueue(); // the end of the dispatcher tick

    QStringList got;
    db::ResultTable t =
        m_db->query(QStringLiteral("SELECT timestr, reactiontime FROM logs WHERE abcde=? ORDER BY id"),
                    {QStringLiteral("f6186")});
    while (!t.endOfRows()) {
        got << t.fieldAsText(0) + QLatin1Char('|') + t.fieldAsText(1);
        t.nextRow();
    }
    QCOMPARE(got, after);
    QCOMPARE(m_db->query(QStringLiteral("SELECT timestr FROM logs WHERE abcde='ba5ac'")).fieldAsText(0),
             QString());
    QCOMPARE(m_events.size(), 2); // the notice and the reload, whatever was closed
}

void TestJournalWriter::pressFromCancelCodeCarriesCallCode()
{
    addPlace(QStringLiteral("ccccc"), QStringLiteral("ddddd"), QStringLiteral("Койка 3"), 1);

    m_writer->InLogButs(at(10, 0, 0), QStringLiteral("ddddd"), QStringLiteral("8"));
    m_writer->flushQueue(); // the end of the dispatcher tick
    m_writer->InLogButs(at(10, 0, 7), QStringLiteral("ddddd"), QStringLiteral("2"));
    m_writer->flushQueue(); // the end of the dispatcher tick

    QCOMPARE(m_events, (QStringList{
                           "notice ccccc|8||Койка 3 rows=0 closed=0",
                           "refresh rows=1 closed=0",
                           "notice ccccc|2||Койка 3 rows=1 closed=0",
                           "refresh rows=1 closed=1",
                       }));
    QCOMPARE(journal(), (QStringList{"2017.12.03 10:00:00|2017.12.03 10:00:07|ccccc|8|Койка 3|" + seedWard +
                                     "||00:00:07"}));
}

void TestJournalWriter::codeSharedBetweenPlaces()
{
    // bbbbb is the cancel code of A and the call code of B: a press concerns both, in result order,
    // and each entry carries its own place's code and names. Both notices go out before the
    // journal changes.
    addPlace(QStringLiteral("aaaaa"), QStringLiteral("bbbbb"), QStringLiteral("Койка A"));
    addPlace(QStringLiteral("bbbbb"), QStringLiteral("bbbbb"), QStringLiteral("Койка B"), 1, 1);

    m_writer->InLogButs(at(10, 0, 0), QStringLiteral("bbbbb"), QStringLiteral("8"));
    m_writer->flushQueue(); // the end of the dispatcher tick
    m_writer->InLogButs(at(10, 0, 20), QStringLiteral("bbbbb"), QStringLiteral("2"));
    m_writer->flushQueue(); // the end of the dispatcher tick

    QCOMPARE(m_events, (QStringList{
                           "notice aaaaa|8||Койка A rows=0 closed=0",
                           "notice bbbbb|8|" + seedStaff + "|Койка B rows=0 closed=0",
                           "refresh rows=2 closed=0",
                           "notice aaaaa|2||Койка A rows=2 closed=0",
                           "notice bbbbb|2|" + seedStaff + "|Койка B rows=2 closed=0",
                           "refresh rows=2 closed=2",
                       }));
    QCOMPARE(journal(), (QStringList{
                            "2017.12.03 10:00:00|2017.12.03 10:00:20|aaaaa|8|Койка A|||00:00:20",
                            "2017.12.03 10:00:00|2017.12.03 10:00:20|bbbbb|8|Койка B|" + seedWard + '|' +
                                seedStaff + "|00:00:20",
                        }));
}

void TestJournalWriter::cancelCodeWithoutEntries_data()
{
    QTest::addColumn<bool>("codeHasEntry");
    QTest::addColumn<QStringList>("after"); // "abcde|timestr" of each entry in id order

    const QString closedAt = QStringLiteral("2017.12.03 10:05:00");
    // kkkkk has no entry of its own: the open entries of the places it cancels are closed.
    QTest::newRow("closes its places")
        << false << QStringList{"a1111|" + closedAt, "b2222|" + closedAt, "f6186|"};
    // Its own (closed) entry is all that is looked at.
    QTest::newRow("own entry wins") << true
                                    << QStringList{"a1111|", "b2222|", "f6186|", "kkkkk|2017.12.03 09:00:00"};
}

void TestJournalWriter::cancelCodeWithoutEntries()
{
    QFETCH(bool, codeHasEntry);
    QFETCH(QStringList, after);
    addPlace(QStringLiteral("a1111"), QStringLiteral("kkkkk"), QStringLiteral("Койка 3"));
    addPlace(QStringLiteral("b2222"), QStringLiteral("kkkkk"), QStringLiteral("Койка 4"));
    addEntry(QStringLiteral("a1111"), QStringLiteral("2017.12.03 10:00:00"));
    addEntry(QStringLiteral("b2222"), QStringLiteral("2017.12.03 10:01:00"));
    addEntry(QStringLiteral("f6186"), QStringLiteral("2017.12.03 10:02:00"));
    if (codeHasEntry)
        addEntry(QStringLiteral("kkkkk"), QStringLiteral("2017.12.03 08:00:00"),
                 QStringLiteral("2017.12.03 09:00:00"), QStringLiteral("01:00:00"));

    m_writer->SetReactionTime(QStringLiteral("kkkkk"), at(10, 5, 0));

    QStringList got;
    db::ResultTable t = m_db->query(QStringLiteral("SELECT abcde, timestr FROM logs ORDER BY id"));
    while (!t.endOfRows()) {
        got << t.fieldAsText(0) + QLatin1Char('|') + t.fieldAsText(1);
        t.nextRow();
    }
    QCOMPARE(got, after);
}

void TestJournalWriter::kbUnitKeys()
{
    addPlace(QStringLiteral("0A"), QStringLiteral("0A"), QStringLiteral("Пост"), 1, 1);
    QVERIFY(m_writer->IsRegistredButs(QStringLiteral("0A")));

    m_writer->InLogKB(at(10, 0, 0), QStringLiteral("0A1F"), QStringLiteral("b"));
    m_writer->flushQueue(); // the end of the dispatcher tick
    m_writer->InLogKB(at(10, 0, 5), QStringLiteral("0A20"), QStringLiteral("d")); // another key
    m_writer->flushQueue();
    m_writer->InLogKB(at(10, 0, 9), QStringLiteral("0A1F"), QStringLiteral("d"));
    m_writer->flushQueue(); // the end of the dispatcher tick

    const QString names = seedStaff + QStringLiteral("|Пост");
    QCOMPARE(m_events, (QStringList{
                           "notice 0A1F|b|" + names + " rows=0 closed=0",
                           "refresh rows=1 closed=0",
                           "notice 0A20|d|" + names + " rows=1 closed=0",
                           "refresh rows=1 closed=0",
                           "notice 0A1F|d|" + names + " rows=1 closed=0",
                           "refresh rows=1 closed=1",
                       }));
    QCOMPARE(journal(), (QStringList{"2017.12.03 10:00:00|2017.12.03 10:00:09|0A1F|b|Пост (31)|" + seedWard +
                                     '|' + seedStaff + "|00:00:09"}));
}

void TestJournalWriter::keyNumbers_data()
{
    QTest::addColumn<QString>("code4");
    QTest::addColumn<QString>("text");
    QTest::newRow("1F") << "0A1F"
                        << " (31)";
    QTest::newRow("0F") << "0A0F"
                        << " (15)";
    QTest::newRow("05 keeps two digits") << "0A05"
                                         << " (05)";
    QTest::newRow("00") << "0A00"
                        << " (00)";
    QTest::newRow("FF") << "0AFF"
                        << " (255)";
    QTest::newRow("lower case") << "0Aff"
                                << " (255)";
    QTest::newRow("not hexadecimal") << "0A1Z"
                                     << " (00)";
    QTest::newRow("trailing H dropped") << "0A1H"
                                        << " (01)";
    QTest::newRow("no key") << "0A"
                            << " (00)";
}

void TestJournalWriter::keyNumbers()
{
    QFETCH(QString, code4);
    QFETCH(QString, text);
    QCOMPARE(JournalWriter::sKBcd(code4), text);
}

void TestJournalWriter::hexToInt_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("value");
    QTest::newRow("empty") << "" << 0;
    QTest::newRow("H alone") << "H" << 0;
    QTest::newRow("one digit") << "7" << 7;
    QTest::newRow("lower-case suffix") << "1fh" << 31;
    QTest::newRow("only the last H dropped") << "1HH" << 0;
    QTest::newRow("sign") << "-1" << 0;
    QTest::newRow("bad digit first") << "G1" << 0;
    QTest::newRow("largest int") << "7FFFFFFF" << std::numeric_limits<int>::max();
    QTest::newRow("too long saturates") << "FFFFFFFFFFFF" << std::numeric_limits<int>::max();
}

void TestJournalWriter::hexToInt()
{
    QFETCH(QString, text);
    QFETCH(int, value);
    QCOMPARE(JournalWriter::HexToInt(text), value);
}

void TestJournalWriter::quotesAndColumnSpellingsStayValues()
{
    m_db->executeStatement(QStringLiteral("INSERT INTO groups (name, comm) VALUES (?, '')"),
                           {"Палата \"А\""});
    m_db->executeStatement(QStringLiteral("INSERT INTO workers (name, comm) VALUES (?, '')"),
                           {"Иванова \"Маша\""});
    addPlace(QStringLiteral("abcde"), QStringLiteral("abcde"), QStringLiteral("Койка \"Люкс\""), 2, 2);
    addEntry(QStringLiteral("f6186"), QStringLiteral("2017.12.03 09:00:00"));

    QVERIFY(m_writer->IsRegistredButs(QStringLiteral("abcde")));
    m_writer->InLogButs(at(10, 0, 0), QStringLiteral("abcde"), QStringLiteral("8"));
    m_writer->flushQueue(); // the end of the dispatcher tick
    m_writer->InLogButs(at(10, 0, 3), QStringLiteral("abcde"), QStringLiteral("2"));
    m_writer->flushQueue(); // the end of the dispatcher tick

    // Only the place spelled "abcde" is concerned; the seed place's open entry stays open.
    QCOMPARE(m_events.size(), 4);
    QCOMPARE(m_events[0], QStringLiteral("notice abcde|8|Иванова \"Маша\"|Койка \"Люкс\" rows=1 closed=0"));
    QCOMPARE(journal(), (QStringList{
                            "2017.12.03 09:00:00||f6186|8|x|||",
                            "2017.12.03 10:00:00|2017.12.03 10:00:03|abcde|8|Койка \"Люкс\"|Палата \"А\"|"
                            "Иванова \"Маша\"|00:00:03",
                        }));
}

void TestJournalWriter::errorEndsTheCall_data()
{
    QTest::addColumn<QString>("setupSql");
    QTest::addColumn<QString>("f");
    QTest::addColumn<QString>("message"); // how the error message starts

    // A hand-edited timestamp on top of an older readable open entry: neither is closed.
    QTest::newRow("unreadable timestamp")
        << "INSERT INTO logs (timest, timestr, abcde, f, butsname, groupsname, workersname, reactiontime) "
           "VALUES ('garbage', '', 'f6186', '8', '', '', '', '')"
        << "2"
        << "'garbage' is not a valid date and time";
    QTest::newRow("insert refused")
        << "CREATE TRIGGER refuse BEFORE INSERT ON logs BEGIN SELECT RAISE(ABORT, 'refused'); END"
        << "8"
        << "Error executing SQL statement";
}

void TestJournalWriter::errorEndsTheCall()
{
    QFETCH(QString, setupSql);
    QFETCH(QString, f);
    QFETCH(QString, message);

    addEntry(QStringLiteral("f6186"), QStringLiteral("2017.12.03 09:00:00"));
    m_db->executeStatement(setupSql);
    const QStringList journalBefore = journal();
    m_writer->setReporters({[this](const QString& m) { m_events << "outage " + m; },
                            {},
                            [this](const QString& m) { m_events << "error " + m; }});

    m_writer->InLogButs(at(10, 0, 0), QStringLiteral("f6186"), f);
    m_writer->flushQueue();

    // The notice went out before the failure; the event that can never be written is left out and
    // reported, and the journal is unchanged. It is no outage: nothing waits.
    QCOMPARE(m_events.size(), 3);
    QVERIFY(m_events[0].startsWith(QStringLiteral("notice f6186|") + f));
    QVERIFY(m_events[1].startsWith(QStringLiteral("refresh")));
    QVERIFY2(m_events[2].startsWith("error " + message), qPrintable(m_events[2]));
    QCOMPARE(journal(), journalBefore);
    QCOMPARE(m_writer->pendingCount(), 0);
    QVERIFY(!m_writer->journalUnavailable());
}

QTEST_GUILESS_MAIN(TestJournalWriter)
#include "tst_journalwriter.moc"
