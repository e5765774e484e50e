// SPDX-License-Identifier: GPL-3.0-or-later
// The scope chart, the tuning options, the service panel and the data log,
// driven on the real window against a fake line.
#include "ConsoleTestSupport.h"

#include "console/MainUnit.h"
#include "console/ScopePanel.h"
#include "console/ServicePanel.h"
#include "console/SimpleMenuPanel.h"
#include "console/TraceModel.h"
#include "console/model/ConsoleSession.h"
#include "console/model/FileWriter.h"
#include "sim/ControllerModel.h"

#include <QChart>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLineSeries>
#include <QLocale>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QValueAxis>

#include <gtest/gtest.h>

#include <functional>

#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using TFrame = std::array<uint8_t, 5>;

bool WaitFor(const std::function<bool()>& condition, int timeoutMs = 5000)
{
    QElapsedTimer timer;
    timer.start();
    while (!condition()) {
        if (timer.elapsed() > timeoutMs)
            return false;
        QTest::qWait(10);
    }
    return true;
}

QValueAxis* Axis(QChartView* view, Qt::Orientation orientation)
{
    return qobject_cast<QValueAxis*>(view->chart()->axes(orientation).value(0));
}

QByteArray ReadFile(const QString& name)
{
    QFile file(name);
    if (!file.open(QIODevice::ReadOnly))
        return "<unreadable>";
    return file.readAll();
}

void WriteFile(const QString& name, const QByteArray& content)
{
    QFile file(name);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(content);
}

const QColor Green(0x00, 0x80, 0x00);

class ScopeServiceTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        bridge = std::make_shared<TFakeLine>();
        bridge->SetDevices({QStringLiteral("KWTP Test")});
        form = std::make_unique<TMainForm>(Environment());
        ASSERT_TRUE(dir.isValid());
    }

    // The fake line, and the operator's dialogs answered by the test.
    TConsoleEnvironment Environment()
    {
        TConsoleEnvironment environment = FakeLineEnvironment(bridge);
        environment.AskSaveFileName = [this](QWidget*, const QString& proposed,
                                             const QString& filter, const QString& suffix) {
            askedWith = {proposed, filter, suffix};
            return fileName;
        };
        environment.ReportToOperator = [this](QWidget*, const QString&, const QString& text) {
            reports.append(text);
        };
        return environment;
    }

    void TearDown() override
    {
        form.reset();
        QLocale::setDefault(QLocale::c());
    }

    void Connect()
    {
        form->ConnectButtonClick();
        ASSERT_TRUE(form->Session().Connected());
        bridge->ClearWritten();
    }

    std::vector<TFrame> Frames() const { return CommandFrames(bridge->Written()); }

    // The drawn series once it shows count points.
    QList<QPointF> DrawnPoints(QLineSeries* series, qsizetype count)
    {
        EXPECT_TRUE(WaitFor([&] { return series->count() == count; }))
            << "series holds " << series->count();
        return series->points();
    }

    // The scope trace once it paints count samples, as points.
    QList<QPointF> DrawnTrace(qsizetype count)
    {
        const TTraceItem* item = form->ScopePanel().ScopeTrace().Item();
        EXPECT_TRUE(WaitFor([&] { return item->Values().size() == count; }))
            << "trace holds " << item->Values().size();
        QList<QPointF> points;
        for (qsizetype k = 0; k < item->Values().size(); ++k)
            points.append(QPointF(static_cast<double>(k), item->Values()[k]));
        return points;
    }

    QString Path(const QString& name) const { return dir.filePath(name); }

    // Files are written on writers' threads: true once every file the
    // window was writing is closed.
    bool FilesWritten()
    {
        // A saved chart's writer is the window's, the data log's the session's.
        return WaitFor([&] {
            return form->findChildren<TFileWriter*>().isEmpty() &&
                   form->Session().findChildren<TFileWriter*>().isEmpty();
        });
    }

    std::shared_ptr<TFakeLine> bridge;
    std::unique_ptr<TMainForm> form;
    QTemporaryDir dir;
    QString fileName;
    QStringList askedWith;
    QStringList reports;
};

// ---- scope chart

TEST_F(ScopeServiceTest, ScopeSamplesMapToSeventeenSixFortyMinusRawAndSaveWithCrLf)
{
    const std::vector<std::pair<uint32_t, double>> cases = {
        {360, 17280}, {17640, 0}, {34920, -17280}, {0, 17640}, {65535, -47895}};
    for (const auto& [raw, value] : cases)
        form->State().HandleScopeSample(raw);

    const QList<QPointF> points = DrawnTrace(5);
    ASSERT_EQ(points.size(), 5);
    for (size_t k = 0; k < cases.size(); ++k) {
        EXPECT_EQ(points[k].x(), static_cast<double>(k));
        EXPECT_EQ(points[k].y(), cases[k].second) << "raw " << cases[k].first;
    }

    // An existing file is replaced; no header, no X, CR LF after every line,
    // and plain ASCII digits and "-" under locales that group thousands,
    // write a minus other than "-" or have digits of their own.
    const QLocale locales[] = {QLocale(QLocale::German, QLocale::Germany),
                               QLocale(QLocale::Swedish, QLocale::Sweden),
                               QLocale(QLocale::Arabic, QLocale::Egypt)};
    ASSERT_NE(locales[1].negativeSign(), "-");
    ASSERT_NE(locales[2].zeroDigit(), "0");
    for (const QLocale& locale : locales) {
        SCOPED_TRACE(locale.name().toStdString());
        QLocale::setDefault(locale);
        fileName = Path("scope.txt");
        WriteFile(fileName, QByteArray(5000, 'x'));
        form->ScopePanel().SaveChartButtonClick();
        EXPECT_EQ(askedWith, QStringList({"", "", ""}));
        ASSERT_TRUE(FilesWritten());
        EXPECT_EQ(ReadFile(fileName), "17280\r\n0\r\n-17280\r\n17640\r\n-47895\r\n");
        EXPECT_TRUE(reports.isEmpty());
    }
}

