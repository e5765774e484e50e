// SPDX-License-Identifier: GPL-3.0-or-later
#include "console/ServiceSetButtonColor.h"

#include <QTimer>

TServiceSetButtonColor::TServiceSetButtonColor(uint32_t timeInMsec, std::function<void()> func,
                                               QObject* context)
    : QObject(context), FtimeInMsec(timeInMsec), FDo(std::move(func))
{
    QTimer::singleShot(static_cast<int>(FtimeInMsec), this, &TServiceSetButtonColor::Execute);
}

void TServiceSetButtonColor::Execute()
{
    if (FDo)
        FDo();
    deleteLater();
}
