// SPDX-License-Identifier: GPL-3.0-or-later
#include "console/model/MetricsText.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

namespace {

class TPage
{
public:
    void Family(const char* name, const char* type, const char* help)
    {
        FText += "# HELP ";
        FText += name;
        FText += ' ';
        FText += help;
        FText += "\n# TYPE ";
        FText += name;
        FText += ' ';
        FText += type;
        FText += '\n';
    }

    // A value that is not known (NaN) has no sample.
    void Sample(const char* name, double value, const QByteArray& labels = QByteArray())
    {
        if (std::isnan(value))
            return;
        FText += name;
        if (!labels.isEmpty()) {
            FText += '{';
            FText += labels;
            FText += '}';
        }
        FText += ' ';
        FText += Number(value);
        FText += '\n';
    }

    void One(const char* name, const char* type, const char* help, double value)
    {
        Family(name, type, help);
        Sample(name, value);
    }

    QByteArray Text() const { return FText; }

private:
    static QByteArray Number(double value)
    {
        if (std::isinf(value))
            return value > 0 ? "+Inf" : "-Inf";
        // Whole numbers (counters, codes) without a fraction or exponent, up
        // to where a double stops holding every integer.
        if (value == std::floor(value) && std::fabs(value) < 9007199254740992.0)
            return QByteArray::number(static_cast<qint64>(value));
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "%.17g", value);
        return buffer;
    }

    QByteArray FText;
};

QByteArray Label(const char* name, const QString& value)
{
    return QByteArray(name) + "=\"" + EscapeLabelValue(value) + '"';
}

} // namespace

uint64_t TMetricsTotals::TCounter::Total(uint64_t count)
{
    if (count < Last)
        Before += Last;
    Last = count;
    return Before + count;
}

void TMetricsTotals::Total(TConsoleFacts& f)
{
    f.CRCErrors = static_cast<uint32_t>(
        std::min<uint64_t>(FCRCErrors.Total(f.CRCErrors), std::numeric_limits<uint32_t>::max()));
    f.LineOverrunErrors = FOverrun.Total(f.LineOverrunErrors);
    f.LineParityErrors = FParity.Total(f.LineParityErrors);
    f.LineFramingErrors = FFraming.Total(f.LineFramingErrors);
    f.LineBreakErrors = FBreak.Total(f.LineBreakErrors);
    TLockSupervisionFacts& l = f.Supervision;
    l.OperatorLocks = FOperatorLocks.Total(l.OperatorLocks);
    l.LockLosses = FLosses.Total(l.LockLosses);
    l.Relocks = FRelocks.Total(l.Relocks);
    l.RelockFailures = FRelockFailures.Total(l.RelockFailures);
    l.RelockAttemptsFailed = FRelockAttemptsFailed.Total(l.RelockAttemptsFailed);
}

