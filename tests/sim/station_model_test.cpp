#include "sim/station_model.h"

#include <gtest/gtest.h>

namespace station_sim {
namespace {

station::ActionCommand Cmd(station::EnumSupplyType type, int action) {
  station::ActionCommand c;
  c.set_supply_type_(type);
  c.set_action_(action);
  return c;
}

// Steps the model in 20 ms ticks until `pred` holds or `max_s` of model time passes.
template <typename Pred>
bool RunUntil(StationModel* m, Pred pred, double max_s) {
  for (double t = 0; t < max_s && !pred(m->Report()); t += 0.02) {
    m->Advance(0.02);
  }
  return pred(m->Report());
}

TEST(StationModelTest, TapFillsToTheUpLevelAndTheFlowCountRestartsEachFill) {
  StationModel m;
  m.SetTankVolume(0);
  ASSERT_TRUE(m.Apply(Cmd(station::ENUM_SUPPLY_TAP_WATER_SWITCH, 1)));
  ASSERT_TRUE(RunUntil(
      &m, [](const auto& r) { return r.cleantankuplevel() == 1; }, 30));
  EXPECT_EQ(m.Report().cleantankfootlevel(), 0u);
  m.Advance(5);  // a full tank takes nothing more in, and nothing more is counted
  EXPECT_NEAR(m.Report().flowmeter(), m.params().tank_capacity_ml, 1.0);
  const uint32_t first_fill = m.Report().flowmeter();
  m.Apply(Cmd(station::ENUM_SUPPLY_TAP_WATER_SWITCH, 0));
  EXPECT_EQ(m.Report().flowmeter(), first_fill) << "closing keeps the last count readable";

  m.SetTankVolume(1000);
  m.Apply(Cmd(station::ENUM_SUPPLY_TAP_WATER_SWITCH, 1));
  EXPECT_EQ(m.Report().flowmeter(), 0u);
  m.Advance(0.5);
  const uint32_t partial = m.Report().flowmeter();
  EXPECT_GT(partial, 0u);
  m.Apply(Cmd(station::ENUM_SUPPLY_TAP_WATER_SWITCH, 1));
  EXPECT_EQ(m.Report().flowmeter(), partial) << "a repeated open does not restart the count";
}

TEST(StationModelTest, OutflowsEmptyTheTankToItsFootLevel) {
  for (auto valve : {station::ENUM_SUPPLY_SUPPLY_WATER_SWITCH, station::ENUM_SUPPLY_DRAINAGE_SWITCH}) {
    SCOPED_TRACE(station::EnumSupplyType_Name(valve));
    StationModel m;
    m.SetTankVolume(m.params().tank_capacity_ml);
    EXPECT_EQ(m.Report().cleantankuplevel(), 1u);
    m.Apply(Cmd(valve, 1));
    EXPECT_TRUE(RunUntil(
        &m, [](const auto& r) { return r.cleantankfootlevel() == 1; }, 60));
    m.Advance(10);  // an open valve on an empty tank moves nothing more
    const bool to_robot = valve == station::ENUM_SUPPLY_SUPPLY_WATER_SWITCH;
    EXPECT_NEAR(m.delivered_to_robot(), to_robot ? m.params().tank_capacity_ml : 0, 1e-6);
    EXPECT_NEAR(m.drained(), to_robot ? 0 : m.params().tank_capacity_ml, 1e-6);
  }
}

TEST(StationModelTest, TabletsCountWhileTheMotorRunsAndNotDuringAnOverload) {
  StationModel m;
  m.Apply(Cmd(station::ENUM_SUPPLY_DISINFECTANT_PLATES_MOTOR, 50));
  m.Advance(2.05);  // one tablet per 0.5 s at power 50
  EXPECT_EQ(m.Report().disinfectantplatenum(), 4u);
  m.SetSorterOverload(1.0);
  EXPECT_FALSE(m.Report().sortermotorcurrentstate());
  m.Advance(0.9);
  EXPECT_EQ(m.Report().disinfectantplatenum(), 4u);
  m.Advance(0.2);
  m.Apply(Cmd(station::ENUM_SUPPLY_DISINFECTANT_PLATES_MOTOR, 100));
  m.Advance(1.0);  // twice as fast at power 100
  EXPECT_EQ(m.Report().disinfectantplatenum(), 8u);
  m.Apply(Cmd(station::ENUM_SUPPLY_DISINFECTANT_PLATES_MOTOR, 0));
  m.Advance(5);
  EXPECT_EQ(m.Report().disinfectantplatenum(), 8u);
}

}  // namespace
}  // namespace station_sim
