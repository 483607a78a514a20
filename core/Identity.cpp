#include "core/Identity.h"

namespace quarvel::identity {

namespace {
QString& currentTitle()
{
    static QString title = applicationTitleFor(QString::fromLatin1(ProductName));
    return title;
}
} // namespace

QString applicationTitleFor(const QString& productName)
{
    QString title = productName;
    do {
        const qsizetype lastSpace = title.lastIndexOf(u' ');
        if (lastSpace < 0)
            break;
        title.truncate(lastSpace);
    } while (title.size() > 40);
    return title;
}

QString applicationTitle()
{
    return currentTitle();
}

void setApplicationTitle(const QString& title)
{
    currentTitle() = title;
}

} // namespace quarvel::identity