QByteArray EscapeLabelValue(const QString& value)
{
    QByteArray out;
    const QByteArray utf8 = value.toUtf8();
    out.reserve(utf8.size());
    for (char c : utf8) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

QByteArray FormatMetrics(const TMetricsSnapshot& s)
{
    const TConsoleFacts& f = s.Facts;
    const TLockSupervisionFacts& l = s.Facts.Supervision;
    TPage page;

    page.Family("varnel_info", "gauge",
                "The console and the bridge it has open (empty while not connected).");
    page.Sample("varnel_info", 1,
                Label("device", f.Device) + ',' + Label("serial", f.DeviceSerialNumber) + ',' +
                    Label("version", s.Version));
    page.One("varnel_connected", "gauge", "1 while the console has a controller open.",
             f.Connected ? 1 : 0);
    page.One("varnel_locked", "gauge", "1 while the controller reports the laser locked.",
             f.Locked ? 1 : 0);
    page.One("varnel_status_code", "gauge", "The controller's last status code.", f.StatusCode);
    page.Family("varnel_locked_peak_info", "gauge",
                "The peak the laser is locked onto, once the lock report named it.");
    if (f.Locked && !f.LockedPeak.isEmpty())
        page.Sample("varnel_locked_peak_info", 1, Label("peak", f.LockedPeak));

    page.One("varnel_keep_locked", "gauge", "1 while the console relocks a lost lock itself.",
             l.KeepLocked ? 1 : 0);
    page.Family("varnel_lock_state", "gauge",
                "Where lock supervision stands: 1 for the current state.");
    for (std::size_t i = 0; i < MetricsLockStateNames.size(); ++i)
        page.Sample("varnel_lock_state",
                    l.LockState == QLatin1String(MetricsLockStateNames[i]) ? 1 : 0,
                    Label("state", QString::fromLatin1(MetricsLockStateNames[i])));

    page.One("varnel_lock_duration_seconds", "gauge", "How long the current lock has held.",
             l.LockDurationSeconds);
    page.Family("varnel_locked_fraction", "gauge",
                "Fraction of the time with a link spent locked, over a window; absent until the "
                "controller was heard.");
    page.Sample("varnel_locked_fraction", l.LockedFractionHour,
                Label("window", QStringLiteral("1h")));
    page.Sample("varnel_locked_fraction", l.LockedFractionDay,
                Label("window", QStringLiteral("24h")));
    page.One("varnel_operator_locks_total", "counter",
             "Locks reached after the operator's command.", static_cast<double>(l.OperatorLocks));
    page.One("varnel_lock_losses_total", "counter", "Locks lost.",
             static_cast<double>(l.LockLosses));
    page.One("varnel_relocks_total", "counter", "Lost locks the console relocked.",
             static_cast<double>(l.Relocks));
    page.One("varnel_relock_failures_total", "counter",
             "Lost locks the console failed to relock: it gave up after its attempts.",
             static_cast<double>(l.RelockFailures));
    page.One("varnel_relock_attempts_failed_total", "counter",
             "Single relock attempts that failed; a relock may succeed after some.",
             static_cast<double>(l.RelockAttemptsFailed));
    page.One("varnel_last_relock_seconds", "gauge",
             "Time from the last loss to its relock; absent before the first relock.",
             l.LastRelockSeconds);
    page.One("varnel_slowest_relock_seconds", "gauge",
             "The longest time from a loss to its relock over the last 24 h; absent without one.",
             l.SlowestRelockSeconds);

    page.One("varnel_tuning_mirror_percent", "gauge", "Position of the tuning mirror.",
             f.TuningMirror);
    page.One("varnel_stabilization_mirror_percent", "gauge",
             "Position of the stabilization mirror.", f.StabilizationMirror);
    page.One("varnel_stabilization_headroom_percent", "gauge",
             "Distance of the stabilization mirror to its nearer rail; absent without a position.",
             l.StabilizationHeadroomPercent);
    page.One("varnel_cft_temperature_celsius", "gauge", "The CFT temperature.", f.CFT);
    page.One("varnel_error_signal_rms", "gauge",
             "RMS of the scope samples about their mean over the last second; absent unless "
             "locked with samples.",
             l.ErrorSignalRms);

    page.One("varnel_crc_errors_total", "counter", "Frames with a bad checksum.", f.CRCErrors);
    page.Family("varnel_line_errors_total", "counter",
                "Errors the bridge met on its serial line, per kind.");
    page.Sample("varnel_line_errors_total", static_cast<double>(f.LineOverrunErrors),
                Label("kind", QStringLiteral("overrun")));
    page.Sample("varnel_line_errors_total", static_cast<double>(f.LineParityErrors),
                Label("kind", QStringLiteral("parity")));
    page.Sample("varnel_line_errors_total", static_cast<double>(f.LineFramingErrors),
                Label("kind", QStringLiteral("framing")));
    page.Sample("varnel_line_errors_total", static_cast<double>(f.LineBreakErrors),
                Label("kind", QStringLiteral("break")));
    page.One("varnel_scope_samples_total", "counter", "Scope samples received.",
             static_cast<double>(s.ScopeSamples));
    page.One("varnel_data_log_write_failures_total", "counter",
             "Data log files that failed to write.", static_cast<double>(s.DataLogWriteFailures));
    page.One("varnel_link_losses_total", "counter", "Links to the controller lost.",
             static_cast<double>(s.LinkLosses));
    page.One("varnel_controller_working_seconds", "gauge",
             "The controller's working-time counter, as it reports it.", 60.0 * f.WorkingTime);
    return page.Text();
}
