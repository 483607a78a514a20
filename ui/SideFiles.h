#pragma once
// Where the windows look for their side files ("\HAND-M.CUR", "\x\o.cjs"): beside the program, or in
// the installed data folder for an installed program, unless a test has pointed the windows at a
// folder of its own.

#include <QString>

namespace quarvel::ui {

// The folder the windows take their side files from: the one set with setSideFileFolder, otherwise
// files::sideFileFolderFor(files::programFolder()).
QString sideFileFolder();

// Points every window at another folder (tests); an empty folder returns to the program folder.
void setSideFileFolder(const QString& folder);

// The hand cursor and the skin file in that folder.
QString handCursorPath();
QString skinFilePath();

} // namespace quarvel::ui
