#pragma once

// Captures what the code under test writes to std::cout and std::cerr while the object lives.

#include <iostream>
#include <sstream>
#include <string>

namespace testing_support
{

class StreamCapture
{
public:
    StreamCapture() : oldOut(std::cout.rdbuf(out.rdbuf())), oldErr(std::cerr.rdbuf(err.rdbuf())) {}
    ~StreamCapture()
    {
        std::cout.rdbuf(oldOut);
        std::cerr.rdbuf(oldErr);
    }
    StreamCapture(const StreamCapture&) = delete;
    StreamCapture& operator=(const StreamCapture&) = delete;

    std::string Out() const { return out.str(); }
    std::string Err() const { return err.str(); }
    void Clear()
    {
        out.str("");
        err.str("");
    }

private:
    std::ostringstream out;
    std::ostringstream err;
    std::streambuf* oldOut;
    std::streambuf* oldErr;
};

} // namespace testing_support
