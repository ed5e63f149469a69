#pragma once

#include "core/stats/Statistics.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <memory>

class QThread;

namespace Stats {

// Computes a report on a thread of its own, over a read-only connection of its own, so the window
// stays usable and the journal writer goes on meanwhile. Signals arrive on the thread that owns the
// runner. Starting again, cancelling or destroying the runner stops the work in progress; its
// result is then never signalled.
class Runner : public QObject
{
    Q_OBJECT
public:
    explicit Runner(QObject* parent = nullptr);
    ~Runner() override;

    void start(const QString& databasePath, const Options& options);
    void cancel();
    bool running() const { return m_thread != nullptr; }

Q_SIGNALS:
    void progress(int done, int total);
    void finished(std::shared_ptr<const Stats::Report> report);
    void failed(const QString& message);

private:
    void stopThread();
    void finishThread(); // the thread has handed back its result and is ending

    QThread* m_thread = nullptr;
    std::shared_ptr<std::atomic<bool>> m_cancel;
    quint64 m_generation = 0;
};

} // namespace Stats
