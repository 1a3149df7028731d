// Sensor reports: the snapshot and the automation that depends on the sensors alone.

#include "station_sensor.h"

#include <fcntl.h>
#include <sys/select.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <mutex>
#include <shared_mutex>
#include <thread>

#include "config.h"
#include "error_codes.h"
#include "logger.h"
#include "station_center.h"

namespace station_center {

namespace {

constexpr int kSensorKey = TASK_TYPE_SENSOR;
constexpr uint16_t kKeyProg3 = 202;
constexpr size_t kInputEventSize = 24;
// Reports in a row that must show the emergency stop changed before the station acts.
constexpr int kEmergencyStopReports = 2;

// Waits before reading the sorter again after a failed read: doubled per failure
// in a row, so a broken device costs a log line every few seconds, not a core.
constexpr std::chrono::milliseconds kSorterRetryFirst{100};
constexpr std::chrono::milliseconds kSorterRetryMax{5000};

// One input event of the sorter; task_data_mutex_ held.
void CountSorterEvent(const unsigned char (&event)[kInputEventSize], StationTaskData& data) {
  // struct input_event on a 64-bit system: 16-byte time, u16 type, u16 code, s32 value.
  uint16_t code = 0;
  int32_t value = 0;
  std::memcpy(&code, event + 18, sizeof(code));
  std::memcpy(&value, event + 20, sizeof(value));
  if (code == kKeyProg3) {
    LOG_DEBUG("KEY_PROG3={}\n", value);
    if (value == 1) {
      data.sorter_count_ += 1;
      LOG_INFO("sorter_count_= {}\n", data.sorter_count_);
    }
  } else if (code == 0) {
    LOG_DEBUG("sorter_counter key reserved\n");
  } else {
    LOG_WARN("err code of event8-sorter_counter, code = {}\n", code);
  }
}

// Truncation toward zero; a reading outside the integer range (or not a number)
// counts as the hottest possible, so a broken sensor is not taken for a cool wire.
int32_t TruncatedTemperature(float value) {
  if (std::isnan(value) || value >= static_cast<float>(std::numeric_limits<int32_t>::max())) {
    return std::numeric_limits<int32_t>::max();
  }
  if (value <= static_cast<float>(std::numeric_limits<int32_t>::min())) {
    return std::numeric_limits<int32_t>::min();
  }
  return static_cast<int32_t>(value);
}

// One report's pass of the automation, a step per concern; the caller holds
// task_mutex_ throughout and each step takes task_data_mutex_ as it needs.
class AutomationPass {
 public:
  // `now` on the steady clock in seconds, for durations; `wall` for dates.
  AutomationPass(StationCenter& center, const station::SensorsDataRep& s, SensorAutomation& a, int64_t now,
                 int64_t wall)
      : center_(center), s_(s), a_(a), now_(now), wall_(wall) {}

  void NoteReport();
  // True while the station holds the emergency stop pressed.
  bool EmergencyStop();
  void DustBag();
  void DustBagAge();
  void DustBoxCap();
  void Temperatures();
  void ManualCharge();
  void SewagePump();
  // Under the emergency stop the automation's pump may only be switched off.
  void SewagePumpOff();

 private:
  bool Debounce(bool present, MissingDebounce* d, int32_t type);
  void Temperature(bool within_limit, bool* normal, int32_t type, station::EnumSupplyType heats);
  // Takes a station reset's clearing of `type` as a release, so a condition
  // still present is recorded again.
  void FollowReset(bool* normal, int32_t type);
  // Opens (action > 0) or closes the sewage pump and notes it; no station
  // lock but task_mutex_ held.
  bool DriveSewagePump(int action);

