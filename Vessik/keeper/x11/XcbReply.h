#pragma once

#include <cstdlib>
#include <memory>

// Frees an xcb reply, event or error with free(), as xcb requires.
struct XcbFree {
    void operator()(void* p) const noexcept { std::free(p); }
};
template <typename T> using XcbReply = std::unique_ptr<T, XcbFree>;
