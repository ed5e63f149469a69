#include "core/base/AppError.h"
#include "core/base/Cp1251.h"
#include "core/settings/IniFile.h"
#include "core/settings/SettingsFallback.h"

#include "Unprivileged.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// The lines in the file's code page, each followed by `eol`.
QByteArray fileOf(const QStringList& lines, const QByteArray& eol = "\r\n")
{
    QByteArray data;
    for (const QString& line : lines)
        data += Cp1251::encode(line) + eol;
    return data;
}

void putFile(const QString& path, const QByteArray& data)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(data), data.size());
}

QByteArray fileBytes(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

QString writeError(const QString& path)
{
    try {
        IniFile(path).writeString(QStringLiteral("S"), QStringLiteral("k"), QStringLiteral("v"));
    } catch (const AppError& e) {
        return e.message();
    }
    return QStringLiteral("<no error>");
}

} // namespace

class TestIniFile : public QObject
{
    Q_OBJECT

private slots:
    void readString_data();
    void readString();
    void readInteger_data();
    void readInteger();
    void write_data();
    void write();
    void handEditedFileKeepsEveryOtherLine();
    void fileIsCp1251WithCrLf();
    void readSeesHandEditsBetweenCalls();
    void loadedFileReadOnceAndHeldWritesWrittenAtOnce();
    void loadedFileThatCannotBeReadIsNeverReplaced();
    void oversizedFileReadToItsBoundAndNeverWritten_data();
    void oversizedFileReadToItsBoundAndNeverWritten();
    void overlongLineNotRead_data();
    void overlongLineNotRead();
    void byteOrderMarkMeansUtf8();
    void strayTemporariesRemoved();
    void fileModeIsTheOrdinaryOne();
    void failedWriteKeepsOldFile_data();
    void failedWriteKeepsOldFile();
    void pathBesideExecutable_data();
    void pathBesideExecutable();

private:
    QTemporaryDir m_dir;
};

