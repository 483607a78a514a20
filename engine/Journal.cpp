#include "engine/Journal.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScopeGuard>
#include <QStandardPaths>

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <sqlite3.h>

#ifndef Q_OS_WIN
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace quarvel::engine {

namespace {

const char* const Schema = R"(
CREATE TABLE IF NOT EXISTS runs(
    id INTEGER PRIMARY KEY,
    undoes INTEGER REFERENCES runs(id),
    started TEXT NOT NULL,
    ended TEXT,
    server TEXT NOT NULL, port TEXT NOT NULL, database TEXT NOT NULL, user TEXT NOT NULL,
    tables TEXT NOT NULL,
    pairs TEXT NOT NULL,
    engine TEXT,
    selection TEXT);
CREATE TABLE IF NOT EXISTS stores(
    id INTEGER PRIMARY KEY,
    run INTEGER NOT NULL REFERENCES runs(id),
    schema TEXT NOT NULL, name TEXT NOT NULL,
    key_columns TEXT NOT NULL,
    txid TEXT NOT NULL,
    state TEXT NOT NULL CHECK (state IN ('intended', 'stored', 'failed')));
CREATE TABLE IF NOT EXISTS records(
    id INTEGER PRIMARY KEY,
    store INTEGER NOT NULL REFERENCES stores(id),
    record INTEGER NOT NULL,
    row_oid TEXT NOT NULL, ctid TEXT NOT NULL, xmin TEXT NOT NULL,
    key TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS run_pairs(
    id INTEGER PRIMARY KEY,
    run INTEGER NOT NULL REFERENCES runs(id),
    pairs TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS changes(
    record INTEGER NOT NULL REFERENCES records(id),
    col TEXT NOT NULL, old TEXT, new TEXT NOT NULL,
    pairs INTEGER REFERENCES run_pairs(id));
CREATE INDEX IF NOT EXISTS run_pairs_run ON run_pairs(run);
CREATE INDEX IF NOT EXISTS stores_run ON stores(run);
CREATE INDEX IF NOT EXISTS records_store ON records(store);
CREATE INDEX IF NOT EXISTS changes_record ON changes(record);
)";

QString jsonList(const QStringList& texts)
{
    return QString::fromUtf8(QJsonDocument(QJsonArray::fromStringList(texts)).toJson(QJsonDocument::Compact));
}

QStringList listOf(const QString& json)
{
    QStringList out;
    for (const QJsonValue v : QJsonDocument::fromJson(json.toUtf8()).array())
        out << v.toString();
    return out;
}

QString pairsJson(const RunPairs& pairs)
{
    QJsonArray list;
    for (const auto& [find, replacement] : pairs)
        list.append(QJsonArray{find, replacement});
    return QString::fromUtf8(QJsonDocument(list).toJson(QJsonDocument::Compact));
}

// NULL for a run that chose nothing, so that such a run reads back as one journaled before choices were kept.
std::optional<QString> choiceJson(const RunChoice& choice)
{
    if (choice.isEmpty())
        return std::nullopt;
    QJsonArray columns;
    for (const auto& [table, names] : choice.columns)
        columns.append(QJsonArray{table, QJsonArray::fromStringList(names)});
    return QString::fromUtf8(
        QJsonDocument(QJsonObject{{QStringLiteral("patterns"), patternsJson(choice.patterns)},
                                  {QStringLiteral("columns"), columns}})
            .toJson(QJsonDocument::Compact));
}

RunChoice choiceOf(const std::optional<QString>& json)
{
    RunChoice choice;
    if (!json)
        return choice;
    const QJsonObject object = QJsonDocument::fromJson(json->toUtf8()).object();
    choice.patterns = patternsFromJson(object.value(QStringLiteral("patterns")).toObject());
    for (const QJsonValue entry : object.value(QStringLiteral("columns")).toArray()) {
        QStringList names;
        for (const QJsonValue name : entry.toArray().at(1).toArray())
            names << name.toString();
        choice.columns.append({entry.toArray().at(0).toString(), names});
    }
    return choice;
}

RunPairs pairsOf(const QString& json)
{
    RunPairs pairs;
    for (const QJsonValue pair : QJsonDocument::fromJson(json.toUtf8()).array())
        pairs.append({pair.toArray().at(0).toString(), pair.toArray().at(1).toString()});
    return pairs;
}

QStringList toList(const std::vector<QString>& texts)
{
    return QStringList(texts.begin(), texts.end());
}

std::vector<QString> toVector(const QStringList& texts)
{
    return std::vector<QString>(texts.begin(), texts.end());
}

// One prepared SQLite statement; texts bound and read as UTF-8, as the file stores them.
class Sql
{
public:
    Sql(sqlite3* db, const char* text) : m_db(db)
    {
        if (sqlite3_prepare_v2(db, text, -1, &m_statement, nullptr) != SQLITE_OK)
            fail();
    }
    ~Sql() { sqlite3_finalize(m_statement); }
    Sql(const Sql&) = delete;
    Sql& operator=(const Sql&) = delete;

    Sql& bind(int index, const QString& text)
    {
        // As the file stores it: Qt converts to UTF-8 several times faster than SQLite converts from
        // UTF-16 (that was a fourteenth of a batch's write).
        const QByteArray utf8 = text.toUtf8();
        check(sqlite3_bind_text(m_statement, index, utf8.constData(), static_cast<int>(utf8.size()),
                                SQLITE_TRANSIENT));
        return *this;
    }
    Sql& bind(int index, const std::optional<QString>& text)
    {
        if (!text)
            check(sqlite3_bind_null(m_statement, index));
        else
            bind(index, *text);
        return *this;
    }
    Sql& bind(int index, qint64 value)
    {
        check(sqlite3_bind_int64(m_statement, index, value));
        return *this;
    }
    // True while a row is there.
    bool step()
    {
        const int result = sqlite3_step(m_statement);
        if (result == SQLITE_ROW)
            return true;
        if (result != SQLITE_DONE)
            fail();
        return false;
    }
    void run()
    {
        step();
        sqlite3_reset(m_statement);
    }
    void reset() { sqlite3_reset(m_statement); }
    std::optional<QString> text(int column) const
    {
        if (sqlite3_column_type(m_statement, column) == SQLITE_NULL)
            return std::nullopt;
        // Not as UTF-16: SQLite would keep a converted copy of the value beside the stored one.
        const auto* data = reinterpret_cast<const char*>(sqlite3_column_text(m_statement, column));
        return QString::fromUtf8(data, sqlite3_column_bytes(m_statement, column));
    }
    QString string(int column) const { return text(column).value_or(QString()); }
    qint64 integer(int column) const { return sqlite3_column_int64(m_statement, column); }

private:
    void check(int result)
    {
        if (result != SQLITE_OK)
            fail();
    }
    [[noreturn]] void fail() const { throw JournalError(sqlite3_errmsg(m_db)); }

    sqlite3* m_db;
    sqlite3_stmt* m_statement = nullptr;
};

QString now()
{
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs);
}

void execute(sqlite3* db, const char* sql)
{
    char* error = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        const std::string message = error ? error : sqlite3_errmsg(db);
        sqlite3_free(error);
        throw JournalError(message);
    }
}

void addMissingColumn(sqlite3* db, const char* table, const char* column, const char* definition)
{
    Sql there(db, "SELECT count(*) FROM pragma_table_info(?) WHERE name = ?");
    there.bind(1, QString::fromLatin1(table)).bind(2, QString::fromLatin1(column));
    if (there.step() && there.integer(0) == 0)
        execute(db, QStringLiteral("ALTER TABLE %1 ADD COLUMN %2 %3")
                        .arg(QLatin1String(table), QLatin1String(column), QLatin1String(definition))
                        .toUtf8()
                        .constData());
}

qint64 addPairs(sqlite3* db, qint64 run, const RunPairs& pairs)
{
    Sql insert(db, "INSERT INTO run_pairs(run, pairs) VALUES (?, ?)");
    insert.bind(1, run).bind(2, pairsJson(pairs)).run();
    return sqlite3_last_insert_rowid(db);
}

std::pair<qint64, RunPairs> latestPairs(sqlite3* db, qint64 run)
{
    Sql q(db, "SELECT id, pairs FROM run_pairs WHERE run = ? ORDER BY id DESC LIMIT 1");
    q.bind(1, run);
    if (q.step())
        return {q.integer(0), pairsOf(q.string(1))};
    return {0, {}}; // a run begun before its pairs had entries: its changes point at none
}

std::vector<RunPairs> pairsRan(sqlite3* db, qint64 run)
{
    std::vector<RunPairs> ran;
    Sql q(db, "SELECT pairs FROM run_pairs WHERE run = ? ORDER BY id");
    q.bind(1, run);
    while (q.step())
        ran.push_back(pairsOf(q.string(0)));
    return ran;
}

#ifndef Q_OS_WIN
// Created 0600 in one call, whatever the umask: a file that others could open for a moment could be held
// open by them and read once the old values arrive. One that is there already (named with --journal, or
// its -wal and -shm left by an earlier run) is narrowed to 0600 before anything goes into it, and refused
// when it is another user's: the old values would be theirs to read.
void makePrivate(const QString& path)
{
    const QByteArray name = QFile::encodeName(path);
    const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
        const int error = ::fchmod(fd, 0600) == 0 ? 0 : errno; // a umask such as 0277 takes the write away
        ::close(fd);
        if (error != 0)
            throw JournalError(QStringLiteral("cannot make %1 private: %2")
                                   .arg(path, QString::fromLocal8Bit(std::strerror(error)))
                                   .toStdString());
    } else if (errno != EEXIST) {
        throw JournalError(QStringLiteral("cannot create %1: %2")
                               .arg(path, QString::fromLocal8Bit(std::strerror(errno)))
                               .toStdString());
    }
    for (const QString& companion : {path, path + QStringLiteral("-wal"), path + QStringLiteral("-shm")}) {
        const QByteArray companionName = QFile::encodeName(companion);
        struct stat info = {};
        if (::stat(companionName.constData(), &info) != 0)
            continue;
        if (info.st_uid != ::geteuid())
            throw JournalRefused(
                QStringLiteral("%1 belongs to another user, who could read the old values written into it")
                    .arg(companion)
                    .toStdString());
        if ((info.st_mode & 077) != 0 && ::chmod(companionName.constData(), 0600) != 0)
            throw JournalRefused(QStringLiteral("%1 cannot be made readable by you alone: %2")
                                     .arg(companion, QString::fromLocal8Bit(std::strerror(errno)))
                                     .toStdString());
    }
}
#else
void makePrivate(const QString& path)
{
    if (QFileInfo::exists(path))
        return;
    QFile create(path);
    if (!create.open(QIODevice::WriteOnly))
        throw JournalError(
            QStringLiteral("cannot create %1: %2").arg(path, create.errorString()).toStdString());
    create.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
}
#endif

} // namespace

