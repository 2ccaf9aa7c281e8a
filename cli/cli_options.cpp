#include "cli_options.h"

#include <charconv>
#include <chrono>
#include <iterator>

#include "common/text.h"
#include "plan_compliance.h"
#include "protocols/ookla_protocol.h"
#include "run_log.h"

namespace velmora::cli {
namespace {

using modulos::medicao::ProtocolKind;
using modulos::medicao::SelectedServer;
namespace protocolos = modulos::medicao::protocolos;

std::optional<std::uint16_t> ParsePort(const std::string& text) {
    unsigned value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || value == 0 || value > 65535) {
        return std::nullopt;
    }
    return static_cast<std::uint16_t>(value);
}

// Comma-separated whole numbers from 1 to 65535 (ports, seconds).
std::optional<std::vector<std::uint16_t>> ParseNumberList(const std::string& text) {
    std::vector<std::uint16_t> ports;
    std::size_t start = 0;
    for (;;) {
        const std::size_t comma = text.find(',', start);
        const auto port = ParsePort(text.substr(start, comma - start));
        if (!port) {
            return std::nullopt;
        }
        ports.push_back(*port);
        if (comma == std::string::npos) {
            return ports;
        }
        start = comma + 1;
    }
}

// HOST:PORT, optionally followed by ":plain".
std::optional<protocolos::HttpEndpoint> ParseEndpoint(const std::string& text, bool secure) {
    std::string rest = text;
    if (rest.ends_with(":plain")) {
        secure = false;
        rest.resize(rest.size() - 6);
    }
    const std::size_t colon = rest.rfind(':');
    if (colon == std::string::npos || colon == 0) {
        return std::nullopt;
    }
    const auto port = ParsePort(rest.substr(colon + 1));
    if (!port) {
        return std::nullopt;
    }
    return protocolos::HttpEndpoint{Utf8ToWide(rest.substr(0, colon)), *port, secure};
}

}  // namespace

const char kCliUsage[] = R"(velmora-cli - mede a velocidade da sua internet (VELMORA)

Uso: velmora-cli [opções]

Sem opções, faz uma medição completa com os servidores embutidos: identifica a conexão,
escolhe o melhor servidor, mede ping, download (17 s) e upload (15 s) e guarda o resultado
no histórico de cada usuário (history.xml em %LOCALAPPDATA%\IP-KALDRA no Windows, numa
cópia portátil ao lado do programa; em $XDG_DATA_HOME/velmora, ~/.local/share/velmora, no
Linux), como o VELMORA; na primeira vez copia para ele o histórico de uma versão anterior.

Saída da medição:
  --json                    só o resultado final, como um objeto JSON (também num erro), com
                            responsividade, dados usados e notas
                              velmora-cli --json | jq .downloadMbps
  --csv                     só o resultado final, como uma linha CSV (RFC 4180)
                              velmora-cli --csv >> medicoes.csv
  --csv-header              imprime o cabeçalho das colunas do --csv e sai
                              velmora-cli --csv-header > medicoes.csv

Servidores:
  --list                    lista os servidores embutidos (distância quando a posição é
                            conhecida) e sai
                              velmora-cli --list
  --server NOME|HOST        mede contra esse servidor do catálogo, sem a escolha automática
                              velmora-cli --server "Claro SP Capital"
  --no-operators            não testa os servidores das operadoras
                              velmora-cli --no-operators
  --geo HOST:PORT           serviço de geolocalização por IP (HTTP), padrão ip-api.com:80
                              velmora-cli --geo 127.0.0.1:8080
  --cloudflare HOST:PORT[:plain]
                            servidor Cloudflare (latência da borda, trace e transferências),
                            HTTPS salvo com :plain; padrão speed.cloudflare.com:443
                              velmora-cli --cloudflare 127.0.0.1:8443
  --ookla-ports A,B,C       portas dos servidores Ookla, em ordem (TLS só na 443);
                            padrão 8080,80,443
                              velmora-cli --ookla-ports 8080,443
  --latency-ports A,B       portas do ping e da latência sob carga; padrão 80,443
                              velmora-cli --latency-ports 443,80
  --phase-seconds D,U       duração do download e do upload em segundos (3 a 60; padrão
                            17,15): gasta menos dados, com números menos estáveis
                              velmora-cli --phase-seconds 8,7