void TestIniFile::readString_data()
{
    QTest::addColumn<QByteArray>("file"); // empty: no file at all
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("def");
    QTest::addColumn<QString>("expected");

    const QString longValue(3000, u'a');
    const QString capped(2047, u'a');

    QTest::newRow("plain") << fileOf({"[S]", "k=value"}) << "S"
                           << "k"
                           << "d"
                           << "value";
    QTest::newRow("blanks around value") << fileOf({"[S]", "k=  \t value with  blanks \t "}) << "S"
                                         << "k"
                                         << "d"
                                         << "value with  blanks";
    QTest::newRow("blanks around key and header") << fileOf({"  [ S ]  ", "  k  =v"}) << "S"
                                                  << "k"
                                                  << "d"
                                                  << "v";
    QTest::newRow("text after header") << fileOf({"[S] ; note", "k=v"}) << "S"
                                       << "k"
                                       << "d"
                                       << "v";
    QTest::newRow("double quotes") << fileOf({"[S]", "k= \"  in side \" "}) << "S"
                                   << "k"
                                   << "d"
                                   << "  in side ";
    QTest::newRow("single quotes") << fileOf({"[S]", "k='x y'"}) << "S"
                                   << "k"
                                   << "d"
                                   << "x y";
    QTest::newRow("quote inside pair") << fileOf({"[S]", "k=\"a\" b\""}) << "S"
                                       << "k"
                                       << "d"
                                       << "a\" b";
    QTest::newRow("mismatched quotes") << fileOf({"[S]", "k=\"abc'"}) << "S"
                                       << "k"
                                       << "d"
                                       << "\"abc'";
    QTest::newRow("lone quote") << fileOf({"[S]", "k=\""}) << "S"
                                << "k"
                                << "d"
                                << "\"";
    QTest::newRow("empty quotes") << fileOf({"[S]", "k=''"}) << "S"
                                  << "k"
                                  << "d"
                                  << "";
    QTest::newRow("empty value is not missing") << fileOf({"[S]", "k="}) << "S"
                                                << "k"
                                                << "d"
                                                << "";
    QTest::newRow("equals in value") << fileOf({"[S]", "k=a=b"}) << "S"
                                     << "k"
                                     << "d"
                                     << "a=b";
    QTest::newRow("case of names") << fileOf({"[lOgCoNsT]", "S_MIN=x"}) << "logConst"
                                   << "s_min"
                                   << "d"
                                   << "x";
    QTest::newRow("case of Cyrillic key") << fileOf({"[S]", ";ОПИСАНИЕ СЕКЦИИ=Главная форма"}) << "s"
                                          << ";Описание секции"
                                          << "d"
                                          << "Главная форма";
    QTest::newRow("first key wins") << fileOf({"[S]", "k=first", "K=second"}) << "S"
                                    << "k"
                                    << "d"
                                    << "first";
    QTest::newRow("first section wins") << fileOf({"[S]", "a=1", "[T]", "[S]", "k=late"}) << "S"
                                        << "k"
                                        << "d"
                                        << "d";
    QTest::newRow("key of another section") << fileOf({"[T]", "k=t", "[S]", "j=s"}) << "S"
                                            << "k"
                                            << "d"
                                            << "d";
    QTest::newRow("key before any section") << fileOf({"k=top", "[S]"}) << "S"
                                            << "k"
                                            << "d"
                                            << "d";
    QTest::newRow("line without equals") << fileOf({"[S]", "k"}) << "S"
                                         << "k"
                                         << "d"
                                         << "d";
    QTest::newRow("comment key") << fileOf({"[DB]", ";FileName=about", "FileName=x.db"}) << "DB"
                                 << ";FileName"
                                 << "d"
                                 << "about";
    QTest::newRow("key is not its comment") << fileOf({"[DB]", ";FileName=about"}) << "DB"
                                            << "FileName"
                                            << "d"
                                            << "d";
    QTest::newRow("LF only") << fileOf({"[S]", "k=v", "[T]"}, "\n") << "S"
                             << "k"
                             << "d"
                             << "v";
    QTest::newRow("last line unterminated") << QByteArray("[S]\r\nk=v") << "S"
                                            << "k"
                                            << "d"
                                            << "v";
    QTest::newRow("Cyrillic value") << fileOf({"[S]", "k=Режим поиска."}) << "S"
                                    << "k"
                                    << "d"
                                    << "Режим поиска.";
    QTest::newRow("long value capped") << fileOf({"[S]", "k=" + longValue}) << "S"
                                       << "k"
                                       << "d" << capped;
    QTest::newRow("missing file") << QByteArray() << "S"
                                  << "k"
                                  << "  d  "
                                  << "  d";
    QTest::newRow("missing section") << fileOf({"[T]", "k=v"}) << "S"
                                     << "k"
                                     << "прием "
                                     << "прием";
    QTest::newRow("missing key") << fileOf({"[S]", "j=v"}) << "S"
                                 << "k"
                                 << "вызов \t"
                                 << "вызов";
    QTest::newRow("long default capped") << fileOf({"[S]"}) << "S"
                                         << "k" << longValue << capped;
}

void TestIniFile::readString()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, def);
    QFETCH(QString, expected);

    const QString path = m_dir.filePath(QStringLiteral("read.ini"));
    QFile::remove(path);
    if (!file.isEmpty())
        putFile(path, file);

    QCOMPARE(IniFile(path).readString(section, key, def), expected);
}

void TestIniFile::readInteger_data()
{
    QTest::addColumn<QString>("line"); // the whole key line; empty: no such key
    QTest::addColumn<qint32>("expected");

    // The default is 77 in every row.
    QTest::newRow("decimal") << "n=5557" << 5557;
    QTest::newRow("leading zeros") << "n=007" << 7;
    QTest::newRow("minus") << "n=-12" << -12;
    QTest::newRow("plus") << "n=+7" << 7;
    QTest::newRow("blanks") << "n=  42  " << 42;
    QTest::newRow("quoted") << "n=\"42\"" << 42;
    QTest::newRow("hex 0x") << "n=0x15B5" << 5557;
    QTest::newRow("hex 0X lower digits") << "n=0X15b5" << 5557;
    QTest::newRow("hex dollar") << "n=$15B5" << 5557;
    QTest::newRow("largest") << "n=2147483647" << 2147483647;
    QTest::newRow("smallest") << "n=-2147483648" << qint32(-2147483647 - 1);
    QTest::newRow("largest hex") << "n=0x7FFFFFFF" << 2147483647;
    QTest::newRow("above 32 bits") << "n=2147483648" << 77;
    QTest::newRow("below 32 bits") << "n=-2147483649" << 77;
    QTest::newRow("2^32") << "n=4294967296" << 77;
    QTest::newRow("hex above 32 bits") << "n=0x80000000" << 77;
    QTest::newRow("huge") << "n=99999999999999999999999" << 77;
    QTest::newRow("huge hex") << "n=$FFFFFFFFFFFFFFFFFFFF" << 77;
    QTest::newRow("letters") << "n=abc" << 77;
    QTest::newRow("trailing letters") << "n=12abc" << 77;
    QTest::newRow("inner blank") << "n=1 2" << 77;
    QTest::newRow("0x alone") << "n=0x" << 77;
    QTest::newRow("dollar alone") << "n=$" << 77;
    QTest::newRow("bad hex digit") << "n=0x1G" << 77;
    QTest::newRow("signed hex") << "n=-0x10" << 77;
    QTest::newRow("sign alone") << "n=-" << 77;
    QTest::newRow("two signs") << "n=--5" << 77;
    QTest::newRow("fraction") << "n=1.5" << 77;
    QTest::newRow("empty") << "n=" << 77;
    QTest::newRow("missing") << "" << 77;
}

