// Starting and stopping a run from the window thread: the worker's life around RunMeasurement.

#include <chrono>
#include <memory>
#include <thread>
#include <utility>

#include "measurement/measurement_run.h"

namespace velmora::modulos::medicao {
namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

void StartMeasurement(SharedRunState& state, RunSettings settings) {
    // The previous run has published its end, but its streams may still be winding down (a
    // server holding a call until its time-out). Its bytes would share the link with this run's
    // identification, server choice and idle latency, so it is joined before anything of the
    // next run, state reset included, even though that holds the window thread meanwhile.
    if (state.worker.joinable()) {
        state.worker.request_stop();
        state.worker.join();
    }
    state.running.exchange(true);
    for (std::atomic<double>* value :
         {&state.downloadMbps, &state.uploadMbps, &state.pingMs, &state.idleLatencyMs,
          &state.downloadLatencyMs, &state.uploadLatencyMs}) {
        value->exchange(0.0);
    }
    state.phase.exchange(MeasurementPhase::Latency);
    {
        std::lock_guard lock(state.mutex);
        state.texts.publicIp = kAwaiting;
        state.texts.isp = kAwaiting;
        state.texts.serverName = kServerNameAwaiting;
        state.texts.serverIp = L"Testando latência...";
        state.texts.serverLocation = L"Analisando servidores próximos";
        state.texts.downloadChart.clear();
        state.texts.uploadChart.clear();
        state.texts.failure.clear();
        state.texts.diagnostics = {};
    }
    if (state.notifier.invalidate) {
        state.notifier.invalidate();
    }
    try {
        auto shared = std::make_shared<const RunSettings>(std::move(settings));
        state.activeWorkers.fetch_add(1);
        try {
            state.worker = shared->StartThread([&state, shared](std::stop_token stop) {
                RunMeasurement(state, std::move(stop), *shared);
                state.activeWorkers.fetch_sub(1);
            });
        } catch (...) {
            state.activeWorkers.fetch_sub(1);
            throw;
        }
    } catch (...) {
        // No worker: the run cannot happen. Say so, and let the button work again.
        state.phase.exchange(MeasurementPhase::Error);
        state.running.exchange(false);
        PostRunEvent(state, RunEvent::Progress);
    }
}

bool StopMeasurement(SharedRunState& state, std::chrono::milliseconds limit) {
    state.worker.request_stop();
    const auto deadline = Clock::now() + limit;
    while (state.activeWorkers.load() > 0) {
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (state.worker.joinable()) {
        state.worker.join();
    }
    return true;
}

}  // namespace velmora::modulos::medicao
