// The alert outbox on the project's durable log: messages and started alerts survive a reopen in
// order, control ids never repeat (also after compaction and a torn last record), and a file that is
// no outbox is left alone.

#include "core/alerts/AlertOutbox.h"

#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <QTemporaryDir>
#include <QtTest>

namespace {

QByteArray message(const QString& id, int n)
{
    return "MSH|^~\\&|HALVANE|||||ORU^R40^ORU_R40|" + id.toLatin1() + "|P|2.6\rOBX|" + QByteArray::number(n) +
           "\r";
}

QString add(AlertOutbox& box, int n)
{
    return box.append([n](const QString& id) { return message(id, n); });
}

QList<QByteArray> drain(AlertOutbox& box)
{
    QList<QByteArray> out;
    while (const AlertOutbox::Message* head = box.head()) {
        out << head->bytes;
        box.done(head->controlId);
    }
    return out;
}

AlertSubject subject(const QString& key)
{
    AlertSubject s;
    s.key = key;
    s.place = QStringLiteral("Койка № 1");
    s.time = QDateTime::fromMSecsSinceEpoch(1709291109000);
    return s;
}

} // namespace

class TestAlertOutbox : public QObject
{
    Q_OBJECT

private slots:
    void reopenKeepsMessagesAndAlertsInOrder();
    void controlIdsNeverRepeat();
    void tornLastRecordIsSkipped();
    void compactionKeepsWhatCounts();
    void foreignFileIsLeftAlone();
};

void TestAlertOutbox::reopenKeepsMessagesAndAlertsInOrder()
{
    QTemporaryDir dir;
    const QString path = AlertOutbox::pathBesideDatabase(dir.filePath(QStringLiteral("orv_med.db")));
    QCOMPARE(path, dir.filePath(QStringLiteral("orv_med.db.alerts-outbox")));
    QStringList ids;
    {
        AlertOutbox box(path);
        QVERIFY2(box.open(), qPrintable(box.errorString()));
        for (int n = 1; n <= 4; ++n)
            ids << add(box, n);
        box.started(subject(QStringLiteral("C1")));
        box.started(subject(QStringLiteral("C2")));
        box.ended(QStringLiteral("C1"));
        box.done(ids[1]); // not the head: ignored
        box.done(ids[0]);
        QCOMPARE(box.pendingCount(), 3);
        // No sync: a killed process leaves what its appends wrote.
    }
    AlertOutbox box(path);
    QVERIFY(box.open());
    QCOMPARE(box.pendingCount(), 3);
    QCOMPARE(box.head()->controlId, ids[1]);
    QCOMPARE(box.head()->bytes, message(ids[1], 2));
    QCOMPARE(drain(box), (QList<QByteArray>{message(ids[1], 2), message(ids[2], 3), message(ids[3], 4)}));
    QCOMPARE(box.live().keys(), QStringList{QStringLiteral("C2")});
    QCOMPARE(box.live().value(QStringLiteral("C2")), subject(QStringLiteral("C2")));
}

void TestAlertOutbox::controlIdsNeverRepeat()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("o"));
    QSet<QString> seen;
    qint64 last = 0;
    for (int run = 0; run < 3; ++run) {
        AlertOutbox box(path);
        QVERIFY(box.open());
        for (int n = 0; n < 3; ++n) {
            const QString id = add(box, n);
            QVERIFY2(!seen.contains(id), qPrintable(id));
            QVERIFY(id.toLongLong() > last);
            last = id.toLongLong();
            seen.insert(id);
        }
        drain(box); // all done: only the header's number remembers them
    }
    // A fresh outbox starts from the present time, far above the numbers of a small one.
    QVERIFY(last > QDateTime::currentMSecsSinceEpoch() * 1000 - 3600LL * 1000 * 1000);
}

void TestAlertOutbox::tornLastRecordIsSkipped()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("o"));
    QString second;
    {
        AlertOutbox box(path);
        QVERIFY(box.open());
        add(box, 1);
        second = add(box, 2);
    }
    // A power loss in the middle of the last append.
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadWrite));
        file.resize(file.size() - 5);
    }
    AlertOutbox box(path);
    QVERIFY(box.open());
    QCOMPARE(box.pendingCount(), 1);
    QCOMPARE(box.damagedRecords(), 1);
    // Numbering goes on after the last whole record. The torn one's number may come again: its
    // message never left, since a message goes only once its record is flushed whole.
    const QString third = add(box, 3);
    QVERIFY(third.toLongLong() > box.head()->controlId.toLongLong());
    QCOMPARE(third, second);
    AlertOutbox reread(path);
    QVERIFY(reread.open());
    QCOMPARE(reread.pendingCount(), 2);
}

void TestAlertOutbox::compactionKeepsWhatCounts()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("o"));
    AlertOutbox box(path);
    QVERIFY(box.open());
    box.started(subject(QStringLiteral("C7")));
    // Well over the bound of a file worth writing anew, nearly all of it done with.
    const QByteArray filler(2000, 'x');
    for (int n = 0; n < 1500; ++n) {
        const QString id = box.append([&](const QString& cid) { return message(cid, n) + filler; });
        box.done(id);
        box.compactIfWorthIt();
    }
    const QString kept = add(box, 9);
    QVERIFY(QFileInfo(path).size() < 1024 * 1024 + 4096);
    AlertOutbox reread(path);
    QVERIFY(reread.open());
    QCOMPARE(reread.pendingCount(), 1);
    QCOMPARE(reread.head()->controlId, kept);
    QCOMPARE(reread.live().keys(), QStringList{QStringLiteral("C7")});
    QVERIFY(reread.nextId() > kept.toLongLong());
}

void TestAlertOutbox::foreignFileIsLeftAlone()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("o"));
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("somebody's notes\n");
    }
    AlertOutbox box(path);
    QVERIFY(!box.open());
    QVERIFY(!box.errorString().isEmpty());
    // The messages still go, from memory.
    const QString id = add(box, 1);
    QCOMPARE(box.head()->controlId, id);
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("somebody's notes\n"));
}

QTEST_GUILESS_MAIN(TestAlertOutbox)
#include "tst_alertoutbox.moc"
