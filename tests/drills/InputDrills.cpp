// SPDX-License-Identifier: GPL-3.0-or-later
// Where people and disks get it wrong: a data log whose disk fills up, text
// typed into every parameter field, and file names that cannot be written.
#include "ConsoleTestSupport.h"
#include "DrillSupport.h"

#include "console/ScopePanel.h"
#include "widgets/RealSpinEdit.h"

#include <QFile>
#include <QLocale>
#include <QRegularExpression>
#include <QTest>

#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <sys/resource.h>

namespace {

using namespace VarnelDrills;
using namespace std::chrono_literals;

constexpr int LogFlushMsec = 20;

// A window connected to the fake line, with the operator's dialogs
// answered by the test.
class InputDrill : public ::testing::Test
{
protected:
    void SetUp() override
    {
        Bridge->SetDevices({QStringLiteral("KWTP Stand-in")});
        TConsoleEnvironment environment = FakeLineEnvironment(Bridge);
        environment.Timings.LogFlush = LogFlushMsec;
        environment.AskSaveFileName = [this](QWidget*, const QString&, const QString&,
                                             const QString&) { return FileName; };
        environment.ReportToOperator = [this](QWidget*, const QString&, const QString& text) {
            Reports << text;
        };
        Form = std::make_unique<TRecordingForm>(environment);
        Form->show();
        Form->ConnectButtonClick();
        ASSERT_EQ(Form->StatusLabel->text(), "Connected");
    }

    void TearDown() override
    {
        Form->DisconnectButtonClick();
        Form.reset();
    }

    // Scope samples with the raw values first, first + 1, ..., handled.
    void Stream(uint32_t first, uint32_t count)
    {
        const std::size_t expected = Form->Samples.size() + count;
        std::vector<uint8_t> bytes;
        for (uint32_t k = 0; k < count; ++k) {
            const std::vector<uint8_t> frame =
                DeviceFrameValue(1, static_cast<uint16_t>(first + k));
            bytes.insert(bytes.end(), frame.begin(), frame.end());
        }
        Bridge->Feed(bytes);
        ASSERT_TRUE(WaitUntil([&] { return Form->Samples.size() >= expected; }, 10000ms));
        // A few of the log's flushes, which write its lines out.
        RunEventsFor(4 * std::chrono::milliseconds(LogFlushMsec));
    }

    void SetLog(bool on)
    {
        Form->SaveDataChartToFileCheckBox->setChecked(on);
        Form->SaveDataChartToFileCheckBoxClick();
    }