void TestIniFile::readInteger()
{
    QFETCH(QString, line);
    QFETCH(qint32, expected);

    const QString path = m_dir.filePath(QStringLiteral("integer.ini"));
    putFile(path, fileOf({"[S]", line}));
    QCOMPARE(IniFile(path).readInteger(QStringLiteral("S"), QStringLiteral("n"), 77), expected);
}

void TestIniFile::write_data()
{
    QTest::addColumn<QByteArray>("before"); // empty: no file
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QByteArray>("after");

    QTest::newRow("new file") << QByteArray() << "S"
                              << "k"
                              << "v" << QByteArray("[S]\r\nk=v\r\n");
    QTest::newRow("new section at end") << QByteArray("[A]\r\na=1\r\n\r\n") << "B"
                                        << "b"
                                        << "2" << QByteArray("[A]\r\na=1\r\n\r\n[B]\r\nb=2\r\n");
    QTest::newRow("new section after unterminated line") << QByteArray("[A]\na=1") << "B"
                                                         << "b"
                                                         << "2" << QByteArray("[A]\na=1\r\n[B]\r\nb=2\r\n");
    QTest::newRow("new key after last key line")
        << QByteArray("[A]\r\na=1\r\n; note\r\n\r\n[B]\r\nb=2\r\n") << "a"
        << "c"
        << "3" << QByteArray("[A]\r\na=1\r\nc=3\r\n; note\r\n\r\n[B]\r\nb=2\r\n");
    QTest::newRow("new key in section without keys") << QByteArray("[A]\r\n\r\n[B]\r\n") << "A"
                                                     << "c"
                                                     << "3" << QByteArray("[A]\r\nc=3\r\n\r\n[B]\r\n");
    QTest::newRow("new key in last unterminated section") << QByteArray("[A]\r\na=1") << "A"
                                                          << "c"
                                                          << "3" << QByteArray("[A]\r\na=1\r\nc=3\r\n");
    QTest::newRow("new key in first of two same sections")
        << QByteArray("[A]\r\na=1\r\n[B]\r\n[A]\r\n") << "A"
        << "c"
        << "3" << QByteArray("[A]\r\na=1\r\nc=3\r\n[B]\r\n[A]\r\n");
    QTest::newRow("replace keeps key spelling and LF") << QByteArray("[A]\nKey = old \nz=1\n") << "a"
                                                       << "KEY"
                                                       << "new" << QByteArray("[A]\nKey =new\nz=1\n");
    QTest::newRow("replace first of two keys") << QByteArray("[A]\r\nk=1\r\nk=2\r\n") << "A"
                                               << "k"
                                               << "3" << QByteArray("[A]\r\nk=3\r\nk=2\r\n");
    QTest::newRow("replace unterminated last line") << QByteArray("[A]\r\nk=1") << "A"
                                                    << "k"
                                                    << "2" << QByteArray("[A]\r\nk=2");
    QTest::newRow("comment key beside its key")
        << QByteArray("[DB]\r\n;FileName=about\r\nFileName=a.db\r\n") << "DB"
        << ";FileName"
        << "new" << QByteArray("[DB]\r\n;FileName=new\r\nFileName=a.db\r\n");
    QTest::newRow("blanks written as given") << QByteArray() << "S"
                                             << "k"
                                             << " a " << QByteArray("[S]\r\nk= a \r\n");
    QTest::newRow("line breaks in value") << QByteArray() << "S"
                                          << "k"
                                          << "a\r\n[T]\nb" << QByteArray("[S]\r\nk=a  [T] b\r\n");
    QTest::newRow("existing empty file") << QByteArray("") << "S"
                                         << "k"
                                         << "v" << QByteArray("[S]\r\nk=v\r\n");
}

