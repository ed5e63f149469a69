#include "core/antenna/AntennaLink.h"
#include "core/antenna/Dispatcher.h"
#include "core/base/AppError.h"
#include "core/base/Clock.h"

#include <QSet>
#include <QTest>

#include <functional>
#include <stdexcept>

namespace {

const QDateTime kNow(QDate(2017, 12, 3), QTime(14, 5, 9, 250));

// Records every call the dispatcher makes, in order, as readable text.
class FakeTarget : public DispatchTarget
{
public:
    QStringList calls;
    QSet<QString> registered;
    std::function<void(const QString&)> onCall; // lets a test act in the middle of a batch

    void ProcessAddButs(const QString& abcde, const QString& btnclr) override
    {
        record(QStringLiteral("ProcessAddButs(%1,%2)").arg(abcde, btnclr));
    }
    void ProcessAddKB(const QString& ab) override { record(QStringLiteral("ProcessAddKB(%1)").arg(ab)); }
    void ObrabSearch(const QString& abcde) override { record(QStringLiteral("ObrabSearch(%1)").arg(abcde)); }
    bool IsRegistredButs(const QString& abcde) override
    {
        record(QStringLiteral("IsRegistredButs(%1)").arg(abcde));
        return registered.contains(abcde);
    }
    void InLogButs(const QDateTime& time_, const QString& abcde_, const QString& f_) override
    {
        record(QStringLiteral("InLogButs(%1,%2,%3)").arg(stamp(time_), abcde_, f_));
    }
    void InLogKB(const QDateTime& time_, const QString& abcd_, const QString& f_) override
    {
        record(QStringLiteral("InLogKB(%1,%2,%3)").arg(stamp(time_), abcd_, f_));
    }

private:
    static QString stamp(const QDateTime& t)
    {
        return t == kNow ? QStringLiteral("now") : t.toString(Qt::ISODateWithMs);
    }
    void record(const QString& call)
    {
        calls << call;
        if (onCall)
            onCall(call);
    }
};

// The link, the receivers and the mode flags of one main window.
struct Fixture
{
    AntennaLink link;
    FakeTarget target;
    bool rButs = false;
    bool sButs = false;
    QStringList errors;
    Dispatcher dispatcher{link, target, [this] { return rButs; }, [this] { return sButs; },
                          [this](const QString& e) { errors << e; }};

    void receive(const QStringList& texts)
    {
        for (const QString& text : texts)
            link.IdUDPServerAntUDPRead(text.toUtf8());
    }
};

} // namespace

class TestDispatcher : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        Clock::setNowOverride([] { return kNow; });
    }
    void cleanup() { Clock::setNowOverride({}); }

    void functionCodes_data();
    void functionCodes();
    void routing_data();
    void routing();
    void errorInOneMessageDoesNotStopBatch();
    void repeatsWithinTwoTicksCountOnce();
    void receiversMayChangeModeAndTickAgainMidBatch();
    void modeWorksWhenTheJournalFails();
};

void TestDispatcher::functionCodes_data()
{
    QTest::addColumn<QString>("f");
    QTest::addColumn<bool>("buts");
    QTest::addColumn<bool>("kb");
    for (const char* f : {"2", "4", "8"})
        QTest::newRow(f) << QString::fromLatin1(f) << true << false;
    for (const char* f : {"b", "d"})
        QTest::newRow(f) << QString::fromLatin1(f) << false << true;
    for (const char* f : {"B", "D", "0", "1", "9", "a", "c", "", "88", " "})
        QTest::newRow(qPrintable(QStringLiteral("'%1'").arg(QString::fromLatin1(f))))
            << QString::fromLatin1(f) << false << false;
}

void TestDispatcher::functionCodes()
{
    QFETCH(QString, f);
    QTEST(Dispatcher::isButs(f), "buts");
    QTEST(Dispatcher::isKB(f), "kb");
}

