// What both fuzz targets need: inputs in blocks of exactly their size, and a
// failed expectation that ends the run the way libFuzzer records a finding.
#ifndef TOLVANE_FUZZ_SUPPORT_H
#define TOLVANE_FUZZ_SUPPORT_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace fuzzing {

// A heap block of exactly `size` bytes: a read even one byte past it is a
// heap overflow under AddressSanitizer, which a larger buffer would hide.
class ExactBlock {
public:
    explicit ExactBlock(std::size_t size) : storage(new std::uint8_t[size]()), length(size) {}
    ExactBlock(const std::uint8_t* bytes, std::size_t size) : ExactBlock(size)
    {
        // No block is that large (new[] would have thrown); saying so keeps
        // GCC from warning about a copy of more.
        if (size > PTRDIFF_MAX)
            std::abort();
        std::copy(bytes, bytes + size, storage.get());
    }

    std::uint8_t* data() { return storage.get(); }
    const std::uint8_t* data() const { return storage.get(); }
    std::size_t size() const { return length; }
    bool sameBytesAs(const ExactBlock& other) const
    {
        return length == other.length &&
               (length == 0 || std::memcmp(storage.get(), other.storage.get(), length) == 0);
    }

private:
    std::unique_ptr<std::uint8_t[]> storage;
    std::size_t length;
};

// abort() rather than an exception: libFuzzer keeps the input that raised
// it, and the corpus replay fails its test.
inline void require(bool holds, const char* what)
{
    if (holds)
        return;
    std::fprintf(stderr, "fuzz expectation failed: %s\n", what);
    std::abort();
}

} // namespace fuzzing

#endif
