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

// Runs `body` in a forked child and returns its exit status (or 128 + the
// signal that ended it).
template <typename Fn>
int InChild(Fn body) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(body());
  int status = 0;
  EXPECT_EQ(::waitpid(pid, &status, 0), pid);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
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

TEST(DbTest, LogOfPutThenDeleteIsThirtySixBytes) {
  TempDir dir;
  {
    auto db = OpenDb(dir.path());
    ASSERT_NE(db, nullptr);
    MARROW_ASSERT_OK(db->SetBytes("a", "xy"));
    auto deleted = db->Delete("a");
    ASSERT_TRUE(deleted.ok());
    EXPECT_TRUE(deleted.value());
    EXPECT_EQ(SizeOf(dir.File(kWalFile)), 0u);  // still buffered
  }
  EXPECT_EQ(ReadFile(dir.File(kWalFile)),
            Unhex("00000000 0100000000000000 61 0200000000000000 7879"
                  "01000000 0100000000000000 61"));
  {
    auto db = OpenDb(dir.path());
    ASSERT_NE(db, nullptr);
    auto deleted = db->Delete("never");
    ASSERT_TRUE(deleted.ok());
    EXPECT_FALSE(deleted.value());
    EXPECT_EQ(db->Len(), 0u);
  }
  // Deleting an absent key is logged too.
  EXPECT_EQ(SizeOf(dir.File(kWalFile)), 36u + 12u + 5u);
}

TEST(DbTest, PersistWritesTheExactSnapshot) {
  TempDir dir;
  auto db = OpenDb(dir.path());
  ASSERT_NE(db, nullptr);
  MARROW_ASSERT_OK(db->Persist());
  EXPECT_EQ(SizeOf(dir.File(kSnapshotFile)), 60u);
  EXPECT_FALSE(Exists(dir.File(kSnapshotTempFile)));

  MARROW_ASSERT_OK(db->SetBytes("a", "xy"));
  MARROW_ASSERT_OK(db->Persist());
  std::string want;
  AddU64(&want, 1);
  AddU64(&want, Fingerprint("a"));
  AddU32(&want, 0);
  AddU64(&want, 18);
  want += Unhex("3a300000 01000000 00000000 10000000 0000");
  AddU64(&want, 8);
  want += Unhex("3a30000000000000");
  AddU32(&want, 1);
  AddU64(&want, 1);
  AddU64(&want, 2);
  EXPECT_EQ(ReadFile(dir.File(kSnapshotFile)), want);
  EXPECT_EQ(SizeOf(dir.File(kWalFile)), 0u);

  MARROW_ASSERT_OK(db->Persist());
  EXPECT_EQ(ReadFile(dir.File(kSnapshotFile)), want);
}

TEST(DbTest, ReopenCycles) {
  TempDir dir;
  Model model;
  std::vector<std::string> gone;
  std::mt19937 rng(99);
  auto churn = [&](Db& db, int n) {
    for (int i = 0; i < n; ++i) {
      const std::string key = "k" + std::to_string(rng() % 300);
      if (rng() % 4 == 0) {
        auto d = db.Delete(key);
        ASSERT_TRUE(d.ok());
        EXPECT_EQ(d.value(), model.erase(key) == 1) << key;
        gone.push_back(key);
      } else {
        std::string val(rng() % 600, static_cast<char>('a' + rng() % 26));
        MARROW_ASSERT_OK(db.SetBytes(key, val));
        model[key] = val;
      }
    }
    std::erase_if(gone,
                  [&](const std::string& k) { return model.contains(k); });
  };
  auto reopen = [&](const char* step) {
    SCOPED_TRACE(step);
    auto db = OpenDb(dir.path());
    ASSERT_NE(db, nullptr);
    ExpectContents(*db, model, gone);
  };

  {
    auto db = OpenDb(dir.path());
    churn(*db, 1000);
  }
  reopen("log only");
  {
    auto db = OpenDb(dir.path());
    MARROW_ASSERT_OK(db->Persist());
  }
  reopen("after persist");
  {
    auto db = OpenDb(dir.path());
    churn(*db, 500);
  }
  reopen("after persist plus writes");
  {
    auto db = OpenDb(dir.path());
    MARROW_ASSERT_OK(db->Vacuum());
    EXPECT_EQ(db->GetCacheStats().entries, 0u);
    ExpectContents(*db, model, gone);
  }
  reopen("after vacuum");
  {
    auto db = OpenDb(dir.path());
    churn(*db, 500);
    MARROW_ASSERT_OK(db->Vacuum());
    churn(*db, 200);
  }
  reopen("after vacuum plus writes");
}