void TestDispatcher::routing_data()
{
    QTest::addColumn<bool>("rButs");
    QTest::addColumn<bool>("sButs");
    QTest::addColumn<QStringList>("messages");
    QTest::addColumn<QStringList>("calls");

    // Registered codes in every row: the place f6186 (call), c6186 (cancel) and the KB unit 1a.
    QTest::newRow("normal: call, second kind, cancel")
        << false << false << QStringList{"f61868", "f61864", "c61862"}
        << QStringList{"IsRegistredButs(f6186)", "InLogButs(now,f6186,8)", "IsRegistredButs(f6186)",
                       "InLogButs(now,f6186,4)", "IsRegistredButs(c6186)", "InLogButs(now,c6186,2)"};
    QTest::newRow("normal: unregistered code is not journalled")
        << false << false << QStringList{"zzzzz8", "zz0C0b"}
        << QStringList{"IsRegistredButs(zzzzz)", "IsRegistredButs(zz)"};
    QTest::newRow("normal: KB tested by 2, journalled by 4 characters")
        << false << false << QStringList{"1a0C0b", "1a0C0d"}
        << QStringList{"IsRegistredButs(1a)", "InLogKB(now,1a0C,b)", "IsRegistredButs(1a)",
                       "InLogKB(now,1a0C,d)"};
    QTest::newRow("normal: characters after the 6th are not used")
        << false << false << QStringList{"f61868trailing"}
        << QStringList{"IsRegistredButs(f6186)", "InLogButs(now,f6186,8)"};
    QTest::newRow("dropped: short, unknown function, capital letters")
        << false << false << QStringList{"", "###", "f6186", "f61867", "f6186x", "1a0C0B", "1a0C0D", "f6186 "}
        << QStringList{};
    // A KB key is two hexadecimal digits, either case; a press with any other key is ignored in
    // every mode, so "k1;;xb" can never put ";" into a notice.
    QTest::newRow("normal: KB key of two hexadecimal digits")
        << false << false << QStringList{"1aFf0b", "1a090d"}
        << QStringList{"IsRegistredButs(1a)", "InLogKB(now,1aFf,b)", "IsRegistredButs(1a)",
                       "InLogKB(now,1a09,d)"};
    QTest::newRow("dropped: KB key not hexadecimal")
        << false << false << QStringList{"1a;;xb", "1a1Z0b", "1a 10d", "1a1H0b", "1a+10b", "1a\u0661\u06620b"}
        << QStringList{};
    QTest::newRow("adding and search: KB key not hexadecimal")
        << true << true << QStringList{"1a;;xb", "1aG00d"} << QStringList{};
    // In both modes a registered place's press is journaled first, as in normal operation, and then
    // handed to the mode; an unregistered one only to the mode.
    QTest::newRow("adding: place code offered as call and cancel")
        << true << false << QStringList{"f61868", "c61862", "a1b2c8"}
        << QStringList{"IsRegistredButs(f6186)", "InLogButs(now,f6186,8)",     "ProcessAddButs(f6186,f6186)",
                       "IsRegistredButs(c6186)", "InLogButs(now,c6186,2)",     "ProcessAddButs(c6186,c6186)",
                       "IsRegistredButs(a1b2c)", "ProcessAddButs(a1b2c,a1b2c)"};
    QTest::newRow("adding: KB hands its unit code")
        << true << false << QStringList{"1a0C0b", "2b0D0d"}
        << QStringList{"IsRegistredButs(1a)", "InLogKB(now,1a0C,b)", "ProcessAddKB(1a)",
                       "IsRegistredButs(2b)", "ProcessAddKB(2b)"};
    QTest::newRow("adding: unknown function dropped")
        << true << false << QStringList{"f61867", "1a0C0B"} << QStringList{};
    QTest::newRow("search: place and KB")
        << false << true << QStringList{"f61868", "1a0C0b", "zzzzz8"}
        << QStringList{"IsRegistredButs(f6186)", "InLogButs(now,f6186,8)", "ObrabSearch(f6186)",
                       "IsRegistredButs(1a)",    "InLogKB(now,1a0C,b)",    "ObrabSearch(1a)",
                       "IsRegistredButs(zzzzz)", "ObrabSearch(zzzzz)"};
    QTest::newRow("both modes: adding wins")
        << true << true << QStringList{"f61864", "1a0C0d"}
        << QStringList{"IsRegistredButs(f6186)", "InLogButs(now,f6186,4)", "ProcessAddButs(f6186,f6186)",
                       "IsRegistredButs(1a)",    "InLogKB(now,1a0C,d)",    "ProcessAddKB(1a)"};
}

void TestDispatcher::routing()
{
    QFETCH(bool, rButs);
    QFETCH(bool, sButs);
    QFETCH(QStringList, messages);

    Fixture fx;
    fx.target.registered = {"f6186", "c6186", "1a"};
    fx.rButs = rButs;
    fx.sButs = sButs;
    fx.receive(messages);
    fx.dispatcher.TimerObrTimer();

    QTEST(fx.target.calls, "calls");
    QVERIFY(fx.errors.isEmpty());
    QVERIFY(fx.link.SAant().isEmpty());
}

