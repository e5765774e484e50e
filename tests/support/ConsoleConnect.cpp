// SPDX-License-Identifier: GPL-3.0-or-later
#include "ConsoleConnect.h"

#include "WaitUntil.h"

#include "console/MainUnit.h"

#include <QListWidget>

bool ConnectToSimulator(TMainForm& form, const std::string& description)
{
    form.SearchUrzadzenButtonClick();
    if (!WaitUntil([&] { return !form.SearchRunning(); }))
        return false;
    const QList<QListWidgetItem*> found =
        form.DeviceListListBox->findItems(QString::fromStdString(description), Qt::MatchExactly);
    if (found.isEmpty())
        return false;
    form.DeviceListListBox->setCurrentItem(found.first());
    form.ConnectButtonClick();
    return form.StatusLabel->text() == QLatin1String("Connected");
}
