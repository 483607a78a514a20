#pragma once
// The one exception type of the data access layer.

#include <QString>

#include <stdexcept>

namespace quarvel::db {

class DbError : public std::runtime_error
{
public:
    // message: the server's or driver's own text, without the driver's "\nError while executing the
    // query" tail. what() is that message in UTF-8.
    DbError(QString message, QString sqlState = QString(), int nativeCode = 0);

    const QString& message() const { return m_message; }
    const QString& sqlState() const { return m_sqlState; }
    int nativeCode() const { return m_nativeCode; }

    // A failure that says the table as read is gone (rewritten, replaced, locked whole by another
    // session): no later record of it can be stored either.
    static DbError leavingTheTable(QString message, QString sqlState = QString());

    // A failure after which the run may store nothing more anywhere: the journal of old values could
    // not be written. It also leaves the table.
    static DbError stoppingTheRun(QString message);
    bool stopsTheRun() const { return m_stopsRun; }

    // The same failure, its message followed by a line that says where it happened.
    DbError describing(const QString& where) const;

    // SQLSTATE classes after which a table can take no further changes in this run: a lost or broken
    // connection (08), no privilege (42501), a read-only transaction (25006), the server shutting down
    // (57P0x), and the like; and every failure made by leavingTheTable.
    bool ruinsTheTable() const;

    // The server could not send a text in the connection's encoding (a byte that is not UTF-8 in a
    // SQL_ASCII database, say): what failed is one row's, not the statement's.
    bool notCarried() const
    {
        return m_sqlState == QLatin1String("22021") || m_sqlState == QLatin1String("22P05");
    }

private:
    QString m_message;
    QString m_sqlState;
    int m_nativeCode = 0;
    bool m_leavesTable = false;
    bool m_stopsRun = false;
};

} // namespace quarvel::db
