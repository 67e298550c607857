// The stand-in host holds every plug-in to the host's rules: a plug-in that
// breaks one gets host_rule_broken from the call, whatever else it did.
#include <gtest/gtest.h>

#include <string>

#include "standin.h"

namespace {

const standin::plugin& rule_breaking_plugin() {
  static const standin::plugin plugin(RULE_BREAKING_PLUGIN);
  return plugin;
}

std::string broken_rule(double rule) {
  const standin::array_ptr choice = standin::make_doubles({1, 1}, {rule});
  try {
    rule_breaking_plugin().call({choice.get()});
  } catch (const standin::host_rule_broken& broken) {
    return broken.what();
  }
  return "";
}

TEST(StandinHost, a_plugin_that_keeps_the_rules_passes) {
  const standin::array_ptr choice = standin::make_doubles({1, 1}, {0});
  EXPECT_TRUE(rule_breaking_plugin().call({choice.get()}).at(0));
  EXPECT_EQ(standin::live_created_arrays(), 0u);
}

TEST(StandinHost, every_broken_rule_is_reported) {
  const struct {
    double rule;
    const char* words;
  } cases[] = {
      {1, "destroyed an array the host gave it"},
      {2, "wrote output slot 2"},
      {3, "printed to standard output: \"a word of its own"},
      {4, "created 1 array(s) it neither returned nor destroyed"},
      {5, "stored an array it did not create"},
      {6, "changed input 1"},
      {7, "exception other than a host error"},
      {8, "destroyed an array that was already destroyed"},
      {9, "called mxGetNumberOfDimensions off the thread that called mexFunction"},
  };
  for (const auto& c : cases) {
    const std::string message = broken_rule(c.rule);
    EXPECT_NE(message.find(c.words), std::string::npos) << "rule " << c.rule << ": " << message;
  }
  // Whatever the plug-in left behind went with the call.
  EXPECT_EQ(standin::live_created_arrays(), 0u);
}

}  // namespace