  StationCenter& center_;
  const station::SensorsDataRep& s_;
  SensorAutomation& a_;
  const int64_t now_;
  const int64_t wall_;
};

// The robot counts as occupying the station while it is in position and
// while the station is not idle.
void AutomationPass::NoteReport() {
  std::unique_lock<std::shared_mutex> data_lock(center_.task_data_mutex());
  StationTaskData& data = center_.task_data();
  data.sensor_data_received = true;
  data.manual_charge_state = s_.handchargeinsidedet();
  const StationCenterStatus status = center_.station_status();
  data.occupy_state = StationCenter::RobotInPosition(s_) || status == STATION_STATUS_ERROR ||
                      status == STATION_STATUS_RESET || status == STATION_STATUS_EMERGENCY_STOP || data.work_started;
}

// Emergency stop (abnormal 9), pressed and released alike on the second report
// in a row that shows the change.
bool AutomationPass::EmergencyStop() {
  if (a_.emergency_stop.Update(s_.emergencystopstate(), kEmergencyStopReports)) {
    if (a_.emergency_stop.state) {
      center_.EmergencyStopPressedUnlock();
    } else {
      center_.EmergencyStopReleasedUnlock();
    }
  }
  return a_.emergency_stop.state;
}

// Dust bag in place (abnormal 3); taking it out counts as replacing it.
void AutomationPass::DustBag() {
  if (Debounce(s_.dustbagdet() != 0, &a_.dust_bag, ABNORMAL_DUST_BAG_OUT)) {
    WriteDustBagReplyTimeUncheck(wall_);
  }
}

// Dust bag due for replacement (abnormal 4). Recorded on the transition only: each
// record uploads at once, and the periodic report carries the condition meanwhile.
void AutomationPass::DustBagAge() {
  const int64_t cycle_seconds = static_cast<int64_t>(g_config.dust_bag_replace_cycle) * 86400;
  if (ReadDustBagReplyTime(wall_) <= cycle_seconds) {
    return;
  }
  bool recorded;
  {
    std::shared_lock<std::shared_mutex> data_lock(center_.task_data_mutex());
    recorded = center_.task_data().AbnormalPresent(ABNORMAL_DUST_BAG_REPLACE);
  }
  if (!recorded) {
    center_.AbnormalTaskRecord(ABNORMAL_DUST_BAG_REPLACE, kSensorKey);
  }
}

// Dust box cap (abnormal 5): the dust bag's debounce, nothing persisted.
void AutomationPass::DustBoxCap() { Debounce(s_.dustboxcapdet() != 0, &a_.dust_box_cap, ABNORMAL_DUST_BOX_CAP); }

// Records `type` once the detector has read missing longer than the dust-bag limit,
// releases it when present again. True when this report starts a missing stretch.
bool AutomationPass::Debounce(bool present, MissingDebounce* d, int32_t type) {
  FollowReset(&d->normal, type);
  if (present) {
    if (!d->normal) {
      std::unique_lock<std::shared_mutex> data_lock(center_.task_data_mutex());
      center_.task_data().AbnormalInfoRelease(type, kSensorKey);
      d->normal = true;
    }
    d->since = now_;
    d->missing_noted = false;
    return false;
  }
  const bool starts = !d->missing_noted;
  if (starts) {
    d->since = now_;
    d->missing_noted = true;
  }
  if (now_ - d->since > g_config.dust_bag_reset_max_time && d->normal) {
    center_.AbnormalTaskRecord(type, kSensorKey);
    d->normal = false;
  }
  return starts;
}

// Over-temperature (abnormal 6, 7, 8): recorded once when crossing, released when back.
// What the over-temperature switches off first.
void AutomationPass::Temperatures() {
  Temperature(s_.electrodeplatetemp1() <= g_config.max_charge_plate_temp, &a_.upper_plate_normal,
              ABNORMAL_PLATE_UP_TEMP, station::ENUM_SUPPLY_CHARGING);
  Temperature(s_.electrodeplatetemp2() <= g_config.max_charge_plate_temp, &a_.lower_plate_normal,
              ABNORMAL_PLATE_DOWN_TEMP, station::ENUM_SUPPLY_CHARGING);
  Temperature(TruncatedTemperature(s_.heatingwiretemp()) <= g_config.max_heat_temp, &a_.heat_wire_normal,
              ABNORMAL_HEAT_WIRE_TEMP, station::ENUM_SUPPLY_HEATING_WIRE);
}

void AutomationPass::Temperature(bool within_limit, bool* normal, int32_t type, station::EnumSupplyType heats) {
  FollowReset(normal, type);
  // Off before the record is published: a stalled broker must not keep it on.
  if (!within_limit && center_.output_guard() && center_.output_guard()->RequireOff(heats)) {
    center_.SwitchOffRequiredUnlock();
  }
  if (within_limit) {
    if (!*normal) {
      std::unique_lock<std::shared_mutex> data_lock(center_.task_data_mutex());
      center_.task_data().AbnormalInfoRelease(type, kSensorKey);
    }
    *normal = true;
  } else if (*normal) {
    center_.AbnormalTaskRecord(type, kSensorKey);
    *normal = false;
  }
}

void AutomationPass::FollowReset(bool* normal, int32_t type) {
  if (*normal) {
    return;
  }
  std::shared_lock<std::shared_mutex> data_lock(center_.task_data_mutex());
  if (!center_.task_data().AbnormalPresent(type)) {
    *normal = true;
  }
}

// A plug in the inside charge socket starts a manual charge.
void AutomationPass::ManualCharge() {
  if (!s_.handchargeinsidedet() || center_.tasks().find(TASK_TYPE_MANUAL_CHARGE) != center_.tasks().end()) {
    return;
  }
  StationSrvReq req;
  req.task_type = TASK_TYPE_MANUAL_CHARGE;
  const StationSrvRsp rsp = center_.ReceiveTaskUnlock(req);
  LOG_INFO("ReceiveTaskUnlock, hand charge task result : {}, err_msg : {}", rsp.code, rsp.msg);
}

// Sewage pump: runs while sewage is seen and sewage_pump_continue_work_time after,
// unless a sewage drain pump task has the pump.
void AutomationPass::SewagePump() {
  const bool sewage = s_.sewagedet() != 0 || s_.sewagefull() > g_config.sewage_check_threshold_down;
  const bool pump_task = center_.tasks().find(TASK_TYPE_SEWAGE_DRAIN_PUMP) != center_.tasks().end();
  bool working;
  {
    std::shared_lock<std::shared_mutex> data_lock(center_.task_data_mutex());
    working = center_.task_data().sewage_pump_working;
  }
  if (sewage && !pump_task) {
    a_.sewage_timer = now_;
    if (!working) {
      if (DriveSewagePump(g_config.sewage_pump_power_standard)) {
        LOG_INFO("det sewage, open sewage drain pump");
      } else {
        LOG_ERROR("ErrorCode: {}, det sewage, but open sewage drain pump failed", kErrSewagePump);
      }
    }
  } else if (working && now_ - a_.sewage_timer > g_config.sewage_pump_continue_work_time && !pump_task) {
    if (DriveSewagePump(0)) {
      LOG_INFO("sewage drain over, close sewage drain pump");
    } else {
      LOG_ERROR("ErrorCode: {}, sewage drain over, but close sewage drain pump failed", kErrCloseSewagePump);
    }
  }
}

void AutomationPass::SewagePumpOff() {
  {
    std::shared_lock<std::shared_mutex> data_lock(center_.task_data_mutex());
    if (!center_.task_data().sewage_pump_working) {
      return;
    }
  }
  // Tried again on every report until the board takes it.
  if (DriveSewagePump(0)) {
    LOG_INFO("emergency stop, close sewage drain pump");
  } else {
    LOG_ERROR("ErrorCode: {}, emergency stop, but close sewage drain pump failed", kErrCloseSewagePump);
  }
}

bool AutomationPass::DriveSewagePump(int action) {
  station::ActionCommand cmd;
  cmd.set_supply_type_(station::ENUM_SUPPLY_SEWAGE_PUMP);
  cmd.set_action_(action);
  // Without the task data lock: the exchange may release task_mutex_.
  if (!center_.SendCommand(cmd)) {
    return false;
  }
  std::unique_lock<std::shared_mutex> data_lock(center_.task_data_mutex());
  center_.task_data().sewage_pump_working = action > 0;
  return true;
}

}  // namespace

void StationCenter::DataUploadCallback(station::SensorsDataRep& data) {
  // Stamped before waiting for a task pass: a report that waited behind the
  // pass that opened a valve is older than that opening.
  const int64_t arrived_millis = clock_->NowMillis();
  std::lock_guard<std::mutex> lock(task_mutex_);
  // The automation's and the emergency stop's exchanges release task_mutex_;
  // sensors_data_ stays as it is meanwhile, this thread being its only writer.
  const int64_t gap_millis = arrived_millis - SilenceFromUnlock(arrived_millis);
  {
    std::unique_lock<std::shared_mutex> sensors_lock(sensors_mutex_);
    sensors_data_ = data;
    sensors_data_millis_ = arrived_millis;
  }
  SensorAutomation& a = sensor_automation_;
  const int64_t now = clock_->NowSeconds();
  if (!a.started) {
    a.started = true;
    a.dust_bag.since = now;
    a.dust_box_cap.since = now;
  }
  if (sensor_stale_) {
    SensorDataResumedUnlock();
  }
  CheckBoardRestartUnlock(gap_millis);
  GuardOutputsUnlock(arrived_millis);
  // sensors_data_ is written only under task_mutex_, which we hold.
  // Before the dust bag's age is read: a step of the wall clock is no ageing.
  CheckWallStepUnlock();
  AutomationPass pass(*this, sensors_data_, a, now, clock_->WallSeconds());
  pass.NoteReport();
  const bool stopped = pass.EmergencyStop();
  pass.DustBag();
  pass.DustBagAge();
  pass.DustBoxCap();
  pass.Temperatures();
  if (stopped) {
    pass.SewagePumpOff();
    return;
  }
  pass.ManualCharge();
  pass.SewagePump();
}

void StationCenter::GuardOutputsUnlock(int64_t arrived_millis) {
  if (!guard_) {
    return;
  }
  const station::SensorsDataRep& s = sensors_data_;
  const OutputGuard::ReportVerdict verdict =
      guard_->NoteReport({RobotInPosition(s), s.heatfancurrentstate(), arrived_millis});
  if (!verdict.switch_off) {
    return;
  }
  SwitchOffRequiredUnlock();
  if (verdict.fan_stopped) {
    LOG_ERROR("ErrorCode: {}, heat fan feedback shows it stopped under the heat wire, heat wire switched off",
              kErrStopWire);
    AbnormalTaskRecord(ABNORMAL_HEAT_WIRE_TEMP, kSensorKey);
  }
}

void StationCenter::SocSensorDataDetect() {
  LOG_DEBUG("SocSensorDataDetect");
  const int fd = ::open(RootedPath("/dev/input/event8").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    LOG_ERROR("Error: Failed to open device event8-sorter\n");
    return;
  }
  ReadSorterEvents(fd, [](std::chrono::milliseconds wait) {
    std::this_thread::sleep_for(wait);
    return true;
  });
  ::close(fd);
}

void StationCenter::ReadSorterEvents(int fd, const std::function<bool(std::chrono::milliseconds)>& pause) {
  std::chrono::milliseconds retry = kSorterRetryFirst;
  for (;;) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(fd, &readable);
    const int ready = ::select(fd + 1, &readable, nullptr, nullptr, nullptr);
    if (ready < 0) {
      if (errno == EINTR) {
        continue;
      }
      LOG_ERROR("select error: {}", std::strerror(errno));
      return;
    }
    if (ready == 0 || !FD_ISSET(fd, &readable)) {
      continue;
    }
    unsigned char event[kInputEventSize];
    const ssize_t n = ::read(fd, event, sizeof(event));
    const int read_error = n < 0 ? errno : 0;
    if (n <= 0) {
      // A device that went away stays readable for ever: end instead of spinning.
      LOG_ERROR("read sorter_counter error: {}", n == 0 ? "end of file" : std::strerror(read_error));
      if (n == 0 || read_error == ENODEV || !pause(retry)) {
        return;
      }
      retry = std::min(retry * 2, kSorterRetryMax);
      continue;
    }
    retry = kSorterRetryFirst;
    if (static_cast<size_t>(n) != sizeof(event)) {
      LOG_ERROR("read sorter_counter error: {}", "short read");
      continue;
    }
    std::unique_lock<std::shared_mutex> data_lock(task_data_mutex_);
    CountSorterEvent(event, task_data_);
  }
}

}  // namespace station_center
