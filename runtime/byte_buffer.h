// ByteBuffer: a growable block of bytes for library working storage, with small blocks taken
// from a fixed SmallBlockPool of the library that owns the buffer.
//
// Invariants:
//  1. data == null  <=>  capacity == 0 and size == 0;  0 <= size <= capacity.
//  2. A block belongs to the pool exactly when its address lies inside the pool's slots; that
//     test alone decides how a block is given back.
//  3. Heap blocks carry 128 spare bytes: growth reallocates to the needed size plus 128, and a
//     heap block is shrunk only when more than 256 bytes would lie unused. Reserve is the one
//     exception: it makes room for a size known ahead (a block of exactly that size), and
//     appends within the room keep the block.
//  4. A buffer never ends the program: a block the heap cannot supply makes Allocate and Resize
//     return null (buffer unchanged) and Append return false.
//  5. No lock: a pool is used by one thread at a time.
#pragma once

#include <cstdint>

namespace rt {

class SmallBlockPool {
public:
    static constexpr int kSlots = 96;
    static constexpr int kSlotSize = 512;

    // slotsOn is the library's pool switch, fixed when the program is built.
    explicit constexpr SmallBlockPool(bool slotsOn) : slotsOn_(slotsOn) {}

    bool slotsOn() const { return slotsOn_; }
    std::int32_t usedCount() const { return used_; }
    bool Owns(const void* block) const;
    void* Take();            // the free slot with the lowest index, or null when all used
    void Give(void* block);  // a slot back to the pool

private:
    const bool slotsOn_;
    std::int32_t used_ = 0;             // slots in use, 0 to 96
    unsigned char inUse_[kSlots] = {};  // 1 = slot taken
    alignas(16) unsigned char slots_[kSlots][kSlotSize] = {};
};

class ByteBuffer {
public:
    static constexpr std::int32_t kHeapSpare = 128;
    static constexpr std::int32_t kMaxUnused = 256;

    explicit ByteBuffer(SmallBlockPool& pool) : pool_(&pool) {}
    ~ByteBuffer() { Free(); }
    ByteBuffer(const ByteBuffer&) = delete;
    ByteBuffer& operator=(const ByteBuffer&) = delete;

    // A block for n bytes (size n), whose bytes are undefined. On a buffer that has a block
    // already, this is Resize: the block is kept or moved, and its first bytes with it.
    unsigned char* Allocate(std::int32_t n);
    // Size n, keeping the first min(n, size) bytes; n <= 0 frees the block.
    unsigned char* Resize(std::int32_t n);
    // Adds n bytes at the end; within the capacity the block stays where it is.
    bool Append(const void* source, std::int32_t n);  // null source: n zero bytes
    // Room for n bytes in all, size and contents kept: a heap block of exactly n bytes when the
    // block has less. False, the buffer unchanged, when the heap cannot supply it.
    bool Reserve(std::int32_t n);
    // The n bytes after the end, written in place within the capacity (a read straight into the
    // room that Reserve made), become part of the buffer. False, nothing changed, past the room.
    bool Commit(std::int32_t n);
    // Hands over a heap block, its unused room given back first when more than kMaxUnused bytes
    // lie unused; the buffer is left empty. Null, the buffer unchanged, for a pool slot or none.
    unsigned char* Detach();
    void Free();
    void Release(void* block);  // one block back to the pool or the heap

    unsigned char* data() const { return data_; }
    std::int32_t size() const { return size_; }
    std::int32_t capacity() const { return capacity_; }
    bool inPool() const { return pool_->Owns(data_); }

private:
    unsigned char* HeapBlock(std::int32_t n);

    SmallBlockPool* pool_;           // the owning library's pool
    unsigned char* data_ = nullptr;  // the block, or null
    std::int32_t capacity_ = 0;      // bytes usable at data_
    std::int32_t size_ = 0;          // bytes in use
};

}  // namespace rt
