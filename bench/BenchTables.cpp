#include "bench/BenchTables.h"

#include "db/Statement.h"

#include <QElapsedTimer>

namespace quarvel::bench {

double secondsOf(const std::function<void()>& body)
{
    QElapsedTimer timer;
    timer.start();
    body();
    return double(timer.nsecsElapsed()) / 1e9;
}

void createTable(const std::shared_ptr<db::ConnectionState>& handle, const db::Table& table, long long rows,
                 const QString& find, int matchEvery)
{
    db::Statement create(handle);
    create.executeDirect(QStringLiteral("DROP TABLE IF EXISTS ") + table.qualifiedName());
    create.executeDirect(QStringLiteral("CREATE TABLE ") + table.qualifiedName() +
                         QStringLiteral(" (c1 text, c2 text, c3 text, c4 text, c5 text)"));
    db::Statement fill(handle);
    fill.prepare(
        QStringLiteral("INSERT INTO ") + table.qualifiedName() +
        QStringLiteral(" SELECT left(md5(g::text), 30), left(md5((g + 1)::text), 30), "
                       "CASE WHEN g % CAST(? AS integer) = 0 THEN left(md5((g + 2)::text), 12) || ' ' || "
                       "CAST(? AS text) || ' ' || left(md5((g + 5)::text), 11) "
                       "ELSE left(md5((g + 2)::text), 30) END, "
                       "left(md5((g + 3)::text), 30), left(md5((g + 4)::text), 30) "
                       "FROM generate_series(1, CAST(? AS integer)) g"));
    fill.execute({QString::number(matchEvery), find, QString::number(rows)});
}

void copyTable(const std::shared_ptr<db::ConnectionState>& handle, const db::Table& from, const db::Table& to)
{
    db::Statement create(handle);
    create.executeDirect(QStringLiteral("DROP TABLE IF EXISTS ") + to.qualifiedName());
    create.executeDirect(QStringLiteral("CREATE TABLE ") + to.qualifiedName() +
                         QStringLiteral(" AS SELECT * FROM ") + from.qualifiedName());
}

double serverUpdateSeconds(const std::shared_ptr<db::ConnectionState>& handle, const db::Table& table,
                           const QString& find, const QString& replacement, const QStringList& columns)
{
    return secondsOf([&] {
        db::Statement update(handle);
        for (const QString& column : columns) {
            const QString c = db::quoteIdentifier(column);
            update.prepare(QStringLiteral("UPDATE ") + table.qualifiedName() + QStringLiteral(" SET ") + c +
                           QStringLiteral(" = btrim(replace(") + c +
                           QStringLiteral(", CAST(? AS text), CAST(? AS text)), ' ') WHERE strpos(") + c +
                           QStringLiteral(", CAST(? AS text)) > 0"));
            update.execute({find, replacement, find});
        }
    });
}

bool sameRows(const std::shared_ptr<db::ConnectionState>& handle, const db::Table& a, const db::Table& b)
{
    db::Statement compare(handle);
    compare.executeDirect(QStringLiteral("SELECT count(*) FROM ((SELECT * FROM ") + a.qualifiedName() +
                          QStringLiteral(" EXCEPT ALL SELECT * FROM ") + b.qualifiedName() +
                          QStringLiteral(") UNION ALL (SELECT * FROM ") + b.qualifiedName() +
                          QStringLiteral(" EXCEPT ALL SELECT * FROM ") + a.qualifiedName() +
                          QStringLiteral(")) d"));
    compare.fetch();
    const bool same = compare.text(1).value_or(QStringLiteral("?")) == QStringLiteral("0");
    compare.closeCursor();
    return same;
}

} // namespace quarvel::bench