QString choiceText(const RunChoice& choice)
{
    QStringList parts;
    if (!choice.patterns.isEmpty())
        parts << patternsText(choice.patterns);
    QStringList searched;
    for (const auto& [table, names] : choice.columns)
        searched << QStringLiteral("%1 (%2)").arg(table, names.join(QStringLiteral(", ")));
    if (!searched.isEmpty())
        parts << QStringLiteral("columns searched: ") + searched.join(QStringLiteral("; "));
    return parts.join(QStringLiteral("; "));
}

RunPlace runPlaceOf(const QString& connectionString)
{
    // Server, port and user come bare before the password; the database comes last and runs to the end.
    RunPlace place;
    qsizetype at = 0;
    while (at < connectionString.size()) {
        const qsizetype equals = connectionString.indexOf(u'=', at);
        if (equals < 0)
            break;
        const QString key = connectionString.mid(at, equals - at).trimmed().toLower();
        qsizetype end = equals + 1;
        QString value;
        if (key == u"database") {
            value = connectionString.mid(equals + 1);
            end = connectionString.size();
        } else if (connectionString.mid(equals + 1, 1) == u"{") {
            // A braced value ends at a brace that is not doubled.
            end = equals + 2;
            while (end < connectionString.size()) {
                if (connectionString[end] == u'}') {
                    if (end + 1 < connectionString.size() && connectionString[end + 1] == u'}') {
                        value += u'}';
                        end += 2;
                        continue;
                    }
                    ++end;
                    break;
                }
                value += connectionString[end++];
            }
        } else {
            end = connectionString.indexOf(u';', equals + 1);
            if (end < 0)
                end = connectionString.size();
            value = connectionString.mid(equals + 1, end - equals - 1);
        }
        if (key == u"server")
            place.server = value;
        else if (key == u"port")
            place.port = value;
        else if (key == u"uid")
            place.user = value;
        else if (key == u"database")
            place.database = value;
        at = end + 1;
    }
    return place;
}

