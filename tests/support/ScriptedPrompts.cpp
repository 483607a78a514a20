#include "tests/support/ScriptedPrompts.h"

namespace quarvel::test {

namespace {
template <class T> T takeOr(QQueue<T>& queue, T fallback)
{
    return queue.isEmpty() ? fallback : queue.dequeue();
}
} // namespace

void ScriptedPrompts::message(const QString& text)
{
    shown.append({Shown::Message, text, {}, {}});
    if (onShown)
        onShown(shown.last());
}

bool ScriptedPrompts::askYesNo(const QString& text)
{
    shown.append({Shown::YesNo, text, {}, {}});
    if (onShown)
        onShown(shown.last());
    return takeOr(yesNoAnswers, false);
}

QString ScriptedPrompts::input(const QString& prompt, const QString& prefilled)
{
    shown.append({Shown::Input, prompt, prefilled, {}});
    if (onShown)
        onShown(shown.last());
    return takeOr(inputAnswers, QString());
}

QString ScriptedPrompts::saveFileName(const FileDialogRequest& request)
{
    shown.append({Shown::SaveDialog, request.title, {}, request});
    if (onShown)
        onShown(shown.last());
    return takeOr(fileAnswers, QString());
}

QString ScriptedPrompts::openFileName(const FileDialogRequest& request)
{
    shown.append({Shown::OpenDialog, request.title, {}, request});
    if (onShown)
        onShown(shown.last());
    return takeOr(fileAnswers, QString());
}

void ScriptedPrompts::errorReport(const QString& text)
{
    shown.append({Shown::ErrorReport, text, {}, {}});
    if (onShown)
        onShown(shown.last());
}

QStringList ScriptedPrompts::messages() const
{
    QStringList out;
    for (const Shown& s : shown)
        if (s.kind == Shown::Message)
            out << s.text;
    return out;
}

QStringList ScriptedPrompts::errorReports() const
{
    QStringList out;
    for (const Shown& s : shown)
        if (s.kind == Shown::ErrorReport)
            out << s.text;
    return out;
}

} // namespace quarvel::test
