#pragma once
// The record walk's host for a run that has no window: the request's tables all ticked and its pairs
// fixed, and everything the walk tells passed on to an observer.

#include "engine/ReplaceRun.h"
#include "engine/RunRequest.h"

namespace quarvel::engine {

class RequestHost : public RunHost
{
public:
    RequestHost(const RunRequest& request, RunObserver& observer) : m_request(request), m_observer(observer)
    {}

    int tableCount() override { return int(m_request.tables.size()); }
    bool isTicked(int) override { return true; }
    db::Table table(int entry) override { return m_request.tables.at(entry).first; }
    QString tableText(int entry) override { return m_request.tables.at(entry).second; }
    QString connectionString() override { return m_request.connectionString; }
    int selectedTab() override { return m_request.singlePair ? 0 : 1; }
    QString findText() override { return m_request.pairs.value(0).find; }
    QString replaceText() override { return m_request.pairs.value(0).replacement; }
    int setCount() override { return int(m_request.pairs.size()); }
    QString setFindText(int set) override { return m_request.pairs.at(set).find; }
    QString setReplaceText(int set) override { return m_request.pairs.at(set).replacement; }
    void processEvents() override {}
    void setPointerMode(PointerMode) override {}
    RunSelection selection() override { return m_request.selection; }

    void tableStarted(int entry) override { m_observer.tableStarted(entry); }
    void progress(int entry, int entryCount, long long record, long long recordCount) override
    {
        m_observer.progress(entry, entryCount, record, recordCount);
    }
    void replaced(const QString& fieldName) override { m_observer.replaced(fieldName); }
    void unlogged(const QString& fieldName) override { m_observer.unlogged(fieldName); }
    void notUpdatable(int entry, const QStringList& columns) override
    {
        m_observer.notUpdatable(entry, columns);
    }
    bool stopRequested() override { return m_observer.stopRequested(); }
    Journal* journal() override { return m_observer.journal(); }
    Prompts& prompts() override { return m_observer.prompts(); }

private:
    const RunRequest& m_request;
    RunObserver& m_observer;
};

} // namespace quarvel::engine