// Numbers the records of each table as the run stores them, and points each change at the run's pairs
// it used: the pairs as they stand, or as the record walk read them for that field.
class JournalRecorder : public db::StoreJournal
{
public:
    JournalRecorder(Journal& journal, qint64 run) : m_journal(journal), m_run(run)
    {
        m_pairs = latestPairs(m_journal.m_db, run);
        m_tableStart = m_pairs.first;
    }
    ~JournalRecorder() override
    {
        if (m_journal.m_walk == this)
            m_journal.m_walk = nullptr;
    }
    JournalRecorder(const JournalRecorder&) = delete;
    JournalRecorder& operator=(const JournalRecorder&) = delete;

    void storing(const db::Table& table, const std::vector<QString>& keyColumns, const QString& transaction,
                 const std::vector<db::JournaledRecord>& records) override
    {
        // Copied only to be numbered: the server engine numbers its records itself, thousands a batch.
        std::vector<db::JournaledRecord> numbered;
        if (std::any_of(records.begin(), records.end(), [](const auto& r) { return r.record == 0; }))
            numbered = records;
        const std::vector<db::JournaledRecord>& written = numbered.empty() ? records : numbered;
        std::vector<std::vector<qint64>> pairs;
        pairs.reserve(records.size());
        const long long before = m_stored[{table.schema, table.name}];
        for (size_t i = 0; i < numbered.size(); ++i)
            if (numbered[i].record == 0)
                numbered[i].record = before + static_cast<long long>(i) + 1;
        for (const db::JournaledRecord& record : written) {
            pairs.emplace_back();
            for (const QString& column : record.columns)
                pairs.back().push_back(pairsUsed(record.walkPlace, column));
        }
        m_pending = {{table.schema, table.name}, static_cast<long long>(records.size())};
        m_journal.write(m_run, table, keyColumns, transaction, written, pairs);
    }

