// The life the server's worker threads share: started over a state they keep alive, waited on with a time limit, stopped by joining or, when hung, leaving.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

// One thread running over a State that holds at least `std::mutex mutex`,
// `std::condition_variable changed` and `bool quit`. The thread keeps its own
// reference to the state, so a thread left behind by a stop that would not
// wait (a hung write or post) still finds it. The calls are for one owning
// thread; the owner stops the thread before it goes away.
template <class State>
class WorkerThread {
public:
    // Runs run(state) on a new thread. false when no thread can be started
    // (the waits and stops below still work, over the state alone).
    template <class Run>
    bool Start(std::shared_ptr<State> state, Run run) {
        state_ = std::move(state);
        try {
            thread_ = std::thread([state = state_, run] { run(*state); });
        } catch (...) {
            return false;
        }
        return true;
    }
    bool Running() const { return thread_.joinable(); }

    // Waits until done() holds, checked under the state's lock, at most
    // timeoutMs (negative: no limit). true when it holds.
    template <class Done>
    bool WaitUntil(Done done, int64_t timeoutMs) const {
        std::unique_lock<std::mutex> lock(state_->mutex);
        if (timeoutMs < 0) {
            state_->changed.wait(lock, done);
            return true;
        }
        return state_->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs), done);
    }

    // Sets quit, and whatever also changes in the state, under the lock;
    // then wakes the thread.
    template <class Also>
    void RequestQuit(Also also) {
        {
            std::lock_guard<std::mutex> lock(state_->mutex);
            state_->quit = true;
            also(*state_);
        }
        state_->changed.notify_all();
    }
    void RequestQuit() {
        RequestQuit([](State &) {});
    }

    // After RequestQuit: joins the thread when join (it is ending), else
    // leaves it to end on its own. Nothing when no thread runs.
    void Finish(bool join) {
        if (!thread_.joinable()) return;
        if (join) {
            thread_.join();
        } else {
            thread_.detach();
        }
    }

private:
    std::shared_ptr<State> state_;
    std::thread thread_;
};
