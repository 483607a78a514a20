// The server's chain from the plan's SQL, nested and stepwise, against the plan's own on random cases.
#include "core/ReplacementPlan.h"
#include "db/Connection.h"
#include "db/ConnectionState.h"
#include "db/Statement.h"
#include "tests/support/TestDatabase.h"

#include <QRandomGenerator>
#include <QtTest>

using namespace quarvel;

class TestReplacementSql : public QObject
{
    Q_OBJECT
private slots:
    void serverChainIsThePlansChain()
    {
        QUARVEL_REQUIRE_DB();
        constexpr quint32 Seed = 20261209;
        QRandomGenerator random(Seed);
        // Overlapping finds ("aa" in "aaa"), spaces at both ends, a surrogate pair, what arrays escape.
        const QStringList pieces{"a", "a", "b", " ", " ", "\"", "\\", "\u00e9", "\U0001F600"};
        auto text = [&](int longest) {
            QString text;
            for (int n = random.bounded(longest + 1); n > 0; --n)
                text += pieces[random.bounded(int(pieces.size()))];
            return text;
        };
        std::vector<ReplacementPlan> plans;
        std::vector<std::vector<QString>> texts(60);
        QStringList branches;
        std::vector<QString> parameters;
        for (size_t c = 0; c < texts.size(); ++c) {
            std::vector<ReplacementPair> pairs;
            for (int k = random.bounded(1, 5); k > 0; --k) {
                const QString find = text(3);
                pairs.push_back({find, (random.bounded(3) == 0 ? find : QString()) + text(3)});
            }
            for (int i = 0; i < 8; ++i)
                texts[c].push_back(text(8));
            const ReplacementPlan& plan = plans.emplace_back(pairs);
            const auto sql = plan.sqlArrayElements("p.f", "p.r");
            branches << QStringLiteral("SELECT %1, t.i, ").arg(c) + plan.sqlChain("t.v", sql) +
                            QStringLiteral(", x%1.c0 FROM unnest(CAST(? AS pg_catalog.text[]) || CAST(NULL "
                                           "AS pg_catalog.text)) "
                                           "WITH ORDINALITY AS t(v, i) CROSS JOIN (SELECT CAST(? AS "
                                           "pg_catalog.text[]) AS f, CAST(? AS pg_catalog.text[]) AS r) AS p")
                                .arg(pairs.size()) +
                            plan.sqlChainSteps({"t.v"}, sql, "x");
            parameters.insert(parameters.end(), {db::arrayLiteral(texts[c]), db::arrayLiteral(plan.finds()),
                                                 db::arrayLiteral(plan.replacements())});
        }
        db::Connection connection;
        connection.open(test::TestDatabase::connectionString());
        db::Statement statement(connection.state().shared_from_this());
        statement.prepare(branches.join(" UNION ALL ") + " ORDER BY 1, 2");
        // The server cannot hold a NUL, and the driver would cut the text there: refused before sending.
        std::vector<QString> withNul = parameters;
        withNul[random.bounded(int(withNul.size()))].insert(1, QChar(0));
        try {
            statement.execute(withNul);
            QFAIL("a NUL was sent");
        } catch (const db::DbError& error) {
            QCOMPARE(error.sqlState(), "22021"); // the driver would have cut the text, the array broken
        }
        statement.execute(parameters);
        size_t rows = 0;
        for (; statement.fetch(); ++rows) {
            const size_t c = statement.text(1)->toULong();
            const size_t i = statement.text(2)->toULong(); // the last of a case is a null
            const auto value = i <= texts[c].size() ? std::optional(texts[c].at(i - 1)) : std::nullopt;
            const QString expected = plans[c].apply(value).value.value_or("NULL");
            const QString nested = statement.text(3).value_or("NULL");
            const QString stepwise = statement.text(4).value_or("NULL");
            QVERIFY2(nested == expected && stepwise == expected,
                     qPrintable(QStringLiteral("seed %1, case %2, \"%3\": server %4 and %5, plan %6")
                                    .arg(QString::number(Seed), QString::number(c), value.value_or("NULL"),
                                         nested, stepwise, expected)));
        }
        QCOMPARE(rows, texts.size() * 9);
    }
};

QTEST_GUILESS_MAIN(TestReplacementSql)
#include "tst_replacementsql.moc"