    void stored(bool committed) noexcept override
    {
        if (committed)
            m_stored[m_pending.first] += m_pending.second;
        m_pending.second = 0;
        m_journal.confirm(committed);
    }

    void walkingTable()
    {
        m_tableStart = m_pairs.first;
        m_switches.clear();
    }

    void pairsRead(long long place, const QStringList& fieldsFrom, const RunPairs& pairs)
    {
        if (pairs == m_pairs.second)
            return;
        m_pairs = {addPairs(m_journal.m_db, m_run, pairs), pairs};
        m_switches.push_back({place, fieldsFrom, m_pairs.first});
    }

private:
    // The pairs of the record at place, from its field named column on.
    struct Switch
    {
        long long place;
        QStringList fieldsFrom;
        qint64 pairs;
    };

    qint64 pairsUsed(long long place, const QString& column) const
    {
        qint64 used = m_tableStart;
        for (const Switch& at : m_switches)
            if (at.place < place || (at.place == place && at.fieldsFrom.contains(column)))
                used = at.pairs;
        return used;
    }

    using Name = std::pair<QString, QString>;
    Journal& m_journal;
    qint64 m_run;
    std::map<Name, long long> m_stored; // records of stores seen to commit, by table
    std::pair<Name, long long> m_pending;
    std::pair<qint64, RunPairs> m_pairs; // the run's latest pairs, and their entry
    qint64 m_tableStart = 0;             // the entry in use when the walk came to its table
    std::vector<Switch> m_switches;      // in the order the walk met them
};

