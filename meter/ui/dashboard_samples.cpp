#include "ui/dashboard_samples.h"

namespace velmora::ui {

using modulos::medicao::MeasurementPhase;

bool StageSampleScene(const std::string& scene, modulos::medicao::SharedRunState& state,
                      WindowFields& window) {
    if (scene == "idle") {
        return true;
    }
    const auto identity = [&state] {
        std::lock_guard lock(state.mutex);
        state.publicIp = L"177.10.20.30";
        state.isp = L"Claro S.A.";
        state.userCity = L"São Paulo - São Paulo";
        state.serverIp = L"104.16.1.1";
        state.serverLocation = L"GRU / BR";
    };
    state.running.exchange(true);
    state.pingMs.exchange(12);
    state.idleLatencyMs.exchange(12);
    if (scene == "running") {
        state.phase.exchange(MeasurementPhase::Latency);
        return true;
    }
    identity();
    state.downloadLatencyMs.exchange(38);
    state.downloadMbps.exchange(487.25);
    {
        std::lock_guard lock(state.mutex);
        state.downloadChart = {420, 455, 470, 480, 486, 490, 487.25};
    }
    if (scene == "download") {
        state.phase.exchange(MeasurementPhase::Downloading);
        window.hoverIcon = 2;
        window.mouseX = 150;
        window.mouseY = 360;
        return true;
    }
    state.uploadLatencyMs.exchange(45);
    state.uploadMbps.exchange(96.4);
    {
        std::lock_guard lock(state.mutex);
        state.uploadChart = {80, 88, 92, 95, 97, 96, 96.4};
    }
    if (scene == "upload") {
        state.phase.exchange(MeasurementPhase::Uploading);
        return true;
    }
    state.running.exchange(false);
    if (scene == "done") {
        state.phase.exchange(MeasurementPhase::Done);
        return true;
    }
    if (scene == "error") {
        state.phase.exchange(MeasurementPhase::Error);
        return true;
    }
    return false;
}

}  // namespace velmora::ui
