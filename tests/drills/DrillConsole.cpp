// SPDX-License-Identifier: GPL-3.0-or-later
// The whole console program in a process of its own, for the drills that
// signal it: the real start and stop (RunConsole) with a window that starts
// the data log into the file named first on the command line, connects to
// the bridge named second, and on its way out prints how many scope samples
// it handled, so that the drill can tell whether the log holds them all.
#include "console/ConsoleProgram.h"
#include "console/MainUnit.h"

#include "WaitUntil.h"

#include <QListWidget>

#include <cstdint>
#include <cstdio>

namespace {

class TCountingForm : public TMainForm
{
public:
    TCountingForm(TConsoleSession& session, TConsoleEnvironment environment)
        : TMainForm(session, std::move(environment))
    {
        QObject::connect(&State(), &TControllerState::ScopeSample, this,
                         [this](double) { ++FHandled; });
    }
    ~TCountingForm() override
    {
        // The reader is stopped while this class still counts what it
        // delivers; the log stays open for the window's own close.
        DisconnectButtonClick();
        std::printf("handled %llu\n", static_cast<unsigned long long>(FHandled));
        std::fflush(stdout);
    }

private:
    uint64_t FHandled = 0;
};

bool Connect(TMainForm& form, const QString& description)
{
    form.SearchUrzadzenButtonClick();
    if (!WaitUntil([&] { return !form.SearchRunning(); }))
        return false;
    const QList<QListWidgetItem*> found =
        form.DeviceListListBox->findItems(description, Qt::MatchExactly);
    if (found.isEmpty())
        return false;
    form.DeviceListListBox->setCurrentItem(found.first());
    form.ConnectButtonClick();
    return form.StatusLabel->text() == QLatin1String("Connected");
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s LOG-FILE BRIDGE-DESCRIPTION\n", argv[0]);
        return 2;
    }
    const QString logName = QString::fromLocal8Bit(argv[1]);
    const QString description = QString::fromLocal8Bit(argv[2]);
    return RunConsole(argc, argv, [&](TConsoleSession& session) {
        TConsoleEnvironment environment = TConsoleEnvironment::Default();
        environment.AskSaveFileName = [logName](QWidget*, const QString&, const QString&,
                                                const QString&) { return logName; };
        environment.ReportToOperator = [](QWidget*, const QString& title, const QString& text) {
            std::fprintf(stderr, "%s: %s\n", qPrintable(title), qPrintable(text));
        };
        auto form = std::make_unique<TCountingForm>(session, environment);
        // The log starts before the link, so it holds every sample handled.
        form->SaveDataChartToFileCheckBox->click();
        const bool ready = form->IsLogging() && Connect(*form, description);
        std::printf(ready ? "logging\n" : "not logging\n");
        std::fflush(stdout);
        return std::unique_ptr<TMainForm>(std::move(form));
    });
}