TEST(DbTest, KeysAfterReopenFromASnapshot) {
  TempDir dir;
  {
    auto db = OpenDb(dir.path());
    MARROW_ASSERT_OK(db->SetBytes("a", "1"));
    MARROW_ASSERT_OK(db->SetBytes("b\xc3\xa9", "2"));
    MARROW_ASSERT_OK(db->SetBytes("c", "3"));
    MARROW_ASSERT_OK(db->Persist());
    MARROW_ASSERT_OK(db->SetBytes("a", "4"));  // log only
  }
  auto db = OpenDb(dir.path());
  // Ascending record id: b and c from the snapshot, then the rewritten a.
  auto keys = db->Keys();
  ASSERT_TRUE(keys.ok());
  EXPECT_EQ(keys.value(), (std::vector<std::string>{"b\xc3\xa9", "c", "a"}));
  EXPECT_EQ(Get(*db, "a"), "4");
}

TEST(DbTest, ATornLogTailIsCutSoLaterWritesSurvive) {
  TempDir dir;
  {
    auto db = OpenDb(dir.path());
    MARROW_ASSERT_OK(db->SetBytes("a", "1"));
    MARROW_ASSERT_OK(db->SetBytes("b", "2"));
  }
  const uint64_t whole = SizeOf(dir.File(kWalFile));
  std::string torn;
  EncodeWalPut("lost", "value", &torn);
  WriteFile(dir.File(kWalFile),
            ReadFile(dir.File(kWalFile)) + torn.substr(0, 15));
  {
    auto db = OpenDb(dir.path());
    ASSERT_NE(db, nullptr);
    ExpectContents(*db, {{"a", "1"}, {"b", "2"}}, {"lost"});
    EXPECT_EQ(SizeOf(dir.File(kWalFile)), whole);
    MARROW_ASSERT_OK(db->SetBytes("c", "3"));
  }
  auto db = OpenDb(dir.path());
  ExpectContents(*db, {{"a", "1"}, {"b", "2"}, {"c", "3"}}, {"lost"});
}

TEST(DbTest, PersistWithARecordSplitAcrossTheLogBuffer) {
  TempDir dir;
  Model model;
  {
    auto db = OpenDb(dir.path());
    // The second record straddles the 8192-byte buffer: its head reaches
    // the file, its tail stays buffered until persist.
    model["fill"] = std::string(8000, 'f');
    model["split"] = std::string(1000, 's');
    for (const auto& [k, v] : model) MARROW_ASSERT_OK(db->SetBytes(k, v));
    ASSERT_GT(SizeOf(dir.File(kWalFile)), 0u);
    MARROW_ASSERT_OK(db->Persist());
    EXPECT_EQ(SizeOf(dir.File(kWalFile)), 0u);
    model["after"] = "persist";
    MARROW_ASSERT_OK(db->SetBytes("after", "persist"));
  }
  std::string log;
  EncodeWalPut("after", "persist", &log);
  EXPECT_EQ(ReadFile(dir.File(kWalFile)), log);
  auto db = OpenDb(dir.path());
  ExpectContents(*db, model);
}

