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
#include "ui/Controls.h"
#include "ui/EndOfTool.h"
#include "ui/PushButton.h"
#include "ui/TabControl.h"
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

// Layout of the window, in twips; the controls of the two tabs are relative to the tab control.
namespace layout {
constexpr int ClientWidth = 8040;
// The designed client area is 7530 twips high; the status line of a run is added below "< Back" so
// that no designed control moves.
constexpr int ClientHeight = 7530 + 300;
constexpr TwipsRect PushButton3{120, 120, 7800, 405};
constexpr TwipsRect Label3{120, 630, 3375, 225};
constexpr TwipsRect List1{120, 870, 7800, 1860};
constexpr TwipsRect PushButton8{120, 2820, 3840, 405};
constexpr TwipsRect PushButton9{4080, 2820, 3840, 405};
constexpr TwipsRect TabControl1{120, 3300, 7800, 3105};
constexpr TwipsRect Label2{240, 480, 5415, 255};
constexpr TwipsRect Text1{240, 720, 7320, 345};
constexpr TwipsRect Label5{240, 1200, 6015, 255};
constexpr TwipsRect Text2{240, 1440, 7320, 345};
constexpr TwipsRect Label7{240, 480, 5415, 255};
constexpr TwipsRect Combo1{240, 720, 7320, 345};
constexpr TwipsRect Label6{240, 1200, 6015, 255};
constexpr TwipsRect Combo2{240, 1440, 7320, 345};
constexpr TwipsRect PushButton10{240, 1920, 3600, 405};
constexpr TwipsRect PushButton12{3945, 1920, 1740, 405};
constexpr TwipsRect PushButton14{5800, 1920, 1740, 405};
constexpr TwipsRect PushButton13{240, 2430, 3600, 405};
constexpr TwipsRect PushButton11{3945, 2430, 3600, 405};
constexpr TwipsRect PushButton1{120, 6510, 7800, 405};
constexpr TwipsRect PushButton5{120, 7020, 7800, 405};
constexpr TwipsRect StatusLine{120, 7500, 7800, 255};
} // namespace layout

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
    makeFixedWindow(*this, twipsSize(layout::ClientWidth, layout::ClientHeight));
    setFont(arialFont(WindowFontSize));
    buildControls();
    m_sets = std::make_unique<ComboSetLists>(*Combo1, *Combo2);
    m_setsTab = std::make_unique<engine::SetsTab>(m_prompts, *m_sets, [this] {
        if (!m_loadSetsDialog)
            throw std::logic_error("The Load Sets dialog is not available.");
        m_loadSetsDialog(m_prompts, *m_sets, this);
    });
}

Form2::~Form2() = default;

