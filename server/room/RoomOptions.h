#pragma once

#include <cstddef>

// What the room's rules are set by: the part of the server's options the room itself reads.
struct RoomOptions
{
    std::size_t lineRate = 5;         // chat lines and nickname packets a second; 0: no limit
    std::size_t nicknameTimeout = 10; // seconds a connection may stay without a nickname
    std::size_t history = 20;         // chat lines replayed to a newcomer
    std::size_t maxLineBytes = 512;   // the longest chat line relayed
};
