#include "core/stats/StatsRunner.h"

#include "core/base/AppError.h"
#include "core/db/Database.h"
#include "core/stats/StatsSource.h"

#include <QMetaObject>
#include <QPointer>
#include <QThread>

namespace Stats {

namespace {
// The bar moves in steps of about one per cent; more signals would only load the event loop.
constexpr int kProgressSteps = 100;
} // namespace

Runner::Runner(QObject* parent) : QObject(parent) {}

Runner::~Runner()
{
    stopThread();
}

void Runner::cancel()
{
    stopThread();
}

void Runner::stopThread()
{
    ++m_generation;
    if (m_cancel)
        m_cancel->store(true);
    if (m_thread) {
        m_thread->wait();
        delete m_thread;
        m_thread = nullptr;
    }
    m_cancel.reset();
}

void Runner::start(const QString& databasePath, const Options& options)
{
    stopThread();
    const quint64 generation = m_generation;
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    m_cancel = cancelled;
    QPointer<Runner> self(this);

    // Everything the thread hands back is posted to the runner's thread, where it is dropped when a
    // newer start or a cancel came in between.
    const auto post = [self, generation](auto&& deliver) {
        QMetaObject::invokeMethod(
            self.data(),
            [self, generation, deliver] {
                if (self && self->m_generation == generation)
                    deliver(*self);
            },
            Qt::QueuedConnection);
    };

    m_thread = QThread::create([databasePath, options, cancelled, post] {
        int lastStep = -1;
        const Progress progress = [&](int done, int total) {
            if (cancelled->load())
                return false;
            const int step = total > 0 ? done * kProgressSteps / total : kProgressSteps;
            if (step != lastStep) {
                lastStep = step;
                post([done, total](Runner& r) { Q_EMIT r.progress(done, total); });
            }
            return true;
        };
        try {
            const std::unique_ptr<db::Database> database = openJournal(databasePath);
            auto report = std::make_shared<const Report>(compute(*database, options, progress));
            post([report](Runner& r) {
                r.finishThread();
                Q_EMIT r.finished(report);
            });
        } catch (const Cancelled&) {
        } catch (const AppError& e) {
            const QString message = e.message();
            post([message](Runner& r) {
                r.finishThread();
                Q_EMIT r.failed(message);
            });
        } catch (const std::exception& e) {
            const QString message = QString::fromLocal8Bit(e.what());
            post([message](Runner& r) {
                r.finishThread();
                Q_EMIT r.failed(message);
            });
        }
    });
    m_thread->start();
}

void Runner::finishThread()
{
    if (m_thread) {
        m_thread->wait();
        delete m_thread;
        m_thread = nullptr;
    }
    m_cancel.reset();
}

} // namespace Stats
