// What the app's benchmarks measure the event loop with.
#pragma once

#include <QElapsedTimer>
#include <QEventLoop>
#include <QObject>
#include <QTimer>
#include <algorithm>
#include <functional>
#include <utility>

namespace korvane::bench {

// Fires every 10 ms; the longest gap between two ticks is the worst stall.
class StallProbe {
public:
    StallProbe() {
        timer_.setTimerType(Qt::PreciseTimer);
        timer_.setInterval(10);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            const qint64 now = clock_.nsecsElapsed();
            worst_ = std::max(worst_, now - last_);
            last_ = now;
            if (onTick_)
                std::exchange(onTick_, nullptr)();
        });
        clock_.start();
        timer_.start();
    }
    void reset() {
        worst_ = 0;
        last_ = clock_.nsecsElapsed();
    }
    double worstMs() const { return static_cast<double>(worst_) / 1e6; }
    // Runs fn at the next tick (the event loop was free again).
    void atNextTick(std::function<void()> fn) { onTick_ = std::move(fn); }

private:
    QTimer timer_;
    QElapsedTimer clock_;
    qint64 last_ = 0;
    qint64 worst_ = 0;
    std::function<void()> onTick_;
};

// Runs the event loop for ms milliseconds.
inline void settle(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

} // namespace korvane::bench
