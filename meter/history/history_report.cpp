#include "history/history_report.h"

#include <cmath>

#include "common/text.h"
#include "history/history_file.h"
#include "platform/history_platform.h"
#include "product/facts.h"

namespace velmora::modulos::medicao {
namespace {

namespace fs = std::filesystem;

constexpr const char kStyle[] = R"css(*{margin:0;padding:0;box-sizing:border-box}
body{font-family:'Segoe UI',system-ui,-apple-system,sans-serif;background:#0A0A0A;color:#FFF;min-height:100vh}
::selection{background:#FFD000;color:#0A0A0A}
header{background:linear-gradient(180deg,#161616 0%,#0A0A0A 100%);border-bottom:2px solid #FFD000;padding:52px 32px 40px;text-align:center}
header h1{font-size:30px;font-weight:800;color:#FFD000;letter-spacing:5px;text-transform:uppercase;margin-bottom:8px}
header .sub{font-size:15px;color:#B4B4B4;letter-spacing:2px;font-weight:300}
header .ver{font-size:11px;color:#947900;margin-top:10px;letter-spacing:1px}
.wrap{max-width:940px;margin:0 auto;padding:40px 20px}
.summary{display:flex;gap:16px;margin-bottom:40px;flex-wrap:wrap}
.scard{flex:1;min-width:130px;background:#121212;border:1px solid #3A3A3A;border-radius:14px;padding:22px 14px;text-align:center;transition:border-color .2s}
.scard:hover{border-color:#FFD000}
.scard .sl{font-size:10px;color:#B4B4B4;text-transform:uppercase;letter-spacing:1.5px;font-weight:600}
.scard .sv{font-size:32px;font-weight:700;color:#FFD000;margin-top:6px;line-height:1}
.scard .su{font-size:12px;color:#947900;font-weight:400}
.card{background:#121212;border:1px solid #3A3A3A;border-radius:16px;padding:28px;margin-bottom:24px;transition:border-color .3s,box-shadow .3s}
.card:hover{border-color:#FFD000;box-shadow:0 0 40px rgba(255,208,0,.05)}
.chdr{display:flex;justify-content:space-between;align-items:center;margin-bottom:24px;padding-bottom:16px;border-bottom:1px solid #222}
.chdr .ci{font-size:13px;color:#947900;font-weight:700;margin-right:10px}
.chdr .ct{font-size:14px;color:#B4B4B4}
.chdr .cs{font-size:10px;color:#FFD000;background:rgba(255,208,0,.08);padding:5px 14px;border-radius:20px;font-weight:700;letter-spacing:.5px;text-transform:uppercase;white-space:nowrap}
.spds{display:grid;grid-template-columns:1fr 1fr;gap:28px;margin-bottom:24px}
.spb .sl{font-size:10px;color:#B4B4B4;text-transform:uppercase;letter-spacing:1.5px;font-weight:600;margin-bottom:6px}
.spb .sv{font-size:44px;font-weight:700;line-height:1}
.spb .su{font-size:13px;font-weight:400;color:#B4B4B4;margin-left:2px}
.spb.dl .sv{color:#FFD000}
.spb.ul .sv{color:#FFF}
.lgrid{display:grid;grid-template-columns:repeat(auto-fit,minmax(110px,1fr));gap:12px;margin-bottom:24px}
.met{background:#1A1A1A;border-radius:10px;padding:14px;text-align:center}
.met .ml{font-size:9px;color:#B4B4B4;text-transform:uppercase;letter-spacing:1px;font-weight:600}
.met .mv{font-size:20px;font-weight:700;color:#FFD000;margin-top:4px}
.met .mu{font-size:10px;color:#947900}
.sgrid{display:grid;grid-template-columns:1fr 1fr;gap:14px;margin-bottom:20px}
.si .sl{font-size:9px;color:#B4B4B4;text-transform:uppercase;letter-spacing:1px;font-weight:600}
.si .sv{font-size:13px;color:#FFF;margin-top:3px;word-break:break-all}
.vblk{background:#1A1A1A;border-radius:10px;padding:16px 20px;margin-bottom:16px}
.vblk .vl{font-size:9px;color:#B4B4B4;text-transform:uppercase;letter-spacing:1px;font-weight:600;margin-bottom:5px}
.vblk .vt{font-size:12px;color:#B4B4B4;font-style:italic;line-height:1.5}
.chts{display:grid;grid-template-columns:1fr 1fr;gap:20px;margin-top:16px}
.csec .cl{font-size:9px;color:#B4B4B4;text-transform:uppercase;letter-spacing:1px;font-weight:600;margin-bottom:6px}
.chart{display:flex;align-items:flex-end;gap:3px;height:52px;background:#1A1A1A;border-radius:8px;padding:6px 8px 4px}
.chart .bar{flex:1;min-width:4px;border-radius:3px 3px 0 0;cursor:default;transition:opacity .15s}
.chart .bar:hover{opacity:.6}
.cdl .bar{background:linear-gradient(180deg,#FFD000,#947900)}
.cul .bar{background:linear-gradient(180deg,#FFF,#B4B4B4)}
.nodata{text-align:center;padding:100px 20px;color:#3A3A3A;font-size:18px;letter-spacing:1px}
footer{text-align:center;padding:40px 20px;color:#3A3A3A;font-size:11px;border-top:1px solid #1A1A1A;margin-top:48px;letter-spacing:.5px}
@media(max-width:640px){.spds,.sgrid,.chts{grid-template-columns:1fr}.summary{flex-direction:column}header h1{font-size:20px;letter-spacing:2px}.spb .sv{font-size:32px}}
)css";

void AppendHead(std::string& page) {
    page +=
        "<!DOCTYPE html>\n"
        "<html lang=\"pt-BR\">\n"
        "<head>\n"
        "<meta charset=\"utf-8\">\n"
        "<meta name=\"viewport\" content=\"width=device-width,initial-scale=1\">\n"
        "<title>OBRIX KALDRA &#8212; Hist&#243;rico</title>\n"
        "<style>\n";
    page += kStyle;
    page +=
        "</style>\n"
        "</head>\n"
        "<body>\n"
        "<header>\n"
        "<h1>" VELMORA_PUBLISHER
        "</h1>\n"
        "<div class=\"sub\">" VELMORA_PRODUCT_TITLE
        " &#8212; Hist&#243;rico de Medi&#231;&#245;es</div>\n"
        "<div class=\"ver\">v" VELMORA_VERSION
        "</div>\n"
        "</header>\n"
        "<div class=\"wrap\">\n";
}

void AppendSummary(std::string& page, const std::vector<HistoryEntry>& entries) {
    const HistoryEntry& newest = entries.back();
    page += "<div class=\"summary\">\n";
    page += "<div class=\"scard\"><div class=\"sl\">Total de Testes</div><div class=\"sv\">" +
            std::to_string(entries.size()) + "</div></div>\n";
    const auto card = [&page](const char* label, const std::string& value, const char* unit) {
        page += "<div class=\"scard\"><div class=\"sl\">";
        page += label;
        page += "</div><div class=\"sv\">" + HtmlEscape(value) + "<span class=\"su\"> ";
        page += unit;
        page += "</span></div></div>\n";
    };
    card("&#218;lt. Download", newest.downloadMbps, "Mbps");
    card("&#218;lt. Upload", newest.uploadMbps, "Mbps");
    card("&#218;lt. Ping", newest.pingMs, "ms");
    page += "</div>\n";
}

void AppendCard(std::string& page, const HistoryEntry& e, std::size_t number) {
    page += "<div class=\"card\">\n";
    page += "<div class=\"chdr\"><div><span class=\"ci\">#" + std::to_string(number) +
            "</span><span class=\"ct\">" + HtmlEscape(e.timestamp) +
            "</span></div><div class=\"cs\">" + HtmlEscape(e.status) + "</div></div>\n";
    page += "<div class=\"spds\">\n";
    page += "<div class=\"spb dl\"><div class=\"sl\">Download</div><div class=\"sv\">" +
            HtmlEscape(e.downloadMbps) + "<span class=\"su\"> Mbps</span></div></div>\n";
    page += "<div class=\"spb ul\"><div class=\"sl\">Upload</div><div class=\"sv\">" +
            HtmlEscape(e.uploadMbps) + "<span class=\"su\"> Mbps</span></div></div>\n";
    page += "</div>\n";
    page += "<div class=\"lgrid\">\n";
    const auto metric = [&page](const char* label, const std::string& value) {
        page += "<div class=\"met\"><div class=\"ml\">";
        page += label;
        page += "</div><div class=\"mv\">" + HtmlEscape(value) +
                "<span class=\"mu\"> ms</span></div></div>\n";
    };
    metric("Ping", e.pingMs);
    metric("Lat. Idle", e.idleLatencyMs);
    metric("Lat. Download", e.downloadLatencyMs);
    metric("Lat. Upload", e.uploadLatencyMs);
    page += "</div>\n";
    page += "<div class=\"sgrid\">\n";
    const auto item = [&page](const char* label, const std::string& value) {
        page += "<div class=\"si\"><div class=\"sl\">";
        page += label;
        page += "</div><div class=\"sv\">" + HtmlEscape(value) + "</div></div>\n";
    };
    item("IP P&#250;blico", e.publicIp);
    item("Localiza&#231;&#227;o", e.userCity.empty() ? "N\xC3\xA3o identificada" : e.userCity);
    item("IP do Servidor", e.serverIp);
    item("Servidor", e.serverName);
    item("Rota do Servidor", e.serverLocation);
    page += "</div>\n";

    if (!e.downloadVariation.empty() || !e.uploadVariation.empty()) {
        page += "<div class=\"vblk\">\n";
        if (!e.downloadVariation.empty()) {
            page += "<div class=\"vl\">Varia&#231;&#227;o Download</div><div class=\"vt\">" +
                    HtmlEscape(e.downloadVariation) + "</div>\n";
        }
        if (!e.uploadVariation.empty()) {
            page += e.downloadVariation.empty() ? "<div class=\"vl\">"
                                                : "<div class=\"vl\" style=\"margin-top:10px\">";
            page += "Varia&#231;&#227;o Upload</div><div class=\"vt\">" +
                    HtmlEscape(e.uploadVariation) + "</div>\n";
        }
        page += "</div>\n";
    }
    if (!e.downloadSamples.empty() || !e.uploadSamples.empty()) {
        page += "<div class=\"chts\">\n";
        if (!e.downloadSamples.empty()) {
            page += "<div class=\"csec\"><div class=\"cl\">Amostras Download</div>" +
                    BuildSampleChart(e.downloadSamples, "cdl") + "</div>\n";
        }
        if (!e.uploadSamples.empty()) {
            page += "<div class=\"csec\"><div class=\"cl\">Amostras Upload</div>" +
                    BuildSampleChart(e.uploadSamples, "cul") + "</div>\n";
        }
        page += "</div>\n";
    }
    page += "</div>\n";
}

}  // namespace

std::string HtmlEscape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '"':
                out += "&quot;";
                break;
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string BuildSampleChart(std::string_view samples, std::string_view chartClass) {
    if (samples.empty()) {
        return {};
    }
    std::vector<double> values;
    std::size_t start = 0;
    while (start < samples.size()) {
        const std::size_t comma = std::min(samples.find(',', start), samples.size());
        if (const std::optional<double> value =
                ParseStoredNumber(samples.substr(start, comma - start))) {
            values.push_back(*value);
        }
        start = comma + 1;
    }
    double maximum = 0.0;
    for (const double v : values) {
        maximum = std::max(maximum, v);
    }
    if (values.empty() || maximum <= 0.0) {
        return {};
    }
    std::string chart = "<div class=\"chart " + std::string(chartClass) + "\">";
    for (const double v : values) {
        int height = static_cast<int>(std::trunc(v / maximum * 48.0));
        if (height < 2) {
            height = 2;
        }
        chart += "<div class=\"bar\" style=\"height:" + std::to_string(height) + "px\" title=\"" +
                 WideToUtf8(FormatFixed(v, 1)) + " Mbps\"></div>";
    }
    chart += "</div>";
    return chart;
}

std::string BuildHistoryPage(const std::vector<HistoryEntry>& entries) {
    std::string page;
    AppendHead(page);
    if (entries.empty()) {
        page += "<div class=\"nodata\">Nenhuma medi&#231;&#227;o registrada ainda.</div>\n";
    } else {
        AppendSummary(page, entries);
        for (std::size_t i = entries.size(); i-- > 0;) {
            AppendCard(page, entries[i], entries.size() - i);
        }
    }
    page +=
        "</div>\n"
        "<footer>" VELMORA_PUBLISHER " &#8212; " VELMORA_PRODUCT_TITLE " v" VELMORA_VERSION
        "<br>\n"
        "Relat&#243;rio gerado automaticamente.</footer>\n"
        "</body>\n"
        "</html>\n";
    return page;
}

fs::path BuildHistoryReport(const fs::path& historyPath) {
    try {
        return BuildHistoryReport(historyPath, ReportDirectory());
    } catch (...) {
        return {};
    }
}

fs::path BuildHistoryReport(const fs::path& historyPath, const fs::path& reportDirectory) {
    try {
        // A missing, unreadable or oversized history reads as empty: the page then says so.
        const std::string page =
            BuildHistoryPage(ReadHistory(ReadFileBytes(historyPath).value_or(std::string())));
        if (reportDirectory.empty()) {
            return {};
        }
        fs::create_directories(reportDirectory);
        const fs::path file = reportDirectory / "index.html";
        return WriteReportFile(file, page) ? file : fs::path();
    } catch (...) {
        return {};
    }
}

}  // namespace velmora::modulos::medicao
