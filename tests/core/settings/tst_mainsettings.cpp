#include "core/base/AppError.h"
#include "core/base/Cp1251.h"
#include "core/settings/IniFile.h"
#include "core/settings/MainSettings.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

namespace {

// The design geometry handed to InitDef; x and y differ so that Top and Left cannot be swapped.
const QRect kDesign(3, 4, 722, 491);

// The whole file a first start writes for the main window, line by line.
QStringList firstStartFile()
{
    return {
        "[DB]",
        ";FileName=Имя базы данных. По умолчанию orvlite.db.",
        "FileName=orv_med.db",
        "[Antenna]",
        ";ToPort=номер UDP-порта в который ... ",
        ";FromPort=номер UDP-порта из которого ... ",
        "ToPort=5557",
        "FromPort=5556",
        "[VisualizationClient]",
        ";ToPort=номер UDP-порта в который ... ",
        ";FromPort=номер UDP-порта из которого ... ",
        ";ToPing=пингующая строка от сервера клиенту",
        ";FromPing=пингующая строка от клиента к серверу",
        "ToPort=5567",
        "FromPort=5566",
        "ToPing=#FromOrvikLiteServer",
        "FromPing=#ToOrvikLiteServer",
        "[LogForm]",
        ";Описание секции=Главная форма",
        ";ant0text=Статус. Подключенные антенны не найдены.",
        ";ant1text=Статус. Подключена антенна N",
        ";antNtext=Статус. Подключены антенны N,N",
        ";reg0text=Статус. Режим добавления.",
        ";reg1text=Статус. Режим поиска.",
        ";reg2text=Статус. Режим регистрации.",
        ";q1=Вопрос. Действительно закрыть программу?",
        ";mInExcel=Пункт меню: В excel",
        ";mm1=Пункт меню: Журнал событий",
        ";mm11=Пункт меню: Фильтр",
        ";mm12=Пункт меню: Очистка",
        ";mm2=Пункт меню: База",
        ";mm21=Пункт меню: Палаты",
        ";mm22=Пункт меню: Койки",
        ";mm23=Пункт меню: Ответственные",
        ";colНОМЕР_СТОЛБЦА=описание столбца N",
        ";colНОМЕР_СТОЛБЦАw=ширина столбца N",
        ";col0=Дата",
        ";col1=Время",
        ";col2=Время подтв.",
        ";col3=Палата",
        ";col4=Койка",
        ";col5=Ответственный",
        ";col6=Тип",
        ";col7=Реакция",
        "Caption=HalvaneServer lite",
        "Top=4",
        "Left=3",
        "Height=491",
        "Width=722",
        "ant0text=Подключенные антенны не найдены.",
        "ant1text=Подключена антенна ",
        "antNtext=Подключены антенны ",
        "reg0text=Режим добавления.",
        "reg1text=Режим поиска.",
        "reg2text=Режим регистрации.",
        "excelFileName=журнал",
        "q1=Действительно закрыть программу?",
        "mInExcel=В Excel",
        "mm1=Журнал событий",
        "mm11=Фильтр",
        "mm12=Очистка",
        "mm2=База",
        "mm21=Палаты",
        "mm22=Койки",
        "mm23=Ответственные",
        "col0=Дата",
        "col0w=50",
        "col1=Время",
        "col1w=50",
        "col2=Время подтв.",
        "col2w=50",
        "col3=Палата",
        "col3w=50",
        "col4=Место",
        "col4w=50",
        "col5=Ответственный",
        "col5w=50",
        "col6=Тип",
        "col6w=50",
        "col7=Реакция",
        "col7w=50",
        "[logConst]",
        ";Описание секции=Константы отчёта",
        ";s_min=мин ",
        ";s_sec=сек ",
        ";s_noreaction=пропущено",
        ";s_maxreactiontime=01:00:00 - если больше то пропущено",
        ";s_mНОМЕР_МЕСЯЦА=Обозн. месяца ",
        ";log_r8=вызов",
        ";log_r4=прием ",
        ";log_rb=вызов отв.",
        "s_min=мин ",
        "s_sec=сек ",
        "s_noreaction=пропущено",
        "s_maxreactiontime=01:00:00",
        "s_m01=янв",
        "s_m02=фев",
        "s_m03=мар",
        "s_m04=апр",
        "s_m05=май",
        "s_m06=июн",
        "s_m07=июл",
        "s_m08=авг",
        "s_m09=сен",
        "s_m10=окт",
        "s_m11=ноя",
        "s_m12=дек",
        "log_r8=вызов",
        "log_r4=прием ",
        "log_rb=вызов отв.",
    };
}

// Every value read, as "field=value" lines, so that whole results compare at once and a difference
// names its field.
QStringList describe(const MainSettingsValues& v)
{
    QStringList out{
        "dbFileName=" + v.dbFileName,
        "ToAntPort=" + QString::number(v.ToAntPort),
        "FromAntPort=" + QString::number(v.FromAntPort),
        "ToClientsPort=" + QString::number(v.ToClientsPort),
        "FromClientsPort=" + QString::number(v.FromClientsPort),
        "sToClient=" + v.sToClient,
        "sFromClient=" + v.sFromClient,
        "ant0text=" + v.ant0text,
        "ant1text=" + v.ant1text,
        "antNtext=" + v.antNtext,
        "reg0text=" + v.reg0text,
        "reg1text=" + v.reg1text,
        "reg2text=" + v.reg2text,
        "excelFileName=" + v.excelFileName,
        "q1=" + v.q1,
        "mInExcel=" + v.mInExcel,
        "mm1=" + v.mm1,
        "mm11=" + v.mm11,
        "mm12=" + v.mm12,
        "mm2=" + v.mm2,
        "mm21=" + v.mm21,
        "mm22=" + v.mm22,
        "mm23=" + v.mm23,
    };
    for (int n = 0; n < 8; ++n)
        out << QStringLiteral("col%1=%2").arg(n).arg(v.col[std::size_t(n)]);
    for (int n = 0; n < 8; ++n)
        out << QStringLiteral("col%1w=%2").arg(n).arg(v.colw[std::size_t(n)]);
    out << "s_min=" + v.s_min << "s_sec=" + v.s_sec << "s_noreaction=" + v.s_noreaction
        << "s_maxreactiontime=" + v.s_maxreactiontime;
    for (int m = 0; m < 12; ++m)
        out << QStringLiteral("s_m%1=%2").arg(m + 1, 2, 10, QLatin1Char('0')).arg(v.s_m[std::size_t(m)]);
    out << "log_r8=" + v.log_r8 << "log_r4=" + v.log_r4 << "log_rb=" + v.log_rb;
    return out;
}

// What a first start reads back: the written values, without their trailing blanks.
QStringList firstStartValues()
{
    return {
        "dbFileName=orv_med.db",
        "ToAntPort=5557",
        "FromAntPort=5556",
        "ToClientsPort=5567",
        "FromClientsPort=5566",
        "sToClient=#FromOrvikLiteServer",
        "sFromClient=#ToOrvikLiteServer",
        "ant0text=Подключенные антенны не найдены.",
        "ant1text=Подключена антенна",
        "antNtext=Подключены антенны",
        "reg0text=Режим добавления.",
        "reg1text=Режим поиска.",
        "reg2text=Режим регистрации.",
        "excelFileName=журнал",
        "q1=Действительно закрыть программу?",
        "mInExcel=В Excel",
        "mm1=Журнал событий",
        "mm11=Фильтр",
        "mm12=Очистка",
        "mm2=База",
        "mm21=Палаты",
        "mm22=Койки",
        "mm23=Ответственные",
        "col0=Дата",
        "col1=Время",
        "col2=Время подтв.",
        "col3=Палата",
        "col4=Место",
        "col5=Ответственный",
        "col6=Тип",
        "col7=Реакция",
        "col0w=50",
        "col1w=50",
        "col2w=50",
        "col3w=50",
        "col4w=50",
        "col5w=50",
        "col6w=50",
        "col7w=50",
        "s_min=мин",
        "s_sec=сек",
        "s_noreaction=пропущено",
        "s_maxreactiontime=01:00:00",
        "s_m01=янв",
        "s_m02=фев",
        "s_m03=мар",
        "s_m04=апр",
        "s_m05=май",
        "s_m06=июн",
        "s_m07=июл",
        "s_m08=авг",
        "s_m09=сен",
        "s_m10=окт",
        "s_m11=ноя",
        "s_m12=дек",
        "log_r8=вызов",
        "log_r4=прием",
        "log_rb=вызов отв.",
    };
}

QByteArray encodeLines(const QStringList& lines)
{
    QByteArray data;
    for (const QString& line : lines)
        data += Cp1251::encode(line) + "\r\n";
    return data;
}

QStringList fileLines(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList lines = Cp1251::decode(file.readAll()).split(QStringLiteral("\r\n"));
    if (!lines.isEmpty() && lines.back().isEmpty())
        lines.removeLast();
    return lines;
}

bool putLines(const QString& path, const QStringList& lines)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    return file.write(encodeLines(lines)) >= 0;
}

