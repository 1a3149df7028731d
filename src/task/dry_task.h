#pragma once

#include <cstdint>
#include <memory>

#include "task/task.h"

namespace station_center {

// Runs the heating (drying) fan; the heat wire may only work while it blows.
// Threading: driven under the owner's task_mutex_ like every task.
class DryTask : public SupplyMaterialTask {
 public:
  DryTask(std::shared_ptr<StationCenter> station_center, const TaskType& task_type, int64_t max_seconds,
          int32_t action);

  bool DoReset() override;
  void AfterError() override;
  void AfterCancel() override;
  bool DoTaskInside(const station::SensorsDataRep& data) override;
  // Refused while the heat wire works: the wire must not heat without airflow.
  bool DoCancelUnlock() override;

 private:
  bool CloseFan();
  void SetFanOpen(bool open);
};

}  // namespace station_center
