#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "measurement/run_state.h"

namespace velmora::test {

// Stands where the window stands: records every message the run posts, with what the state
// showed at that moment, and lets a test wait for the end of a run.
class RunRecorder {
  public:
    struct Post {
        modulos::medicao::RunEvent message;
        modulos::medicao::MeasurementPhase phase;
        double downloadMbps;
        double uploadMbps;
        std::chrono::steady_clock::time_point at;
    };

    explicit RunRecorder(modulos::medicao::SharedRunState& state) : state_(state) {
        state.notifier.post = [this](modulos::medicao::RunEvent message) {
            std::lock_guard lock(mutex_);
            posts_.push_back({message, state_.phase.load(), state_.downloadMbps.load(),
                              state_.uploadMbps.load(),
                              now ? now() : std::chrono::steady_clock::now()});
            changed_.notify_all();
        };
        state.notifier.invalidate = [this] {
            std::lock_guard lock(mutex_);
            ++invalidations_;
        };
    }

    // Where `Post::at` is read; empty: the steady clock. (A run on simulated time sets it.)
    std::function<std::chrono::steady_clock::time_point()> now;

    std::vector<Post> Posts() {
        std::lock_guard lock(mutex_);
        return posts_;
    }
    int Invalidations() {
        std::lock_guard lock(mutex_);
        return invalidations_;
    }

    // Waits until the run has posted RunEvent::Done or reached Error; false on time-out.
    bool WaitForEnd(std::chrono::seconds limit) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, limit, [this] {
            for (const Post& p : posts_) {
                if (p.message == modulos::medicao::RunEvent::Done ||
                    p.phase == modulos::medicao::MeasurementPhase::Error) {
                    return true;
                }
            }
            return false;
        });
    }

  private:
    modulos::medicao::SharedRunState& state_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Post> posts_;
    int invalidations_ = 0;
};

}  // namespace velmora::test