void TestIniFile::write()
{
    QFETCH(QByteArray, before);
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(QByteArray, after);

    const QString path = m_dir.filePath(QStringLiteral("write.ini"));
    QFile::remove(path);
    if (!before.isNull())
        putFile(path, before);

    IniFile ini(path);
    ini.writeString(section, key, value);
    QCOMPARE(fileBytes(path), after);
    QVERIFY(ini.exists());
}

void TestIniFile::handEditedFileKeepsEveryOtherLine()
{
    // A file edited by hand: LF and CR LF endings mixed, a stray CR, notes, blank lines, lines the
    // reader cannot place, a byte without a character in the code page and no final line end.
    const QByteArray before = QByteArray("; written by hand\n") + "orphan=1\r\n" + "[DB]\n" +
                              Cp1251::encode(u";FileName=Имя базы данных") + "\r\n" +
                              "FileName = my.db   \n" + "\n" + "not a key line\r\n" + "[Antenna]\r\r\n" +
                              "ToPort=0x15B5\r\n" + "odd \x98 byte\n" + "  \t\r\n" + "[logConst]\n" +
                              Cp1251::encode(u"s_min=мин");
    const QString path = m_dir.filePath(QStringLiteral("hand.ini"));
    putFile(path, before);

    IniFile ini(path);
    ini.writeString(QStringLiteral("db"), QStringLiteral("FileName"), QStringLiteral("other.db"));
    ini.writeInteger(QStringLiteral("ANTENNA"), QStringLiteral("FromPort"), 5556);
    ini.writeString(QStringLiteral("logConst"), QStringLiteral("s_sec"), QStringLiteral("сек "));
    ini.writeString(QStringLiteral("New"), QStringLiteral("k"), QStringLiteral("v"));

    const QByteArray after = QByteArray("; written by hand\n") + "orphan=1\r\n" + "[DB]\n" +
                             Cp1251::encode(u";FileName=Имя базы данных") + "\r\n" + "FileName =other.db\n" +
                             "\n" + "not a key line\r\n" + "[Antenna]\r\r\n" + "ToPort=0x15B5\r\n" +
                             "FromPort=5556\r\n" + "odd \x98 byte\n" + "  \t\r\n" + "[logConst]\n" +
                             Cp1251::encode(u"s_min=мин") + "\r\n" + Cp1251::encode(u"s_sec=сек ") + "\r\n" +
                             "[New]\r\n" + "k=v\r\n";
    QCOMPARE(fileBytes(path), after);

    // The hand-written values still read as before.
    QCOMPARE(ini.readInteger(QStringLiteral("Antenna"), QStringLiteral("ToPort"), 0), 5557);
    QCOMPARE(ini.readString(QStringLiteral("DB"), QStringLiteral(";FileName"), QString()),
             QStringLiteral("Имя базы данных"));
    QCOMPARE(ini.readString(QStringLiteral("logConst"), QStringLiteral("s_sec"), QString()),
             QStringLiteral("сек"));
}

void TestIniFile::fileIsCp1251WithCrLf()
{
    const QString path = m_dir.filePath(QStringLiteral("cp1251.ini"));
    QFile::remove(path);
    IniFile ini(path);
    ini.writeString(QStringLiteral("Палаты"), QStringLiteral(";Описание секции"), QStringLiteral("Ёж ё №"));
    ini.writeInteger(QStringLiteral("Палаты"), QStringLiteral("Top"), -5);

    // Each Cyrillic letter is one byte: "П" 0xCF, "Ё" 0xA8, "ё" 0xB8, "№" 0xB9.
    QCOMPARE(fileBytes(path),
             QByteArray("[\xCF\xE0\xEB\xE0\xF2\xFB]\r\n"
                        ";\xCE\xEF\xE8\xF1\xE0\xED\xE8\xE5 \xF1\xE5\xEA\xF6\xE8\xE8=\xA8\xE6 \xB8 \xB9\r\n"
                        "Top=-5\r\n"));
    QCOMPARE(ini.readString(QStringLiteral("палаты"), QStringLiteral(";описание секции"), QString()),
             QStringLiteral("Ёж ё №"));
    QCOMPARE(ini.readInteger(QStringLiteral("Палаты"), QStringLiteral("Top"), 0), -5);
}

