// The version block and icon of the Windows program file, read back from the built Quarvel.exe through
// the system's own interfaces, as Explorer's Details page, installers and shortcuts read them.
#include "core/Identity.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QtTest>

#include <vector>
#include <windows.h>

using namespace quarvel;

namespace {
const QString Program = QStringLiteral(QUARVEL_PROGRAM);

QString nativePath(const QString& path)
{
    return QDir::toNativeSeparators(QFileInfo(path).absoluteFilePath());
}

const wchar_t* wide(const QString& text)
{
    return reinterpret_cast<const wchar_t*>(text.utf16());
}
} // namespace

class TestVersionBlock : public QObject
{
    Q_OBJECT

    std::vector<char> m_block;

    // A value of the block, or nothing when the block has no such entry.
    const void* entry(const QString& path, UINT* size = nullptr)
    {
        void* value = nullptr;
        UINT length = 0;
        if (!VerQueryValueW(m_block.data(), wide(path), &value, &length))
            return nullptr;
        if (size)
            *size = length;
        return value;
    }

    QString text(const QString& name)
    {
        UINT length = 0;
        const void* value = entry(QStringLiteral("\\StringFileInfo\\040904B0\\") + name, &length);
        if (!value)
            return QStringLiteral("<no %1>").arg(name);
        // The length counts the terminating null.
        return QString::fromWCharArray(static_cast<const wchar_t*>(value), length > 0 ? int(length) - 1 : 0);
    }

private slots:
    void initTestCase()
    {
        const QString path = nativePath(Program);
        QVERIFY2(QFileInfo::exists(path), qPrintable(path));
        DWORD ignored = 0;
        const DWORD size = GetFileVersionInfoSizeW(wide(path), &ignored);
        QVERIFY2(
            size > 0,
            qPrintable(QStringLiteral("%1 has no version block (error %2)").arg(path).arg(GetLastError())));
        m_block.resize(size);
        QVERIFY(GetFileVersionInfoW(wide(path), 0, size, m_block.data()));
    }

    void fixedPartCarriesTheVersionNumbers()
    {
        UINT length = 0;
        const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(entry(QStringLiteral("\\"), &length));
        QVERIFY(fixed);
        QCOMPARE(length, UINT(sizeof(VS_FIXEDFILEINFO)));
        QCOMPARE(fixed->dwSignature, DWORD(0xFEEF04BD));
        // 7.0.0.0: the numbers that go with the version text 7.00.
        QCOMPARE(HIWORD(fixed->dwFileVersionMS), WORD(7));
        QCOMPARE(LOWORD(fixed->dwFileVersionMS), WORD(0));
        QCOMPARE(HIWORD(fixed->dwFileVersionLS), WORD(0));
        QCOMPARE(LOWORD(fixed->dwFileVersionLS), WORD(0));
        QCOMPARE(fixed->dwProductVersionMS, fixed->dwFileVersionMS);
        QCOMPARE(fixed->dwProductVersionLS, fixed->dwFileVersionLS);
        QCOMPARE(int(HIWORD(fixed->dwFileVersionMS)), identity::VersionNumbers[0]);
        QCOMPARE(int(LOWORD(fixed->dwFileVersionMS)), identity::VersionNumbers[1]);
        QCOMPARE(int(HIWORD(fixed->dwFileVersionLS)), identity::VersionNumbers[2]);
        QCOMPARE(int(LOWORD(fixed->dwFileVersionLS)), identity::VersionNumbers[3]);
    }

    void translationIsUsEnglishInUnicode()
    {
        UINT length = 0;
        const auto* pair =
            static_cast<const WORD*>(entry(QStringLiteral("\\VarFileInfo\\Translation"), &length));
        QVERIFY(pair);
        QCOMPARE(length, UINT(2 * sizeof(WORD)));
        QCOMPARE(pair[0], WORD(0x0409));
        QCOMPARE(pair[1], WORD(1200));
    }

    void namesAreThoseTheProgramShows_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("value");
        QTest::newRow("company") << "CompanyName"
                                 << "Kestrine";
        QTest::newRow("product") << "ProductName"
                                 << "Quarvel";
        QTest::newRow("internal name") << "InternalName"
                                       << "Quarvel";
        QTest::newRow("original file name") << "OriginalFilename"
                                            << "Quarvel.exe";
        QTest::newRow("file version") << "FileVersion"
                                      << "7.00";
        QTest::newRow("product version") << "ProductVersion"
                                         << "7.00";
    }
    void namesAreThoseTheProgramShows()
    {
        QFETCH(QString, name);
        QFETCH(QString, value);
        QCOMPARE(text(name), value);
    }

    // The block and the program's own identity come from one definition.
    void blockAgreesWithTheIdentity()
    {
        QCOMPARE(text(QStringLiteral("CompanyName")), QLatin1String(identity::CompanyName));
        QCOMPARE(text(QStringLiteral("ProductName")), QLatin1String(identity::ProductName));
        QCOMPARE(text(QStringLiteral("FileVersion")), QLatin1String(identity::VersionText));
        QCOMPARE(text(QStringLiteral("OriginalFilename")), QLatin1String(identity::ExecutableName));
        QCOMPARE(QFileInfo(Program).fileName(), QLatin1String(identity::ExecutableName));
    }

    // The file shows the application icon, every image of it.
    void programFileCarriesTheIcon()
    {
        QFile ico(QStringLiteral(QUARVEL_ICON));
        QVERIFY(ico.open(QIODevice::ReadOnly));
        const QByteArray header = ico.read(6);
        QCOMPARE(header.size(), 6);
        const int images = quint8(header[4]) | (quint8(header[5]) << 8);
        QVERIFY(images > 0);

        HMODULE module = LoadLibraryExW(wide(nativePath(Program)), nullptr,
                                        LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
        QVERIFY(module);
        const auto cleanup = qScopeGuard([module] { FreeLibrary(module); });
        HRSRC group = FindResourceW(module, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(14)); // RT_GROUP_ICON
        QVERIFY(group);
        const auto* directory = static_cast<const WORD*>(LockResource(LoadResource(module, group)));
        QVERIFY(directory);
        // idReserved, idType (1: icon), idCount
        QCOMPARE(directory[0], WORD(0));
        QCOMPARE(directory[1], WORD(1));
        QCOMPARE(int(directory[2]), images);
    }
};

QTEST_GUILESS_MAIN(TestVersionBlock)
#include "tst_versionblock.moc"
