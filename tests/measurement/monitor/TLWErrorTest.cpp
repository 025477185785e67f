#include "measurement/monitor/TLWError.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>

namespace {

TEST(TLWErrorTest, RecordsCarryDomainCodeDescriptionAndContext) {
  TLWError plain = TLWError::errorWithCode(3, "SQLite failure");
  EXPECT_EQ(plain.domain(), "com.vorlix.zel.measurement.ErrorDomain");
  EXPECT_TRUE(plain.isLibraryError());
  EXPECT_EQ(plain.code(), 3);
  EXPECT_EQ(plain.userInfo().get("NSLocalizedDescription"), platform::Value("SQLite failure"));
  EXPECT_FALSE(plain.userInfo().contains("TLWMonitorContext"));

  TLWError withContext = TLWError::errorWithCode(2, "Bad schema", "raw_events");
  EXPECT_EQ(withContext.userInfo().get("TLWMonitorContext"), platform::Value("raw_events"));
  EXPECT_EQ(withContext.monitorContext(), std::optional<std::string>("raw_events"));
  EXPECT_FALSE(withContext.isEqual(TLWError::errorWithCode(2, "Bad schema", "other")));

  // An empty description is left out altogether.
  EXPECT_TRUE(TLWError::errorWithCode(1, "").userInfo().empty());

  // Carried as a value, it stays the same error.
  auto back = withContext.asValue().objectAs<TLWError>();
  ASSERT_NE(back, nullptr);
  EXPECT_TRUE(back->isEqual(withContext));
  EXPECT_FALSE(TLWError("com.example.elsewhere", 2, withContext.userInfo()).isLibraryError());
}

TEST(TLWErrorTest, OutParameterHelpersFillOnlyWhenGivenAndOnlyOnFailure) {
  TLWSetError(nullptr, TLWError::errorWithCode(1, "ignored"));  // no out-parameter: nothing happens

  TLWError out = TLWError::errorWithCode(99, "before");
  EXPECT_TRUE(TLWCheck(true, &out, 1, "never"));
  EXPECT_EQ(out.code(), 99);
  EXPECT_FALSE(TLWCheck(false, &out, 1, "bad argument"));
  EXPECT_EQ(out.code(), 1);
  EXPECT_EQ(out.localizedDescription(), "bad argument");
  EXPECT_FALSE(TLWCheck(false, nullptr, 1, "no out-parameter"));

  EXPECT_TRUE(TLWCheckPresent(std::make_shared<int>(5), &out, 2, "missing"));
  EXPECT_EQ(out.code(), 1);
  EXPECT_FALSE(TLWCheckPresent(std::shared_ptr<int>(), &out, 2, "missing"));
  EXPECT_EQ(out.code(), 2);
  EXPECT_FALSE(TLWCheckPresent(std::optional<int>(), &out, 3, "empty"));
  EXPECT_EQ(out.code(), 3);
}

}  // namespace
