#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "containers/values/object.h"
#include "containers/values/propertyset.h"

using namespace norbe;

namespace {

// Counts its own deletions so that tests can see when a handle frees it.
struct Tracked : public virtual RCObject {
  explicit Tracked(int* deletions) : deletions(deletions) {}
  ~Tracked() override { ++*deletions; }
  int* deletions;
};

template <class E>
std::string messageOf(E&& call) {
  try {
    call();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "<no exception>";
}

}  // namespace

TEST(ReferenceCount, AdoptCopyAssignAndRelease) {
  int deletions = 0;
  {
    rc_ptr<Tracked> a(new Tracked(&deletions));
    EXPECT_EQ(a.refCount(), 1);
    {
      rc_ptr<Tracked> b(a);
      EXPECT_EQ(a.refCount(), 2);
      b = a;  // same object: nothing changes
      EXPECT_EQ(a.refCount(), 2);
      const rc_ptr<Tracked>& itself = b;
      b = itself;  // assignment to itself
      EXPECT_EQ(a.refCount(), 2);
    }
    EXPECT_EQ(a.refCount(), 1);
    EXPECT_EQ(deletions, 0);

    rc_ptr<Tracked> other(new Tracked(&deletions));
    other = a;  // the old object is released, and deleted as its last handle goes
    EXPECT_EQ(deletions, 1);
    EXPECT_EQ(a.refCount(), 2);
  }
  EXPECT_EQ(deletions, 2);

  rc_ptr<Tracked> empty;
  EXPECT_TRUE(empty.isNull());
  EXPECT_EQ(empty.refCount(), 0);
}

TEST(ReferenceCount, CopiedObjectStartsUncounted) {
  int deletions = 0;
  rc_ptr<Tracked> a(new Tracked(&deletions));
  Tracked copy(*a);
  EXPECT_EQ(copy.refCount(), 0);
  copy.deletions = &deletions;
}

TEST(TypedObjects, TypeNames) {
  EXPECT_EQ(typeName<float>(), "FLOAT");
  EXPECT_EQ(typeName<int>(), "S32");
  EXPECT_EQ(typeName<std::vector<float>>(), "vector of FLOAT");
  EXPECT_EQ(typeName<std::vector<int>>(), "vector of S32");
  EXPECT_EQ(typeName<PropertySet>(), "PropertySet");
  EXPECT_EQ(typeName<bool>(), "boolean");
  using Iterator = IterableImpl<std::vector<float>, false>::VectorIterator;
  EXPECT_EQ(makeObject(Iterator(nullptr, nullptr))->type(), typeid(Iterator).name());
}

TEST(TypedObjects, CapabilityQueries) {
  float f = 1.5f;
  PropertySet set;
  std::vector<float> v{1, 2};
  struct Row {
    Object object;
    bool scalar, array, dynArray, dictionary, iterable, iterator;
  };
  const Row rows[] = {
      {Object(new ReferenceObject<float>(&f)), true, false, false, false, false, false},
      {makeObject(3), true, false, false, false, false, false},
      {makeObject(v), false, true, true, false, true, false},
      {Object(new ReferenceObject<PropertySet>(&set)), false, false, false, true, true, false},
      {makeObject(v)->objectIterator(), false, false, false, false, false, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.object->type());
    EXPECT_FALSE(row.object->isString());
    EXPECT_EQ(row.object->isScalar(), row.scalar);
    EXPECT_EQ(row.object->isArray(), row.array);
    EXPECT_EQ(row.object->isDynArray(), row.dynArray);
    EXPECT_EQ(row.object->isDictionary(), row.dictionary);
    EXPECT_EQ(row.object->isIterable(), row.iterable);
    EXPECT_EQ(row.object->isIterator(), row.iterator);
    EXPECT_FALSE(row.object->isDictionaryIterator());
  }
}

TEST(TypedObjects, UnsupportedOperationsNameTheType) {
  float f = 2.0f;
  Object fl(new ReferenceObject<float>(&f));
  Object vec = makeObject(std::vector<float>{1.0f});
  Object it = vec->objectIterator();
  const std::string iteratorName = it->type();
  PropertySet set;
  Object dict(new ReferenceObject<PropertySet>(&set));
  Object none;

  struct Row {
    std::function<void()> call;
    std::string message;
  };
  const Row rows[] = {
      {[&] { vec->getString(); }, "Cannot convert object of type vector of FLOAT to string"},
      {[&] { vec->setString("1"); }, "Cannot convert string to object of type vector of FLOAT"},
      {[&] { vec->getScalar(); }, "Cannot convert object of type vector of FLOAT to scalar"},
      {[&] { dict->setScalar(1); }, "Cannot convert scalar to object of type PropertySet"},
      {[&] { fl->size(); }, "cannot get size of object of type FLOAT"},
      {[&] { fl->getArrayItem(0); }, "object of type FLOAT is not an Array"},
      {[&] { dict->setArrayItem(0, fl); }, "object of type PropertySet is not an Array"},
      {[&] { fl->reserveArray(1); }, "object of type FLOAT is not a DynArray"},
      {[&] { fl->resizeArray(1); }, "object of type FLOAT is not a DynArray"},
      {[&] { dict->removeArrayItem(0); }, "object of type PropertySet is not a DynArray"},
      {[&] { fl->insertArrayItem(0, fl); }, "object of type FLOAT is not a DynArray"},
      {[&] { vec->getProperty("a", none); }, "object of type vector of FLOAT is not a Dictionary"},
      {[&] { fl->setProperty("a", fl); }, "object of type FLOAT is not a Dictionary"},
      {[&] { fl->removeProperty("a"); }, "object of type FLOAT is not a Dictionary"},
      {[&] { fl->hasProperty("a"); }, "object of type FLOAT is not a Dictionary"},
      {[&] { vec->clearProperties(); }, "object of type vector of FLOAT is not a Dictionary"},
      {[&] { fl->objectIterator(); }, "object of type FLOAT is not iterable"},
      {[&] { fl->isValid(); }, "object of type FLOAT is not an iterator"},
      {[&] { vec->currentValue(); }, "object of type vector of FLOAT is not an iterator"},
      {[&] { dict->next(); }, "object of type PropertySet is not an iterator"},
      {[&] { fl->key(); }, "object of type FLOAT is not a dictionary iterator"},
      {[&] { it->key(); }, "object of type " + iteratorName + " is not a dictionary iterator"},
      {[&] { it->getScalar(); }, "Cannot convert object of type " + iteratorName + " to scalar"},
  };
  for (const Row& row : rows) {
    try {
      row.call();
      ADD_FAILURE() << "no exception, expected: " << row.message;
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), row.message);
    }
  }
  EXPECT_EQ(f, 2.0f);
  EXPECT_EQ(vec->size(), 1);
}

