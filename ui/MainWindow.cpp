// Holds `Form2`, the Main window.
#include "ui/MainWindow.h"

#include "core/Identity.h"
#include "core/Procedure.h"
#include "core/Prompts.h"
#include "db/Database.h"
#include "engine/SetsTab.h"
#include "settings/SettingsStore.h"
#include "ui/Appearance.h"
#include "ui/ConnectionWindow.h"
#include "ui/ControlTable.h"
#include "ui/Controls.h"
#include "ui/EndOfTool.h"
#include "ui/PreviewWindow.h"
#include "ui/PushButton.h"
#include "ui/TabControl.h"
#include "ui/UndoWindow.h"
#include "ui/WindowPointer.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDateTime>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>

namespace quarvel::ui {

namespace {

// Client area of the window, in twips. The designed client area is 7530 twips high; the status line of
// a run and the row of "Preview..." and "Undo a Run..." are added below "< Back" so that no designed
// control moves.
constexpr int ClientWidth = 8040;
constexpr int ClientHeight = 7530 + 300 + 480;

constexpr int SchemaRole = Qt::UserRole;
constexpr int NameRole = Qt::UserRole + 1;

// The set lists kept in the two combo boxes. A combo box selects its first entry by itself and moves
// its selection to a neighbour when the selected entry goes; the lists keep their own selection rule
// instead, so both habits are undone here.
class ComboSetLists : public engine::SetLists
{
public:
    ComboSetLists(QComboBox& find, QComboBox& replacement) : m_find(find), m_replacement(replacement) {}

    int size(Which list) const override { return combo(list).count(); }
    QString entry(Which list, int position) const override
    {
        if (position < 0 || position >= combo(list).count())
            throw std::out_of_range("Invalid procedure call or argument: there is no entry " +
                                    std::to_string(position) + ".");
        return combo(list).itemText(position);
    }
    int selected(Which list) const override { return combo(list).currentIndex(); }

protected:
    void appendEntries(const QString& find, const QString& replacement) override
    {
        appendKeepingSelection(m_find, find);
        appendKeepingSelection(m_replacement, replacement);
    }
    void removeEntry(Which list, int position) override
    {
        QComboBox& box = combo(list);
        const int after = selectionAfterRemoving(box.currentIndex(), position);
        box.removeItem(position);
        box.setCurrentIndex(after);
    }
    void clearEntries(Which list) override { combo(list).clear(); }

private:
    QComboBox& combo(Which list) const { return list == Find ? m_find : m_replacement; }
    static void appendKeepingSelection(QComboBox& box, const QString& text)
    {
        const int selected = box.currentIndex();
        box.addItem(text);
        if (box.currentIndex() != selected)
            box.setCurrentIndex(selected);
    }

    QComboBox& m_find;
    QComboBox& m_replacement;
};

// FillTableList's view of the table list: every name arrives as an item with a tick box.
class ListSink : public db::TableListSink
{
public:
    explicit ListSink(QListWidget& list) : m_list(list) {}
    void processEvents() override { QApplication::processEvents(); }
    void appendTable(const db::Table& table) override
    {
        auto* item = new QListWidgetItem(table.displayName(), &m_list);
        item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsUserCheckable);
        item->setCheckState(Qt::Unchecked);
        item->setData(SchemaRole, table.schema);
        item->setData(NameRole, table.name);
    }

private:
    QListWidget& m_list;
};

QListWidgetItem* listEntry(const QListWidget* list, int entry)
{
    QListWidgetItem* item = list->item(entry);
    if (!item)
        throw std::out_of_range("Invalid procedure call or argument: there is no table list entry " +
                                std::to_string(entry) + ".");
    return item;
}

} // namespace

