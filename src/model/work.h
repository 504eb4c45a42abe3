// Work events: how long jobs report progress, and the coalescing reporter that
// every job sends them through.
#pragma once

#include "message.h"

#include <chrono>
#include <cstdint>

namespace korvane {

// Which job sent an event.
enum JobFlag : uint8_t {
    kFlagYaffsScan = 1,
    kFlagExtract = 2,
    kFlagAddFiles = 3,
    kFlagYaffsSave = 4,
    kFlagExtSave = 5,
    kFlagExtRead = 6,
    // Reading an image of any other format: kind 1 starts, 2 is progress
    // (objects read of those known), 3 ends.
    kFlagRead = 7,
    // Writing an image of any other format: kind 1 starts, 2 to 4 are its
    // steps, 5 progress, 6 ends (as the YAFFS2 and EXT saves).
    kFlagSave = 8,
};

// Receiver of work events. Jobs call it on their own thread; the desktop app
// forwards to its main thread, the CLI draws a progress bar. The message is
// the step ("Scanning blocks") or, while objects go by, the object's name or
// path as it stands (verbatim()); empty where a step shows no text.
class WorkSink {
public:
    virtual ~WorkSink() = default;
    virtual void report(int64_t pos, int64_t max, int kind, const Message& message,
                        uint8_t flag) = 0;
};

// Sends the events of one job. Progress events are coalesced to about 30 a
// second; an event of a new kind and the one that reaches the maximum always
// go out, so the first and the last event of every step are delivered. A
// maximum of 0 is a total not known: nothing reaches it.
class JobReporter {
public:
    JobReporter(WorkSink* sink, uint8_t flag) : sink_(sink), flag_(flag) {}

    // Always delivered.
    void send(int64_t pos, int64_t max, int kind, const Message& message);

    // Delivered when due (see above).
    void progress(int64_t pos, int64_t max, int kind, const Message& message) {
        if (due(pos, max, kind))
            send(pos, max, kind, message);
    }

    // As progress(), building the message only when the event goes out.
    template <typename MakeMessage>
    void progressWith(int64_t pos, int64_t max, int kind, MakeMessage&& make) {
        if (due(pos, max, kind))
            send(pos, max, kind, make());
    }

    bool due(int64_t pos, int64_t max, int kind);

private:
    WorkSink* sink_;
    uint8_t flag_;
    int lastKind_ = -1;
    std::chrono::steady_clock::time_point last_{};
};

} // namespace korvane
