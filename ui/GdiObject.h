#pragma once

#include <windows.h>

#include <utility>

// A drawing object (font, brush, pen) that deletes itself when it goes. It converts to its
// handle, so it is passed to the window calls as the handle is.
template <typename Handle> class GdiObject
{
public:
    GdiObject() = default;
    explicit GdiObject(Handle handle) : handle(handle) {}
    ~GdiObject() { Reset(); }
    GdiObject(GdiObject&& other) noexcept : handle(std::exchange(other.handle, nullptr)) {}
    GdiObject& operator=(GdiObject&& other) noexcept
    {
        if (this != &other)
        {
            Reset();
            handle = std::exchange(other.handle, nullptr);
        }
        return *this;
    }
    GdiObject(const GdiObject&) = delete;
    GdiObject& operator=(const GdiObject&) = delete;

    operator Handle() const { return handle; }
    Handle Get() const { return handle; }
    // Deletes the object held, and holds the new one.
    void Reset(Handle replacement = nullptr)
    {
        if (handle)
            DeleteObject(handle);
        handle = replacement;
    }

private:
    Handle handle = nullptr;
};

using FontObject = GdiObject<HFONT>;
