#include "RecordingHandlers.h"

#include "protocol/MainThreadCallList.h"

#include <QCoreApplication>
#include <QThread>

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

bool RunMainThreadUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        QCoreApplication::processEvents(QEventLoop::AllEvents);
        if (condition())
            return true;
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        QThread::msleep(1);
    }
}
