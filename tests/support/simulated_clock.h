#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <set>
#include <stop_token>
#include <thread>

#include "measurement/measurement_run.h"

namespace velmora::test {

// Time that moves only when a run's phase loop sleeps, and then at once, so that a phase of
// seconds takes milliseconds. The threads the run starts through it take part: the loop's sleep
// returns only once each of them has done what fell due by the new time and sleeps again (or has
// ended), so every tick sees exactly the bytes of its span, however busy the machine is.
// Constructed with `simulated` false it is the steady clock, with the same interface.
class SimulatedClock {
  public:
    using Clock = std::chrono::steady_clock;

    explicit SimulatedClock(bool simulated = true) : simulated_(simulated) {}

    bool Simulated() const { return simulated_; }

    Clock::time_point Now() const {
        if (!simulated_) {
            return Clock::now();
        }
        std::lock_guard lock(mutex_);
        return now_;
    }

    // The phase loop's sleep: once the others have done what is due now (a thread just started
    // has noted its start at the time it was started), time jumps to `until`, and the others do
    // what falls due by then.
    void AdvanceTo(Clock::time_point until) {
        if (!simulated_) {
            std::this_thread::sleep_until(until);
            return;
        }
        std::unique_lock lock(mutex_);
        const int self = tCurrent == this ? 1 : 0;
        const auto settled = [&] {
            return asleep_ >= takingPart_ - self && (due_.empty() || *due_.begin() > now_);
        };
        // Bounded, so that a thread blocked elsewhere slows a test instead of hanging it.
        changed_.wait_for(lock, std::chrono::seconds(2), settled);
        now_ = std::max(now_, until);
        changed_.notify_all();
        changed_.wait_for(lock, std::chrono::seconds(2), settled);
    }

    // A sleep in simulated time, ended early by `stop`. False when stopped.
    bool SleepUntil(Clock::time_point until, const std::stop_token& stop) {
        // A stop is seen at the next re-check rather than through a stop callback: with callbacks
        // made and dropped thousands of times a second, runs under Wine hung now and then.
        std::unique_lock lock(mutex_);
        if (!simulated_) {
            for (auto now = Clock::now(); now < until && !stop.stop_requested();
                 now = Clock::now()) {
                changed_.wait_for(lock, std::min<Clock::duration>(until - now, kRecheck));
            }
            return Clock::now() >= until;
        }
        const bool counted = tCurrent == this;
        std::multiset<Clock::time_point>::iterator due;
        if (counted) {
            due = due_.insert(until);
            ++asleep_;
            changed_.notify_all();
        }
        while (now_ < until && !stop.stop_requested()) {
            changed_.wait_for(lock, kRecheck);
        }
        if (counted) {
            due_.erase(due);
            --asleep_;
        }
        return now_ >= until;
    }

    // The calling thread takes part while this lives (a probe the run starts on its own).
    class Participant {
      public:
        explicit Participant(SimulatedClock& clock) : clock_(clock) {
            clock_.Enter();
            tCurrent = &clock_;
        }
        ~Participant() {
            tCurrent = nullptr;
            clock_.Leave();
        }
        Participant(const Participant&) = delete;
        Participant& operator=(const Participant&) = delete;

      private:
        SimulatedClock& clock_;
    };

    // Runs `settings` on this clock: its loop's time and sleep, and every thread it starts
    // counted from before it starts.
    void Drive(modulos::medicao::RunSettings& settings) {
        if (!simulated_) {
            return;
        }
        settings.now = [this] { return Now(); };
        settings.sleepUntil = [this](Clock::time_point until) { AdvanceTo(until); };
        settings.startThread = [this](std::function<void(std::stop_token)> body) {
            Enter();
            try {
                return std::jthread([this, body = std::move(body)](std::stop_token stop) {
                    tCurrent = this;
                    body(std::move(stop));
                    tCurrent = nullptr;
                    Leave();
                });
            } catch (...) {
                Leave();
                throw;
            }
        };
    }

  private:
    void Enter() {
        std::lock_guard lock(mutex_);
        ++takingPart_;
    }
    void Leave() {
        std::lock_guard lock(mutex_);
        --takingPart_;
        changed_.notify_all();
    }

    static constexpr std::chrono::milliseconds kRecheck{20};
    static inline thread_local SimulatedClock* tCurrent = nullptr;

    const bool simulated_;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    Clock::time_point now_ = Clock::now();
    int takingPart_ = 0;
    int asleep_ = 0;
    std::multiset<Clock::time_point> due_;
};

}  // namespace velmora::test