Journal::Journal(const QString& path) : m_path(path)
{
    // It holds the old values of production data: a folder made for it, the file and its companions are
    // the user's alone (SQLite gives the write-ahead log the file's own permissions).
    const QFileInfo file(path);
    const QString folder = file.absolutePath();
    if (!QFileInfo::exists(folder)) {
        if (!QDir().mkpath(folder))
            throw JournalError(QStringLiteral("cannot create the folder %1").arg(folder).toStdString());
        QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    makePrivate(path);
    if (sqlite3_open_v2(QFile::encodeName(path).constData(), &m_db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
        const std::string message = m_db ? sqlite3_errmsg(m_db) : "out of memory";
        sqlite3_close(m_db);
        m_db = nullptr;
        throw JournalError(message + " (" + path.toStdString() + ")");
    }
    sqlite3_busy_timeout(m_db, 10000);
    try {
        // The write-ahead log with a sync at every commit: a record is on the disk before the store
        // it describes commits, also when the machine loses power.
        exec("PRAGMA journal_mode = WAL; PRAGMA synchronous = FULL; PRAGMA foreign_keys = ON;");
        exec(Schema);
        // Journals written before runs named their engine gain the column, empty for their runs; those
        // written before the pairs of a run could change gain the changes' pointer, empty: such a run
        // ran the pairs it began with.
        addMissingColumn(m_db, "runs", "engine", "TEXT");
        addMissingColumn(m_db, "changes", "pairs", "INTEGER REFERENCES run_pairs(id)");
        // Those written before runs kept their choice of tables and columns gain it, empty: every column
        // of the tables they name.
        addMissingColumn(m_db, "runs", "selection", "TEXT");
    } catch (...) {
        sqlite3_close(m_db);
        m_db = nullptr;
        throw;
    }
}

Journal::~Journal()
{
    sqlite3_close(m_db);
}

QString Journal::defaultPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) +
           QStringLiteral("/journal.sqlite3");
}

void Journal::exec(const char* sql)
{
    execute(m_db, sql);
}

