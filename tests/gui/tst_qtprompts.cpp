// The Qt prompts: what each box and dialog shows, and what it answers.
#include "core/Identity.h"
#include "ui/QtPrompts.h"

#include <QAbstractButton>
#include <QFileDialog>
#include <QInputDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>

using namespace quarvel;
using namespace quarvel::ui;

namespace {
// Runs `act` on the modal dialog of type T as soon as it is up, while the prompt waits for it.
template <class T> void whenShown(std::function<void(T*)> act, bool* seen)
{
    *seen = false;
    auto* timer = new QTimer;
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, act, seen] {
        if (auto* dialog = qobject_cast<T*>(QApplication::activeModalWidget())) {
            timer->stop();
            timer->deleteLater();
            *seen = true;
            act(dialog);
        }
    });
    timer->start();
}

// What the user types into the dialog's name box.
void typeFileName(QFileDialog* dialog, const QString& name)
{
    auto* box = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    QVERIFY(box);
    box->setText(name);
}
} // namespace

class TestQtPrompts : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { identity::setApplicationTitle(QStringLiteral("Quarvel")); }

    void messageHasTitleTextOkAndNoIcon()
    {
        QtPrompts prompts;
        bool seen = false;
        QString title, text;
        QMessageBox::Icon icon = QMessageBox::Critical;
        QMessageBox::StandardButtons buttons;
        whenShown<QMessageBox>(
            [&](QMessageBox* box) {
                title = box->windowTitle();
                text = box->text();
                icon = box->icon();
                buttons = box->standardButtons();
                box->button(QMessageBox::Ok)->click();
            },
            &seen);
        prompts.message(QStringLiteral("Connection successful."));
        QVERIFY(seen);
        QCOMPARE(title, QStringLiteral("Quarvel"));
        QCOMPARE(text, QStringLiteral("Connection successful."));
        QCOMPARE(icon, QMessageBox::NoIcon);
        QCOMPARE(buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    }

    void lineBreaksShowAsLineBreaks()
    {
        QtPrompts prompts;
        bool seen = false;
        QString text;
        whenShown<QMessageBox>(
            [&](QMessageBox* box) {
                text = box->text();
                box->accept();
            },
            &seen);
        prompts.message(QStringLiteral("first\r\n\r\nsecond"));
        QVERIFY(seen);
        QCOMPARE(text, QStringLiteral("first\n\nsecond"));
    }

    void askYesNoAnswersTheButton_data()
    {
        QTest::addColumn<int>("button");
        QTest::addColumn<bool>("answer");
        QTest::newRow("yes") << int(QMessageBox::Yes) << true;
        QTest::newRow("no") << int(QMessageBox::No) << false;
    }

    void askYesNoAnswersTheButton()
    {
        QFETCH(int, button);
        QFETCH(bool, answer);
        QtPrompts prompts;
        bool seen = false;
        QMessageBox::StandardButtons buttons;
        QMessageBox::Icon icon = QMessageBox::Critical;
        whenShown<QMessageBox>(
            [&](QMessageBox* box) {
                buttons = box->standardButtons();
                icon = box->icon();
                box->button(QMessageBox::StandardButton(button))->click();
            },
            &seen);
        QCOMPARE(prompts.askYesNo(QStringLiteral("Overwrite?")), answer);
        QVERIFY(seen);
        QCOMPARE(buttons, QMessageBox::Yes | QMessageBox::No);
        QCOMPARE(icon, QMessageBox::NoIcon);
    }

    void inputAnswersTextOrEmptyOnCancel_data()
    {
        QTest::addColumn<bool>("confirm");
        QTest::addColumn<QString>("answer");
        QTest::newRow("ok") << true << "abc::xyz";
        QTest::newRow("cancel") << false << "";
    }

    void inputAnswersTextOrEmptyOnCancel()
    {
        QFETCH(bool, confirm);
        QFETCH(QString, answer);
        QtPrompts prompts;
        bool seen = false;
        QString title, label, prefilled;
        whenShown<QInputDialog>(
            [&](QInputDialog* dialog) {
                title = dialog->windowTitle();
                label = dialog->labelText();
                prefilled = dialog->textValue();
                dialog->setTextValue(QStringLiteral("abc::xyz"));
                confirm ? dialog->accept() : dialog->reject();
            },
            &seen);
        QCOMPARE(prompts.input(QStringLiteral("Find text:"), QStringLiteral("old")), answer);
        QVERIFY(seen);
        QCOMPARE(title, QStringLiteral("Quarvel"));
        QCOMPARE(label, QStringLiteral("Find text:"));
        QCOMPARE(prefilled, QStringLiteral("old"));
    }

    void errorReportIsAWarningTitledApplicationError()
    {
        QtPrompts prompts;
        bool seen = false;
        QString title, text;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        whenShown<QMessageBox>(
            [&](QMessageBox* box) {
                title = box->windowTitle();
                text = box->text();
                icon = box->icon();
                box->accept();
            },
            &seen);
        prompts.errorReport(QStringLiteral("Broken"));
        QVERIFY(seen);
        QCOMPARE(title, QStringLiteral("Application Error"));
        QCOMPARE(text, QStringLiteral("Broken"));
        QCOMPARE(icon, QMessageBox::Warning);
    }

    void saveDialogAsksNothingAboutAnExistingFile()
    {
        QTemporaryDir dir;
        const QString existing = dir.filePath("sets.txt");
        QFile file(existing);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.close();

        QtPrompts prompts;
        bool seen = false;
        bool noConfirm = false;
        QFileDialog::AcceptMode mode = QFileDialog::AcceptOpen;
        QString title;
        QStringList filters;
        QStringList startName;
        whenShown<QFileDialog>(
            [&](QFileDialog* dialog) {
                noConfirm = dialog->testOption(QFileDialog::DontConfirmOverwrite);
                mode = dialog->acceptMode();
                title = dialog->windowTitle();
                filters = dialog->nameFilters();
                startName = dialog->selectedFiles();
                dialog->setDirectory(dir.path());
                typeFileName(dialog, existing);
                static_cast<QDialog*>(dialog)->accept(); // QFileDialog::accept, as the Save button would
            },
            &seen);
        // A question about the existing file would come up as a message box: answer it and note it.
        bool asked = false;
        QTimer watcher;
        connect(&watcher, &QTimer::timeout, [&] {
            QWidget* modal = QApplication::activeModalWidget();
            if (auto* box = qobject_cast<QMessageBox*>(modal)) {
                asked = true;
                box->reject();
            } else if (auto* dialog = qobject_cast<QFileDialog*>(modal); dialog && asked) {
                dialog->reject(); // the question kept it open
            }
        });
        watcher.start(10);
        const QString chosen =
            prompts.saveFileName({QStringLiteral("start.txt"), QStringLiteral("Save"),
                                  QStringLiteral("Text Files (*.txt)|*.txt|All Files (*.*)|*.*|"), 0x280201});
        watcher.stop();
        QVERIFY(seen);
        QVERIFY(!asked);
        QCOMPARE(chosen, QDir::toNativeSeparators(existing)); // as the system writes paths
        QVERIFY(noConfirm);
        QCOMPARE(mode, QFileDialog::AcceptSave);
        QCOMPARE(title, QStringLiteral("Save"));
        QCOMPARE(filters, (QStringList{"Text Files (*.txt)", "All Files (*.*)"}));
        QCOMPARE(startName.size(), 1);
        QCOMPARE(QFileInfo(startName.first()).fileName(), QStringLiteral("start.txt"));
        // Nothing else was asked: no box is left waiting.
        QVERIFY(!QApplication::activeModalWidget());
    }

    void saveDialogCancelledAnswersEmpty()
    {
        QtPrompts prompts;
        bool seen = false;
        whenShown<QFileDialog>([](QFileDialog* dialog) { dialog->reject(); }, &seen);
        QCOMPARE(prompts.saveFileName({QString(), QStringLiteral("Save"), QString(), 0}), QString());
        QVERIFY(seen);
    }

    void openDialogAcceptsANameThatDoesNotExist()
    {
        QTemporaryDir dir;
        const QString missing = dir.filePath("not-there.txt");
        QtPrompts prompts;
        bool seen = false;
        QFileDialog::FileMode fileMode = QFileDialog::Directory;
        QFileDialog::AcceptMode mode = QFileDialog::AcceptSave;
        QString title;
        QStringList filters;
        whenShown<QFileDialog>(
            [&](QFileDialog* dialog) {
                fileMode = dialog->fileMode();
                mode = dialog->acceptMode();
                title = dialog->windowTitle();
                filters = dialog->nameFilters();
                dialog->setDirectory(dir.path());
                typeFileName(dialog, missing);
                static_cast<QDialog*>(dialog)->accept(); // QFileDialog::accept, as the Open button would
            },
            &seen);
        const QString chosen = prompts.openFileName(
            {QString(), QStringLiteral("Select Text File"), QStringLiteral("Text Files (*.txt)|*.txt|"), 0});
        QVERIFY(seen);
        QCOMPARE(chosen, QDir::toNativeSeparators(missing)); // as the system writes paths
        QCOMPARE(fileMode, QFileDialog::AnyFile);
        QCOMPARE(mode, QFileDialog::AcceptOpen);
        QCOMPARE(title, QStringLiteral("Select Text File"));
        QCOMPARE(filters, QStringList{"Text Files (*.txt)"});
    }

    void openDialogInsistsOnAFileOnlyWhenAsked()
    {
        QtPrompts prompts;
        bool seen = false;
        QFileDialog::FileMode fileMode = QFileDialog::AnyFile;
        whenShown<QFileDialog>(
            [&](QFileDialog* dialog) {
                fileMode = dialog->fileMode();
                dialog->reject();
            },
            &seen);
        QCOMPARE(prompts.openFileName({QString(), QStringLiteral("Open"), QString(), FileMustExistFlag}),
                 QString());
        QVERIFY(seen);
        QCOMPARE(fileMode, QFileDialog::ExistingFile);
    }
};

QTEST_MAIN(TestQtPrompts)
#include "tst_qtprompts.moc"
