#include "records/EventWriter.h"

#include <utility>

namespace records {

EventWriter::EventWriter(std::string path, Listener listener, size_t capacity)
    : path_(std::move(path)), capacity_(capacity), listener_(std::move(listener))
{
    thread_ = std::thread([this] { Run(); });
}

EventWriter::~EventWriter()
{
    Close(DefaultCloseTime);
}

bool EventWriter::Add(Event event)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (status_.state == Status::State::Off || stopping_ || queue_.size() + taken_ >= capacity_) {
            ++status_.lost;
            return false;
        }
        queue_.push_back(std::move(event));
        status_.waiting = queue_.size() + taken_;
    }
    changed_.notify_all();
    return true;
}

EventWriter::Status EventWriter::Current() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return status_;
}

bool EventWriter::WaitIdle(std::chrono::milliseconds limit) const
{
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, limit, [this] {
        return done_ || status_.state == Status::State::Off ||
               (status_.state == Status::State::On && queue_.empty() && !busy_);
    });
    return status_.waiting == 0;
}

size_t EventWriter::Close(std::chrono::milliseconds limit)
{
    if (closed_)
        return 0;
    closed_ = true;
    {
        // Waits for a listener call under way: none comes after this.
        std::lock_guard<std::mutex> lock(listenerMutex_);
        listener_ = nullptr;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    stopping_ = true;
    deadline_ = std::chrono::steady_clock::now() + limit;
    changed_.notify_all();
    if (!changed_.wait_until(lock, deadline_, [this] { return done_; })) {
        // Past the limit: a wait for another program's lock, or the check
        // of a large file, gives up now.
        cancel_ = true;
        changed_.notify_all();
    }
    lock.unlock();
    thread_.join();
    lock.lock();
    return status_.waiting + status_.lost;
}

void EventWriter::Tell(const Event *written)
{
    std::lock_guard<std::mutex> listening(listenerMutex_);
    if (!listener_)
        return;
    const Status status = Current();
    listener_(status, written);
}

void EventWriter::Run()
{
    RecordStore store(path_, Access::Record, &cancel_);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        status_.setAside = store.SetAside();
        if (store.IsOpen()) {
            status_.state = Status::State::On;
        } else {
            status_.state = Status::State::Off;
            status_.problem = store.Problem();
            status_.lost += queue_.size();
            queue_.clear();
            status_.waiting = 0;
        }
    }
    changed_.notify_all();
    Tell(nullptr);

    std::deque<Event> pending; // taken, in order; the first may have failed
    std::unique_lock<std::mutex> lock(mutex_);
    while (store.IsOpen()) {
        changed_.wait(lock, [this] { return !queue_.empty() || stopping_; });
        if (stopping_ && ((queue_.empty() && pending.empty()) || std::chrono::steady_clock::now() >= deadline_))
            break;
        while (!queue_.empty()) {
            pending.push_back(std::move(queue_.front()));
            queue_.pop_front();
        }
        taken_ = pending.size();
        busy_ = true;
        lock.unlock();

        bool failed = false;
        while (!pending.empty()) {
            Event &e = pending.front();
            if (e.kind == EventKind::ConfigWrite && !e.before) {
                // Read now, after every earlier event of this program is in.
                e.before = store.LastKnownConfig(e.motorId);
                if (e.before && e.config)
                    e.config->PosOffset = e.before->PosOffset;
            }
            e.id = store.Add(e);
            if (e.id == 0) {
                failed = true;
                break;
            }
            const Event written = std::move(e);
            pending.pop_front();
            {
                std::lock_guard<std::mutex> relock(mutex_);
                taken_ = pending.size();
                status_.waiting = queue_.size() + taken_;
                status_.problem.clear();
            }
            Tell(&written);
        }

        lock.lock();
        busy_ = false;
        taken_ = pending.size();
        status_.waiting = queue_.size() + taken_;
        if (failed)
            status_.problem = store.WriteProblem();
        changed_.notify_all();
        if (failed) {
            lock.unlock();
            Tell(nullptr);
            // While closing, the failed write is tried again until the
            // limit; a pause keeps a file that refuses at once from
            // taking a core meanwhile.
            if (stopping_ || cancel_)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            lock.lock();
        }
    }
    if (!store.IsOpen())
        changed_.wait(lock, [this] { return stopping_; });
    done_ = true;
    changed_.notify_all();
}

} // namespace records
