// Every I/O call of every operation, failed in turn (ENOSPC, EIO, EACCES),
// interrupted (EINTR where the engine retries) and cut short (transfers).
//
// A failure must come in the operation's form with the injected error's
// kind: set, delete, batches, growth and reads are internal failures; sync
// and persist an I/O error by kind; vacuum a plain OSError, except its
// mapping (internal); open an I/O error by kind, except calls on keys.bin,
// vals.bin and offsets.bin, which are internal. A failed set, batch or
// delete leaves the old value, nothing else changes the content. Every
// change acknowledged before or after the fault survives a power loss once
// a sync returns (a failed sync drops what it could not write, as Linux
// may); the store stays usable (a new set, persist), a power loss after
// that persist keeps every change, and a clean reopen holds exactly the
// successful changes. Interruptions and short transfers change nothing. A
// store opened the multiprocess way reports every I/O failure as an error
// by kind.

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <set>
#include <string_view>

#include "engine/harness.h"

namespace marrow::store::testing {
namespace {

struct Case {
  const char* name;
  const char* base;
  std::vector<Step> setup;  // run before the faults are armed
  std::optional<Step> op;   // none: the fault hits the open
  bool shared = false;      // opened the multiprocess way
};

std::vector<Case> Cases() {
  const std::string block(8000, 'b');
  const std::string placed(40000, 'p');  // written once, named by the log
  return {
      {"open existing", "small", {}, {}},
      {"open new directory", "empty", {}, {}},
      {"open replaying 7 MiB", "replay", {}, {}},
      {"open finishing a vacuum", "committed", {}, {}},
      {"set", "small", {}, Set("k1", "new value")},
      {"set larger than the log buffer, after buffered records",
       "small",
       {Set("b", "buffered")},
       Set("k1", block + block)},
      {"set overflowing a buffer of earlier records",
       "small",
       {Set("b", std::string(4000, 'b'))},
       Set("k1", std::string(6000, 'v'))},
      {"set of a placed value, after buffered records",
       "small",
       {Set("b", "buffered")},
       Set("k1", placed)},
      {"sync of placed values", "small", {Set("p", placed)}, Do(Step::kSync)},
      {"vacuum of a log naming placed values",
       "small",
       {Set("p", placed), Del("k2")},
       Do(Step::kVacuum)},
      {"batch", "small", {Set("b", block)}, Many("m", "v")},
      {"batch larger than the log buffer", "small", {}, Many("m", block)},
      {"batch growing offsets.bin", "growth", {Set("k", "w")}, Many("g", "x")},
      {"sync", "small", {Set("b", block), Many("m", "v")}, Do(Step::kSync)},
      {"sync of a log persist put in place",
       "small",
       {Do(Step::kPersist), Set("a", "v")},
       Do(Step::kSync)},
      {"delete writing out the log", "small", {Set("b", block)}, Del("k2")},
      {"set growing offsets.bin", "growth", {Set("k", "w")}, Set("g", "x")},
      {"get", "small", {}, Do(Step::kGet, "k9")},
      {"get_many", "small", {}, Do(Step::kGetMany, "k7", "k8")},
      {"keys", "small", {}, Do(Step::kKeys)},
      {"persist", "small", {Set("x", "y")}, Do(Step::kPersist)},
      {"vacuum", "big", {Del("k2")}, Do(Step::kVacuum)},
      {"shared: open existing", "small", {}, {}, true},
      {"shared: open of a log naming placed values", "replay", {}, {}, true},
      {"shared: set", "small", {}, Set("k1", block + block), true},
      {"shared: batch", "small", {Set("b", block)}, Many("m", "v"), true},
      {"shared: sync", "small", {Set("b", "v")}, Do(Step::kSync), true},
      {"shared: persist", "small", {Set("x", "y")}, Do(Step::kPersist), true},
      {"shared: vacuum", "small", {Del("k2")}, Do(Step::kVacuum), true},
  };
}

FailureForm ExpectedForm(const Case& c, const MemFs::Traced& call) {
  using F = FailureForm;
  if (c.shared) return F::kIoByKind;
  const auto ends = [&](const char* tail) { return call.path.ends_with(tail); };
  if (!c.op) {
    const bool keys_or_vals = ends("/keys.bin") || ends("/vals.bin");
    return keys_or_vals || ends("/offsets.bin") ? F::kInternal : F::kIoByKind;
  }
  if (c.op->kind == Step::kPersist || c.op->kind == Step::kSync) {
    return F::kIoByKind;
  }
  if (c.op->kind != Step::kVacuum) return F::kInternal;
  const bool map =
      call.call == "mmap" || (call.call == "fstat" && ends("offsets.bin.vac"));
  return map ? F::kInternal : F::kPlainOs;
}

// Runs the case with the n-th call of its operation failing with `error`
// (0: a short transfer; n 0: no fault); returns the operation's calls.
size_t fault_points = 0;  // the faults that fired, in all cases

std::vector<MemFs::Traced> RunCase(const Case& c, uint64_t n, int error) {
  const Base& base = GetBase(c.base);
  std::unique_ptr<MemFs> fs = base.image->Clone();
  Model model = base.model;
  std::unique_ptr<Db> db;
  // Opens the store, which must succeed unless `where` is empty.
  auto open = [&](const std::string& where) -> Status {
    auto opened = c.shared ? Db::OpenShared(kDir, 100, *fs)
                           : Db::Open(kDir, 100, *fs);
    EXPECT_TRUE(opened.ok() || where.empty())
        << where << ": open " << Describe(opened.failure());
    if (!opened.ok()) return opened.take_failure();
    db = std::move(opened.value());
    db->PlaceLargeValues();
    return {};
  };
  if (c.op && !open(c.name).ok()) return {};
  for (const Step& step : c.setup) {
    EXPECT_TRUE(RunStep(*db, step, model).ok()) << c.name;
    ApplyStep(step, model);
  }
  const size_t first = fs->trace().size();
  fs->FailCall(n, error);
  Status status = c.op ? RunStep(*db, *c.op, model) : open("");
  std::vector<MemFs::Traced> calls(fs->trace().begin() + first,
                                   fs->trace().end());
  if (n == 0) return calls;
  const MemFs::Traced& call = calls[n - 1];
  const std::string where = std::string(c.name) + ": call " +
                            std::to_string(n) + " (" + std::string(call.call) +
                            " " + call.path + ") " +
                            (error == 0 ? "short" : std::strerror(error));
  // A one-byte transfer cannot be cut short.
  EXPECT_TRUE(fs->fault_fired() || error == 0) << where;
  fault_points += fs->fault_fired();
  if (status.ok()) {
    if (c.op) ApplyStep(*c.op, model);
  } else {
    const Failure& f = status.failure();
    const std::string why = where + ": " + Describe(f);
    EXPECT_TRUE(error != 0 && error != EINTR) << why;
    EXPECT_EQ(f.form, ExpectedForm(c, call)) << why;
    EXPECT_EQ(f.error.kind, IoError::FromErrno(error).kind) << why;
  }
  fs->FailCall(0, 0);
  // The content, after a clean open if the faulted one failed.
  auto same = [&](const std::string& then) {
    if (!db && !open(where + then).ok()) return false;
    std::string text;
    EXPECT_EQ(Describe(Content(*db, &text)), Describe(model))
        << where << then << text;
    return true;
  };
  if (!same(", then clean")) return calls;
  EXPECT_TRUE(db->Sync().ok()) << where;
  EXPECT_EQ(Reboot(*fs->Crash(Outcome::kNoneReached, 0)), Describe(model))
      << where << ", synced, then a power loss";
  EXPECT_TRUE(db->SetBytes("probe", "p").ok()) << where;
  EXPECT_TRUE(db->Persist().ok()) << where;
  model["probe"] = "p";
  EXPECT_EQ(Reboot(*fs->Crash(Outcome::kAllReached, 0)), Describe(model))
      << where << ", persisted, then a power loss";
  db.reset();
  same(", reopened");
  return calls;
}

class FaultTable : public ::testing::TestWithParam<size_t> {
 protected:
  static void TearDownTestSuite() {
    std::printf("fault table: %zu fault points\n", fault_points);
  }
};

TEST_P(FaultTable, EveryCallFails) {
  const Case c = Cases()[GetParam()];
  // The calls the engine retries after EINTR, and those that move bytes.
  const std::set<std::string_view> retried = {"open",      "write",     "pread",
                                              "pwrite",    "ftruncate", "fsync",
                                              "fdatasync", "flock",
                                              "fcntl"};
  const std::set<std::string_view> transfers = {"write", "pread", "pwrite"};
  const std::vector<MemFs::Traced> calls = RunCase(c, 0, 0);
  for (uint64_t n = 1; n <= calls.size() && !HasFailure(); ++n) {
    const std::string_view kind = calls[n - 1].call;
    for (int error : {ENOSPC, EIO, EACCES, EINTR, 0}) {
      if ((error != EINTR || retried.contains(kind)) &&
          (error != 0 || transfers.contains(kind))) {
        RunCase(c, n, error);
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Operations, FaultTable,
                         ::testing::Range<size_t>(0, Cases().size()));

}  // namespace
}  // namespace marrow::store::testing
