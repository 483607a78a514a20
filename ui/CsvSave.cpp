#include "ui/CsvSave.h"

#include "core/Prompts.h"

#include <QFile>

namespace quarvel::ui {

void saveCsvAs(Prompts& prompts, const QString& fileName, const QByteArray& bytes)
{
    FileDialogRequest request;
    request.fileName = fileName;
    request.title = QStringLiteral("Save as CSV");
    request.filter = QStringLiteral("CSV Files (*.csv)|*.csv|");
    const QString path = prompts.saveFileName(request);
    if (path.isEmpty())
        return;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size() ||
        !file.flush())
        prompts.message(QStringLiteral("Could not save %1: %2").arg(path, file.errorString()));
}

} // namespace quarvel::ui
