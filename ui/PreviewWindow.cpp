#include "ui/PreviewWindow.h"

#include "db/DbError.h"
#include "ui/Controls.h"
#include "ui/CsvSave.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QPainter>
#include <QPushButton>
#include <QSplitter>
#include <QStyledItemDelegate>
#include <QTableWidget>
#include <QTextBrowser>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace quarvel::ui {

namespace {

using ChangeKind = engine::ChangeSegment::Kind;

// Keeps the window answering while the tables are read: events (Cancel among them) are handled every
// few milliseconds, far inside the tenth of a second a click may wait, without slowing the walk.
class WindowObserver : public engine::PreviewObserver
{
public:
    WindowObserver(QLabel& status, const bool& cancelled, const engine::PreviewRequest& request)
        : m_status(status), m_cancelled(cancelled), m_request(request)
    {
        m_clock.start();
    }
    void progress(int entry, int entryCount, long long record, long long recordCount) override
    {
        if (record != 0 && m_clock.elapsed() < 20)
            return;
        m_clock.restart();
        m_status.setText(QStringLiteral("Table %1 of %2, %3: record %4 of %5")
                             .arg(QString::number(entry + 1), QString::number(entryCount),
                                  m_request.tables.at(entry).second, QString::number(record),
                                  QString::number(recordCount)));
        QApplication::processEvents();
    }
    bool cancelled() override
    {
        if (m_clock.elapsed() >= 20) {
            m_clock.restart();
            QApplication::processEvents();
        }
        return m_cancelled;
    }

private:
    QLabel& m_status;
    const bool& m_cancelled;
    const engine::PreviewRequest& m_request;
    QElapsedTimer m_clock;
};

constexpr int SegmentsRole = Qt::UserRole;
// Characters of kept text before the first change in a list row, and the most a row holds: the change
// starts near the left edge, where the eye looks first.
constexpr qsizetype RowContext = 12;
constexpr qsizetype RowWidth = 200;

enum SampleColumn { RowColumn, ColumnColumn, OldColumn, NewColumn, RefusedColumn };

// A tint of the palette's own base, so that it reads in a light theme and a dark one alike.
QColor tint(const QPalette& palette, ChangeKind kind)
{
    const QColor base = palette.color(QPalette::Base);
    const QColor hue = kind == engine::ChangeSegment::Removed ? QColor(220, 40, 40) : QColor(30, 170, 60);
    const auto mix = [](int a, int b) { return (a * 2 + b) / 3; };
    return QColor(mix(base.red(), hue.red()), mix(base.green(), hue.green()), mix(base.blue(), hue.blue()));
}

QVariantList toVariant(const engine::ChangeSegments& segments)
{
    QVariantList list;
    for (const engine::ChangeSegment& s : segments)
        list.append(QVariant(QVariantList{int(s.kind), s.text}));
    return list;
}

// Draws one side of a change: removed parts struck through, added ones underlined, each on its tint, and
// the « » marks kept, so that colour is never the only sign.
class ChangeDelegate : public QStyledItemDelegate
{
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        const QVariantList segments = index.data(SegmentsRole).toList();
        if (segments.isEmpty()) {
            QStyledItemDelegate::paint(painter, option, index);
            return;
        }
        QStyleOptionViewItem item = option;
        initStyleOption(&item, index);
        item.text.clear();
        const QWidget* widget = option.widget;
        QStyle* style = widget ? widget->style() : QApplication::style();
        style->drawControl(QStyle::CE_ItemViewItem, &item, painter, widget);
        const QRect area =
            style->subElementRect(QStyle::SE_ItemViewItemText, &item, widget).adjusted(2, 0, -2, 0);
        painter->save();
        painter->setClipRect(area);
        const bool selected = (option.state & QStyle::State_Selected) != 0;
        int x = area.left();
        for (const QVariant& entry : segments) {
            const QVariantList pair = entry.toList();
            const auto kind = static_cast<ChangeKind>(pair.value(0).toInt());
            QString text = pair.value(1).toString();
            if (kind != engine::ChangeSegment::Same)
                text = u'\u00AB' + text + u'\u00BB';
            text.replace(u'\n', u'\u21B5').replace(u'\r', QString()).replace(u'\t', u' ');
            QFont font = item.font;
            font.setStrikeOut(kind == engine::ChangeSegment::Removed);
            font.setUnderline(kind == engine::ChangeSegment::Added);
            const QFontMetrics metrics(font);
            const int width = metrics.horizontalAdvance(text);
            const QRect box(x, area.top(), width, area.height());
            if (kind != engine::ChangeSegment::Same)
                painter->fillRect(box, tint(option.palette, kind));
            painter->setFont(font);
            painter->setPen(option.palette.color(selected && kind == engine::ChangeSegment::Same
                                                     ? QPalette::HighlightedText
                                                     : QPalette::Text));
            painter->drawText(box, int(Qt::AlignVCenter | Qt::AlignLeft) | Qt::TextSingleLine, text);
            x += width;
            if (x > area.right())
                break;
        }
        painter->restore();
    }
};

