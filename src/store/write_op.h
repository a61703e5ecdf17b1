// WriteOp and WriteView: one change of a batch, as callers hand batches to
// the engine.

#ifndef MARROW_STORE_WRITE_OP_H_
#define MARROW_STORE_WRITE_OP_H_

#include <string>
#include <string_view>

namespace marrow::store {

// A put of `value` under `key`, or with `erase` a delete of `key`.
struct WriteOp {
  std::string key;
  std::string value;  // empty for a delete
  bool erase = false;
};

// The same change over bytes the caller owns and leaves unchanged until the
// commit returns: a batch then costs no copy of its keys and values before
// they reach the log.
struct WriteView {
  std::string_view key;
  std::string_view value;  // empty for a delete
  bool erase = false;
};

}  // namespace marrow::store

#endif  // MARROW_STORE_WRITE_OP_H_
