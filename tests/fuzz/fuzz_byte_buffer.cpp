// ByteBuffer operation sequences against a shadow copy: each three input bytes are one
// operation (Allocate, Resize, Append of input bytes, Append of zeros, Free) and its size.
// Sizes, block ownership and every byte whose value an operation keeps are checked.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "runtime/byte_buffer.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static rt::SmallBlockPool pools[2] = {rt::SmallBlockPool(false), rt::SmallBlockPool(true)};
    rt::SmallBlockPool& pool = pools[size % 2];
    const std::int32_t usedBefore = pool.usedCount();
    {
        rt::ByteBuffer buffer(pool);
        std::vector<unsigned char> shadow;
        for (std::size_t i = 0; i + 2 < size; i += 3) {
            const std::int32_t n = (data[i + 1] << 8 | data[i + 2]) % 5000;
            const int op = data[i] % 5;
            std::size_t kept = shadow.size();  // bytes whose value the operation must keep
            switch (op) {
            case 0:  // Allocate: a fresh buffer's bytes are undefined; an existing one resizes
            case 1:  // Resize: a size of 0 or less frees the block
                if (op == 0 && buffer.data() == nullptr) kept = 0;
                if (n <= 0) {
                    (op == 0 ? buffer.Allocate(n) : buffer.Resize(n));
                    if (buffer.data() != nullptr || buffer.size() != 0) std::abort();
                    shadow.clear();
                } else if (op == 0 ? buffer.Allocate(n) : buffer.Resize(n)) {
                    kept = std::min(kept, static_cast<std::size_t>(n));
                    shadow.resize(static_cast<std::size_t>(n));
                }
                break;
            case 2: {
                std::vector<unsigned char> bytes(static_cast<std::size_t>(n));
                for (std::size_t k = 0; k < bytes.size(); ++k) bytes[k] = data[(i + k) % size];
                if (buffer.Append(bytes.data(), n)) {
                    shadow.insert(shadow.end(), bytes.begin(), bytes.end());
                }
                kept = shadow.size();
                break;
            }
            case 3:
                if (buffer.Append(nullptr, n)) {
                    shadow.resize(shadow.size() + static_cast<std::size_t>(n), 0);
                }
                kept = shadow.size();
                break;
            default:
                buffer.Free();
                shadow.clear();
                kept = 0;
            }
            if (buffer.size() != static_cast<std::int32_t>(shadow.size())) std::abort();
            if (buffer.size() > buffer.capacity()) std::abort();
            if ((buffer.data() == nullptr) != (buffer.capacity() == 0)) std::abort();
            kept = std::min(kept, shadow.size());
            if (kept > 0 && std::memcmp(buffer.data(), shadow.data(), kept) != 0) std::abort();
            // Bytes the operation made without a value: the shadow takes them as they are.
            if (shadow.size() > kept) {
                std::memcpy(shadow.data() + kept, buffer.data() + kept, shadow.size() - kept);
            }
        }
    }
    if (pool.usedCount() != usedBefore) std::abort();  // every slot back in the pool
    return 0;
}