QString escaped(const QString& text)
{
    return text.toHtmlEscaped();
}

// One side of a change for the detail pane, wrapped as the value's own line breaks and the width say.
QString sideHtml(const engine::ChangeSegments& side, const QPalette& palette)
{
    QString html;
    for (const engine::ChangeSegment& s : side) {
        if (s.kind == engine::ChangeSegment::Same) {
            html += escaped(s.text);
            continue;
        }
        html +=
            QStringLiteral("<span style=\"background-color:%1;%2\">\u00AB%3\u00BB</span>")
                .arg(tint(palette, s.kind).name(),
                     s.kind == engine::ChangeSegment::Removed ? QStringLiteral("text-decoration:line-through")
                                                              : QStringLiteral("text-decoration:underline"),
                     escaped(s.text));
    }
    return QStringLiteral("<pre style=\"white-space:pre-wrap\">") + html + QStringLiteral("</pre>");
}

QString counted(long long count, const QString& one, const QString& many)
{
    return QStringLiteral("%1 %2").arg(QLocale().toString(count), count == 1 ? one : many);
}

// What the status line says when the tables are read: the counts, and what the columns would refuse.
QString previewStatus(bool cancelled, long long changed, long long records, qsizetype tables,
                      long long refused)
{
    QString status =
        QStringLiteral("%1%2 of %3 would change in %4.")
            .arg(cancelled ? QStringLiteral("Cancelled: ") : QString(), QLocale().toString(changed),
                 counted(records, QStringLiteral("record"), QStringLiteral("records")),
                 counted(tables, QStringLiteral("table"), QStringLiteral("tables")));
    if (refused != 0)
        status += QStringLiteral(" %1 would be refused by the column and left as %2.")
                      .arg(counted(refused, QStringLiteral("value"), QStringLiteral("values")),
                           refused == 1 ? QStringLiteral("it is") : QStringLiteral("they are"));
    return status;
}

} // namespace

PreviewWindow::PreviewWindow(Prompts& prompts, QWidget* parent) : QDialog(parent), m_prompts(prompts)
{
    setObjectName(QStringLiteral("PreviewWindow"));
    setWindowTitle(QStringLiteral("Preview"));
    resize(1000, 680);

    Status = statusLine(this);

    auto* countsLabel = new QLabel(QStringLiteral("&Changes per table and column:"), this);
    Counts = new QTreeWidget(this);
    Counts->setObjectName(QStringLiteral("Counts"));
    Counts->setHeaderLabels({QStringLiteral("Table / column"), QStringLiteral("Records that would change"),
                             QStringLiteral("Would be refused")});
    countsLabel->setBuddy(Counts);

    QLabel* samplesLabel = makeSamples();

    auto* detailLabel = new QLabel(QStringLiteral("&Whole values of the selected sample:"), this);
    Detail = new QTextBrowser(this);
    Detail->setObjectName(QStringLiteral("Detail"));
    Detail->setOpenLinks(false);
    Detail->setLineWrapMode(QTextEdit::WidgetWidth);
    detailLabel->setBuddy(Detail);

    CancelButton = namedButton(QStringLiteral("Cancel"), "CancelButton", this);
    SaveButton = namedButton(QStringLiteral("&Save as CSV..."), "SaveButton", this);
    CloseButton = namedButton(QStringLiteral("Close"), "CloseButton", this);
    SaveButton->setEnabled(false);

    layOut(countsLabel, samplesLabel, detailLabel);
    fitColumns();

    connect(CancelButton, &QPushButton::clicked, this, [this] { m_cancelled = true; });
    connect(SaveButton, &QPushButton::clicked, this, &PreviewWindow::SaveButton_Click);
    connect(CloseButton, &QPushButton::clicked, this, &PreviewWindow::reject);
    connect(Samples, &QTableWidget::currentCellChanged, this, [this] { showDetail(); });
}

