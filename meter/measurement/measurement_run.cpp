#include "measurement/measurement_run.h"

#include <algorithm>
#include <atomic>
#include <future>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <utility>
#include <vector>

#include "measurement/consolidation.h"
#include "measurement/phase_watch.h"
#include "net/tcp_latency.h"

namespace velmora::modulos::medicao {
namespace {

using Clock = std::chrono::steady_clock;
using protocolos::ByteCounter;
using protocolos::ISpeedProtocol;

constexpr double kLatencySmoothing = 0.45;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

double Megabits(std::uint64_t bytes, double seconds) {
    return static_cast<double>(bytes) * 8.0 / seconds / 1'000'000.0;
}

std::unique_ptr<ISpeedProtocol> MakeProtocol(const RunSettings& settings,
                                             const SelectedServer& server) {
    if (settings.makeProtocol) {
        return settings.makeProtocol(server);
    }
    const auto endpoints = settings.protocolEndpoints.find(server.protocol);
    return protocolos::MakeProtocol(server.protocol, endpoints == settings.protocolEndpoints.end()
                                                         ? std::vector<protocolos::SpeedEndpoint>{}
                                                         : endpoints->second);
}

// How long an upload phase waits past its end for the requests under way then to be answered:
// twice as long as the longest answered one took, between kAnswersAwaited's bounds. A slow
// uplink's queue holds seconds before a payload, and those under way at the end still share the
// link with the streams' next ones: on a half-megabit uplink they took up to twice the longest
// before them, and one left unanswered takes its seconds in the window from the figure. A server
// that never answers costs the least.
struct AnswersAwaitedBounds {
    std::chrono::milliseconds least{1000};
    std::chrono::milliseconds most{8000};
};
constexpr AnswersAwaitedBounds kAnswersAwaited;

Clock::duration AnswersAwaited(const protocolos::TransferTally& tally) {
    return std::clamp<Clock::duration>(2 * tally.LongestAnswer(), kAnswersAwaited.least,
                                       kAnswersAwaited.most);
}

// The live upload from the answers: each answered POST spread over its own time, over a window
// that ends where the oldest POST still under way began (at most kAnswersAwaited.most ago), the
// last moment up to which every stream's bytes are known. Counted at each answer instead, the
// live values jump by a payload at a time, a sixth of the window's bytes on a slow uplink.
// The window is widened to the longest POST answered so far (up to kAnswersAwaited.most): at
// 4/1 Mbit/s a POST lasts 2 to 8 s, a stream's pace inside one ranges from a twentieth to twice
// a fair share, and a 3 s window holding only parts of such POSTs read up to 1.09 of the
// goodput (1.04 widened) in replays of seven runs. Nothing before half the window holds answers.
// `first` is when the first request was sent.
std::optional<double> LiveAnsweredBytesPerSecond(const protocolos::TransferTally& tally,
                                                 Clock::time_point first, Clock::time_point now,
                                                 Clock::duration window) {
    const Clock::time_point to = std::max(std::min(now, tally.OldestUploadUnderWay().value_or(now)),
                                          now - Clock::duration(kAnswersAwaited.most));
    const Clock::duration widened = std::max<Clock::duration>(
        window, std::min<Clock::duration>(tally.LongestAnswer(), kAnswersAwaited.most));
    const Clock::time_point from = std::max(to - widened, first);
    if (to - from < window / 2) {
        return std::nullopt;
    }
    return tally.AnsweredPace(from, to);
}

// What one transfer phase leaves for its result.
struct PhaseOutcome {
    bool stopped = false;
    std::vector<double> liveValues;
    PhaseDiagnostics diagnostics;
    std::uint64_t warmBytes = 0;
    Clock::time_point start;
    Clock::time_point warmEnd;  // when warmBytes was read
    Clock::time_point end;      // when the phase's loop ended, before its streams were stopped
    // The byte count at warm-up's end and at every tick after it (seconds since warm-up's end).
    std::vector<std::pair<double, std::uint64_t>> readings;
};

// The resources of one run. Streams are declared last so that they are stopped and joined
// before the protocol and the counters they use go away.
struct RunResources {
    std::unique_ptr<ISpeedProtocol> protocol;
    ByteCounter downloadBytes{0};
    ByteCounter uploadBytes{0};
    protocolos::TransferTally tally;
    std::vector<std::jthread> downloadStreams;
    std::vector<std::jthread> uploadStreams;