Prometheus (depois de cada medição, também de uma que falhou):
  --openmetrics ARQUIVO     grava os números da medição no formato de texto do Prometheus,
                            trocando o arquivo de uma vez (para o coletor textfile do
                            node_exporter ou do windows_exporter; o nome deve terminar em .prom)
                              velmora-cli --openmetrics /var/lib/prometheus/node-exporter/velmora.prom
  --pushgateway URL         envia os mesmos números a um Pushgateway (HTTP PUT do grupo
                            job=velmora, instance=NOME; só http:// ou https://)
                              velmora-cli --pushgateway http://127.0.0.1:9091
  --instancia NOME          o NOME do grupo no Pushgateway; padrão: o nome desta máquina
                              velmora-cli --pushgateway http://pg:9091 --instancia sala

Histórico:
  --history [N]             as últimas N medições guardadas (padrão 10) e sai
                              velmora-cli --history 5
  --report                  gera o relatório HTML do histórico; abre no navegador quando há
                            uma área de trabalho, senão mostra o caminho dele
                              velmora-cli --report
  --history-dir PASTA       pasta do history.xml, no lugar da do usuário
                              velmora-cli --history-dir ~/medicoes --history

Prova para a operadora (cada medição do velmora-cli fica também, completa, em
velmora-cli.jsonl, ao lado do histórico):
  --plano D/U               guarda o plano contratado (download/upload em Mbps) e sai
                              velmora-cli --plano 300/150
  --conformidade [AAAA-MM]  cada mês (ou só esse) contra o plano, pelas metas do antigo
                            RGQ-SCM da Anatel; com --json, um objeto JSON
                              velmora-cli --conformidade 2026-11
  --incluir-wifi            conta também as medições por Wi-Fi ou VPN (mostradas, mas fora
                            dos números por padrão)
  --dossie ARQUIVO          grava uma página HTML para imprimir: plano, meses, cada medição
                            e a soma SHA-256 delas (com --conformidade AAAA-MM, só esse mês)
                              velmora-cli --dossie dossie.html
  --orcamento-dados TAMANHO não mede quando os dados usados neste mês (pelo velmora-cli.jsonl)
                            passariam de TAMANHO (MB, GB ou TB)
                              velmora-cli --orcamento-dados 20GB

  --help                    mostra esta ajuda

Saída: 0 quando termina (também quando o orçamento de dados pula a medição), 1 em caso de
erro na medição ou quando o histórico não pode ser lido, 2 para opções inválidas, 3 quando a
medição terminou e foi guardada mas o arquivo de métricas não pôde ser gravado ou o envio ao
Pushgateway falhou.
)";

