#include "report/run_result.h"

#include <utility>

namespace ptdelta {

namespace {
const PointColumns no_points;
}  // namespace

RunResult::RunResult(RunDescription what, const TestPoints& test, PassResult&& result, bool describe)
    : run(std::move(what)), whole_(no_points), test_points(test), pass(std::move(result)), summary(summarise(pass)) {
  if (describe) {
    test_extent = measure_extent(test_points, run.threads);
    distribution = describe_distribution(pass);
  }
}

RunResult::RunResult(RunDescription what, const PointColumns& test, PassResult&& result, bool describe)
    : run(std::move(what)), whole_(test), test_points(whole_), pass(std::move(result)), summary(summarise(pass)) {
  if (describe) {
    test_extent = measure_extent(test_points, run.threads);
    distribution = describe_distribution(pass);
  }
}

}  // namespace ptdelta
