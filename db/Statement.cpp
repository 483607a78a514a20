#include "db/Statement.h"

#include "db/ConnectionState.h"

#include <QStringList>

#include <algorithm>
#include <map>
#include <utility>

namespace quarvel::db {

namespace {
// Most values fit at once; longer ones are read on in the same call.
constexpr size_t FirstReadUnits = 2048;

// The code units the driver put into a buffer it filled to the brim. It writes a terminating NUL;
// PostgreSQL text never holds U+0000, so the first NUL ends the piece.
qsizetype filledLength(const SQLWCHAR* text, qsizetype capacity)
{
    const SQLWCHAR* end = std::find(text, text + capacity, SQLWCHAR(0));
    return end - text;
}
} // namespace

Statement::Statement(std::shared_ptr<ConnectionState> connection)
    : m_connection(std::move(connection)), m_handle(StatementHandle::allocate(m_connection->openHandle())),
      m_buffer(FirstReadUnits)
{}

Statement& Statement::operator=(Statement&& other) noexcept
{
    if (this != &other) {
        m_handle = std::move(other.m_handle);
        m_connection = std::move(other.m_connection);
        m_buffer = std::move(other.m_buffer);
        m_indicators = std::move(other.m_indicators);
        m_lastColumn = std::exchange(other.m_lastColumn, 0);
        m_lastValue = std::exchange(other.m_lastValue, std::nullopt);
    }
    return *this;
}

SQLHDBC Statement::connectionHandle() const
{
    return m_connection->connection.get();
}

void Statement::check(SQLRETURN result, const char* operation) const
{
    if (SQL_SUCCEEDED(result))
        return;
    DbError failure = diagnosticsError(
        SQL_HANDLE_STMT, m_handle.get(),
        QStringLiteral("%1 failed without a message from the driver.").arg(QLatin1String(operation)));
    if (!failure.sqlState().startsWith(u"08")) {
        SQLUINTEGER dead = SQL_CD_FALSE;
        if (SQL_SUCCEEDED(
                SQLGetConnectAttr(connectionHandle(), SQL_ATTR_CONNECTION_DEAD, &dead, 0, nullptr)) &&
            dead == SQL_CD_TRUE)
            throw DbError(failure.message(), QStringLiteral("08S01"), failure.nativeCode());
    }
    throw failure;
}

void Statement::executeDirect(const QString& sql)
{
    forgetValue();
    const SQLRETURN result = SQLExecDirectW(m_handle.get(), const_cast<SQLWCHAR*>(odbcText(sql)),
                                            static_cast<SQLINTEGER>(sql.size()));
    if (result != SQL_NO_DATA)
        check(result, "SQLExecDirect");
}

void Statement::prepare(const QString& sql)
{
    check(SQLPrepareW(m_handle.get(), const_cast<SQLWCHAR*>(odbcText(sql)),
                      static_cast<SQLINTEGER>(sql.size())),
          "SQLPrepare");
}

QString arrayLiteral(const std::vector<QString>& texts)
{
    qsizetype size = 2;
    for (const QString& text : texts)
        size += text.size() + 3;
    QString out;
    out.reserve(size);
    out += u'{';
    for (size_t i = 0; i < texts.size(); ++i) {
        if (i > 0)
            out += u',';
        out += u'"';
        for (const QChar c : texts[i]) {
            if (c == u'"' || c == u'\\')
                out += u'\\';
            out += c;
        }
        out += u'"';
    }
    out += u'}';
    return out;
}

void refuseNul(const QString& text)
{
    if (text.contains(QChar(u'\0')))
        throw DbError(QStringLiteral("ERROR: invalid byte sequence for encoding \"UTF8\": 0x00"),
                      QStringLiteral("22021"));
}

void refuseUnheldInAscii(const std::optional<QString>& before, const QString& text)
{
    std::map<char32_t, int> held;
    for (const char32_t c : before.value_or(QString()).toUcs4())
        if (c > 0x7f)
            ++held[c];
    for (const char32_t c : text.toUcs4()) {
        if (c <= 0x7f || held[c]-- > 0)
            continue;
        QStringList bytes;
        for (const char byte : QString::fromUcs4(&c, 1).toUtf8())
            bytes << QStringLiteral("0x%1").arg(static_cast<unsigned char>(byte), 2, 16, QLatin1Char('0'));
        throw DbError(QStringLiteral("ERROR: character with byte sequence %1 in encoding \"UTF8\" has no "
                                     "equivalent in encoding \"SQL_ASCII\"")
                          .arg(bytes.join(u' ')),
                      QStringLiteral("22P05"));
    }
}

bool Statement::execute(const std::vector<QString>& parameters)
{
    for (const QString& value : parameters)
        refuseNul(value);
    m_indicators.assign(parameters.size(), 0);
    SQLFreeStmt(m_handle.get(), SQL_RESET_PARAMS);
    for (size_t i = 0; i < parameters.size(); ++i) {
        const QString& value = parameters[i];
        const auto bytes = static_cast<SQLLEN>(value.size() * qsizetype(sizeof(SQLWCHAR)));
        m_indicators[i] = bytes;
        // The parameter goes as text of unknown type; the SQL text casts it where the type matters.
        check(SQLBindParameter(m_handle.get(), static_cast<SQLUSMALLINT>(i + 1), SQL_PARAM_INPUT, SQL_C_WCHAR,
                               SQL_WVARCHAR, static_cast<SQLULEN>(std::max<qsizetype>(value.size(), 1)), 0,
                               const_cast<SQLWCHAR*>(odbcText(value)), bytes, &m_indicators[i]),
              "SQLBindParameter");
    }
    forgetValue();
    return gave(SQLExecute(m_handle.get()), "SQLExecute");
}

bool Statement::fetch()
{
    forgetValue();
    return gave(SQLFetch(m_handle.get()), "SQLFetch");
}

bool Statement::gave(SQLRETURN result, const char* operation) const
{
    if (result == SQL_NO_DATA)
        return false;
    check(result, operation);
    return true;
}

std::optional<QString> Statement::text(SQLUSMALLINT column)
{
    if (column == m_lastColumn)
        return m_lastValue;
    m_lastColumn = 0;
    m_lastValue = readText(column);
    m_lastColumn = column;
    return m_lastValue;
}

std::optional<QString> Statement::readText(SQLUSMALLINT column)
{
    const auto bufferBytes = static_cast<SQLLEN>(m_buffer.size() * sizeof(SQLWCHAR));
    SQLLEN indicator = 0;
    SQLRETURN result =
        SQLGetData(m_handle.get(), column, SQL_C_WCHAR, m_buffer.data(), bufferBytes, &indicator);
    check(result, "SQLGetData");
    if (indicator == SQL_NULL_DATA)
        return std::nullopt;
    if (result == SQL_SUCCESS || (indicator != SQL_NO_TOTAL && indicator < bufferBytes))
        return fromOdbcText(m_buffer.data(), indicator / SQLLEN(sizeof(SQLWCHAR)));

    // Longer than the buffer (01004): keep what came and read the rest straight into the text, sized
    // from the byte count that the driver reports (counted from the start of the call before).
    qsizetype piece = filledLength(m_buffer.data(), static_cast<qsizetype>(m_buffer.size()));
    QString value = fromOdbcText(m_buffer.data(), piece);
    for (;;) {
        const qsizetype rest = indicator == SQL_NO_TOTAL
                                   ? std::max<qsizetype>(value.size(), FirstReadUnits)
                                   : std::max<qsizetype>(indicator / SQLLEN(sizeof(SQLWCHAR)) - piece, 1);
        const qsizetype room = rest + 1; // the driver adds a NUL
        const auto roomBytes = static_cast<SQLLEN>(room * qsizetype(sizeof(SQLWCHAR)));
        const qsizetype start = value.size();
        value.resize(start + room);
        result = SQLGetData(m_handle.get(), column, SQL_C_WCHAR, odbcText(value.data() + start), roomBytes,
                            &indicator);
        if (result == SQL_NO_DATA) {
            value.resize(start);
            return value;
        }
        if (!SQL_SUCCEEDED(result)) {
            value.resize(start);
            check(result, "SQLGetData");
        }
        if (result == SQL_SUCCESS || (indicator != SQL_NO_TOTAL && indicator < roomBytes)) {
            value.resize(start + indicator / SQLLEN(sizeof(SQLWCHAR)));
            return value;
        }
        piece = filledLength(odbcText(value.data() + start), room);
        value.resize(start + piece);
    }
}

void Statement::forgetValue() noexcept
{
    m_lastColumn = 0;
    m_lastValue.reset();
}

long long Statement::rowCount() const
{
    SQLLEN rows = 0;
    check(SQLRowCount(m_handle.get(), &rows), "SQLRowCount");
    return rows;
}

int Statement::columnCount() const
{
    SQLSMALLINT columns = 0;
    check(SQLNumResultCols(m_handle.get(), &columns), "SQLNumResultCols");
    return columns;
}

QString Statement::columnName(SQLUSMALLINT column) const
{
    std::vector<SQLWCHAR> name(256);
    SQLSMALLINT length = 0;
    SQLSMALLINT type = 0;
    SQLULEN size = 0;
    SQLSMALLINT digits = 0;
    SQLSMALLINT nullable = 0;
    check(SQLDescribeColW(m_handle.get(), column, name.data(), static_cast<SQLSMALLINT>(name.size()), &length,
                          &type, &size, &digits, &nullable),
          "SQLDescribeCol");
    if (length >= static_cast<SQLSMALLINT>(name.size())) {
        name.resize(static_cast<size_t>(length) + 1);
        check(SQLDescribeColW(m_handle.get(), column, name.data(), static_cast<SQLSMALLINT>(name.size()),
                              &length, &type, &size, &digits, &nullable),
              "SQLDescribeCol");
    }
    return fromOdbcText(name.data(), length);
}

void Statement::closeCursor() noexcept
{
    forgetValue();
    SQLFreeStmt(m_handle.get(), SQL_CLOSE);
}

} // namespace quarvel::db