qint64 Journal::beginRun(const RunPlace& place, const QStringList& tables, const RunPairs& pairs,
                         qint64 undoes, const QString& engine, const RunChoice& choice)
{
    exec("BEGIN IMMEDIATE");
    try {
        Sql insert(m_db,
                   "INSERT INTO runs(undoes, started, server, port, database, user, tables, pairs, engine, "
                   "selection) VALUES (NULLIF(?, 0), ?, ?, ?, ?, ?, ?, ?, NULLIF(?, ''), ?)");
        insert.bind(1, undoes)
            .bind(2, now())
            .bind(3, place.server)
            .bind(4, place.port)
            .bind(5, place.database)
            .bind(6, place.user)
            .bind(7, jsonList(tables))
            .bind(8, pairsJson(pairs))
            .bind(9, engine)
            .bind(10, choiceJson(choice));
        insert.run();
        const qint64 run = sqlite3_last_insert_rowid(m_db);
        addPairs(m_db, run, pairs);
        exec("COMMIT");
        return run;
    } catch (...) {
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

void Journal::endRun(qint64 run) noexcept
{
    try {
        Sql update(m_db, "UPDATE runs SET ended = ? WHERE id = ?");
        update.bind(1, now()).bind(2, run).run();
    } catch (...) {
    }
}

std::unique_ptr<db::StoreJournal> Journal::recorder(qint64 run)
{
    return std::make_unique<JournalRecorder>(*this, run);
}

std::unique_ptr<db::StoreJournal> Journal::walkRecorder(qint64 run)
{
    auto recorder = std::make_unique<JournalRecorder>(*this, run);
    m_walk = recorder.get();
    return recorder;
}

void Journal::walkingTable()
{
    if (m_walk)
        m_walk->walkingTable();
}

void Journal::pairsRead(long long place, const QStringList& fieldsFrom, const RunPairs& pairs)
{
    if (m_walk)
        m_walk->pairsRead(place, fieldsFrom, pairs);
}

void Journal::write(qint64 run, const db::Table& table, const std::vector<QString>& keyColumns,
                    const QString& transaction, const std::vector<db::JournaledRecord>& records,
                    const std::vector<std::vector<qint64>>& pairs)
{
    if (m_failWrites)
        throw JournalError("database or disk is full");
    // Every row written below points at a row this same transaction has just made, or at the run's own
    // pairs: checking each reference again cost a third of a batch's write, on the way of every batch.
    exec("PRAGMA foreign_keys = OFF");
    const auto checkedAgain =
        qScopeGuard([this] { sqlite3_exec(m_db, "PRAGMA foreign_keys = ON", nullptr, nullptr, nullptr); });
    exec("BEGIN IMMEDIATE");
    try {
        Sql store(m_db, "INSERT INTO stores(run, schema, name, key_columns, txid, state) "
                        "VALUES (?, ?, ?, ?, ?, 'intended')");
        store.bind(1, run)
            .bind(2, table.schema)
            .bind(3, table.name)
            .bind(4, jsonList(toList(keyColumns)))
            .bind(5, transaction)
            .run();
        const qint64 storeId = sqlite3_last_insert_rowid(m_db);
        const QString NoKey = jsonList({}); // a table without a primary key: the same for every record
        Sql record(m_db,
                   "INSERT INTO records(store, record, row_oid, ctid, xmin, key) VALUES (?, ?, ?, ?, ?, ?)");
        Sql change(m_db,
                   "INSERT INTO changes(record, col, old, new, pairs) VALUES (?, ?, ?, ?, NULLIF(?, 0))");
        for (size_t at = 0; at < records.size(); ++at) {
            const db::JournaledRecord& r = records[at];
            record.bind(1, storeId)
                .bind(2, static_cast<qint64>(r.record))
                .bind(3, r.rowOid)
                .bind(4, r.ctid)
                .bind(5, r.xmin)
                .bind(6, r.key.empty() ? NoKey : jsonList(toList(r.key)))
                .run();
            const qint64 recordId = sqlite3_last_insert_rowid(m_db);
            for (size_t i = 0; i < r.columns.size(); ++i)
                change.bind(1, recordId)
                    .bind(2, r.columns[i])
                    .bind(3, r.oldValues[i])
                    .bind(4, r.newValues[i])
                    .bind(5, pairs[at][i])
                    .run();
        }
        exec("COMMIT");
        m_lastStore = storeId;
    } catch (...) {
        sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

void Journal::confirm(bool committed) noexcept
{
    if (m_lastStore == 0)
        return;
    settle(m_lastStore, committed);
    m_lastStore = 0;
}

void Journal::settle(qint64 store, bool committed) noexcept
{
    // Not synced on its own (the next store's sync takes it along): a confirmation lost with the power is
    // asked of the server again.
    sqlite3_exec(m_db, "PRAGMA synchronous = NORMAL", nullptr, nullptr, nullptr);
    try {
        Sql update(m_db, "UPDATE stores SET state = ? WHERE id = ?");
        update.bind(1, committed ? QStringLiteral("stored") : QStringLiteral("failed")).bind(2, store).run();
    } catch (...) {
    }
    sqlite3_exec(m_db, "PRAGMA synchronous = FULL", nullptr, nullptr, nullptr);
}

namespace {

const char* const RunsQuery =
    "SELECT r.id, r.undoes, r.started, r.ended, r.server, r.port, r.database, r.user, r.tables, r.pairs, "
    "(SELECT u.id FROM runs u WHERE u.undoes = r.id ORDER BY u.id DESC LIMIT 1), "
    "(SELECT count(*) FROM records c JOIN stores s ON s.id = c.store WHERE s.run = r.id AND s.state = "
    "'stored'), "
    "(SELECT count(*) FROM records c JOIN stores s ON s.id = c.store WHERE s.run = r.id AND s.state = "
    "'intended'), "
    "r.engine, r.selection "
    "FROM runs r";

JournalRun runFrom(const Sql& q)
{
    JournalRun run;
    run.id = q.integer(0);
    run.undoes = q.integer(1);
    run.isUndo = run.undoes != 0;
    run.started = QDateTime::fromString(q.string(2), Qt::ISODateWithMs).toLocalTime();
    if (q.text(3))
        run.ended = QDateTime::fromString(q.string(3), Qt::ISODateWithMs).toLocalTime();
    run.place = {q.string(4), q.string(5), q.string(6), q.string(7)};
    run.tables = listOf(q.string(8));
    run.pairs = pairsOf(q.string(9));
    run.undoneBy = q.integer(10);
    run.records = q.integer(11);
    run.undecided = q.integer(12);
    if (q.text(13))
        run.engine = q.string(13);
    run.choice = choiceOf(q.text(14));
    return run;
}

const char* const RecordsQuery = "SELECT id, record, row_oid, ctid, xmin, key FROM records ";
const char* const ChangesQuery = "SELECT col, old, new FROM changes WHERE record = ? ORDER BY rowid";

// The record the query stands on, with its changed fields in the order they were put on record. Column
// names come from names, so that records with many fields share one copy of each name.
db::RestoreRow recordAt(const Sql& records, Sql& changes, std::set<QString>& names)
{
    db::RestoreRow row;
    row.record = records.integer(1);
    row.rowOid = records.string(2);
    row.ctid = records.string(3);
    row.xmin = records.string(4);
    row.key = toVector(listOf(records.string(5)));
    changes.bind(1, records.integer(0));
    while (changes.step())
        row.fields.push_back({*names.insert(changes.string(0)).first, changes.string(2), changes.text(1)});
    changes.reset();
    return row;
}

// What a record takes in memory, near enough: each field, and its texts at two bytes a character.
qint64 sizeInMemory(const db::RestoreRow& row)
{
    auto bytes = static_cast<qint64>(sizeof(db::RestoreRow));
    for (const db::RestoreField& field : row.fields)
        bytes += static_cast<qint64>(sizeof(db::RestoreField)) +
                 2 * (field.expected.size() + (field.value ? field.value->size() : 0));
    return bytes;
}

// The next few stores of the run after the one numbered after, without those that never committed.
std::vector<JournalStore> storesAfter(sqlite3* db, qint64 run, qint64 after)
{
    constexpr qint64 StoresAtOnce = 64;
    std::vector<JournalStore> stores;
    Sql q(db, "SELECT s.id, s.schema, s.name, s.key_columns, s.txid, s.state, "
              "(SELECT count(*) FROM records r WHERE r.store = s.id) FROM stores s "
              "WHERE s.run = ? AND s.state <> 'failed' AND s.id > ? ORDER BY s.id LIMIT ?");
    q.bind(1, run).bind(2, after).bind(3, StoresAtOnce);
    while (q.step()) {
        JournalStore store;
        store.id = q.integer(0);
        store.table = {q.string(1), q.string(2)};
        store.keyColumns = toVector(listOf(q.string(3)));
        store.transaction = q.string(4);
        store.confirmed = q.string(5) == u"stored";
        store.records = q.integer(6);
        stores.push_back(std::move(store));
    }
    return stores;
}

// As Journal::storeRows.
JournalRows rowsAfter(sqlite3* db, qint64 store, qint64 after, size_t maxRows, qint64 maxBytes)
{
    JournalRows out;
    Sql records(db, (std::string(RecordsQuery) + "WHERE store = ? AND id > ? ORDER BY id").c_str());
    Sql changes(db, ChangesQuery);
    records.bind(1, store).bind(2, after);
    std::set<QString> names;
    qint64 bytes = 0;
    while (out.rows.size() < maxRows && bytes < maxBytes && records.step()) {
        out.entries.push_back(records.integer(0));
        out.rows.push_back(recordAt(records, changes, names));
        bytes += sizeInMemory(out.rows.back());
    }
    return out;
}

db::RestoreRow recordOf(sqlite3* db, qint64 entry)
{
    Sql records(db, (std::string(RecordsQuery) + "WHERE id = ?").c_str());
    Sql changes(db, ChangesQuery);
    records.bind(1, entry);
    if (!records.step())
        throw JournalError(QStringLiteral("There is no record %1 in the journal.").arg(entry).toStdString());
    std::set<QString> names;
    return recordAt(records, changes, names);
}

// A run journaled before its pairs had entries ran the pairs it began with.
std::vector<RunPairs> ranOrBegun(std::vector<RunPairs> ran, const RunPairs& begun)
{
    if (ran.empty())
        ran.push_back(begun);
    return ran;
}

} // namespace

std::vector<JournalRun> Journal::runs()
{
    std::vector<JournalRun> out;
    Sql q(m_db, (std::string(RunsQuery) + " ORDER BY r.id DESC").c_str());
    while (q.step())
        out.push_back(runFrom(q));
    for (JournalRun& run : out)
        run.pairsRan = ranOrBegun(pairsRan(m_db, run.id), run.pairs);
    return out;
}

qint64 Journal::newestRun()
{
    Sql q(m_db, "SELECT coalesce(max(id), 0) FROM runs");
    return q.step() ? q.integer(0) : 0;
}

JournalRun Journal::run(qint64 id)
{
    Sql q(m_db, (std::string(RunsQuery) + " WHERE r.id = ?").c_str());
    q.bind(1, id);
    if (!q.step())
        throw JournalError(QStringLiteral("There is no run %1 in the journal.").arg(id).toStdString());
    JournalRun run = runFrom(q);
    run.pairsRan = ranOrBegun(pairsRan(m_db, id), run.pairs);
    return run;
}

std::map<QString, long long> storedFields(Journal& journal, qint64 run)
{
    Sql q(journal.m_db,
          "SELECT s.schema, s.name, count(*) FROM stores s JOIN records r ON r.store = s.id JOIN changes c "
          "ON c.record = r.id WHERE s.run = ? AND s.state <> 'failed' GROUP BY s.schema, s.name");
    q.bind(1, run);
    std::map<QString, long long> fields;
    while (q.step())
        fields[db::Table{q.string(0), q.string(1)}.qualifiedName()] = q.integer(2);
    return fields;
}

void Journal::forEachStore(qint64 run, const std::function<void(const JournalStore&)>& visit)
{
    // A few headers at a time, each lot read to its end before it is visited: an undo writes its own
    // stores into the journal meanwhile, and a run may have as many stores as records.
    for (std::vector<JournalStore> stores = storesAfter(m_db, run, 0); !stores.empty();
         stores = storesAfter(m_db, run, stores.back().id))
        for (const JournalStore& store : stores)
            visit(store);
}

JournalRows Journal::storeRows(qint64 store, qint64 after, size_t maxRows, qint64 maxBytes)
{
    return rowsAfter(m_db, store, after, maxRows, maxBytes);
}

db::RestoreRow Journal::record(qint64 entry)
{
    return recordOf(m_db, entry);
}

} // namespace quarvel::engine
