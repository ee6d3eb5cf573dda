#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "containers/values/propertyset.h"

using namespace norbe;

namespace {
struct Recorder {
  std::vector<std::string> keys;
  std::vector<Object> olds;
  void slot(const Object& sender, const std::string& key, const Object& old) {
    EXPECT_TRUE(sender->isDictionary());
    keys.push_back(key);
    olds.push_back(old);
  }
};
}  // namespace

TEST(PropertySet, SetPropertyOnNewOrdinaryAndBuiltinKeys) {
  PropertySet set;
  Recorder recorder;
  set.getSignalPropertyChanged().connect(sigc::mem_fun(recorder, &Recorder::slot));

  set.setProperty("count", 5);  // new key: stored, nothing emitted
  EXPECT_TRUE(recorder.keys.empty());

  set.setProperty("count", 6);  // ordinary key: one call with the previous object
  ASSERT_EQ(recorder.keys.size(), 1u);
  EXPECT_EQ(recorder.keys[0], "count");
  EXPECT_EQ(recorder.olds[0]->value<int>(), 5);
  EXPECT_EQ(set.getProperty("count")->value<int>(), 6);

  int variable = 10;
  set.addBuiltinProperty("sizeX", variable);
  variable = 10;
  set.setProperty("sizeX", 12);
  EXPECT_EQ(variable, 12);
  ASSERT_EQ(recorder.keys.size(), 2u);
  EXPECT_EQ(recorder.olds[1]->value<int>(), 10);  // a snapshot, not the variable itself

  // Writing another type into a built-in entry refuses before anything changes.
  try {
    set.setProperty("sizeX", 1.5f);
    ADD_FAILURE() << "float written into an int built-in";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "cannot write value of type FLOAT to object of type S32");
  }
  EXPECT_EQ(variable, 12);
  EXPECT_EQ(recorder.keys.size(), 2u);
}

TEST(PropertySet, BlockedSlotsAreNotCalled) {
  PropertySet set;
  Recorder first, second;
  sigc::connection c1 = set.getSignalPropertyChanged().connect(sigc::mem_fun(first, &Recorder::slot));
  set.getSignalPropertyChanged().connect(sigc::mem_fun(second, &Recorder::slot));
  set.setProperty("a", 1);
  c1.block();
  set.setProperty("a", 2);
  EXPECT_TRUE(first.keys.empty());
  EXPECT_EQ(second.keys.size(), 1u);

  set.blockSignals(true);
  set.setProperty("a", 3);
  EXPECT_EQ(second.keys.size(), 1u);
  EXPECT_EQ(set.getProperty("a")->value<int>(), 3);
}

TEST(PropertySet, DuplicateBuiltinIsRefused) {
  PropertySet set;
  int a = 1, b = 2;
  set.addBuiltinProperty("sizeX", a);
  try {
    set.addBuiltinProperty("sizeX", b);
    ADD_FAILURE() << "duplicate accepted";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "Built-in property sizeX already exists");
  }
  a = 4;
  EXPECT_EQ(set.getProperty("sizeX")->value<int>(), 4);  // still bound to a
}

TEST(PropertySet, OrderClearCopyAndIteration) {
  PropertySet set;
  int size = 3;
  set.setProperty("b", 1);
  set.addBuiltinProperty("sizeX", size);
  set.setProperty("a", std::vector<float>{1.5f});
  std::vector<std::string> keys;
  for (Object it = set.objectIterator(); it->isValid(); it->next()) keys.push_back(it->key());
  EXPECT_EQ(keys, (std::vector<std::string>{"b", "sizeX", "a"}));

  PropertySet copy;
  int otherSize = 9;
  copy.addBuiltinProperty("sizeX", otherSize);
  copy.setProperty("stale", 0);
  copy = set;  // ordinary entries replaced, own built-ins kept and still bound
  EXPECT_FALSE(copy.hasProperty("stale"));
  EXPECT_EQ(copy.getProperty("b")->value<int>(), 1);
  EXPECT_EQ(copy.getProperty("sizeX")->value<int>(), 9);
  copy.getProperty("a")->getArrayItem(0)->setScalar(7);  // a copy, not shared
  EXPECT_EQ(set.getProperty("a")->value<std::vector<float>>()[0], 1.5f);

  set.clearProperties();
  EXPECT_EQ(set.size(), 1);
  EXPECT_TRUE(set.hasProperty("sizeX"));
  EXPECT_FALSE(set.removeProperty("sizeX"));
  EXPECT_TRUE(copy.removeProperty("b"));
  EXPECT_FALSE(copy.hasProperty("b"));
  EXPECT_TRUE(copy.getProperty("missing").isNull());
}
