// SPDX-License-Identifier: GPL-3.0-or-later
#include "RecordingHandlers.h"

#include "protocol/MainThreadCallList.h"

#include <QCoreApplication>

void TRecordingHandlers::CheckThread()
{
    if (!TMainThreadCallList::IsMainThread())
        ++OffMainThread;
}

std::vector<uint8_t> Bytes(std::initializer_list<std::vector<uint8_t>> parts)
{
    std::vector<uint8_t> all;
    for (const auto& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}