void TestIniFile::byteOrderMarkMeansUtf8()
{
    // Saved by an editor as UTF-8 with a byte order mark: the first section is found, its Cyrillic
    // reads right, and a write keeps the mark and the encoding.
    const QString path = m_dir.filePath(QStringLiteral("bom.ini"));
    putFile(path, QByteArray("\xEF\xBB\xBF[DB]\r\nFileName=журнал.db\r\n[LogForm]\r\nq1=Закрыть?\r\n"));
    IniFile ini(path);
    QCOMPARE(ini.readString(QStringLiteral("DB"), QStringLiteral("FileName"), QStringLiteral("orv_med.db")),
             QStringLiteral("журнал.db"));
    ini.writeString(QStringLiteral("DB"), QStringLiteral("FileName"), QStringLiteral("база.db"));
    ini.writeInteger(QStringLiteral("DB"), QStringLiteral("Top"), 7);
    QCOMPARE(fileBytes(path), QByteArray("\xEF\xBB\xBF[DB]\r\nFileName=база.db\r\nTop=7\r\n[LogForm]\r\n"
                                         "q1=Закрыть?\r\n"));
    QCOMPARE(ini.readString(QStringLiteral("LogForm"), QStringLiteral("q1"), QString()),
             QStringLiteral("Закрыть?"));
}

void TestIniFile::strayTemporariesRemoved()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("HalvaneServer.ini"));
    // Only the names this program gives its own temporaries go; copies a person named stay,
    // however much they look like a temporary.
    const QStringList stray{"HalvaneServer.ini.partial-a1B2c3", "HalvaneServer.ini.partial-ZZZZZZ",
                            "HalvaneServer.ini.partial-000000"};
    const QStringList kept{"HalvaneServer.ini",
                           "HalvaneServer.ini.backup",
                           "HalvaneServer.ini.old123",
                           "HalvaneServer.ini.a1B2c3",
                           "HalvaneServer.ini.partial-a1B2c",
                           "HalvaneServer.ini.partial-a1B2c3d",
                           "HalvaneServer.ini.partial-a1-2c3",
                           "Other.ini.partial-a1B2c3",
                           "HalvaneServer.ini.partial-a1B2c3.db"};
    for (const QString& name : stray + kept)
        putFile(dir.filePath(name), "[S]\r\n");
    QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("HalvaneServer.ini.partial-Dir123")));

    QCOMPARE(IniFile(path).removeStrayTemporaries(), int(stray.size()));
    QStringList left = QDir(dir.path()).entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot);
    left.sort();
    QStringList expected = kept + QStringList{"HalvaneServer.ini.partial-Dir123"};
    expected.sort();
    QCOMPARE(left, expected);
}

void TestIniFile::fileModeIsTheOrdinaryOne()
{
#ifdef Q_OS_WIN
    QSKIP("file modes are a POSIX matter");
#else
    const mode_t saved = ::umask(022);
    const auto restore = qScopeGuard([saved] { ::umask(saved); });
    const auto modeOf = [](const QString& path) {
        struct stat st;
        return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
    };

    // A new file: what any program's new file gets under this umask, not owner-only.
    const QString created = m_dir.filePath(QStringLiteral("created.ini"));
    QFile::remove(created);
    IniFile(created).writeString(QStringLiteral("S"), QStringLiteral("k"), QStringLiteral("v"));
    QCOMPARE(modeOf(created), 0644);
    ::umask(027);
    const QString other = m_dir.filePath(QStringLiteral("created2.ini"));
    QFile::remove(other);
    IniFile(other).writeString(QStringLiteral("S"), QStringLiteral("k"), QStringLiteral("v"));
    QCOMPARE(modeOf(other), 0640);

    // An existing file keeps its own mode through every write.
    QVERIFY(::chmod(QFile::encodeName(created).constData(), 0604) == 0);
    IniFile(created).writeString(QStringLiteral("S"), QStringLiteral("k"), QStringLiteral("w"));
    QCOMPARE(modeOf(created), 0604);
#endif
}

