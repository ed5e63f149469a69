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
    // One attempt let in and found wrong.
    static void fail(LoginThrottle& throttle, const QHostAddress& address, const QString& name)
    {
        QCOMPARE(throttle.admit(address, name), LoginThrottle::Turn::Check);
        throttle.finished(address, name, LoginThrottle::Outcome::Bad);
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

    // A session opened with the account's hash ends when the account has another one (a new
    // password) or is gone from the accounts that can log in (removed or disabled).
    void sessionsEndWithTheirAccountsStamp()
    {
        Sessions sessions(12, clock());
        const QByteArray anna = sessions.open(QStringLiteral("Анна"), "hash-1");
        const QByteArray boris = sessions.open(QStringLiteral("Борис"), "hash-b");
        const QByteArray vera = sessions.open(QStringLiteral("Вера"), "hash-v");
        QCOMPARE(sessions.keepOnly(QHash<QString, QByteArray>{{QStringLiteral("Анна"), "hash-1"},
                                                              {QStringLiteral("Борис"), "hash-b"},
                                                              {QStringLiteral("Вера"), "hash-v"}}),
                 QSet<QString>{});
        QCOMPARE(sessions.keepOnly(QHash<QString, QByteArray>{{QStringLiteral("Анна"), "hash-2"},
                                                              {QStringLiteral("Борис"), "hash-b"}}),
                 (QSet<QString>{QStringLiteral("Анна"), QStringLiteral("Вера")}));
        QVERIFY(!sessions.find(anna));
        QVERIFY(sessions.find(boris));
        QVERIFY(!sessions.find(vera));
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
        fail(throttle, one, anna);
        fail(throttle, one, anna);
        QCOMPARE(throttle.waitMs(one, anna), 0);
        fail(throttle, one, anna);
        QCOMPARE(throttle.waitMs(one, anna), 1000);
        // The address is held back for another name.
        QCOMPARE(throttle.waitMs(one, QStringLiteral("Борис")), 1000);
        // The name holds back another address only once that one has failed itself.
        QCOMPARE(throttle.waitMs(two, anna), 0);
        fail(throttle, two, QStringLiteral("Борис"));
        QCOMPARE(throttle.waitMs(two, anna), 1000);
        QCOMPARE(throttle.waitMs(two, QStringLiteral("Борис")), 0);
        // Letter case does not make another name.
        QCOMPARE(throttle.waitMs(two, QStringLiteral("АННА")), 1000);
        m_now += 1000;
        QCOMPARE(throttle.waitMs(one, anna), 0);
        fail(throttle, one, anna);
        QCOMPARE(throttle.waitMs(one, anna), 2000);
        for (int i = 0; i < 30; ++i) {
            m_now += LoginThrottle::kMaxDelayMs;
            fail(throttle, two, anna);
        }
        QCOMPARE(throttle.waitMs(two, anna), LoginThrottle::kMaxDelayMs);
        // An hour without failures forgets them.
        m_now += LoginThrottle::kForgetMs;
        QCOMPARE(throttle.waitMs(two, anna), 0);
        QCOMPARE(throttle.waitMs(one, anna), 0);
    }

    // An attempt counts when it is let in, before its check ends; while it is checked, its address
    // gets no other check, and its name none from an address that has failed; an address that has
    // not failed waits its turn for the name instead.
    void oneCheckAtATimeCountedWhenLetIn()
    {
        LoginThrottle throttle(clock());
        const QHostAddress one(QStringLiteral("10.0.0.1"));
        const QHostAddress clean(QStringLiteral("10.0.0.2"));
        const QHostAddress failing(QStringLiteral("10.0.0.3"));
        const QString anna = QStringLiteral("Анна");
        using Turn = LoginThrottle::Turn;
        fail(throttle, failing, QStringLiteral("Борис"));
        fail(throttle, one, anna);
        fail(throttle, one, anna);
        QCOMPARE(throttle.admit(one, anna), Turn::Check);
        // Counted already: the next attempt would wait even before this one's answer.
        QCOMPARE(throttle.waitMs(one, anna), 1000);
        QCOMPARE(throttle.admit(one, QStringLiteral("Борис")), Turn::Refused);
        QCOMPARE(throttle.admit(failing, anna), Turn::Refused);
        QCOMPARE(throttle.admit(clean, anna), Turn::Later);
        throttle.finished(one, anna, LoginThrottle::Outcome::Good);
        QCOMPARE(throttle.waitMs(one, anna), 0);
        // The check that could not be made is not counted after all.
        QCOMPARE(throttle.admit(clean, anna), Turn::Check);
        throttle.finished(clean, anna, LoginThrottle::Outcome::Unchecked);
        for (int i = 0; i < LoginThrottle::kFreeFailures; ++i) {
            QCOMPARE(throttle.admit(clean, anna), Turn::Check);
            throttle.finished(clean, anna, LoginThrottle::Outcome::Unchecked);
        }
        QCOMPARE(throttle.waitMs(clean, anna), 0);
    }

    // Guesses at a name from elsewhere, however many, never refuse the name to an address that has
    // not failed.
    void guessesElsewhereDoNotShutTheOwnerOut()
    {
        LoginThrottle throttle(clock());
        const QString anna = QStringLiteral("Анна");
        for (int i = 0; i < 40; ++i) {
            m_now += LoginThrottle::kMaxDelayMs;
            fail(throttle, QHostAddress(QStringLiteral("10.1.0.%1").arg(i % 4)), anna);
        }
        const QHostAddress owner(QStringLiteral("10.0.0.9"));
        QCOMPARE(throttle.waitMs(owner, anna), 0);
        QCOMPARE(throttle.admit(owner, anna), LoginThrottle::Turn::Check);
        throttle.finished(owner, anna, LoginThrottle::Outcome::Good);
        QCOMPARE(throttle.waitMs(QHostAddress(QStringLiteral("10.1.0.1")), anna), 0);
    }

    // An IPv6 host counts by its /64: another address of the same /64 is the same guesser.
    void ipv6CountsByItsNetwork()
    {
        LoginThrottle throttle(clock());
        for (int i = 0; i <= LoginThrottle::kFreeFailures; ++i)
            fail(throttle, QHostAddress(QStringLiteral("2001:db8:1:2::%1").arg(i + 1)),
                 QStringLiteral("n%1").arg(i));
        QCOMPARE(throttle.waitMs(QHostAddress(QStringLiteral("2001:db8:1:2:ffff::9")), QStringLiteral("x")),
                 1000);
        QCOMPARE(throttle.waitMs(QHostAddress(QStringLiteral("2001:db8:1:3::1")), QStringLiteral("x")), 0);
    }

    void successClearsTheCounts()
    {
        LoginThrottle throttle(clock());
        const QHostAddress one(QStringLiteral("10.0.0.1"));
        for (int i = 0; i < 5; ++i) {
            m_now += LoginThrottle::kMaxDelayMs;
            fail(throttle, one, QStringLiteral("anna"));
        }
        QVERIFY(throttle.waitMs(one, QStringLiteral("anna")) > 0);
        m_now += LoginThrottle::kMaxDelayMs;
        QCOMPARE(throttle.admit(one, QStringLiteral("anna")), LoginThrottle::Turn::Check);
        throttle.finished(one, QStringLiteral("anna"), LoginThrottle::Outcome::Good);
        QCOMPARE(throttle.waitMs(one, QStringLiteral("anna")), 0);
    }

    void aFloodOfNamesKeepsTheTableBounded()
    {
        LoginThrottle throttle(clock());
        const QHostAddress failing(QStringLiteral("10.200.0.1"));
        for (int i = 0; i < 3; ++i)
            fail(throttle, QHostAddress(QStringLiteral("10.0.0.9")), QStringLiteral("target"));
        fail(throttle, failing, QStringLiteral("someone"));
        QCOMPARE(throttle.waitMs(failing, QStringLiteral("target")), 1000);
        // A flood of names from ever new addresses: both tables stay bounded, the oldest make room.
        for (qsizetype i = 0; i < LoginThrottle::kMaxEntries + 10; ++i) {
            ++m_now;
            fail(throttle, QHostAddress(quint32(0x0B000000 + i)), QStringLiteral("n%1").arg(i));
        }
        const QHostAddress late(QStringLiteral("10.200.0.2"));
        fail(throttle, late, QStringLiteral("someone"));
        QCOMPARE(throttle.waitMs(late, QStringLiteral("target")), 0);
        // What keeps failing is still held back.
        for (int i = 0; i < 3; ++i) {
            ++m_now;
            fail(throttle, QHostAddress(quint32(0x0C000000 + i)), QStringLiteral("persistent"));
        }
        QVERIFY(throttle.waitMs(late, QStringLiteral("persistent")) > 0);
    }
};

QTEST_GUILESS_MAIN(TestCentralSessions)
#include "tst_centralsessions.moc"