TEST(TypedObjects, ConversionsAndTheirMessages) {
  Object i = makeObject(7);
  EXPECT_EQ(i->value<int>(), 7);
  EXPECT_THROW(i->value<float>(), std::invalid_argument);
  EXPECT_EQ(messageOf([&] { i->value<float>(); }), "cannot convert object from S32 to FLOAT");

  Object floats = makeObject(std::vector<float>{1.5f});
  EXPECT_EQ(messageOf([&] { floats->value<std::vector<int>>(); }),
            "cannot convert object from vector of FLOAT to vector of S32");

  // setValue between vectors copies; from another type it refuses and changes nothing.
  Object other = makeObject(std::vector<float>{4, 5, 6});
  floats->setValue(other);
  EXPECT_EQ(floats->size(), 3);
  EXPECT_EQ(messageOf([&] { floats->setValue(i); }), "cannot convert object from S32 to vector of FLOAT");
  EXPECT_EQ(floats->size(), 3);

  PropertySet set;
  Object dict(new ReferenceObject<PropertySet>(&set));
  EXPECT_EQ(messageOf([&] { dict->setValue(i); }), "cannot convert object from S32 to PropertySet");

  // Scalars convert between numeric types; text parses strictly.
  Object f = makeObject(2.5f);
  i->setValue(f);
  EXPECT_EQ(i->value<int>(), 2);
  i->setString("-12");
  EXPECT_EQ(i->value<int>(), -12);
  EXPECT_THROW(i->setString("12abc"), std::invalid_argument);
  EXPECT_EQ(i->value<int>(), -12);
  EXPECT_EQ(f->getString(), "2.5");
  EXPECT_EQ(makeObject(1.0f / 3.0f)->getString(), "0.333333");
}

TEST(TypedObjects, SetScalarTruncatesOnInt) {
  Object i = makeObject(0);
  i->setScalar(2.9);
  EXPECT_EQ(i->value<int>(), 2);
  i->setScalar(-2.9);
  EXPECT_EQ(i->value<int>(), -2);
  Object f = makeObject(0.0f);
  f->setScalar(0.1);
  EXPECT_EQ(f->value<float>(), 0.1f);
}

TEST(VectorObjects, InsertRemoveResizeReserve) {
  Object v = makeObject(std::vector<float>{1, 2, 3});
  auto& values = v->value<std::vector<float>>();
  v->insertArrayItem(-1, makeObject(4.0f));
  EXPECT_EQ(values, (std::vector<float>{1, 2, 3, 4}));
  v->insertArrayItem(0, makeObject(0.0f));
  EXPECT_EQ(values, (std::vector<float>{0, 1, 2, 3, 4}));
  v->insertArrayItem(-2, makeObject(9.0f));  // before the last element
  EXPECT_EQ(values, (std::vector<float>{0, 1, 2, 3, 9, 4}));
  v->removeArrayItem(1);
  EXPECT_EQ(values, (std::vector<float>{0, 2, 3, 9, 4}));
  EXPECT_THROW(v->insertArrayItem(0, makeObject(1)), std::invalid_argument);
  EXPECT_EQ(values.size(), 5u);

  Object w = makeObject(std::vector<float>{7, 8});
  w->resizeArray(5);
  EXPECT_EQ(w->value<std::vector<float>>(), (std::vector<float>{7, 8, 0, 0, 0}));
  w->reserveArray(1073741823u / 64);
  try {
    w->reserveArray(1073741824u);
    ADD_FAILURE() << "reserve above the limit accepted";
  } catch (const std::length_error& e) {
    EXPECT_STREQ(e.what(), "vector::reserve");
  }
}

TEST(VectorObjects, ItemsAndIteratorsWriteThrough) {
  Object v = makeObject(std::vector<float>{1, 2, 3});
  v->getArrayItem(1)->setScalar(20);
  v->setArrayItem(2, makeObject(30.0f));
  EXPECT_THROW(v->setArrayItem(0, makeObject(5)), std::invalid_argument);

  std::vector<float> seen;
  for (Object it = v->objectIterator(); it->isValid(); it->next()) {
    seen.push_back(it->currentValue()->value<float>());
    it->currentValue()->setScalar(0);
  }
  EXPECT_EQ(seen, (std::vector<float>{1, 20, 30}));
  EXPECT_EQ(v->value<std::vector<float>>(), (std::vector<float>{0, 0, 0}));

  Object empty = makeObject(std::vector<float>{});
  EXPECT_FALSE(empty->objectIterator()->isValid());
}
