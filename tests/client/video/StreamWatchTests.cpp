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
    QString told;  // what deliveryChanged said: S stalled, D delivering
    QObject::connect(&watch, &StreamWatch::deliveryChanged,
                     [&](bool delivering) { told += delivering ? 'D' : 'S'; });

    enum Event { kNothing, kFrame, kConnected, kReopening, kDisconnected };
    const struct {
        uint32_t advanceMs;
        Event event;
        State state;
        int stallsSoFar;
        const char* text;  // how the note starts
        const char* told;
    } steps[] = {
        {0, kNothing, State::kIdle, 0, "", ""},
        {3000, kNothing, State::kIdle, 0, "", ""},  // no camera: nothing is expected
        {0, kConnected, State::kIdle, 0, "", ""},
        {1900, kNothing, State::kIdle, 0, "", ""},
        {100, kNothing, State::kNoPicture, 0, "No picture since ", ""},  // none since connecting
        {100, kFrame, State::kLive, 0, "", ""},                          // a short gap is no news
        {40, kFrame, State::kLive, 0, "", ""},
        {1999, kNothing, State::kLive, 0, "", ""},
        {1, kNothing, State::kNoPicture, 0, "No picture since ", ""},
        {3000, kNothing, State::kNoPicture, 1, "No picture since ", ""},  // 5 s: reopen it
        {4000, kNothing, State::kNoPicture, 1, "", ""},                   // asked once only
        {0, kReopening, State::kNoPicture, 1, "", ""},
        {0, kConnected, State::kNoPicture, 1, "", ""},
        {1000, kNothing, State::kNoPicture, 1, "", ""},  // 10 s since the last frame
        {1, kNothing, State::kNoPicture, 1, "", "S"},    // more than 10 s: told, once
        {3998, kNothing, State::kNoPicture, 1, "", "S"},
        {1, kNothing, State::kNoPicture, 2, "", "S"},  // still nothing after the reopening
        {0, kFrame, State::kLive, 2, "", "SD"},
        {0, kDisconnected, State::kDisconnected, 2, "Camera disconnected at ", "SD"},
        {12000, kNothing, State::kDisconnected, 2, "Camera disconnected at ", "SD"},  // not listed
        {0, kConnected, State::kDisconnected, 2, "", "SD"},
        {2500, kNothing, State::kDisconnected, 2, "Camera disconnected at ", "SD"},  // until frames
        {10, kFrame, State::kLive, 2, "", "SD"},
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
        EXPECT_EQ(told, step.told);
    }
    TickClock::Install(nullptr);
}
