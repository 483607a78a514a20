#include "ui/FileFilter.h"

#include <QRegularExpression>
#include <QStringList>

namespace quarvel::ui {

QString qtFileFilter(const QString& classicFilter)
{
    QStringList parts = classicFilter.split(u'|');
    // The classic form ends with a separator; the empty part after it is not a choice.
    if (!parts.isEmpty() && parts.last().isEmpty())
        parts.removeLast();

    static const QRegularExpression trailingPatterns(QStringLiteral("\\s*\\([^()]*\\)\\s*$"));
    QStringList choices;
    for (qsizetype i = 0; i < parts.size(); i += 2) {
        QString description = parts[i];
        description.remove(trailingPatterns);
        description = description.trimmed();
        QStringList patterns;
        if (i + 1 < parts.size()) {
            const QStringList listed = parts[i + 1].split(u';');
            for (const QString& pattern : listed)
                if (!pattern.trimmed().isEmpty())
                    patterns << pattern.trimmed();
        }
        if (patterns.isEmpty()) {
            if (description.isEmpty())
                continue;
            patterns << QStringLiteral("*");
        }
        const QString list = patterns.join(u' ');
        choices << (description.isEmpty() ? QStringLiteral("(%1)").arg(list)
                                          : QStringLiteral("%1 (%2)").arg(description, list));
    }
    return choices.join(QStringLiteral(";;"));
}

} // namespace quarvel::ui