// Replaces the line of `key` in `section` (the text before "=" compared as written), or removes it
// when `line` is null.
void editLine(QStringList& lines, const QString& section, const QString& key, const QString& line)
{
    const qsizetype header = lines.indexOf(u'[' + section + u']');
    QVERIFY(header >= 0);
    for (qsizetype i = header + 1; i < lines.size() && !lines[i].startsWith(u'['); ++i) {
        if (lines[i].startsWith(key + u'=')) {
            if (line.isNull())
                lines.removeAt(i);
            else
                lines[i] = line;
            return;
        }
    }
    QFAIL(qPrintable("no key " + key + " in " + section));
}

} // namespace

class TestMainSettings : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void firstStartWritesWholeSections();
    void existingEmptyFile();
    void handEdits_data();
    void handEdits();
    void clientKeysCannotBeWritten();
    void InitSaveReplacesInPlace();

private:
    void firstStart();

    QTemporaryDir m_dir;
    QString m_path;
};

void TestMainSettings::init()
{
    m_path = m_dir.filePath(QStringLiteral("HalvaneServer.ini"));
    QFile::remove(m_path);
}

// The file as a first start leaves it (firstStartWritesWholeSections checks that it does).
void TestMainSettings::firstStart()
{
    QVERIFY(putLines(m_path, firstStartFile()));
}

