#include "ui/dashboard_samples.h"

namespace velmora::ui {

using modulos::medicao::MeasurementPhase;

bool StageSampleScene(const std::string& scene, modulos::medicao::RunSnapshot& run,
                      WindowFields& window) {
    if (scene == "idle") {
        return true;
    }
    run.running = true;
    run.pingMs = 12;
    run.idleLatencyMs = 12;
    if (scene == "running") {
        run.phase = MeasurementPhase::Latency;
        return true;
    }
    run.publicIp = L"177.10.20.30";
    run.isp = L"Claro S.A.";
    run.userCity = L"São Paulo - São Paulo";
    run.serverIp = L"104.16.1.1";
    run.serverLocation = L"GRU / BR";
    run.downloadLatencyMs = 38;
    run.downloadMbps = 487.25;
    run.downloadChart = {420, 455, 470, 480, 486, 490, 487.25};
    if (scene == "download") {
        run.phase = MeasurementPhase::Downloading;
        window.hoverIcon = 2;
        window.mouseX = 150;
        window.mouseY = 360;
        return true;
    }
    run.uploadLatencyMs = 45;
    run.uploadMbps = 96.4;
    run.uploadChart = {80, 88, 92, 95, 97, 96, 96.4};
    if (scene == "upload") {
        run.phase = MeasurementPhase::Uploading;
        return true;
    }
    run.running = false;
    if (scene == "done") {
        run.phase = MeasurementPhase::Done;
        return true;
    }
    if (scene == "error") {
        run.phase = MeasurementPhase::Error;
        return true;
    }
    return false;
}

}  // namespace velmora::ui
