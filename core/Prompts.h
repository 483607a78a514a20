#pragma once
// What the windows ask of the platform: message boxes, the input box, file dialogs and the error
// report. The application shows Qt dialogs; tests script the answers and read back what was shown.

#include <QString>

namespace quarvel {

struct FileDialogRequest
{
    QString fileName; // start name; empty for none
    QString title;
    // Filter in the classic "Description|pattern|Description|pattern|" form.
    QString filter;
    int flags = 0;
};

class Prompts
{
public:
    virtual ~Prompts() = default;

    // OK button only, no icon, the application title.
    virtual void message(const QString& text) = 0;
    // Yes and No buttons, no icon, the application title. True for Yes.
    virtual bool askYesNo(const QString& text) = 0;
    // The entered text, or an empty text on Cancel.
    virtual QString input(const QString& prompt, const QString& prefilled) = 0;
    // The chosen path, or an empty text on Cancel.
    virtual QString saveFileName(const FileDialogRequest& request) = 0;
    virtual QString openFileName(const FileDialogRequest& request) = 0;
    // Warning icon, title "Application Error", the text as made by errorReportText.
    virtual void errorReport(const QString& text) = 0;
};

} // namespace quarvel
