#include "sidewindows/ServiceReport.h"

#include <QBuffer>
#include <QDateTime>
#include <QTextFrame>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextTable>
#include <QFile>
#include <QFileInfo>
#include <QPageLayout>
#include <QPageSize>
#include <QPainter>
#include <QPdfWriter>
#include <QStringList>
#include <QAbstractTextDocumentLayout>
#include <QTextDocument>
#include <algorithm>
#include <iterator>
#include <string_view>

#include "ui/NativePath.h"
#include "modbus/Registers.h"
#include "modbus/ResultCode.h"

namespace servicereport {

namespace {

QString Text(const std::string &s)
{
    return QString::fromStdString(s);
}

QString ResultWords(ResultCode code)
{
    if (code == records::kNotCompleted)
        return QStringLiteral("not completed");
    return QString::fromLatin1(ResultText(code));
}

QString ModelText(uint16_t model)
{
    const std::string_view name = Model::NameOf(model);
    return QString::fromLatin1(name.data(), static_cast<qsizetype>(name.size()));
}

QString FirmwareText(uint16_t firmware)
{
    // As the Bus Devices page shows it: major and minor, two digits each.
    return QString::asprintf("%02d.%02d", firmware >> 8, firmware & 0xFF);
}

QString StepsText(uint16_t value)
{
    return QStringLiteral("%1 steps").arg(value);
}

// "MaxPos 980 -> 1200, SpeedPwm 100 -> 80" for the words that differ; the
// write never sends PosOffset, so it is left out of a write's comparison.
QStringList Changes(const ActuatorConfig &before, const ActuatorConfig &after, bool written)
{
    QStringList changes;
    for (const ConfigWord &w : ConfigWords()) {
        if (written && w.word == &ActuatorConfig::PosOffset)
            continue;
        if (before.*w.word != after.*w.word)
            changes << QStringLiteral("%1 %2 \u2192 %3")
                           .arg(QString::fromLatin1(w.caption))
                           .arg(before.*w.word)
                           .arg(after.*w.word);
    }
    return changes;
}

QString ValuesSummary(const ActuatorConfig &c)
{
    return QStringLiteral("stroke %1, rear limit %2, front limit %3, %4 mA, speed %5 %")
        .arg(c.MaxPos)
        .arg(c.RearLimit)
        .arg(c.FrontLimit)
        .arg(c.CurrentLimit)
        .arg(c.SpeedPwm);
}

// ", first failure ..." parts of a summary.
QString Failure(const records::Event &e)
{
    QString text = QStringLiteral("failed: %1").arg(ResultWords(e.result));
    if (!e.detail.empty())
        text += QStringLiteral(" (%1)").arg(Text(e.detail));
    return text;
}

QString Escaped(const QString &s)
{
    return s.toHtmlEscaped();
}

} // namespace

const std::array<ConfigWord, 10> &ConfigWords()
{
    static const std::array<ConfigWord, 10> words = {{
        {"MaxPos", "Stroke", &ActuatorConfig::MaxPos},
        {"RearLimit", "Rear limit", &ActuatorConfig::RearLimit},
        {"FrontLimit", "Front limit", &ActuatorConfig::FrontLimit},
        {"CurrentLimit", "Over load protect", &ActuatorConfig::CurrentLimit},
        {"SpeedPwm", "Motor speed", &ActuatorConfig::SpeedPwm},
        {"SettingFlag", "Hall sensor, limit switch", &ActuatorConfig::SettingFlag},
        {"VoltageOut", "Voltage out", &ActuatorConfig::VoltageOut},
        {"HallPotSelect", "Hall Pot (Volt.)", &ActuatorConfig::HallPotSelect},
        {"BaudRate", "Bus baud rate", &ActuatorConfig::BaudRate},
        {"PosOffset", "Position offset", &ActuatorConfig::PosOffset},
    }};
    return words;
}

QString ValueText(const ConfigWord &word, uint16_t value)
{
    const auto member = word.word;
    if (member == &ActuatorConfig::MaxPos || member == &ActuatorConfig::RearLimit ||
        member == &ActuatorConfig::FrontLimit)
        return StepsText(value);
    if (member == &ActuatorConfig::CurrentLimit)
        return QStringLiteral("%1 mA").arg(value);
    if (member == &ActuatorConfig::SpeedPwm)
        return QStringLiteral("%1 % PWM").arg(value);
    if (member == &ActuatorConfig::SettingFlag)
        return QStringLiteral("%1 hall, limit switch %2 (0x%3)")
            .arg((value & Setting::SingleHall) ? QStringLiteral("Single") : QStringLiteral("Dual"),
                 (value & Setting::LimitSwitch) ? QStringLiteral("yes") : QStringLiteral("no"))
            .arg(value, 4, 16, QLatin1Char('0'));
    if (member == &ActuatorConfig::VoltageOut) {
        // The levels the Actuators page offers; anything else as it is.
        if (value == Voltage::TenVolt)
            return QStringLiteral("10.0 V (%1)").arg(value);
        if (value == Voltage::FiveVolt)
            return QStringLiteral("5.0 V (%1)").arg(value);
        return QString::number(value);
    }
    if (member == &ActuatorConfig::HallPotSelect) {
        if (value == 0)
            return QStringLiteral("0.5 ~ 10 V");
        if (value == 1)
            return QStringLiteral("0.5 ~ 5 V");
        return QStringLiteral("%1 (unknown)").arg(value);
    }
    if (member == &ActuatorConfig::BaudRate) {
        const uint32_t baud = Reg::BaudRateOf(value);
        return baud ? QStringLiteral("%1 baud").arg(baud) : QStringLiteral("%1 (unknown)").arg(value);
    }
    return QString::number(value);
}

QString KindCaption(records::EventKind kind)
{
    switch (kind) {
    case records::EventKind::DeviceSeen: return QStringLiteral("Device seen");
    case records::EventKind::ConfigRead: return QStringLiteral("Configuration read");
    case records::EventKind::ConfigWrite: return QStringLiteral("Configuration write");
    case records::EventKind::AddressChange: return QStringLiteral("Address change");
    case records::EventKind::Learning: return QStringLiteral("Stroke learning");
    case records::EventKind::Motion: return QStringLiteral("Motion");
    case records::EventKind::CycleTest: return QStringLiteral("Cycle test");
    case records::EventKind::ConfigImport: return QStringLiteral("Import");
    case records::EventKind::ConfigExport: return QStringLiteral("Export");
    }
    return QStringLiteral("Event");
}

QString EventSummary(const records::Event &e)
{
    using records::EventKind;
    const bool ok = e.result == Result::NoError;
    switch (e.kind) {
    case EventKind::DeviceSeen: {
        QStringList parts;
        if (e.model)
            parts << ModelText(*e.model);
        if (e.firmware)
            parts << QStringLiteral("firmware %1").arg(FirmwareText(*e.firmware));
        return parts.isEmpty() ? QStringLiteral("answered") : parts.join(QStringLiteral(", "));
    }
    case EventKind::ConfigRead:
        if (!ok || !e.config)
            return Failure(e);
        return e.detail.empty() ? ValuesSummary(*e.config)
                                : QStringLiteral("%1 (%2)").arg(ValuesSummary(*e.config), Text(e.detail));
    case EventKind::ConfigWrite: {
        QString text;
        if (e.before && e.config) {
            const QStringList changes = Changes(*e.before, *e.config, true);
            text = changes.isEmpty() ? QStringLiteral("no value changed") : changes.join(QStringLiteral(", "));
        } else if (e.config) {
            text = QStringLiteral("%1 (no earlier reading)").arg(ValuesSummary(*e.config));
        }
        if (!ok) {
            // The first register that failed all its attempts: the ones
            // before it are written, the ones after it are not.
            const auto failed =
                std::find_if(e.registers.begin(), e.registers.end(),
                             [](const records::RegisterResult &r) { return r.code != Result::NoError; });
            QString failure = Failure(e);
            if (failed != e.registers.end())
                failure = QStringLiteral("failed at %1: %2").arg(Text(failed->name), ResultWords(failed->code));
            text = text.isEmpty() ? failure : failure + QStringLiteral("; ") + text;
        } else if (!e.detail.empty()) {
            text += QStringLiteral(" (%1)").arg(Text(e.detail));
        }
        if (!e.file.empty())
            text += QStringLiteral(", from %1").arg(QFileInfo(Text(e.file)).fileName());
        return text;
    }
    case EventKind::AddressChange: {
        const QString change = e.newAddress ? QStringLiteral("address %1 \u2192 %2").arg(e.address).arg(*e.newAddress)
                                            : QStringLiteral("address %1").arg(e.address);
        return ok ? change : change + QStringLiteral(", ") + Failure(e);
    }
    case EventKind::Learning:
        if (ok && e.stroke)
            return QStringLiteral("learned stroke %1").arg(StepsText(*e.stroke));
        if (ok) // started, but not followed to its end
            return e.detail.empty() ? QStringLiteral("no stroke learned") : Text(e.detail);
        return Failure(e);
    case EventKind::Motion: {
        QString text = QStringLiteral("%1: %2").arg(Text(e.action), ResultWords(e.result));
        if (e.position)
            text += QStringLiteral(", last position %1").arg(*e.position);
        if (!e.detail.empty())
            text += QStringLiteral(" (%1)").arg(Text(e.detail));
        return text;
    }
    case EventKind::CycleTest: {
        QString text = QStringLiteral("%1 steps").arg(e.steps.value_or(0));
        if (ok)
            text += QStringLiteral(", no error");
        else
            text += QStringLiteral(", first error 0x%1 %2")
                        .arg(e.result, 4, 16, QLatin1Char('0'))
                        .arg(ResultWords(e.result));
        if (!e.detail.empty())
            text += QStringLiteral(" (%1)").arg(Text(e.detail));
        return text;
    }
    case EventKind::ConfigImport:
    case EventKind::ConfigExport: {
        const QString name = QFileInfo(Text(e.file)).fileName();
        return e.config ? QStringLiteral("%1: %2").arg(name, ValuesSummary(*e.config)) : name;
    }
    }
    return Text(e.detail);
}

QString LocalTimeText(int64_t ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

records::HistoryQuery DayQuery(uint16_t motorId, const QDate &day)
{
    records::HistoryQuery query;
    query.motorId = motorId;
    query.fromMs = day.startOfDay().toMSecsSinceEpoch();
    query.toMs = day.addDays(1).startOfDay().toMSecsSinceEpoch();
    return query;
}

QDate LocalDay(int64_t ms)
{
    return QDateTime::fromMSecsSinceEpoch(ms).date();
}

Identity IdentityOf(uint16_t motorId, const std::vector<records::Event> &events)
{
    Identity id;
    id.motorId = motorId;
    if (events.empty())
        return id;
    const records::Event &newest = events.front();
    id.address = newest.kind == records::EventKind::AddressChange && newest.newAddress &&
                         newest.result == Result::NoError
                     ? *newest.newAddress
                     : newest.address;
    id.port = newest.origin.port;
    id.station = newest.origin.station;
    id.lastSeenMs = newest.timeMs;
    for (const records::Event &e : events) {
        if (!id.model && e.model)
            id.model = e.model;
        if (!id.firmware && e.firmware)
            id.firmware = e.firmware;
        if (id.model && id.firmware)
            break;
    }
    return id;
}

ReportData CollectReport(const records::RecordStore &store, uint16_t motorId, std::optional<QDate> day)
{
    // Only as many events are read as two pages could list; the rest are
    // counted by the store. A history of 100,000 events then costs what
    // one of a few hundred does.
    ReportData data;
    records::HistoryQuery newest;
    newest.motorId = motorId;
    newest.limit = MaxCollectedEvents;
    std::vector<records::Event> recent = store.History(newest);
    // Who it is, from its newest events (model and firmware from the
    // newest of them that carry them).
    data.identity = IdentityOf(motorId, recent);
    data.config = store.LastKnownConfig(motorId);
    data.day = day;
    if (day) {
        records::HistoryQuery range = DayQuery(motorId, *day);
        range.limit = MaxCollectedEvents;
        data.events = store.History(range);
        data.eventCount = store.Count(range);
    } else {
        data.events = std::move(recent);
        data.eventCount = store.Count(newest);
    }
    data.generatedMs = QDateTime::currentMSecsSinceEpoch();
    data.generatedBy = records::UserName() + " on " + records::StationName();
    return data;
}

QString ReportHtml(const ReportData &data, size_t maxEvents)
{
    const Identity &id = data.identity;
    const QString motor = Escaped(QString::fromStdString(records::MotorIdText(id.motorId)));
    QString html;
    html += QStringLiteral("<html><body style=\"font-family: 'DejaVu Sans', Tahoma, sans-serif; font-size: 9pt;\">");
    html += QStringLiteral("<h2 style=\"margin-bottom: 2px;\">LUMO actuator service report</h2>");
    html += QStringLiteral("<p style=\"margin-top: 0px;\">Motor ID <b>%1</b> &middot; %2 &middot; printed %3 by %4</p>")
                .arg(motor,
                     data.day ? QStringLiteral("events of %1").arg(data.day->toString(Qt::ISODate))
                              : QStringLiteral("the whole history"),
                     Escaped(LocalTimeText(data.generatedMs)), Escaped(QString::fromStdString(data.generatedBy)));

    // `widths` in percent of the table, for a header row; 0 leaves a
    // column its natural width.
    auto cells = [](const QStringList &texts, const char *tag, const std::vector<int> &widths) {
        QString r = QStringLiteral("<tr>");
        for (qsizetype i = 0; i < texts.size(); ++i) {
            const size_t column = static_cast<size_t>(i);
            const QString width =
                column < widths.size() && widths[column] > 0 ? QStringLiteral(" width=\"%1%\"").arg(widths[column])
                                                             : QString();
            r += QStringLiteral("<%1 align=\"left\"%2 style=\"padding: 1px 6px;\">%3</%1>")
                     .arg(QString::fromLatin1(tag), width, Escaped(texts[i]));
        }
        return r + QStringLiteral("</tr>");
    };
    auto row = [&cells](const QStringList &texts) { return cells(texts, "td", {}); };
    auto headerRow = [&cells](const QStringList &texts, const std::vector<int> &widths) {
        return cells(texts, "th", widths);
    };
    const QString table =
        QStringLiteral("<table border=\"1\" cellspacing=\"0\" cellpadding=\"1\" style=\"border-collapse: collapse;\" "
                       "width=\"100%\">");

    html += QStringLiteral("<h3>Actuator</h3>") + table;
    const QString unknown = QStringLiteral("not known");
    html += row({QStringLiteral("Motor ID"), QString::fromStdString(records::MotorIdText(id.motorId))});
    html += row({QStringLiteral("Model"), id.model ? ModelText(*id.model) : unknown});
    html += row({QStringLiteral("Firmware"), id.firmware ? FirmwareText(*id.firmware) : unknown});
    html += row({QStringLiteral("Bus address"), id.address ? QString::number(*id.address) : unknown});
    html += row({QStringLiteral("Port"), id.port.empty() ? unknown : Text(id.port)});
    html += row({QStringLiteral("Station"), id.station.empty() ? unknown : Text(id.station)});
    html += row({QStringLiteral("Last seen"), id.lastSeenMs ? LocalTimeText(id.lastSeenMs) : QStringLiteral("never")});
    html += QStringLiteral("</table>");

    html += QStringLiteral("<h3>Current configuration</h3>");
    if (data.config) {
        html += table + headerRow({QStringLiteral("Setting"), QStringLiteral("Value"), QStringLiteral("Register")},
                                  {30, 40, 30});
        const ActuatorConfig &config = *data.config;
        for (const ConfigWord &w : ConfigWords())
            html += row({QString::fromLatin1(w.caption), ValueText(w, config.*w.word),
                         QStringLiteral("%1 = %2").arg(QString::fromLatin1(w.name)).arg(config.*w.word)});
        html += QStringLiteral("</table>");
    } else {
        html += QStringLiteral("<p>No configuration of this actuator has been read or written yet.</p>");
    }

    html += QStringLiteral("<h3>Events%1</h3>")
                .arg(data.day ? QStringLiteral(" of %1").arg(data.day->toString(Qt::ISODate)) : QString());
    if (data.events.empty() || maxEvents == 0) {
        if (data.eventCount == 0)
            html += QStringLiteral("<p>None.</p>");
        else
            html += QStringLiteral("<p>%1 events are not listed here; the service history holds them.</p>")
                        .arg(data.eventCount);
    } else {
        const size_t shown = std::min(maxEvents, data.events.size());
        // A little smaller, so that most events take one line.
        html += QStringLiteral("<div style=\"font-size: 8pt;\">");
        html += table + headerRow({QStringLiteral("Time"), QStringLiteral("Event"), QStringLiteral("What happened"),
                                   QStringLiteral("Addr."), QStringLiteral("By")},
                                  {20, 17, 43, 8, 12});
        for (size_t i = 0; i < shown; ++i) {
            const records::Event &e = data.events[i];
            // Time, address and who stay on one line; what happened wraps.
            const QString nowrap = QStringLiteral("<td nowrap style=\"padding: 1px 6px;\">%1</td>");
            const QString wraps = QStringLiteral("<td style=\"padding: 1px 6px;\">%1</td>");
            html += QStringLiteral("<tr>") + nowrap.arg(Escaped(LocalTimeText(e.timeMs))) +
                    wraps.arg(Escaped(KindCaption(e.kind))) + wraps.arg(Escaped(EventSummary(e))) +
                    nowrap.arg(e.address) +
                    nowrap.arg(Escaped(Text(e.origin.user) + QStringLiteral(" on ") + Text(e.origin.station))) +
                    QStringLiteral("</tr>");
        }
        html += QStringLiteral("</table></div>");
        if (shown < data.eventCount)
            html += QStringLiteral("<p>%1 earlier events are not listed here; the service history holds them.</p>")
                        .arg(data.eventCount - shown);
    }
    html += QStringLiteral("</body></html>");
    return html;
}

namespace {

// The events table: the document's last table.
QTextTable *EventsTable(QTextDocument &document)
{
    QTextTable *found = nullptr;
    for (QTextFrame *frame : document.rootFrame()->childFrames())
        if (auto *table = qobject_cast<QTextTable *>(frame))
            found = table;
    return found;
}

// How many events fit the first MaxReportPages pages (of `pageHeight`)
// with room left for what follows the table (the note that counts the
// rest), judged from `document`, which lists `laidOut` of them. Rows keep
// whole: the layout moves a row that would cross a page to the next page,
// so where a row starts says which page it is on. When all of them fit,
// the room left is filled with rows of their average height: an estimate,
// which the next layout checks.
size_t EventsThatFit(QTextDocument &document, qreal pageHeight, size_t laidOut)
{
    QTextTable *table = EventsTable(document);
    if (table == nullptr || table->rows() < 2 || laidOut == 0)
        return 0;
    QAbstractTextDocumentLayout *layout = document.documentLayout();
    const qreal limit = MaxReportPages * pageHeight;
    const qreal tableBottom = layout->frameBoundingRect(table).bottom();
    const qreal tail = std::max<qreal>(0, layout->documentSize().height() - tableBottom);
    const auto rowTop = [&](int row) {
        return layout->blockBoundingRect(table->cellAt(row, 0).firstCursorPosition().block()).top();
    };
    const int rows = std::min(table->rows() - 1, static_cast<int>(laidOut));
    // Event i is table row i + 1; it ends where row i + 2 starts (or the
    // table ends). The bottoms grow with i: a binary search finds the last
    // that fits.
    const auto bottomOf = [&](int i) { return i + 2 <= rows ? rowTop(i + 2) : tableBottom; };
    int lo = 0, hi = rows; // the answer lies in [lo, hi]
    while (lo < hi) {
        const int mid = (lo + hi + 1) / 2;
        if (bottomOf(mid - 1) + tail <= limit)
            lo = mid;
        else
            hi = mid - 1;
    }
    if (lo < rows)
        return static_cast<size_t>(lo);
    const qreal average = (tableBottom - rowTop(1)) / rows;
    const qreal room = limit - tail - tableBottom;
    return static_cast<size_t>(rows) + (average > 0 && room > 0 ? static_cast<size_t>(room / average) : 0);
}

} // namespace

bool RenderReportPdf(const ReportData &data, QByteArray *pdf, QString *error, size_t *listed)
{
    QBuffer buffer(pdf);
    if (!buffer.open(QIODevice::WriteOnly)) {
        if (error)
            *error = buffer.errorString();
        return false;
    }
    QPdfWriter writer(&buffer);
    writer.setPageSize(QPageSize(QPageSize::A4));
    writer.setPageMargins(QMarginsF(15, 15, 15, 15), QPageLayout::Millimeter);
    writer.setResolution(300);
    writer.setTitle(QStringLiteral("LUMO actuator service report %1")
                        .arg(QString::fromStdString(records::MotorIdText(data.identity.motorId))));
    writer.setCreator(QStringLiteral("LUMO service tool"));

    // Laid out on the writer itself, so point sizes come out as points on
    // paper and the pages break where the writer's pages do.
    const QRect page = writer.pageLayout().paintRectPixels(writer.resolution());
    QTextDocument document;
    document.documentLayout()->setPaintDevice(&writer);
    const QSizeF pageSize(page.width(), page.height());
    document.setPageSize(pageSize);

    // A first layout with a few events tells how high a row is; the second
    // lists as many as that leaves room for, less one, since rows differ in
    // height. Should that still be too many, where its rows fell says
    // exactly how many fit, and a third layout lists those. A short history
    // takes one layout, a long one two or three, whatever its length.
    constexpr size_t kProbeEvents = 24;
    size_t shown = std::min(data.events.size(), kProbeEvents);
    document.setHtml(ReportHtml(data, shown));
    if (document.pageCount() <= MaxReportPages && shown < data.events.size()) {
        const size_t estimate = EventsThatFit(document, pageSize.height(), shown);
        if (estimate > shown + 1) {
            shown = std::min(estimate - 1, data.events.size());
            document.setHtml(ReportHtml(data, shown));
        }
    }
    if (document.pageCount() > MaxReportPages && shown > 0) {
        shown = std::min(EventsThatFit(document, pageSize.height(), shown), shown - 1);
        document.setHtml(ReportHtml(data, shown));
    }
    // Rows measured in one layout may come out a little higher in the
    // next (the note moves): one event fewer at a time, a row or two at most.
    while (document.pageCount() > MaxReportPages && shown > 0) {
        --shown;
        document.setHtml(ReportHtml(data, shown));
    }
    if (listed)
        *listed = shown;

    QPainter painter;
    if (!painter.begin(&writer)) {
        if (error)
            *error = QStringLiteral("the PDF could not be drawn");
        return false;
    }
    const int pages = document.pageCount();
    for (int p = 0; p < pages; ++p) {
        if (p > 0)
            writer.newPage();
        painter.save();
        const QRectF clip(0, p * pageSize.height(), pageSize.width(), pageSize.height());
        painter.translate(0, -clip.top());
        document.drawContents(&painter, clip);
        painter.restore();
    }
    if (!painter.end() || buffer.size() == 0) {
        if (error)
            *error = QStringLiteral("the PDF could not be drawn");
        return false;
    }
    return true;
}

bool WriteReportPdf(const ReportData &data, const QString &path, QString *error, const WriteOptions &options)
{
    QByteArray pdf;
    QString why;
    std::string reason;
    if (!RenderReportPdf(data, &pdf, &why)) {
        if (error)
            *error = QStringLiteral("Cannot create file \"%1\". %2").arg(path, why);
        return false;
    }
    const std::string native = NativePath(path);
    if (!WriteWholeFile(native, std::string_view(pdf.constData(), static_cast<size_t>(pdf.size())), reason,
                        options)) {
        if (error)
            *error = QStringLiteral("Cannot create file \"%1\". %2").arg(path, SystemText(reason));
        return false;
    }
    return true;
}

QString ProposedReportName(const ReportData &data)
{
    const QDate day = data.day ? *data.day : QDateTime::fromMSecsSinceEpoch(data.generatedMs).date();
    return QString::asprintf("LUMO_MID-0x%04X_report_", static_cast<unsigned>(data.identity.motorId)) +
           day.toString(QStringLiteral("yyyyMMdd")) + QStringLiteral(".pdf");
}

} // namespace servicereport
