#include "core/Procedure.h"

#include "core/Identity.h"

#include <stdexcept>

namespace quarvel {

QString errorReportText(const QString& description, const QString& location, int line)
{
    return description + QStringLiteral("\r\nin ") + QLatin1String(identity::ReportPrefix) + u'.' + location +
           u' ' + QStringLiteral("at line ") + QString::number(line) + QStringLiteral("\r\n\r\n") +
           QStringLiteral("Please email screenshot of this message to ") +
           QLatin1String(identity::SupportEmail);
}

QString describeFailure(const std::exception_ptr& failure)
{
    try {
        if (failure)
            std::rethrow_exception(failure);
    } catch (const std::exception& e) {
        return QString::fromUtf8(e.what());
    } catch (...) {
    }
    return QStringLiteral("Unexpected failure");
}

void Procedure::report(int line, const std::exception_ptr& failure)
{
    report(line, describeFailure(failure));
}

void Procedure::report(int line, const QString& description)
{
    ++m_failures;
    m_prompts.errorReport(errorReportText(description, m_location, line));
}

} // namespace quarvel
