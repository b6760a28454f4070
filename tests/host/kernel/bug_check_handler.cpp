// Every suite runs under the verifier: a bug check the host raises (a DDI rule broken, pool damaged or
// leaked, a processor state restored out of order) fails the test that is running, with the report,
// instead of stopping the program. A test that provokes one on purpose takes it with a BugCheckCapture.
#include "host/kernel/kernel_host.h"

#include <gtest/gtest.h>

namespace {

class FailTheTestOnABugCheck : public ::testing::Environment {
  public:
    void SetUp() override {
        host::SetBugCheckHandler([](const host::BugCheckReport& Report) { ADD_FAILURE() << Report.Text; });
    }
    void TearDown() override { host::SetBugCheckHandler(nullptr); }
};

const ::testing::Environment* const bugCheckEnvironment =
    ::testing::AddGlobalTestEnvironment(new FailTheTestOnABugCheck);

} // namespace
