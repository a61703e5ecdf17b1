// ValueCache: a bounded, least-recently-used cache of values keyed by
// KeyFingerprint.
//
// Recency is one access tick that advances on every hit and every insert;
// each entry keeps the tick of its last use, so the entry evicted is the one
// with the smallest tick. Entries are also kept on a recency list in tick
// order, so the victim is found in O(1) instead of by a scan. A capacity of
// 0 still holds one entry.
//
// A cache may also be bounded in bytes (the package's stores are; the raw
// class's are not): the values it holds add up to at most that many bytes
// (one entry is always kept), and a value larger than a fraction of the
// bound is not cached at all, since a read of it from the record files
// costs one copy, as a hit does.
//
// Thread-safety: none; the Store's lock guards it (reads mutate it).

#ifndef MARROW_STORE_VALUE_CACHE_H_
#define MARROW_STORE_VALUE_CACHE_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "store/error.h"
#include "store/fingerprint.h"
#include "store/flat_hash_map.h"
#include "store/function_ref.h"

namespace marrow::store {

class ValueCache {
 public:
  ValueCache() = default;

  static constexpr uint64_t kUnbounded = UINT64_MAX;
  // Values above max_bytes / kLargeFraction are not cached.
  static constexpr uint64_t kLargeFraction = 1024;

  // Reserves room for `capacity` entries. Fails with kOutOfMemory when the
  // room cannot be had.
  Status Init(uint64_t capacity, uint64_t max_bytes = kUnbounded);
  // Sets the byte bound and evicts down to it.
  void LimitBytes(uint64_t max_bytes);
  uint64_t max_bytes() const { return max_bytes_; }
  // Would a value of `len` bytes be cached?
  bool Admits(size_t len) const { return len <= max_value_; }

  // On a hit: advances the tick, stamps the entry and returns its bytes,
  // valid until the next change of the cache. On a miss: nullptr, nothing
  // changes.
  const std::string* Lookup(KeyFingerprint fp);
  // Is `fp` cached? Changes nothing.
  bool Contains(KeyFingerprint fp) const {
    return !index_.empty() && index_.contains(fp);
  }
  // Starts loading the memory a Lookup or Insert of `fp` touches.
  void Prefetch(KeyFingerprint fp) const { index_.prefetch(fp); }
  // Takes the value. Evicts the least recently used entry first when the
  // cache is full and `fp` is not cached, and more after it while the bytes
  // are over their bound. A value the cache does not admit only removes
  // `fp`'s entry.
  void Insert(KeyFingerprint fp, std::string value);
  // Insert of a copy of `value`, for a value the cache admits: the copy
  // goes into the buffer of the entry it replaces or evicts where that fits
  // (a cold read then allocates nothing). Returns the cached bytes, valid
  // until the next change of the cache.
  const std::string& InsertCopy(KeyFingerprint fp, std::string_view value);
  // Insert of a copy of `value` (InsertCopy when the cache admits it).
  void Insert(KeyFingerprint fp, std::string_view value);
  void Remove(KeyFingerprint fp);
  // Drops every entry, keeps the reserved room, resets the tick.
  void Clear();

  uint64_t size() const { return index_.size(); }
  uint64_t capacity() const { return capacity_; }
  uint64_t tick() const { return tick_; }
  // The tick of `fp`'s entry, or 0 when it is not cached (for tests).
  uint64_t EntryTick(KeyFingerprint fp) const;

 private:
  static constexpr uint32_t kNil = UINT32_MAX;

  struct Node {
    KeyFingerprint fp = 0;
    uint64_t tick = 0;
    std::string value;
    uint32_t newer = kNil;  // towards the most recent
    uint32_t older = kNil;  // towards the least recent
  };

  void Unlink(uint32_t n);
  void PushNewest(uint32_t n);
  void Release(uint32_t n);
  void EvictOldest();
  void TrimBytes();
  // The node for `fp`, unlinked and indexed: its own, the evicted oldest
  // one's when the cache is full, or a free or new one.
  uint32_t TakeNode(KeyFingerprint fp);
  // Makes `fill`'s value fp's newest entry; returns the cached bytes.
  std::string& SetEntry(KeyFingerprint fp,
                        FunctionRef<void(std::string&)> fill);

  FlatHashMap<KeyFingerprint, uint32_t> index_;
  std::vector<Node> nodes_;
  std::vector<uint32_t> free_;
  uint32_t newest_ = kNil;
  uint32_t oldest_ = kNil;
  uint64_t capacity_ = 0;
  uint64_t room_ = 1;
  uint64_t tick_ = 0;
  uint64_t bytes_ = 0;  // of the cached values
  uint64_t max_bytes_ = kUnbounded;
  uint64_t max_value_ = kUnbounded;
};

}  // namespace marrow::store

#endif  // MARROW_STORE_VALUE_CACHE_H_
