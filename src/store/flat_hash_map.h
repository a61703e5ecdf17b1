// FlatHashMap: the engine's hash map, an open-addressing swiss table
// (parallel-hashmap's flat_hash_map, header-only): one control byte per
// slot, slots in one array, prefetch(key) to start loading a lookup's memory.

#ifndef MARROW_STORE_FLAT_HASH_MAP_H_
#define MARROW_STORE_FLAT_HASH_MAP_H_

#include <parallel_hashmap/phmap.h>

namespace marrow::store {

template <class K, class V>
using FlatHashMap = phmap::flat_hash_map<K, V>;

}  // namespace marrow::store

#endif  // MARROW_STORE_FLAT_HASH_MAP_H_