void TestDispatcher::errorInOneMessageDoesNotStopBatch()
{
    Fixture fx;
    fx.target.registered = {"f6186", "bad01", "bad02"};
    fx.target.onCall = [](const QString& call) {
        if (call.startsWith("InLogButs(now,bad01"))
            throw AppError("database is locked");
        if (call.startsWith("InLogButs(now,bad02"))
            throw std::runtime_error("out of range");
    };
    fx.receive({"bad018", "f61868", "bad028", "f61862"});
    fx.dispatcher.TimerObrTimer();

    QCOMPARE(fx.errors, (QStringList{"database is locked", "out of range"}));
    QCOMPARE(fx.target.calls.filter("InLogButs"),
             (QStringList{"InLogButs(now,bad01,8)", "InLogButs(now,f6186,8)", "InLogButs(now,bad02,8)",
                          "InLogButs(now,f6186,2)"}));
}

// Antennas repeat every message; a copy is suppressed while the first one is queued or in the
// batch of the latest tick, and handled again once a later tick has passed.
void TestDispatcher::repeatsWithinTwoTicksCountOnce()
{
    Fixture fx;
    fx.target.registered = {"f6186"};
    const QStringList journalled{"IsRegistredButs(f6186)", "InLogButs(now,f6186,8)"};

    fx.receive({"f61868", "f61868", "F61868"});
    fx.dispatcher.TimerObrTimer();
    QCOMPARE(fx.target.calls, journalled);

    fx.receive({"f61868"}); // still in the previous batch
    fx.dispatcher.TimerObrTimer();
    QCOMPARE(fx.target.calls, journalled);
    QVERIFY(fx.link.SAant_().isEmpty()); // that tick had nothing queued

    fx.target.calls.clear();
    fx.receive({"f61868"});
    fx.dispatcher.TimerObrTimer();
    QCOMPARE(fx.target.calls, journalled);
}

// Receivers may switch the mode (the places window offers adding mode when a search finds
// nothing) and open boxes whose event loop runs further ticks before the current one is done.
void TestDispatcher::receiversMayChangeModeAndTickAgainMidBatch()
{
    Fixture fx;
    fx.sButs = true;
    bool nested = false;
    fx.target.onCall = [&](const QString& call) {
        if (call == "ObrabSearch(aaaaa)" && !nested) {
            nested = true;
            fx.receive({"ccccc8"});
            fx.dispatcher.TimerObrTimer(); // a tick under a modal box
            fx.rButs = true;               // the operator chose adding mode
        }
    };
    fx.receive({"aaaaa8", "bbbbb8"});
    fx.dispatcher.TimerObrTimer();

    QCOMPARE(fx.target.calls,
             (QStringList{"IsRegistredButs(aaaaa)", "ObrabSearch(aaaaa)", "IsRegistredButs(ccccc)",
                          "ObrabSearch(ccccc)", "IsRegistredButs(bbbbb)", "ProcessAddButs(bbbbb,bbbbb)"}));
    QCOMPARE(fx.link.SAant_(), QStringList{"ccccc8"});
}

// A press the journal cannot take in a mode is reported, and the mode still does its work with it;
// the mode's own failure does not undo the journal's entry.
void TestDispatcher::modeWorksWhenTheJournalFails()
{
    Fixture fx;
    fx.target.registered = {"f6186", "bad01"};
    fx.target.onCall = [](const QString& call) {
        if (call.startsWith("InLogButs(now,bad01"))
            throw AppError("database is locked");
        if (call == "ObrabSearch(f6186)")
            throw AppError("search failed");
    };
    fx.sButs = true;
    fx.receive({"bad018", "f61868"});
    fx.dispatcher.TimerObrTimer();

    QCOMPARE(fx.errors, (QStringList{"database is locked", "search failed"}));
    QCOMPARE(fx.target.calls,
             (QStringList{"IsRegistredButs(bad01)", "InLogButs(now,bad01,8)", "ObrabSearch(bad01)",
                          "IsRegistredButs(f6186)", "InLogButs(now,f6186,8)", "ObrabSearch(f6186)"}));
}

QTEST_GUILESS_MAIN(TestDispatcher)
#include "tst_dispatcher.moc"