void TestMainSettings::firstStartWritesWholeSections()
{
    IniFile ini(m_path);
    QVERIFY(!ini.exists());
    MainSettings::InitComm(ini);
    MainSettings::InitDef(ini, kDesign);
    const MainSettingsValues values = MainSettings::read(ini);

    QCOMPARE(fileLines(m_path), firstStartFile());
    QFile file(m_path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), encodeLines(firstStartFile()));

    QCOMPARE(describe(values), firstStartValues());
    QCOMPARE(ini.readString(QStringLiteral("LogForm"), QStringLiteral("Caption"), QString()),
             MainSettings::kDesignCaption);
}

void TestMainSettings::existingEmptyFile()
{
    QVERIFY(putLines(m_path, {}));
    IniFile ini(m_path);
    const MainSettingsValues values = MainSettings::read(ini);

    QCOMPARE(fileLines(m_path), QStringList({"[VisualizationClient]", "ToPort=5567", "FromPort=5566",
                                             "ToPing=#FromOrvikLiteServer", "FromPing=#ToOrvikLiteServer"}));

    // With nothing in the file every value is its read default; two of those differ from what a
    // first start writes.
    QStringList expected = firstStartValues();
    expected.replace(expected.indexOf("col4=Место"), "col4=Койка");
    expected.replace(expected.indexOf("log_r4=прием"), "log_r4=вызов");
    QCOMPARE(describe(values), expected);
}