// The samples, a row each, with the changed parts of the old and new values drawn by ChangeDelegate.
QLabel* PreviewWindow::makeSamples()
{
    auto* samplesLabel = new QLabel(
        QStringLiteral("&Samples (removed text struck through between \u00AB and \u00BB, added text "
                       "underlined):"),
        this);
    Samples = new QTableWidget(0, 5, this);
    Samples->setObjectName(QStringLiteral("Samples"));
    Samples->setHorizontalHeaderLabels({QStringLiteral("Record"), QStringLiteral("Column"),
                                        QStringLiteral("Old value"), QStringLiteral("New value"),
                                        QStringLiteral("Refused")});
    Samples->setEditTriggers(QAbstractItemView::NoEditTriggers);
    Samples->setSelectionBehavior(QAbstractItemView::SelectRows);
    Samples->setSelectionMode(QAbstractItemView::SingleSelection);
    Samples->setWordWrap(false);
    Samples->horizontalHeader()->setStretchLastSection(true);
    Samples->setItemDelegateForColumn(OldColumn, new ChangeDelegate(Samples));
    Samples->setItemDelegateForColumn(NewColumn, new ChangeDelegate(Samples));
    samplesLabel->setBuddy(Samples);
    return samplesLabel;
}

void PreviewWindow::layOut(QLabel* countsLabel, QLabel* samplesLabel, QLabel* detailLabel)
{
    // The parts can be given more or less room; each keeps its label above it.
    const auto part = [this](QLabel* label, QWidget* body) {
        auto* holder = new QWidget(this);
        auto* column = new QVBoxLayout(holder);
        column->setContentsMargins(0, 0, 0, 0);
        column->addWidget(label);
        column->addWidget(body);
        return holder;
    };
    auto* parts = new QSplitter(Qt::Vertical, this);
    parts->setChildrenCollapsible(false);
    parts->addWidget(part(countsLabel, Counts));
    parts->addWidget(part(samplesLabel, Samples));
    parts->addWidget(part(detailLabel, Detail));
    parts->setStretchFactor(0, 2);
    parts->setStretchFactor(1, 4);
    parts->setStretchFactor(2, 3);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(CancelButton);
    buttons->addStretch();
    buttons->addWidget(SaveButton);
    buttons->addWidget(CloseButton);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(Status);
    layout->addWidget(parts, 1);
    layout->addLayout(buttons);
    setTabOrder(Counts, Samples);
    setTabOrder(Samples, Detail);
    setTabOrder(Detail, CancelButton);
}

void PreviewWindow::start(const engine::PreviewRequest& request)
{
    m_cancelled = false;
    m_running = true;
    CancelButton->setEnabled(true);
    SaveButton->setEnabled(false);
    WindowObserver observer(*Status, m_cancelled, request);
    try {
        m_result = engine::Preview(request, observer);
    } catch (const db::DbError& error) {
        m_result.clear();
        Status->setText(QStringLiteral("Could not connect."));
        m_running = false;
        CancelButton->setEnabled(false);
        m_prompts.message(QStringLiteral("Could not connect: ") + error.message());
        return;
    }
    m_running = false;
    CancelButton->setEnabled(false);
    fill();
}

void PreviewWindow::fill()
{
    long long changed = 0;
    long long records = 0;
    long long refused = 0;
    Counts->clear();
    Samples->setRowCount(0);
    m_rows.clear();
    for (const engine::PreviewTable& table : std::as_const(m_result)) {
        changed += table.changedRecords;
        records += table.records;
        auto* tableItem = new QTreeWidgetItem(Counts, {table.text, QLocale().toString(table.changedRecords)});
        if (!table.failure.isEmpty())
            tableItem->setText(2, QStringLiteral("cannot be read: ") + table.failure);
        for (const engine::PreviewColumn& column : table.columns) {
            refused += column.refused;
            new QTreeWidgetItem(tableItem, {column.name, QLocale().toString(column.changes),
                                            QLocale().toString(column.refused)});
        }
        tableItem->setExpanded(true);
        for (const engine::PreviewChange& change : table.samples)
            addSample(change);
    }
    fitColumns();
    Status->setText(previewStatus(m_cancelled, changed, records, m_result.size(), refused));
    SaveButton->setEnabled(Samples->rowCount() > 0);
    if (Samples->rowCount() > 0)
        Samples->setCurrentCell(0, OldColumn);
    showDetail();
}