void Form2::buildControls()
{
    PushButton3 = makeButton(QStringLiteral("Help"), layout::PushButton3, this);
    Label3 =
        makeLabel(QStringLiteral(" Select tables to find and replace within:"), layout::Label3, this, false);
    List1 = new QListWidget(this);
    List1->setGeometry(layout::List1.toPixels());
    List1->setSelectionMode(QAbstractItemView::SingleSelection);
    PushButton8 = makeButton(QStringLiteral("Select All"), layout::PushButton8, this);
    PushButton9 = makeButton(QStringLiteral("Deselect All"), layout::PushButton9, this);

    TabControl1 = new TabControl(this);
    TabControl1->setGeometry(layout::TabControl1.toPixels());
    QWidget* single = TabControl1->addTab(QStringLiteral("Find and replace"));
    QWidget* multiple = TabControl1->addTab(QStringLiteral("Multiple find and replace sets"));

    Label2 = makeLabel(QStringLiteral(" Find what (exact case):"), layout::Label2, single, false);
    Text1 = makeTextBox(layout::Text1, single, false);
    Label5 = makeLabel(QStringLiteral(" Replace with:"), layout::Label5, single, false);
    Text2 = makeTextBox(layout::Text2, single, false);

    Label7 = makeLabel(QStringLiteral(" Find what (exact case):"), layout::Label7, multiple, false);
    Combo1 = new QComboBox(multiple);
    Combo1->setGeometry(layout::Combo1.toPixels());
    Label6 = makeLabel(QStringLiteral(" Replace with:"), layout::Label6, multiple, false);
    Combo2 = new QComboBox(multiple);
    Combo2->setGeometry(layout::Combo2.toPixels());
    PushButton10 = makeButton(QStringLiteral("Add Set"), layout::PushButton10, multiple);
    PushButton12 = makeButton(QStringLiteral("Load Sets"), layout::PushButton12, multiple);
    PushButton14 = makeButton(QStringLiteral("Save Sets"), layout::PushButton14, multiple);
    PushButton13 = makeButton(QStringLiteral("Remove Selected Set"), layout::PushButton13, multiple);
    PushButton11 = makeButton(QStringLiteral("Clear All Sets"), layout::PushButton11, multiple);

    PushButton1 = makeButton(QStringLiteral("Start Replacing"), layout::PushButton1, this);
    PushButton5 = makeButton(QStringLiteral("< Back"), layout::PushButton5, this);
    StatusLine = makeLabel(QString(), layout::StatusLine, this, false);
    StatusLine->setAccessibleName(QStringLiteral("Progress of the replacement run"));

    const QList<std::pair<QObject*, const char*>> names = {{PushButton3, "PushButton3"},
                                                           {Label3, "Label3"},
                                                           {List1, "List1"},
                                                           {PushButton8, "PushButton8"},
                                                           {PushButton9, "PushButton9"},
                                                           {TabControl1, "TabControl1"},
                                                           {Label2, "Label2"},
                                                           {Text1, "Text1"},
                                                           {Label5, "Label5"},
                                                           {Text2, "Text2"},
                                                           {Label7, "Label7"},
                                                           {Combo1, "Combo1"},
                                                           {Label6, "Label6"},
                                                           {Combo2, "Combo2"},
                                                           {PushButton10, "PushButton10"},
                                                           {PushButton12, "PushButton12"},
                                                           {PushButton14, "PushButton14"},
                                                           {PushButton13, "PushButton13"},
                                                           {PushButton11, "PushButton11"},
                                                           {PushButton1, "PushButton1"},
                                                           {PushButton5, "PushButton5"},
                                                           {StatusLine, "StatusLine"}};
    for (const auto& [object, name] : names)
        object->setObjectName(QLatin1String(name));

    // Labels name their controls for assistive tools.
    Label3->setBuddy(List1);
    Label2->setBuddy(Text1);
    Label5->setBuddy(Text2);
    Label7->setBuddy(Combo1);
    Label6->setBuddy(Combo2);
    List1->setAccessibleName(QStringLiteral("Select tables to find and replace within"));
    Text1->setAccessibleName(QStringLiteral("Find what (exact case)"));
    Text2->setAccessibleName(QStringLiteral("Replace with"));
    Combo1->setAccessibleName(QStringLiteral("Find what (exact case), sets"));
    Combo2->setAccessibleName(QStringLiteral("Replace with, sets"));
    TabControl1->tabBar()->setAccessibleName(QStringLiteral("Find and replace mode"));

    const QList<QWidget*> order = {
        PushButton3,  List1,        PushButton8, PushButton9,  TabControl1->tabBar(), Text1,
        Text2,        Combo1,       Combo2,      PushButton10, PushButton12,          PushButton14,
        PushButton13, PushButton11, PushButton1, PushButton5};
    for (qsizetype i = 0; i + 1 < order.size(); ++i)
        setTabOrder(order[i], order[i + 1]);

    connect(PushButton1, &QPushButton::clicked, this, &Form2::PushButton1_Click);
    connect(PushButton3, &QPushButton::clicked, this, &Form2::PushButton3_Click);
    connect(PushButton5, &QPushButton::clicked, this, &Form2::PushButton5_Click);
    connect(PushButton8, &QPushButton::clicked, this, &Form2::PushButton8_Click);
    connect(PushButton9, &QPushButton::clicked, this, &Form2::PushButton9_Click);
    connect(PushButton10, &QPushButton::clicked, this, &Form2::PushButton10_Click);
    connect(PushButton11, &QPushButton::clicked, this, &Form2::PushButton11_Click);
    connect(PushButton12, &QPushButton::clicked, this, &Form2::PushButton12_Click);
    connect(PushButton13, &QPushButton::clicked, this, &Form2::PushButton13_Click);
    connect(PushButton14, &QPushButton::clicked, this, &Form2::PushButton14_Click);
    connect(Combo1, &QComboBox::currentIndexChanged, this, &Form2::Combo1_Click);
    connect(Combo2, &QComboBox::currentIndexChanged, this, &Form2::Combo2_Click);
    connect(Text1, &QLineEdit::textChanged, this, &Form2::Text1_Change);
    connect(Text2, &QLineEdit::textChanged, this, &Form2::Text2_Change);
    connect(TabControl1, &TabControl::selectedChanged, this, &Form2::TabControl1_SelectedChanged);

    m_pointer = new WindowPointer(this);
    for (PushButton* button : {PushButton1, PushButton3, PushButton5, PushButton8, PushButton9, PushButton10,
                               PushButton11, PushButton12, PushButton13, PushButton14})
        m_pointer->addSetPlace(button);
    m_pointer->addResetPlace(this);
    m_pointer->addResetPlace(List1);
}

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
                            .arg(entry + 1)
                            .arg(entryCount)
                            .arg(tableText(entry))
                            .arg(locale.toString(record))
                            .arg(locale.toString(recordCount)));
}

} // namespace quarvel::ui