void TestIniFile::readSeesHandEditsBetweenCalls()
{
    const QString path = m_dir.filePath(QStringLiteral("edits.ini"));
    QFile::remove(path);
    IniFile ini(path);
    QVERIFY(!ini.exists());
    ini.writeString(QStringLiteral("S"), QStringLiteral("k"), QStringLiteral("one"));
    QCOMPARE(ini.readString(QStringLiteral("S"), QStringLiteral("k"), QString()), QStringLiteral("one"));

    putFile(path, "[S]\r\nk=two\r\n");
    QCOMPARE(ini.readString(QStringLiteral("S"), QStringLiteral("k"), QString()), QStringLiteral("two"));

    QVERIFY(QFile::remove(path));
    QCOMPARE(ini.readString(QStringLiteral("S"), QStringLiteral("k"), QStringLiteral("gone")),
             QStringLiteral("gone"));
    QVERIFY(!ini.exists());
}

void TestIniFile::loadedFileReadOnceAndHeldWritesWrittenAtOnce()
{
    const QString path = m_dir.filePath(QStringLiteral("loaded.ini"));
    putFile(path, "[S]\r\nk=one\r\n");
    const quint64 reads = IniFile::fileReads();
    IniFile ini = IniFile::load(path);
    const IniFile copy = ini;
    for (int i = 0; i < 50; ++i)
        QCOMPARE(copy.readString(QStringLiteral("S"), QStringLiteral("k"), QString()), QStringLiteral("one"));
    QCOMPARE(IniFile::fileReads() - reads, quint64(1));

    // Held writes change what every copy reads, and not the file, until they are written together.
    const quint64 writes = IniFile::fileWrites();
    ini.holdWrites();
    ini.writeString(QStringLiteral("S"), QStringLiteral("k"), QStringLiteral("two"));
    ini.writeInteger(QStringLiteral("T"), QStringLiteral("n"), 3);
    QCOMPARE(copy.readString(QStringLiteral("S"), QStringLiteral("k"), QString()), QStringLiteral("two"));
    QCOMPARE(fileBytes(path), QByteArray("[S]\r\nk=one\r\n"));
    ini.writeHeld();
    QCOMPARE(fileBytes(path), QByteArray("[S]\r\nk=two\r\n[T]\r\nn=3\r\n"));
    QCOMPARE(IniFile::fileWrites() - writes, quint64(1));
    // Nothing more to write.
    ini.writeHeld();
    QCOMPARE(IniFile::fileWrites() - writes, quint64(1));

    // A later write goes to the file at once and keeps a hand edit made since the load.
    putFile(path, "[S]\r\nk=two\r\nhand=edit\r\n[T]\r\nn=3\r\n");
    ini.writeString(QStringLiteral("T"), QStringLiteral("n"), QStringLiteral("4"));
    QCOMPARE(fileBytes(path), QByteArray("[S]\r\nk=two\r\nhand=edit\r\n[T]\r\nn=4\r\n"));
    QCOMPARE(copy.readString(QStringLiteral("S"), QStringLiteral("hand"), QString()), QStringLiteral("edit"));
}

void TestIniFile::loadedFileThatCannotBeReadIsNeverReplaced()
{
    const Unprivileged user; // root would read it
    QVERIFY(user.ok());
    const QString path = user.filePath(QStringLiteral("unreadable.ini"));
    putFile(path, "[S]\r\nk=one\r\n");
    QVERIFY(QFile::setPermissions(path, QFile::WriteOwner));
    auto restore = qScopeGuard([&] { QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner); });
    IniFile ini = IniFile::load(path);
    QCOMPARE(ini.readString(QStringLiteral("S"), QStringLiteral("k"), QStringLiteral("def")),
             QStringLiteral("def"));
    // Held writes wait in memory; the file is never replaced by them.
    ini.holdWrites();
    ini.writeString(QStringLiteral("S"), QStringLiteral("k"), QStringLiteral("v"));
    QVERIFY_THROWS_EXCEPTION(AppError, ini.writeHeld());
    restore.dismiss();
    QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner));
    QCOMPARE(fileBytes(path), QByteArray("[S]\r\nk=one\r\n"));
}

