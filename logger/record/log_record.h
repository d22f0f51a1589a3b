// One row of ohmlog's log: a request, the meter's reply, and what the reply reads in SI base
// units, exactly as the meter showed it. No I/O here.
#pragma once

#include <chrono>
#include <string>

namespace logbook {

// The longest duration or interval: a billion seconds (some 31 years) still counts in the
// clock's nanoseconds from any moment of a run.
constexpr double LONGEST_SECONDS = 1e9;

enum class Status { ok, overload, no_reply, garbled, port_lost };

struct Record {
    std::string time;       // the request's UTC time, ISO 8601 with milliseconds
    double elapsed_s = 0.0; // since the first request
    std::string mode;       // the frame's three fields as shown, blanks trimmed
    std::string reading;
    std::string unit;
    std::string value;     // exact decimal in the base unit; empty unless ok
    double number = 0.0;   // the same as a double, for statistics and the plot
    std::string base_unit; // known for ok and overload readings: "V", "Ohm", "degC", "" (gain)
    Status status = Status::no_reply;
    std::string frame; // the reply as it came, without its line end
    int meter = 0;     // which of the run's meters, in the order they were named
};

struct BaseUnit {
    std::string name;
    int exponent; // the unit shown is 10^exponent base units
};

// "KOhm" is 10^3 Ohm, "nF" 10^-9 F, "C" is degC, a blank unit is a transistor's gain (no
// unit). A unit this table does not know stays as shown, unscaled.
BaseUnit base_unit_of(const std::string& shown_unit);

// The decimal number with its point moved `exponent` places to the right, written without a
// binary detour: shift_decimal("1.234", 3) is "1234", shift_decimal("0.5", -3) "0.0005".
// Leading and trailing zeros go, and a zero has no sign.
std::string shift_decimal(const std::string& number, int exponent);
// Decimals as shift_decimal writes them, compared exactly: below 0, 0 or above 0 as a is below,
// equal to or above b.
int compare_decimals(const std::string& a, const std::string& b);
// The exact product of two decimals, as shift_decimal writes it: "12.00" x "1.200" is "14.4",
// "12.001" x "0.501" is "6.012501" where the doubles give 6.012500999999999.
std::string multiply_decimals(const std::string& a, const std::string& b);

// Letters, digits, "_" and "-", at least one: a meter's name, and a level of an MQTT topic.
bool plain_name(const std::string& name);

// An option as its user wrote it: "--alarm" on the command line (`place` empty), "alarm" on a
// line of the file of options (`place` "FILE:LINE: ").
std::string option_written(const std::string& place, const std::string& name);
// A refusal of what was given at `place`: for a line of the file of options, the line's place
// first, and the option named as the file writes it ("bad alarm '...'", not "bad --alarm").
std::string refusal_at(const std::string& place, const std::string& problem);

// Fields, status and value of a reply as read_meter and request_reply give it (with its line
// end when it arrived). Time and elapsed seconds are left to the caller.
Record decode_reply(const std::string& reply);

// Whether the reading shows the dial's unit: an ok reading or an overload. A missing one does not.
bool shows_unit(const Record& record);

const char* status_name(Status status);
// The status a name stands for; false for a name that is none.
bool status_named(const std::string& name, Status& status);

// Bytes of the meter's line as text that is safe anywhere: printable ASCII as it is, a
// backslash doubled, every other byte as \xHH.
std::string escaped_bytes(const std::string& bytes);

// RFC 4180: a header row, fields quoted only where they need it, CR LF after each row. The
// frame is written with escaped_bytes. A run of several meters adds a tenth column, the
// meter's name, so that tools that read the first nine columns by position read both kinds.
std::string csv_header(bool with_meter = false);
std::string csv_row(const Record& record);
std::string csv_row(const Record& record, const std::string& meter);
// A field as RFC 4180 writes it: quoted only where it needs to be.
std::string csv_field(const std::string& field);

// Whether the reading is direct current in this base unit ("V", "A"): what power is made of.
bool is_dc(const Record& record, const char* base_unit);

std::string utc_timestamp(std::chrono::system_clock::time_point time);
// Fixed-point with this many decimals, "." whatever the locale.
std::string fixed_text(double value, int decimals);

} // namespace logbook