TEST_F(ScopeServiceTest, SaveWritesNothingOnCancelAnEmptyFileForAnEmptyChartAndReportsFailures)
{
    fileName.clear();
    form->State().HandleScopeSample(17640);
    form->ScopePanel().SaveChartButtonClick();
    EXPECT_TRUE(reports.isEmpty());
    EXPECT_TRUE(QDir(dir.path()).isEmpty());

    form.reset();
    SetUp();
    fileName = Path("empty.txt");
    form->ScopePanel().SaveChartButtonClick();
    ASSERT_TRUE(FilesWritten());
    EXPECT_TRUE(QFile::exists(fileName));
    EXPECT_EQ(ReadFile(fileName), "");

    fileName = Path("missing/folder/scope.txt");
    form->ScopePanel().SaveChartButtonClick();
    ASSERT_TRUE(FilesWritten());
    ASSERT_EQ(reports.size(), 1);
    EXPECT_TRUE(reports[0].contains("scope.txt")) << reports[0].toStdString();
    EXPECT_TRUE(reports[0].contains("No such file or directory")) << reports[0].toStdString();
}

TEST_F(ScopeServiceTest, TheThousandAndFirstSampleDropsTheFirst)
{
    for (uint32_t raw = 0; raw <= 1000; ++raw)
        form->State().HandleScopeSample(raw);
    // A save right away already holds every sample applied so far.
    fileName = Path("rolled.txt");
    form->ScopePanel().SaveChartButtonClick();
    ASSERT_TRUE(FilesWritten());
    const QList<QByteArray> lines = ReadFile(fileName).split('\n');
    ASSERT_EQ(lines.size(), 1001); // 1000 lines and the empty rest after the last
    EXPECT_EQ(lines.first(), "17639\r");
    EXPECT_EQ(lines[999], "16640\r");

    const QList<QPointF> points = DrawnTrace(1000);
    ASSERT_EQ(points.size(), 1000);
    EXPECT_EQ(points.first(), QPointF(0, 17640 - 1));
    EXPECT_EQ(points.last(), QPointF(999, 17640 - 1000));
}

TEST_F(ScopeServiceTest, EachChartTakesABurstOfSamplesInOneRefresh)
{
    // Samples handled back to back, more than a chart holds, reach it as one
    // refresh of the newest thousand points: the scope's painted trace in
    // one snapshot, its series left empty; the service chart's series in
    // one replace.
    form->ChartCheckBox->setChecked(true);
    const TTraceModel& scope = form->ScopePanel().ScopeTrace();
    QSignalSpy scopeRefreshes(&scope, &TTraceModel::Refreshed);
    for (uint32_t raw = 0; raw < 1500; ++raw)
        form->State().HandleScopeSample(raw);
    const QList<QPointF> drawn = DrawnTrace(1000);
    EXPECT_EQ(scopeRefreshes.size(), 1);
    ASSERT_EQ(drawn.size(), 1000);
    EXPECT_EQ(drawn.first(), QPointF(0, 17640 - 500));
    EXPECT_EQ(drawn.last(), QPointF(999, 17640 - 1499));
    EXPECT_EQ(form->DataSeries->count(), 0);

    QLineSeries* series = form->ServiceSeries;
    QObject counting;
    int replaces = 0;
    int otherChanges = 0;
    QObject::connect(series, &QXYSeries::pointsReplaced, &counting, [&] { ++replaces; });
    QObject::connect(series, &QXYSeries::pointAdded, &counting, [&] { ++otherChanges; });
    QObject::connect(series, &QXYSeries::pointRemoved, &counting, [&] { ++otherChanges; });
    for (uint32_t raw = 0; raw < 1500; ++raw)
        form->State().HandleServiceSample(raw);
    const QList<QPointF> points = DrawnPoints(series, 1000);
    EXPECT_EQ(replaces, 1);
    EXPECT_EQ(otherChanges, 0);
    ASSERT_EQ(points.size(), 1000);
    EXPECT_EQ(points.first().x(), 0);
    EXPECT_EQ(points.last().x(), 999);
}

TEST_F(ScopeServiceTest, ScrollIsAskedPerAxisBeforeItHappens)
{
    struct TCase
    {
        const char* axis;
        double min, max;
        bool allowed;
    };
    const TCase cases[] = {
        {"bottom", 1, 1000, true},      {"bottom", 0, 999, true},
        {"bottom", 0.5, 1000.5, false}, {"bottom", -0.5, 999.5, false},
        {"left", -17280, 17280, false}, {"left", -96, 96, true},
        {"left", -97, 95, false},       {"left", -50, 97, false},
    };
    for (const TCase& c : cases) {
        bool allow = !c.allowed;
        form->ScopePanel().ChartAllowScroll(c.axis, c.min, c.max, allow);
        EXPECT_EQ(allow, c.allowed) << c.axis << " " << c.min << " .. " << c.max;
    }

    // Through the view: at full range no vertical scroll, and the bottom axis
    // stops at its limits.
    TScopeChartView* view = form->Chart;
    QValueAxis* x = Axis(view, Qt::Horizontal);
    QValueAxis* y = Axis(view, Qt::Vertical);
    EXPECT_FALSE(view->ScrollBy(0, 10));
    EXPECT_EQ(y->min(), -17280);
    EXPECT_EQ(y->max(), 17280);
    EXPECT_TRUE(view->ScrollBy(-1, 0));
    EXPECT_EQ(x->min(), 0);
    EXPECT_EQ(x->max(), 999);
    EXPECT_FALSE(view->ScrollBy(-0.5, 0));
    EXPECT_EQ(x->min(), 0);

    // Zoomed into -96 .. 96 the trace scrolls vertically, also by key, by a
    // tenth of the range, as far as the limit.
    view->ZoomToRanges(100, 200, -50, 50);
    QTest::keyClick(view, Qt::Key_Up);
    EXPECT_DOUBLE_EQ(y->min(), -40);
    EXPECT_DOUBLE_EQ(y->max(), 60);
    QTest::keyClick(view, Qt::Key_Left);
    EXPECT_DOUBLE_EQ(x->min(), 90);
    for (int k = 0; k < 5; ++k)
        QTest::keyClick(view, Qt::Key_Up);
    EXPECT_DOUBLE_EQ(y->max(), 90);
}