TEST(DbTest, VacuumLeavesExactlyTheLiveRecords) {
  TempDir dir;
  auto db = OpenDb(dir.path());
  MARROW_ASSERT_OK(db->SetBytes("a", "1"));
  MARROW_ASSERT_OK(db->SetBytes("b", "22"));
  MARROW_ASSERT_OK(db->SetBytes("a", "333"));
  ASSERT_TRUE(db->Delete("b").ok());
  MARROW_ASSERT_OK(db->Vacuum());
  EXPECT_EQ(ReadFile(dir.File(kKeysFile)), "a");
  EXPECT_EQ(ReadFile(dir.File(kValsFile)), "333");
  const std::string offsets = ReadFile(dir.File(kOffsetsFile));
  ASSERT_EQ(offsets.size(), 2400000u);
  EXPECT_EQ(offsets.substr(0, 24),
            Unhex("0000000000000000 01000000 0000000000000000 03000000"));
  EXPECT_EQ(offsets.find_first_not_of('\0', 24), std::string::npos);
  for (const char* vac : {kKeysVacFile, kValsVacFile, kOffsetsVacFile,
                          kSnapshotVacFile, kSnapshotVacTempFile}) {
    EXPECT_FALSE(Exists(dir.File(vac))) << vac;
  }
  ExpectContents(*db, {{"a", "333"}}, {"b"});
  const CacheStats stats = db->GetCacheStats();
  EXPECT_EQ(stats.capacity, 10000u);

  // A second vacuum changes no file.
  const std::string keys = ReadFile(dir.File(kKeysFile));
  MARROW_ASSERT_OK(db->Vacuum());
  EXPECT_EQ(ReadFile(dir.File(kKeysFile)), keys);
  EXPECT_EQ(ReadFile(dir.File(kValsFile)), "333");
  EXPECT_EQ(ReadFile(dir.File(kOffsetsFile)), offsets);

  // The compacted state is what a reopen finds, with no persist in between.
  db.reset();
  db = OpenDb(dir.path());
  ExpectContents(*db, {{"a", "333"}}, {"b"});
}

TEST(DbTest, VacuumOfAnEmptyStore) {
  TempDir dir;
  auto db = OpenDb(dir.path());
  MARROW_ASSERT_OK(db->Vacuum());
  EXPECT_EQ(SizeOf(dir.File(kKeysFile)), 0u);
  EXPECT_EQ(SizeOf(dir.File(kValsFile)), 0u);
  EXPECT_EQ(SizeOf(dir.File(kOffsetsFile)), 2400000u);
  MARROW_ASSERT_OK(db->SetBytes("x", "y"));
  EXPECT_EQ(Get(*db, "x"), "y");
}

