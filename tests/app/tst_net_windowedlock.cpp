// The start with windows while another program holds the database file (a backup, a viewer): the
// program listens to the antennas and pings the display stations at once, as the headless one does,
// and no box stands in the way; the windows' own reads of the file (the journal's first page, the
// drop-downs of the adding and the filter windows) are done as soon as the lock ends. What the start
// reports in a box (a section it cannot use) is shown once the start is done, not in its middle.

#include "AppFixture.h"
#include "app/Forms.h"
#include "app/Windows.h"
#include "core/db/Database.h"
#include "core/engine/WardServer.h"
#include "core/settings/IniFile.h"
#include "gui/directory/TFormAddButs.h"
#include "gui/journal/TFormFilter.h"
#include "gui/journal/TMF.h"
#include "gui/kit/StringGrid.h"

#include <sqlite3.h>

#include <QComboBox>
#include <QElapsedTimer>
#include <QNetworkDatagram>
#include <QUdpSocket>
#include <QtTest>

namespace {

QStringList items(const QComboBox* box)
{
    QStringList texts;
    for (int i = 0; i < box->count(); ++i)
        texts << box->itemText(i);
    return texts;
}

// Another program's connection to the file, holding the lock it took until it goes.
class OtherProgram
{
public:
    explicit OtherProgram(const QString& path) { sqlite3_open(QFile::encodeName(path).constData(), &m_db); }
    ~OtherProgram() { release(); }
    int exec(const QByteArray& sql) { return sqlite3_exec(m_db, sql.constData(), nullptr, nullptr, nullptr); }
    void release()
    {
        if (m_db)
            sqlite3_close(m_db);
        m_db = nullptr;
    }

private:
    sqlite3* m_db = nullptr;
};

// Whether a third program can read the places now.
bool placesReadable(const QString& path)
{
    sqlite3* reader = nullptr;
    sqlite3_open(QFile::encodeName(path).constData(), &reader);
    const int rc = sqlite3_exec(reader, "SELECT count(*) FROM buts", nullptr, nullptr, nullptr);
    sqlite3_close(reader);
    return rc == SQLITE_OK;
}

} // namespace

class TestNetWindowedLock : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void startUnderALockServesAtOnce_data();
    void startUnderALockServesAtOnce();
    void boxesOfTheStartWaitUntilItIsDone();
};

void TestNetWindowedLock::startUnderALockServesAtOnce_data()
{
    QTest::addColumn<QByteArray>("lock");
    QTest::addColumn<bool>("readable");
    // The whole file held, reads included (what a copy tool that locks the file does); a write lock
    // lets the places and the journal be read.
    QTest::newRow("exclusive lock") << QByteArray("PRAGMA locking_mode=EXCLUSIVE; BEGIN EXCLUSIVE; "
                                                  "UPDATE buts SET comm = comm;")
                                    << false;
    QTest::newRow("write lock") << QByteArray("BEGIN IMMEDIATE; UPDATE buts SET comm = comm;") << true;
}