std::optional<CliOptions> ParseCliOptions(const std::vector<std::string>& args,
                                          std::string& error) {
    CliOptions options;
    std::optional<protocolos::HttpEndpoint> cloudflare;
    std::vector<std::uint16_t> ooklaPorts{std::begin(protocolos::kOoklaPorts),
                                          std::end(protocolos::kOoklaPorts)};
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const auto value = [&]() -> std::optional<std::string> {
            if (i + 1 >= args.size()) {
                error = "falta o valor de " + arg;
                return std::nullopt;
            }
            return args[++i];
        };
        // A value that may not be empty; `invalid` says so when it is.
        const auto nonEmpty = [&](const char* invalid) -> std::optional<std::string> {
            const auto text = value();
            if (text && text->empty()) {
                error = invalid;
                return std::nullopt;
            }
            return text;
        };
        if (arg == "--json" || arg == "--csv") {
            const OutputFormat format = arg == "--json" ? OutputFormat::Json : OutputFormat::Csv;
            if (options.format != OutputFormat::Text && options.format != format) {
                error = "--json e --csv não podem ser usados juntos";
                return std::nullopt;
            }
            options.format = format;
        } else if (arg == "--help" || arg == "-h") {
            options.action = CliAction::Help;
        } else if (arg == "--report") {
            options.action = CliAction::Report;
        } else if (arg == "--list") {
            options.action = CliAction::List;
        } else if (arg == "--csv-header") {
            options.action = CliAction::CsvHeader;
        } else if (arg == "--history") {
            options.action = CliAction::History;
            // The count is optional: taken only when the next word is a number.
            if (i + 1 < args.size() && !args[i + 1].empty() &&
                args[i + 1].find_first_not_of("0123456789") == std::string::npos) {
                const std::string& text = args[++i];
                std::size_t count = 0;
                const auto [end, failed] =
                    std::from_chars(text.data(), text.data() + text.size(), count);
                if (failed != std::errc() || count == 0) {
                    error = "número inválido em --history";
                    return std::nullopt;
                }
                options.historyCount = count;
            }
        } else if (arg == "--server") {
            const auto text = nonEmpty("servidor vazio em --server");
            if (!text) {
                return std::nullopt;
            }
            options.server = *text;
        } else if (arg == "--history-dir") {
            const auto text = nonEmpty("pasta inválida em --history-dir");
            if (!text) {
                return std::nullopt;
            }
            options.historyDirectory = *text;
        } else if (arg == "--plano") {
            const auto text = value();
            if (!text || !ParsePlan(*text)) {
                error = error.empty() ? "plano inválido em --plano (ex.: 300/150, em Mbps)" : error;
                return std::nullopt;
            }
            options.action = CliAction::Plan;
            options.plan = *text;
        } else if (arg == "--conformidade") {
            if (options.action != CliAction::Dossier) {
                options.action = CliAction::Compliance;
            }
            // The month is optional: taken when the next word is not an option.
            if (i + 1 < args.size() && !args[i + 1].starts_with("--")) {
                options.month = ParseMonth(args[++i]);
                if (!options.month) {
                    error = "mês inválido em --conformidade (use AAAA-MM)";
                    return std::nullopt;
                }
            }
        } else if (arg == "--incluir-wifi") {
            options.includeWifi = true;
        } else if (arg == "--dossie") {
            const auto text = nonEmpty("arquivo vazio em --dossie");
            if (!text) {
                return std::nullopt;
            }
            options.action = CliAction::Dossier;
            options.dossierFile = *text;
        } else if (arg == "--orcamento-dados") {
            const auto text = value();
            options.dataBudget = text ? ParseDataSize(*text) : std::nullopt;
            if (!options.dataBudget) {
                error = error.empty() ? "tamanho inválido em --orcamento-dados (ex.: 20GB)" : error;
                return std::nullopt;
            }
        } else if (arg == "--no-operators") {
            options.operators = false;
        } else if (arg == "--geo") {
            const auto text = value();
            const auto endpoint = text ? ParseEndpoint(*text, false) : std::nullopt;
            if (!endpoint) {
                error = error.empty() ? "endereço inválido em --geo" : error;
                return std::nullopt;
            }
            options.run.geolocation = *endpoint;
        } else if (arg == "--cloudflare") {
            const auto text = value();
            cloudflare = text ? ParseEndpoint(*text, true) : std::nullopt;
            if (!cloudflare) {
                error = error.empty() ? "endereço inválido em --cloudflare" : error;
                return std::nullopt;
            }
        } else if (arg == "--phase-seconds") {
            const auto text = value();
            const auto seconds = text ? ParseNumberList(*text) : std::nullopt;
            if (!seconds || seconds->size() != 2 || (*seconds)[0] < 3 || (*seconds)[0] > 60 ||
                (*seconds)[1] < 3 || (*seconds)[1] > 60) {
                error = error.empty() ? "durações inválidas em --phase-seconds (3 a 60 s)" : error;
                return std::nullopt;
            }
            options.run.download = modulos::medicao::WithLength(
                modulos::medicao::kDownloadTiming, std::chrono::seconds((*seconds)[0]));
            options.run.upload = modulos::medicao::WithLength(modulos::medicao::kUploadTiming,
                                                              std::chrono::seconds((*seconds)[1]));
        } else if (arg == "--ookla-ports" || arg == "--latency-ports") {
            const auto text = value();
            const auto ports = text ? ParseNumberList(*text) : std::nullopt;
            if (!ports || (arg == "--latency-ports" && ports->size() != 2)) {
                error = error.empty() ? "lista de portas inválida em " + arg : error;
                return std::nullopt;
            }
            if (arg == "--latency-ports") {
                options.run.latencyPorts = {(*ports)[0], (*ports)[1]};
            } else {
                ooklaPorts = *ports;
            }
        } else if (arg == "--openmetrics" || arg == "--instancia") {
            const auto text = nonEmpty(arg == "--openmetrics" ? "arquivo vazio em --openmetrics"
                                                              : "nome vazio em --instancia");
            if (!text) {
                return std::nullopt;
            }
            (arg == "--openmetrics" ? options.metrics.file : options.metrics.instance) = *text;
        } else if (arg == "--pushgateway") {
            const auto text = value();
            options.metrics.pushgateway = text ? ParsePushgatewayUrl(*text, error) : std::nullopt;
            if (!options.metrics.pushgateway) {
                return std::nullopt;
            }
        } else {
            error = "opção desconhecida: " + arg;
            return std::nullopt;
        }
    }

    options.run.selection.candidatePorts = ooklaPorts;
    const std::vector<protocolos::SpeedEndpoint> ookla = protocolos::OoklaEndpoints(ooklaPorts);
    protocolos::SpeedEndpoint cloudflareEndpoint{};
    if (cloudflare) {
        options.run.selection.edgeHost = cloudflare->host;
        options.run.selection.edgePort = cloudflare->port;
        options.run.selection.edgeTrace = *cloudflare;
        cloudflareEndpoint = {cloudflare->port, cloudflare->secure, {}};
    }
    options.run.protocolEndpoints[ProtocolKind::OoklaHttp] = ookla;
    options.run.protocolEndpoints[ProtocolKind::Cloudflare] = {cloudflareEndpoint};
    return options;
}

}  // namespace velmora::cli
