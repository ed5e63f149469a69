#include "central/web/Sessions.h"

#include <QSet>
#include <QTest>

// The dashboard's sessions and the slowing down of failed logins, on a clock the test moves.
class TestCentralSessions : public QObject
{
    Q_OBJECT

    qint64 m_now = 1'700'000'000'000;
    Sessions::Now clock()
    {
        return [this] { return m_now; };
    }

private slots:
    void sessionLivesItsHoursAndEndsAtLogout()
    {
        Sessions sessions(2, clock());
        const QByteArray a = sessions.open(QStringLiteral("Анна"));
        const QByteArray b = sessions.open(QStringLiteral("Анна"));
        QCOMPARE(a.size(), 43);
        QVERIFY(a != b);
        QVERIFY(!a.contains('=') && !a.contains('+') && !a.contains('/'));
        QCOMPARE(sessions.find(a), std::optional<QString>(QStringLiteral("Анна")));
        // Forged, altered, empty tokens name nobody.
        QByteArray altered = a;
        altered[0] = altered[0] == 'A' ? 'B' : 'A';
        for (const QByteArray& forged : {altered, a.left(42), QByteArray(), QByteArray(43, 'A')})
            QVERIFY2(!sessions.find(forged), forged.constData());

        m_now += 2 * 3600 * 1000 - 1;
        QVERIFY(sessions.find(a));
        sessions.close(b);
        QVERIFY(!sessions.find(b));
        m_now += 1;
        QVERIFY(!sessions.find(a)); // its hours are over
        QCOMPARE(sessions.count(), 0);
    }

    void removedAccountsLoseTheirSessions()
    {
        Sessions sessions(12, clock());
        const QByteArray anna = sessions.open(QStringLiteral("Анна"));
        const QByteArray boris = sessions.open(QStringLiteral("Борис"));
        const QByteArray boris2 = sessions.open(QStringLiteral("Борис"));
        QCOMPARE(sessions.keepOnly({QStringLiteral("Анна")}), QSet<QString>{QStringLiteral("Борис")});
        QVERIFY(sessions.find(anna));
        QVERIFY(!sessions.find(boris));
        QVERIFY(!sessions.find(boris2));
        QCOMPARE(sessions.keepOnly({QStringLiteral("Анна")}), QSet<QString>{});
    }

    void manyLoginsPushOutTheOldest()
    {
        Sessions sessions(12, clock());
        const QByteArray first = sessions.open(QStringLiteral("first"));
        for (qsizetype i = 1; i < Sessions::kMaxSessions; ++i) {
            ++m_now;
            sessions.open(QStringLiteral("x"));
        }
        QVERIFY(sessions.find(first));
        ++m_now;
        const QByteArray last = sessions.open(QStringLiteral("last"));
        QCOMPARE(sessions.count(), Sessions::kMaxSessions);
        QVERIFY(!sessions.find(first));
        QVERIFY(sessions.find(last));
    }

    void failuresSlowDownPerAddressAndPerName()
    {
        LoginThrottle throttle(clock());
        const QHostAddress one(QStringLiteral("10.0.0.1"));
        const QHostAddress two(QStringLiteral("10.0.0.2"));
        const QString anna = QStringLiteral("Анна");
        // Two failures are free; the third makes the next attempt wait 1 s, then 2 s, 4 s...
        throttle.failed(one, anna);
        throttle.failed(one, anna);
        QCOMPARE(throttle.waitMs(one, anna), 0);
        throttle.failed(one, anna);
        QCOMPARE(throttle.waitMs(one, anna), 1000);
        // The name is held back from another address, the address for another name.
        QCOMPARE(throttle.waitMs(two, anna), 1000);
        QCOMPARE(throttle.waitMs(one, QStringLiteral("Борис")), 1000);
        QCOMPARE(throttle.waitMs(two, QStringLiteral("Борис")), 0);
        // Letter case does not make another name.
        QCOMPARE(throttle.waitMs(two, QStringLiteral("АННА")), 1000);
        m_now += 1000;
        QCOMPARE(throttle.waitMs(one, anna), 0);
        throttle.failed(one, anna);
        QCOMPARE(throttle.waitMs(one, anna), 2000);
        for (int i = 0; i < 30; ++i) {
            m_now += LoginThrottle::kMaxDelayMs;
            throttle.failed(two, anna);
        }
        QCOMPARE(throttle.waitMs(two, anna), LoginThrottle::kMaxDelayMs);
        // An hour without failures forgets them.
        m_now += LoginThrottle::kForgetMs;
        QCOMPARE(throttle.waitMs(two, anna), 0);
        QCOMPARE(throttle.waitMs(one, anna), 0);
    }

    void successClearsTheCounts()
    {
        LoginThrottle throttle(clock());
        const QHostAddress one(QStringLiteral("10.0.0.1"));
        for (int i = 0; i < 5; ++i)
            throttle.failed(one, QStringLiteral("anna"));
        QVERIFY(throttle.waitMs(one, QStringLiteral("anna")) > 0);
        throttle.succeeded(one, QStringLiteral("anna"));
        QCOMPARE(throttle.waitMs(one, QStringLiteral("anna")), 0);
    }

    void aFloodOfNamesKeepsTheTableBounded()
    {
        LoginThrottle throttle(clock());
        const QHostAddress one(QStringLiteral("10.0.0.1"));
        for (int i = 0; i < 3; ++i)
            throttle.failed(QHostAddress(QStringLiteral("10.0.0.9")), QStringLiteral("target"));
        for (qsizetype i = 0; i < LoginThrottle::kMaxEntries + 10; ++i) {
            ++m_now;
            throttle.failed(one, QStringLiteral("n%1").arg(i));
        }
        // The oldest entries made room; the address that keeps failing is still held back.
        QCOMPARE(throttle.waitMs(QHostAddress(QStringLiteral("10.0.0.3")), QStringLiteral("target")), 0);
        QVERIFY(throttle.waitMs(one, QStringLiteral("someone new")) > 0);
    }
};

QTEST_GUILESS_MAIN(TestCentralSessions)
#include "tst_centralsessions.moc"