void PreviewWindow::addSample(const engine::PreviewChange& change)
{
    const int row = Samples->rowCount();
    Samples->insertRow(row);
    m_rows.append(&change);
    const engine::ChangeSegments diff = engine::sampleChange(change);
    const engine::ChangeSegments before =
        engine::sideOfChange(diff, engine::ChangeSegment::Removed, RowContext, RowWidth);
    const engine::ChangeSegments after =
        engine::sideOfChange(diff, engine::ChangeSegment::Added, RowContext, RowWidth);
    const QStringList cells = {
        change.row, change.column, change.oldValue ? engine::markedText(before) : QStringLiteral("NULL"),
        engine::markedText(after),
        change.refusal.isEmpty() ? QString() : QStringLiteral("would be refused: ") + change.refusal};
    for (int c = 0; c < cells.size(); ++c) {
        auto* item = new QTableWidgetItem(cells[c]);
        if (c == RefusedColumn)
            item->setToolTip(change.refusal);
        Samples->setItem(row, c, item);
    }
    if (change.oldValue)
        Samples->item(row, OldColumn)->setData(SegmentsRole, toVariant(before));
    Samples->item(row, NewColumn)->setData(SegmentsRole, toVariant(after));
}

void PreviewWindow::fitColumns()
{
    // Each column at least as wide as its header, so that none reads "Records that wo".
    for (int c = 0; c < Counts->columnCount(); ++c)
        Counts->resizeColumnToContents(c);
    Counts->setColumnWidth(0, std::max(Counts->columnWidth(0), 220));
    QHeaderView* header = Samples->horizontalHeader();
    header->resizeSections(QHeaderView::ResizeToContents);
    // The values share what is left; a row's change starts near its left edge, so half a line shows it.
    const int values =
        std::max(200, (width() - header->sectionSize(RowColumn) - header->sectionSize(ColumnColumn) -
                       header->sectionSize(RefusedColumn) - 60) /
                          2);
    header->resizeSection(RowColumn, std::min(header->sectionSize(RowColumn), 260));
    header->resizeSection(OldColumn, values);
    header->resizeSection(NewColumn, values);
}

void PreviewWindow::showDetail()
{
    const int row = Samples->currentRow();
    if (row < 0 || row >= m_rows.size()) {
        Detail->clear();
        return;
    }
    const engine::PreviewChange& change = *m_rows.at(row);
    const engine::ChangeSegments diff = engine::sampleChange(change);
    const QString& made = change.refusal.isEmpty() ? change.newValue : change.refusedValue;
    const auto side = [&](engine::ChangeSegment::Kind kind, qsizetype size) {
        QString note;
        if (size > DetailLimit)
            note = QStringLiteral("<p><i>%1 of its %2 characters are shown, around the first change.</i></p>")
                       .arg(QLocale().toString(DetailLimit), QLocale().toString(size));
        // Half the room before the change at most, so that the change itself is always in the pane.
        return sideHtml(engine::sideOfChange(diff, kind, DetailLimit / 2, DetailLimit), palette()) + note;
    };
    QString html = QStringLiteral("<p><b>%1, %2</b></p>").arg(escaped(change.row), escaped(change.column));
    html += QStringLiteral("<p><b>Old value</b></p>");
    html += change.oldValue ? side(engine::ChangeSegment::Removed, change.oldValue->size())
                            : QStringLiteral("<p><i>NULL</i></p>");
    html += change.refusal.isEmpty()
                ? QStringLiteral("<p><b>New value</b></p>")
                : QStringLiteral("<p><b>Replaced text the column would refuse</b> (the value "
                                 "stays as it is): %1</p>")
                      .arg(escaped(change.refusal));
    html += side(engine::ChangeSegment::Added, made.size());
    Detail->setHtml(html);
}

void PreviewWindow::reject()
{
    m_cancelled = true;
    if (!m_running)
        QDialog::reject();
}

void PreviewWindow::SaveButton_Click()
{
    saveCsvAs(m_prompts, QStringLiteral("preview.csv"), engine::previewCsv(m_result));
}

} // namespace quarvel::ui