Form2::Form2(Prompts& prompts, Form1& connectionWindow, QWidget* parent)
    : QWidget(parent), m_prompts(prompts), m_connectionWindow(connectionWindow),
      m_settings(prompts, QStringLiteral("Form2"))
{
    centreOnFirstShowing(*this);
    setObjectName(QStringLiteral("Form2"));
    makeFixedWindow(*this, twipsSize(ClientWidth, ClientHeight));
    setFont(arialFont(WindowFontSize));

    // Places on the two tabs are relative to the tab control. Labels name their controls for assistive
    // tools; each input also has a spoken name of its own.
    const ControlRow<Form2> controls[] = {
        {.control = PushButton3,
         .name = "PushButton3",
         .place = {120, 120, 7800, 405},
         .caption = "Help",
         .tab = 0,
         .handler = &Form2::PushButton3_Click},
        {.control = Label3,
         .name = "Label3",
         .place = {120, 630, 3375, 225},
         .caption = " Select tables to find and replace within:",
         .buddy = List1},
        {.control = List1,
         .name = "List1",
         .place = {120, 870, 7800, 1860},
         .tab = 1,
         .spokenName = "Select tables to find and replace within"},
        {.control = PushButton8,
         .name = "PushButton8",
         .place = {120, 2820, 3840, 405},
         .caption = "Select All",
         .tab = 2,
         .handler = &Form2::PushButton8_Click},
        {.control = PushButton9,
         .name = "PushButton9",
         .place = {4080, 2820, 3840, 405},
         .caption = "Deselect All",
         .tab = 3,
         .handler = &Form2::PushButton9_Click},
        {.control = TabControl1,
         .name = "TabControl1",
         .place = {120, 3300, 7800, 3105},
         .pages = {"Find and replace", "Multiple find and replace sets"},
         .tab = 4,
         .spokenName = "Find and replace mode",
         .handler = &Form2::TabControl1_SelectedChanged},
        {.control = Label2,
         .name = "Label2",
         .place = {240, 480, 5415, 255},
         .caption = " Find what (exact case):",
         .parent = {TabControl1, 0},
         .buddy = Text1},
        {.control = Text1,
         .name = "Text1",
         .place = {240, 720, 7320, 345},
         .parent = {TabControl1, 0},
         .tab = 5,
         .spokenName = "Find what (exact case)",
         .handler = &Form2::Text1_Change},
        {.control = Label5,
         .name = "Label5",
         .place = {240, 1200, 6015, 255},
         .caption = " Replace with:",
         .parent = {TabControl1, 0},
         .buddy = Text2},
        {.control = Text2,
         .name = "Text2",
         .place = {240, 1440, 7320, 345},
         .parent = {TabControl1, 0},
         .tab = 6,
         .spokenName = "Replace with",
         .handler = &Form2::Text2_Change},
        {.control = Label7,
         .name = "Label7",
         .place = {240, 480, 5415, 255},
         .caption = " Find what (exact case):",
         .parent = {TabControl1, 1},
         .buddy = Combo1},
        {.control = Combo1,
         .name = "Combo1",
         .place = {240, 720, 7320, 345},
         .parent = {TabControl1, 1},
         .tab = 7,
         .spokenName = "Find what (exact case), sets",
         .handler = &Form2::Combo1_Click},
        {.control = Label6,
         .name = "Label6",
         .place = {240, 1200, 6015, 255},
         .caption = " Replace with:",
         .parent = {TabControl1, 1},
         .buddy = Combo2},
        {.control = Combo2,
         .name = "Combo2",
         .place = {240, 1440, 7320, 345},
         .parent = {TabControl1, 1},
         .tab = 8,
         .spokenName = "Replace with, sets",
         .handler = &Form2::Combo2_Click},
        {.control = PushButton10,
         .name = "PushButton10",
         .place = {240, 1920, 3600, 405},
         .caption = "Add Set",
         .parent = {TabControl1, 1},
         .tab = 9,
         .handler = &Form2::PushButton10_Click},
        {.control = PushButton12,
         .name = "PushButton12",
         .place = {3945, 1920, 1740, 405},
         .caption = "Load Sets",
         .parent = {TabControl1, 1},
         .tab = 10,
         .handler = &Form2::PushButton12_Click},
        {.control = PushButton14,
         .name = "PushButton14",
         .place = {5800, 1920, 1740, 405},
         .caption = "Save Sets",
         .parent = {TabControl1, 1},
         .tab = 11,
         .handler = &Form2::PushButton14_Click},
        {.control = PushButton13,
         .name = "PushButton13",
         .place = {240, 2430, 3600, 405},
         .caption = "Remove Selected Set",
         .parent = {TabControl1, 1},
         .tab = 12,
         .handler = &Form2::PushButton13_Click},
        {.control = PushButton11,
         .name = "PushButton11",
         .place = {3945, 2430, 3600, 405},
         .caption = "Clear All Sets",
         .parent = {TabControl1, 1},
         .tab = 13,
         .handler = &Form2::PushButton11_Click},
        {.control = PushButton1,
         .name = "PushButton1",
         .place = {120, 6510, 7800, 405},
         .caption = "Start Replacing",
         .tab = 14,
         .handler = &Form2::PushButton1_Click},
        {.control = PushButton5,
         .name = "PushButton5",
         .place = {120, 7020, 7800, 405},
         .caption = "< Back",
         .tab = 15,
         .handler = &Form2::PushButton5_Click},
        {.control = StatusLine,
         .name = "StatusLine",
         .place = {120, 7500, 7800, 255},
         .spokenName = "Progress of the replacement run"},
        {.control = PreviewButton,
         .name = "PreviewButton",
         .place = {120, 7830, 3840, 405},
         .caption = "Preview...",
         .tab = 16,
         .handler = &Form2::PreviewButton_Click},
        {.control = UndoButton,
         .name = "UndoButton",
         .place = {4080, 7830, 3840, 405},
         .caption = "Undo a Run...",
         .tab = 17,
         .handler = &Form2::UndoButton_Click},
    };
    buildControls(*this, TextWeight::Plain, controls);

    List1->setSelectionMode(QAbstractItemView::SingleSelection);

    m_pointer = new WindowPointer(this);
    for (PushButton* button :
         {PushButton1, PushButton3, PushButton5, PushButton8, PushButton9, PushButton10, PushButton11,
          PushButton12, PushButton13, PushButton14, PreviewButton, UndoButton})
        m_pointer->addSetPlace(button);
    m_pointer->addResetPlace(this);
    m_pointer->addResetPlace(List1);

    m_sets = std::make_unique<ComboSetLists>(*Combo1, *Combo2);
    m_setsTab = std::make_unique<engine::SetsTab>(m_prompts, *m_sets, [this] {
        if (!m_loadSetsDialog)
            throw std::logic_error("The Load Sets dialog is not available.");
        m_loadSetsDialog(m_prompts, *m_sets, this);
    });
}

