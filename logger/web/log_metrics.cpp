#include "log_metrics.h"

#include <charconv>
#include <map>
#include <vector>

namespace logbook {

namespace {

struct Family {
    const char* unit; // the base unit of the readings
    const char* name; // as Prometheus names units
    const char* what;
};

constexpr Family GAUGES[] = {
    {"V", "ohm_volts", "voltage"},         {"A", "ohm_amperes", "current"},
    {"Ohm", "ohm_ohms", "resistance"},     {"F", "ohm_farads", "capacitance"},
    {"Hz", "ohm_hertz", "frequency"},      {"degC", "ohm_celsius", "temperature"},
    {"W", "ohm_watts", "power (--power)"},
};

std::string number(double value)
{
    char text[64];
    return std::string(text, std::to_chars(text, text + sizeof text, value).ptr);
}

// Label values as the format writes them: backslash, quote and line feed escaped.
std::string label(const char* name, const std::string& value)
{
    std::string text = std::string(name) + "=\"";
    for (const char c : value) {
        text += c == '\\'   ? std::string("\\\\")
                : c == '"'  ? std::string("\\\"")
                : c == '\n' ? std::string("\\n")
                            : std::string(1, c);
    }
    return text + "\"";
}

std::string family(const char* name, const char* type, const std::string& help,
                   const std::vector<std::string>& samples)
{
    std::string text =
        std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    for (const std::string& sample : samples) {
        text += sample;
    }
    return text;
}

// The meter's latest reading, when it is a value (not an overload, a missing reading or a lost
// port) and recent.
bool current(const MeterView& meter, double now_s)
{
    return meter.has_latest && meter.latest.status == Status::ok &&
           now_s - meter.latest.elapsed_s <= CURRENT_FOR_S;
}

// The last readings that are current, by the family of their unit.
std::map<std::string, std::vector<std::string>> gauges(const RunView& view, double now_s)
{
    std::map<std::string, std::vector<std::string>> samples;
    for (const MeterView& meter : view.meters) {
        if (current(meter, now_s)) {
            samples[meter.latest.base_unit].push_back("{" + label("meter", meter.name) + "," +
                                                      label("mode", meter.latest.mode) + "} " +
                                                      number(meter.latest.number) + "\n");
        }
    }
    if (view.power && view.power->has_latest) {
        const MeterView& volts =
            view.meters[static_cast<std::size_t>(view.power->pairing.volt_meter)];
        const MeterView& amperes =
            view.meters[static_cast<std::size_t>(view.power->pairing.ampere_meter)];
        // The latest power pairs readings no older than itself (less a second).
        if (is_dc(volts.latest, "V") && is_dc(amperes.latest, "A") &&
            now_s - view.power->latest.elapsed_s <= CURRENT_FOR_S) {
            samples["W"].push_back("{" + label("meter", volts.name + "," + amperes.name) + "," +
                                   label("mode", "DC") + "} " + number(view.power->latest.watts) +
                                   "\n");
        }
    }
    return samples;
}

// The meter a rule's target watches, as the gauges name it; empty for a target it has not.
std::string alarm_target_name(const RunView& view, const Alarm& alarm, std::size_t target)
{
    if (target == view.meters.size()) {
        // The power, named as its gauge is: "U,I".
        return alarm.rule.power && view.power
                   ? view.meters[static_cast<std::size_t>(view.power->pairing.volt_meter)].name +
                         "," +
                         view.meters[static_cast<std::size_t>(view.power->pairing.ampere_meter)]
                             .name
                   : "";
    }
    const bool watched =
        !alarm.rule.power &&
        (alarm.rule.meter < 0 || static_cast<std::size_t>(alarm.rule.meter) == target);
    return watched ? view.meters[target].name : "";
}

// What the run has integrated so far, in base units, and whether each port is open. Energy and
// charge fall while a battery is charged through the ampere meter: gauges, not counters.
std::string totals(const RunView& view)
{
    std::vector<std::string> energy;
    std::vector<std::string> charge;
    std::vector<std::string> ports;
    if (view.power) {
        const PowerPairing& pairing = view.power->pairing;
        energy.push_back(
            "ohm_energy_joules{" +
            label("meter", view.meters[static_cast<std::size_t>(pairing.volt_meter)].name + "," +
                               view.meters[static_cast<std::size_t>(pairing.ampere_meter)].name) +
            "} " + number(pairing.energy.total) + "\n");
    }
    for (const MeterView& meter : view.meters) {
        if (meter.charge.measured) {
            charge.push_back("ohm_charge_coulombs{" + label("meter", meter.name) + "} " +
                             number(meter.charge.total) + "\n");
        }
        ports.push_back("ohm_port_up{" + label("meter", meter.name) + "} " +
                        (meter.stats.port_away ? "0" : "1") + "\n");
    }
    std::string text;
    if (!energy.empty()) {
        text += family("ohm_energy_joules", "gauge",
                       "Energy of the power (--power) over the run, in joules; negative while "
                       "the current flows against the ampere meter's leads.",
                       energy);
    }
    if (!charge.empty()) {
        text += family("ohm_charge_coulombs", "gauge",
                       "Charge through each meter reading DC amperes over the run, in coulombs, "
                       "signed as the meter shows the current.",
                       charge);
    }
    return text + family("ohm_port_up", "gauge",
                         "1 while the meter's port is open, 0 while it is "
                         "lost.",
                         ports);
}

} // namespace

std::string metrics_text(const RunView& view, double now_s)
{
    std::string text;
    const auto samples = gauges(view, now_s);
    for (const Family& gauge : GAUGES) {
        const auto found = samples.find(gauge.unit);
        if (found != samples.end()) {
            std::vector<std::string> lines;
            for (const std::string& sample : found->second) {
                lines.push_back(gauge.name + sample);
            }
            text += family(gauge.name, "gauge",
                           std::string("The last ") + gauge.what + " a meter read, while current.",
                           lines);
        }
    }
    std::vector<std::string> readings;
    std::vector<std::string> losses;
    std::vector<std::string> times;
    for (const MeterView& meter : view.meters) {
        for (std::size_t status = 0; status < meter.by_status.size(); ++status) {
            readings.push_back("ohm_readings_total{" + label("meter", meter.name) + "," +
                               label("status", status_name(static_cast<Status>(status))) + "} " +
                               std::to_string(meter.by_status[status]) + "\n");
        }
        losses.push_back("ohm_port_lost_total{" + label("meter", meter.name) + "} " +
                         std::to_string(meter.stats.losses) + "\n");
        if (meter.has_latest) {
            const double at =
                std::chrono::duration<double>(view.start_utc.time_since_epoch()).count() +
                meter.latest.elapsed_s;
            times.push_back("ohm_last_reading_timestamp_seconds{" + label("meter", meter.name) +
                            "} " + number(at) + "\n");
        }
    }
    text += family("ohm_readings_total", "counter", "Readings of each meter, by status.", readings);
    text += family("ohm_port_lost_total", "counter", "Times each meter's port was lost.", losses);
    text += totals(view);
    text +=
        family("ohm_last_reading_timestamp_seconds", "gauge",
               "When each meter's last reading was asked for, in seconds since 1970 (UTC).", times);
    std::vector<std::string> alarms;
    for (const Alarm& alarm : view.alarms) {
        for (std::size_t target = 0; target < alarm.targets.size(); ++target) {
            const std::string meter = alarm_target_name(view, alarm, target);
            if (!meter.empty()) {
                alarms.push_back("ohm_alarm_active{" + label("rule", alarm.rule.text) + "," +
                                 label("meter", meter) + "} " +
                                 (alarm.targets[target].raised ? "1" : "0") + "\n");
            }
        }
    }
    if (!alarms.empty()) {
        text += family("ohm_alarm_active", "gauge", "1 while the alarm is raised on the meter.",
                       alarms);
    }
    if (!view.mqtt.broker.empty()) {
        text +=
            family("ohm_mqtt_connected", "gauge",
                   "1 while the run is connected to its MQTT broker and publishing.",
                   {std::string("ohm_mqtt_connected ") + (view.mqtt.connected ? "1" : "0") + "\n"});
    }
    return text;
}

} // namespace logbook
