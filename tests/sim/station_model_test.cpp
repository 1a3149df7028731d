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
double RunUntil(StationModel* m, Pred pred, double max_s) {
  double t = 0;
  while (!pred(m->Report()) && t < max_s) {
    m->Advance(0.02);
    t += 0.02;
  }
  return t;
}

TEST(StationModelTest, TapFillsToUpLevelAndFlowCountRestartsEachFill) {
  StationModel m;
  m.SetTankVolume(0);
  EXPECT_EQ(m.Report().cleantankfootlevel(), 1u);

  ASSERT_TRUE(m.Apply(Cmd(station::ENUM_SUPPLY_TAP_WATER_SWITCH, 1)));
  RunUntil(
      &m, [](const auto& r) { return r.cleantankuplevel() == 1; }, 30);
  auto r = m.Report();
  ASSERT_EQ(r.cleantankuplevel(), 1u);
  EXPECT_EQ(r.cleantankfootlevel(), 0u);
  // Everything that came in was counted, and the count equals the volume let in.
  EXPECT_NEAR(r.flowmeter(), m.tank_volume(), 1.0);

  // The tap stays open on a full tank: no water gets in, nothing more is counted.
  m.Advance(5);
  EXPECT_NEAR(m.tank_volume(), m.params().tank_capacity_ml, 1e-6);
  const uint32_t first_fill = m.Report().flowmeter();

  // Closing keeps the last fill's count readable.
  m.Apply(Cmd(station::ENUM_SUPPLY_TAP_WATER_SWITCH, 0));
  m.Advance(1);
  EXPECT_EQ(m.Report().flowmeter(), first_fill);

  m.SetTankVolume(1000);
  m.Apply(Cmd(station::ENUM_SUPPLY_TAP_WATER_SWITCH, 1));
  EXPECT_EQ(m.Report().flowmeter(), 0u);
  // A repeated open during a fill does not restart the count.
  m.Advance(0.5);
  const uint32_t partial = m.Report().flowmeter();
  EXPECT_GT(partial, 0u);
  m.Apply(Cmd(station::ENUM_SUPPLY_TAP_WATER_SWITCH, 1));
  EXPECT_EQ(m.Report().flowmeter(), partial);
}

TEST(StationModelTest, OutflowsEmptyTheTankToItsFootLevel) {
  struct Case {
    station::EnumSupplyType valve;
    bool to_robot;
  };
  for (const Case& c :
       {Case{station::ENUM_SUPPLY_SUPPLY_WATER_SWITCH, true}, Case{station::ENUM_SUPPLY_DRAINAGE_SWITCH, false}}) {
    SCOPED_TRACE(station::EnumSupplyType_Name(c.valve));
    StationModel m;
    m.SetTankVolume(m.params().tank_capacity_ml);
    EXPECT_EQ(m.Report().cleantankuplevel(), 1u);
    m.Apply(Cmd(c.valve, 1));
    const double t = RunUntil(
        &m, [](const auto& r) { return r.cleantankfootlevel() == 1; }, 60);
    EXPECT_LT(t, 60);
    EXPECT_EQ(m.Report().cleantankuplevel(), 0u);
    m.Advance(10);  // an open valve on an empty tank moves nothing
    EXPECT_GE(m.tank_volume(), 0.0);
    EXPECT_NEAR(m.delivered_to_robot(), c.to_robot ? m.params().tank_capacity_ml : 0, 1e-6);
    EXPECT_NEAR(m.drained(), c.to_robot ? 0 : m.params().tank_capacity_ml, 1e-6);
  }
}