    static void StopAll(std::vector<std::jthread>& streams) {
        for (std::jthread& stream : streams) {
            stream.request_stop();
        }
    }
    void JoinAll() {
        StopAll(downloadStreams);
        StopAll(uploadStreams);
        downloadStreams.clear();
        uploadStreams.clear();
    }
};

class Run {
  public:
    Run(SharedRunState& state, std::stop_token stop, const RunSettings& settings)
        : state_(state), stop_(std::move(stop)), settings_(settings) {}

    void Execute(RunResources& res) {
        const protocolos::CountTransfersInto counting(&res.tally);
        res.tally.clock = settings_.now;
        const ConnectionInfo info = LookupConnectionInfo(settings_.geolocation, stop_);
        if (stop_.stop_requested()) {
            return;
        }
        server_ = settings_.chooseServer ? settings_.chooseServer(info, stop_)
                                         : SelectBestServer(state_.catalog, info.lat, info.lon,
                                                            settings_.selection, stop_);
        if (stop_.stop_requested()) {
            return;
        }
        PublishIdentity(info);

        std::vector<double> idleConnects;
        const double idle = RoundLatency(IdleLatency(idleConnects));
        state_.pingMs.exchange(idle);
        state_.idleLatencyMs.exchange(idle);
        {
            std::lock_guard lock(state_.mutex);
            state_.texts.diagnostics.idleJitterMs = SuccessiveJitter(idleConnects);
        }
        Post(RunEvent::Progress);
        state_.downloadLatencyMs.exchange(idle);

        res.protocol = MakeProtocol(settings_, server_);
        state_.phase.exchange(MeasurementPhase::Downloading);
        Post(RunEvent::Progress);

        const PhaseOutcome download = RunPhase(false, res, res.downloadBytes, res.downloadStreams);
        if (download.stopped) {
            return;
        }
        const std::uint64_t downloaded = res.downloadBytes.load();
        PublishResult(false, download, downloaded, settings_.Now(), res.tally);

        state_.uploadLatencyMs.exchange(state_.downloadLatencyMs.load());
        state_.uploadMbps.exchange(0.0);
        state_.phase.exchange(MeasurementPhase::Uploading);
        Post(RunEvent::Progress);

        const PhaseOutcome upload = RunPhase(true, res, res.uploadBytes, res.uploadStreams);
        if (upload.stopped) {
            return;
        }
        const std::uint64_t uploaded = res.uploadBytes.load();
        PublishResult(true, upload, uploaded, settings_.Now(), res.tally);

        state_.phase.exchange(MeasurementPhase::Done);
        Post(RunEvent::Done);
    }

  private:
    void Post(RunEvent event) { PostRunEvent(state_, event); }

    // The connects a probe timed are kept for the jitter; an injected probe gives none.
    double IdleLatency(std::vector<double>& timed) const {
        return settings_.idleLatency
                   ? settings_.idleLatency(server_.host)
                   : ProbeIdleLatency(server_.host, settings_.latencyPorts, stop_, &timed);
    }

    struct LoadedProbe {
        double ms;
        std::vector<double> timed;
    };
    LoadedProbe LoadedLatency(const std::stop_token& phaseEnd) const {
        LoadedProbe probe{0.0, {}};
        probe.ms =
            settings_.loadedLatency
                ? settings_.loadedLatency(server_.host, phaseEnd)
                : ProbeLoadedLatency(server_.host, settings_.latencyPorts, phaseEnd, &probe.timed);
        return probe;
    }

    void PublishIdentity(const ConnectionInfo& info) {
        std::lock_guard lock(state_.mutex);
        state_.texts.publicIp = info.publicIp;
        state_.texts.isp = info.isp;
        state_.texts.serverName = server_.name;
        state_.texts.serverIp = server_.ip;
        state_.texts.serverLocation = ComposeServerLocation(server_.location, server_.distanceKm);
        state_.texts.userCity = ComposeUserCity(info.city, info.regionName);
    }

