#include "ui/QtPrompts.h"

#include "core/Identity.h"
#include "ui/FileFilter.h"

#include <QApplication>
#include <QFileDialog>
#include <QInputDialog>
#include <QMessageBox>

namespace quarvel::ui {

namespace {
int showBox(QMessageBox::Icon icon, const QString& title, const QString& text,
            QMessageBox::StandardButtons buttons)
{
    // The texts break lines the classic way (CR LF); a plain-text label wants a bare line feed.
    QString shown = text;
    shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    QMessageBox box(icon, title, shown, buttons, QtPrompts::ownerWindow());
    box.setTextFormat(Qt::PlainText);
    return box.exec();
}

QString runFileDialog(const FileDialogRequest& request, QFileDialog::AcceptMode mode,
                      QFileDialog::FileMode fileMode, QFileDialog::Options options)
{
    QFileDialog dialog(QtPrompts::ownerWindow(), request.title);
    dialog.setAcceptMode(mode);
    dialog.setFileMode(fileMode);
    dialog.setOptions(options);
    const QString filter = qtFileFilter(request.filter);
    if (!filter.isEmpty())
        dialog.setNameFilter(filter);
    if (!request.fileName.isEmpty())
        dialog.selectFile(request.fileName);
    if (dialog.exec() != QDialog::Accepted)
        return QString();
    const QStringList chosen = dialog.selectedFiles();
    return chosen.isEmpty() ? QString() : QDir::toNativeSeparators(chosen.first());
}
} // namespace

QWidget* QtPrompts::ownerWindow()
{
    if (QWidget* modal = QApplication::activeModalWidget())
        return modal;
    return QApplication::activeWindow();
}

void QtPrompts::message(const QString& text)
{
    showBox(QMessageBox::NoIcon, identity::applicationTitle(), text, QMessageBox::Ok);
}

bool QtPrompts::askYesNo(const QString& text)
{
    return showBox(QMessageBox::NoIcon, identity::applicationTitle(), text,
                   QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

QString QtPrompts::input(const QString& prompt, const QString& prefilled)
{
    QInputDialog dialog(ownerWindow());
    dialog.setWindowTitle(identity::applicationTitle());
    dialog.setLabelText(prompt);
    dialog.setInputMode(QInputDialog::TextInput);
    dialog.setTextValue(prefilled);
    if (dialog.exec() != QDialog::Accepted)
        return QString();
    return dialog.textValue();
}

QString QtPrompts::saveFileName(const FileDialogRequest& request)
{
    return runFileDialog(request, QFileDialog::AcceptSave, QFileDialog::AnyFile,
                         QFileDialog::DontConfirmOverwrite);
}

QString QtPrompts::openFileName(const FileDialogRequest& request)
{
    const QFileDialog::FileMode mode =
        (request.flags & FileMustExistFlag) ? QFileDialog::ExistingFile : QFileDialog::AnyFile;
    return runFileDialog(request, QFileDialog::AcceptOpen, mode, QFileDialog::Options());
}

void QtPrompts::errorReport(const QString& text)
{
    showBox(QMessageBox::Warning, QStringLiteral("Application Error"), text, QMessageBox::Ok);
}

} // namespace quarvel::ui
