// The run in Prometheus' text exposition format, for /metrics: each meter's last reading as a
// gauge in its base unit (ohm_volts, ohm_amperes, ohm_ohms, ohm_farads, ohm_hertz,
// ohm_celsius, and ohm_watts for the power), the readings counted by status, the ports lost,
// the alarms raised, the time of each meter's last reading, and whether MQTT is connected; the
// run's energy and charge (ohm_energy_joules, ohm_charge_coulombs) and whether each port is
// open (ohm_port_up). A meter's value is there only while its latest reading is one (not an
// overload, a missing reading or a lost port) and younger than ten seconds: no value rather
// than an old one. No I/O here.
#pragma once

#include "log_view.h"

#include <string>

namespace logbook {

// A reading older than this is no longer exported.
constexpr double CURRENT_FOR_S = 10.0;

// `now_s`: seconds since the run's start, on the records' clock.
std::string metrics_text(const RunView& view, double now_s);

} // namespace logbook
