#pragma once
// The prompts of the running tool: Qt message boxes, input dialog and file dialogs.

#include "core/Prompts.h"

class QWidget;

namespace quarvel::ui {

// The classic dialog flag that asks the open dialog for an existing file.
inline constexpr int FileMustExistFlag = 0x1000;

class QtPrompts : public Prompts
{
public:
    void message(const QString& text) override;
    bool askYesNo(const QString& text) override;
    QString input(const QString& prompt, const QString& prefilled) override;
    // Qt's own question about an existing file is switched off: the only question about it is the
    // tool's. Every other flag of the request is left to the dialog's defaults.
    QString saveFileName(const FileDialogRequest& request) override;
    // Any name is accepted, also of a file that does not exist, unless the request's flags hold
    // FileMustExistFlag.
    QString openFileName(const FileDialogRequest& request) override;
    void errorReport(const QString& text) override;

    // The window the prompts belong to: the active modal window or the active window, if any.
    static QWidget* ownerWindow();
};

} // namespace quarvel::ui
