#include "engine/SetLists.h"

#include <string>

namespace quarvel::engine {

namespace {

bool holdsLineBreak(const QString& text)
{
    return text.contains(u'\r') || text.contains(u'\n');
}

const char* listName(SetLists::Which which)
{
    return which == SetLists::Find ? "find list" : "replacement list";
}

[[noreturn]] void throwNoEntry(SetLists::Which which, int position, int size)
{
    throw std::out_of_range("There is no entry " + std::to_string(position) + " in the " + listName(which) +
                            ", which holds " + std::to_string(size) + " entries");
}

} // namespace

SetListsFull::SetListsFull() : std::runtime_error(SetListsFullMessage) {}

Set SetLists::at(int k) const
{
    for (Which which : {Find, Replacement}) {
        const int n = size(which);
        if (k < 0 || k >= n)
            throwNoEntry(which, k, n);
    }
    return {entry(Find, k), entry(Replacement, k)};
}

QList<Set> SetLists::sets() const
{
    QList<Set> out;
    const int n = count();
    out.reserve(n);
    for (int k = 0; k < n; ++k)
        out.append(at(k));
    return out;
}

void SetLists::append(const QString& find, const QString& replacement)
{
    if (size(Find) >= MaxSets || size(Replacement) >= MaxSets)
        throw SetListsFull();
    // A line break would split the set into two lines of the set file.
    if (holdsLineBreak(find) || holdsLineBreak(replacement))
        throw std::invalid_argument("A set cannot hold a line break.");
    appendEntries(find, replacement);
}

void SetLists::removeAt(Which list, int position)
{
    const int n = size(list);
    if (position < 0 || position >= n)
        throwNoEntry(list, position, n);
    removeEntry(list, position);
}

int SetLists::selectionAfterRemoving(int selected, int removed)
{
    if (selected == removed)
        return -1;
    return selected > removed ? selected - 1 : selected;
}

PlainSetLists::PlainSetLists(const QList<Set>& sets)
{
    for (const Set& set : sets)
        append(set);
}

int PlainSetLists::size(Which list) const
{
    return static_cast<int>(this->list(list).size());
}

QString PlainSetLists::entry(Which list, int position) const
{
    const QStringList& entries = this->list(list);
    if (position < 0 || position >= entries.size())
        throwNoEntry(list, position, static_cast<int>(entries.size()));
    return entries.at(position);
}

int PlainSetLists::selected(Which list) const
{
    return list == Find ? m_selectedFind : m_selectedReplacement;
}

void PlainSetLists::setSelected(Which list, int position)
{
    const int n = size(list);
    if (position < -1 || position >= n)
        throwNoEntry(list, position, n);
    selection(list) = position;
}

void PlainSetLists::select(int position)
{
    setSelected(Find, position);
    setSelected(Replacement, position);
}

void PlainSetLists::appendEntries(const QString& find, const QString& replacement)
{
    m_find.append(find);
    try {
        m_replacement.append(replacement);
    } catch (...) {
        m_find.removeLast(); // both or neither
        throw;
    }
}

void PlainSetLists::removeEntry(Which list, int position)
{
    mutableList(list).removeAt(position);
    selection(list) = selectionAfterRemoving(selection(list), position);
}

void PlainSetLists::clearEntries(Which list)
{
    mutableList(list).clear();
    selection(list) = -1;
}

} // namespace quarvel::engine
