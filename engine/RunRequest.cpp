#include "engine/RunRequest.h"

#include "engine/ReplaceRun.h"

namespace quarvel::engine {

std::vector<std::pair<QString, QString>> RunRequest::pairsThatMatch() const
{
    std::vector<std::pair<QString, QString>> matching;
    for (const Set& pair : pairs)
        if (!pair.find.isEmpty())
            matching.emplace_back(pair.find, pair.replacement);
    return matching;
}

RunPairs RunRequest::journalPairs() const
{
    RunPairs journaled;
    for (const Set& pair : pairs)
        journaled.append({pair.find, pair.replacement});
    return journaled;
}

QStringList RunRequest::tableTexts() const
{
    QStringList texts;
    for (const auto& table : tables)
        texts << table.second;
    return texts;
}

bool RunSelection::searches(int entry, const QString& column) const
{
    const auto chosen = columns.find(entry);
    return chosen == columns.end() || chosen->second.contains(column);
}

RunRequestBuilder& RunRequestBuilder::connection(const QString& connectionString)
{
    m_request.connectionString = connectionString;
    return *this;
}

RunRequestBuilder& RunRequestBuilder::table(const db::Table& table, const QString& text)
{
    m_request.tables.append({table, text});
    return *this;
}

RunRequestBuilder& RunRequestBuilder::table(const db::Table& table, const QString& text,
                                            const QStringList& columns)
{
    m_request.selection.columns[int(m_request.tables.size())] = columns;
    return this->table(table, text);
}

RunRequestBuilder& RunRequestBuilder::patterns(const SelectionPatterns& patterns)
{
    m_request.selection.patterns = patterns;
    return *this;
}

RunRequestBuilder& RunRequestBuilder::singlePair(const QString& find, const QString& replacement)
{
    m_request.pairs = {{find, replacement}};
    m_request.singlePair = true;
    return *this;
}

RunRequestBuilder& RunRequestBuilder::sets(const QList<Set>& sets)
{
    m_request.pairs = sets;
    m_request.singlePair = false;
    return *this;
}

RunRequestBuilder& RunRequestBuilder::onServer(bool server)
{
    m_request.onServer = server;
    return *this;
}

RunRequestBuilder& RunRequestBuilder::sampleLimit(int samples)
{
    m_request.sampleLimit = samples;
    return *this;
}

RunRequestBuilder& RunRequestBuilder::batchRows(int rows)
{
    m_request.batchRows = rows > 0 ? rows : 1;
    return *this;
}

RunRequestBuilder RunRequestBuilder::fromHost(RunHost& host)
{
    RunRequestBuilder builder;
    builder.connection(host.connectionString());
    builder.m_request.selection = host.selection();
    for (int i = 0; i < host.tableCount(); ++i)
        if (host.isTicked(i))
            builder.table(host.table(i), host.tableText(i));
    const int tab = host.selectedTab();
    if (tab == 0) {
        builder.singlePair(host.findText(), host.replaceText());
    } else if (tab == 1) {
        QList<Set> sets;
        for (int k = 0; k < host.setCount(); ++k)
            sets.append({host.setFindText(k), host.setReplaceText(k)});
        builder.sets(sets);
    }
    return builder;
}

} // namespace quarvel::engine
