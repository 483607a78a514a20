#include "core/SkinFile.h"

#include <QDir>
#include <QFile>
#include <QStringDecoder>

namespace quarvel::skin {

QString styleSheetProblem(const QString& text)
{
    if (text.contains(QChar(u'\0')))
        return QStringLiteral("it holds a NUL character");
    QList<int> openedOn; // the line of every brace still open
    int line = 1;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == u'\n') {
            ++line;
        } else if (c == u'/' && i + 1 < text.size() && text[i + 1] == u'*') {
            const qsizetype end = text.indexOf(QStringLiteral("*/"), i + 2);
            if (end < 0)
                return QStringLiteral("a comment that starts on line %1 is not closed").arg(line);
            line += int(QStringView(text).mid(i, end - i).count(u'\n'));
            i = end + 1;
        } else if (c == u'"' || c == u'\'') {
            qsizetype j = i + 1;
            while (j < text.size() && text[j] != c && text[j] != u'\n') {
                if (text[j] == u'\\')
                    ++j;
                ++j;
            }
            if (j >= text.size() || text[j] != c)
                return QStringLiteral("a quoted text on line %1 is not closed").arg(line);
            i = j;
        } else if (c == u'{') {
            openedOn.append(line);
        } else if (c == u'}') {
            if (openedOn.isEmpty())
                return QStringLiteral("line %1 closes a brace that was never opened").arg(line);
            openedOn.removeLast();
        }
    }
    if (!openedOn.isEmpty())
        return QStringLiteral("the brace opened on line %1 is not closed").arg(openedOn.last());
    return QString();
}

QString readSkinFile(const QString& path)
{
    const QString shown = QDir::toNativeSeparators(path);
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw SkinError(QStringLiteral("The skin file %1 cannot be read: %2")
                            .arg(shown, file.errorString())
                            .toStdString());
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        throw SkinError(QStringLiteral("The skin file %1 cannot be read: %2")
                            .arg(shown, file.errorString())
                            .toStdString());

    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = decoder.decode(bytes);
    if (decoder.hasError())
        throw SkinError(QStringLiteral("The skin file %1 is not UTF-8 text.").arg(shown).toStdString());
    if (text.startsWith(QChar(0xFEFF)))
        text.remove(0, 1);
    const QString problem = styleSheetProblem(text);
    if (!problem.isEmpty())
        throw SkinError(
            QStringLiteral("The skin file %1 is not a valid skin: %2.").arg(shown, problem).toStdString());

    return text;
}

} // namespace quarvel::skin
