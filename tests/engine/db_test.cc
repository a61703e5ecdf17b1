// The engine end to end through Db on real directories: the files it
// leaves, reopen cycles, damaged files, failed writes and the crash points.

#include "store/db.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <fstream>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "engine/test_util.h"
#include "store/bitmap.h"
#include "store/crash_points.h"
#include "store/fingerprint.h"
#include "store/format.h"
#include "store/wal.h"

namespace marrow::store {
namespace {

using testing::AddU32;
using testing::AddU64;
using testing::Exists;
using testing::Get;
using testing::OpenDb;
using testing::ReadFile;
using testing::SizeOf;
using testing::SortedKeys;
using testing::TempDir;
using testing::Unhex;
using testing::WriteFile;
using testing::InChild;

using Model = std::map<std::string, std::string>;

// Every key of the model reads back its value, from the cache and from the
// files, and len/keys agree; `absent` keys read nothing.
void ExpectContents(Db& db, const Model& model,
                    const std::vector<std::string>& absent = {}) {
  EXPECT_EQ(db.Len(), model.size());
  std::vector<std::string> keys;
  for (const auto& [k, v] : model) keys.push_back(k);
  EXPECT_EQ(SortedKeys(db), keys);
  for (int pass = 0; pass < 2; ++pass) {
    for (const auto& [k, v] : model) {
      std::optional<std::string> got = Get(db, k);
      ASSERT_TRUE(got.has_value()) << "missing " << k;
      ASSERT_EQ(*got, v) << k;
    }
    for (const std::string& k : absent)
      EXPECT_FALSE(Get(db, k).has_value()) << k;
    db.ClearCache();
  }
}

std::string Failing(const Status& s) {
  return s.ok() ? "" : s.failure().Text();
}

template <typename T>
std::string Failing(const Result<T>& r) {
  return r.ok() ? "" : r.failure().Text();
}

// A snapshot file from its fields; bitmaps as lists of members.
std::string SnapshotBytes(
    const std::vector<std::pair<uint64_t, uint32_t>>& index,
    const std::vector<uint32_t>& live, uint32_t next_id, uint64_t keys_end,
    uint64_t vals_end) {
  std::string s;
  AddU64(&s, index.size());
  for (auto [fp, id] : index) {
    AddU64(&s, fp);
    AddU32(&s, id);
  }
  Bitmap bitmap;
  for (uint32_t v : live) bitmap.Add(v);
  for (const std::string& b :
       {bitmap.SerializePortable(), Bitmap().SerializePortable()}) {
    AddU64(&s, b.size());
    s += b;
  }
  AddU32(&s, next_id);
  AddU64(&s, keys_end);
  AddU64(&s, vals_end);
  return s;
}

TEST(DbTest, CrashPointsComeInProtocolOrder) {
  static std::vector<std::string>* seen = new std::vector<std::string>;
  seen->clear();
  SetCrashHook([](const char* point) { seen->push_back(point); });
  TempDir dir;
  {
    auto db = OpenDb(dir.path());
    MARROW_ASSERT_OK(db->SetBytes("a", "1"));
    MARROW_ASSERT_OK(db->Persist());
    MARROW_ASSERT_OK(db->Vacuum());
  }
  SetCrashHook(nullptr);
  EXPECT_EQ(*seen,
            (std::vector<std::string>{
                "persist.synced", "persist.snapshot_written", "persist.renamed",
                "vacuum.copied", "vacuum.log_synced", "vacuum.snapshot_written",
                "vacuum.committed", "vacuum.renamed_keys",
                "vacuum.renamed_vals", "vacuum.renamed_offsets",
                "vacuum.renamed_snapshot", "vacuum.finished"}));
}

TEST(DbTest, ACommittedVacuumIsFinishedByTheNextOpen) {
  // Stop a vacuum right after its commit point, without destructors.
  TempDir dir;
  Model model;
  {
    auto db = OpenDb(dir.path());
    for (int i = 0; i < 50; ++i) {
      model["k" + std::to_string(i)] = std::string(i, 'v');
      MARROW_ASSERT_OK(
          db->SetBytes("k" + std::to_string(i), std::string(i, 'v')));
    }
    MARROW_ASSERT_OK(db->Persist());
    for (int i = 0; i < 50; i += 3) {
      model.erase("k" + std::to_string(i));
      ASSERT_TRUE(db->Delete("k" + std::to_string(i)).ok());
    }
    model["k1"] = "new";
    MARROW_ASSERT_OK(db->SetBytes("k1", "new"));
  }
  const int status = InChild([&]() -> int {
    SetCrashHook([](const char* point) {
      if (std::string(point) == "vacuum.renamed_vals") ::_exit(0);
    });
    auto db = Db::Open(dir.path(), 100);
    if (!db.ok()) return 2;
    (void)db.value()->Vacuum();
    return 3;
  });
  ASSERT_EQ(status, 0);
  ASSERT_TRUE(Exists(dir.File(kSnapshotVacFile)));
  ASSERT_TRUE(Exists(dir.File(kOffsetsVacFile)));
  auto db = OpenDb(dir.path());
  ASSERT_NE(db, nullptr);
  EXPECT_FALSE(Exists(dir.File(kSnapshotVacFile)));
  EXPECT_FALSE(Exists(dir.File(kOffsetsVacFile)));
  ExpectContents(*db, model);
}

TEST(DbTest, SlotsBeyondTheMappingFailWithRangeMessages) {
  TempDir dir;
  // A snapshot whose ids run far past what offsets.bin holds.
  testing::WriteFile(
      dir.File(kSnapshotFile),
      SnapshotBytes({{Fingerprint("k"), 240000}}, {240000}, 250000, 0, 0));
  {
    auto db = OpenDb(dir.path());
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(SizeOf(dir.File(kOffsetsFile)), 4800000u);  // one doubling
    const std::string want =
        "range start index 5760000 out of range for slice of length 4800000";
    std::string ignored;
    auto got = db->GetBytes("k", [&](std::string_view v) { ignored = v; });
    ASSERT_FALSE(got.ok());
    EXPECT_EQ(got.failure().form, FailureForm::kInternalMessage);
    EXPECT_EQ(Failing(got), want);
    EXPECT_EQ(Failing(db->Keys()), want);
    EXPECT_EQ(Failing(db->Vacuum()), want);
    EXPECT_FALSE(Exists(dir.File(kSnapshotVacFile)));
    EXPECT_EQ(db->Len(), 1u);
  }

  // Slot start inside the mapping, end beyond it.
  TempDir odd;
  WriteFile(odd.File(kOffsetsFile), std::string(2400010, '\0'));
  WriteFile(odd.File(kSnapshotFile),
            SnapshotBytes({{Fingerprint("k"), 100000}}, {100000}, 99999, 0, 0));
  {
    auto db = OpenDb(odd.path());
    ASSERT_NE(db, nullptr);
    auto got = db->GetBytes("k", [](std::string_view) {});
    EXPECT_EQ(
        Failing(got),
        "range end index 2400024 out of range for slice of length 2400010");
  }

  // An append whose slot lies beyond even the grown table is refused and
  // rolled back from the log.
  TempDir far;
  WriteFile(far.File(kSnapshotFile), SnapshotBytes({}, {}, 1000000, 0, 0));
  {
    auto db = OpenDb(far.path());
    ASSERT_NE(db, nullptr);
    Status st = db->SetBytes("x", "y");
    EXPECT_EQ(
        Failing(st),
        "range start index 24000000 out of range for slice of length 9600000");
    EXPECT_EQ(db->Len(), 0u);
    EXPECT_FALSE(Get(*db, "x").has_value());
  }
  EXPECT_EQ(SizeOf(far.File(kWalFile)), 0u);
}

TEST(DbTest, AFailedAppendLeavesThePreviousValue) {
  TempDir dir;
  {
    auto db = OpenDb(dir.path());
    MARROW_ASSERT_OK(db->SetBytes("big", std::string(65536, 'b')));
    MARROW_ASSERT_OK(db->Persist());  // empties the log
    MARROW_ASSERT_OK(db->SetBytes("k", "old"));
  }
  const uint64_t vals = SizeOf(dir.File(kValsFile));
  const int status = InChild([&]() -> int {
    auto opened = Db::Open(dir.path(), 100);
    if (!opened.ok()) return 30;
    Db& db = *opened.value();
    // Writes past this size fail with EFBIG instead of a signal.
    ::signal(SIGXFSZ, SIG_IGN);
    rlimit lim{vals + 100, RLIM_INFINITY};
    if (::setrlimit(RLIMIT_FSIZE, &lim) != 0) return 31;
    Status st = db.SetBytes("k", std::string(1000, 'n'));
    if (st.ok()) return 32;
    if (st.failure().form != FailureForm::kInternal ||
        st.failure().error.os_code != EFBIG) {
      return 33;
    }
    std::string v;
    for (int pass = 0; pass < 2; ++pass) {
      auto got = db.GetBytes("k", [&](std::string_view s) { v = s; });
      if (!got.ok() || !got.value() || v != "old") return 34 + pass;
      db.ClearCache();
    }
    if (db.Len() != 2) return 36;
    auto keys = db.Keys();
    if (!keys.ok() || keys.value().size() != 2) return 37;
    lim.rlim_cur = RLIM_INFINITY;
    if (::setrlimit(RLIMIT_FSIZE, &lim) != 0) return 38;
    if (!db.SetBytes("other", "x").ok()) return 39;
    return 0;
  });
  ASSERT_EQ(status, 0);
  // The failed write left nothing in the log that a replay would apply.
  auto db = OpenDb(dir.path());
  ExpectContents(
      *db, {{"big", std::string(65536, 'b')}, {"k", "old"}, {"other", "x"}});
}

}  // namespace
}  // namespace marrow::store
