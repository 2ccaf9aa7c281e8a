#pragma once

#include <chrono>
#include <cmath>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "identification/connection_info.h"
#include "measurement/latency_probes.h"
#include "measurement/run_state.h"
#include "protocols/protocol_registry.h"
#include "servers/server_selection.h"

namespace velmora::modulos::medicao {

// One transfer phase's constants.
struct PhaseTiming {
    std::chrono::nanoseconds length;
    std::chrono::nanoseconds warmUp;
    int startStreams;
    int firstStepStreams;
    int mostStreams;
    double firstStep;   // fraction of the phase from which firstStepStreams run
    double secondStep;  // fraction from which mostStreams run
};

inline constexpr PhaseTiming kDownloadTiming{
    std::chrono::seconds(17), std::chrono::seconds(5), 4, 6, 8, 0.09, 0.18};
inline constexpr PhaseTiming kUploadTiming{
    std::chrono::seconds(15), std::chrono::seconds(5), 3, 4, 6, 0.1, 0.2};

// A phase of another length with the same shape: its warm-up and its stream steps keep their
// share of the length.
inline PhaseTiming WithLength(PhaseTiming timing, std::chrono::nanoseconds length) {
    // In double: the product of two lengths in nanoseconds overflows 64 bits from about 3 s.
    timing.warmUp = std::chrono::nanoseconds(std::llround(
        static_cast<double>(timing.warmUp.count()) * static_cast<double>(length.count()) /
        static_cast<double>(timing.length.count())));
    timing.length = length;
    return timing;
}

// Everything a run reaches outside itself, and its timing, with the built-in values as
// defaults. The product passes nothing; tests and the console front end point a run at other
// servers or shorten it.
struct RunSettings {
    protocolos::HttpEndpoint geolocation = DefaultGeolocationService();
    SelectionSettings selection;
    PhaseTiming download = kDownloadTiming;
    PhaseTiming upload = kUploadTiming;
    std::chrono::nanoseconds tick = std::chrono::milliseconds(200);
    std::chrono::nanoseconds probeInterval = std::chrono::seconds(1);
    std::size_t liveWindow = 15;
    std::size_t payloadBytes = 16 * 1024 * 1024;

    // Latency to the chosen server's host, idle and under load (ms; throw when nothing could be
    // timed); a probe under load ends early when its phase ends. Empty: ProbeIdleLatency /
    // ProbeLoadedLatency on `latencyPorts`.
    std::function<double(const std::wstring& host)> idleLatency;
    std::function<double(const std::wstring& host, const std::stop_token& phaseEnd)> loadedLatency;
    ProbePorts latencyPorts;

    // The server for the run once the user is known. Empty: SelectBestServer over the state's
    // catalogue with `selection`.
    std::function<SelectedServer(const ConnectionInfo&, const std::stop_token&)> chooseServer;

    // Where each protocol connects; a kind not named here keeps its built-in endpoints.
    std::map<ProtocolKind, std::vector<protocolos::SpeedEndpoint>> protocolEndpoints;

    // The protocol for the chosen server. Empty: its kind's, from the protocols' table, on
    // `protocolEndpoints`.
    std::function<std::unique_ptr<protocolos::ISpeedProtocol>(const SelectedServer&)> makeProtocol;

    // Starts the worker and every stream. Empty: a std::jthread. Throws when no thread can be
    // made.
    std::function<std::jthread(std::function<void(std::stop_token)>)> startThread;

    // The phase loop's clock and its sleep until a moment. Empty: the steady clock and a real
    // sleep; tests pass simulated time, in which a phase takes milliseconds.
    std::function<std::chrono::steady_clock::time_point()> now;
    std::function<void(std::chrono::steady_clock::time_point)> sleepUntil;

    std::jthread StartThread(std::function<void(std::stop_token)> body) const {
        return startThread ? startThread(std::move(body)) : std::jthread(std::move(body));
    }
    std::chrono::steady_clock::time_point Now() const {
        return now ? now() : std::chrono::steady_clock::now();
    }
    void SleepUntil(std::chrono::steady_clock::time_point until) const {
        if (sleepUntil) {
            sleepUntil(until);
        } else {
            std::this_thread::sleep_until(until);
        }
    }
};

// Window thread: stops and joins the previous worker (its streams included), then resets the
// state, shows the waiting texts and starts the next worker. If the worker cannot be started, the
// run ends at once in Error with `running` false.
void StartMeasurement(SharedRunState& state, RunSettings settings = {});

// Window thread, at exit: asks the worker to stop and waits up to `limit` for it to end. True
// when it ended and was joined; false when it is still held by something outside, in which case
// the caller ends the process instead of destroying the state the worker writes.
bool StopMeasurement(SharedRunState& state, std::chrono::milliseconds limit);

// Worker thread: one whole measurement. Lets nothing escape; any failure ends in Error.
void RunMeasurement(SharedRunState& state, std::stop_token stop, const RunSettings& settings = {});

// Halves away from zero, as every published latency.
inline double RoundLatency(double ms) {
    return std::round(ms);
}

// The latency under load after a probe of `probeMs`: smoothed towards the probe by 0.45, or
// the probe itself when there was no value yet.
double SmoothLoadedLatency(double previousMs, double probeMs);

// The stream count for a point of a phase.
int TargetStreams(const PhaseTiming& timing, std::chrono::nanoseconds elapsed);

}  // namespace velmora::modulos::medicao
