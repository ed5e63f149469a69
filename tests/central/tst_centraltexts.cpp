// What the centre says to the person running it, in Russian as the ward says it: its --help, a wrong
// argument, the reasons inside its status lines when the broker or the database cannot be had (from
// the failures themselves: closed ports, a missing database or user, refused values), and the line a
// stop by a signal leaves.

#include "CentralTestSupport.h"
#include "PostgresServer.h"
#include "central/BrokerLink.h"
#include "central/PgConnection.h"

#include <mosquitto.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <csignal>

namespace {

// English running text: a few words no Russian sentence of ours holds.
const QRegularExpression kEnglish(QStringLiteral("\\b(the|and|is|are|of|when|with|cannot|its)\\b"),
                                  QRegularExpression::CaseInsensitiveOption);

// The name the system gives this process (at most 15 characters), as a stop line names the sender.
QString ownCommandName()
{
    QFile comm(QStringLiteral("/proc/self/comm"));
    return comm.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(comm.readAll()).trimmed() : QString();
}

} // namespace

class TestCentralTexts : public QObject
{
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    QString m_exe;
    PostgresServer m_pg;
    bool m_pgUp = false;

    struct Run
    {
        int status = -1;
        QString out;
        QString errors;
    };

    Run run(const QStringList& args)
    {
        QProcess p;
        p.setWorkingDirectory(m_dir.path());
        p.start(m_exe, args);
        Run r;
        if (!p.waitForStarted(5000) || !p.waitForFinished(30000))
            return r;
        r.status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        r.out = QString::fromUtf8(p.readAllStandardOutput());
        r.errors = QString::fromUtf8(p.readAllStandardError());
        return r;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_dir.isValid());
        m_exe = centraltest::installCentral(
            m_dir.path(), centraltest::freeTcpPort(),
            QStringLiteral("host=127.0.0.1 port=1 dbname=none connect_timeout=2"));
        m_pgUp = PostgresServer::installed() && m_pg.init();
    }

    void helpIsRussian()
    {
        const Run r = run({QStringLiteral("--help")});
        QCOMPARE(r.status, 0);
        QVERIFY2(r.out.startsWith(QStringLiteral("Запуск: HalvaneCentral [--help]\n")), qPrintable(r.out));
        for (const char* part :
             {"--add-user ИМЯ", "--remove-user ИМЯ", "--statistics ПЕРВЫЙ_ДЕНЬ", "--max-reaction", "--force",
              "SIGINT или SIGTERM", "Код выхода", "эта справка"})
            QVERIFY2(r.out.contains(QString::fromUtf8(part)), part);
        const QRegularExpressionMatch english = kEnglish.match(r.out);
        QVERIFY2(!english.hasMatch(), qPrintable(english.captured(0) + QStringLiteral(" in:\n") + r.out));
    }

    void unknownArgument()
    {
        const Run r = run({QStringLiteral("--bogus")});
        QCOMPARE(r.status, 2);
        QVERIFY2(
            r.errors.startsWith(QStringLiteral("HalvaneCentral: неизвестный параметр «--bogus»\nЗапуск:")),
            qPrintable(r.errors));
    }

    // --statistics with arguments it cannot use: status 2 and what is wrong, then how to call it.
    void statisticsArguments_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("why");
        const QString usage =
            QStringLiteral("запуск: HalvaneCentral --statistics ПЕРВЫЙ_ДЕНЬ ПОСЛЕДНИЙ_ДЕНЬ ФАЙЛ.xlsx "
                           "[--max-reaction СЕКУНДЫ] [--force] (даты в виде ГГГГ-ММ-ДД)");
        QTest::newRow("two words") << QStringList{"2024-03-01", "2024-03-31"} << usage;
        QTest::newRow("bad date") << QStringList{"2024-02-30", "2024-03-31", "r.xlsx"}
                                  << QStringLiteral("первый день «2024-02-30» — не дата вида ГГГГ-ММ-ДД; ") +
                                         usage;
        QTest::newRow("reversed") << QStringList{"2024-03-31", "2024-03-01", "r.xlsx"}
                                  << QStringLiteral(
                                         "Первый день периода (2024-03-31) позже последнего (2024-03-01); ") +
                                         usage;
        QTest::newRow("bad bound") << QStringList{"2024-03-01", "2024-03-31", "r.xlsx", "--max-reaction", "0"}
                                   << QStringLiteral("--max-reaction — целое число секунд от 1 до 356400; ") +
                                          usage;
        QTest::newRow("not xlsx") << QStringList{"2024-03-01", "2024-03-31", "r.csv"}
                                  << "файл отчёта «r.csv» должен оканчиваться на .xlsx";
    }
    void statisticsArguments()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, why);
        const Run r = run(QStringList{QStringLiteral("--statistics")} + args);
        QCOMPARE(r.status, 2);
        QCOMPARE(r.errors, QStringLiteral("HalvaneCentral --statistics: %1\n").arg(why));
    }

    void statisticsKeepsAnExistingFile()
    {
        QFile existing(m_dir.filePath(QStringLiteral("kept.xlsx")));
        QVERIFY(existing.open(QIODevice::WriteOnly));
        existing.write("kept");
        existing.close();
        const Run r = run({QStringLiteral("--statistics"), QStringLiteral("2024-03-01"),
                           QStringLiteral("2024-03-31"), QStringLiteral("kept.xlsx")});
        QCOMPARE(r.status, 2);
        QCOMPARE(r.errors,
                 QStringLiteral(
                     "HalvaneCentral --statistics: файл kept.xlsx уже есть; заменить его можно с --force\n"));
    }

    // A settings file the centre cannot start with: one line saying what to mend, and status 1.
    void settingsProblems_data()
    {
        QTest::addColumn<QString>("broker");
        QTest::addColumn<QString>("line");
        QTest::newRow("no host") << "Host=\r\nTopics=test/+\r\n"
                                 << "не задан адрес брокера ([Broker] Host)";
        QTest::newRow("no topics") << "Host=127.0.0.1\r\nTopics=\r\n"
                                   << "не задан ни один префикс топиков ([Broker] Topics)";
        QTest::newRow("hash") << "Host=127.0.0.1\r\nTopics=test/#\r\n"
                              << "в префиксе топиков \"test/#\" есть \"#\"; один уровень обозначает \"+\"";
        QTest::newRow("empty level") << "Host=127.0.0.1\r\nTopics=test//a\r\n"
                                     << "в префиксе топиков \"test//a\" пустой уровень";
        QTest::newRow("part plus") << "Host=127.0.0.1\r\nTopics=test/a+\r\n"
                                   << "в префиксе топиков \"test/a+\" \"+\" должен занимать весь уровень";
        QTest::newRow("tls") << "Host=127.0.0.1\r\nTopics=test/+\r\nTls=yes\r\n"
                             << "[Broker] Tls=\"yes\" - не 1 (TLS) и не 0 (без шифрования)";
    }
    void settingsProblems()
    {
        QFETCH(QString, broker);
        QFETCH(QString, line);
        QTemporaryDir dir;
        const QString exe = centraltest::installCentral(dir.path(), 1, QStringLiteral("dbname=none"));
        QFile ini(dir.filePath(QStringLiteral("HalvaneCentral.ini")));
        QVERIFY(ini.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ini.write(Cp1251::encode(QStringLiteral("[Broker]\r\n") + broker));
        ini.close();
        QProcess p;
        p.setWorkingDirectory(dir.path());
        p.start(exe, {});
        QVERIFY(p.waitForStarted(5000));
        QVERIFY(p.waitForFinished(30000));
        QCOMPARE(p.exitCode(), 1);
        const QString errors = QString::fromUtf8(p.readAllStandardError());
        // The last line; a value the settings file cannot read is said before it by the file's reader.
        const QString said =
            QStringLiteral("%1: %2\n").arg(dir.filePath(QStringLiteral("HalvaneCentral.ini")), line);
        QVERIFY2(errors.endsWith(said), qPrintable(errors));
    }

    // The dashboard's port cannot be had: one line in words, and the centre goes on.
    void dashboardListenProblems_data()
    {
        QTest::addColumn<QString>("http");
        QTest::addColumn<QString>("line");
        QTest::newRow("port taken")
            << "Port=%1\r\n"
            << "Панель: не удаётся принимать подключения на 127.0.0.1, порт %1: порт занят; "
               "новая попытка каждые 10 с\n";
        QTest::newRow("no certificate")
            << "Port=%1\r\nCertFile=/nonexistent/c.pem\r\nKeyFile=/nonexistent/k.pem\r\n"
            << "Панель: файл сертификата /nonexistent/c.pem не читается: файла нет; "
               "новая попытка каждые 10 с\n";
    }
    void dashboardListenProblems()
    {
        QFETCH(QString, http);
        QFETCH(QString, line);
        QTcpServer taken;
        QVERIFY(taken.listen(QHostAddress::LocalHost, 0));
        QTemporaryDir dir;
        const QString exe = centraltest::installCentral(dir.path(), centraltest::freeTcpPort(),
                                                        QStringLiteral("host=127.0.0.1 port=1 dbname=none"));
        // The [Http] section the test's install wrote, replaced by the case's.
        QFile ini(dir.filePath(QStringLiteral("HalvaneCentral.ini")));
        QVERIFY(ini.open(QIODevice::ReadOnly));
        QString text = Cp1251::decode(ini.readAll());
        ini.close();
        text.truncate(text.indexOf(QLatin1String("[Http]")));
        QVERIFY(ini.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ini.write(Cp1251::encode(text + QStringLiteral("[Http]\r\nAddress=127.0.0.1\r\n") +
                                 http.arg(taken.serverPort())));
        ini.close();
        QProcess central;
        central.setWorkingDirectory(dir.path());
        central.start(exe, {});
        QVERIFY(central.waitForStarted(5000));
        const QString said = line.arg(taken.serverPort());
        QString errors;
        const QDeadlineTimer deadline(20000);
        while (!deadline.hasExpired() && !errors.contains(said) && central.state() == QProcess::Running) {
            central.waitForReadyRead(100);
            errors += QString::fromUtf8(central.readAllStandardError());
        }
        QVERIFY2(errors.contains(said), qPrintable(errors));
        central.terminate();
        QVERIFY(central.waitForFinished(15000));
    }

    // Each reason libmosquitto gives, in words; the library's text stays only after a general word.
    void brokerReasons_data()
    {
        QTest::addColumn<int>("rc");
        QTest::addColumn<int>("error");
        QTest::addColumn<QString>("words");
        QTest::newRow("lost") << int(MOSQ_ERR_CONN_LOST) << 0 << "связь с брокером прервана";
        QTest::newRow("no connection") << int(MOSQ_ERR_NO_CONN) << 0 << "связь с брокером прервана";
        QTest::newRow("refused port")
            << int(MOSQ_ERR_ERRNO) << ECONNREFUSED << "брокер не принимает подключения на этом порту";
        QTest::newRow("timed out") << int(MOSQ_ERR_ERRNO) << ETIMEDOUT << "брокер не отвечает";
        QTest::newRow("host unreachable") << int(MOSQ_ERR_ERRNO) << EHOSTUNREACH << "узел брокера недоступен";
        QTest::newRow("network unreachable")
            << int(MOSQ_ERR_ERRNO) << ENETUNREACH << "сеть до брокера недоступна";
        QTest::newRow("reset") << int(MOSQ_ERR_ERRNO) << ECONNRESET << "брокер разорвал соединение";
        QTest::newRow("other errno") << int(MOSQ_ERR_ERRNO) << EACCES
                                     << QStringLiteral("системная ошибка: ") +
                                            QString::fromLocal8Bit(std::strerror(EACCES));
        QTest::newRow("lookup") << int(MOSQ_ERR_EAI) << 0 << "имя узла брокера не найдено";
        QTest::newRow("tls") << int(MOSQ_ERR_TLS) << 0
                             << "соединение TLS не установлено: проверьте сертификат брокера и CaFile";
        QTest::newRow("auth") << int(MOSQ_ERR_AUTH) << 0 << "брокер не принял имя пользователя или пароль";
        QTest::newRow("acl") << int(MOSQ_ERR_ACL_DENIED) << 0 << "брокер не дал прав";
        QTest::newRow("refused") << int(MOSQ_ERR_CONN_REFUSED) << 0 << "брокер отказал в подключении";
        QTest::newRow("keepalive") << int(MOSQ_ERR_KEEPALIVE) << 0 << "брокер перестал отвечать";
        QTest::newRow("memory") << int(MOSQ_ERR_NOMEM) << 0 << "не хватило памяти";
        QTest::newRow("invalid") << int(MOSQ_ERR_INVAL) << 0
                                 << "неверные параметры подключения (Host, Port, ClientId)";
        QTest::newRow("protocol") << int(MOSQ_ERR_PROTOCOL) << 0
                                  << QStringLiteral("брокер нарушил протокол MQTT: ") +
                                         QString::fromUtf8(mosquitto_strerror(MOSQ_ERR_PROTOCOL));
        QTest::newRow("unknown") << int(MOSQ_ERR_PAYLOAD_SIZE) << 0
                                 << QStringLiteral("ошибка библиотеки MQTT: ") +
                                        QString::fromUtf8(mosquitto_strerror(MOSQ_ERR_PAYLOAD_SIZE));
    }
    void brokerReasons()
    {
        QFETCH(int, rc);
        QFETCH(int, error);
        QFETCH(QString, words);
        QCOMPARE(BrokerLink::reason(rc, error), words);
    }

    // The broker's refusals of MQTT 3.1.1 (CONNACK return codes 1 to 5).
    void brokerRefusals_data()
    {
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("words");
        QTest::newRow("1") << 1 << "брокер не поддерживает протокол MQTT 3.1.1";
        QTest::newRow("2") << 2 << "брокер отверг идентификатор клиента ClientId";
        QTest::newRow("3") << 3 << "брокер временно не принимает подключения";
        QTest::newRow("4") << 4 << "брокер не принял имя пользователя или пароль";
        QTest::newRow("5") << 5 << "брокер не дал прав на подключение";
        QTest::newRow("other") << 9 << "брокер отказал в подключении (код 9)";
    }
    void brokerRefusals()
    {
        QFETCH(int, code);
        QFETCH(QString, words);
        QCOMPARE(BrokerLink::refusal(code), words);
    }

    // libpq's own texts of failed connections (they carry no SQLSTATE), as libpq 15 writes them.
    void databaseTexts_data()
    {
        QTest::addColumn<QString>("library");
        QTest::addColumn<QByteArray>("state");
        QTest::addColumn<QString>("words");
        QTest::newRow("refused") << "connection to server at \"127.0.0.1\", port 1 failed: Connection "
                                    "refused \tIs the server running on "
                                    "that host and accepting TCP/IP connections?"
                                 << QByteArray() << "сервер базы не принимает подключения";
        QTest::newRow("no host")
            << "could not translate host name \"db9\" to address: Name or service not known" << QByteArray()
            << "имя узла сервера базы не найдено";
        QTest::newRow("password")
            << "connection to server at \"db1\" (10.0.0.5), port 5432 failed: FATAL:  password "
               "authentication failed for user \"halvane\""
            << QByteArray() << "сервер базы не принял имя пользователя или пароль";
        QTest::newRow("no password")
            << "connection to server at \"db1\", port 5432 failed: fe_sendauth: no password "
               "supplied"
            << QByteArray() << "сервер базы просит пароль, а в ConnInfo его нет";
        QTest::newRow("hba")
            << "connection to server at \"db1\", port 5432 failed: FATAL:  no pg_hba.conf entry for "
               "host \"10.0.0.7\", user \"halvane\", database \"halvane\", no encryption"
            << QByteArray() << "сервер базы не допускает это подключение (pg_hba.conf)";
        QTest::newRow("starting")
            << "connection to server at \"db1\", port 5432 failed: FATAL:  the database system "
               "is starting up"
            << QByteArray() << "сервер базы ещё запускается";
        QTest::newRow("full")
            << "connection to server at \"db1\", port 5432 failed: FATAL:  sorry, too many clients "
               "already"
            << QByteArray() << "у сервера базы нет свободных подключений";
        QTest::newRow("closed")
            << "server closed the connection unexpectedly \tThis probably means the server "
               "terminated abnormally \tbefore or while processing the request."
            << QByteArray() << "связь с сервером базы прервана";
        QTest::newRow("socket")
            << "connection to server on socket \"/run/postgresql/.s.PGSQL.5432\" failed: No such "
               "file or directory \tIs the server running locally and accepting connections on "
               "that socket?"
            << QByteArray() << "сервер базы не запущен на этой машине";
        QTest::newRow("conninfo") << "invalid connection option \"hots\"" << QByteArray()
                                  << "строка ConnInfo неверна";
        QTest::newRow("unknown") << "SSL error: certificate verify failed" << QByteArray()
                                 << "ошибка подключения к базе: SSL error: certificate verify failed";
        QTest::newRow("deadlock") << "deadlock detected" << QByteArray("40P01")
                                  << "взаимная блокировка с другой записью";
        QTest::newRow("shutdown") << "terminating connection due to administrator command"
                                  << QByteArray("57P01") << "сервер базы останавливается";
        QTest::newRow("disk full") << "could not extend file" << QByteArray("53100")
                                   << "на сервере базы кончилось место на диске";
        QTest::newRow("read only") << "cannot execute INSERT in a read-only transaction"
                                   << QByteArray("25006")
                                   << "база открыта только для чтения (резервный сервер)";
        QTest::newRow("rights") << "permission denied for table events" << QByteArray("42501")
                                << "у пользователя базы нет прав: permission denied for table events";
        QTest::newRow("other state") << "something new" << QByteArray("XX000")
                                     << "ошибка базы данных: something new";
    }
    void databaseTexts()
    {
        QFETCH(QString, library);
        QFETCH(QByteArray, state);
        QFETCH(QString, words);
        QCOMPARE(Pg::reasonText(library, state), words);
    }

    // The same from real failures: a closed port, a database or a user the server does not have, a
    // refused value and a repeated key.
    void databaseFailures_data()
    {
        // connInfo: whole, or what follows the test cluster's own (a later key wins).
        QTest::addColumn<bool>("cluster");
        QTest::addColumn<QString>("connInfo");
        QTest::addColumn<QByteArray>("sql");
        QTest::addColumn<QString>("words");
        QTest::newRow("closed port") << false
                                     << QStringLiteral("host=127.0.0.1 port=%1 dbname=x connect_timeout=5")
                                            .arg(centraltest::freeTcpPort())
                                     << QByteArray() << "сервер базы не принимает подключения";
        QTest::newRow("no database") << true << QStringLiteral("dbname=nosuchbase") << QByteArray()
                                     << "такой базы данных на сервере нет";
        QTest::newRow("no user") << true << QStringLiteral("user=nosuchuser") << QByteArray()
                                 << "такого пользователя на сервере базы нет";
        QTest::newRow("bad value")
            << true << QString() << QByteArray("SELECT 'x'::int")
            << "база не приняла значение: invalid input syntax for type integer: \"x\"";
        QTest::newRow("repeated key")
            << true << QString()
            << QByteArray("CREATE TEMP TABLE t (k int PRIMARY KEY); INSERT INTO t VALUES (1); INSERT INTO t "
                          "VALUES (1)")
            << "запись с тем же ключом уже есть: duplicate key value violates unique constraint \"t_pkey\"";
    }
    void databaseFailures()
    {
        QFETCH(bool, cluster);
        QFETCH(QString, connInfo);
        QFETCH(QByteArray, sql);
        QFETCH(QString, words);
        if (cluster) {
            if (!m_pgUp)
                QSKIP("package postgresql is not installed");
            connInfo = m_pg.connInfo() + u' ' + connInfo;
        }
        Pg::Connection c;
        QString said;
        try {
            c.open(connInfo);
            c.run(sql);
        } catch (const Pg::Error& e) {
            said = e.message();
        }
        QCOMPARE(said, words);
    }

    // The program with neither broker nor database to be had: both lines give their reasons in words,
    // and a signal's stop leaves one line naming the signal and its sender, this test.
    void statusLinesAndStop_data()
    {
        QTest::addColumn<int>("signal");
        QTest::addColumn<QString>("name");
        QTest::newRow("SIGTERM") << int(SIGTERM) << "SIGTERM";
        QTest::newRow("SIGINT") << int(SIGINT) << "SIGINT";
    }
    void statusLinesAndStop()
    {
        QFETCH(int, signal);
        QFETCH(QString, name);
        QTemporaryDir dir;
        const quint16 brokerPort = centraltest::freeTcpPort();
        const quint16 pgPort = centraltest::freeTcpPort();
        const QString exe = centraltest::installCentral(
            dir.path(), brokerPort,
            QStringLiteral("host=127.0.0.1 port=%1 dbname=none connect_timeout=2").arg(pgPort));
        QProcess central;
        central.setWorkingDirectory(dir.path());
        central.start(exe, {});
        QVERIFY(central.waitForStarted(5000));
        const QString mqtt =
            QStringLiteral("MQTT: брокер 127.0.0.1:%1 недоступен (брокер не принимает подключения "
                           "на этом порту)\n")
                .arg(brokerPort);
        const QString pg =
            QStringLiteral("PostgreSQL: база 127.0.0.1:%1/none недоступна (сервер базы не принимает "
                           "подключения); события ждут в журнале центра\n")
                .arg(pgPort);
        QString errors;
        const QDeadlineTimer deadline(20000);
        while (!deadline.hasExpired() && !(errors.contains(mqtt) && errors.contains(pg)) &&
               central.state() == QProcess::Running) {
            central.waitForReadyRead(100);
            errors += QString::fromUtf8(central.readAllStandardError());
        }
        QVERIFY2(errors.contains(mqtt), qPrintable(errors));
        QVERIFY2(errors.contains(pg), qPrintable(errors));

        QCOMPARE(::kill(pid_t(central.processId()), signal), 0);
        QVERIFY(central.waitForFinished(15000));
        errors += QString::fromUtf8(central.readAllStandardError());
        QCOMPARE(central.exitStatus(), QProcess::NormalExit);
        QCOMPARE(central.exitCode(), 0);
        const QString stop = QStringLiteral("Центр остановлен сигналом %1 от процесса %2 (%3)\n")
                                 .arg(name)
                                 .arg(QCoreApplication::applicationPid())
                                 .arg(ownCommandName());
        QVERIFY2(errors.count(stop) == 1, qPrintable(errors));
        QVERIFY2(errors.count(QStringLiteral("Центр остановлен")) == 1, qPrintable(errors));
        // Nothing of the libraries' English in any line.
        const QRegularExpressionMatch english = kEnglish.match(errors);
        QVERIFY2(!english.hasMatch(), qPrintable(errors));
    }
};

QTEST_GUILESS_MAIN(TestCentralTexts)
#include "tst_centraltexts.moc"
