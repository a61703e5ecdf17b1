#include "store/value_cache.h"

#include <algorithm>
#include <new>
#include <stdexcept>

namespace marrow::store {

Status ValueCache::Init(uint64_t capacity, uint64_t max_bytes) {
  capacity_ = capacity;
  LimitBytes(max_bytes);
  // A capacity of 0 holds one entry; node indices are 32-bit, and no
  // process holds four billion cached values, so room is capped there.
  room_ = std::max<uint64_t>(capacity, 1);
  try {
    if (room_ >= kNil) throw std::bad_alloc();
    index_.reserve(room_);
    nodes_.reserve(room_);
  } catch (const std::exception&) {
    return Failure::OutOfMemory("cannot reserve a value cache of " +
                                std::to_string(capacity) + " entries");
  }
  return {};
}

void ValueCache::LimitBytes(uint64_t max_bytes) {
  max_bytes_ = max_bytes;
  max_value_ =
      max_bytes == kUnbounded ? kUnbounded : max_bytes / kLargeFraction;
  TrimBytes();
}

void ValueCache::EvictOldest() {
  // The list is in tick order, so its oldest end holds the smallest tick.
  uint32_t victim = oldest_;
  index_.erase(nodes_[victim].fp);
  Release(victim);
}

void ValueCache::TrimBytes() {
  while (bytes_ > max_bytes_ && index_.size() > 1) EvictOldest();
}

void ValueCache::Unlink(uint32_t n) {
  Node& node = nodes_[n];
  if (node.newer != kNil)
    nodes_[node.newer].older = node.older;
  else
    newest_ = node.older;
  if (node.older != kNil)
    nodes_[node.older].newer = node.newer;
  else
    oldest_ = node.newer;
  node.newer = node.older = kNil;
}

void ValueCache::PushNewest(uint32_t n) {
  Node& node = nodes_[n];
  node.older = newest_;
  node.newer = kNil;
  if (newest_ != kNil) nodes_[newest_].newer = n;
  newest_ = n;
  if (oldest_ == kNil) oldest_ = n;
}

void ValueCache::Release(uint32_t n) {
  Unlink(n);
  bytes_ -= nodes_[n].value.size();
  std::string().swap(nodes_[n].value);
  free_.push_back(n);
}

const std::string* ValueCache::Lookup(KeyFingerprint fp) {
  if (index_.empty()) return nullptr;
  auto it = index_.find(fp);
  if (it == index_.end()) return nullptr;
  uint32_t n = it->second;
  nodes_[n].tick = ++tick_;
  if (newest_ != n) {
    Unlink(n);
    PushNewest(n);
  }
  return &nodes_[n].value;
}

uint32_t ValueCache::TakeNode(KeyFingerprint fp) {
  uint32_t n;
  if (auto it = index_.find(fp); it != index_.end()) {
    n = it->second;
    Unlink(n);
    return n;
  }
  if (!index_.empty() && index_.size() >= capacity_) {
    n = oldest_;  // evicted: its node, and its buffer, take the new entry
    index_.erase(nodes_[n].fp);
    Unlink(n);
  } else if (!free_.empty()) {
    n = free_.back();
    free_.pop_back();
  } else {
    n = static_cast<uint32_t>(nodes_.size());
    nodes_.emplace_back();
  }
  index_.emplace(fp, n);
  return n;
}

std::string& ValueCache::SetEntry(KeyFingerprint fp,
                                  FunctionRef<void(std::string&)> fill) {
  const uint64_t t = ++tick_;
  const uint32_t n = TakeNode(fp);
  Node& node = nodes_[n];
  bytes_ -= node.value.size();
  fill(node.value);
  bytes_ += node.value.size();
  node.fp = fp;
  node.tick = t;
  PushNewest(n);
  TrimBytes();
  return nodes_[n].value;
}

void ValueCache::Insert(KeyFingerprint fp, std::string value) {
  if (!Admits(value.size())) {
    Remove(fp);
    return;
  }
  SetEntry(fp, [&](std::string& into) { into = std::move(value); });
}

const std::string& ValueCache::InsertCopy(KeyFingerprint fp,
                                          std::string_view value) {
  // A buffer is reused only when it is not much larger than the copy: the
  // bound counts the bytes of the values, not the room behind them.
  return SetEntry(fp, [&](std::string& into) {
    if (into.capacity() > 2 * value.size() + 64) std::string().swap(into);
    into.assign(value);
  });
}

void ValueCache::Insert(KeyFingerprint fp, std::string_view value) {
  if (!Admits(value.size())) {
    Remove(fp);
    return;
  }
  InsertCopy(fp, value);
}

void ValueCache::Remove(KeyFingerprint fp) {
  auto it = index_.find(fp);
  if (it == index_.end()) return;
  uint32_t n = it->second;
  index_.erase(it);
  Release(n);
}

void ValueCache::Clear() {
  index_.clear();
  index_.reserve(room_);  // clear() may hand a large table back
  nodes_.clear();         // keeps the vector's room
  free_.clear();
  newest_ = oldest_ = kNil;
  tick_ = 0;
  bytes_ = 0;
}

uint64_t ValueCache::EntryTick(KeyFingerprint fp) const {
  auto it = index_.find(fp);
  return it == index_.end() ? 0 : nodes_[it->second].tick;
}

}  // namespace marrow::store
