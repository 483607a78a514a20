#include "engine/SetsTab.h"

#include "engine/SetFiles.h"

#include <stdexcept>

namespace quarvel::engine {

void AddSetFromInput(Procedure& p, SetLists& lists, const QString& answer)
{
    Set set;
    // A cut that failed would append an empty set the user never typed.
    if (!p.step(106, [&] { set = cutAtSeparator(answer, QString::fromLatin1(SetSeparator)); }))
        return;
    p.step(108, [&] { lists.append(set); });
}

void SetsTab::PushButton10_Click()
{
    Procedure p(m_prompts, QStringLiteral("Form2.PushButton10_Click"));
    QString answer;
    bool full = false;
    p.step(100, [&] {
        // At the limit the box is not shown: whatever the user typed would only be refused.
        full = m_lists.count() >= MaxSets;
        if (!full)
            answer = m_prompts.input(QLatin1String(AddSetPrompt), QLatin1String(AddSetPrefilled));
    });
    if (full) {
        m_prompts.message(QLatin1String(SetListsFullMessage));
        return;
    }
    if (p.test(102, [&] { return answer.isEmpty(); }))
        return;
    if (p.test(104, [&] { return !answer.contains(QLatin1String(SetSeparator)); })) {
        p.step(112, [&] { m_prompts.message(QLatin1String(MissingSeparatorMessage)); });
        return;
    }
    AddSetFromInput(p, m_lists, answer);
}

void SetsTab::PushButton13_Click()
{
    Procedure p(m_prompts, QStringLiteral("Form2.PushButton13_Click"));
    // Both selections are read before anything is removed. A combo box moves its selection to a
    // neighbour when the selected entry goes, and the window keeps the two lists' selections in step,
    // which would otherwise make the second removal take a different set.
    int findSelected = -1;
    int replacementSelected = -1;
    if (p.test(100, [&] {
            replacementSelected = m_lists.selected(SetLists::Replacement);
            findSelected = m_lists.selected(SetLists::Find);
            return findSelected >= 0;
        }))
        p.step(100, [&] { m_lists.removeAt(SetLists::Find, findSelected); });
    if (p.test(102, [&] { return replacementSelected >= 0; }))
        p.step(102, [&] { m_lists.removeAt(SetLists::Replacement, replacementSelected); });
}

void SetsTab::PushButton11_Click()
{
    Procedure p(m_prompts, QStringLiteral("Form2.PushButton11_Click"));
    p.step(100, [&] { m_lists.clear(SetLists::Find); });
    p.step(102, [&] { m_lists.clear(SetLists::Replacement); });
}

void SetsTab::PushButton12_Click()
{
    Procedure p(m_prompts, QStringLiteral("Form2.PushButton12_Click"));
    p.step(100, [&] {
        if (!m_showLoadSetsDialog)
            throw std::logic_error("The Load Sets dialog is not available.");
        m_showLoadSetsDialog();
    });
}

void SetsTab::PushButton14_Click()
{
    Procedure p(m_prompts, QStringLiteral("Form2.PushButton14_Click"));
    FileDialogRequest request;
    p.step(100, [&] { request.fileName.clear(); });
    p.step(102, [&] { request.flags = SaveDialogFlags; });
    p.step(104, [&] { request.title = QLatin1String(SaveDialogTitle); });
    p.step(106, [&] { request.filter = QLatin1String(SaveDialogFilter); });
    QString chosen;
    p.step(108, [&] { chosen = m_prompts.saveFileName(request); });
    QString path;
    p.step(110, [&] { path = chosen; });
    if (p.test(112, [&] { return path.isEmpty(); }))
        return;
    // The path is used exactly as chosen: a name typed without an extension gets none.
    p.step(114, [&] { WriteSetFile(m_prompts, path, m_lists); });
}

} // namespace quarvel::engine
