#pragma once
// An actuator's service records as people read them: the words for each kind
// of event and each configuration value, shared by the window's Service
// history and the service report; and the report itself, a one- or two-page
// PDF for the customer, drawn with QPdfWriter and QTextDocument.
//
// Needs Qt's Gui module only, so lumoctl can print the same report without
// the window.

#include <QByteArray>
#include <QDate>
#include <QString>
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "config/ActuatorConfig.h"
#include "config/SafeFile.h"
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
    // The newest events, newest first: at most MaxCollectedEvents, more
    // than two pages can ever list, so a long history costs no more to lay
    // out than a short one.
    std::vector<records::Event> events;
    size_t eventCount = 0; // all the events the report covers, listed or not
    int64_t generatedMs = 0;
    std::string generatedBy; // "user on station"
};

// More events than two A4 pages hold at the report's smallest line (8 pt,
// one line an event: about 80 a page).
inline constexpr size_t MaxCollectedEvents = 400;

// Gathers a report of `motorId` from the store: identity from its newest
// events, the last known configuration, and the newest MaxCollectedEvents
// events of `day` (or of the whole history) with the count of all of them.
ReportData CollectReport(const records::RecordStore &store, uint16_t motorId, std::optional<QDate> day);

// The report as a document (HTML for QTextDocument) with at most `maxEvents`
// of the events, newest first; the rest of eventCount are counted in a note.
QString ReportHtml(const ReportData &data, size_t maxEvents);

// At most two A4 pages: the newest events that fit are listed and the
// others counted.
inline constexpr int MaxReportPages = 2;

// The report as the bytes of a PDF. The events that fit two pages are
// found from where the rows of a first, short layout fall (two or three
// layouts in all), so the time does not grow with the history. False
// with `error` set when the PDF cannot be drawn. Needs a QGuiApplication
// (fonts); may run on any thread. `listed` gets the number of events listed.
bool RenderReportPdf(const ReportData &data, QByteArray *pdf, QString *error, size_t *listed = nullptr);

// Renders the report and writes it to `path` whole (WriteWholeFile: a
// temporary file renamed over the name, a link kept, a stream written
// directly, "-" as standard output with `options.dashIsStdout`). True only
// once every byte is in place; otherwise false with `error` set to
// "Cannot create file "<path>". <reason>".
bool WriteReportPdf(const ReportData &data, const QString &path, QString *error, const WriteOptions &options = {});

// The proposed file name: "LUMO_MID-0x5A05_report_20261210.pdf" (the day
// reported, or today for the whole history).
QString ProposedReportName(const ReportData &data);

} // namespace servicereport
