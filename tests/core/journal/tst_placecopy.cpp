// The copy of the places beside the database on its own: what it keeps, damaged and hostile files
// (never used, one line on standard error, never a crash), and a write that fails.

#include "core/base/DurableFile.h"
#include "core/journal/PlaceCopy.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

QStringList warnings;
void keepWarning(QtMsgType type, const QMessageLogContext&, const QString& text)
{
    if (type == QtWarningMsg)
        warnings << text;
}

CachedPlace place(const QString& abcde, const QString& btnclr, const ButsNames& names)
{
    CachedPlace p;
    p.abcde = abcde;
    p.btnclr = btnclr;
    p.hasAbcde = true;
    p.hasBtnclr = true;
    p.names = names;
    return p;
}

// Places with everything a field can hold: Cyrillic, the separators, backslashes, empty names and
// codes that are NULL in the file.
QList<CachedPlace> samplePlaces()
{
    QList<CachedPlace> places;
    places << place(
        QStringLiteral("f6186"), QStringLiteral("f6186"),
        {QStringLiteral("Койка № 1"), QStringLiteral("Палата 1"), QStringLiteral("Тестова Анна")});
    places << place(QStringLiteral("ba5ac"), QStringLiteral("ba5a2"),
                    {QStringLiteral("a\tb\nc\rd\\e\\t"), QString(), QStringLiteral("\\")});
    CachedPlace unit = place(QStringLiteral("ab"), QString(), {QStringLiteral("Пост"), {}, {}});
    unit.hasBtnclr = false;
    places << unit;
    CachedPlace none = place(QString(), QStringLiteral("c0de2"), {});
    none.hasAbcde = false;
    places << none;
    return places;
}

QStringList describe(const QList<CachedPlace>& places)
{
    QStringList out;
    for (const CachedPlace& p : places)
        out << QStringLiteral("%1%2|%3|%4|%5|%6|%7")
                   .arg(int(p.hasAbcde))
                   .arg(int(p.hasBtnclr))
                   .arg(p.abcde, p.btnclr, p.names.P, p.names.G, p.names.S);
    return out;
}

void writeRaw(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

QByteArray readRaw(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A record line whose checksum matches whatever its payload says.
QByteArray line(const QByteArray& payload)
{
    return Durable::recordLine(payload);
}

} // namespace

class TestPlaceCopy : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void keepsEveryPlaceAsItWas();
    void damagedCopyIsNeverUsed_data();
    void damagedCopyIsNeverUsed();
    void missingCopyIsQuiet();
    void writtenOnlyWhenThePlacesDiffer();
    void failedWriteKeepsTheOldCopy();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_path;
    QtMessageHandler m_previous = nullptr;
};

void TestPlaceCopy::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_path = m_dir->filePath(QStringLiteral("orv_med.db.places"));
    warnings.clear();
    m_previous = qInstallMessageHandler(keepWarning);
}

void TestPlaceCopy::cleanup()
{
    qInstallMessageHandler(m_previous);
    Durable::setFailureSeam({});
    m_dir.reset();
}

void TestPlaceCopy::keepsEveryPlaceAsItWas()
{
    for (const QList<CachedPlace>& places : {samplePlaces(), QList<CachedPlace>{}}) {
        PlaceCopy copy(m_path);
        QVERIFY(copy.store(places));
        QList<CachedPlace> read;
        read << place(QStringLiteral("stale"), {}, {});
        PlaceCopy again(m_path);
        QCOMPARE(again.load(read), PlaceCopy::Loaded::Places);
        QCOMPARE(describe(read), describe(places));
        // A header and one record a line: no field spills over into the next.
        QCOMPARE(readRaw(m_path).count('\n'), places.size() + 1);
    }
    QVERIFY(warnings.isEmpty());
}

void TestPlaceCopy::damagedCopyIsNeverUsed_data()
{
    QTest::addColumn<QByteArray>("bytes");
    const QByteArray good = PlaceCopy::encode(samplePlaces());
    QByteArrayList lines = good.split('\n');
    lines.removeLast();
    const auto joined = [](const QByteArrayList& parts) { return parts.join('\n') + '\n'; };

    QByteArray flipped = good;
    flipped[good.indexOf("Палата") + 1] = 'X';
    QTest::newRow("checksum") << flipped;
    QByteArrayList dropped = lines;
    dropped.removeAt(2);
    QTest::newRow("a place dropped") << joined(dropped);
    QByteArrayList added = lines;
    added.insert(2, lines.at(2));
    QTest::newRow("a place twice") << joined(added);
    QTest::newRow("cut short") << good.left(good.size() - 3);
    QTest::newRow("cut before the last place") << good.left(good.indexOf(lines.last()));
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("line ends CR LF") << QByteArray(good).replace("\n", "\r\n");
    QTest::newRow("a spool") << line("HALVANE-SPOOL 1 0b8a3c44") +
                                    line("1\tE\t2017-12-03T10:00:00.000\tf6186\t8\t\t\t");
    QTest::newRow("header without a number") << line("HALVANE-PLACES 1 ") + line("11\tf6186\tf6186\tP\tG\tS");
    QTest::newRow("header number too big") << line("HALVANE-PLACES 1 99999999999");
    QTest::newRow("header negative") << line("HALVANE-PLACES 1 -1");
    QTest::newRow("bad escape") << line("HALVANE-PLACES 1 1") + line("11\tf6186\tf6186\tP\\q\tG\tS");
    QTest::newRow("escape at the end") << line("HALVANE-PLACES 1 1") + line("11\tf6186\tf6186\tP\tG\tS\\");
    QTest::newRow("bad flags") << line("HALVANE-PLACES 1 1") + line("21\tf6186\tf6186\tP\tG\tS");
    QTest::newRow("too few fields") << line("HALVANE-PLACES 1 1") + line("11\tf6186\tf6186\tP\tG");
    QTest::newRow("too many fields") << line("HALVANE-PLACES 1 1") + line("11\tf6186\tf6186\tP\tG\tS\tX");
    QTest::newRow("line too long") << line("HALVANE-PLACES 1 1") +
                                          line("11\tf6186\tf6186\t" + QByteArray(2 << 20, 'x') + "\tG\tS");
    QTest::newRow("binary") << QByteArray("\x00\xff\xfe\t\n\x01\x02", 7);
}

