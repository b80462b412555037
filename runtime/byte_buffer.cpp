// ByteBuffer and SmallBlockPool.
#include "runtime/byte_buffer.h"

#include <cstring>

#include "platform/platform.h"
#include "platform/check.h"
#include "runtime/memory.h"

namespace rt {

bool SmallBlockPool::Owns(const void* block) const {
    const auto* p = static_cast<const unsigned char*>(block);
    return p >= &slots_[0][0] && p < &slots_[0][0] + sizeof slots_;
}

void* SmallBlockPool::Take() {
    if (used_ >= kSlots) return nullptr;
    for (int i = 0; i < kSlots; ++i) {
        if (!inUse_[i]) {
            inUse_[i] = 1;
            ++used_;
            return slots_[i];
        }
    }
    return nullptr;
}

void SmallBlockPool::Give(void* block) {
    WEBMON_ASSERT(Owns(block));  // invariant 2 of byte_buffer.h: only slots come back here
    auto index = (static_cast<unsigned char*>(block) - &slots_[0][0]) / kSlotSize;
    WEBMON_ASSERT(inUse_[index]);  // a slot given back twice
    if (inUse_[index]) {
        inUse_[index] = 0;
        --used_;
    }
}

unsigned char* ByteBuffer::HeapBlock(std::int32_t n) {
    if (n > INT32_MAX - kHeapSpare) return nullptr;
    return static_cast<unsigned char*>(
        RuntimeHeapAlloc(static_cast<std::uint32_t>(n + kHeapSpare)));
}

namespace {
// Invariant 1 of byte_buffer.h.
[[maybe_unused]] bool Consistent(const unsigned char* data, std::int32_t size,
                                 std::int32_t capacity) {
    return (data == nullptr) == (capacity == 0) && 0 <= size && size <= capacity &&
           (data != nullptr || size == 0);
}
}  // namespace

unsigned char* ByteBuffer::Allocate(std::int32_t n) {
    WEBMON_ASSERT(Consistent(data_, size_, capacity_));
    if (data_) return Resize(n);
    if (n <= 0) return nullptr;
    if (pool_->slotsOn() && n <= SmallBlockPool::kSlotSize) {
        if (void* slot = pool_->Take()) {
            data_ = static_cast<unsigned char*>(slot);
            capacity_ = SmallBlockPool::kSlotSize;
            size_ = n;
            return data_;
        }
    }
    data_ = HeapBlock(n);
    capacity_ = data_ ? n + kHeapSpare : 0;
    size_ = data_ ? n : 0;
    return data_;
}

unsigned char* ByteBuffer::Resize(std::int32_t n) {
    WEBMON_ASSERT(Consistent(data_, size_, capacity_));
    if (n <= 0) {
        Free();
        return nullptr;
    }
    if (!data_) return Allocate(n);
    const bool slot = pool_->Owns(data_);
    if (capacity_ >= n && (slot || capacity_ - n <= kMaxUnused)) {
        size_ = n;
        return data_;
    }
    if (n > INT32_MAX - kHeapSpare) return nullptr;
    if (slot) {
        unsigned char* block = HeapBlock(n);
        if (!block) return nullptr;
        std::memcpy(block, data_, static_cast<std::size_t>(n < size_ ? n : size_));
        Release(data_);
        data_ = block;
    } else {
        void* moved = RuntimeHeapReAlloc(data_, static_cast<std::uint32_t>(n + kHeapSpare));
        if (!moved) return nullptr;
        data_ = static_cast<unsigned char*>(moved);
    }
    capacity_ = n + kHeapSpare;
    size_ = n;
    WEBMON_ASSERT(Consistent(data_, size_, capacity_));
    return data_;
}

bool ByteBuffer::Append(const void* source, std::int32_t n) {
    if (n <= 0) return true;
    const std::int32_t old = size_;
    if (n > INT32_MAX - old) return false;  // the size is a signed 32-bit count
    if (old + n <= capacity_) {
        size_ = old + n;  // room reserved ahead: never shrunk or moved by an append
    } else if (!Resize(old + n)) {
        return false;
    }
    WEBMON_ASSERT(size_ == old + n);
    if (source) {
        std::memcpy(data_ + old, source, static_cast<std::size_t>(n));
    } else {
        std::memset(data_ + old, 0, static_cast<std::size_t>(n));
    }
    return true;
}

bool ByteBuffer::Reserve(std::int32_t n) {
    WEBMON_ASSERT(Consistent(data_, size_, capacity_));
    if (n <= capacity_) return true;
    unsigned char* block;
    if (!data_ || pool_->Owns(data_)) {
        block = static_cast<unsigned char*>(RuntimeHeapAlloc(static_cast<std::uint32_t>(n)));
        if (!block) return false;
        if (data_) std::memcpy(block, data_, static_cast<std::size_t>(size_));
        Release(data_);
    } else {
        block =
            static_cast<unsigned char*>(RuntimeHeapReAlloc(data_, static_cast<std::uint32_t>(n)));
        if (!block) return false;
    }
    data_ = block;
    capacity_ = n;
    WEBMON_ASSERT(Consistent(data_, size_, capacity_));
    return true;
}

bool ByteBuffer::Commit(std::int32_t n) {
    if (n < 0 || n > capacity_ - size_) return false;
    size_ += n;
    return true;
}

unsigned char* ByteBuffer::Detach() {
    if (!data_ || pool_->Owns(data_)) return nullptr;
    if (size_ > 0 && capacity_ - size_ > kMaxUnused) {
        // A smaller block stays in place; should the heap move it instead, it moves.
        if (void* fitted = RuntimeHeapReAlloc(data_, static_cast<std::uint32_t>(size_))) {
            data_ = static_cast<unsigned char*>(fitted);
        }
    }
    unsigned char* block = data_;
    data_ = nullptr;
    size_ = 0;
    capacity_ = 0;
    return block;
}

void ByteBuffer::Release(void* block) {
    if (!block) return;
    if (pool_->Owns(block)) {
        pool_->Give(block);
    } else {
        RuntimeHeapFree(block);
    }
}

void ByteBuffer::Free() {
    Release(data_);
    data_ = nullptr;
    size_ = 0;
    capacity_ = 0;
}

}  // namespace rt