TEST(StationModelTest, TabletsCountWhileTheMotorRunsAndStopDuringOverload) {
  StationModel m;
  m.Advance(5);
  EXPECT_EQ(m.Report().disinfectantplatenum(), 0u);

  m.Apply(Cmd(station::ENUM_SUPPLY_DISINFECTANT_PLATES_MOTOR, 50));
  m.Advance(2.05);  // one tablet per 0.5 s at power 50
  EXPECT_EQ(m.Report().disinfectantplatenum(), 4u);
  EXPECT_TRUE(m.Report().sortermotorcurrentstate());

  m.SetSorterOverload(1.0);
  EXPECT_FALSE(m.Report().sortermotorcurrentstate());
  m.Advance(0.9);
  EXPECT_EQ(m.Report().disinfectantplatenum(), 4u);
  // The overload only shows while the motor draws current.
  m.Apply(Cmd(station::ENUM_SUPPLY_DISINFECTANT_PLATES_MOTOR, 0));
  EXPECT_TRUE(m.Report().sortermotorcurrentstate());
  m.Advance(0.2);
  m.Apply(Cmd(station::ENUM_SUPPLY_DISINFECTANT_PLATES_MOTOR, 100));
  EXPECT_TRUE(m.Report().sortermotorcurrentstate());
  m.Advance(1.0);  // twice as fast at power 100
  EXPECT_EQ(m.Report().disinfectantplatenum(), 8u);

  m.Apply(Cmd(station::ENUM_SUPPLY_DISINFECTANT_PLATES_MOTOR, 0));
  m.Advance(5);
  EXPECT_EQ(m.Report().disinfectantplatenum(), 8u);
}

TEST(StationModelTest, HeatSewageAndPressureFollowTheirActuators) {
  StationModel m;
  const ModelParams& p = m.params();

  m.Apply(Cmd(station::ENUM_SUPPLY_HEATING_WIRE, 1));
  m.Advance(60);
  EXPECT_FLOAT_EQ(m.Report().heatingwiretemp(), static_cast<float>(p.heat_wire_ceiling_c));
  m.Apply(Cmd(station::ENUM_SUPPLY_HEATING_WIRE, 0));
  m.Advance(1);
  EXPECT_LT(m.Report().heatingwiretemp(), p.heat_wire_ceiling_c);
  m.Advance(60);
  EXPECT_FLOAT_EQ(m.Report().heatingwiretemp(), static_cast<float>(p.ambient_c));

  // Charging warms the plates only with a robot on them.
  m.Apply(Cmd(station::ENUM_SUPPLY_CHARGING, 1));
  m.Advance(10);
  EXPECT_EQ(m.Report().electrodeplatetemp1(), static_cast<uint32_t>(p.ambient_c));
  m.Dock(true);
  m.Advance(60);
  EXPECT_EQ(m.Report().electrodeplatetemp1(), static_cast<uint32_t>(p.plate_ceiling_c));
  EXPECT_GT(m.Report().electrodeplatecurrent(), 0.0f);

  m.Apply(Cmd(station::ENUM_SUPPLY_COLLECT_DUST, 1));
  m.Advance(2);
  EXPECT_EQ(m.Report().negativepressure(), static_cast<int32_t>(p.dust_pressure_pa));
  m.Apply(Cmd(station::ENUM_SUPPLY_COLLECT_DUST, 0));
  m.Advance(2);
  EXPECT_EQ(m.Report().negativepressure(), 0);

  m.Apply(Cmd(station::ENUM_SUPPLY_SELF_CLEAN_PUMP, 80));
  RunUntil(
      &m, [](const auto& r) { return r.sewagedet() == 1; }, 30);
  EXPECT_EQ(m.Report().sewagedet(), 1u);
  EXPECT_FALSE(m.Report().issewageoverflow());
  m.Advance(30);
  EXPECT_TRUE(m.Report().issewageoverflow());
  m.Apply(Cmd(station::ENUM_SUPPLY_SELF_CLEAN_PUMP, 0));
  m.Apply(Cmd(station::ENUM_SUPPLY_SEWAGE_PUMP, 50));
  const double level = m.sewage_level();
  m.Advance(1);
  EXPECT_NEAR(level - m.sewage_level(), p.sewage_drain_rate * 0.5, 1.0);  // half power, half rate
  RunUntil(
      &m, [](const auto& r) { return r.sewagefull() == 0; }, 30);
  EXPECT_EQ(m.Report().sewagedet(), 0u);

  // A board reset switches every actuator off.
  m.Apply(Cmd(station::ENUM_SUPPLY_RESET_MCU, 1));
  for (int t = 1; t < station::EnumSupplyType_ARRAYSIZE; ++t) {
    EXPECT_FALSE(m.actuator(static_cast<station::EnumSupplyType>(t)).on) << t;
  }
  EXPECT_EQ(m.resets(), 1);
}

