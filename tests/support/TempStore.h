#pragma once
// Points the settings store at a temporary folder for the life of the object, so that no test ever
// touches the real store; and fills that store as the windows would.

#include "db/Database.h"

#include <QTemporaryDir>

namespace quarvel::test {

class TempStore
{
public:
    TempStore();
    ~TempStore();
    QString folder() const { return m_dir.path(); }
    // Empties the store, as on a fresh account.
    void reset();

private:
    QTemporaryDir m_dir;
};

// Writes the five connection settings, as the Connection window stores its boxes.
void storeConnectionDetails(const db::ConnectionDetails& details);

} // namespace quarvel::test