TEST_F(ScopeServiceTest, ZoomPastTheLimitsReturnsToTheRangesBeforeZooming)
{
    TScopeChartView* view = form->Chart;
    QValueAxis* x = Axis(view, Qt::Horizontal);
    QValueAxis* y = Axis(view, Qt::Vertical);
    // A scroll before zooming belongs to the ranges the undo returns to.
    ASSERT_TRUE(view->ScrollBy(-1, 0));

    view->ZoomToRanges(100, 200, -500, 500);
    EXPECT_EQ(x->min(), 100);
    EXPECT_EQ(x->max(), 200);
    EXPECT_EQ(y->min(), -500);
    EXPECT_EQ(y->max(), 500);

    // Later zooms and scrolls do not move the point the undo returns to.
    view->ZoomToRanges(120, 180, -90, 90);
    ASSERT_TRUE(view->ScrollBy(5, 5));
    view->ZoomToRanges(500, 1001, -500, 500);
    EXPECT_EQ(x->min(), 0);
    EXPECT_EQ(x->max(), 999);
    EXPECT_EQ(y->min(), -17280);
    EXPECT_EQ(y->max(), 17280);
    EXPECT_FALSE(view->IsZoomed());

    view->ZoomToRanges(10, 20, -17281, 0);
    EXPECT_EQ(x->min(), 0);
    EXPECT_EQ(y->min(), -17280);
}

TEST_F(ScopeServiceTest, OperatorZoomsWithTheRubberBandAndUndoesByDraggingLeft)
{
    form->show();
    form->SimpleMenu().NextButtonClick();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    TScopeChartView* view = form->Chart;
    ASSERT_TRUE(WaitFor([&] { return view->chart()->plotArea().width() > 100; }));
    const QRectF plot = view->chart()->plotArea();
    QValueAxis* x = Axis(view, Qt::Horizontal);
    QValueAxis* y = Axis(view, Qt::Vertical);

    const QPoint from = (plot.topLeft() + QPointF(plot.width() / 4, plot.height() / 4)).toPoint();
    const QPoint to = (plot.topLeft() + QPointF(plot.width() / 2, plot.height() / 2)).toPoint();
    QTest::mousePress(view->viewport(), Qt::LeftButton, {}, from);
    QTest::mouseMove(view->viewport(), to);
    QTest::mouseRelease(view->viewport(), Qt::LeftButton, {}, to);
    EXPECT_TRUE(view->IsZoomed());
    EXPECT_NEAR(x->min(), 250, 10);
    EXPECT_NEAR(x->max(), 500, 10);
    EXPECT_NEAR(y->min(), 0, 200);
    EXPECT_NEAR(y->max(), 8640, 200);

    QTest::mousePress(view->viewport(), Qt::LeftButton, {}, to);
    QTest::mouseMove(view->viewport(), from);
    QTest::mouseRelease(view->viewport(), Qt::LeftButton, {}, from);
    EXPECT_FALSE(view->IsZoomed());
    EXPECT_EQ(x->min(), 1);
    EXPECT_EQ(x->max(), 1000);

    // With the chart view's own rubber band on, a press where no item lies
    // crashes the chart view's press handler in this Qt; the view keeps such
    // presses from it.
    view->setRubberBand(QChartView::RectangleRubberBand);
    view->chart()->hide();
    const QPoint inside = plot.center().toPoint();
    const QPoint outside(1, 1);
    ASSERT_EQ(view->itemAt(inside), nullptr);
    ASSERT_EQ(view->itemAt(outside), nullptr);
    for (const QPoint& at : {inside, outside}) {
        for (const Qt::MouseButton button : {Qt::LeftButton, Qt::MiddleButton, Qt::RightButton})
            QTest::mouseClick(view->viewport(), button, {}, at);
    }
}

TEST_F(ScopeServiceTest, TuningOptionsSendOnlyOnTheOperatorsChoice)
{
    Connect();
    // Device reports select items without sending; out of range selects none.
    const std::vector<std::pair<uint32_t, int>> scales = {{3, 2}, {1, 0}, {6, 5}, {0, -1}, {7, -1}};
    for (const auto& [report, index] : scales) {
        form->State().HandleScopeScaleValue(report);
        EXPECT_EQ(form->ScopeScaleComboBox->currentIndex(), index) << "scale " << report;
    }
    const std::vector<std::pair<uint32_t, int>> harmonics = {{2, 2}, {0, 0}, {3, -1}};
    for (const auto& [report, index] : harmonics) {
        form->State().HandleHarmonicValue(report);
        EXPECT_EQ(form->HarmonicComboBox->currentIndex(), index) << "harmonic " << report;
    }
    EXPECT_TRUE(bridge->Written().empty());

    form->ScopeScaleComboBox->setCurrentIndex(4);
    emit form->ScopeScaleComboBox->activated(4);
    form->HarmonicComboBox->setCurrentIndex(2);
    emit form->HarmonicComboBox->activated(2);
    EXPECT_EQ(Frames(),
              (std::vector<TFrame>{BuildCommandFrame(72, 0, 5), BuildCommandFrame(81, 0, 2)}));
}

// ---- service panel

