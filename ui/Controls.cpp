#include "ui/Controls.h"

#include "core/Procedure.h"
#include "core/Prompts.h"
#include "settings/SettingsStore.h"
#include "ui/Appearance.h"
#include "ui/WindowPointer.h"

#include <QEvent>
#include <QLabel>
#include <QPushButton>
#include <QWidget>

namespace quarvel::ui {

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

WindowPointer* pointerOverButtons(QWidget& window, std::initializer_list<PushButton*> buttons)
{
    auto* pointer = new WindowPointer(&window);
    for (PushButton* button : buttons)
        pointer->addSetPlace(button);
    pointer->addResetPlace(&window);
    return pointer;
}

QPushButton* namedButton(const QString& caption, const char* name, QWidget* parent)
{
    auto* made = new QPushButton(caption, parent);
    made->setObjectName(QLatin1String(name));
    return made;
}

QLabel* statusLine(QWidget* parent)
{
    auto* status = new QLabel(parent);
    status->setObjectName(QStringLiteral("Status"));
    status->setWordWrap(true);
    status->setTextInteractionFlags(Qt::TextSelectableByKeyboard | Qt::TextSelectableByMouse);
    return status;
}

} // namespace quarvel::ui
