#include "ReportCommand.h"

#include <QByteArray>
#include <QDate>
#include <QFile>
#include <QGuiApplication>
#include <cstdio>
#include <iostream>
#include <filesystem>
#include <optional>

#include "sidewindows/ServiceReport.h"
#include "records/RecordStore.h"

namespace {

// Qt's own remarks go to stderr as usual, but for the one a machine without
// a desktop session always gets and that says nothing about the report.
void QuietAboutRuntimeDir(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (type == QtWarningMsg && message.startsWith(QStringLiteral("QStandardPaths: XDG_RUNTIME_DIR not set")))
        return;
    std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
}

// The report lays out text, which needs a Qt application for its fonts, and
// nothing is shown: the offscreen platform serves with or without a display.
class OffscreenApplication {
public:
    OffscreenApplication()
    {
        if (QGuiApplication::instance() == nullptr) {
            if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
                qputenv("QT_QPA_PLATFORM", "offscreen");
            qInstallMessageHandler(QuietAboutRuntimeDir);
            app_.emplace(argc_, argv_);
        }
    }

private:
    int argc_ = 1;
    char name_[8] = "lumoctl";
    char *argv_[2] = {name_, nullptr};
    std::optional<QGuiApplication> app_;
};

} // namespace

void RunReport(Output &out, const std::string &recordsPath, const std::string &motorIdText, const std::string &file,
               const std::string &dayText)
{
    const std::optional<uint16_t> motorId = records::ParseMotorId(motorIdText);
    if (!motorId)
        ThrowUsage("the motor ID must be 1 to 4 hexadecimal digits (5A05 or 0x5A05), not '" + motorIdText + "'");
    std::optional<QDate> day;
    if (!dayText.empty()) {
        day = QDate::fromString(QString::fromStdString(dayText), Qt::ISODate);
        if (!day->isValid() || dayText.size() != 10)
            ThrowUsage("--day must be a date as YYYY-MM-DD, not '" + dayText + "'");
    }
    if (recordsPath.empty())
        ThrowUsage("service records are off (--no-records, or LUMO_RECORDS is empty or off): there is nothing to "
                   "report");
    // "-o -", or a name for standard output itself (/dev/stdout): the PDF
    // is standard output, and the summary for people goes to stderr; a JSON
    // document would have no place.
    const bool stdoutIsTheFile = NamesStandardOutput(file);
    if (stdoutIsTheFile && out.json())
        ThrowUsage("-o " + file + " puts the PDF on standard output, where --json puts its document; "
                   "give --json a file name instead");
    if (stdoutIsTheFile)
        out.SayOnStderr();
    const std::string motor = records::MotorIdText(*motorId);
    Json &doc = out.doc();
    doc["motorId"] = motor;
    doc["records"] = recordsPath;
    if (day)
        doc["day"] = dayText;

    // Asking for a report makes no records file where there was none.
    std::error_code ec;
    if (!std::filesystem::exists(recordsPath, ec))
        throw Failure(ExitUsage, "there are no service records at " + recordsPath);
    // Read-only, as for history: a report changes no records file.
    records::RecordStore store(recordsPath, records::Access::Read);
    if (!store.IsOpen())
        throw Failure(store.Damaged() ? ExitDamaged : ExitUsage, store.Problem());

    OffscreenApplication application;
    const servicereport::ReportData data = servicereport::CollectReport(store, *motorId, day);
    if (data.identity.lastSeenMs == 0 && store.Damaged())
        throw Failure(ExitDamaged, store.Damage() + ": no event of motor " + motor + " could be read");
    if (data.identity.lastSeenMs == 0)
        throw Failure(ExitUsage, "motor " + motor + " has no service records in " + recordsPath);
    QString error;
    // Nothing of ours is on standard output yet; a PDF written there must
    // not share it with buffered lines.
    std::cout.flush();
    if (!servicereport::WriteReportPdf(data, QFile::decodeName(QByteArray::fromStdString(file)), &error, WriteOptions{true}))
        throw Failure(ExitUsage, error.toStdString());

    doc["file"] = file;
    doc["events"] = data.eventCount;
    doc["configuration"] = data.config.has_value();
    // Said only now that the whole file is in place.
    out.Say("Service report of motor " + motor + " (" + std::to_string(data.eventCount) +
            (day ? " events of " + dayText : " events") + ") written to " + (file == "-" ? "standard output" : file));
    if (store.Damaged()) {
        doc["damaged"] = true;
        throw Failure(ExitDamaged, store.Damage() + ": the report covers the " + std::to_string(data.eventCount)
                                       + " events that could be read");
    }
}