TEST_F(ScopeServiceTest, AccessCodeOpensThePanelAndHideClosesIt)
{
    Connect();
    struct TCase
    {
        const char* typed;
        bool opens;
    };
    const TCase cases[] = {
        {"51730264", true},         {"5173026", false},   {"5173026x51730264", true},
        {"517302651730264", false}, {"x51730264x", true},
    };
    for (const TCase& c : cases) {
        form->Service().HideButtonClick();
        ASSERT_FALSE(form->ServicePanel->isVisibleTo(form.get()));
        for (const char* key = c.typed; *key; ++key)
            form->FormKeyPress(QChar(*key));
        EXPECT_EQ(form->ServicePanel->isVisibleTo(form.get()), c.opens) << c.typed;
        if (c.opens) {
            EXPECT_EQ(form->width(), 1127 + 676 + 18);
            EXPECT_EQ(form->ServicePanel->geometry(), QRect(1821 - 676, 0, 676, form->height()));
        }
    }
    bridge->ClearWritten();
    form->Service().HideButtonClick();
    EXPECT_EQ(Frames(), std::vector<TFrame>{BuildCommandFrame(69, 0, 0)});
    EXPECT_FALSE(form->ServicePanel->isVisibleTo(form.get()));
    EXPECT_EQ(form->width(), 1127 + 12);
}

TEST_F(ScopeServiceTest, ReadSendsTheSixteenRequestsInOrder)
{
    Connect();
    form->Service().ReadParamsButtonClick();
    const std::vector<int> ids = {53, 55, 57, 59, 61, 63, 65, 67, 69, 77, 83, 85, 87, 89, 91, 93};
    EXPECT_EQ(CommandIds(bridge->Written()), ids);
    for (const TFrame& frame : Frames())
        EXPECT_EQ(frame[2] | frame[3], 0);
}

TEST_F(ScopeServiceTest, SetActionsSendWhatTheFieldShowsLimitedToTheFieldAndThePayload)
{
    using TEdit = TRealSpinEdit* Ui::TMainForm::*;
    using TButton = QPushButton* Ui::TMainForm::*;
    struct TField
    {
        TEdit edit;
        TButton button;
        uint8_t id;
    };
    const TField phase{&Ui::TMainForm::PhaseRealSpinEdit, &Ui::TMainForm::SetPhaseButton, 54};
    const TField delay{&Ui::TMainForm::DelayRealSpinEdit, &Ui::TMainForm::SetDelayButton, 56};
    const TField pathGain{&Ui::TMainForm::PathGainRealSpinEdit, &Ui::TMainForm::SetPathGainButton,
                          58};
    const TField cft{&Ui::TMainForm::CFTRealSpinEdit, &Ui::TMainForm::SetCFTButton, 60};
    const TField p{&Ui::TMainForm::PRealSpinEdit, &Ui::TMainForm::SetPButton, 62};
    const TField i{&Ui::TMainForm::IRealSpinEdit, &Ui::TMainForm::SetIButton, 64};
    const TField d{&Ui::TMainForm::DRealSpinEdit, &Ui::TMainForm::SetDButton, 66};
    const TField pidGain{&Ui::TMainForm::PidGainRealSpinEdit, &Ui::TMainForm::SetPIDGainButton, 68};
    const TField setPoint{&Ui::TMainForm::SetPointRealSpinEdit, &Ui::TMainForm::SetPointButton, 78};
    const TField temp10{&Ui::TMainForm::CFTTemp10RealSpinEdit, &Ui::TMainForm::CTFTemp10Button, 84};
    const TField temp40{&Ui::TMainForm::CFTTemp40RealSpinEdit, &Ui::TMainForm::CFTTemp40Button, 86};
    const TField cftOffset{&Ui::TMainForm::CFTOffsetRealSpinEdit, &Ui::TMainForm::CFTOffsetButton,
                           88};
    const TField modulation{&Ui::TMainForm::ModulationRealSpinEdit,
                            &Ui::TMainForm::ModulationButton, 92};
    const TField fOffset{&Ui::TMainForm::FOffsetRealSpinEdit, &Ui::TMainForm::FOffsetButton, 94};
    struct TCase
    {
        const TField& field;
        const char* text; // set as a paste would, unfiltered
        uint8_t A, B;
        double shown; // the field afterwards
        bool stabilization = false;
        bool stepDown = false; // "-" clicked after the text is in
    };
    const TCase cases[] = {
        {phase, "300", 0x01, 0x2C, 300},
        {phase, "-5", 0, 0, 0},
        {phase, "0", 0, 0, 0, false, true},
        {phase, "1e9", 0x01, 0x68, 360},
        {delay, "99.9", 0, 99, 99},
        {delay, "0", 0, 0, 0, false, true},
        {delay, "300", 0, 100, 100},
        {pathGain, "1500", 0x05, 0xDC, 1500},
        {pathGain, "1500", 0x0D, 0xAC, 1500, true},
        {pathGain, "2500", 0x0F, 0xA0, 2000, true},
        {pathGain, "-1e12", 0x07, 0xD0, 0, true},
        {cft, "2.3", 0, 23, 2.3},
        {cft, "12.34", 0, 123, 12.3},
        {cft, "30", 0, 255, 25.5},
        {cft, "-0.5", 0, 0, 0},
        {p, "7", 0, 7, 7},
        {p, "256", 0, 255, 255},
        {i, "300", 0, 255, 255},
        {d, "9", 0, 9, 9},
        {d, "-1", 0, 0, 0},
        {pidGain, "200", 0, 200, 200},
        {pidGain, "300", 0, 255, 255},
        {pidGain, "0", 0, 0, 0, false, true},
        {setPoint, "-5", 0, 0xFB, -5},
        {setPoint, "-200", 0, 0x80, -128},
        {setPoint, "200", 0, 0x7F, 127},
        {setPoint, "127.9", 0, 0x7F, 127},
        {temp10, "1234", 0x04, 0xD2, 1234},
        {temp40, "40000", 0x9C, 0x40, 40000},
        {cftOffset, "65535", 0xFF, 0xFF, 65535},
        {cftOffset, "70000", 0xFF, 0xFF, 65535},
        {modulation, "255", 0, 255, 255},
        {modulation, "256", 0, 255, 255},
        {fOffset, "-250", 0xFF, 0x06, -250},
        {fOffset, "-1.9", 0xFF, 0xFF, -1},
        {fOffset, "-300", 0xFF, 0x06, -250},
    };
    Connect();
    for (const TCase& c : cases) {
        TRealSpinEdit* edit = form.get()->*c.field.edit;
        const std::string where = edit->objectName().toStdString() + " with " + c.text;
        SCOPED_TRACE(where);
        form->StabilizationCheckCheckBox->setChecked(c.stabilization);
        edit->setText(QString::fromLatin1(c.text));
        if (c.stepDown)
            edit->MinusButton()->click();
        bridge->ClearWritten();
        (form.get()->*c.field.button)->click();
        EXPECT_EQ(Frames(), std::vector<TFrame>{BuildCommandFrame(c.field.id, c.A, c.B)});
        EXPECT_DOUBLE_EQ(edit->Value(), c.shown);
        EXPECT_EQ((form.get()->*c.field.button)->palette().color(QPalette::ButtonText), Green);
    }
}

