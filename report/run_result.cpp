#include "report/run_result.h"

#include <utility>

namespace ptdelta {

RunResult::RunResult(RunDescription what, const PointColumns& test, PassResult&& result, bool describe)
    : run(std::move(what)), test_cloud(test), pass(std::move(result)), summary(summarise(pass)) {
  if (describe) {
    test_extent = measure_extent(test_cloud, run.threads);
    distribution = describe_distribution(pass);
  }
}

}  // namespace ptdelta
