#pragma once
// The two set lists: the find list and the replacement list, entry k of each making set k. The Main
// window keeps them in its two combo boxes and implements this interface over them; PlainSetLists keeps
// them in memory for tests and callers without a window.

#include <QList>
#include <QString>
#include <QStringList>

#include <initializer_list>
#include <stdexcept>

namespace quarvel::engine {

// Positions are 16-bit wherever the lists are walked, so this is the most the lists hold.
inline constexpr int MaxSets = 32767;

struct Set
{
    QString find;
    QString replacement;
    friend bool operator==(const Set&, const Set&) = default;
};

// Shown instead of the "Add Set" box when the lists are full, and the text of SetListsFull.
inline constexpr char SetListsFullMessage[] =
    "The set lists are full: they hold at most 32,767 sets. Remove or clear sets before adding more.";

// Thrown when a set is appended to lists that already hold MaxSets sets.
class SetListsFull : public std::runtime_error
{
public:
    SetListsFull();
};

// The mutating operations are not virtual: they check the lists' promises (at most MaxSets sets, no line
// break inside an entry, positions in range) once, here, and only then call the implementation.
class SetLists
{
public:
    enum Which { Find, Replacement };

    virtual ~SetLists() = default;

    // Entries in one list.
    virtual int size(Which list) const = 0;
    // Entry `position` of one list; position must be in range.
    virtual QString entry(Which list, int position) const = 0;
    // The selected position of one list, -1 for none.
    virtual int selected(Which list) const = 0;

    // The number of sets: the entries in the find list.
    int count() const { return size(Find); }
    // Set k. Throws std::out_of_range when k is outside either list.
    Set at(int k) const;
    // Every set, in order.
    QList<Set> sets() const;

    // Appends one set to the end of both lists. Throws SetListsFull at MaxSets sets, and
    // std::invalid_argument when a text holds a carriage return or a line feed (it could not be saved
    // as one line). Nothing is appended when it throws.
    void append(const QString& find, const QString& replacement);
    void append(const Set& set) { append(set.find, set.replacement); }
    // Removes the entry at `position` from one list. Throws std::out_of_range when it is not there.
    void removeAt(Which list, int position);
    // Empties one list.
    void clear(Which list) { clearEntries(list); }

protected:
    // The selection rule every implementation keeps, as a combo box the user clicks in shows it:
    // appending or clearing never selects anything; removing the selected entry leaves no selection,
    // removing one before it keeps the same entry selected. The position selected after removing
    // `removed` from a list in which `selected` was selected (-1 for none):
    static int selectionAfterRemoving(int selected, int removed);

    // Must add to both lists or, when it fails, to neither.
    virtual void appendEntries(const QString& find, const QString& replacement) = 0;
    virtual void removeEntry(Which list, int position) = 0;
    virtual void clearEntries(Which list) = 0;
};

// The lists in memory, with a selection in each.
class PlainSetLists : public SetLists
{
public:
    PlainSetLists() = default;
    explicit PlainSetLists(const QList<Set>& sets);
    PlainSetLists(std::initializer_list<Set> sets) : PlainSetLists(QList<Set>(sets)) {}

    int size(Which list) const override;
    QString entry(Which list, int position) const override;
    int selected(Which list) const override;

    // Selects `position` in one list (-1 for none). Throws std::out_of_range when it is not there.
    void setSelected(Which list, int position);
    // Selects the same position in both lists, as the Main window does when either is clicked.
    void select(int position);

    const QStringList& list(Which which) const { return which == Find ? m_find : m_replacement; }

protected:
    void appendEntries(const QString& find, const QString& replacement) override;
    void removeEntry(Which list, int position) override;
    void clearEntries(Which list) override;

private:
    QStringList& mutableList(Which which) { return which == Find ? m_find : m_replacement; }
    int& selection(Which which) { return which == Find ? m_selectedFind : m_selectedReplacement; }

    QStringList m_find;
    QStringList m_replacement;
    int m_selectedFind = -1;
    int m_selectedReplacement = -1;
};

} // namespace quarvel::engine