TEST_F(ScopeServiceTest, ExpectedPeaksSendTheRangeInEitherOrderAndNothingWithoutAChoice)
{
    Connect();
    // c .. h: the flags of the peaks at indices 2 to 7.
    const std::vector<std::pair<int, int>> choices = {{7, 2}, {2, 7}};
    for (const auto& [from, to] : choices) {
        form->ExpectedPeaksFromComboBox->setCurrentIndex(from);
        form->ExpectedPeaksToComboBox->setCurrentIndex(to);
        bridge->ClearWritten();
        form->SetExpectedPeaksButton->click();
        EXPECT_EQ(Frames(), std::vector<TFrame>{BuildCommandFrame(70, 0x00, 0xFC)})
            << from << " .. " << to;
    }

    QPushButton* button = form->SetExpectedPeaksButton;
    ASSERT_TRUE(WaitFor([&] { return button->palette().color(QPalette::ButtonText) != Green; }));
    form->ExpectedPeaksToComboBox->setCurrentIndex(-1);
    bridge->ClearWritten();
    form->SetExpectedPeaksButton->click();
    EXPECT_TRUE(bridge->Written().empty());
    EXPECT_NE(button->palette().color(QPalette::ButtonText), Green);
}

TEST_F(ScopeServiceTest, StabilizationCheckSendsPathGainOnTheOperatorsClickOnly)
{
    Connect();
    form->PathGainRealSpinEdit->setValue(1500);
    form->StabilizationCheckCheckBox->click();
    form->StabilizationCheckCheckBox->click();
    EXPECT_EQ(Frames(), (std::vector<TFrame>{BuildCommandFrame(58, 0x0D, 0xAC),
                                             BuildCommandFrame(58, 0x05, 0xDC)}));

    // A path gain report, asked for or not, with the panel hidden or shown,
    // moves the box to the controller's flag and sends nothing: neither back
    // to the controller nor on a later change made by the console.
    struct TReport
    {
        uint32_t value;
        double shown;
        bool ticked;
    };
    const TReport reports[] = {
        {2150, 150, true}, {2000, 2000, false}, {1999, 1999, false}, {0, 0, false}};
    for (const bool panelShown : {false, true}) {
        if (panelShown) {
            for (const QChar key : QStringLiteral("51730264"))
                form->FormKeyPress(key);
        }
        ASSERT_EQ(form->ServicePanel->isVisibleTo(form.get()), panelShown);
        for (const bool tickedBefore : {false, true}) {
            for (const TReport& r : reports) {
                SCOPED_TRACE(std::to_string(r.value) + (panelShown ? ", panel shown" : "") +
                             (tickedBefore ? ", box ticked before" : ""));
                form->StabilizationCheckCheckBox->setChecked(tickedBefore);
                bridge->ClearWritten();
                form->State().HandlePathGainValue(r.value);
                EXPECT_EQ(form->PathGainRealSpinEdit->Value(), r.shown);
                EXPECT_EQ(form->StabilizationCheckCheckBox->isChecked(), r.ticked);
                EXPECT_TRUE(bridge->Written().empty());
            }
        }
    }

    // After a report without the flag, Set sends the path gain without it;
    // the operator's click then sends it with the flag.
    form->State().HandlePathGainValue(2150);
    form->State().HandlePathGainValue(1999);
    bridge->ClearWritten();
    form->SetPathGainButton->click();
    form->StabilizationCheckCheckBox->click();
    EXPECT_EQ(Frames(), (std::vector<TFrame>{BuildCommandFrame(58, 0x07, 0xCF),
                                             BuildCommandFrame(58, 0x0F, 0x9F)}));

    // What a click sends is limited as a Set action limits it: a huge
    // negative pasted path gain, or a report the field cannot hold, sends at
    // most the field's 2000 (with the flag 4000), and the field shows it.
    struct TCase
    {
        const char* name;
        bool tickedBefore;
        std::function<void()> prepare;
        TFrame sent;
    };
    const TCase cases[] = {
        {"report of 65535, box unticked by the click", true,
         [&] { form->State().HandlePathGainValue(65535); }, BuildCommandFrame(58, 0x07, 0xD0)},
        {"pasted -1e12, box ticked by the click", false,
         [&] { form->PathGainRealSpinEdit->setText("-1e12"); }, BuildCommandFrame(58, 0x0F, 0xA0)},
        {"pasted -3000000000, box unticked by the click", true,
         [&] { form->PathGainRealSpinEdit->setText("-3000000000"); },
         BuildCommandFrame(58, 0x07, 0xD0)},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        form->StabilizationCheckCheckBox->setChecked(c.tickedBefore);
        c.prepare();
        form->StabilizationCheckCheckBox->setChecked(c.tickedBefore);
        bridge->ClearWritten();
        form->StabilizationCheckCheckBox->click();
        EXPECT_EQ(Frames(), std::vector<TFrame>{c.sent});
        EXPECT_EQ(form->PathGainRealSpinEdit->Value(), 2000);
    }
}

