#pragma once
// One ODBC statement on an open connection: run or prepare SQL text, bind text parameters, fetch rows
// and read values as text. Internal to the data access layer (and its benchmark).

#include "db/OdbcHandle.h"

#include <QString>

#include <memory>
#include <optional>
#include <vector>

namespace quarvel::db {

struct ConnectionState;

// The driver ends a text parameter at its first NUL without a word, so "a\0b" would be stored as "a".
// The server cannot hold a NUL in text anyway: such a text is refused (DbError, SQLSTATE 22021, in the
// server's own wording) before it is sent.
void refuseNul(const QString& text);

// A SQL_ASCII database keeps the bytes of a character past ASCII without knowing what they mean, so one
// that a change brings in would read back as something else in any other encoding (for every other
// encoding the server converts, and refuses a character it cannot hold). Throws DbError (SQLSTATE 22P05,
// in the server's own wording) when text holds a character past ASCII more often than before does.
void refuseUnheldInAscii(const std::optional<QString>& before, const QString& text);

// An array literal of texts: every element quoted, so that no text is read as NULL or cut at a comma.
QString arrayLiteral(const std::vector<QString>& texts);

class Statement
{
public:
    // Allocates a statement on the open connection, which it keeps alive while it lives. Throws DbError.
    explicit Statement(std::shared_ptr<ConnectionState> connection);
    ~Statement() = default;
    Statement(Statement&&) noexcept = default;
    // Frees its own handle before it lets go of its connection.
    Statement& operator=(Statement&& other) noexcept;
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    // Runs the text at once. Throws DbError.
    void executeDirect(const QString& sql);

    // Prepares the text once for execute(). Throws DbError.
    void prepare(const QString& sql);

    // Runs the prepared text with the parameters bound in order, each as text (never as a database
    // null: an empty QString, null or not, is the empty text); the server converts them. Returns false when
    // the statement touched no row (SQL_NO_DATA). Throws DbError.
    bool execute(const std::vector<QString>& parameters);

    // Advances to the next row of the result; false past the last one. Throws DbError.
    bool fetch();

    // The value of a result column (from 1, read in ascending order) in the current row, whole,
    // however long; nullopt for a database null. The column just read may be asked for again and gives
    // the same value. Throws DbError.
    std::optional<QString> text(SQLUSMALLINT column);

    // Rows of the result (psqlODBC knows it, having read the result whole) or rows touched.
    long long rowCount() const;
    int columnCount() const;
    QString columnName(SQLUSMALLINT column) const;

    // Ends the current result so that the statement can run again. Never fails.
    void closeCursor() noexcept;

    SQLHSTMT handle() const { return m_handle.get(); }

private:
    // Throws the statement's diagnostics unless result is a success. A connection that died meanwhile
    // is told as such (08S01): the driver reports some of those failures as a general error (HY000).
    void check(SQLRETURN result, const char* operation) const;
    // False for SQL_NO_DATA (no row, or none touched); otherwise as check.
    bool gave(SQLRETURN result, const char* operation) const;
    std::optional<QString> readText(SQLUSMALLINT column);
    void forgetValue() noexcept;

    SQLHDBC connectionHandle() const;

    // Declared before the handle, which is freed first.
    std::shared_ptr<ConnectionState> m_connection;
    StatementHandle m_handle;
    std::vector<SQLWCHAR> m_buffer;
    std::vector<SQLLEN> m_indicators;
    // The driver hands a column's value out once (SQL_NO_DATA after that), so the last one read is
    // kept until the statement moves to another row.
    SQLUSMALLINT m_lastColumn = 0;
    std::optional<QString> m_lastValue;
};

} // namespace quarvel::db
