// ohmlog's chart: value over clock time as SVG, one panel per meter and base unit met during
// the run (and one for the power when it is asked for), all on one time axis in the local time
// of the machine that draws it. Each bucket of the series is drawn from its smallest to its
// largest value and joined to the next by a line; an overload or a missing reading breaks the
// line and is marked. No I/O here.
#pragma once

#include "log_view.h"

#include <string>

namespace logbook {

std::string render_plot(const RunView& view);

// Round steps for an axis: 1, 2 or 5 times a power of ten, about `target` of them over `span`.
double nice_step(double span, int target);

// An axis label in the prefix that suits the axis (chosen from its largest magnitude), with as
// many decimals as the step needs: "-800 mV", "1.25 kOhm".
std::string axis_label(double value, double largest, double step, const std::string& unit);

// A run's length in the largest units that suit it: "4.7 s", "12 min 5 s", "3 h 25 min",
// "2 d 3 h 25 min".
std::string span_text(double seconds);

// A value with four significant digits in the prefix of an axis whose largest magnitude is
// `largest`: "0.999 kOhm" beside kOhm ticks, where si_text would say "999 Ohm".
std::string axis_text(double value, double largest, const std::string& unit);

} // namespace logbook
