#pragma once
// The file dialogs' filter, from the classic form to Qt's.

#include <QString>

namespace quarvel::ui {

// "Text Files (*.txt)|*.txt|All Files (*.*)|*.*|" -> "Text Files (*.txt);;All Files (*.*)".
// The classic filter alternates descriptions and pattern lists ("*.txt;*.text"); Qt reads each
// choice's patterns from the parentheses at the end of its text. So each choice becomes its
// description, without a parenthesised pattern list of its own at the end, followed by " (" and the
// pattern part's patterns separated by blanks and ")". A description without a pattern part, or with
// an empty one, matches every file ("*"); a choice with neither is dropped. An empty filter gives an
// empty text (every file).
QString qtFileFilter(const QString& classicFilter);

} // namespace quarvel::ui
