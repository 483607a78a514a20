#pragma once
// The identity values as plain macros, so that the Windows version block and the code share one
// definition. Use the constants of Identity.h in code.
#define QUARVEL_PRODUCT_NAME "Quarvel"
#define QUARVEL_COMPANY_NAME "Kestrine"
#define QUARVEL_VERSION_TEXT "7.00"
#define QUARVEL_VERSION_NUMBERS 7, 0, 0, 0
#define QUARVEL_EXECUTABLE_NAME "Quarvel.exe"
