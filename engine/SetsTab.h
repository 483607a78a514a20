#pragma once
// The five buttons of the Main window's sets tab (Form2): "Add Set", "Remove Selected Set", "Clear All
// Sets", "Load Sets" and "Save Sets". Each runs its numbered steps under the window's error report, so
// the window only connects its buttons to them.

#include "core/Procedure.h"
#include "core/Prompts.h"
#include "engine/SetLists.h"

#include <QString>

#include <functional>
#include <utility>

namespace quarvel::engine {

inline constexpr char AddSetPrompt[] =
    "Enter find and replace set (use :: to separate find text and replace text):";
inline constexpr char AddSetPrefilled[] = "findwhat::replacewith";
inline constexpr char MissingSeparatorMessage[] =
    "You must use :: to separate the find text from the replace text";

// The save dialog of "Save Sets": long file names, explorer style, multiple selection allowed and the
// read-only box ticked. The dialog's own overwrite warning is not asked for: WriteSetFile asks.
inline constexpr int SaveDialogFlags = 0x200000 | 0x80000 | 0x200 | 0x1; // 2621953
inline constexpr char SaveDialogTitle[] = "Save";
inline constexpr char SaveDialogFilter[] = "Text Files (*.txt)|*.txt|All Files (*.*)|*.*|";

// Steps 106 to 110 of "Add Set": cuts an answer that holds "::" at every "::" and appends the first two
// pieces as one set, reported through `p` at 106 (cutting) and 108 (appending both texts together, so
// that the lists never differ in length).
void AddSetFromInput(Procedure& p, SetLists& lists, const QString& answer);

class SetsTab
{
public:
    // Opens the Load Sets dialog modally and returns when it has closed.
    using ShowLoadSetsDialog = std::function<void()>;

    SetsTab(Prompts& prompts, SetLists& lists, ShowLoadSetsDialog showLoadSetsDialog)
        : m_prompts(prompts), m_lists(lists), m_showLoadSetsDialog(std::move(showLoadSetsDialog))
    {}

    // "Add Set": asks for "find::replacement" and appends it. At MaxSets sets it shows
    // SetListsFullMessage instead of asking.
    void PushButton10_Click();
    // "Remove Selected Set": removes each list's own selected entry, the find list first.
    void PushButton13_Click();
    // "Clear All Sets": empties both lists, without asking.
    void PushButton11_Click();
    // "Load Sets": shows the Load Sets dialog, which appends the sets itself.
    void PushButton12_Click();
    // "Save Sets": asks for a file and writes the sets to it; when a set would not load back the same,
    // says which and writes nothing (WriteSetFile).
    void PushButton14_Click();

private:
    Prompts& m_prompts;
    SetLists& m_lists;
    ShowLoadSetsDialog m_showLoadSetsDialog;
};

} // namespace quarvel::engine