TEST_F(ScopeServiceTest, AnswersFillTheFieldsWithoutSending)
{
    using THandler = void (TControllerState::*)(uint32_t);
    using TEdit = TRealSpinEdit* Ui::TMainForm::*;
    struct TCase
    {
        THandler handler;
        uint32_t value;
        TEdit edit;
        double shown;
    };
    const TCase cases[] = {
        {&TControllerState::HandlePhaseValue, 360, &Ui::TMainForm::PhaseRealSpinEdit, 360},
        {&TControllerState::HandleDelayValue, 50, &Ui::TMainForm::DelayRealSpinEdit, 50},
        {&TControllerState::HandleCFTValue, 123, &Ui::TMainForm::CFTRealSpinEdit, 12.3},
        {&TControllerState::HandlePValue, 1, &Ui::TMainForm::PRealSpinEdit, 1},
        {&TControllerState::HandleIValue, 2, &Ui::TMainForm::IRealSpinEdit, 2},
        {&TControllerState::HandleDValue, 3, &Ui::TMainForm::DRealSpinEdit, 3},
        {&TControllerState::HandlePIDGainValue, 300, &Ui::TMainForm::PidGainRealSpinEdit, 300},
        {&TControllerState::HandleSetPointValue, 56 + 255 * 256,
         &Ui::TMainForm::SetPointRealSpinEdit, 56},
        {&TControllerState::HandleSetPointValue, 200, &Ui::TMainForm::SetPointRealSpinEdit, -56},
        {&TControllerState::HandleCFTTemp10Value, 65535, &Ui::TMainForm::CFTTemp10RealSpinEdit,
         65535},
        {&TControllerState::HandleCFTTemp40Value, 4000, &Ui::TMainForm::CFTTemp40RealSpinEdit,
         4000},
        {&TControllerState::HandleCFTOffsetValue, 17, &Ui::TMainForm::CFTOffsetRealSpinEdit, 17},
        {&TControllerState::HandleModulationValue, 128, &Ui::TMainForm::ModulationRealSpinEdit,
         128},
    };
    Connect();
    for (const TCase& c : cases) {
        (form->State().*c.handler)(c.value);
        EXPECT_DOUBLE_EQ((form.get()->*c.edit)->Value(), c.shown) << "value " << c.value;
    }
    form->State().HandleCFTRawValue(1234);
    EXPECT_EQ(form->CFTRawLabel->text(), "CFT Raw: 1234");
    EXPECT_TRUE(bridge->Written().empty());
}

TEST_F(ScopeServiceTest, SetCaptionTurnsBackOneSecondAfterEachClick)
{
    QPushButton* button = form->SetPhaseButton;
    const QColor normal = button->palette().color(QPalette::WindowText);
    auto caption = [&] { return button->palette().color(QPalette::ButtonText); };

    QElapsedTimer clock;
    clock.start();
    button->click();
    EXPECT_EQ(caption(), Green);
    QTest::qWait(500);
    ASSERT_EQ(caption(), Green);
    const qint64 secondClick = clock.elapsed();
    button->click();
    // The first click's restore ends the green, not the second one's.
    ASSERT_TRUE(WaitFor([&] { return caption() != Green; }));
    EXPECT_LT(clock.elapsed(), secondClick + 1000);
    EXPECT_GE(clock.elapsed(), 1000);
    EXPECT_EQ(caption(), normal);

    // A restore still pending when the window goes does not touch it.
    button->click();
    form.reset();
    QTest::qWait(1300);
}

TEST_F(ScopeServiceTest, ServiceChartKeepsTheNewestThousandSignedSamplesWhileEnabled)
{
    form->State().HandleServiceSample(5);
    QTest::qWait(100);
    EXPECT_EQ(form->ServiceSeries->count(), 0);

    form->ChartCheckBox->setChecked(true);
    form->State().HandleServiceSample(7);
    for (uint32_t k = 0; k < 999; ++k)
        form->State().HandleServiceSample(k);
    form->State().HandleServiceSample(65535);
    const QList<QPointF> points = DrawnPoints(form->ServiceSeries, 1000);
    ASSERT_EQ(points.size(), 1000);
    EXPECT_EQ(points.first(), QPointF(0, 0));
    EXPECT_EQ(points[998], QPointF(998, 998));
    EXPECT_EQ(points.last(), QPointF(999, -1));
    EXPECT_EQ(Axis(form->ServiceChart, Qt::Vertical)->min(), -1);
    EXPECT_EQ(Axis(form->ServiceChart, Qt::Vertical)->max(), 998);
    EXPECT_EQ(Axis(form->ServiceChart, Qt::Horizontal)->max(), 999);

    form->ChartCheckBox->setChecked(false);
    form->State().HandleServiceSample(1);
    QTest::qWait(100);
    EXPECT_EQ(form->ServiceSeries->points(), points);
}

// ---- data log

TEST_F(ScopeServiceTest, DataLogWritesTheChartThenEveryNewSampleUntilClosed)
{
    // Closed by unticking and by closing the console, each under a locale
    // with a decimal comma and grouped thousands.
    for (const bool untick : {true, false}) {
        SCOPED_TRACE(untick ? "untick" : "close the console");
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        form.reset();
        SetUp();
        for (const uint32_t raw : {0u, 65535u, 17640u})
            form->State().HandleScopeSample(raw);
        fileName = Path(untick ? "untick.txt" : "close.txt");
        WriteFile(fileName, QByteArray(20000, 'x'));

        form->SaveDataChartToFileCheckBox->click();
        EXPECT_EQ(askedWith, QStringList({"Log_", "Log File (*.txt)", "txt"}));
        EXPECT_TRUE(form->IsLogging());
        for (const uint32_t raw : {360u, 34920u})
            form->State().HandleScopeSample(raw);
        if (untick) {
            form->SaveDataChartToFileCheckBox->click();
            EXPECT_FALSE(form->IsLogging());
            form->State().HandleScopeSample(1);
            ASSERT_TRUE(FilesWritten());
        } else {
            form.reset();
        }
        EXPECT_EQ(ReadFile(fileName), "17640\r\n-47895\r\n0\r\n17280\r\n-17280\r\n");
        EXPECT_TRUE(reports.isEmpty());
    }
}

