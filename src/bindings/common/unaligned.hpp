// Element access at addresses that need not be aligned: buffers from the
// buffer protocol may be unaligned, so elements are copied bytewise, which
// compiles to a plain load or store.
#pragma once

#include <cstring>

namespace velliq {

template <class T>
T load(const char* address) {
    T value;
    std::memcpy(&value, address, sizeof value);
    return value;
}

template <class T>
void store(char* address, T value) {
    std::memcpy(address, &value, sizeof value);
}

}  // namespace velliq
