#include "ui/Controls.h"

#include "core/Procedure.h"
#include "core/Prompts.h"
#include "settings/SettingsStore.h"
#include "ui/PushButton.h"

#include <QEvent>
#include <QLabel>
#include <QLineEdit>

#include <limits>

namespace quarvel::ui {

QLabel* makeLabel(const QString& caption, const TwipsRect& place, QWidget* parent, bool bold)
{
    auto* label = new QLabel(caption, parent);
    label->setGeometry(place.toPixels());
    label->setFont(arialFont(WindowFontSize, bold));
    setBackColor(label, colorFromValue(WhiteValue));
    return label;
}

QLineEdit* makeTextBox(const TwipsRect& place, QWidget* parent, bool bold)
{
    auto* box = new QLineEdit(parent);
    box->setGeometry(place.toPixels());
    box->setFont(arialFont(WindowFontSize, bold));
    box->setMaxLength(std::numeric_limits<int>::max());
    return box;
}

PushButton* makeButton(const QString& caption, const TwipsRect& place, QWidget* parent)
{
    auto* button = new PushButton(caption, parent);
    button->setGeometry(place.toPixels());
    button->setFont(arialFont(ButtonFontSize, true));
    return button;
}

void SettingWriter::save(const char* key, const QString& value, const char* procedure) noexcept
{
    try {
        settings::SaveSetting(QLatin1String(key), value);
    } catch (...) {
        if (m_reported)
            return;
        m_reported = true;
        try {
            m_prompts.errorReport(errorReportText(describeFailure(std::current_exception()),
                                                  m_window + u'.' + QLatin1String(procedure), 0));
        } catch (...) {
        }
    }
}

namespace {
class CentreOnFirstShowing : public QObject
{
public:
    explicit CentreOnFirstShowing(QWidget& window) : QObject(&window), m_window(window)
    {
        window.installEventFilter(this);
    }
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (watched == &m_window && event->type() == QEvent::Show && !event->spontaneous()) {
            m_window.removeEventFilter(this);
            centreOnScreen(m_window);
            deleteLater();
        }
        return false;
    }

private:
    QWidget& m_window;
};
} // namespace

void centreOnFirstShowing(QWidget& window)
{
    new CentreOnFirstShowing(window);
}

} // namespace quarvel::ui
