// WriteOp: one change of a batch, as callers hand batches to the engine.

#ifndef MARROW_STORE_WRITE_OP_H_
#define MARROW_STORE_WRITE_OP_H_

#include <string>

namespace marrow::store {

// A put of `value` under `key`, or with `erase` a delete of `key`.
struct WriteOp {
  std::string key;
  std::string value;  // empty for a delete
  bool erase = false;
};

}  // namespace marrow::store

#endif  // MARROW_STORE_WRITE_OP_H_
