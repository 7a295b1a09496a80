// Timer controls: a panel's ticking controls, and the first tick that waits for the panel's paint.
#include "panels_internal.h"

#include <utility>

ControlTimer::ControlTimer(QObject *parent, int intervalMs, bool firstTickOnPaint,
                           std::function<void()> tick)
    : QTimer(parent), intervalMs(intervalMs), firstTickOnPaint(firstTickOnPaint),
      tick(std::move(tick)) {
    setInterval(intervalMs);
    connect(this, &QTimer::timeout, this, [this] { Tick(); });
}

void ControlTimer::StartWithPanel() {
    if (isActive())
        return;
    awaitsPaint = firstTickOnPaint;
    start();
}

// The zero interval fires once the loop runs again, which is after the paint has reached the
// screen.
void ControlTimer::PanelPainted() {
    if (!isActive() || !awaitsPaint)
        return;
    awaitsPaint = false;
    start(0);
}

// Back to the resource's interval before the callback runs: one that polls the loop would
// otherwise meet the paint tick's zero interval again and again.
void ControlTimer::Tick() {
    awaitsPaint = false;
    if (interval() != intervalMs)
        setInterval(intervalMs);
    tick();
}