    std::shared_ptr<TFakeLine> Bridge = std::make_shared<TFakeLine>();
    std::unique_ptr<TRecordingForm> Form;
    QString FileName;
    QStringList Reports;
};

// The lines of a file that end with CR LF, and what follows the last one.
QStringList CompleteLines(const QByteArray& content, QByteArray& rest)
{
    QStringList lines;
    qsizetype start = 0;
    for (qsizetype end = content.indexOf("\r\n"); end >= 0; end = content.indexOf("\r\n", start)) {
        lines << QString::fromLatin1(content.mid(start, end - start));
        start = end + 2;
    }
    rest = content.mid(start);
    return lines;
}

QByteArray ReadAll(const QString& name)
{
    QFile file(name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

QString Line(uint32_t raw)
{
    return QString::number(17640 - static_cast<int>(raw));
}

TEST_F(InputDrill, DataLogOnAFullDiskStopsTellsTheOperatorAndKeepsWhatItWrote)
{
    // A file the process may not grow beyond its size limit, started twice:
    // the second log begins with the samples the chart holds.
    struct TCase
    {
        const char* Name;
        rlim_t Limit;
    };
    const TCase cases[] = {
        {"first log", 4000},
        {"second log", 4000},
    };
    uint32_t raw = 0;
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        Reports.clear();
        FileName = QString::fromStdString(RuntimeDirectory() + "/full.txt");
        rlimit old{};
        ::getrlimit(RLIMIT_FSIZE, &old);
        const auto oldSignal = std::signal(SIGXFSZ, SIG_IGN);
        if (c.Limit) {
            rlimit limited = old;
            limited.rlim_cur = c.Limit;
            ::setrlimit(RLIMIT_FSIZE, &limited);
        }

        SetLog(true);
        ASSERT_TRUE(Form->IsLogging());
        // The log begins with the samples on the chart (the last thousand).
        const uint32_t firstLogged = raw >= 1000 ? raw - 1000 : 0;
        // Far more than fits: about 7 bytes a line.
        for (int batch = 0; batch < 20 && Reports.isEmpty(); ++batch, raw += 100)
            Stream(raw, 100);
        ASSERT_TRUE(WaitUntil([&] { return !Reports.isEmpty(); }, 5000ms));
        ::setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, oldSignal);

        // Stopped, and said so once, naming the file.
        EXPECT_FALSE(Form->IsLogging());
        EXPECT_FALSE(Form->SaveDataChartToFileCheckBox->isChecked());
        ASSERT_EQ(Reports.size(), 1);
        EXPECT_TRUE(Reports.first().contains(FileName)) << Reports.first().toStdString();

        // Every line that reached the file is whole and in order; only the
        // last one may be cut where the disk ran out.
        QByteArray rest;
        const QStringList lines = CompleteLines(ReadAll(FileName), rest);
        EXPECT_GT(lines.size(), 100);
        for (qsizetype k = 0; k < lines.size(); ++k)
            ASSERT_EQ(lines[k], Line(firstLogged + static_cast<uint32_t>(k))) << "line " << k;
        EXPECT_TRUE(Line(firstLogged + static_cast<uint32_t>(lines.size()))
                        .startsWith(QString::fromLatin1(rest)));

        // The console runs on: samples are still handled, nothing more reported.
        const std::size_t handled = Form->Samples.size();
        Stream(raw, 50);
        raw += 50;
        EXPECT_EQ(Form->Samples.size(), handled + 50);
        EXPECT_EQ(Reports.size(), 1);
        EXPECT_EQ(Form->StatusLabel->text(), "Connected");
    }
}

TEST_F(InputDrill, FileNamesThatCannotBeWrittenAreReportedAndLoseNothing)
{
    Stream(100, 300);
    const QString good = QString::fromStdString(RuntimeDirectory() + "/good.txt");
    const QString unwritable[] = {
        QStringLiteral("/proc/varnel-drill.txt"),              // a read-only file system
        QStringLiteral("/nonexistent-varnel-directory/x.txt"), // no such directory
        QString::fromStdString(RuntimeDirectory()),            // a directory
        QStringLiteral("/dev/full"),                           // a device
    };
    for (const QString& name : unwritable) {
        SCOPED_TRACE(name.toStdString());
        // The data log.
        Reports.clear();
        FileName = name;
        SetLog(true);
        ASSERT_TRUE(WaitUntil([&] { return !Reports.isEmpty(); }, 5000ms));
        EXPECT_FALSE(Form->IsLogging());
        EXPECT_FALSE(Form->SaveDataChartToFileCheckBox->isChecked());
        ASSERT_EQ(Reports.size(), 1);
        EXPECT_TRUE(Reports.first().contains(name));

        // Saving the chart.
        Reports.clear();
        Form->ScopePanel().SaveChartButtonClick();
        ASSERT_TRUE(WaitUntil([&] { return !Reports.isEmpty(); }, 5000ms));
        ASSERT_EQ(Reports.size(), 1);
        EXPECT_TRUE(Reports.first().contains(name));
    }

    // Nothing was lost: the chart and a log started now hold every sample.
    QStringList expected;
    for (uint32_t raw = 100; raw < 400; ++raw)
        expected << Line(raw);
    FileName = good;
    Form->ScopePanel().SaveChartButtonClick();
    QByteArray rest;
    EXPECT_TRUE(WaitUntil([&] { return CompleteLines(ReadAll(good), rest) == expected; }, 5000ms));
    SetLog(true);
    ASSERT_TRUE(Form->IsLogging());
    Stream(400, 10);
    SetLog(false);
    for (uint32_t raw = 400; raw < 410; ++raw)
        expected << Line(raw);
    EXPECT_TRUE(WaitUntil([&] { return CompleteLines(ReadAll(good), rest) == expected; }, 5000ms));
    EXPECT_TRUE(rest.isEmpty());
}

TEST_F(InputDrill, EveryParameterFieldRefusesTextAndSendsOnlyValuesInItsRange)
{
    using TEdit = TRealSpinEdit* Ui::TMainForm::*;
    using TButton = QPushButton* Ui::TMainForm::*;
    struct TField
    {
        TEdit Edit;
        TButton Button;
        uint8_t Id;
        bool Word; // 16-bit payload, else one byte
        int Multiplier;
    };
    const TField fields[] = {
        {&Ui::TMainForm::PhaseRealSpinEdit, &Ui::TMainForm::SetPhaseButton, 54, true, 1},
        {&Ui::TMainForm::DelayRealSpinEdit, &Ui::TMainForm::SetDelayButton, 56, false, 1},
        {&Ui::TMainForm::PathGainRealSpinEdit, &Ui::TMainForm::SetPathGainButton, 58, true, 1},
        {&Ui::TMainForm::CFTRealSpinEdit, &Ui::TMainForm::SetCFTButton, 60, false, 10},
        {&Ui::TMainForm::PRealSpinEdit, &Ui::TMainForm::SetPButton, 62, false, 1},
        {&Ui::TMainForm::IRealSpinEdit, &Ui::TMainForm::SetIButton, 64, false, 1},
        {&Ui::TMainForm::DRealSpinEdit, &Ui::TMainForm::SetDButton, 66, false, 1},
        {&Ui::TMainForm::PidGainRealSpinEdit, &Ui::TMainForm::SetPIDGainButton, 68, false, 1},
        {&Ui::TMainForm::SetPointRealSpinEdit, &Ui::TMainForm::SetPointButton, 78, false, 1},
        {&Ui::TMainForm::CFTTemp10RealSpinEdit, &Ui::TMainForm::CTFTemp10Button, 84, true, 1},
        {&Ui::TMainForm::CFTTemp40RealSpinEdit, &Ui::TMainForm::CFTTemp40Button, 86, true, 1},
        {&Ui::TMainForm::CFTOffsetRealSpinEdit, &Ui::TMainForm::CFTOffsetButton, 88, true, 1},
        {&Ui::TMainForm::ModulationRealSpinEdit, &Ui::TMainForm::ModulationButton, 92, true, 1},
        {&Ui::TMainForm::FOffsetRealSpinEdit, &Ui::TMainForm::FOffsetButton, 94, true, 1},
    };
    const char* typed[] = {"abc",  "-",   "1e9",  "99999999", "-99999999", "12.99",  "--5.5", "7x8",
                           "0,75", " 3 ", "0x1F", "\xc2\xbd", "1.2.3",     "-0.001", "+4",    "."};

    // The panel as the operator opens it, with the keyboard.
    for (const char* key = "51730264"; *key; ++key)
        Form->FormKeyPress(QChar(*key));
    ASSERT_TRUE(Form->ServicePanel->isVisibleTo(Form.get()));
    Form->StabilizationCheckCheckBox->setChecked(false);
    Form->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(Form.get()));

