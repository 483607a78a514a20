// The chain the server computes from the plan's SQL, nested and stepwise, against the plan's own chain, on
// random texts and pair lists: two answers to one question, so that the engines cannot drift apart.
#include "core/ReplacementPlan.h"
#include "db/Connection.h"
#include "db/ConnectionState.h"
#include "db/DbError.h"
#include "db/Statement.h"
#include "tests/support/TestDatabase.h"

#include <QRandomGenerator>
#include <QtTest>

using namespace quarvel;

namespace {
constexpr quint32 Seed = 20261209;

// Overlapping finds ("aa" in "aaa"), spaces at both ends, a surrogate pair, what an array literal escapes.
const QStringList Pieces{"a",
                         "a",
                         "b",
                         " ",
                         " ",
                         "\"",
                         "\\",
                         QString::fromUtf8("\xc3\xa9"),
                         QString::fromUtf8("\xf0\x9f\x98\x80")};

QString randomText(QRandomGenerator& random, int longest)
{
    QString text;
    for (int n = random.bounded(longest + 1); n > 0; --n)
        text += Pieces[random.bounded(int(Pieces.size()))];
    if (random.bounded(24) == 0)
        text.insert(random.bounded(int(text.size()) + 1), QChar(0));
    return text;
}

// The SQLSTATE of the refusal before sending; empty when the text may be sent.
QString nulRefusal(const QString& text)
{
    try {
        db::refuseNul(text);
        return {};
    } catch (const db::DbError& error) {
        return error.sqlState();
    }
}
} // namespace

class TestReplacementSql : public QObject
{
    Q_OBJECT
private slots:
    void serverChainIsThePlansChain()
    {
        QUARVEL_REQUIRE_DB();
        QRandomGenerator random(Seed);
        std::vector<ReplacementPlan> plans;
        std::vector<std::vector<QString>> texts;
        QStringList branches;
        std::vector<QString> parameters;
        int refused = 0;
        int wrong = 0; // a text with a NUL sent, or one without refused
        auto sendable = [&](const QString& text) {
            const bool sent = nulRefusal(text).isEmpty();
            refused += sent ? 0 : 1;
            wrong += sent == text.contains(QChar(0)) || (!sent && nulRefusal(text) != "22021") ? 1 : 0;
            return sent;
        };
        for (int c = 0; c < 60; ++c) {
            std::vector<ReplacementPair> pairs;
            for (int k = random.bounded(1, 5); k > 0; --k) {
                const QString find = randomText(random, 3);
                const QString replacement =
                    (random.bounded(3) == 0 ? find : QString()) + randomText(random, 3);
                if (sendable(find) && sendable(replacement))
                    pairs.push_back({find, replacement});
            }
            const ReplacementPlan& plan = plans.emplace_back(std::move(pairs));
            std::vector<QString> finds;
            std::vector<QString> replacements;
            for (const ReplacementPair& pair : plan.pairs()) {
                finds.push_back(pair.find);
                replacements.push_back(pair.replacement);
            }
            std::vector<QString>& values = texts.emplace_back();
            for (int i = 0; i < 8; ++i)
                if (const QString text = randomText(random, 8); sendable(text))
                    values.push_back(text);
            const auto sql = plan.sqlArrayElements(QStringLiteral("p.f"), QStringLiteral("p.r"));
            branches << QStringLiteral(
                            "SELECT %1, t.i, %2, x%3.c0 FROM unnest(CAST(? AS pg_catalog.text[])) WITH "
                            "ORDINALITY AS t(v, i) CROSS JOIN (SELECT CAST(? AS pg_catalog.text[]) AS f, "
                            "CAST(? AS pg_catalog.text[]) AS r) AS p")
                                .arg(c)
                                .arg(plan.sqlChain(QStringLiteral("t.v"), sql))
                                .arg(plan.pairs().size()) +
                            plan.sqlChainSteps({QStringLiteral("t.v")}, sql, QStringLiteral("x"));
            parameters.insert(parameters.end(), {db::arrayLiteral(values), db::arrayLiteral(finds),
                                                 db::arrayLiteral(replacements)});
        }
        QVERIFY(refused > 0);
        QCOMPARE(wrong, 0);

        db::Connection connection;
        connection.open(test::TestDatabase::connectionString());
        db::Statement statement(connection.state().openHandle());
        statement.prepare(branches.join(QStringLiteral(" UNION ALL ")) + QStringLiteral(" ORDER BY 1, 2"));
        statement.execute(parameters);
        size_t rows = 0;
        while (statement.fetch()) {
            const size_t c = statement.text(1)->toULong();
            const QString& text = texts.at(c).at(statement.text(2)->toULong() - 1);
            const std::optional<QString> expected = plans[c].apply(text).value;
            const std::optional<QString> nested = statement.text(3);
            const std::optional<QString> stepwise = statement.text(4);
            QVERIFY2(
                nested == expected && stepwise == expected,
                qPrintable(QStringLiteral("seed %1, case %2, text \"%3\": nested \"%4\", stepwise \"%5\", "
                                          "plan \"%6\"")
                               .arg(Seed)
                               .arg(c)
                               .arg(text, nested.value_or("NULL"), stepwise.value_or("NULL"), *expected)));
            ++rows;
        }
        size_t sent = 0;
        for (const auto& values : texts)
            sent += values.size();
        QCOMPARE(rows, sent);
    }
};

QTEST_GUILESS_MAIN(TestReplacementSql)
#include "tst_replacementsql.moc"