Form2::~Form2() = default;

void Form2::Form_Load()
{
    using namespace settings;
    Procedure p(m_prompts, QStringLiteral("Form2.Form_Load"));
    p.step(100, [&] { SetButtonFaceColors(*this); });
    p.step(102, [&] { setWindowIcon(applicationIcon()); });
    handCursorStep(p, 106, 108, *m_pointer);
    p.step(110, [&] { setWindowTitle(QLatin1String(identity::ProductName)); });
    p.step(112, [&] {
        ListSink sink(*List1);
        db::FillTableList(m_connectionWindow.connectionString(), sink);
    });
    // Ticked from the last entry to the first.
    const int entries = p.loopCount(114, [&] { return List1->count(); });
    for (int i = entries - 1; i >= 0; --i)
        p.step(116, [&] { listEntry(List1, i)->setCheckState(Qt::Checked); });
    p.step(120, [&] {
        TabControl1->setSelectedIndex(
            GetSetting(QLatin1String(Key::TabControl1), QLatin1String(Default::TabControl1)));
    });
    p.step(122, [&] { Text1->setText(GetSetting(QLatin1String(Key::Text1))); });
    p.step(124, [&] { Text2->setText(GetSetting(QLatin1String(Key::Text2))); });
}

void Form2::PushButton1_Click()
{
    StatusLine->clear();
    m_lastProgress = 0;
    if (!m_run.PushButton1_Click(*this))
        return; // a run is going on: this press is ignored
    StatusLine->setText(QStringLiteral("Finished."));
    if (m_closing)
        Form_Unload();
}

engine::RunRequest Form2::previewRequest()
{
    return engine::RunRequestBuilder::fromHost(*this).build();
}

void Form2::PreviewButton_Click()
{
    if (m_run.isRunning())
        return; // the preview would read what the run is changing
    PreviewWindow preview(m_prompts, this);
    preview.setModal(true);
    preview.show();
    preview.start(previewRequest());
    if (m_showPreview)
        m_showPreview(preview);
    else
        preview.exec();
}

void Form2::UndoButton_Click()
{
    if (m_run.isRunning())
        return; // the undo would put back fields the run is still changing
    Procedure p(m_prompts, QStringLiteral("Form2.UndoButton_Click"));
    engine::Journal* opened = nullptr;
    p.step(100, [&] {
        try {
            opened = journal();
        } catch (const engine::JournalError& error) {
            m_prompts.message(QStringLiteral("The journal of old values cannot be opened: %1")
                                  .arg(QString::fromUtf8(error.what())));
        }
    });
    if (!opened)
        return;
    p.step(102, [&] {
        UndoWindow window(m_prompts, *opened, connectionString(), this);
        window.setModal(true);
        window.show();
        if (m_showUndo)
            m_showUndo(window);
        else
            window.exec();
    });
}

void Form2::PushButton3_Click()
{
    Procedure p(m_prompts, QStringLiteral("Form2.PushButton3_Click"));
    p.step(100, [&] {
        m_prompts.message(
            QStringLiteral("This program can not find and replace in a field with a Text data type."));
    });
}

void Form2::PushButton5_Click()
{
    // Going back while a run is going on would leave it working unseen; the press is ignored.
    if (m_run.isRunning())
        return;
    Procedure p(m_prompts, QStringLiteral("Form2.PushButton5_Click"));
    p.step(100, [&] { m_connectionWindow.show(); });
    p.step(102, [&] { hide(); });
}