TEST(DbTest, LeftoverVacuumFilesOfAnUncommittedVacuumAreIgnored) {
  TempDir dir;
  {
    auto db = OpenDb(dir.path());
    MARROW_ASSERT_OK(db->SetBytes("a", "1"));
    MARROW_ASSERT_OK(db->Persist());
    MARROW_ASSERT_OK(db->SetBytes("b", "2"));
  }
  WriteFile(dir.File(kKeysVacFile), "junk");
  WriteFile(dir.File(kValsVacFile), "junk");
  WriteFile(dir.File(kOffsetsVacFile), std::string(48, '\x07'));
  WriteFile(dir.File(kSnapshotVacTempFile), "junk");
  auto db = OpenDb(dir.path());
  ExpectContents(*db, {{"a", "1"}, {"b", "2"}});
  MARROW_ASSERT_OK(db->Vacuum());
  EXPECT_FALSE(Exists(dir.File(kKeysVacFile)));
  EXPECT_EQ(ReadFile(dir.File(kKeysFile)), "ab");
  db.reset();
  db = OpenDb(dir.path());
  ExpectContents(*db, {{"a", "1"}, {"b", "2"}});
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

TEST(DbTest, ADamagedLengthFailsToFillWithoutAllocating) {
  TempDir dir;
  {
    auto db = OpenDb(dir.path());
    MARROW_ASSERT_OK(db->SetBytes("k", "v"));
    MARROW_ASSERT_OK(db->SetBytes("j", "w"));
    MARROW_ASSERT_OK(db->Persist());
  }
  // val_len of record 0 and key_len of record 1 become 4 GB - 1.
  {
    std::string offsets = ReadFile(dir.File(kOffsetsFile));
    for (size_t at : {size_t{20}, size_t{24 + 8}}) {
      offsets.replace(at, 4, "\xff\xff\xff\xff");
    }
    WriteFile(dir.File(kOffsetsFile), offsets);
  }
  const std::string keys_before = ReadFile(dir.File(kKeysFile));
  const int status = InChild([&]() -> int {
#if !defined(__SANITIZE_ADDRESS__)
    // Leave room for the store, not for a 4 GB buffer.
    rlimit lim{uint64_t{3} << 30, uint64_t{3} << 30};
    if (::setrlimit(RLIMIT_AS, &lim) != 0) return 20;
#endif
    try {
      auto opened = Db::Open(dir.path(), 100);
      if (!opened.ok()) return 21;
      Db& db = *opened.value();
      auto got = db.GetBytes("k", [](std::string_view) {});
      if (got.ok() || got.failure().form != FailureForm::kInternal) return 22;
      if (got.failure().Text().find("failed to fill whole buffer") ==
          std::string::npos) {
        return 23;
      }
      auto keys = db.Keys();
      if (keys.ok() ||
          keys.failure().Text().find("failed to fill whole buffer") ==
              std::string::npos) {
        return 25;
      }
      Status vac = db.Vacuum();
      if (vac.ok() || vac.failure().form != FailureForm::kPlainOs ||
          vac.failure().Text() != "failed to fill whole buffer") {
        return 26;
      }
      // Still usable.
      if (!db.SetBytes("n", "fresh").ok()) return 27;
      std::string v;
      auto n = db.GetBytes("n", [&](std::string_view s) { v = s; });
      if (!n.ok() || !n.value() || v != "fresh") return 28;
    } catch (...) {
      return 29;
    }
    return 0;
  });
  EXPECT_EQ(status, 0);
  EXPECT_FALSE(Exists(dir.File(kSnapshotVacFile)));
  EXPECT_EQ(ReadFile(dir.File(kKeysFile)).substr(0, keys_before.size()),
            keys_before);
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

TEST(DbTest, AReadErrorAtOpenIsNotDamage) {
  TempDir dir;
  {
    auto db = OpenDb(dir.path());
    MARROW_ASSERT_OK(db->SetBytes("a", "1"));
  }
  const std::string log = ReadFile(dir.File(kWalFile));
  ASSERT_EQ(::mkdir(dir.File(kSnapshotFile).c_str(), 0777), 0);
  auto db = Db::Open(dir.path(), 10);
  ASSERT_FALSE(db.ok());
  EXPECT_EQ(db.failure().form, FailureForm::kIoByKind);
  EXPECT_EQ(ReadFile(dir.File(kWalFile)), log);
  ASSERT_EQ(::rmdir(dir.File(kSnapshotFile).c_str()), 0);

  TempDir other;
  ASSERT_EQ(::mkdir(other.File(kWalFile).c_str(), 0777), 0);
  auto no_log = Db::Open(other.path(), 10);
  ASSERT_FALSE(no_log.ok());
  EXPECT_EQ(no_log.failure().form, FailureForm::kIoByKind);
}

TEST(DbTest, GetManyAnswersInOrder) {
  TempDir dir;
  auto db = OpenDb(dir.path(), 1);
  MARROW_ASSERT_OK(db->SetBytes("a", "1"));
  MARROW_ASSERT_OK(db->SetBytes("b", ""));
  const std::vector<std::string> keys = {"b", "zz", "a", "a", ""};
  std::vector<std::optional<std::string>> got(keys.size());
  MARROW_ASSERT_OK(db->GetMany(keys, [&](size_t i, const std::string_view* v) {
    if (v != nullptr) got[i] = std::string(*v);
  }));
  EXPECT_EQ(got, (std::vector<std::optional<std::string>>{"", std::nullopt, "1",
                                                          "1", std::nullopt}));
}

}  // namespace
}  // namespace marrow::store