    // A stream may outlive this Run object (on the failure path it is joined after the Run is
    // gone), so it keeps its own copy of the host; the rest it uses lives in RunResources.
    void StartStream(bool upload, RunResources& res, ByteCounter& bytes,
                     std::vector<std::jthread>& streams) {
        const ISpeedProtocol& protocol = *res.protocol;
        protocolos::TransferTally* tally = &res.tally;
        if (upload) {
            streams.push_back(settings_.StartThread([&protocol, host = server_.host,
                                                     size = settings_.payloadBytes, &bytes,
                                                     tally](std::stop_token stop) {
                const protocolos::CountTransfersInto counting(tally);
                protocol.Upload(host, size, bytes, stop);
            }));
        } else {
            streams.push_back(settings_.StartThread(
                [&protocol, host = server_.host, &bytes, tally](std::stop_token stop) {
                    const protocolos::CountTransfersInto counting(tally);
                    protocol.Download(host, bytes, stop);
                }));
        }
    }

    PhaseOutcome RunPhase(bool upload, RunResources& res, ByteCounter& bytes,
                          std::vector<std::jthread>& streams) {
        const PhaseTiming& timing = upload ? settings_.upload : settings_.download;
        std::atomic<double>& speed = upload ? state_.uploadMbps : state_.downloadMbps;
        std::atomic<double>& latency = upload ? state_.uploadLatencyMs : state_.downloadLatencyMs;
        std::vector<double>& chart = upload ? state_.texts.uploadChart : state_.texts.downloadChart;

        streams.reserve(static_cast<std::size_t>(timing.mostStreams));
        while (streams.size() < static_cast<std::size_t>(timing.startStreams)) {
            StartStream(upload, res, bytes, streams);
        }

        PhaseOutcome outcome;
        outcome.start = settings_.Now();
        bool warmUpOver = false;
        std::uint64_t previousBytes = 0;
        Clock::time_point previousTime = outcome.start;
        Clock::time_point lastProbe = outcome.start;
        // Each positive sample's bytes and the seconds they took.
        std::vector<std::pair<std::uint64_t, double>> samples;
        // The loaded-latency probe in flight. Through a full queue it takes several round trips
        // (seconds on a slow uplink); on the tick thread it held the ticks, and the live values
        // then rested on two or three samples. Its connects wait as long as the system does, so
        // the end of the phase or of the run ends them; the source is declared before the
        // future, whose destructor waits for the probe.
        std::stop_source probeEnd;
        const std::stop_callback runStopped(stop_, [&probeEnd] { probeEnd.request_stop(); });
        std::future<LoadedProbe> probe;
        int probesTimed = 0;
        std::vector<double> loadedConnects;
        PhaseWatch watch;
        const auto takeProbe = [&](bool wait) {
            if (!probe.valid() ||
                (!wait && probe.wait_for(std::chrono::seconds(0)) != std::future_status::ready)) {
                return;
            }
            try {
                const LoadedProbe timed = probe.get();
                latency.exchange(SmoothLoadedLatency(latency.load(), timed.ms));
                loadedConnects.insert(loadedConnects.end(), timed.timed.begin(), timed.timed.end());
                ++probesTimed;
            } catch (const std::exception&) {
                // A probe that fails under load leaves the value as it was.
            }
        };

        for (;;) {
            const Clock::time_point tickStart = settings_.Now();
            if (tickStart - outcome.start >= timing.length) {
                outcome.end = tickStart;
                break;
            }
            if (stop_.stop_requested()) {
                outcome.stopped = true;
                return outcome;
            }
            settings_.SleepUntil(tickStart + settings_.tick);
            const Clock::time_point now = settings_.Now();
            const auto elapsed = now - outcome.start;
            const std::uint64_t total = bytes.load();

            const auto target = static_cast<std::size_t>(TargetStreams(timing, elapsed));
            while (streams.size() < target) {
                StartStream(upload, res, bytes, streams);
            }

            if (!warmUpOver) {
                previousBytes = total;
                previousTime = now;
                if (elapsed < timing.warmUp) {
                    if (upload) {
                        speed.exchange(0.0);
                        Post(RunEvent::Progress);
                    }
                } else {
                    warmUpOver = true;
                    outcome.warmBytes = total;
                    outcome.warmEnd = now;
                    outcome.readings.emplace_back(0.0, total);
                    watch.Start(res.tally);
                }
                continue;
            }

            outcome.readings.emplace_back(Seconds(now - outcome.warmEnd), total);
            const double dt = Seconds(now - previousTime);
            const std::uint64_t delta = total - previousBytes;
            const double sample = (dt <= 0.0 || delta == 0) ? 0.0 : Megabits(delta, dt);
            if (!(sample > 0.0)) {
                // Nothing arrived in this tick. The next sample spans it too: on a slow link
                // bytes come (or are acknowledged) in lumps, and a sample over the lump's own
                // tick alone would read several times the link.
                continue;
            }
            previousBytes = total;
            previousTime = now;

            // The live value is the last samples' bytes over their time. With a sample every
            // tick it is their mean; where samples span unequal times (ticks that saw nothing
            // merged into the next), a plain mean would weigh a short lump like a long quiet
            // stretch.
            samples.emplace_back(delta, dt);
            const std::size_t window = std::min(samples.size(), settings_.liveWindow);
            std::uint64_t windowBytes = 0;
            double windowSeconds = 0.0;
            for (auto it = samples.end() - static_cast<std::ptrdiff_t>(window); it != samples.end();
                 ++it) {
                windowBytes += it->first;
                windowSeconds += it->second;
            }
            std::optional<double> live = Megabits(windowBytes, windowSeconds);
            const std::optional<Clock::time_point> firstSent =
                upload ? res.tally.FirstUploadSent() : std::nullopt;
            if (firstSent) {
                // Where the streams note their requests, the value stays as it is until the
                // answers cover half the window: the bytes counted at each answer come a payload
                // at a time, and over the few ticks since warm-up they read several times the
                // link.
                const std::optional<double> answered = LiveAnsweredBytesPerSecond(
                    res.tally, *firstSent, now,
                    settings_.tick * static_cast<std::int64_t>(settings_.liveWindow));
                live = answered ? std::optional(*answered * 8.0 / 1'000'000.0) : std::nullopt;
            }
            if (live) {
                speed.exchange(*live);
                {
                    std::lock_guard lock(state_.mutex);
                    AppendChartValue(chart, *live);
                }
                outcome.liveValues.push_back(*live);
            }

            takeProbe(false);
            if (!probe.valid() && now - lastProbe >= settings_.probeInterval) {
                try {
                    probe = std::async(std::launch::async, [this, end = probeEnd.get_token()] {
                        return LoadedLatency(end);
                    });
                } catch (const std::system_error&) {
                    // No thread for it now: the next tick tries again.
                }
                lastProbe = now;
            }
            Post(RunEvent::Progress);
        }
        // An upload counts at its answers, each spread over the time it took: the requests under
        // way at the end are given the time to be answered, as those under way at warm-up's end
        // were, so that both edges weigh alike.
        if (upload) {
            const Clock::time_point latest = outcome.end + AnswersAwaited(res.tally);
            while (res.tally.OldestUploadUnderWay().value_or(Clock::time_point::max()) <=
                       outcome.end &&
                   settings_.Now() < latest && !stop_.stop_requested()) {
                settings_.SleepUntil(std::min(latest, settings_.Now() + settings_.tick / 4));
            }
        }
        // What the probe in flight timed before the phase ended still counts (under load: the
        // streams stop after it).
        probeEnd.request_stop();
        takeProbe(true);
        outcome.diagnostics = watch.Finish(res.tally, outcome.liveValues, probesTimed);
        outcome.diagnostics.jitterMs = SuccessiveJitter(loadedConnects);
        // The streams wind down on their own while the run goes on; they are joined at its end.
        RunResources::StopAll(streams);
        return outcome;
    }

