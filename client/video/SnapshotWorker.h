// Saves alarm snapshots on a thread of its own ("Snapshot"), so that the PNG encoding and the
// file write never hold up the GUI thread during an alarm. One save at a time: the alarm
// hand-over lets one alarm in flight, so a slot for one request is all it needs.
//
// Threads: Request, Submit, WaitIdle and the destructor on the owner's thread (the GUI thread);
// the save and the `done` callback on the worker thread. The state both use (the busy and stop
// flags, the request slot while busy, the callback) is guarded by the state's mutex; the owner
// fills the slot only while no save is in flight, the worker reads it only while one is.
#pragma once

#include <functional>
#include <memory>
#include <thread>

#include "video/SnapshotWriter.h"

class SnapshotWorker {
public:
    // Called on the worker thread after each save, with what it wrote.
    using Done = std::function<void(const SnapshotResult& result)>;
    // The longest the owner waits for a save in flight (a hung disk), before a new request and
    // at destruction.
    static constexpr int kWaitMs = 2000;

    explicit SnapshotWorker(Done done);
    // Waits for the save in flight, at most kWaitMs, and ends the thread. A save still hanging
    // then is left to finish (or fail) on its own, without calling `done`.
    ~SnapshotWorker();
    SnapshotWorker(const SnapshotWorker&) = delete;
    SnapshotWorker& operator=(const SnapshotWorker&) = delete;

    // The slot to fill for the next save, once the save in flight (if any) has ended; null when
    // it is still running after kWaitMs.
    SnapshotRequest* Request();
    // Starts the save of the filled slot.
    void Submit();
    // True once no save is in flight, waiting at most `ms`.
    bool WaitIdle(int ms);

private:
    struct State;
    static void Run(const std::shared_ptr<State>& state);

    // Shared with the thread, which outlives the worker when a save hangs past kWaitMs.
    std::shared_ptr<State> m_State;
    std::thread m_Thread;
};