TEST_F(ScopeServiceTest, DataLogReachesTheDiskWhileOpenWhateverTheChartDraws)
{
    // A chart that would not be redrawn for an hour: the log's lines reach
    // the disk on the log's own schedule while it stays open.
    form.reset();
    TConsoleEnvironment environment = Environment();
    environment.Timings.ChartRefresh = 3600 * 1000;
    form = std::make_unique<TMainForm>(environment);
    fileName = Path("open.txt");
    form->SaveDataChartToFileCheckBox->click();
    ASSERT_TRUE(form->IsLogging());
    for (const uint32_t raw : {360u, 17640u, 34920u})
        form->State().HandleScopeSample(raw);

    EXPECT_TRUE(WaitFor([&] { return ReadFile(fileName) == "17280\r\n0\r\n-17280\r\n"; }))
        << ReadFile(fileName).toStdString();
    EXPECT_TRUE(form->IsLogging());
    EXPECT_TRUE(form->ScopePanel().ScopeTrace().Item()->Values().isEmpty());
    EXPECT_TRUE(reports.isEmpty());
}

TEST_F(ScopeServiceTest, DataLogStartThatCannotHappenLeavesTheBoxUnticked)
{
    struct TCase
    {
        const char* name;
        QString file;
        bool withBacklog;
        const char* error;
    };
    const TCase cases[] = {
        {"cancelled", QString(), false, nullptr},
        {"missing folder", Path("missing/log.txt"), false, "No such file or directory"},
        {"a device", QStringLiteral("/dev/full"), true, "device"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        form.reset();
        SetUp();
        reports.clear();
        if (c.withBacklog) {
            for (uint32_t raw = 0; raw < 1000; ++raw)
                form->State().HandleScopeSample(raw);
        }
        fileName = c.file;
        form->SaveDataChartToFileCheckBox->click();
        ASSERT_TRUE(FilesWritten());
        EXPECT_FALSE(form->IsLogging());
        EXPECT_FALSE(form->SaveDataChartToFileCheckBox->isChecked());
        if (c.error) {
            ASSERT_EQ(reports.size(), 1);
            EXPECT_TRUE(reports[0].contains(c.error)) << reports[0].toStdString();
            EXPECT_TRUE(reports[0].contains(QFileInfo(c.file).fileName()));
        } else {
            QTest::qWait(50);
            EXPECT_TRUE(reports.isEmpty());
        }
    }
}

TEST_F(ScopeServiceTest, DataLogStopsOnAFullDiskAndTheConsoleRunsOn)
{
    // A disk that fills up: the process may not grow a file beyond a few
    // kilobytes.
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto oldSignal = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = old;
    limited.rlim_cur = 4000;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    fileName = Path("full.txt");
    form->SaveDataChartToFileCheckBox->click();
    ASSERT_TRUE(form->IsLogging());
    for (uint32_t raw = 0; raw < 2000; ++raw)
        form->State().HandleScopeSample(raw);

    const bool reported = WaitFor([&] { return !reports.isEmpty(); });
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldSignal);
    ASSERT_TRUE(reported);
    EXPECT_EQ(reports.size(), 1);
    EXPECT_TRUE(reports[0].contains("full.txt")) << reports[0].toStdString();
    EXPECT_TRUE(reports[0].contains("File too large")) << reports[0].toStdString();
    EXPECT_FALSE(form->IsLogging());
    EXPECT_FALSE(form->SaveDataChartToFileCheckBox->isChecked());
    // What reached the file is the samples in order.
    const QList<QByteArray> lines = ReadFile(fileName).split('\n');
    ASSERT_GT(lines.size(), 100);
    for (qsizetype k = 0; k + 1 < lines.size(); ++k)
        ASSERT_EQ(lines[k], QByteArray::number(17640 - k) + "\r") << "line " << k;

    form->State().HandleScopeSample(17640);
    DrawnTrace(1000);
    QTest::qWait(100);
    EXPECT_EQ(reports.size(), 1);
}

