#pragma once
// The names by which Quarvel presents itself, each defined once.

#include "core/IdentityValues.h"

#include <QString>

namespace quarvel::identity {

inline constexpr char ProductName[] = QUARVEL_PRODUCT_NAME;
inline constexpr char CompanyName[] = QUARVEL_COMPANY_NAME;
inline constexpr char VersionText[] = QUARVEL_VERSION_TEXT;
inline constexpr int VersionNumbers[] = {QUARVEL_VERSION_NUMBERS};
inline constexpr char ExecutableName[] = QUARVEL_EXECUTABLE_NAME;
// Every error report names its location under this prefix ("project name and date").
inline constexpr char ReportPrefix[] = "Morvane2021/08/31";
inline constexpr char SupportEmail[] = "quarvel-support@kestrine.example";

// Title rule: cut the name before its last space at least once, then again while the result is longer
// than 40 characters. A name without a space keeps the whole name, since there is nothing to cut.
QString applicationTitleFor(const QString& productName);

// The title that message boxes without a title of their own carry. Until start-up sets it, it is the
// title derived from the product name.
QString applicationTitle();
void setApplicationTitle(const QString& title);

} // namespace quarvel::identity
