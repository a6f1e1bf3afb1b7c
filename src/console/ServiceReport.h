#pragma once
// An actuator's service records as people read them: the words for each kind
// of event and each configuration value, shared by the window's Service
// history and the service report; and the report itself, a one- or two-page
// PDF for the customer, drawn with QPdfWriter and QTextDocument.
//
// Needs Qt's Gui module only, so lumoctl can print the same report without
// the window.

#include <QDate>
#include <QString>
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "config/ActuatorConfig.h"
#include "records/RecordStore.h"

namespace servicereport {

// One of the ten configuration words (MaxPos .. PosOffset), in the order a
// transfer takes them.
struct ConfigWord {
    const char *name;    // register name, as the store keeps a write's results
    const char *caption; // "Stroke", "Rear limit", ...
    uint16_t ActuatorConfig::*word;
};
const std::array<ConfigWord, 10> &ConfigWords();

// The value of `word` with its meaning: "980 steps", "Single hall, limit
// switch yes", "10.0 V", "115200 baud", ...
QString ValueText(const ConfigWord &word, uint16_t value);

// "Device seen", "Configuration read", ... for a kind.
QString KindCaption(records::EventKind kind);
// One line that says what happened: the values that changed in a write, the
// addresses of a change, the learned stroke, a command and where the
// actuator stopped, ...
QString EventSummary(const records::Event &event);

// Local time as "2026-12-10 14:03:22".
QString LocalTimeText(int64_t ms);
// The local calendar day `day` as [from, to) in Unix milliseconds.
records::HistoryQuery DayQuery(uint16_t motorId, const QDate &day);
// The local day of a Unix time in milliseconds.
QDate LocalDay(int64_t ms);

// Who the actuator is, as its newest events tell.
struct Identity {
    uint16_t motorId = 0;
    std::optional<uint16_t> model;
    std::optional<uint16_t> firmware;
    std::optional<uint8_t> address; // of its newest event
    std::string port;
    std::string station;
    int64_t lastSeenMs = 0; // its newest event; 0 when none
};
// From events newest first: model and firmware of the newest event that
// carries them, address, port and station of the newest event.
Identity IdentityOf(uint16_t motorId, const std::vector<records::Event> &events);

// What a report shows.
struct ReportData {
    Identity identity;
    std::optional<ActuatorConfig> config; // the last known configuration
    std::optional<QDate> day;             // the events of that day; nothing: the whole history
    std::vector<records::Event> events;   // newest first
    int64_t generatedMs = 0;
    std::string generatedBy; // "user on station"
};

// Gathers a report of `motorId` from the store: identity from its whole
// history, the last known configuration, and the events of `day` (or all).
ReportData CollectReport(const records::RecordStore &store, uint16_t motorId, std::optional<QDate> day);

// The report as a document (HTML for QTextDocument) with at most `maxEvents`
// of the events, newest first; the rest are counted in a note.
QString ReportHtml(const ReportData &data, size_t maxEvents);

// At most two A4 pages: the newest events that fit are listed and the
// others counted.
inline constexpr int MaxReportPages = 2;

// Writes the report to `path` as a PDF. False with `error` set when the file
// cannot be written. Needs a QGuiApplication (fonts).
bool WriteReportPdf(const ReportData &data, const QString &path, QString *error);

// The proposed file name: "LUMO_MID-0x5A05_report_20261210.pdf" (the day
// reported, or today for the whole history).
QString ProposedReportName(const ReportData &data);

} // namespace servicereport
