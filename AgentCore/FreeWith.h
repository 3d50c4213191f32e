#pragma once

#include <memory>

namespace core {

// A unique_ptr deleter that calls a C library's release function:
// `using BioPtr = std::unique_ptr<BIO, FreeWith<BIO_free>>;`
template <auto Free> struct FreeWith {
    template <typename T> void operator()(T* p) const { Free(p); }
};

} // namespace core
