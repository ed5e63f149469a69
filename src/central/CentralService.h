#pragma once

#include "central/BrokerLink.h"
#include "central/CentralSettings.h"
#include "central/EventInbox.h"
#include "central/EventStore.h"

#include <QString>

#include <memory>

// The centre at work: the inbox beside the program, the broker link that fills it and the store
// that empties it into PostgreSQL. Its files lie beside the settings file:
//   HalvaneCentral.inbox    the events received and not yet committed (the durable log)
//   HalvaneCentral.rejects  events the database refused (kept for a person to look at)
//   HalvaneCentral.lock     held while it runs: a second copy in the same folder refuses to start
class CentralService
{
public:
    struct Timing
    {
        BrokerLink::Timing broker;
        EventStore::Timing store;
    };

    CentralService(QString settingsPath, BrokerLink::Report report);
    ~CentralService();
    CentralService(const CentralService&) = delete;
    CentralService& operator=(const CentralService&) = delete;

    void setTiming(const Timing& timing) { m_timing = timing; } // before start()
    void setObserver(EventStore::Observer observer) { m_observer = std::move(observer); }

    // Writes the settings file on a first start, reads it, takes the lock, reads the inbox and starts
    // both threads. False with *why when it cannot run (the caller exits with status 1).
    bool start(QString* why);
    // Stops taking events, then stops writing; what is not committed stays in the inbox.
    void stop();

    EventInbox* inbox() { return m_inbox.get(); }
    // The sections as start() read them.
    const HttpSettings& http() const { return m_http; }
    const DatabaseSettings& database() const { return m_database; }

private:
    QString beside(const char* suffix) const;

    const QString m_settingsPath;
    const BrokerLink::Report m_report;
    Timing m_timing;
    EventStore::Observer m_observer;
    HttpSettings m_http;
    DatabaseSettings m_database;
    int m_lockFd = -1;
    std::unique_ptr<EventInbox> m_inbox;
    std::unique_ptr<EventStore> m_store;
    std::unique_ptr<BrokerLink> m_link;
};