void TestNetWindowedLock::startUnderALockServesAtOnce()
{
    QFETCH(QByteArray, lock);
    QFETCH(bool, readable);

    AppFixture app;
    // A first start made the settings file and the database; the journal holds a call of another ward.
    app.create();
    app.destroy();
    {
        auto db = db::Database::openDatabase(app.dbPath());
        db->executeStatement(QStringLiteral("INSERT INTO groups (name, comm) VALUES ('Палата 2', '')"));
        db->executeStatement(
            QStringLiteral("INSERT INTO logs (timest, timestr, abcde, f, butsname, groupsname, workersname, "
                           "reactiontime) VALUES ('2017.12.01 08:00:00', '', 'c0de0', '8', 'Койка № 9', "
                           "'Палата 2', '', '')"));
        db->closeDatabase();
    }

    OtherProgram other(app.dbPath());
    QCOMPARE(other.exec(lock), SQLITE_OK);
    QCOMPARE(placesReadable(app.dbPath()), readable);

    QUdpSocket station;
    QVERIFY(station.bind(QHostAddress::LocalHost, 5567));
    QElapsedTimer started;
    started.start();
    app.create();
    QVERIFY(app.show());
    // Nothing waits for the lock before the ports, and no box is shown: at night nobody clicks it.
    QVERIFY2(started.elapsed() < 2000, qPrintable(QString::number(started.elapsed())));
    QCOMPARE(app.dialogs.errors, QStringList());
    QUdpSocket probe;
    QVERIFY2(!probe.bind(QHostAddress::AnyIPv4, 5556, QAbstractSocket::DontShareAddress),
             "the antennas' port is not taken");

    // A display station is pinged within two seconds of the start.
    bool pinged = false;
    QElapsedTimer sinceHello;
    sinceHello.start();
    while (!pinged && started.elapsed() < 2000) {
        station.writeDatagram(QByteArrayLiteral("#ToOrvikLiteServer"), QHostAddress::LocalHost, 5566);
        QTest::qWait(50);
        while (station.hasPendingDatagrams())
            pinged = pinged || station.receiveDatagram().data() == QByteArrayLiteral("#FromOrvikLiteServer");
    }
    QVERIFY2(pinged, qPrintable(QString::number(started.elapsed())));

    QStringList notices;
    const auto drain = [&] {
        while (station.hasPendingDatagrams()) {
            const QByteArray data = station.receiveDatagram().data();
            if (data.startsWith("#f6186"))
                notices << QString::fromUtf8(data);
        }
        return notices.size();
    };
    // The antennas are heard: a call from the sample bed is announced within two seconds, named from
    // the copy of the places when not even they can be read.
    QUdpSocket antenna;
    antenna.writeDatagram(QByteArrayLiteral("f61868"), QHostAddress::LocalHost, 5556);
    QTRY_COMPARE_WITH_TIMEOUT(drain(), 1, 2000);
    if (readable) {
        QVERIFY(waitingStartupReads().isEmpty());
    } else {
        // The windows' reads wait for the file, and ask nothing of the operator meanwhile.
        QTest::qWait(700);
        QCOMPARE(waitingStartupReads(),
                 (QStringList{QStringLiteral("ButsAddForm"), QStringLiteral("FilterForm"),
                              QStringLiteral("LogForm")}));
        QVERIFY(forms().server->isRunning());
    }

    // The lock ends: every window's read is done, and the call is announced and journaled.
    other.release();
    QTRY_VERIFY_WITH_TIMEOUT(waitingStartupReads().isEmpty(), 3000);
    QTRY_COMPARE_WITH_TIMEOUT(drain(), 1, 3000);
    QCOMPARE(notices.first(), QStringLiteral("#f6186;8;Тестова Анна;Койка № 1;"));
    QVERIFY(items(forms().FormAddButs->cb4).contains(QStringLiteral("Палата 2")));
    QCOMPARE(forms().FormAddButs->cb4->currentText(), QStringLiteral("Палата 1"));
    QVERIFY(items(forms().FormFilter->cbg).contains(QStringLiteral("Палата 2")));
    QVERIFY(items(forms().FormFilter->cbp).contains(QStringLiteral("Койка № 9")));
    TMF* mf = app.mf();
    QTRY_COMPARE_WITH_TIMEOUT(mf->StringGrid1->RowCount(), 3, 3000);
    QCOMPARE(mf->StringGrid1->Cells(4, 1), QStringLiteral("Койка № 1"));
    QCOMPARE(mf->StringGrid1->Cells(4, 2), QStringLiteral("Койка № 9"));
}

void TestNetWindowedLock::boxesOfTheStartWaitUntilItIsDone()
{
    AppFixture app;
    app.create();
    app.destroy();
    {
        // An alert manager without the point of care: the start says so in a box.
        IniFile ini(app.iniPath());
        ini.writeString(QStringLiteral("Alerts"), QStringLiteral("Host"), QStringLiteral("127.0.0.1"));
        ini.writeString(QStringLiteral("Alerts"), QStringLiteral("Port"), QStringLiteral("1"));
        ini.writeString(QStringLiteral("Alerts"), QStringLiteral("PointOfCare"), QString());
    }
    bool pingingUnderTheBox = false;
    bool dispatchingUnderTheBox = false;
    bool journalReadUnderTheBox = false;
    app.dialogs.whileErrorOpen = [&] {
        WardServer* server = forms().server;
        pingingUnderTheBox = server->TimerToClients.isActive();
        dispatchingUnderTheBox = server->TimerObr.isActive();
        journalReadUnderTheBox = waitingStartupReads().isEmpty();
    };
    app.create();
    QVERIFY(app.dialogs.errors.isEmpty());
    QVERIFY(app.show());
    QCOMPARE(app.dialogs.errors.size(), 1);
    QVERIFY2(app.dialogs.errors.first().contains(QStringLiteral("PointOfCare")),
             qPrintable(app.dialogs.errors.first()));
    QVERIFY(pingingUnderTheBox);
    QVERIFY(dispatchingUnderTheBox);
    QVERIFY(journalReadUnderTheBox);
}

QTEST_MAIN(TestNetWindowedLock)
#include "tst_net_windowedlock.moc"
