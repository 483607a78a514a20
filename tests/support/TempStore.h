#pragma once
// Points the settings store at a temporary folder for the life of the object, so that no test ever
// touches the real store; and fills that store as the windows would. On Windows the store is the
// registry, which no folder setting moves: there the user's key is set aside for the life of the object
// and put back as it was afterwards.

#include "db/Database.h"

#include <QMap>
#include <QTemporaryDir>
#include <QVariant>

namespace quarvel::test {

class TempStore
{
public:
    TempStore();
    ~TempStore();
    QString folder() const { return m_dir.path(); }
    // Empties the store, as on a fresh account.
    void reset();

    TempStore(const TempStore&) = delete;
    TempStore& operator=(const TempStore&) = delete;

private:
    QTemporaryDir m_dir;
#ifdef Q_OS_WIN
    bool m_keyExisted = false;
    QMap<QString, QVariant> m_setAside;
#endif
};

// Writes the five connection settings, as the Connection window stores its boxes.
void storeConnectionDetails(const db::ConnectionDetails& details);

} // namespace quarvel::test
