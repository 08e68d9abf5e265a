#pragma once

#include <nmb/tui_export.h>

#include <QObject>
#include <QString>

namespace nmb {

// Re-emits every action triggered in the console on the thread the bus
// lives in (the thread that first called instance(), normally the Qt main
// thread). Connect to this bus instead of Tui::action_triggered. Delivery
// needs a running event loop on that thread; actions arrive in the order
// they were triggered.
class NMB_TUI_EXPORT TuiQtBus : public QObject {
    Q_OBJECT

public:
    // Connects Tui::action_triggered to this bus through a queued connection,
    // creating the registry first if needed.
    explicit TuiQtBus(QObject* parent = nullptr);
    ~TuiQtBus() override;

    // The single bus, created without parent on first call and destroyed at
    // process exit.
    static TuiQtBus& instance();

    // On the bus's thread: emits at once. From any other thread: returns at
    // once and the signal fires later on the bus's thread.
    void request_action(const QString& action_id);

    // Emits action_triggered(action_id) now, on the calling thread.
    void emit_action(const QString& action_id);

Q_SIGNALS:
    void action_triggered(const QString& action_id);
};

} // namespace nmb
