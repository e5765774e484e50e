// SPDX-License-Identifier: GPL-3.0-or-later
#include "protocol/ServiceParameters.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace {

// The controller answers a read request under the request's own id, and a
// parameter's write sits one above its read.
constexpr bool IdsFollowTheFrameRules()
{
    for (const TServiceParameter& parameter : ServiceParameters) {
        const auto read = static_cast<uint8_t>(parameter.Read);
        if (MessageIdByte(parameter.Answer) != read)
            return false;
        if (parameter.Write && static_cast<uint8_t>(*parameter.Write) != read + 1)
            return false;
    }
    return true;
}
static_assert(IdsFollowTheFrameRules());

} // namespace

const TServiceParameter* ServiceParameterByAnswer(uint8_t message)
{
    for (const TServiceParameter& parameter : ServiceParameters)
        if (MessageIdByte(parameter.Answer) == message)
            return &parameter;
    return nullptr;
}

const TServiceParameter* ServiceParameterByCommand(uint8_t command)
{
    for (const TServiceParameter& parameter : ServiceParameters) {
        if (static_cast<uint8_t>(parameter.Read) == command)
            return &parameter;
        if (parameter.Write && static_cast<uint8_t>(*parameter.Write) == command)
            return &parameter;
    }
    return nullptr;
}

const TServiceParameter* ServiceParameterByName(std::string_view name)
{
    for (const TServiceParameter& parameter : ServiceParameters)
        if (parameter.Name == name)
            return &parameter;
    return nullptr;
}

TWireRange WireRange(const TServiceParameter& parameter)
{
    if (parameter.Width == TParamWidth::Byte)
        return parameter.Signed ? TWireRange{-128, 127} : TWireRange{0, 255};
    return parameter.Signed ? TWireRange{-32768, 32767} : TWireRange{0, 65535};
}

int32_t PrepareValue(double value, int32_t multiplier, int32_t offset)
{
    constexpr double low = std::numeric_limits<int32_t>::min();
    constexpr double high = std::numeric_limits<int32_t>::max();
    double product = std::trunc(value * multiplier);
    if (std::isnan(product))
        product = 0;
    const auto whole = static_cast<int64_t>(std::clamp(product, low, high));
    const int64_t sum = whole + offset;
    return static_cast<int32_t>(std::clamp<int64_t>(sum, std::numeric_limits<int32_t>::min(),
                                                    std::numeric_limits<int32_t>::max()));
}

int32_t SendableValue(const TServiceParameter& parameter, double fieldValue, int32_t flagOffset)
{
    const double limited =
        std::isnan(fieldValue) ? 0.0 : std::clamp(fieldValue, parameter.Low, parameter.High);
    const TWireRange wire = WireRange(parameter);
    return std::clamp(PrepareValue(limited, parameter.Scale), wire.Low - flagOffset,
                      wire.High - flagOffset);
}

TPayload ParameterPayload(const TServiceParameter& parameter, int32_t wire)
{
    return parameter.Width == TParamWidth::Byte ? OneBytePayload(wire) : Word16Payload(wire);
}

TParameterReading DecodeAnswer(const TServiceParameter& parameter, uint32_t answer)
{
    TParameterReading reading;
    int64_t whole = answer;
    if (parameter.Signed) {
        whole = parameter.Width == TParamWidth::Byte
                    ? static_cast<int8_t>(static_cast<uint8_t>(answer & 0xFFu))
                    : static_cast<int16_t>(static_cast<uint16_t>(answer & 0xFFFFu));
    } else if (parameter.Flag > 0 && answer > static_cast<uint32_t>(parameter.Flag)) {
        reading.Flag = true;
        whole -= parameter.Flag;
    }
    reading.Value = static_cast<double>(whole) / parameter.Scale;
    return reading;
}
