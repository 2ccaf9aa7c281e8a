#pragma once

// The ways velmora-cli writes a run for scripts and for people.

#include <string>
#include <vector>

#include "connection_kind.h"
#include "history/history_reader.h"
#include "measurement/run_state.h"

namespace velmora::cli {

// The record as one JSON object, members named and ordered as the record's fields, followed by
// what the run's diagnostics tell (responsiveness, data used, route, notes), then the jitters and
// the connection the run went over. Numbers use "." and the shortest form that reads back to the
// same value, whatever the locale.
std::string RecordToJson(const modulos::medicao::MeasurementRecord& record,
                         const modulos::medicao::RunDiagnostics& diagnostics,
                         const RunConnection& connection = {});

// What a script gets on standard output when the run fails: still one JSON object.
std::string FailureToJson(const std::string& reason);

// One CSV line (RFC 4180, no line end) with the record's fields in order: the time stamp as the
// history writes it, numbers with two "." decimals, the sample lists as their history text; then
// the JSON's added members, in its order (empty where it has null; the notes joined by " | ").
std::string CsvHeader();
std::string RecordToCsv(const modulos::medicao::MeasurementRecord& record,
                        const modulos::medicao::RunDiagnostics& diagnostics,
                        const RunConnection& connection = {});

// UTF-8 text padded with spaces to `width` characters (not bytes), so that columns line up.
std::string PadRight(const std::string& text, std::size_t width);

// The newest `count` stored runs, newest last, as a fixed-width table with a header line; the
// grade is the responsiveness of each run, from its stored latencies.
std::string HistoryTable(const std::vector<modulos::medicao::HistoryEntry>& entries,
                         std::size_t count);

}  // namespace velmora::cli
