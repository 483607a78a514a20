#pragma once
// A run as the Main window makes it with the sets tab selected and every listed table ticked, against
// the test server; for tests that hold another way of running (the command line, the preview) to it.

#include "engine/ReplaceRun.h"
#include "engine/SetLists.h"
#include "tests/support/ScriptedPrompts.h"
#include "tests/support/TestDatabase.h"

#include <QList>

namespace quarvel::test {

class SetsRunHost : public engine::RunHost
{
public:
    QList<db::Table> tables;
    QList<engine::Set> sets;
    ScriptedPrompts shown;

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
};

} // namespace quarvel::test
