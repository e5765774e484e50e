// SPDX-License-Identifier: GPL-3.0-or-later
// The colour feedback of the service panel's Set buttons: an action run on the
// main thread a fixed time after a click. Every click makes its own instance,
// which starts at once, releases itself after its action and is never
// cancelled by a later click. The instance belongs to a context object (the
// button) and ends with it, so a pending action never reaches a destroyed
// window.
#pragma once

#include <QObject>

#include <cstdint>
#include <functional>

class TServiceSetButtonColor : public QObject
{
public:
    TServiceSetButtonColor(uint32_t timeInMsec, std::function<void()> func, QObject* context);

private:
    void Execute();

    uint32_t FtimeInMsec;
    std::function<void()> FDo;
};
