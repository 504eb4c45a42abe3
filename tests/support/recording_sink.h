// A work-event sink for tests: keeps every event, its message as the app
// shows it in Chinese, and can set an image's cancel flag when a job reaches
// a given point.
#pragma once

#include "model/timg.h"
#include "text/messagetext.h"

#include <string>
#include <vector>

namespace korvane::test {

struct Event {
    int64_t pos, max;
    int kind;
    std::string message;
    uint8_t flag;
};

class RecordingSink : public WorkSink {
public:
    std::vector<Event> events;
    // When set: the image whose cancel flag is set at the first event of
    // cancelKind whose position reaches cancelAt.
    Timg* cancelImage = nullptr;
    int cancelKind = 2;
    int64_t cancelAt = 0;

    void report(int64_t pos, int64_t max, int kind, const Message& message, uint8_t flag) override {
        events.push_back(
            {pos, max, kind, text::messageText(message, text::Language::kChinese), flag});
        if (cancelImage && kind == cancelKind && pos >= cancelAt)
            cancelImage->cancel = 1;
    }
};

} // namespace korvane::test
