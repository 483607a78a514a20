#pragma once
// The throwaway test server that scripts/test starts, reached through environment variables. Tests
// build their tables with psql, an independent path, and check what the database holds the same way.
//
// Each test program gets a database of its own on each server, made at its first use and dropped at its
// end, and the variables are pointed at it: programs that ctest runs side by side share the servers but no
// table, schema or session. Server-wide things (roles, other databases) carry names only one program uses.
// QUARVEL_TEST_SHARED_DATABASE=1 keeps the database the script made (to look at what a test left).
//
// Without the variables a database test fails, unless QUARVEL_ALLOW_DB_SKIP=1 asks for a skip: a
// missing server must never pass unnoticed.

#include "db/Database.h"

#include <QString>
#include <QStringList>

namespace quarvel::test {

class TestDatabase
{
public:
    // False (after QFAIL or QSKIP) when no server is configured; use with QUARVEL_REQUIRE_DB.
    static bool available();

    static db::ConnectionDetails details();
    static QString connectionString();

    // Runs SQL through psql as the test role (or as the superuser) and returns its unaligned,
    // tuples-only output, rows joined by '\n'. Throws std::runtime_error on any error.
    static QString psql(const QString& sql);
    static QString psqlAdmin(const QString& sql);

    // The second throwaway server (QUARVEL_TEST_REMOTE_*), that holds the tables behind foreign tables of
    // the test server; psqlRemote runs SQL there as its test role, as psql does here.
    static bool remoteAvailable();
    static db::ConnectionDetails remoteDetails();
    static QString psqlRemote(const QString& sql);

    // Drops and recreates a schema owned by the test role.
    static void freshSchema(const QString& schema);

    // The server's own message (the line after "ERROR:  ") for a statement that fails, read through psql
    // as the test role with the default search path; empty when the statement does not fail.
    static QString serverMessage(const QString& sql);

    // The number of connections the test role has opened to this program's database since the server
    // started (from its log).
    static long long connectionCount();
};

} // namespace quarvel::test

// Fails (or skips with QUARVEL_ALLOW_DB_SKIP=1) the current test when no server is configured.
#define QUARVEL_REQUIRE_DB()                                                                                 \
    do {                                                                                                     \
        if (!quarvel::test::TestDatabase::available()) {                                                     \
            if (qEnvironmentVariableIntValue("QUARVEL_ALLOW_DB_SKIP") == 1)                                  \
                QSKIP("no test database (QUARVEL_TEST_* unset)");                                            \
            QFAIL("no test database: QUARVEL_TEST_* are unset; run the tests through scripts/test");         \
        }                                                                                                    \
    } while (false)
