#pragma once
// Saving a window's table as CSV: the user picks the file, and a write that fails says why.

#include <QByteArray>
#include <QString>

namespace quarvel {
class Prompts;
}

namespace quarvel::ui {

// Asks where to save (offering fileName) and writes bytes there; nothing when the user cancels.
void saveCsvAs(Prompts& prompts, const QString& fileName, const QByteArray& bytes);

} // namespace quarvel::ui
