#include "server/metrics/ServerFigures.h"

std::string NotReadyReason(const ServerFigures& figures)
{
    if (!figures.listening)
        return "not listening for clients";
    if (figures.tls && figures.tls->certificateNotAfter == 0)
        return "no usable TLS certificate";
    if (figures.engine && !figures.engine->up)
        return "not connected to the engine that carries the room";
    return "";
}
