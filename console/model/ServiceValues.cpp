// SPDX-License-Identifier: GPL-3.0-or-later
#include "console/model/ServiceValues.h"

TServiceValues::TServiceValues(QObject* parent) : QObject(parent) {}

std::size_t TServiceValues::RowOf(const TServiceParameter& parameter)
{
    return static_cast<std::size_t>(&parameter - ServiceParameters.data());
}

void TServiceValues::Take(const TServiceParameter& parameter, uint32_t answer)
{
    FAnswers.at(RowOf(parameter)) = answer;
    emit ValueRead(&parameter, DecodeAnswer(parameter, answer), answer);
}

void TServiceValues::Clear()
{
    FAnswers.fill(std::nullopt);
}

std::optional<uint32_t> TServiceValues::Answer(const TServiceParameter& parameter) const
{
    return FAnswers.at(RowOf(parameter));
}

std::optional<TParameterReading> TServiceValues::Reading(const TServiceParameter& parameter) const
{
    const std::optional<uint32_t> answer = Answer(parameter);
    if (!answer)
        return std::nullopt;
    return DecodeAnswer(parameter, *answer);
}
