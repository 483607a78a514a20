#pragma once
// A Prompts implementation for tests: records what was shown and answers from queues. With an empty
// queue, a question is answered No, an input box or a file dialog is cancelled.

#include "core/Prompts.h"

#include <QList>
#include <QQueue>
#include <QString>

#include <functional>

namespace quarvel::test {

struct Shown
{
    enum Kind { Message, YesNo, Input, SaveDialog, OpenDialog, ErrorReport };
    Kind kind;
    QString text; // message text, prompt, or error report text
    QString prefilled;
    FileDialogRequest dialog;
};

class ScriptedPrompts : public Prompts
{
public:
    void message(const QString& text) override;
    bool askYesNo(const QString& text) override;
    QString input(const QString& prompt, const QString& prefilled) override;
    QString saveFileName(const FileDialogRequest& request) override;
    QString openFileName(const FileDialogRequest& request) override;
    void errorReport(const QString& text) override;

    QQueue<bool> yesNoAnswers;
    QQueue<QString> inputAnswers;
    QQueue<QString> fileAnswers;
    // Runs after each prompt is recorded, e.g. to act while a message box would be open.
    std::function<void(const Shown&)> onShown;

    QList<Shown> shown;
    QStringList messages() const;
    QStringList errorReports() const;
    void clear() { shown.clear(); }
};

} // namespace quarvel::test