TEST(StationModelTest, IdleStationReadsHealthyAndEmpty) {
  StationModel m;
  const auto r = m.Report();
  EXPECT_NE(r.dustbagdet(), 0u);
  EXPECT_NE(r.dustboxcapdet(), 0u);
  EXPECT_TRUE(r.initsensorsstate() && r.initactuatorsstate() && r.selfcheckstate());
  EXPECT_TRUE(r.ultrasonicwatercheck());
  EXPECT_EQ(r.robotdockdetleft() | r.robotdockdetright() | r.electrodeplatedet(), 0u);
  EXPECT_EQ(r.handchargedet(), 0u);
  EXPECT_EQ(r.cleantankfootlevel() | r.cleantankuplevel(), 0u);
  EXPECT_EQ(r.sewagedet(), 0u);
}

TEST(StationModelTest, FieldsAreSetByNameWithTypeChecks) {
  StationModel m;
  struct Case {
    const char* name;
    const char* value;
    bool ok;
  };
  const Case cases[] = {
      {"dustBagDet", "0", true},
      {"emergencyStopState", "true", true},
      {"ultrasonicWaterCheck", "off", true},
      {"heatingWireTemp", "151.5", true},
      {"negativePressure", "-30000", true},
      {"dustBagDet", "-1", false},
      {"dustBagDet", "1.5", false},
      {"dustBagDet", "", false},
      {"emergencyStopState", "2", false},
      {"noSuchField", "1", false},
      {"seq", "7", false},
      {"negativePressure", "9e99", false},
      {"heatingWireTemp", "nan", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(m.SetField(c.name, c.value), c.ok) << c.name << " " << c.value;
  }
  auto r = m.Report();
  EXPECT_EQ(r.dustbagdet(), 0u);
  EXPECT_TRUE(r.emergencystopstate());
  EXPECT_FALSE(r.ultrasonicwatercheck());
  EXPECT_FLOAT_EQ(r.heatingwiretemp(), 151.5f);
  EXPECT_EQ(r.negativepressure(), -30000);

  // A set model quantity carries on from the new value; a pinned one holds.
  m.Advance(1);
  EXPECT_LT(m.Report().heatingwiretemp(), 151.5f);
  ASSERT_TRUE(m.SetField("cleanTankUpLevel", "1"));  // computed: becomes a pin
  ASSERT_TRUE(m.Pin("heatingWireTemp", "151"));
  m.Advance(5);
  EXPECT_FLOAT_EQ(m.Report().heatingwiretemp(), 151.0f);
  EXPECT_EQ(m.Report().cleantankuplevel(), 1u);
  EXPECT_TRUE(m.Unpin("all"));
  EXPECT_EQ(m.Report().cleantankuplevel(), 0u);
  EXPECT_FALSE(m.Unpin("heatingWireTemp"));

  m.Dock(true);
  r = m.Report();
  EXPECT_TRUE(r.robotdockdetleft() && r.robotdockdetright() && r.electrodeplatedet());
  m.Plug(true);
  EXPECT_TRUE(m.Report().handchargedet() != 0 && m.Report().handchargeinsidedet());
}

TEST(StationModelTest, UnknownSupplyTypesAreRejected) {
  StationModel m;
  EXPECT_FALSE(m.Apply(Cmd(station::ENUM_SUPPLY_INVALID, 1)));
  EXPECT_FALSE(m.Apply(Cmd(static_cast<station::EnumSupplyType>(99), 1)));
  EXPECT_FALSE(m.actuator(static_cast<station::EnumSupplyType>(99)).on);
  // A negative action is an off, not a power.
  EXPECT_TRUE(m.Apply(Cmd(station::ENUM_SUPPLY_SEWAGE_PUMP, -5)));
  EXPECT_FALSE(m.actuator(station::ENUM_SUPPLY_SEWAGE_PUMP).on);
  EXPECT_EQ(m.actuator(station::ENUM_SUPPLY_SEWAGE_PUMP).power, 0);
}

}  // namespace
}  // namespace station_sim
