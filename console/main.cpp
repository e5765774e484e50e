// The console program: keeps the machine awake, applies the visual style,
// runs the one window and releases everything in order at exit.
#include "console/MainUnit.h"
#include "console/SleepPreventionUnit.h"
#include "console/StyleUnit.h"

#include <QApplication>
#include <QIcon>
#include <QMessageBox>

#include <memory>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Varnel"));
    QApplication::setApplicationVersion(QStringLiteral(VARNEL_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("varnel"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/pictures/varnel.svg")));

    TSleepPrevention keepAwake;
    keepAwake.Start();

    QString styleError;
    if (!ApplyVisualStyle(app, QStringLiteral("Light"), &styleError))
        QMessageBox::critical(nullptr, QStringLiteral("Varnel"), styleError);

    auto window = std::make_unique<TMainForm>();
    window->show();
    const int result = QApplication::exec();

    keepAwake.Stop();
    window.reset();
    return result;
}