    // The bytes after warm-up over the time they took. The phase's loop ends on its first tick
    // past the phase length, and a latency probe under load can hold a tick for a while, so
    // the span is measured: a fixed 12 s (10 s) divisor would credit that overrun as speed.
    static double SpeedAfterWarmUp(const PhaseOutcome& phase, std::uint64_t total,
                                   Clock::time_point read) {
        const double span = Seconds(read - phase.warmEnd);
        return total > phase.warmBytes && span > 0.0 ? Megabits(total - phase.warmBytes, span)
                                                     : 0.0;
    }

    // The phase's final speed: the bytes after warm-up over their time; failing that, the live
    // values consolidated; failing that, all the phase's bytes over the whole phase.
    static double FinalSpeed(const PhaseOutcome& phase, std::uint64_t total,
                             Clock::time_point read) {
        double final = SpeedAfterWarmUp(phase, total, read);
        if (final <= 0.0 && !phase.liveValues.empty()) {
            final = ConsolidateSamples(phase.liveValues);
        }
        if (final <= 0.0) {
            const double sinceStart = Seconds(read - phase.start);
            final = sinceStart > 0.0 && total > 0 ? Megabits(total, sinceStart) : 0.0;
        }
        return final;
    }

    // A download that received nothing fails the run; an upload that sent nothing ends at 0.
    // A phase without a latency under load keeps the one before it.
    void PublishResult(bool upload, const PhaseOutcome& phase, std::uint64_t total,
                       Clock::time_point read, const protocolos::TransferTally& tally) {
        if (!upload && phase.liveValues.empty() && total == 0) {
            throw std::runtime_error("Não foi possível consolidar a medição de download.");
        }
        // The upload, where its streams noted their requests: what the server answered, each
        // answer spread over the time it took and counted for its part inside the window (a
        // whole payload at an edge would otherwise weigh in or out whole). The download: the
        // line along the top of the counts after warm-up, which bytes held behind losses do not
        // tilt.
        const std::optional<double> pace =
            upload ? tally.AnsweredPace(phase.warmEnd, phase.end) : PaceOfReadings(phase.readings);
        const double final =
            pace && *pace > 0.0 ? *pace * 8.0 / 1'000'000.0 : FinalSpeed(phase, total, read);
        (upload ? state_.uploadMbps : state_.downloadMbps).exchange(final);
        std::atomic<double>& latency = upload ? state_.uploadLatencyMs : state_.downloadLatencyMs;
        if (latency.load() <= 0.0) {
            latency.exchange(
                upload ? std::max(state_.downloadLatencyMs.load(), state_.idleLatencyMs.load())
                       : state_.idleLatencyMs.load());
        }
        {
            std::lock_guard lock(state_.mutex);
            AppendChartValue(upload ? state_.texts.uploadChart : state_.texts.downloadChart, final);
            RunDiagnostics& diagnostics = state_.texts.diagnostics;
            (upload ? diagnostics.upload : diagnostics.download) = phase.diagnostics;
            diagnostics.bytesReceived = tally.received.load();
            diagnostics.bytesSent = tally.sent.load();
            diagnostics.addressFamily = tally.family.load();
            diagnostics.viaProxy = tally.viaProxy.load();
        }
        Post(RunEvent::Progress);
    }

