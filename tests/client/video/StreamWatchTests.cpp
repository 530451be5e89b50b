#include "video/StreamWatch.h"

#include <gtest/gtest.h>

#include <QSignalSpy>
#include <atomic>

#include "support/ManualTickClock.h"

using State = StreamWatch::State;

// One stream's life on a hand-moved clock: each step moves the clock, maybe delivers a frame or
// tells the watch of the connection, and checks what the watch says then.
TEST(StreamWatchTest, TellsALivePictureFromAStalledAndAGoneOne) {
    CalorviewTest::ManualTickClock clock(1000);
    TickClock::Install(&clock);
    std::atomic<uint32_t> lastFrame{0};
    StreamWatch watch([&] { return lastFrame.load(); });
    QSignalSpy stalls(&watch, &StreamWatch::stalled);

    enum Event { kNothing, kFrame, kConnected, kReopening, kDisconnected };
    const struct {
        uint32_t advanceMs;
        Event event;
        State state;
        int stallsSoFar;
        const char* text;  // how the note starts
    } steps[] = {
        {0, kNothing, State::kIdle, 0, ""},
        {3000, kNothing, State::kIdle, 0, ""},  // no camera: nothing is expected
        {0, kConnected, State::kIdle, 0, ""},
        {1900, kNothing, State::kIdle, 0, ""},
        {100, kNothing, State::kNoPicture, 0, "No picture since "},  // none since connecting
        {100, kFrame, State::kLive, 0, ""},
        {40, kFrame, State::kLive, 0, ""},
        {1999, kNothing, State::kLive, 0, ""},
        {1, kNothing, State::kNoPicture, 0, "No picture since "},
        {3000, kNothing, State::kNoPicture, 1, "No picture since "},  // 5 s: reopen it
        {4000, kNothing, State::kNoPicture, 1, ""},                   // asked once only
        {0, kReopening, State::kNoPicture, 1, ""},
        {0, kConnected, State::kNoPicture, 1, ""},
        {4999, kNothing, State::kNoPicture, 1, ""},
        {1, kNothing, State::kNoPicture, 2, ""},  // still nothing after the reopening
        {0, kFrame, State::kLive, 2, ""},
        {0, kDisconnected, State::kDisconnected, 2, "Camera disconnected at "},
        {9000, kNothing, State::kDisconnected, 2, "Camera disconnected at "},
        {0, kConnected, State::kDisconnected, 2, ""},
        {2500, kNothing, State::kDisconnected, 2, "Camera disconnected at "},  // until frames
        {10, kFrame, State::kLive, 2, ""},
    };
    int number = 0;
    for (const auto& step : steps) {
        SCOPED_TRACE(number++);
        clock.now += step.advanceMs;
        switch (step.event) {
            case kFrame:
                lastFrame = clock.now.load();
                break;
            case kConnected:
                watch.Connected();
                break;
            case kReopening:
                watch.Reopening();
                break;
            case kDisconnected:
                watch.Disconnected();
                break;
            case kNothing:
                break;
        }
        watch.Check();
        EXPECT_EQ(watch.state(), step.state);
        EXPECT_EQ(stalls.size(), step.stallsSoFar);
        EXPECT_TRUE(*step.text == '\0' || watch.Text().startsWith(step.text))
            << watch.Text().toStdString();
        EXPECT_EQ(watch.Text().isEmpty(), step.state == State::kLive || step.state == State::kIdle);
    }
    TickClock::Install(nullptr);
}