void TestIniFile::oversizedFileReadToItsBoundAndNeverWritten_data()
{
    QTest::addColumn<bool>("loaded");
    QTest::newRow("loaded") << true;
    QTest::newRow("read at every call") << false;
}

void TestIniFile::oversizedFileReadToItsBoundAndNeverWritten()
{
    QFETCH(bool, loaded);
    // A person's file grown past the bound: its first keys, junk, a key whose line crosses the bound,
    // and a key past it.
    QByteArray data = "[S]\r\nk=one\r\n[Junk]\r\n";
    const QByteArray junk = "j=" + QByteArray(98, 'x') + "\r\n";
    while (data.size() + junk.size() <= IniFile::kMaxFileBytes - 10)
        data += junk;
    data += "[Late]\r\ncut=" + QByteArray(100, '7') + "\r\nlast=1\r\n";
    QVERIFY(data.size() > IniFile::kMaxFileBytes);
    const QString path = m_dir.filePath(QStringLiteral("oversized.ini"));
    putFile(path, data);

    QStringList told;
    SettingsFallbacks::forget();
    SettingsFallbacks::setSink([&told](const QString& line) { told << line; });
    auto restore = qScopeGuard([] { SettingsFallbacks::setSink({}); });
    IniFile ini = loaded ? IniFile::load(path) : IniFile(path);
    const auto read = [&](const char* section, const char* key) {
        return ini.readString(QLatin1String(section), QLatin1String(key), QStringLiteral("def"));
    };
    QCOMPARE(read("S", "k"), QStringLiteral("one"));
    QCOMPARE(read("Junk", "j"), QString(98, u'x'));
    // The line the bound cuts is not read as a shorter number: it is not read at all.
    QCOMPARE(read("Late", "cut"), QStringLiteral("def"));
    QCOMPARE(read("Late", "last"), QStringLiteral("def"));
    QCOMPARE(told.size(), 1);
    QVERIFY2(told.first().startsWith(
                 QStringLiteral("oversized.ini is %1 bytes long, more than the 1048576").arg(data.size())) &&
                 told.first().contains(QStringLiteral("never writes the file")),
             qPrintable(told.first()));

    // Nothing is ever written over it: neither a key nor the held writes of a start.
    QVERIFY_THROWS_EXCEPTION(
        AppError, ini.writeString(QStringLiteral("S"), QStringLiteral("k"), QStringLiteral("two")));
    if (loaded) {
        // A start holds its writes, reads them back and is told that they cannot be saved.
        ini.holdWrites();
        ini.writeString(QStringLiteral("S"), QStringLiteral("k"), QStringLiteral("two"));
        QCOMPARE(read("S", "k"), QStringLiteral("two"));
        QVERIFY_THROWS_EXCEPTION(AppError, ini.writeHeld());
    }
    QCOMPARE(fileBytes(path), data);
}

void TestIniFile::overlongLineNotRead_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<QString>("told"); // how the line told about it ends
    QTest::addColumn<QString>("key");  // a key of [S] and what it then reads as
    QTest::addColumn<QString>("expected");

    const QByteArray huge(IniFile::kMaxLineBytes, 'v');
    QTest::newRow("key line") << QByteArray("big=" + huge)
                              << "it is not read (key big reads as missing and takes its default)"
                              << "big"
                              << "def";
    QTest::newRow("note") << QByteArray(";" + huge) << "it is not read (it holds no key)"
                          << "k"
                          << "1";
    // The keys below it are nobody's: not taken for keys of the section before it.
    QTest::newRow("header") << QByteArray("[" + huge + "]")
                            << "it is not read (a section header: no key of that section is read)"
                            << "k"
                            << "def";
}

void TestIniFile::overlongLineNotRead()
{
    QFETCH(QByteArray, line);
    QFETCH(QString, told);
    QFETCH(QString, key);
    QFETCH(QString, expected);

    const QString path = m_dir.filePath(QStringLiteral("longline.ini"));
    putFile(path, "[S]\r\n" + line + "\r\nk=1\r\n");
    QStringList lines;
    SettingsFallbacks::forget();
    SettingsFallbacks::setSink([&lines](const QString& text) { lines << text; });
    auto restore = qScopeGuard([] { SettingsFallbacks::setSink({}); });
    const IniFile ini = IniFile::load(path);
    QCOMPARE(ini.readString(QStringLiteral("S"), key, QStringLiteral("def")), expected);
    QCOMPARE(lines,
             QStringList{
                 QStringLiteral("longline.ini line 2 is %1 bytes long, more than the 65536 a line may hold: ")
                     .arg(line.size()) +
                 told});
}

