#include "engine/harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

namespace marrow::store::testing {

namespace {

std::vector<WriteOp> Batch(const Step& step) {
  return {{step.key + "1", step.value},
          {step.key + "2", step.value + step.value},
          {"k2", "", true},
          {"k1", step.value}};
}

std::vector<Step> SmallSteps() {
  std::vector<Step> steps;
  for (int i = 0; i < 30; ++i) {
    steps.push_back(
        Set("k" + std::to_string(i), std::string(i * 7, 'a' + i % 26)));
  }
  steps.insert(steps.end(),
               {Set("k3", "replaced"), Del("k4"), Set("", "empty key"),
                Do(Step::kPersist), Set("k5", "logged"), Del("k6"),
                Set("new", std::string(100, 'n'))});
  return steps;
}

// A committed vacuum of "small" whose renames never reached the disk.
Base Committed() {
  const Base& small = GetBase("small");
  auto run = [&](MemFs& fs) {
    auto db = Db::Open(kDir, 100, fs);
    EXPECT_TRUE(db.ok() && db.value()->Vacuum().ok());
  };
  std::unique_ptr<MemFs> fs = small.image->Clone();
  run(*fs);
  const auto& trace = fs->trace();
  auto at = std::find_if(trace.begin(), trace.end(), [](const auto& t) {
    return t.call == "rename" && t.path.ends_with(".vac.tmp");
  });
  at = std::find_if(at, trace.end(), [](auto& t) { return t.call == "fsync"; });
  const uint64_t calls = at - trace.begin() + 1;  // up to that fsync
  fs = small.image->Clone();
  std::unique_ptr<MemFs> image;
  fs->AfterCall(calls, [&] { image = fs->Clone(); });
  run(*fs);
  return {image->Crash(Outcome::kNoneReached, 0), small.model};
}

}  // namespace

bool Durable(const Step& step) {
  return step.kind == Step::kSync || step.kind == Step::kPersist ||
         step.kind == Step::kVacuum;
}

void ApplyStep(const Step& step, Model& model) {
  if (step.kind == Step::kSet) model[step.key] = step.value;
  if (step.kind == Step::kDel) model.erase(step.key);
  if (step.kind != Step::kBatch) return;
  for (const WriteOp& op : Batch(step)) {
    if (op.erase) {
      model.erase(op.key);
    } else {
      model[op.key] = op.value;
    }
  }
}

Status RunStep(Db& db, const Step& step, const Model& model) {
  auto want = [&](const std::string& key, const std::string_view* got) {
    auto it = model.find(key);
    EXPECT_EQ(got != nullptr, it != model.end()) << key;
    if (got != nullptr && it != model.end()) {
      EXPECT_EQ(*got, it->second);
    }
  };
  switch (step.kind) {
    case Step::kSet:
      return db.SetBytes(step.key, step.value);
    case Step::kBatch:
      return db.Commit(Batch(step));
    case Step::kSync:
      return db.Sync();
    case Step::kDel:
      return db.Delete(step.key).status();
    case Step::kPersist:
      return db.Persist();
    case Step::kVacuum:
      return db.Vacuum();
    case Step::kGet: {
      bool seen = false;
      auto found = db.GetBytes(step.key, [&](std::string_view v) {
        seen = true;
        want(step.key, &v);
      });
      if (found.ok() && !seen) want(step.key, nullptr);
      return std::move(found).status();
    }
    case Step::kGetMany: {
      const std::vector<std::string_view> keys = {step.key, "absent",
                                                  step.value};
      return db.GetMany(keys, [&](size_t i, const std::string_view* v) {
        want(std::string(keys[i]), v);
      });
    }
    case Step::kKeys:
      return db.Keys().status();
  }
  return {};
}

Model Content(Db& db, std::string* error) {
  Model out;
  auto keys = db.Keys();
  if (!keys.ok()) {
    *error = "keys(): " + Describe(keys.failure());
    return {};
  }
  for (const std::string& key : keys.value()) {
    auto found = db.GetBytes(key, [&](std::string_view v) { out[key] = v; });
    if (!found.ok() || !found.value()) {
      *error = "get(" + key +
               "): " + (found.ok() ? "absent" : Describe(found.failure()));
      return {};
    }
  }
  if (auto len = db.Len(); !len.ok() || out.size() != len.value()) {
    *error = "len() differs from keys()";
  }
  return out;
}

std::string Describe(const Failure& f) {
  return "form " + std::to_string(static_cast<int>(f.form)) + " kind " +
         ErrorKindName(f.error.kind) + ": " + f.Text() + " at " +
         f.where.file_name() + ":" + std::to_string(f.where.line());
}

std::string Describe(const Model& m) {
  std::string out = "{";
  for (const auto& [k, v] : m) {
    out += "'" + k + "':" + std::to_string(v.size()) + "B#" +
           std::to_string(std::hash<std::string>()(v) % 1000003) + " ";
  }
  return out + "}";
}

std::string Reboot(MemFs& fs) {
  auto show = [](auto opened, const char* what) -> std::string {
    if (!opened.ok()) return what + (" failed: " + Describe(opened.failure()));
    return Show(*opened.value());
  };
  FileInfo dir;  // no directory: no reader
  const std::string seen = fs.StatPath(kDir, &dir) != 0
                               ? Describe(Model())
                               : show(Db::OpenReader(kDir, 100, fs), "reader");
  const std::string got = show(Db::Open(kDir, 100, fs), "open");
  return got == seen ? got
                     : "the reader saw " + seen + " but the writer " + got;
}

std::string Show(Db& db) {
  std::string error;
  const Model content = Content(db, &error);
  return error.empty() ? Describe(content) : error;
}

Base MakeBase(const std::vector<Step>& steps) {
  MemFs fs;
  Base base;
  {
    auto db = Db::Open(kDir, 100, fs);
    EXPECT_TRUE(db.ok());
    db.value()->PlaceLargeValues();
    for (const Step& step : steps) {
      EXPECT_TRUE(RunStep(*db.value(), step, base.model).ok());
      ApplyStep(step, base.model);
    }
  }
  base.image = fs.Crash(Outcome::kAllReached, 0);
  return base;
}

const Base& GetBase(const std::string& name) {
  static std::map<std::string, Base> bases;
  if (auto it = bases.find(name); it != bases.end()) return it->second;
  if (name == "empty") return bases[name] = {std::make_unique<MemFs>(), {}};
  if (name == "committed") return bases[name] = Committed();
  std::vector<Step> steps = SmallSteps();
  if (name == "big") {
    // Values around the vacuum's 1 MiB windows (a half window and more is
    // read apart).
    for (int i = 0; i < 4; ++i) {
      steps.push_back(
          Set("w" + std::to_string(i), std::string(300000 + i, 'w')));
    }
    steps.insert(steps.end(), {Set("wide", std::string(700000, 'W')), Del("w1"),
                               Set("k5", "logged again")});
  } else if (name == "replay") {
    // A log that replays in more than one 4 MiB batch, a value written once
    // (placed) amid them.
    steps.insert(steps.end(), {Many("r", std::string(1 << 20, 'r')),
                               Set("placed", std::string(1 << 20, 'p')),
                               Many("s", std::string(600000, 's')),
                               Set("r2", "short again")});
  } else if (name == "growth") {
    steps.assign(99999, Set("k", "v"));
    steps.push_back(Do(Step::kPersist));
  } else if (name != "small") {
    ADD_FAILURE() << "no base " << name;
  }
  return bases[name] = MakeBase(steps);
}

}  // namespace marrow::store::testing
