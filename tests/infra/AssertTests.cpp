#include "infra/Assert.h"

#include <gtest/gtest.h>

TEST(InternalAssertDeathTest, PrintsExpressionAndTerminates) {
    const int* pThread = nullptr;
    EXPECT_DEATH(
        INFRA_ASSERT(pThread),
        R"(\*\*\*\*\* Internal Program Error - assertion \(pThread\) failed in .*AssertTests\.cpp\([0-9]+\))");
}