    SharedRunState& state_;
    std::stop_token stop_;
    const RunSettings& settings_;
    SelectedServer server_;
};

}  // namespace

double SmoothLoadedLatency(double previousMs, double probeMs) {
    if (previousMs > 0.0) {
        return RoundLatency(previousMs + kLatencySmoothing * (probeMs - previousMs));
    }
    return RoundLatency(probeMs);
}

int TargetStreams(const PhaseTiming& timing, std::chrono::nanoseconds elapsed) {
    const double progress =
        std::chrono::duration<double>(elapsed) / std::chrono::duration<double>(timing.length);
    if (progress >= timing.secondStep) {
        return timing.mostStreams;
    }
    if (progress >= timing.firstStep) {
        return timing.firstStepStreams;
    }
    return timing.startStreams;
}

void RunMeasurement(SharedRunState& state, std::stop_token stop, const RunSettings& settings) {
    RunResources resources;
    try {
        Run(state, std::move(stop), settings).Execute(resources);
    } catch (...) {
        // Undo the partial work first, so that nothing of this run is still moving when the
        // window learns that it failed.
        try {
            std::string reason = "Falha desconhecida.";
            try {
                throw;
            } catch (const std::exception& e) {
                reason = e.what();
            } catch (...) {
            }
            resources.JoinAll();
            resources.protocol.reset();
            {
                std::lock_guard lock(state.mutex);
                state.texts.failure = std::move(reason);
            }
            state.phase.exchange(MeasurementPhase::Error);
            state.running.exchange(false);
            PostRunEvent(state, RunEvent::Progress);
        } catch (...) {
            // Nothing may leave the worker thread.
        }
    }
}

}  // namespace velmora::modulos::medicao
