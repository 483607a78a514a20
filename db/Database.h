#pragma once
// The connection string, the connection checks and the table catalogue.

#include "db/Connection.h"
#include "db/Table.h"

#include <QString>

#include <utility>

namespace quarvel::db {

struct ConnectionDetails
{
    QString server;
    QString port;
    QString user;
    QString password;
    QString database;
};

// "Driver={PostgreSQL Unicode};Server=...;Port=...;Uid=...;Pwd=...;Database=..." with the texts as
// typed (the driver as driver::connectionDriverName() names it), so that each reaches the server intact
// through psqlODBC (measured with psqlODBC 13 under unixODBC):
// - The password is wrapped in braces, a '}' inside doubled, when it holds ';', '{', '}', '+' or '%' or
//   leading or trailing blanks; the driver takes the braces off again. Any password can be passed.
// - Server, port, user name and database name go in bare: the driver never takes braces off them, so
//   blanks, braces inside, '=' and quotes reach the server as typed. One holding ';', or (except the
//   database name, which comes last) beginning with '{', cannot be passed: the driver would cut it or
//   read the keywords after it into it, and connect as another role or to another database.
// Throws std::runtime_error with the text of connectionDetailsProblem when a detail cannot be passed.
QString BuildConnectionString(const ConnectionDetails& details);

// Empty when BuildConnectionString can pass every detail; otherwise which detail cannot be passed and
// why, e.g. 'The user name "a;b" cannot be passed to the PostgreSQL ODBC driver: it holds ";"'.
QString connectionDetailsProblem(const ConnectionDetails& details);

// True when a connection with the string opens. Swallows every failure; shows nothing.
bool CanConnect(const QString& connectionString) noexcept;

// The same for the details: also false, silently, when they cannot be passed to the driver.
bool CanConnect(const ConnectionDetails& details) noexcept;

// "Test Connection": a connection opened with the details only to see that it opens, and kept open
// until this goes, so that the user can be told of success while it stands.
class ConnectionTest
{
public:
    explicit ConnectionTest(ConnectionDetails details) : m_details(std::move(details)) {}

    // Throws DbError when the server refuses, std::runtime_error when a detail cannot be passed.
    void open() { m_connection.open(BuildConnectionString(m_details)); }
    bool isOpen() const { return m_connection.isOpen(); }

    // What the user is told when the test fails: the advice to ask the administrator, and, when a
    // detail cannot be passed to the driver, which one, as that is the one failure the user cannot
    // find out otherwise.
    static QString failureMessage(const ConnectionDetails& details);

private:
    ConnectionDetails m_details;
    Connection m_connection;
};

// Where FillTableList puts the names; the window's table list implements it.
class TableListSink
{
public:
    virtual ~TableListSink() = default;
    virtual void processEvents() = 0;
    virtual void appendTable(const Table& table) = 0;
};

// Appends every user table of the database (no system catalogues; a partitioned table once, its
// partitions not), sorted by display name. Throws DbError; the names appended before a failure stay.
void FillTableList(const QString& connectionString, TableListSink& list);

} // namespace quarvel::db
