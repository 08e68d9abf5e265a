#include <nmb/tui_qt_bus.h>

#include <nmb/tui.h>

#include <QMetaObject>
#include <QThread>

namespace nmb {

TuiQtBus::TuiQtBus(QObject* parent)
    : QObject(parent)
{
    // Always queued, so even an action executed on the bus's own thread
    // reaches receivers on a later turn of its event loop, never inside
    // Tui::execute_action.
    QObject::connect(
        &Tui::instance(), &Tui::action_triggered, this,
        [this](const QString& action_id) { request_action(action_id); }, Qt::QueuedConnection);
}

TuiQtBus::~TuiQtBus() = default;

TuiQtBus& TuiQtBus::instance()
{
    static TuiQtBus bus;
    return bus;
}

void TuiQtBus::request_action(const QString& action_id)
{
    if (QThread::currentThread() == thread()) {
        emit_action(action_id);
        return;
    }
    QMetaObject::invokeMethod(
        this, [this, action_id] { emit_action(action_id); }, Qt::QueuedConnection);
}

void TuiQtBus::emit_action(const QString& action_id)
{
    Q_EMIT action_triggered(action_id);
}

} // namespace nmb