TEST_F(ScopeServiceTest, NamesThatAreNoRegularFileAreRefusedWithoutWaitingForThem)
{
    // A pipe nobody reads would hold an open for writing until a reader
    // comes; one with a reader, a device or a folder would take the lines
    // elsewhere. Each is refused, the operator told why, the window never
    // waits, and it still closes.
    const QString fifo = Path("pipe");
    ASSERT_EQ(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
    const QString readFifo = Path("read-pipe");
    ASSERT_EQ(::mkfifo(QFile::encodeName(readFifo).constData(), 0600), 0);
    const int reader = ::open(QFile::encodeName(readFifo).constData(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    struct TCase
    {
        const char* name;
        QString file;
        const char* reason;
    };
    const TCase cases[] = {
        {"a pipe nobody reads", fifo, "pipe"},
        {"a pipe with a reader", readFifo, "pipe"},
        {"a device", QStringLiteral("/dev/null"), "device"},
        {"a folder", dir.path(), "folder"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        for (uint32_t raw = 0; raw < 10; ++raw)
            form->State().HandleScopeSample(raw);
        fileName = c.file;
        reports.clear();
        form->SaveDataChartToFileCheckBox->click();
        form->ScopePanel().SaveChartButtonClick();
        // The window goes on handling samples while the files are tried.
        form->State().HandleScopeSample(17640);
        ASSERT_TRUE(WaitFor([&] { return reports.size() == 2; }));
        ASSERT_TRUE(FilesWritten());
        for (const QString& report : reports) {
            EXPECT_TRUE(report.contains(QDir::toNativeSeparators(c.file))) << report.toStdString();
            EXPECT_TRUE(report.contains(c.reason)) << report.toStdString();
        }
        EXPECT_FALSE(form->IsLogging());
        EXPECT_FALSE(form->SaveDataChartToFileCheckBox->isChecked());
    }
    char byte = 0;
    EXPECT_LE(::read(reader, &byte, 1), 0);
    ::close(reader);
    QFileInfo pipe(fifo);
    EXPECT_FALSE(pipe.isFile());
    EXPECT_TRUE(QFileInfo(dir.path()).isDir());
    form.reset();
}

// ---- against the controller model

TEST_F(ScopeServiceTest, ReadSetAndLogAgainstTheControllerModelAtTheLinesFullRate)
{
    // The model hears what the console writes; its output is fed back every
    // few milliseconds. The scope ramps its raw value by one per sample at
    // the line's full rate, so a lost or doubled sample shows in the log.
    VarnelSim::TModelOptions options;
    options.ScopeRate = 768;
    options.ServiceRate = 50;
    options.ScopePattern = VarnelSim::_sp_ramp;
    options.MaxBacklog = 1 << 24;
    VarnelSim::TControllerModel model(options);
    auto line = std::make_unique<TModelLine>(*bridge, model);
    Connect();
    form->ChartCheckBox->setChecked(true);
    fileName = Path("ramp.txt");
    form->SaveDataChartToFileCheckBox->click();
    ASSERT_TRUE(form->IsLogging());

    // Read fills every field with the controller's values; the f offset,
    // answered last, shows when all have come.
    form->FOffsetRealSpinEdit->setText("7");
    form->Service().ReadParamsButtonClick();
    ASSERT_TRUE(WaitFor([&] {
        return form->FOffsetRealSpinEdit->text() == "0" &&
               form->CFTRawLabel->text().startsWith("CFT Raw: ");
    }));
    const std::vector<std::pair<TRealSpinEdit*, double>> read = {
        {form->PhaseRealSpinEdit, 180},
        {form->DelayRealSpinEdit, 20},
        {form->PathGainRealSpinEdit, 1200},
        {form->CFTRealSpinEdit, 23.5},
        {form->PRealSpinEdit, 40},
        {form->IRealSpinEdit, 12},
        {form->DRealSpinEdit, 3},
        {form->PidGainRealSpinEdit, 100},
        {form->CFTTemp10RealSpinEdit, 1000},
        {form->CFTTemp40RealSpinEdit, 3000},
        {form->ModulationRealSpinEdit, 128}};
    for (const auto& [edit, value] : read)
        EXPECT_DOUBLE_EQ(edit->Value(), value) << edit->objectName().toStdString();
    EXPECT_FALSE(form->StabilizationCheckCheckBox->isChecked());

    // Each Set reaches the controller, as reading back shows.
    form->PhaseRealSpinEdit->setText("200");
    form->CFTRealSpinEdit->setText("24.1");
    form->SetPointRealSpinEdit->setText("-5");
    form->FOffsetRealSpinEdit->setText("-250");
    form->PathGainRealSpinEdit->setText("1500");
    form->ExpectedPeaksFromComboBox->setCurrentIndex(7);
    form->ExpectedPeaksToComboBox->setCurrentIndex(2);
    for (QPushButton* button : {form->SetPhaseButton, form->SetCFTButton, form->SetPointButton,
                                form->FOffsetButton, form->SetExpectedPeaksButton})
        button->click();
    form->StabilizationCheckCheckBox->click();
    form->PathGainRealSpinEdit->setText("0");
    form->FOffsetRealSpinEdit->setText("0");
    form->Service().ReadParamsButtonClick();
    ASSERT_TRUE(WaitFor([&] { return form->FOffsetRealSpinEdit->text() == "-250"; }));
    EXPECT_DOUBLE_EQ(form->PhaseRealSpinEdit->Value(), 200);
    EXPECT_DOUBLE_EQ(form->CFTRealSpinEdit->Value(), 24.1);
    EXPECT_DOUBLE_EQ(form->SetPointRealSpinEdit->Value(), -5);
    EXPECT_DOUBLE_EQ(form->PathGainRealSpinEdit->Value(), 1500);
    EXPECT_TRUE(form->StabilizationCheckCheckBox->isChecked());
    EXPECT_EQ(model.ParameterValue(57), 3500);
    EXPECT_EQ(model.ParameterValue(69), 0xFC);

    // The trace fills, the service chart too, and the log holds every sample.
    ASSERT_TRUE(WaitFor(
        [&] { return form->ScopePanel().ScopeTrace().Item()->Values().size() == 1000; }, 20000));
    ASSERT_TRUE(WaitFor([&] { return form->ServiceSeries->count() > 10; }));
    ASSERT_TRUE(WaitFor([&] { return model.Stats().ScopeSamplesSent >= 2000; }, 20000));
    form->SaveDataChartToFileCheckBox->click();
    line.reset();
    ASSERT_TRUE(FilesWritten());

    const QList<QByteArray> lines = ReadFile(fileName).split('\n');
    ASSERT_GE(lines.size(), 1000);
    EXPECT_TRUE(lines.last().isEmpty());
    int gaps = 0;
    for (qsizetype k = 1; k + 1 < lines.size(); ++k) {
        const int previous = lines[k - 1].trimmed().toInt();
        const int value = lines[k].trimmed().toInt();
        const bool next = value == previous - 1 || (previous == -47895 && value == 17640);
        gaps += next ? 0 : 1;
    }
    EXPECT_EQ(gaps, 0);
    EXPECT_EQ(model.Stats().PeriodicFramesSkipped, 0u);
    EXPECT_EQ(form->State().CRCErrorCounter, 0u);
    EXPECT_TRUE(reports.isEmpty());
}

} // namespace
