#pragma once
// Recording off the window's thread: events are handed over at once and
// written, in the order given, by a thread of their own with its own
// connection. Another program holding the records' lock for seconds then
// delays the records, never the caller.
//
// A write that fails (a lock held past the busy timeout, a full disk)
// keeps its event, and the next event retries both, in order. Only a file
// that cannot be opened turns recording off. The queue is bounded: an event
// that finds it full is counted as lost, never waited for.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "records/RecordStore.h"

namespace records {

class EventWriter {
public:
    struct Status {
        enum class State : uint8_t { Opening, On, Off };
        State state = State::Opening;
        std::string problem;   // Off: why; On: why the last write failed, while events wait
        std::string setAside;  // a damaged file set aside at the open
        size_t waiting = 0;    // handed over and not written yet
        size_t lost = 0;       // dropped: the queue was full, or recording is off
        // Nothing for the operator to know: on, nothing failed or lost.
        bool Clean() const { return state != State::Off && problem.empty() && lost == 0 && setAside.empty(); }
    };
    // Told on the writer's thread after the open, after each event written
    // (`written` is it, with its id) and after each failure; never while
    // Add() or Current() wait for it.
    using Listener = std::function<void(const Status &status, const Event *written)>;

    static constexpr size_t DefaultCapacity = 1000;

    // Starts the thread, which opens `path` to record.
    EventWriter(std::string path, Listener listener, size_t capacity = DefaultCapacity);
    // Close(DefaultCloseTime).
    ~EventWriter();
    EventWriter(const EventWriter &) = delete;
    EventWriter &operator=(const EventWriter &) = delete;

    // Hands one event over; never waits for the file. False when recording
    // is off or the queue is full (the event is counted as lost). A
    // configuration write without a `before` gets the motor's last known
    // configuration from the records at the time it is written (and its
    // PosOffset, which a write never sends).
    bool Add(Event event);

    Status Current() const;

    // Stops telling the listener, writes what waits for up to `limit`
    // (the last attempt cut short at the limit) and ends the thread.
    // Returns the number of events that were not written; later calls
    // return 0.
    static constexpr std::chrono::milliseconds DefaultCloseTime{2000};
    size_t Close(std::chrono::milliseconds limit);

    // Waits up to `limit` for every event handed over to be written or to
    // have failed once; true when none waits.
    bool WaitIdle(std::chrono::milliseconds limit) const;

private:
    void Run();
    void Tell(const Event *written);

    std::string path_;
    size_t capacity_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::deque<Event> queue_; // handed over, not yet taken by the thread
    size_t taken_ = 0;        // taken by the thread and not written yet
    Status status_;
    bool busy_ = false;       // the thread is writing what it took
    bool stopping_ = false;
    bool done_ = false;       // the thread has ended
    std::chrono::steady_clock::time_point deadline_;
    std::atomic<bool> cancel_{false};
    std::mutex listenerMutex_;
    Listener listener_;
    std::thread thread_;
    bool closed_ = false;
};

} // namespace records