void TestMainSettings::handEdits_data()
{
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("line");  // null: the key's line is removed
    QTest::addColumn<QString>("value"); // the "field=value" line expected from read

    QTest::newRow("port in hex") << "Antenna"
                                 << "ToPort"
                                 << "ToPort=0x15B5"
                                 << "ToAntPort=5557";
    QTest::newRow("port in letters") << "Antenna"
                                     << "ToPort"
                                     << "ToPort=abc"
                                     << "ToAntPort=5557";
    QTest::newRow("port empty") << "Antenna"
                                << "ToPort"
                                << "ToPort="
                                << "ToAntPort=5557";
    QTest::newRow("port changed") << "Antenna"
                                  << "FromPort"
                                  << "FromPort=6000"
                                  << "FromAntPort=6000";
    QTest::newRow("client port overwritten") << "VisualizationClient"
                                             << "ToPort"
                                             << "ToPort=1234"
                                             << "ToClientsPort=5567";
    QTest::newRow("client ping overwritten") << "VisualizationClient"
                                             << "FromPing"
                                             << "FromPing=#Other"
                                             << "sFromClient=#ToOrvikLiteServer";
    QTest::newRow("quoted text") << "LogForm"
                                 << "q1"
                                 << "q1=\"  Закрыть?  \""
                                 << "q1=  Закрыть?  ";
    QTest::newRow("database name") << "DB"
                                   << "FileName"
                                   << "FileName = data/journal.db "
                                   << "dbFileName=data/journal.db";
    QTest::newRow("column 4 missing") << "LogForm"
                                      << "col4" << QString() << "col4=Койка";
    QTest::newRow("log_r4 missing") << "logConst"
                                    << "log_r4" << QString() << "log_r4=вызов";
    QTest::newRow("width missing") << "LogForm"
                                   << "col2w" << QString() << "col2w=50";
    QTest::newRow("width in letters") << "LogForm"
                                      << "col7w"
                                      << "col7w=wide"
                                      << "col7w=50";
}

void TestMainSettings::handEdits()
{
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, line);
    QFETCH(QString, value);

    firstStart();
    QStringList lines = fileLines(m_path);
    editLine(lines, section, key, line);
    QVERIFY(putLines(m_path, lines));

    IniFile ini(m_path);
    const QStringList read = describe(MainSettings::read(ini));
    QVERIFY2(read.contains(value), qPrintable(read.join(u'\n')));

    // Only the four client keys are written back; a bad text elsewhere stays in the file.
    QStringList expectedFile = lines;
    if (section == "VisualizationClient")
        expectedFile = firstStartFile();
    QCOMPARE(fileLines(m_path), expectedFile);
}

void TestMainSettings::clientKeysCannotBeWritten()
{
    const QString path = m_dir.filePath(QStringLiteral("missing/HalvaneServer.ini"));
    IniFile ini(path);
    try {
        MainSettings::read(ini);
        QFAIL("read went on without its client keys");
    } catch (const AppError& e) {
        QCOMPARE(e.message(), QStringLiteral("Unable to write to ") + path);
    }
}

void TestMainSettings::InitSaveReplacesInPlace()
{
    firstStart();
    IniFile ini(m_path);
    MainSettings::InitSave(ini, QRect(10, 20, 800, 600), {11, 12, 13, 14, 15, 16, 17, 18},
                           QStringLiteral("отчёт за март"));

    QStringList expected = firstStartFile();
    editLine(expected, "LogForm", "Top", "Top=20");
    editLine(expected, "LogForm", "Left", "Left=10");
    editLine(expected, "LogForm", "Height", "Height=600");
    editLine(expected, "LogForm", "Width", "Width=800");
    for (int n = 0; n < 8; ++n)
        editLine(expected, "LogForm", QStringLiteral("col%1w").arg(n),
                 QStringLiteral("col%1w=%2").arg(n).arg(11 + n));
    editLine(expected, "LogForm", "excelFileName", "excelFileName=отчёт за март");
    QCOMPARE(fileLines(m_path), expected);
    // Caption is not saved.
    QCOMPARE(ini.readString(QStringLiteral("LogForm"), QStringLiteral("Caption"), QString()),
             MainSettings::kDesignCaption);
}

QTEST_GUILESS_MAIN(TestMainSettings)
#include "tst_mainsettings.moc"