void TestPlaceCopy::damagedCopyIsNeverUsed()
{
    QFETCH(QByteArray, bytes);
    writeRaw(m_path, bytes);
    QList<CachedPlace> places{place(QStringLiteral("keep"), {}, {})};
    QString why;
    QVERIFY(!PlaceCopy::decode(bytes, places, &why));
    QVERIFY(!why.isEmpty());

    PlaceCopy copy(m_path);
    QCOMPARE(copy.load(places), PlaceCopy::Loaded::Damaged);
    // Nothing of it is taken; one line names the file.
    QCOMPARE(describe(places), QStringList{"11|keep||||"});
    QCOMPARE(warnings.size(), 1);
    QVERIFY2(warnings[0].contains(m_path), qPrintable(warnings[0]));

    // The next store replaces it with a whole copy.
    QVERIFY(copy.store(samplePlaces()));
    PlaceCopy again(m_path);
    QCOMPARE(again.load(places), PlaceCopy::Loaded::Places);
    QCOMPARE(describe(places), describe(samplePlaces()));
}

void TestPlaceCopy::missingCopyIsQuiet()
{
    QList<CachedPlace> places;
    QCOMPARE(PlaceCopy(m_path).load(places), PlaceCopy::Loaded::Missing);
    QCOMPARE(PlaceCopy(QString()).load(places), PlaceCopy::Loaded::Missing);
    QVERIFY(PlaceCopy(QString()).store(samplePlaces()));
    QVERIFY(warnings.isEmpty());

    // What is no file, or a file far larger than any ward's places, is not read: one line, no crash.
    QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("orv_med.db.places")));
    QCOMPARE(PlaceCopy(m_path).load(places), PlaceCopy::Loaded::Damaged);
    QVERIFY(QDir(m_dir->path()).rmdir(QStringLiteral("orv_med.db.places")));
    {
        QFile huge(m_path);
        QVERIFY(huge.open(QIODevice::WriteOnly));
        QVERIFY(huge.resize(PlaceCopy::kMaxFileBytes + 1));
    }
    QCOMPARE(PlaceCopy(m_path).load(places), PlaceCopy::Loaded::Damaged);
    QCOMPARE(warnings.size(), 2);
    QVERIFY(places.isEmpty());
}

void TestPlaceCopy::writtenOnlyWhenThePlacesDiffer()
{
    int replaces = 0;
    Durable::setFailureSeam([&replaces](Durable::Step step, const QString&) {
        if (step == Durable::Step::Rename)
            ++replaces;
        return false;
    });
    QList<CachedPlace> places = samplePlaces();
    {
        PlaceCopy copy(m_path);
        QVERIFY(copy.store(places));
        QVERIFY(copy.store(places));
        QCOMPARE(replaces, 1);
        places[0].names.P = QStringLiteral("Койка № 1А");
        QVERIFY(copy.store(places));
        QCOMPARE(replaces, 2);
    }
    // A later start whose places have not changed leaves the file as it is.
    PlaceCopy later(m_path);
    QVERIFY(later.store(places));
    QCOMPARE(replaces, 2);
    // A file removed behind its back is written again.
    QVERIFY(QFile::remove(m_path));
    QVERIFY(later.store(places));
    QCOMPARE(replaces, 3);

    // A temporary that a crash left in the middle of a replace goes at the next start, and nothing else.
    writeRaw(m_path + QStringLiteral(".partial-a1B2c3"), "half");
    writeRaw(m_path + QStringLiteral(".old"), "kept");
    PlaceCopy next(m_path);
    QVERIFY(!QFile::exists(m_path + QStringLiteral(".partial-a1B2c3")));
    QVERIFY(QFile::exists(m_path + QStringLiteral(".old")));
    QVERIFY(warnings.isEmpty());
}

void TestPlaceCopy::failedWriteKeepsTheOldCopy()
{
    PlaceCopy copy(m_path);
    QVERIFY(copy.store(samplePlaces()));
    const QByteArray before = readRaw(m_path);
    Durable::setFailureSeam([](Durable::Step step, const QString&) { return step == Durable::Step::Rename; });
    QList<CachedPlace> changed = samplePlaces();
    changed.removeFirst();
    QVERIFY(!copy.store(changed));
    QVERIFY(!copy.store(changed));
    // Said once, the old copy whole.
    QCOMPARE(warnings.size(), 1);
    QVERIFY2(warnings[0].contains(m_path), qPrintable(warnings[0]));
    QCOMPARE(readRaw(m_path), before);
    Durable::setFailureSeam({});
    QVERIFY(copy.store(changed));
    QList<CachedPlace> read;
    QCOMPARE(PlaceCopy(m_path).load(read), PlaceCopy::Loaded::Places);
    QCOMPARE(describe(read), describe(changed));
}

QTEST_GUILESS_MAIN(TestPlaceCopy)
#include "tst_placecopy.moc"
