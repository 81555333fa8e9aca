#include "server/metrics/ProcessFigures.h"

std::optional<ProcessFigures> ReadProcessFigures()
{
    return std::nullopt;
}
