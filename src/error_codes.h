#pragma once

// Every code an "ErrorCode: {}, ..." journal line carries, each named once. A
// technician looks these up in docs/field-guide.md; a test keeps the two lists equal.

namespace station_center {

// Board link sockets.
constexpr int kErrConnect = 101900002;
constexpr int kErrBind = 101900003;
constexpr int kErrListen = 101900004;
constexpr int kErrCreateSocket = 101900005;
constexpr int kErrSend = 101900006;
constexpr int kErrPeerClosed = 101900008;
constexpr int kErrSockOpt = 101900009;

// Board link messages.
constexpr int kErrDeserializeReport = 101900012;
constexpr int kErrSerialize = 101900052;
constexpr int kErrExchange = 101900057;
constexpr int kErrInitConnect = 101900070;

// MQTT.
constexpr int kErrConnectionLost = 101900013;
constexpr int kErrTopicNotFound = 101900014;
constexpr int kErrMqttInit = 101900017;
constexpr int kErrJsonToMessage = 101900059;
constexpr int kErrBrokerConnect = 101900060;
constexpr int kErrReplyTopic = 101900061;

// Task framework and station core.
constexpr int kErrTaskError = 101900011;
constexpr int kErrUnknownType = 101900016;
constexpr int kErrExecTimeout = 101900019;
constexpr int kErrInvalidTaskType = 101900031;
constexpr int kErrUnsupportedCmd = 101900037;
constexpr int kErrResetTaskFailed = 101900058;
constexpr int kErrReflushLed = 101900069;

// Station-wide conditions: emergency stop, stale sensor data, board restart.
constexpr int kErrEmergencyStopPressed = 101900080;
constexpr int kErrEmergencyStopReleased = 101900081;
constexpr int kErrSensorDataStale = 101900082;
constexpr int kErrSensorDataResumed = 101900083;
constexpr int kErrBoardRestarted = 101900084;

// Water: tap, tank, drain and supply valves, preparations.
constexpr int kErrStationFillTimeout = 101900020;
constexpr int kErrOpenMotor = 101900021;
constexpr int kErrOpenDrain = 101900022;
constexpr int kErrCloseDrain = 101900024;
// The clean tank's foot level not reached in time: a drain, or the supply to the robot.
constexpr int kErrFootLevelTimeout = 101900025;
constexpr int kErrUnsupportedLiquid = 101900026;
constexpr int kErrOpenLiquidPump = 101900027;
constexpr int kErrCloseLiquidPump = 101900028;
constexpr int kErrCloseMotor = 101900029;
constexpr int kErrTabletsTimeout = 101900030;
constexpr int kErrTapOpen = 101900032;
constexpr int kErrTapClose = 101900033;
constexpr int kErrSupplyOpen = 101900035;
constexpr int kErrSupplyClose = 101900036;

// Run-until-stopped actuators: dust collection and ultrasonic wash.
constexpr int kErrStartRunActuator = 101900039;
constexpr int kErrStopRunActuator = 101900040;

// Drying fan, heat wire, charging, UV lamp, spray and sewage pumps.
constexpr int kErrOpenFan = 101900041;
constexpr int kErrCloseFan = 101900042;
constexpr int kErrStartWire = 101900043;
constexpr int kErrStopWire = 101900044;
constexpr int kErrStartCharge = 101900045;
constexpr int kErrStopCharge = 101900046;
constexpr int kErrUnsafeCharge = 101900047;
constexpr int kErrOpenLamp = 101900050;
constexpr int kErrCloseLamp = 101900051;
constexpr int kErrOpenSprayPump = 101900065;
constexpr int kErrCloseSprayPump = 101900066;
constexpr int kErrSewagePump = 101900067;
constexpr int kErrCloseSewagePump = 101900068;

// Station files.
constexpr int kErrConfigOpen = 101900062;
constexpr int kErrStationId = 101900063;
constexpr int kErrConfigFormat = 101900064;
constexpr int kErrStatusCreate = 101900071;
constexpr int kErrStatusOpen = 101900072;
constexpr int kErrStatusFormat = 101900073;
constexpr int kErrDustBagKey = 101900074;
constexpr int kErrStatusWrite = 101900075;

// The sensor connection closed by the station: a newer one from the board, no whole
// report for too long, too many undecodable reports in a row.
constexpr int kErrSensorConnReplaced = 101900085;
constexpr int kErrSensorConnIdle = 101900086;
constexpr int kErrSensorConnOutOfStep = 101900087;
// A connection to the sensor port from an address other than the board's, closed unread.
constexpr int kErrForeignPeer = 101900089;

// A station file too large to be one of ours, refused unread.
constexpr int kErrFileTooLarge = 101900088;

// Received MQTT messages dropped while the handler fell behind (once per burst).
constexpr int kErrMqttEventsDropped = 101900090;
// A TLS broker connection made without checking the broker's certificate.
constexpr int kErrTlsUnverified = 101900091;
// A secret (config.json, the client key) readable by others, or a trust file the service may rewrite.
constexpr int kErrSecretExposed = 101900092;

}  // namespace station_center
