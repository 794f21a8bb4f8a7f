// A thread of its own for output that may block (a file on a hung network folder, a paused terminal): the core thread only hands over the newest item.
#pragma once

#include "worker_thread.h"

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

// Writes items with a call that may take any time, on its own thread. At most
// one item waits: a newer one replaces it, so memory stays bounded and what
// is written last is always the newest. Post, Drain and Close are for one
// owning thread.
template <class Item>
class NewestWriter {
public:
    using Write = std::function<void(const Item &item)>;

    struct Counts {
        uint64_t posted = 0;
        uint64_t written = 0;
        uint64_t replaced = 0;  // posts dropped unwritten for a newer one
    };

    // Starts the thread. Where no thread can be started, each post is
    // written at once on the posting thread.
    explicit NewestWriter(Write write) : state_(std::make_shared<State>()) {
        state_->write = std::move(write);
        inline_ = !worker_.Start(state_, Run);
    }
    ~NewestWriter() { Close(-1); }
    NewestWriter(const NewestWriter &) = delete;
    NewestWriter &operator=(const NewestWriter &) = delete;

    // Hands item over without waiting for any write. After Close, an item
    // is written at once, or dropped when a hung write was left behind.
    void Post(Item item) {
        if (abandoned_) return;
        if (inline_) {
            state_->write(item);
            std::lock_guard<std::mutex> lock(state_->mutex);
            ++state_->counts.posted;
            ++state_->counts.written;
            return;
        }
        {
            std::lock_guard<std::mutex> lock(state_->mutex);
            if (state_->pending) ++state_->counts.replaced;
            state_->pending = std::move(item);
            ++state_->counts.posted;
        }
        state_->changed.notify_all();
    }

    // Waits until every item posted so far is written or dropped for a newer
    // one, at most timeoutMs (negative: no limit). true when it is.
    bool Drain(int timeoutMs) {
        return worker_.WaitUntil([&] { return !state_->pending && !state_->busy; }, timeoutMs);
    }

    // Writes what is still waiting, then ends the thread; gives up waiting
    // after timeoutMs (negative: no limit), leaving a write that hangs to
    // finish on its own. true when everything was written.
    bool Close(int timeoutMs) {
        if (!worker_.Running()) return true;
        const bool drained = Drain(timeoutMs);
        worker_.RequestQuit();
        worker_.Finish(drained);
        (drained ? inline_ : abandoned_) = true;
        return drained;
    }

    Counts Totals() const {
        std::lock_guard<std::mutex> lock(state_->mutex);
        return state_->counts;
    }

private:
    struct State {
        Write write;
        std::mutex mutex;
        std::condition_variable changed;
        std::optional<Item> pending;
        bool busy = false;  // a write is under way
        bool quit = false;
        Counts counts;
    };

    static void Run(State &state) {
        std::unique_lock<std::mutex> lock(state.mutex);
        for (;;) {
            state.changed.wait(lock, [&] { return state.pending || state.quit; });
            if (!state.pending) return;  // quit with nothing left
            Item item = std::move(*state.pending);
            state.pending.reset();
            state.busy = true;
            lock.unlock();
            try {
                state.write(item);
            } catch (...) {
                // A write that failed (out of memory) is skipped; the next post tries again.
            }
            lock.lock();
            state.busy = false;
            ++state.counts.written;
            state.changed.notify_all();
        }
    }

    std::shared_ptr<State> state_;
    WorkerThread<State> worker_;
    bool inline_ = false;     // no thread: posts are written at once
    bool abandoned_ = false;  // the thread was left with a hung write: posts are dropped
};