void TestIniFile::failedWriteKeepsOldFile_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("missing directory") << "missing directory";
    QTest::newRow("path is a directory") << "path is a directory";
    QTest::newRow("parent is a file") << "parent is a file";
    QTest::newRow("read-only file") << "read-only file";
    QTest::newRow("read-only directory") << "read-only directory";
    QTest::newRow("unreadable file") << "unreadable file";
}

void TestIniFile::failedWriteKeepsOldFile()
{
    QFETCH(QString, how);

    const Unprivileged user; // the permissions hold for root too
    QVERIFY(user.ok());
    const Unprivileged& dir = user;
    const QByteArray old("[S]\r\nk=old\r\n");
    QString path = dir.filePath(QStringLiteral("HalvaneServer.ini"));
    QFile::Permissions restore;
    QString restorePath;
    const auto restorePermissions = qScopeGuard([&] {
        if (!restorePath.isEmpty())
            QFile::setPermissions(restorePath, restore);
    });
    const auto lockDown = [&](const QString& target, QFile::Permissions permissions) {
        restorePath = target;
        restore = QFile::permissions(target);
        QVERIFY(QFile::setPermissions(target, permissions));
    };

    if (how == "missing directory") {
        path = dir.filePath(QStringLiteral("no/such/HalvaneServer.ini"));
    } else if (how == "path is a directory") {
        QVERIFY(QDir(dir.path()).mkdir(QStringLiteral("HalvaneServer.ini")));
    } else if (how == "parent is a file") {
        putFile(dir.filePath(QStringLiteral("plain")), old);
        path = dir.filePath(QStringLiteral("plain/HalvaneServer.ini"));
    } else if (how == "read-only file") {
        putFile(path, old);
        lockDown(path, QFile::ReadOwner | QFile::ReadUser);
        QFile probe(path);
        QVERIFY(!probe.open(QIODevice::ReadWrite));
    } else if (how == "read-only directory") {
        putFile(path, old);
        lockDown(dir.path(), QFile::ReadOwner | QFile::ExeOwner | QFile::ReadUser | QFile::ExeUser);
        QFile probe(dir.filePath(QStringLiteral("probe")));
        QVERIFY(!probe.open(QIODevice::WriteOnly));
    } else if (how == "unreadable file") {
        putFile(path, old);
        lockDown(path, QFile::WriteOwner | QFile::WriteUser);
        QFile probe(path);
        QVERIFY(!probe.open(QIODevice::ReadOnly));
    }

    QCOMPARE(writeError(path), QStringLiteral("Unable to write to ") + path);

    if (restorePath == path) {
        QFile::setPermissions(restorePath, restore);
        restorePath.clear();
    }
    if (how.startsWith(u"read-only") || how == "unreadable file") {
        QCOMPARE(fileBytes(path), old);
        // Nothing half-written is left beside it either.
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden),
                 QStringList{QStringLiteral("HalvaneServer.ini")});
    }
}

void TestIniFile::pathBesideExecutable_data()
{
    QTest::addColumn<QString>("exe");
    QTest::addColumn<QString>("ini");
    QTest::newRow("exe") << "/opt/halvane/HalvaneServer.exe"
                         << "/opt/halvane/HalvaneServer.ini";
    QTest::newRow("no extension") << "/opt/halvane/HalvaneServer"
                                  << "/opt/halvane/HalvaneServer.ini";
    QTest::newRow("dotted directory") << "/opt/v1.2/HalvaneServer"
                                      << "/opt/v1.2/HalvaneServer.ini";
    QTest::newRow("dotted name") << "/opt/Halvane.Server.exe"
                                 << "/opt/Halvane.Server.ini";
}

void TestIniFile::pathBesideExecutable()
{
    QFETCH(QString, exe);
    QFETCH(QString, ini);
    QCOMPARE(IniFile::pathBesideExecutable(exe), ini);
}

QTEST_GUILESS_MAIN(TestIniFile)
#include "tst_inifile.moc"
