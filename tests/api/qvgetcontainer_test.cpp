// The get container borrows the link's parts and counts its dictionaries for
// exactly its own lifetime.
#include <gtest/gtest.h>

#include "api/qvgetcontainer.h"
#include "tests/api/qvtypedtest.h"

namespace {

class GetContainerTest : public qvtest::TypedLinkTest {};

TEST_F(GetContainerTest, BorrowsTheLinkAndGivesItsDictionaryCountsBack) {
  QVLink* link = Loopback();
  ASSERT_NE(link, nullptr);
  link->stringDictionary = Quorvane::QVStringDictionary::init();
  link->symbolDictionary = Quorvane::QVSmartPointer<Quorvane::QVStringDictionary>();
  const uint64_t strings_before = link->stringDictionary.useCount();
  {
    Quorvane::QVGetContainer container(link);
    EXPECT_EQ(container.pool, &link->globals->pool);
    EXPECT_EQ(container.readState, &link->readState);
    EXPECT_EQ(container.deviceStack, link->deviceStack);
    EXPECT_EQ(container.queueStack, &link->queueStack);
    EXPECT_EQ(container.variantEnv, link->symbolReplacements);
    EXPECT_FALSE(container.symbolDictionary);  // the link has none: stays empty
    EXPECT_EQ(container.stringDictionary.get(), link->stringDictionary.get());
    EXPECT_EQ(link->stringDictionary.useCount(), strings_before + 1);
  }
  EXPECT_EQ(link->stringDictionary.useCount(), strings_before);

  link->symbolDictionary = Quorvane::QVStringDictionary::init();
  const uint64_t symbols_before = link->symbolDictionary.useCount();
  {
    Quorvane::QVGetContainer container(link);
    EXPECT_EQ(container.symbolDictionary.get(), link->symbolDictionary.get());
    EXPECT_EQ(link->symbolDictionary.useCount(), symbols_before + 1);
  }
  EXPECT_EQ(link->symbolDictionary.useCount(), symbols_before);
  Destroy(link);
}

TEST_F(GetContainerTest, DefaultHasNoPartsAndTwoEmptyDictionaries) {
  Quorvane::QVGetContainer container;
  EXPECT_EQ(container.pool, nullptr);
  EXPECT_EQ(container.readState, nullptr);
  EXPECT_TRUE(container.symbolDictionary);
  EXPECT_TRUE(container.stringDictionary);
  EXPECT_NE(container.symbolDictionary.get(), container.stringDictionary.get());
}

}  // namespace