void Form2::tickAll(const char* location, Qt::CheckState state)
{
    Procedure p(m_prompts, QLatin1String(location));
    // Entry positions are 16-bit wherever a list is walked: the most the set lists hold is that limit.
    const int entries = p.loopCount(100, [&] { return std::min(List1->count(), engine::MaxSets); });
    for (int i = 0; i < entries; ++i)
        p.step(102, [&] { listEntry(List1, i)->setCheckState(state); });
}

void Form2::PushButton8_Click()
{
    tickAll("Form2.PushButton8_Click", Qt::Checked);
}

void Form2::PushButton9_Click()
{
    tickAll("Form2.PushButton9_Click", Qt::Unchecked);
}

void Form2::PushButton10_Click()
{
    m_setsTab->PushButton10_Click();
}

void Form2::PushButton11_Click()
{
    m_setsTab->PushButton11_Click();
}

void Form2::PushButton12_Click()
{
    m_setsTab->PushButton12_Click();
}

void Form2::PushButton13_Click()
{
    m_setsTab->PushButton13_Click();
}

void Form2::PushButton14_Click()
{
    m_setsTab->PushButton14_Click();
}

// Selecting an entry in one set list selects the same position in the other. Setting a combo box to
// the index it shows raises nothing, so the two handlers stop after one round.
void Form2::Combo1_Click()
{
    if (Combo2->currentIndex() != Combo1->currentIndex() && Combo1->currentIndex() < Combo2->count())
        Combo2->setCurrentIndex(Combo1->currentIndex());
}

void Form2::Combo2_Click()
{
    if (Combo1->currentIndex() != Combo2->currentIndex() && Combo2->currentIndex() < Combo1->count())
        Combo1->setCurrentIndex(Combo2->currentIndex());
}

void Form2::Text1_Change()
{
    m_settings.save(settings::Key::Text1, Text1->text(), "Text1_Change");
}

void Form2::Text2_Change()
{
    m_settings.save(settings::Key::Text2, Text2->text(), "Text2_Change");
}

void Form2::TabControl1_SelectedChanged()
{
    m_settings.save(settings::Key::TabControl1, QString::number(TabControl1->selectedIndex()),
                    "TabControl1_SelectedChanged");
}

void Form2::Form_Unload()
{
    endTool();
}

void Form2::closeEvent(QCloseEvent* event)
{
    if (m_run.isRunning()) {
        m_closing = true;
        event->ignore();
        return;
    }
    event->accept();
    Form_Unload();
}

// ---- The run's view of the window: every value is read from the controls when the run asks.

int Form2::tableCount()
{
    return List1->count();
}

bool Form2::isTicked(int entry)
{
    return listEntry(List1, entry)->checkState() == Qt::Checked;
}

db::Table Form2::table(int entry)
{
    const QListWidgetItem* item = listEntry(List1, entry);
    return {item->data(SchemaRole).toString(), item->data(NameRole).toString()};
}

QString Form2::tableText(int entry)
{
    return listEntry(List1, entry)->text();
}

QString Form2::connectionString()
{
    return m_connectionWindow.connectionString();
}

int Form2::selectedTab()
{
    return TabControl1->selectedIndex();
}

QString Form2::findText()
{
    return Text1->text();
}

QString Form2::replaceText()
{
    return Text2->text();
}

int Form2::setCount()
{
    return m_sets->count();
}

QString Form2::setFindText(int set)
{
    return m_sets->entry(engine::SetLists::Find, set);
}

QString Form2::setReplaceText(int set)
{
    return m_sets->entry(engine::SetLists::Replacement, set);
}

void Form2::processEvents()
{
    QApplication::processEvents();
}

void Form2::setPointerMode(PointerMode mode)
{
    m_pointer->setMode(mode);
}

Prompts& Form2::prompts()
{
    return m_prompts;
}

void Form2::progress(int entry, int entryCount, long long record, long long recordCount)
{
    // Shown at a table's start, its first and last record, and at most ten times a second in between: a long
    // table must not look frozen, and redrawing the line for every record would slow the run.
    const qint64 now = QDateTime::currentMSecsSinceEpoch();
    if (record > 1 && record != recordCount && now - m_lastProgress < 100)
        return;
    m_lastProgress = now;
    const QLocale locale;
    StatusLine->setText(QStringLiteral("Table %1 of %2 (%3): record %4 of %5")
                            .arg(QString::number(entry + 1), QString::number(entryCount), tableText(entry),
                                 locale.toString(record), locale.toString(recordCount)));
}

engine::Journal* Form2::journal()
{
    if (!m_journal)
        m_journal = std::make_unique<engine::Journal>(engine::Journal::defaultPath());
    return m_journal.get();
}

} // namespace quarvel::ui
