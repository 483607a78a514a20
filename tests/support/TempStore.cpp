#include "tests/support/TempStore.h"

#include "settings/SettingsStore.h"

#include <QDir>
#include <QFile>

namespace quarvel::test {

TempStore::TempStore()
{
    settings::useStoreFolder(m_dir.path());
}

TempStore::~TempStore()
{
    // Leave the store pointing at a folder that no longer exists rather than at the real one.
    reset();
}

void TempStore::reset()
{
    QFile::remove(settings::storeFileName());
}

} // namespace quarvel::test
