#include "central/CentralSchema.h"

#include "central/PgConnection.h"

namespace CentralSchema {

namespace {

// Any number: the key of the advisory lock every copy takes while it migrates.
constexpr qint64 kMigrationLock = 0x48616c76616e65; // "Halvane"

const QByteArray kVersion1 = R"sql(
-- Every event of every ward, stored once: (ward, seq) is the key. The columns are the event's own
-- fields; payload keeps the whole JSON as the ward published it.
CREATE TABLE events (
    ward       text        NOT NULL,  -- the ward's id: the last level of its topic prefix
    seq        bigint      NOT NULL,
    type       text        NOT NULL,  -- call, cancel, repeat, escalation, antenna
    time       timestamptz NOT NULL,
    local_time timestamp   NOT NULL,  -- the ward's wall-clock time of the event (time without offset)
    code       text,
    function   text,
    place      text,
    ward_name  text,                  -- the event's "ward": the room or group in the ward
    staff      text,
    level      text,                  -- escalation: warning or alarm
    antenna    text,
    silent     boolean,
    call       text,                  -- call, repeat, escalation: the open call's key
    entry_id   bigint,                -- the ward's journal entry; NULL while the ward's journal lacked it
    payload    jsonb       NOT NULL,
    stored_at  timestamptz NOT NULL DEFAULT now(),
    PRIMARY KEY (ward, seq)
);

-- The statistics: the calls of a period, read from the index alone.
CREATE INDEX events_calls ON events (local_time)
    INCLUDE (ward, function, call, ward_name, staff, place, seq)
    WHERE type = 'call';
-- The journal of the house, newest first, paged by key: (time, ward, seq) of the last row shown.
CREATE INDEX events_journal ON events (time DESC, ward, seq);
CREATE INDEX events_journal_by_ward ON events (ward, time DESC, seq);

-- Every call a cancel closed: the reaction of the call with this key.
CREATE TABLE reactions (
    ward        text        NOT NULL,
    call        text        NOT NULL,
    entry_id    bigint,
    seconds     bigint      NOT NULL,
    cancel_seq  bigint      NOT NULL,
    cancel_time timestamptz NOT NULL,
    PRIMARY KEY (ward, call)
);

CREATE TABLE wards (
    ward     text        PRIMARY KEY,
    name     text        NOT NULL,
    status   text        NOT NULL DEFAULT 'offline' CHECK (status IN ('online', 'offline')),
    since    timestamptz NOT NULL DEFAULT now(),
    last_seq bigint
);

-- The ranges of seq a ward published and the house never received.
CREATE TABLE event_gaps (
    ward      text   NOT NULL,
    first_seq bigint NOT NULL,
    last_seq  bigint NOT NULL CHECK (last_seq >= first_seq),
    PRIMARY KEY (ward, first_seq)
);

-- Each ward's open calls as its retained list last said, longest waiting first.
CREATE TABLE open_calls (
    ward      text        NOT NULL,
    position  integer     NOT NULL,
    call      text        NOT NULL,
    entry_id  bigint,
    code      text        NOT NULL,
    function  text        NOT NULL,
    place     text        NOT NULL,
    ward_name text        NOT NULL,
    staff     text        NOT NULL,
    time      timestamptz,
    level     text        NOT NULL,
    PRIMARY KEY (ward, call)
);
)sql";

// The people who may open the dashboard. password_hash: libsodium's Argon2id string, which carries
// its own salt and costs.
const QByteArray kVersion2 = R"sql(
CREATE TABLE users (
    name          text        PRIMARY KEY,
    password_hash text        NOT NULL,
    created_at    timestamptz NOT NULL DEFAULT now(),
    changed_at    timestamptz NOT NULL DEFAULT now()
);
)sql";

// The newest state of every antenna the wards supervise, for the live view: the row of the antenna
// event with the highest seq. since: when the antenna went into that state (the first event of the
// latest run of equal states). Filled from the events stored before the table existed.
const QByteArray kVersion3 = R"sql(
CREATE TABLE antennas (
    ward    text        NOT NULL,
    antenna text        NOT NULL,
    silent  boolean     NOT NULL,
    since   timestamptz NOT NULL,
    seq     bigint      NOT NULL,
    PRIMARY KEY (ward, antenna)
);

WITH a AS (
    SELECT ward, antenna, silent, time, seq FROM events
    WHERE type = 'antenna' AND antenna IS NOT NULL AND silent IS NOT NULL
), latest AS (
    SELECT DISTINCT ON (ward, antenna) ward, antenna, silent, time, seq FROM a
    ORDER BY ward, antenna, seq DESC
)
INSERT INTO antennas (ward, antenna, silent, since, seq)
SELECT l.ward, l.antenna, l.silent,
       (SELECT a.time FROM a
        WHERE a.ward = l.ward AND a.antenna = l.antenna AND a.seq > coalesce(
            (SELECT max(b.seq) FROM a b WHERE b.ward = l.ward AND b.antenna = l.antenna AND b.silent <> l.silent), 0)
        ORDER BY a.seq LIMIT 1),
       l.seq
FROM latest l;
)sql";

// The journal of one place, paged by key like the others: without it a page of a place with few
// events reads the whole journal.
const QByteArray kVersion4 = R"sql(
CREATE INDEX events_journal_by_place ON events (place, time DESC, ward, seq);
)sql";

// An event whose key (ward, seq) was stored before with other content: a ward set up anew that
// numbers its events again, or a second publisher under the ward's topic. events keeps the first;
// both payloads are kept here, each different new payload once.
const QByteArray kVersion5 = R"sql(
CREATE TABLE event_conflicts (
    ward           text        NOT NULL,
    seq            bigint      NOT NULL,
    stored_payload jsonb       NOT NULL,
    new_payload    jsonb       NOT NULL,
    received_at    timestamptz NOT NULL DEFAULT now()
);
CREATE UNIQUE INDEX event_conflicts_once ON event_conflicts (ward, seq, md5(new_payload::text));
)sql";

} // namespace

const QList<Migration>& migrations()
{
    static const QList<Migration> list{
        {1, kVersion1}, {2, kVersion2}, {3, kVersion3}, {4, kVersion4}, {5, kVersion5}};
    return list;
}

int latestVersion()
{
    return migrations().last().version;
}

int migrate(Pg::Connection& connection)
{
    Pg::Transaction lock(connection);
    connection.exec("SELECT pg_advisory_xact_lock($1)", {Pg::param(kMigrationLock)});
    connection.run("CREATE TABLE IF NOT EXISTS schema_version (version integer NOT NULL)");
    Pg::Result row = connection.exec("SELECT version FROM schema_version");
    int version = 0;
    if (row.rows() == 0)
        connection.run("INSERT INTO schema_version (version) VALUES (0)");
    else
        version = int(row.integer(0, 0));
    if (version > latestVersion())
        throw Pg::Error(QStringLiteral("таблицы базы версии %1, а эта программа знает версии до %2")
                            .arg(version)
                            .arg(latestVersion()),
                        {}, false);
    for (const Migration& m : migrations()) {
        if (m.version <= version)
            continue;
        connection.run(m.sql);
        connection.exec("UPDATE schema_version SET version = $1", {Pg::param(qint64(m.version))});
        version = m.version;
    }
    lock.commit();
    return version;
}

} // namespace CentralSchema