    const QRegularExpression numberChars(QStringLiteral("^[-+]?[0-9]*([.,][0-9]*)?$"));
    const QString separator = QLocale().decimalPoint();
    for (const TField& field : fields) {
        TRealSpinEdit* edit = Form.get()->*field.Edit;
        QPushButton* button = Form.get()->*field.Button;
        const double low = edit->MinValue();
        const double high = edit->MaxValue();
        for (const char* text : typed) {
            const std::string where = edit->objectName().toStdString() + " <- \"" + text + "\"";
            SCOPED_TRACE(where);
            edit->setFocus();
            edit->selectAll();
            QTest::keyClicks(edit, QString::fromUtf8(text));
            EXPECT_TRUE(numberChars.match(edit->text()).hasMatch())
                << "the field took \"" << edit->text().toStdString() << "\"";

            Bridge->ClearWritten();
            QTest::mouseClick(button, Qt::LeftButton);
            const auto frames = CommandFrames(Bridge->Written());
            ASSERT_EQ(frames.size(), 1u);
            ASSERT_EQ(frames[0][1], field.Id);

            // What the field shows now is a number within its range, and
            // exactly that number, truncated, went out.
            double shown = 0;
            ASSERT_TRUE(TRealSpinEdit::ParseValue(edit->text(), separator, shown))
                << "the field shows \"" << edit->text().toStdString() << "\"";
            if (high > low) {
                EXPECT_GE(shown, low);
                EXPECT_LE(shown, high);
            }
            const auto expected = static_cast<int32_t>(std::trunc(shown * field.Multiplier));
            const int32_t sent = field.Word ? (frames[0][2] << 8 | frames[0][3]) : frames[0][3];
            EXPECT_EQ(sent, expected & (field.Word ? 0xFFFF : 0xFF))
                << "shown " << shown << ", sent " << sent;
            if (!field.Word) {
                EXPECT_EQ(frames[0][2], 0);
            }
        }
    }
}

} // namespace
