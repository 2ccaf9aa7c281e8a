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
    // The previous worker has published its end; past that it touches only what it owns. If
    // it is still winding its streams down (a server holding a call), it is set aside rather
    // than joined here, on the window thread.
    if (state.worker.joinable()) {
        state.worker.request_stop();
        state.retired.push_back(std::move(state.worker));
    }
    if (state.activeWorkers.load() == 0) {
        state.retired.clear();  // all returned: these joins are immediate
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
    for (std::jthread& old : state.retired) {
        old.request_stop();
    }
    const auto deadline = Clock::now() + limit;
    while (state.activeWorkers.load() > 0) {
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    state.retired.clear();
    if (state.worker.joinable()) {
        state.worker.join();
    }
    return true;
}

}  // namespace velmora::modulos::medicao
