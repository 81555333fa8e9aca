#pragma once

// An output stream that discards everything: what the code under fuzzing logs or prints.

#include <ostream>
#include <streambuf>

class NullStream : public std::ostream
{
public:
    NullStream() : std::ostream(&discard) {}

private:
    class Discard : public std::streambuf
    {
    protected:
        int overflow(int c) override { return c; }
    };
    Discard discard;
};
