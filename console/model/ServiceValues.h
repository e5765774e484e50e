// SPDX-License-Identifier: GPL-3.0-or-later
// The controller's parameters as last read back: one reading per row of the
// parameter table, kept for the connection they were read on, and a signal
// for each that comes, so that the service panel shows what the controller
// has and never keeps a copy of its own.
#pragma once

#include "protocol/ServiceParameters.h"

#include <QObject>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

class TServiceValues : public QObject
{
    Q_OBJECT

public:
    explicit TServiceValues(QObject* parent = nullptr);

    // The answer to a row's read request, as the controller sent it.
    void Take(const TServiceParameter& parameter, uint32_t answer);
    // Forgets every reading (a new connection).
    void Clear();

    // The row's last reading on this connection; none before its answer.
    std::optional<TParameterReading> Reading(const TServiceParameter& parameter) const;
    // The row's last answer as it came (the measured values the panel shows
    // as they are).
    std::optional<uint32_t> Answer(const TServiceParameter& parameter) const;

    static std::size_t RowOf(const TServiceParameter& parameter);

signals:
    // A row's answer came, decoded: the value in the field's unit and the
    // flag it carried.
    void ValueRead(const TServiceParameter* parameter, TParameterReading reading, uint32_t answer);

private:
    std::array<std::optional<uint32_t>, ServiceParameters.size()> FAnswers;
};
