#include "plan_compliance.h"

#include <array>
#include <cmath>
#include <cstdint>
#include <map>
#include <nlohmann/json.hpp>

#include "common/text.h"
#include "history/history_reader.h"
#include "product/facts.h"
#include "record_formats.h"

namespace velmora::cli {
namespace {

using Json = nlohmann::ordered_json;

// Stored figures have two decimals and the plan is typed by the user, so a run exactly at 40 %
// of a plan like 100.1 must not fail on the last bit of a double.
constexpr double kTolerance = 1e-9;

bool AtLeast(double value, double floor) {
    return value >= floor * (1.0 - kTolerance);
}

bool AtMost(double value, double limit) {
    return value <= limit * (1.0 + kTolerance);
}

bool Usable(const ComplianceRun& run) {
    return run.finished && std::isfinite(run.downloadMbps) && std::isfinite(run.uploadMbps) &&
           std::isfinite(run.latencyMs);
}

std::optional<double> KnownJitter(const ComplianceRun& run) {
    return run.jitterMs && std::isfinite(*run.jitterMs) ? run.jitterMs : std::nullopt;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Digits with at most one "." or "," followed by more digits; nothing else.
std::optional<double> ParsePlanNumber(std::string_view text) {
    std::string normal(text);
    std::size_t i = 0;
    while (i < normal.size() && IsDigit(normal[i])) {
        ++i;
    }
    if (i == 0) {
        return std::nullopt;
    }
    if (i < normal.size() && (normal[i] == '.' || normal[i] == ',')) {
        normal[i] = '.';
        const std::size_t fraction = ++i;
        while (i < normal.size() && IsDigit(normal[i])) {
            ++i;
        }
        if (i == fraction) {
            return std::nullopt;
        }
    }
    if (i != normal.size()) {
        return std::nullopt;
    }
    const std::optional<double> value = modulos::medicao::ParseStoredNumber(normal);
    return value && *value > 0 ? value : std::nullopt;
}

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

// The stored time's calendar month, when it starts with one.
std::optional<std::string> MonthOf(const std::string& localTime) {
    if (localTime.size() > 7 && localTime[7] != '-') {
        return std::nullopt;
    }
    return ParseMonth(std::string_view(localTime).substr(0, 7));
}

bool InPeakHours(const std::string& localTime) {
    if (localTime.size() < 13 || localTime[10] != ' ' || !IsDigit(localTime[11]) ||
        !IsDigit(localTime[12])) {
        return false;
    }
    const int hour = (localTime[11] - '0') * 10 + (localTime[12] - '0');
    return hour >= kPeakFirstHour && hour < kPeakEndHour;
}

ShareCheck Share(std::size_t meeting, std::size_t judged) {
    ShareCheck check;
    check.meeting = meeting;
    check.judged = judged;
    if (judged > 0) {
        check.share = static_cast<double>(meeting) / static_cast<double>(judged);
        // In whole runs, so that 19 of 20 is exactly the 95 % it is.
        check.met = meeting * 100 >= judged * 95;
    }
    return check;
}

// A share in tenths of a percent, rounded down so that what is shown never reads above the
// target when the check fails (94.96 % is "94.9 %", not "95.0 %").
double TenthsOfPercent(double share) {
    return std::floor(share * 1000.0 + 1e-6);
}

MeanCheck Mean(double sum, std::size_t count, double planMbps) {
    MeanCheck check;
    if (count == 0) {
        return check;
    }
    check.meanMbps = sum / static_cast<double>(count);
    if (std::isfinite(planMbps) && planMbps > 0) {
        check.shareOfPlan = *check.meanMbps / planMbps;
        check.met = TenthsOfPercent(*check.shareOfPlan) >= kMeanFloorOfPlan * 1000.0;
    }
    return check;
}

bool PlanUsable(double mbps) {
    return std::isfinite(mbps) && mbps > 0;
}

MonthCompliance JudgeMonth(const std::string& month, const std::vector<const ComplianceRun*>& runs,
                           const ContractedPlan& plan, bool includeWifi) {
    MonthCompliance m;
    m.month = month;
    m.wifiOrVpnIncluded = includeWifi;
    std::size_t downloadMeeting = 0, uploadMeeting = 0, latencyMeeting = 0;
    std::size_t jitterMeeting = 0, jitterKnown = 0;
    double downloadSum = 0, uploadSum = 0;
    for (const ComplianceRun* run : runs) {
        if (!Usable(*run)) {
            ++m.uncountedRuns;
            continue;
        }
        ++m.runs;
        m.peakRuns += InPeakHours(run->localTime) ? 1 : 0;
        m.wifiOrVpnRuns += run->wifiOrVpn ? 1 : 0;
        if (run->wifiOrVpn && !includeWifi) {
            continue;
        }
        ++m.usedRuns;
        downloadSum += run->downloadMbps;
        uploadSum += run->uploadMbps;
        downloadMeeting += AtLeast(run->downloadMbps, kRunFloorOfPlan * plan.downloadMbps) ? 1 : 0;
        uploadMeeting += AtLeast(run->uploadMbps, kRunFloorOfPlan * plan.uploadMbps) ? 1 : 0;
        latencyMeeting += AtMost(run->latencyMs, kLatencyLimitMs) ? 1 : 0;
        if (const std::optional<double> jitter = KnownJitter(*run)) {
            ++jitterKnown;
            jitterMeeting += AtMost(*jitter, kJitterLimitMs) ? 1 : 0;
        }
    }
    // A plan direction that is not a positive number judges nothing rather than everything.
    if (PlanUsable(plan.downloadMbps)) {
        m.download = Share(downloadMeeting, m.usedRuns);
    }
    if (PlanUsable(plan.uploadMbps)) {
        m.upload = Share(uploadMeeting, m.usedRuns);
    }
    m.downloadMean = Mean(downloadSum, m.usedRuns, plan.downloadMbps);
    m.uploadMean = Mean(uploadSum, m.usedRuns, plan.uploadMbps);
    m.latency = Share(latencyMeeting, m.usedRuns);
    m.jitter = Share(jitterMeeting, jitterKnown);
    return m;
}

std::string Fixed(double value, int decimals) {
    return std::isfinite(value) ? WideToUtf8(FormatFixed(value, decimals)) : "—";
}

// A plan's speed as typed: "300", "0.5", "87.25".
std::string PlanMbps(double value) {
    std::string text = Fixed(value, 2);
    if (text.find('.') != std::string::npos) {
        while (text.back() == '0') {
            text.pop_back();
        }
        if (text.back() == '.') {
            text.pop_back();
        }
    }
    return text;
}

std::string PercentOfShare(double share) {
    return Fixed(TenthsOfPercent(share) / 10.0, 1) + " %";
}

std::string PercentOfCheck(const ShareCheck& check) {
    // Whole runs again, so that the shown tenth matches the verdict exactly.
    return Fixed(static_cast<double>(check.meeting * 1000 / check.judged) / 10.0, 1) + " %";
}

std::string Verdict(const std::optional<bool>& met) {
    return !met ? "sem dados" : *met ? "ATENDE" : "NÃO ATENDE";
}

struct ReferenceRow {
    std::string label;
    std::string result;
    std::string target;
    std::optional<bool> met;
};

constexpr const char kNone[] = "sem medições para avaliar";

// The six references of a month as labelled rows, shared by the console and the page.
std::vector<ReferenceRow> ReferenceRows(const MonthCompliance& m) {
    const auto share = [](const ShareCheck& c, const std::string& extra, const char* none) {
        if (!c.share) {
            return std::string(none);
        }
        return PercentOfCheck(c) + " (" + std::to_string(c.meeting) + " de " +
               std::to_string(c.judged) + extra + ")";
    };
    const auto mean = [](const MeanCheck& c) {
        if (!c.meanMbps) {
            return std::string(kNone);
        }
        const std::string mbps = Fixed(*c.meanMbps, 2) + " Mbps";
        return c.shareOfPlan ? PercentOfShare(*c.shareOfPlan) + " do plano (" + mbps + ")" : mbps;
    };
    const std::size_t withoutJitter = m.usedRuns - m.jitter.judged;
    const std::string jitterExtra =
        withoutJitter == 0 ? "" : "; " + std::to_string(withoutJitter) + " sem jitter";
    const std::string ofRuns = "≥ 95 % das medições";
    return {
        {"Download ≥ 40 % do plano", share(m.download, "", kNone), ofRuns, m.download.met},
        {"Upload ≥ 40 % do plano", share(m.upload, "", kNone), ofRuns, m.upload.met},
        {"Média do download", mean(m.downloadMean), "≥ 80 % do plano", m.downloadMean.met},
        {"Média do upload", mean(m.uploadMean), "≥ 80 % do plano", m.uploadMean.met},
        {"Latência (ping) ≤ 80 ms", share(m.latency, "", kNone), ofRuns, m.latency.met},
        {"Jitter ≤ 50 ms", share(m.jitter, jitterExtra, "nenhuma com jitter conhecido"), ofRuns,
         m.jitter.met},
    };
}

std::string MonthSummary(const MonthCompliance& m) {
    std::string line = std::to_string(m.runs) +
                       (m.runs == 1 ? " medição concluída" : " medições concluídas") + ", " +
                       std::to_string(m.peakRuns) + " entre 10h e 22h";
    if (m.wifiOrVpnRuns > 0) {
        line += ", " + std::to_string(m.wifiOrVpnRuns) + " por Wi-Fi ou VPN (" +
                (m.wifiOrVpnIncluded ? "incluídas nos números" : "fora dos números") + ")";
    }
    if (m.uncountedRuns > 0) {
        line += ", " + std::to_string(m.uncountedRuns) +
                (m.uncountedRuns == 1 ? " não concluída (não contada)"
                                      : " não concluídas (não contadas)");
    }
    return line;
}

constexpr const char kReferenceSource[] =
    "metas do antigo RGQ-SCM da Anatel (Resolução nº 574/2011), revogado em 2022 "
    "pelo RQual (regulamento da Resolução nº 717/2019) e ainda citado por órgãos de defesa do "
    "consumidor.";
constexpr const char kNotOfficial[] =
    "Estas são medições feitas por você neste computador, não a medição oficial da Anatel, que é "
    "feita pela entidade contratada para isso com pontos de medição dedicados.";

std::string PlanLine(const ContractedPlan& plan) {
    return "Plano contratado: " + PlanMbps(plan.downloadMbps) + " Mbps de download, " +
           PlanMbps(plan.uploadMbps) + " Mbps de upload";
}

std::string WifiLine(bool includeWifi) {
    return includeWifi ? "Medições por Wi-Fi ou VPN entram nos números."
                       : "Medições por Wi-Fi ou VPN são contadas e mostradas, mas ficam fora dos "
                         "números (medem também o Wi-Fi ou o túnel, não só a linha).";
}

Json OptionalJson(const std::optional<double>& value) {
    return value && std::isfinite(*value) ? Json(*value) : Json(nullptr);
}

Json OptionalJson(const std::optional<bool>& value) {
    return value ? Json(*value) : Json(nullptr);
}

Json ShareJson(const ShareCheck& c, std::optional<double> limitMs) {
    Json out;
    out["meeting"] = c.meeting;
    out["judged"] = c.judged;
    out["share"] = OptionalJson(c.share);
    if (limitMs) {
        out["limitMs"] = *limitMs;
    } else {
        out["floorOfPlan"] = kRunFloorOfPlan;
    }
    out["targetShare"] = kShareOfRunsTarget;
    out["met"] = OptionalJson(c.met);
    return out;
}

Json MeanJson(const MeanCheck& c) {
    Json out;
    out["meanMbps"] = OptionalJson(c.meanMbps);
    out["shareOfPlan"] = OptionalJson(c.shareOfPlan);
    out["targetShareOfPlan"] = kMeanFloorOfPlan;
    out["met"] = OptionalJson(c.met);
    return out;
}

// ---- SHA-256 (FIPS 180-4) ----

constexpr std::array<std::uint32_t, 64> kRound = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr std::uint32_t RotateRight(std::uint32_t x, int n) {
    return (x >> n) | (x << (32 - n));
}

void CompressBlock(std::array<std::uint32_t, 8>& h, const unsigned char* block) {
    std::array<std::uint32_t, 64> w{};
    for (int t = 0; t < 16; ++t) {
        w[t] = std::uint32_t{block[4 * t]} << 24 | std::uint32_t{block[4 * t + 1]} << 16 |
               std::uint32_t{block[4 * t + 2]} << 8 | std::uint32_t{block[4 * t + 3]};
    }
    for (int t = 16; t < 64; ++t) {
        const std::uint32_t s0 =
            RotateRight(w[t - 15], 7) ^ RotateRight(w[t - 15], 18) ^ (w[t - 15] >> 3);
        const std::uint32_t s1 =
            RotateRight(w[t - 2], 17) ^ RotateRight(w[t - 2], 19) ^ (w[t - 2] >> 10);
        w[t] = w[t - 16] + s0 + w[t - 7] + s1;
    }
    std::uint32_t a = h[0], b = h[1], c = h[2], d = h[3], e = h[4], f = h[5], g = h[6], k = h[7];
    for (int t = 0; t < 64; ++t) {
        const std::uint32_t t1 = k + (RotateRight(e, 6) ^ RotateRight(e, 11) ^ RotateRight(e, 25)) +
                                 ((e & f) ^ (~e & g)) + kRound[t] + w[t];
        const std::uint32_t t2 = (RotateRight(a, 2) ^ RotateRight(a, 13) ^ RotateRight(a, 22)) +
                                 ((a & b) ^ (a & c) ^ (b & c));
        k = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    const std::array<std::uint32_t, 8> add = {a, b, c, d, e, f, g, k};
    for (int i = 0; i < 8; ++i) {
        h[i] += add[i];
    }
}

// ---- the dossier ----

// A stored text as the page and the digest show it: a hand-edited file could hold anything.
std::string Clean(const std::string& text) {
    return WideToUtf8(CleanServerText(Utf8ToWide(text)));
}

// Every character that could end a text or an attribute, the apostrophe included.
std::string Escape(const std::string& text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string Stored(const std::string& text) {
    return Escape(Clean(text));
}

std::string DigestNumber(double value) {
    return std::isfinite(value) ? WideToUtf8(FormatFixed(value, 2)) : "";
}

// How the run enters the month's figures; empty when it does.
std::string LeftOut(const ComplianceRun& run, bool includeWifi) {
    if (!run.finished) {
        return "não contada (não concluída)";
    }
    if (!Usable(run)) {
        return "não contada (valores ilegíveis)";
    }
    return run.wifiOrVpn && !includeWifi ? "fora dos números (Wi-Fi/VPN)" : "";
}

constexpr const char kPageStyle[] = R"css(@page{size:A4;margin:14mm 12mm}
*{box-sizing:border-box}
body{font-family:'Segoe UI',Arial,sans-serif;font-size:10.5pt;line-height:1.4;color:#111;background:#fff;max-width:186mm;margin:0 auto;padding:8mm 0}
h1{font-size:17pt;margin:0 0 1mm}
h2{font-size:12.5pt;margin:7mm 0 2mm;padding-bottom:1mm;border-bottom:1.5px solid #111}
h3{font-size:11pt;margin:4mm 0 1.5mm}
p{margin:0 0 2mm}
.meta{color:#444;font-size:9.5pt}
table{width:100%;border-collapse:collapse;margin:1mm 0 3mm;font-size:9.5pt}
thead{display:table-header-group}
tr{break-inside:avoid;page-break-inside:avoid}
th,td{border:1px solid #888;padding:1.2mm 1.6mm;text-align:left;vertical-align:top}
th{background:#eee}
td.n{text-align:right;white-space:nowrap}
table.runs{font-size:8.5pt}
.loc{color:#444}
.v{font-weight:700;white-space:nowrap}
.out{color:#555;font-style:italic}
.month,.protocols,.integrity{break-inside:avoid;page-break-inside:avoid}
.line{display:flex;gap:3mm;margin:5mm 0 0}
.line span{white-space:nowrap}
.line i{flex:1;border-bottom:1px solid #111}
.digest{font-family:Consolas,'Courier New',monospace;font-size:10pt;word-break:break-all}
@media print{body{max-width:none;padding:0}}
)css";

void AppendMonth(std::string& page, const MonthCompliance& m) {
    page += "<div class=\"month\">\n<h3>" + Escape(m.month) + "</h3>\n<p>" +
            Escape(MonthSummary(m)) + ".</p>\n";
    page +=
        "<table>\n<thead><tr><th>Referência</th><th>Resultado</th><th>Meta</th>"
        "<th>Situação</th></tr></thead>\n<tbody>\n";
    for (const ReferenceRow& row : ReferenceRows(m)) {
        page += "<tr><td>" + Escape(row.label) + "</td><td>" + Escape(row.result) + "</td><td>" +
                Escape(row.target) + "</td><td class=\"v\">" + Escape(Verdict(row.met)) +
                "</td></tr>\n";
    }
    page += "</tbody>\n</table>\n</div>\n";
}

void AppendRuns(std::string& page, const std::vector<ComplianceRun>& runs, bool includeWifi) {
    page +=
        "<table class=\"runs\">\n<thead><tr><th>Data e hora</th><th>Servidor</th>"
        "<th>Download (Mbps)</th><th>Upload (Mbps)</th><th>Ping (ms)</th><th>Jitter (ms)</th>"
        "<th>Conexão</th><th>Uso</th></tr></thead>\n<tbody>\n";
    for (const ComplianceRun& run : runs) {
        const std::optional<double> jitter = KnownJitter(run);
        const std::string leftOut = LeftOut(run, includeWifi);
        page +=
            "<tr><td class=\"n\">" + Stored(run.localTime) + "</td><td>" + Stored(run.serverName);
        if (!run.serverLocation.empty()) {
            page += "<br><span class=\"loc\">" + Stored(run.serverLocation) + "</span>";
        }
        page += "</td><td class=\"n\">" + Escape(Fixed(run.downloadMbps, 2)) +
                "</td><td class=\"n\">" + Escape(Fixed(run.uploadMbps, 2)) +
                "</td><td class=\"n\">" + Escape(Fixed(run.latencyMs, 2)) +
                "</td><td class=\"n\">" + (jitter ? Escape(Fixed(*jitter, 2)) : "&#8212;") +
                "</td><td>" + (run.connection.empty() ? "desconhecida" : Stored(run.connection)) +
                "</td>" + (leftOut.empty() ? "<td>nos números" : "<td class=\"out\">" + leftOut) +
                "</td></tr>\n";
    }
    page += "</tbody>\n</table>\n";
}

constexpr const char kMeaning[] =
    "<h2>O que as referências significam &#8212; e o que não significam</h2>\n"
    "<p>As metas usadas aqui são as do antigo Regulamento de Gestão da Qualidade do "
    "SCM (RGQ-SCM, Resolução nº 574/2011 da Anatel): a velocidade instantânea "
    "de ao menos 40 % da contratada em 95 % das medições; a "
    "média do mês de ao menos 80 % da contratada; latência de até 80 ms e "
    "jitter (variação da latência) de até 50 ms, cada um em 95 % das "
    "medições.</p>\n"
    "<p>Esse regulamento foi revogado em 2022 pelo Regulamento de Qualidade dos Serviços "
    "de Telecomunicações (RQual, aprovado pela Resolução nº 717/2019 e em "
    "vigor desde 2022). As metas continuam sendo citadas por órgãos de defesa do "
    "consumidor como referência do que é razoável, mas não são mais "
    "metas em vigor.</p>\n"
    "<p>Estas medições foram feitas pelo próprio usuário, com este programa, "
    "neste computador, contra servidores de teste na internet. <strong>Não são a "
    "medição oficial da Anatel</strong>, que é feita pela entidade contratada "
    "para isso com pontos de medição dedicados. O resultado depende também do "
    "computador, da rede da casa e do servidor escolhido; medições por Wi-Fi ou VPN "
    "medem também o Wi-Fi ou o túnel. Um “ATENDE” ou “NÃO "
    "ATENDE” aqui não é um laudo: é o registro organizado das "
    "medições, para apoiar uma reclamação.</p>\n"
    "<p>O horário de maior tráfego considerado é das 10h às 22h "
    "(10:00:00 a 21:59:59, hora local deste computador).</p>\n";

constexpr const char kProtocols[] =
    "<div class=\"protocols\">\n"
    "<h2>Protocolos da reclamação</h2>\n"
    "<div class=\"line\"><span>Operadora &#8212; protocolo nº</span><i></i>"
    "<span>data</span><i></i></div>\n"
    "<div class=\"line\"><span>Anatel &#8212; protocolo nº</span><i></i>"
    "<span>data</span><i></i></div>\n"
    "<div class=\"line\"><span>Procon &#8212; protocolo nº</span><i></i>"
    "<span>data</span><i></i></div>\n"
    "</div>\n";

}  // namespace

std::optional<ContractedPlan> ParsePlan(std::string_view text) {
    const std::size_t slash = text.find('/');
    if (slash == std::string_view::npos) {
        return std::nullopt;
    }
    const std::optional<double> down = ParsePlanNumber(TrimBlanks(text.substr(0, slash)));
    const std::optional<double> up = ParsePlanNumber(TrimBlanks(text.substr(slash + 1)));
    if (!down || !up) {
        return std::nullopt;
    }
    return ContractedPlan{*down, *up};
}

std::optional<std::string> ParseMonth(std::string_view text) {
    if (text.size() != 7 || text[4] != '-') {
        return std::nullopt;
    }
    if (!IsDigit(text[0]) || !IsDigit(text[1]) || !IsDigit(text[2]) || !IsDigit(text[3]) ||
        !IsDigit(text[5]) || !IsDigit(text[6])) {
        return std::nullopt;
    }
    const int month = (text[5] - '0') * 10 + (text[6] - '0');
    if (month < 1 || month > 12) {
        return std::nullopt;
    }
    return std::string(text);
}

std::vector<MonthCompliance> MonthlyCompliance(const std::vector<ComplianceRun>& runs,
                                               const ContractedPlan& plan, bool includeWifi,
                                               const std::optional<std::string>& month) {
    // "AAAA-MM" sorts as the calendar does.
    std::map<std::string, std::vector<const ComplianceRun*>> byMonth;
    if (month) {
        byMonth[*month];
    }
    for (const ComplianceRun& run : runs) {
        const std::optional<std::string> of = MonthOf(run.localTime);
        if (of && (!month || *of == *month)) {
            byMonth[*of].push_back(&run);
        }
    }
    std::vector<MonthCompliance> months;
    for (const auto& [name, monthRuns] : byMonth) {
        months.push_back(JudgeMonth(name, monthRuns, plan, includeWifi));
    }
    return months;
}

std::string ComplianceText(const ContractedPlan& plan, const std::vector<MonthCompliance>& months,
                           bool includeWifi) {
    std::string text = PlanLine(plan) + "\nReferências: " + kReferenceSource + "\n" + kNotOfficial +
                       "\n" + WifiLine(includeWifi) + "\n";
    if (months.empty()) {
        return text + "\nNenhuma medição no histórico.\n";
    }
    for (const MonthCompliance& m : months) {
        text += "\n" + m.month + ": " + MonthSummary(m) + "\n";
        text += "  " + PadRight("Referência", 26) + "  " + PadRight("Resultado", 30) + "  " +
                PadRight("Meta", 20) + "  Situação\n";
        for (const ReferenceRow& row : ReferenceRows(m)) {
            text += "  " + PadRight(row.label, 26) + "  " + PadRight(row.result, 30) + "  " +
                    PadRight(row.target, 20) + "  " + Verdict(row.met) + "\n";
        }
    }
    return text;
}

std::string ComplianceJson(const ContractedPlan& plan, const std::vector<MonthCompliance>& months,
                           bool includeWifi) {
    Json out;
    out["plan"] = {{"downloadMbps", OptionalJson(std::optional(plan.downloadMbps))},
                   {"uploadMbps", OptionalJson(std::optional(plan.uploadMbps))}};
    out["wifiOrVpnIncluded"] = includeWifi;
    out["references"] = {{"source", kReferenceSource},
                         {"official", false},
                         {"note", kNotOfficial},
                         {"peakHours", "10:00:00-21:59:59"}};
    out["months"] = Json::array();
    for (const MonthCompliance& m : months) {
        Json month;
        month["month"] = m.month;
        month["runs"] = m.runs;
        month["peakHourRuns"] = m.peakRuns;
        month["wifiOrVpnRuns"] = m.wifiOrVpnRuns;
        month["wifiOrVpnIncluded"] = m.wifiOrVpnIncluded;
        month["uncountedRuns"] = m.uncountedRuns;
        month["usedRuns"] = m.usedRuns;
        month["download"] = ShareJson(m.download, std::nullopt);
        month["upload"] = ShareJson(m.upload, std::nullopt);
        month["downloadMean"] = MeanJson(m.downloadMean);
        month["uploadMean"] = MeanJson(m.uploadMean);
        month["latency"] = ShareJson(m.latency, kLatencyLimitMs);
        Json jitter = ShareJson(m.jitter, kJitterLimitMs);
        jitter["withoutJitter"] = m.usedRuns - m.jitter.judged;
        month["jitter"] = jitter;
        out["months"].push_back(month);
    }
    return out.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string Sha256Hex(std::string_view bytes) {
    std::array<std::uint32_t, 8> h = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                      0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    const std::size_t rest = bytes.size() % 64;
    const std::size_t whole = bytes.size() - rest;
    for (std::size_t i = 0; i < whole; i += 64) {
        CompressBlock(h, reinterpret_cast<const unsigned char*>(bytes.data() + i));
    }
    // The rest, a 1 bit, zeros, and the length in bits as 64 bits big-endian: one or two blocks.
    std::array<unsigned char, 128> tail{};
    for (std::size_t i = 0; i < rest; ++i) {
        tail[i] = static_cast<unsigned char>(bytes[whole + i]);
    }
    tail[rest] = 0x80;
    const std::size_t tailSize = rest < 56 ? 64 : 128;
    const std::uint64_t bits = static_cast<std::uint64_t>(bytes.size()) * 8;
    for (int i = 0; i < 8; ++i) {
        tail[tailSize - 1 - i] = static_cast<unsigned char>(bits >> (8 * i));
    }
    for (std::size_t i = 0; i < tailSize; i += 64) {
        CompressBlock(h, tail.data() + i);
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string hex;
    for (const std::uint32_t word : h) {
        for (int shift = 28; shift >= 0; shift -= 4) {
            hex += kHex[(word >> shift) & 0xF];
        }
    }
    return hex;
}

std::string DossierDigestText(const std::vector<ComplianceRun>& listedRuns) {
    std::string text;
    for (const ComplianceRun& run : listedRuns) {
        const std::optional<double> jitter = KnownJitter(run);
        text += Clean(run.localTime) + '\t' + Clean(run.serverName) + '\t' +
                Clean(run.serverLocation) + '\t' + DigestNumber(run.downloadMbps) + '\t' +
                DigestNumber(run.uploadMbps) + '\t' + DigestNumber(run.latencyMs) + '\t' +
                (jitter ? DigestNumber(*jitter) : "") + '\t' + Clean(run.connection) + '\t' +
                (run.finished ? "concluída" : "não concluída") + '\n';
    }
    return text;
}

std::string DossierPage(const ContractedPlan& plan, const std::vector<MonthCompliance>& months,
                        const std::vector<ComplianceRun>& listedRuns, bool includeWifi,
                        const std::string& generatedAt) {
    std::string page =
        "<!DOCTYPE html>\n<html lang=\"pt-BR\">\n<head>\n<meta charset=\"utf-8\">\n"
        "<title>" VELMORA_PRODUCT_TITLE " &#8212; Dossiê de medições</title>\n<style>\n";
    page += kPageStyle;
    page += "</style>\n</head>\n<body>\n";
    page += "<h1>Dossiê de medições de velocidade</h1>\n";
    page += "<p class=\"meta\">" VELMORA_PRODUCT_TITLE " v" VELMORA_VERSION " &#8212; gerado em " +
            Stored(generatedAt) + " (hora local)</p>\n";

    page += "<h2>Plano contratado</h2>\n<p><strong>" + Escape(PlanMbps(plan.downloadMbps)) +
            " Mbps</strong> de download e <strong>" + Escape(PlanMbps(plan.uploadMbps)) +
            " Mbps</strong> de upload.</p>\n<p>" + Escape(WifiLine(includeWifi)) + "</p>\n";

    page +=
        "<h2>Resultado por mês</h2>\n<p class=\"meta\">Referências: " + Escape(kReferenceSource) +
        " " + Escape(kNotOfficial) + "</p>\n";
    if (months.empty()) {
        page += "<p>Nenhuma medição no histórico.</p>\n";
    }
    for (const MonthCompliance& m : months) {
        AppendMonth(page, m);
    }

    page += "<h2>Medições</h2>\n";
    AppendRuns(page, listedRuns, includeWifi);

    page += kMeaning;
    page += kProtocols;

    page += "<div class=\"integrity\">\n<h2>Conferência</h2>\n<p>Esta página lista <strong>" +
            std::to_string(listedRuns.size()) +
            (listedRuns.size() == 1 ? " medição" : " medições") +
            "</strong>. Resumo SHA-256 delas:</p>\n<p class=\"digest\">" +
            Sha256Hex(DossierDigestText(listedRuns)) + "</p>\n";
    page +=
        "<p class=\"meta\">O resumo é calculado sobre um texto UTF-8 com uma linha por "
        "medição listada, na ordem da tabela e terminada por LF, com os campos data e "
        "hora, servidor, local do servidor, download, upload, ping, jitter (números com duas "
        "casas e ponto decimal; jitter vazio quando desconhecido), conexão (vazia quando "
        "desconhecida) e “concluída” ou “não concluída”, "
        "separados por tabulação.</p>\n</div>\n";
    page += "</body>\n</html>\n";
    return page;
}

}  // namespace velmora::cli
