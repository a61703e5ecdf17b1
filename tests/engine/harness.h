// Stores on MemFs driven by step lists and checked against a map model,
// shared by the fault table and the power-loss sweep.

#ifndef MARROW_TESTS_ENGINE_HARNESS_H_
#define MARROW_TESTS_ENGINE_HARNESS_H_

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/mem_fs.h"
#include "store/db.h"

namespace marrow::store::testing {

using Model = std::map<std::string, std::string>;
inline constexpr char kDir[] = "/db";

struct Step {
  // kBatch sets key + "1" to value, key + "2" to value twice, deletes "k2"
  // and sets "k1" to value, in one batch.
  enum Kind {
    kSet,
    kBatch,
    kDel,
    kSync,
    kPersist,
    kVacuum,
    kGet,
    kGetMany,
    kKeys
  };
  Kind kind;
  std::string key, value;
};
inline Step Do(Step::Kind kind, std::string key = {}, std::string value = {}) {
  return {kind, std::move(key), std::move(value)};
}
inline Step Set(std::string k, std::string v) { return Do(Step::kSet, k, v); }
inline Step Many(std::string k, std::string v) {
  return Do(Step::kBatch, k, v);
}
inline Step Del(std::string k) { return Do(Step::kDel, k); }

void ApplyStep(const Step& step, Model& model);
// Does the step make every change before it durable?
bool Durable(const Step& step);
// Runs a step; a read that succeeds must see what `model` holds.
Status RunStep(Db& db, const Step& step, const Model& model);
// Every live key with its value; "" and *error set when a read fails.
Model Content(Db& db, std::string* error);
// Content, or why it cannot be read.
std::string Show(Db& db);
// The content a store rebooted from `fs` shows, or why it cannot be read; a
// reader (which changes nothing) must see the same before the writer opens.
std::string Reboot(MemFs& fs);
std::string Describe(const Failure& f);
std::string Describe(const Model& m);

// A store's files, all durable, and what they hold.
struct Base {
  std::unique_ptr<MemFs> image;
  Model model;
};
// Runs `steps` on a new store and keeps its files.
Base MakeBase(const std::vector<Step>& steps);

// The shared bases: "empty" (no directory), "small" (persisted, with a
// log), "big" (over 1 MiB of live values), "replay" (7 MiB of records, one of them placed),
// "growth" (next_id one below the first growth of offsets.bin),
// "committed" (a vacuum committed but none of its renames done).
const Base& GetBase(const std::string& name);

}  // namespace marrow::store::testing

#endif  // MARROW_TESTS_ENGINE_HARNESS_H_
