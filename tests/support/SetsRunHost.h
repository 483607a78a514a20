#pragma once
// A run as the Main window makes it with the sets tab selected and every listed table ticked, against
// the test server; for tests that hold another way of running (the command line, the preview) to it.

#include "engine/Journal.h"
#include "engine/ReplaceRun.h"
#include "engine/ReplacementLog.h"
#include "engine/SetLists.h"
#include "tests/support/ScriptedPrompts.h"
#include "tests/support/TestDatabase.h"

#include <QFile>
#include <QList>
#include <QRegularExpression>
#include <QStringList>

#include <limits>
#include <vector>

namespace quarvel::test {

class SetsRunHost : public engine::RunHost
{
public:
    QList<db::Table> tables;
    QList<engine::Set> sets;
    ScriptedPrompts shown;
    engine::Journal* journaling = nullptr;

    int tableCount() override { return int(tables.size()); }
    bool isTicked(int) override { return true; }
    db::Table table(int i) override { return tables.at(i); }
    QString tableText(int i) override { return tables.at(i).displayName(); }
    QString connectionString() override { return TestDatabase::connectionString(); }
    int selectedTab() override { return 1; }
    QString findText() override { return {}; }
    QString replaceText() override { return {}; }
    int setCount() override { return int(sets.size()); }
    QString setFindText(int k) override { return sets.at(k).find; }
    QString setReplaceText(int k) override { return sets.at(k).replacement; }
    void processEvents() override {}
    void setPointerMode(PointerMode) override {}
    Prompts& prompts() override { return shown; }
    engine::Journal* journal() override { return journaling; }
};

// Every record of a store of the journal, read at once.
inline std::vector<db::RestoreRow> storedRows(engine::Journal& journal, const engine::JournalStore& store)
{
    return journal.storeRows(store.id, 0, size_t(store.records), std::numeric_limits<qint64>::max()).rows;
}

// The log's lines without their time, the schema's name in the table's made "S.", sorted: what two runs
// over copies of the same tables in two schemas must both have written.
inline QStringList logLinesOf(const QString& schema)
{
    QFile log(engine::logFilePath());
    if (!log.open(QIODevice::ReadOnly))
        return {};
    QStringList lines;
    static const QRegularExpression time(QStringLiteral("^\\[[^\\]]*\\] - "));
    for (QString line : QString::fromLatin1(log.readAll()).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts))
        lines << line.remove(time).replace(schema + u'.', QStringLiteral("S."));
    lines.sort();
    return lines;
}

// The server's message of each refusal reported (its first line), sorted.
inline QStringList refusalsOf(const ScriptedPrompts& shown)
{
    QStringList messages;
    for (const QString& report : shown.errorReports())
        messages << report.section(u'\n', 0, 0).section(QStringLiteral("\r"), 0, 0);
    messages.sort();
    return messages;
}

} // namespace quarvel::test
